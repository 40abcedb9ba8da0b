// KeyedVectors.evaluate_word_pairs and evaluate_word_analogies: the arguments are converted here;
// reading the test files and the statistics are done by the private module tarnivel._evaluation,
// whose queries come back here as one batched scan (_nearest_rows) and sequential similarities.
#include <string>

#include "binding/py_keyed_vectors.hpp"
#include "binding/py_kv_methods.hpp"
#include "binding/py_args.hpp"

namespace tarnivel::py {
namespace {

Ref evaluation_function(const char* name) {
  Ref module = Ref::checked(PyImport_ImportModule("tarnivel._evaluation"));
  return Ref::checked(PyObject_GetAttrString(module.get(), name));
}

PyObject* optional_size(PyObject* obj, const char* name) {
  if (absent(obj)) Py_RETURN_NONE;
  return check(PyLong_FromUnsignedLongLong(to_size(obj, name)));
}

}  // namespace

PyObject* kv_evaluate_word_pairs(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_args("evaluate_word_pairs", args, kwargs, {"path", "level", "delimiter", "case_insensitive"}, 1, [&](PyObject** a) -> PyObject* {
    Ref path = new_str(to_path(a[0], "path"));
    Ref level(optional_size(a[1], "level"));
    Ref delimiter = new_str(absent(a[2]) ? std::string("\t") : to_text(a[2], "delimiter"));
    const bool fold = absent(a[3]) ? true : to_bool(a[3], "case_insensitive");
    Ref run = evaluation_function("word_pairs");
    return check(PyObject_CallFunction(run.get(), "OOOOO", self, path.get(), level.get(), delimiter.get(),
                                       fold ? Py_True : Py_False));
  });
}

PyObject* kv_evaluate_word_analogies(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_args("evaluate_word_analogies", args, kwargs, {"path", "level", "restrict_vocab", "case_insensitive"}, 1, [&](PyObject** a) -> PyObject* {
    Ref path = new_str(to_path(a[0], "path"));
    Ref level(optional_size(a[1], "level"));
    Ref restrict_vocab = Ref::checked(PyLong_FromUnsignedLongLong(absent(a[2]) ? 300000 : to_size(a[2], "restrict_vocab")));
    const bool fold = absent(a[3]) ? true : to_bool(a[3], "case_insensitive");
    Ref run = evaluation_function("word_analogies");
    return check(PyObject_CallFunction(run.get(), "OOOOO", self, path.get(), level.get(), restrict_vocab.get(),
                                       fold ? Py_True : Py_False));
  });
}

}  // namespace tarnivel::py
