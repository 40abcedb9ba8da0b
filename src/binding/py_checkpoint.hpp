#pragma once
// Word2Vec's subsampling setting and its checkpoints (save_checkpoint / load_checkpoint).
#include "binding/py_common.hpp"

namespace tarnivel::py {

PyObject* w2v_get_sample(PyObject* self, void*);
int w2v_set_sample(PyObject* self, PyObject* value, void*);
PyObject* w2v_save_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* w2v_load_checkpoint(PyObject* cls, PyObject* args, PyObject* kwargs);

}  // namespace tarnivel::py
