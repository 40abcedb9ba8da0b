#include "binding/py_array.hpp"


namespace tarnivel::py {
namespace {

// The owner of a native float buffer handed to NumPy.
struct FloatBuffer {
  PyObject_HEAD
  std::vector<float>* data;
  Py_ssize_t shape[2];
  int ndim;
};

// NumPy ignores an interface whose data address is 0, so empty buffers point here.
float empty_dummy[1] = {0.0f};

void buffer_dealloc(PyObject* self) {
  auto* buf = reinterpret_cast<FloatBuffer*>(self);
  delete buf->data;
  buf->data = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* buffer_interface(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* buf = reinterpret_cast<FloatBuffer*>(self);
    Ref shape = Ref::checked(PyTuple_New(buf->ndim));
    for (int i = 0; i < buf->ndim; ++i) {
      check_status(PyTuple_SetItem(shape.get(), i, check(PyLong_FromSsize_t(buf->shape[i]))));
    }
    void* address = buf->data->empty() ? static_cast<void*>(empty_dummy) : buf->data->data();
    Ref data = Ref::checked(Py_BuildValue("(NO)", PyLong_FromVoidPtr(address), Py_False));
    return check(Py_BuildValue("{s:O,s:s,s:O,s:i}", "shape", shape.get(), "typestr", "<f4", "data",
                               data.get(), "version", 3));
  });
}

PyGetSetDef buffer_getset[] = {
    {"__array_interface__", buffer_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_tp_getset, buffer_getset},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    "tarnivel._FloatBuffer",
    sizeof(FloatBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    buffer_slots,
};

PyObject* import_numpy_attr(PyObject*& slot, const char* attr) {
  if (slot == nullptr) {
    Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
    slot = check(PyObject_GetAttrString(numpy.get(), attr));
  }
  return slot;
}

bool parse_uint(PyObject* obj, uint64_t& out) {
  if (!PyLong_Check(obj)) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = v;
  return true;
}

}  // namespace

PyObject* create_buffer_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &buffer_spec, nullptr);
}

PyObject* numpy_asarray() { return import_numpy_attr(state().numpy_asarray, "asarray"); }
PyObject* numpy_load() { return import_numpy_attr(state().numpy_load, "load"); }

Ref make_float_array(std::vector<float>&& data, std::initializer_list<std::size_t> shape) {
  PyObject* asarray = numpy_asarray();
  auto* type = reinterpret_cast<PyTypeObject*>(state().buffer_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref owner = Ref::checked(alloc(type, 0));
  auto* buf = reinterpret_cast<FloatBuffer*>(owner.get());
  buf->data = new std::vector<float>(std::move(data));
  buf->ndim = static_cast<int>(shape.size());
  int i = 0;
  for (std::size_t extent : shape) buf->shape[i++] = static_cast<Py_ssize_t>(extent);
  return Ref::checked(PyObject_CallFunctionObjArgs(asarray, owner.get(), nullptr));
}

std::optional<ArrayView> float32_view(PyObject* obj, int ndim) {
  Ref iface(PyObject_GetAttrString(obj, "__array_interface__"));
  if (!iface) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
    PyErr_Clear();
    return std::nullopt;
  }
  if (!PyDict_Check(iface.get())) return std::nullopt;
  PyObject* typestr = PyDict_GetItemString(iface.get(), "typestr");
  if (typestr == nullptr || !PyUnicode_Check(typestr)) return std::nullopt;
  const std::string_view ts = utf8_view(typestr);
  if (ts != "<f4" && ts != "=f4") return std::nullopt;
  PyObject* shape = PyDict_GetItemString(iface.get(), "shape");
  if (shape == nullptr || !PyTuple_Check(shape) || PyTuple_Size(shape) != ndim) return std::nullopt;
  ArrayView view;
  for (int i = 0; i < ndim; ++i) {
    uint64_t extent = 0;
    if (!parse_uint(PyTuple_GetItem(shape, i), extent)) return std::nullopt;
    view.shape.push_back(extent);
  }
  // Only C-contiguous data is read directly: strides must be absent or the contiguous ones.
  PyObject* strides = PyDict_GetItemString(iface.get(), "strides");
  if (strides != nullptr && strides != Py_None) {
    if (!PyTuple_Check(strides) || PyTuple_Size(strides) != ndim) return std::nullopt;
    uint64_t expected = 4;
    for (int i = ndim - 1; i >= 0; --i) {
      uint64_t stride = 0;
      if (!parse_uint(PyTuple_GetItem(strides, i), stride)) return std::nullopt;
      if (view.shape[static_cast<std::size_t>(i)] > 1 && stride != expected) return std::nullopt;
      expected *= view.shape[static_cast<std::size_t>(i)];
    }
  }
  PyObject* data = PyDict_GetItemString(iface.get(), "data");
  if (data == nullptr || !PyTuple_Check(data) || PyTuple_Size(data) != 2) return std::nullopt;
  void* address = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
  if (address == nullptr && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  view.data = static_cast<const float*>(address);
  view.readonly = PyObject_IsTrue(PyTuple_GetItem(data, 1)) == 1;
  return view;
}

ArrayView require_float32(PyObject* obj, int ndim) {
  std::optional<ArrayView> view = float32_view(obj, ndim);
  if (!view) {
    raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to a " +
                               std::to_string(ndim) + "-D float32 array");
  }
  return *view;
}

}  // namespace tarnivel::py
