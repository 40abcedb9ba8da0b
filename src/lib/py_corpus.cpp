#include "lib/py_corpus.hpp"

#include "lib/py_convert.hpp"

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

bool convert_sentence(PyObject* sentence, const KeyIndexMap& key_to_index, std::vector<uint64_t>& out) {
  out.clear();
  for_each_word(sentence, [&](std::string_view word) {
    auto found = key_to_index.find(word);
    if (found != key_to_index.end()) out.push_back(found->second);
  });
  return !out.empty();
}

}  // namespace tarnivel::py
