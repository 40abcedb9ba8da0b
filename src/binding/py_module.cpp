// Module entry: tarnivel._core with Word2Vec, KeyedVectors and set_seed.
#include "binding/py_keyed_vectors.hpp"
#include "binding/py_array.hpp"
#include "binding/py_common.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_file_corpus.hpp"
#include "binding/py_word2vec.hpp"
#include "rng/seed.hpp"
#include "training/pool.hpp"

namespace tarnivel::py {
namespace {

// The module is initialised once per process; its types live in a process-wide state that keeps
// strong references for the life of the process.
ModuleState g_state;

PyObject* module_set_seed(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    parse_args("set_seed", args, kwargs, {"seed"}, 1, a);
    tarnivel::set_seed(to_size(a[0], "seed"));
    Py_RETURN_NONE;
  });
}

// Registered with atexit when the module is loaded: marks the start of the interpreter's exit.
PyObject* module_mark_exit(PyObject*, PyObject*) {
  mark_interpreter_exit();
  Py_RETURN_NONE;
}

PyMethodDef exit_mark_def = {"_mark_exit", module_mark_exit, METH_NOARGS, nullptr};

int register_exit_mark() {
  Ref atexit = Ref(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  Ref mark = Ref(PyCFunction_NewEx(&exit_mark_def, nullptr, nullptr));
  if (!mark) return -1;
  Ref done = Ref(PyObject_CallMethod(atexit.get(), "register", "O", mark.get()));
  return done ? 0 : -1;
}

PyMethodDef module_functions[] = {
    {"set_seed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_set_seed)),
     METH_VARARGS | METH_KEYWORDS, "set_seed(seed)\n--\n\n"},
    {"_read_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_lines_function)),
     METH_VARARGS | METH_KEYWORDS,
     "_read_lines(path, max_sentence_length=None)\n--\n\n(sentences, error) of the native line reader over a file."},
    {"_convert_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert_file_function)),
     METH_VARARGS | METH_KEYWORDS,
     "_convert_file(path, words, max_sentence_length=None)\n--\n\nTimes the native conversion of a file."},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, PyObject*& slot, PyObject* (*create)(PyObject*), const char* name) {
  if (slot == nullptr) {
    slot = create(module);
    if (slot == nullptr) {
      PyErr_Clear();
      PyErr_Format(PyExc_RuntimeError, "failed to create type object for %s", name);
      return -1;
    }
  }
  Py_INCREF(slot);
  if (PyModule_AddObject(module, name, slot) < 0) {
    Py_DECREF(slot);
    return -1;
  }
  return 0;
}

int module_exec(PyObject* module) {
  if (add_type(module, g_state.word2vec_type, create_word2vec_type, "Word2Vec") < 0) return -1;
  if (add_type(module, g_state.keyed_vectors_type, create_keyed_vectors_type, "KeyedVectors") < 0) return -1;
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
  if (register_exit_mark() < 0) return -1;
  // The pool's size setting is read here, with the interpreter lock held: a query that first uses
  // the pool runs with the lock released, while Python code may be changing the environment.
  set_default_pool_threads(pool_threads_setting());
  if (g_state.buffer_type == nullptr) {
    g_state.buffer_type = create_buffer_type(module);
    if (g_state.buffer_type == nullptr) return -1;
  }
  if (g_state.panic_exception == nullptr) {
    // Raised for broken internal invariants; derived from BaseException so that ordinary
    // `except Exception` handlers do not swallow it.
    g_state.panic_exception = PyErr_NewExceptionWithDoc(
        "tarnivel.PanicException", "An internal invariant of the native core failed.", PyExc_BaseException,
        nullptr);
    if (g_state.panic_exception == nullptr) return -1;
  }
  Py_INCREF(g_state.panic_exception);
  if (PyModule_AddObject(module, "PanicException", g_state.panic_exception) < 0) {
    Py_DECREF(g_state.panic_exception);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

ModuleState& state() { return g_state; }

}  // namespace tarnivel::py

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&tarnivel::py::module_def); }
