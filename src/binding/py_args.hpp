#pragma once
// The shapes shared by the stored-vector and model-file entry points: a method that parses its
// arguments inside the exception boundary, a getter under a shared borrow, the method table entry of
// a keyword method, and the text of a fetched Python error.
#include <initializer_list>
#include <string>

#include "binding/py_common.hpp"
#include "binding/py_convert.hpp"

namespace tarnivel::py {

// Runs `body(a)` inside guarded with `a` the arguments parsed against `names` (see parse_args).
template <class F>
PyObject* with_args(const char* function, PyObject* args, PyObject* kwargs, std::initializer_list<const char*> names,
                    std::size_t required, F&& body) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[16];
    TARNIVEL_CHECK(names.size() <= 16, "too many argument names");
    parse_args(function, args, kwargs, names, required, a);
    return body(a);
  });
}

// Runs `body()` inside guarded under a shared borrow of `counter` (a getter or a query).
template <class F>
PyObject* reading(int& counter, F&& body) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedBorrow borrow(counter);
    return body();
  });
}

// A method table entry for a METH_VARARGS | METH_KEYWORDS function, with `flags` added.
inline PyMethodDef keyword_method(const char* name, PyObject* (*fn)(PyObject*, PyObject*, PyObject*), int flags,
                                  const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS | flags,
          doc};
}

// The current Python exception, taken out of the interpreter and normalised.
struct Fetched {
  Ref type, value, traceback;
};
Fetched fetch_error();

// str() of an object, for messages; `fallback` if there is none or even that fails (the failure is
// cleared).
std::string text_of(PyObject* obj, const char* fallback = "unknown error");

}  // namespace tarnivel::py
