#pragma once
// Error types of the native core. Core code reports failures by throwing one of these; the binding
// layer catches every C++ exception at its boundary and turns it into a Python exception, so nothing
// thrown here can reach the interpreter unconverted.
#include <stdexcept>
#include <string>

namespace tarnivel {

// A failure caused by the caller's input or by the file system (bad file, mismatched shapes...).
// Raised in Python as ValueError with exactly this message.
struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A broken internal invariant (a programming error, never ordinary input). Raised in Python as the
// module's panic exception, derived from BaseException.
struct InternalError : std::logic_error {
  using std::logic_error::logic_error;
};

// The system refused a resource (a thread). Raised in Python as RuntimeError with this message.
struct ResourceError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws InternalError(message).
[[noreturn]] void internal_error(const std::string& message);

}  // namespace tarnivel

// Checks an internal invariant; a violation throws InternalError with the given message.
#define TARNIVEL_CHECK(cond, message)                  \
  do {                                                 \
    if (!(cond)) ::tarnivel::internal_error(message);  \
  } while (0)
