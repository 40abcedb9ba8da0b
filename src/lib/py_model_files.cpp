#include "lib/py_word2vec.hpp"

namespace tarnivel::py {

PyObject* w2v_save(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "save");
  return nullptr;
}

PyObject* w2v_load(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "load");
  return nullptr;
}

}  // namespace tarnivel::py
