#include "binding/py_corpus.hpp"

#include <algorithm>
#include <utility>

#include "binding/py_convert.hpp"

namespace tarnivel::py {
namespace detail {

void raise_str_sentence() { raise(PyExc_TypeError, kStrNotVec); }

void raise_not_sequence(PyObject* obj) {
  raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
}

void raise_not_word(PyObject* obj) {
  raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'PyString'");
}

}  // namespace detail

namespace {

// The hash function of the exact str type. It is called directly, also for str subclasses: a subclass
// may override __hash__ (even with Python code), but the text of any str-derived object hashes the
// same under str's own function, which is all the table needs. For an object whose hash is already
// cached it returns the cached value.
hashfunc str_hash_function() {
  static const hashfunc function = reinterpret_cast<hashfunc>(PyType_GetSlot(&PyUnicode_Type, Py_tp_hash));
  return function;
}

uint64_t str_hash(PyObject* word) {
  const Py_hash_t hash = str_hash_function()(word);
  if (hash == -1) throw PyErrorSet{};
  return static_cast<uint64_t>(hash);
}

}  // namespace

CorpusLookup::CorpusLookup(const KeyIndexMap& key_to_index) {
  TARNIVEL_CHECK(str_hash_function() != nullptr, "str type without a hash function");
  // Inserted in index order, so that the frequent words' entries and bytes sit together.
  std::vector<std::pair<uint64_t, const std::string*>> words;
  words.reserve(key_to_index.size());
  for (const auto& [key, index] : key_to_index) words.emplace_back(index, &key);
  std::sort(words.begin(), words.end());
  table_.reset(words.size());
  for (const auto& [index, key] : words) {
    Ref text{PyUnicode_DecodeUTF8(key->data(), static_cast<Py_ssize_t>(key->size()), "strict")};
    if (!text) {
      // Bytes that are not UTF-8 (possible in a loaded vocabulary) are the UTF-8 of no str: no
      // corpus word can ever match them, so they are left out.
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyErrorSet{};
      PyErr_Clear();
      continue;
    }
    table_.insert(str_hash(text.get()), *key, index);
    max_index_ = std::max(max_index_, index);
  }
}

uint64_t CorpusLookup::find(PyObject* word) const {
  const uint64_t hash = str_hash(word);
  // The bytes are taken for every word, known or not, so a str that has no UTF-8 form (lone
  // surrogates) is reported wherever it appears.
  return table_.find(hash, utf8_view(word));
}

}  // namespace tarnivel::py
