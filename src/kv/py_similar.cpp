#include "kv/py_keyed_vectors.hpp"

namespace tarnivel::py {

PyObject* kv_most_similar(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "most_similar");
  return nullptr;
}

}  // namespace tarnivel::py
