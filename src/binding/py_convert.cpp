#include "binding/py_convert.hpp"
#include "binding/py_args.hpp"

#include <algorithm>
#include <climits>

namespace tarnivel::py {
namespace {

// Re-raises the pending TypeError (and, when `overflow_too`, OverflowError) with the argument's name
// in front of its message; any other exception is left as it is.
[[noreturn]] void fail_named(const char* name, bool overflow_too = false) {
  PyObject* const kind = PyErr_ExceptionMatches(PyExc_TypeError) ? PyExc_TypeError
                         : overflow_too && PyErr_ExceptionMatches(PyExc_OverflowError) ? PyExc_OverflowError
                                                                                        : nullptr;
  if (kind != nullptr) {
    Fetched err = fetch_error();
    const std::string message = text_of(err.value.get(), "");
    raise(kind, std::string("argument '") + name + "': " + message);
  }
  throw PyErrorSet{};
}

[[noreturn]] void type_error_named(const char* name, const std::string& message) {
  raise(PyExc_TypeError, std::string("argument '") + name + "': " + message);
}

bool is_numpy_bool(PyObject* obj) {
  // NumPy's boolean scalar type is numpy.bool_ (named "bool" since NumPy 2).
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_Check(module.get()) == 0 ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  const std::string type = type_name(obj);
  return type == "bool_" || type == "bool";
}

}  // namespace

void parse_args(const char* function, PyObject* args, PyObject* kwargs,
                std::initializer_list<const char*> names, std::size_t required, PyObject** out) {
  const std::size_t count = names.size();
  for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) throw PyErrorSet{};
  if (static_cast<std::size_t>(given) > count) {
    raise(PyExc_TypeError, std::string(function) + "() takes at most " + std::to_string(count) +
                               " positional argument" + (count == 1 ? "" : "s") + " (" +
                               std::to_string(given) + " given)");
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) raise(PyExc_TypeError, std::string(function) + "() keywords must be strings");
      std::size_t index = count;
      std::size_t i = 0;
      for (const char* n : names) {
        if (PyUnicode_CompareWithASCIIString(key, n) == 0) {
          index = i;
          break;
        }
        ++i;
      }
      if (index == count) {
        raise(PyExc_TypeError, std::string(function) + "() got an unexpected keyword argument '" +
                                   std::string(utf8_view(key)) + "'");
      }
      if (out[index] != nullptr) {
        raise(PyExc_TypeError, std::string(function) + "() got multiple values for argument '" +
                                   names.begin()[index] + "'");
      }
      out[index] = value;
    }
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      raise(PyExc_TypeError, std::string(function) + "() missing required argument '" +
                                 names.begin()[i] + "'");
    }
  }
}

uint64_t to_size(PyObject* obj, const char* name) {
  Ref index(PyNumber_Index(obj));
  if (!index) fail_named(name);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail_named(name, true);
  return static_cast<uint64_t>(value);
}

std::optional<uint64_t> to_optional_size(PyObject* obj, const char* name) {
  if (absent(obj)) return std::nullopt;
  return to_size(obj, name);
}

int32_t to_i32(PyObject* obj, const char* name) {
  Ref index(PyNumber_Index(obj));
  if (!index) fail_named(name);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) fail_named(name);
  if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<int32_t>(value);
}

double to_f64(PyObject* obj, const char* name) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) fail_named(name);
  return value;
}

float to_f32(PyObject* obj, const char* name) { return static_cast<float>(to_f64(obj, name)); }

bool to_bool(PyObject* obj, const char* name) {
  if (PyBool_Check(obj)) return obj == Py_True;
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) fail_named(name);
    return truth != 0;
  }
  type_error_named(name, "'" + type_name(obj) + "' object cannot be converted to 'PyBool'");
}

std::string to_text(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    type_error_named(name, "'" + type_name(obj) + "' object cannot be converted to 'PyString'");
  }
  return utf8(obj);
}

std::string to_path(PyObject* obj, const char* name) {
  std::string path = to_text(obj, name);
  // The operating system would silently cut the name at a NUL byte and use another file.
  if (path.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
  return path;
}

std::vector<uint64_t> to_size_list(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) type_error_named(name, kStrNotVec);
  if (!PySequence_Check(obj)) {
    type_error_named(name, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
  }
  const Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) fail_named(name);
  std::vector<uint64_t> values;
  // The reported length is only a hint: a sequence may claim any size.
  values.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(len, 1024)));
  for (Py_ssize_t i = 0; i < len; ++i) {
    Ref item(PySequence_GetItem(obj, i));
    if (!item) fail_named(name);
    values.push_back(to_size(item.get(), name));
  }
  return values;
}

}  // namespace tarnivel::py
