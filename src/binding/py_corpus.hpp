#pragma once
// Reading corpus sentences: validation of a sentence object and its conversion into word indices.
#include <cstdint>
#include <string_view>
#include <vector>

#include "model/model.hpp"
#include "binding/py_common.hpp"

namespace tarnivel::py {

// Calls `on_item` with every item (borrowed) of a sentence object, in order, after checking that the
// item is a str. The object must be a sequence (not a str) whose items are str; otherwise a TypeError
// is set and PyErrorSet thrown. Requires the interpreter lock.
template <class F>
void for_each_word_object(PyObject* sentence, F&& on_item);

// The same with the UTF-8 text of every word.
template <class F>
void for_each_word(PyObject* sentence, F&& on_word);

// The vocabulary of one call as seen by corpus conversion: the model's word -> index map rebuilt as
// a flat table keyed by the hash the str type computes for a word. A str caches that hash, so a word
// object met again (every epoch meets the same corpus objects) costs no hashing at all. The table
// still confirms every hit on the UTF-8 bytes. Built with the interpreter lock held.
class CorpusLookup {
 public:
  explicit CorpusLookup(const KeyIndexMap& key_to_index);

  // The index of a word object (a str or a str subclass), or WordLookup::kMissing. Encoding failures
  // (lone surrogates) raise, known word or not.
  uint64_t find(PyObject* word) const;

  // Largest index the table can return (0 when empty).
  uint64_t max_index() const { return max_index_; }

 private:
  WordLookup table_;
  uint64_t max_index_ = 0;
};

// Appends the indices of a sentence's known words to `out` in its index type, which the caller
// guarantees they fit (lookup.max_index() below 2^16 or 2^32). Returns how many were appended. On an
// error the words appended so far stay in `out`; the caller discards the sentence.
template <class Index>
std::size_t append_sentence(PyObject* sentence, const CorpusLookup& lookup, std::vector<Index>& out);

// Implementation details of for_each_word.
namespace detail {
[[noreturn]] void raise_str_sentence();
[[noreturn]] void raise_not_sequence(PyObject* obj);
[[noreturn]] void raise_not_word(PyObject* obj);
inline PyObject* checked_word(PyObject* word) {
  if (!PyUnicode_Check(word)) raise_not_word(word);
  return word;
}
}  // namespace detail

template <class F>
void for_each_word_object(PyObject* sentence, F&& on_item) {
  if (PyUnicode_Check(sentence)) detail::raise_str_sentence();
  // Lists and tuples are indexed directly; other sequences go through the iterator protocol.
  if (PyList_CheckExact(sentence)) {
    // The size is read again at every step: the list is the caller's and may change under a
    // callback that runs Python code.
    for (Py_ssize_t i = 0; i < PyList_Size(sentence); ++i) {
      on_item(detail::checked_word(PyList_GetItem(sentence, i)));
    }
    return;
  }
  if (PyTuple_CheckExact(sentence)) {
    const Py_ssize_t n = PyTuple_Size(sentence);
    for (Py_ssize_t i = 0; i < n; ++i) on_item(detail::checked_word(PyTuple_GetItem(sentence, i)));
    return;
  }
  if (!PySequence_Check(sentence)) detail::raise_not_sequence(sentence);
  Ref it = Ref::checked(PyObject_GetIter(sentence));
  while (Ref word{PyIter_Next(it.get())}) on_item(detail::checked_word(word.get()));
  if (PyErr_Occurred()) throw PyErrorSet{};
}

template <class F>
void for_each_word(PyObject* sentence, F&& on_word) {
  for_each_word_object(sentence, [&](PyObject* word) { on_word(utf8_view(word)); });
}

template <class Index>
std::size_t append_sentence(PyObject* sentence, const CorpusLookup& lookup, std::vector<Index>& out) {
  const std::size_t before = out.size();
  for_each_word_object(sentence, [&](PyObject* word) {
    const uint64_t index = lookup.find(word);
    if (index != WordLookup::kMissing) out.push_back(static_cast<Index>(index));
  });
  return out.size() - before;
}

}  // namespace tarnivel::py
