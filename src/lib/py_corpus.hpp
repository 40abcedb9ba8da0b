#pragma once
// Reading corpus sentences: validation of a sentence object and its conversion into word indices.
#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/model.hpp"
#include "lib/py_common.hpp"

namespace tarnivel::py {

// Calls `on_word` with the UTF-8 text of every word of a sentence object, in order. The object must be
// a sequence (not a str) whose items are str; otherwise a TypeError is set and PyErrorSet thrown.
// Requires the interpreter lock.
template <class F>
void for_each_word(PyObject* sentence, F&& on_word);

// Converts a sentence to the indices of its known words (appended to `out` after clearing it).
// Returns false when no word is known. Errors as for_each_word.
bool convert_sentence(PyObject* sentence, const KeyIndexMap& key_to_index, std::vector<uint64_t>& out);

// Implementation details of for_each_word.
namespace detail {
[[noreturn]] void raise_str_sentence();
[[noreturn]] void raise_not_sequence(PyObject* obj);
[[noreturn]] void raise_not_word(PyObject* obj);
inline std::string_view word_text(PyObject* word) {
  if (!PyUnicode_Check(word)) raise_not_word(word);
  return utf8_view(word);
}
}  // namespace detail

template <class F>
void for_each_word(PyObject* sentence, F&& on_word) {
  if (PyUnicode_Check(sentence)) detail::raise_str_sentence();
  // Lists and tuples are indexed directly; other sequences go through the iterator protocol.
  if (PyList_CheckExact(sentence)) {
    for (Py_ssize_t i = 0; i < PyList_Size(sentence); ++i) {
      on_word(detail::word_text(PyList_GetItem(sentence, i)));
    }
    return;
  }
  if (PyTuple_CheckExact(sentence)) {
    const Py_ssize_t n = PyTuple_Size(sentence);
    for (Py_ssize_t i = 0; i < n; ++i) on_word(detail::word_text(PyTuple_GetItem(sentence, i)));
    return;
  }
  if (!PySequence_Check(sentence)) detail::raise_not_sequence(sentence);
  Ref it = Ref::checked(PyObject_GetIter(sentence));
  while (Ref word{PyIter_Next(it.get())}) on_word(detail::word_text(word.get()));
  if (PyErr_Occurred()) throw PyErrorSet{};
}

}  // namespace tarnivel::py
