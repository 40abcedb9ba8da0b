#pragma once
// NumPy without NumPy's C headers: float32 arrays are created from native buffers through the
// array-interface protocol (an owner object exposes __array_interface__ and becomes the array's base),
// and existing arrays are read through their __array_interface__.
#include <cstdint>
#include <optional>
#include <vector>

#include "binding/py_common.hpp"

namespace tarnivel::py {

// Creates the owner type; called once at module initialisation.
PyObject* create_buffer_type(PyObject* module);

// A new float32 NumPy array of the given shape (1 or 2 dims) that owns `data`.
Ref make_float_array(std::vector<float>&& data, std::initializer_list<std::size_t> shape);

// A C-contiguous float32 array as seen through its __array_interface__.
struct ArrayView {
  const float* data = nullptr;
  std::vector<uint64_t> shape;
  bool readonly = false;
};

// The view of `obj` if it is a native-endian float32 C-contiguous array of `ndim` dimensions;
// nullopt otherwise (also when it has no array interface). Python errors other than a missing
// interface propagate.
std::optional<ArrayView> float32_view(PyObject* obj, int ndim);

// Raises TypeError unless `obj` is a float32 array of `ndim` dimensions; returns its view.
ArrayView require_float32(PyObject* obj, int ndim);

// numpy.asarray / numpy.load, imported on first use.
PyObject* numpy_asarray();
PyObject* numpy_load();

}  // namespace tarnivel::py
