#include "binding/py_args.hpp"

namespace tarnivel::py {

Fetched fetch_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return {Ref(type), Ref(value), Ref(traceback)};
}

std::string text_of(PyObject* obj, const char* fallback) {
  if (obj != nullptr) {
    if (Ref s{PyObject_Str(obj)}) {
      Py_ssize_t len = 0;
      if (const char* text = PyUnicode_AsUTF8AndSize(s.get(), &len)) return std::string(text, static_cast<std::size_t>(len));
    }
    PyErr_Clear();
  }
  return fallback;
}

}  // namespace tarnivel::py
