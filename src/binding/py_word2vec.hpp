#pragma once
// The Word2Vec Python type.
#include "model/model.hpp"
#include "binding/py_common.hpp"

namespace tarnivel::py {

struct Word2VecObject {
  PyObject_HEAD
  Model* model;
  int borrow;
};

PyObject* create_word2vec_type(PyObject* module);

// Wraps a model into a new Word2Vec object of the module's type (`cls` may be a subclass).
Ref new_word2vec(PyTypeObject* cls, Model&& model);

// Methods and the sample property implemented with the model files (py_model_files.cpp).
PyObject* w2v_save(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* w2v_load(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* w2v_save_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* w2v_load_checkpoint(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* w2v_get_sample(PyObject* self, void*);
int w2v_set_sample(PyObject* self, PyObject* value, void*);

}  // namespace tarnivel::py
