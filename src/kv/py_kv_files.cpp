#include "kv/py_keyed_vectors.hpp"

namespace tarnivel::py {

PyObject* kv_save(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "save");
  return nullptr;
}

PyObject* kv_load(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "load");
  return nullptr;
}

}  // namespace tarnivel::py
