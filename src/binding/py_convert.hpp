#pragma once
// Argument parsing and conversion of Python values into native ones, with the exact error types and
// messages of the Python surface.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/py_common.hpp"

namespace tarnivel::py {

// Parses positional and keyword arguments against `names` (all positional-or-keyword). The first
// `required` names must be given. Fills `out` with borrowed references (NULL for absent ones).
// Raises TypeError for too many positional arguments, missing, unexpected or duplicate arguments.
void parse_args(const char* function, PyObject* args, PyObject* kwargs,
                std::initializer_list<const char*> names, std::size_t required, PyObject** out);

// True when the argument was omitted or given as None.
inline bool absent(PyObject* obj) { return obj == nullptr || obj == Py_None; }

// Each converter raises (throws PyErrorSet) with "argument '{name}': ..." for TypeError failures;
// OverflowError is raised unchanged.
uint64_t to_size(PyObject* obj, const char* name);
std::optional<uint64_t> to_optional_size(PyObject* obj, const char* name);
int32_t to_i32(PyObject* obj, const char* name);
float to_f32(PyObject* obj, const char* name);
double to_f64(PyObject* obj, const char* name);
bool to_bool(PyObject* obj, const char* name);
std::string to_text(PyObject* obj, const char* name);
// A file path: text without NUL bytes (ValueError "embedded null byte" otherwise).
std::string to_path(PyObject* obj, const char* name);
std::vector<uint64_t> to_size_list(PyObject* obj, const char* name);

// The message of a str item where a sequence was expected.
inline constexpr const char* kStrNotVec = "Can't extract `str` to `Vec`";

}  // namespace tarnivel::py
