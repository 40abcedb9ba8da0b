#pragma once
// Shared pieces of the binding layer: the limited-API include, an owning reference, the exception
// boundary every entry point runs through, borrow counters and module state access.
#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "common/error.hpp"

namespace tarnivel::corpus {
struct ReadError;
}

namespace tarnivel::py {

// Thrown by binding code when a Python exception is already set; the boundary then returns NULL.
struct PyErrorSet {};

// A Python exception taken out of the interpreter's error state so that it can cross native code
// and threads (as std::exception_ptr) and be raised again by the boundary. Copies share one owned
// (type, value, traceback); the last one gives them back taking the interpreter lock itself.
class PythonError : public std::exception {
 public:
  // Takes the current exception (interpreter lock held; one must be set).
  static PythonError fetch();
  // Makes it the current exception again (interpreter lock held); a second restore sets nothing.
  void restore() const;
  const char* what() const noexcept override { return "Python exception"; }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Runs `f` (interpreter lock held), turning a Python exception it leaves set into PythonError.
template <class F>
decltype(auto) fetching(F&& f) {
  try {
    return f();
  } catch (const PyErrorSet&) {
    throw PythonError::fetch();
  }
}

// Throws PyErrorSet when `p` is NULL (the failed call set an exception).
inline PyObject* check(PyObject* p) {
  if (p == nullptr) throw PyErrorSet{};
  return p;
}
inline void check_status(int status) {
  if (status < 0) throw PyErrorSet{};
}

// An owned (strong) reference, released when the holder goes away.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  static Ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  // Wraps a new reference returned by an API call, throwing PyErrorSet when it is NULL.
  static Ref checked(PyObject* owned) { return Ref(check(owned)); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Per-module state: the two classes, the buffer owner type and the panic exception.
struct ModuleState {
  PyObject* word2vec_type = nullptr;
  PyObject* keyed_vectors_type = nullptr;
  PyObject* buffer_type = nullptr;
  PyObject* panic_exception = nullptr;
  PyObject* numpy_asarray = nullptr;  // numpy.asarray, looked up on first use
  PyObject* numpy_load = nullptr;     // numpy.load, looked up on first use
};

// The state of the (single) imported module; set while the module is alive.
ModuleState& state();

// Raises the Python exception matching the C++ exception currently being handled.
void raise_current_exception();

// Runs `body` and turns every C++ failure into a Python exception. `Fail` is what the entry point
// returns on failure (NULL or -1). A Python exception set without a C++ throw is kept as it is.
template <class R, class F>
R guarded(R fail, F&& body) {
  try {
    R result = body();
    if (result == fail && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result;
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation (the interpreter ending a thread at exit) must keep unwinding
  } catch (...) {
    raise_current_exception();
    return fail;
  }
}

// Sets the exception Python raises for the read error of a file pass: UnicodeDecodeError with
// Python's message and attributes, or OSError.
void raise_read_error(const corpus::ReadError& e);

// Sets a Python exception with a UTF-8 message and throws PyErrorSet.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Type name of an object (its class's __name__), for messages.
std::string type_name(PyObject* obj);

// UTF-8 text of a str object (throws PyErrorSet on failure, e.g. lone surrogates).
std::string_view utf8_view(PyObject* str);
inline std::string utf8(PyObject* str) { return std::string(utf8_view(str)); }
Ref new_str(std::string_view text);

// Borrow counter: > 0 shared borrows, -1 exclusive. Only touched with the interpreter lock held.
class SharedBorrow {
 public:
  explicit SharedBorrow(int& counter);
  ~SharedBorrow() { --counter_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  int& counter_;
};
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(int& counter);
  ~ExclusiveBorrow() { counter_ = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  int& counter_;
};

// Interpreter exit: a thread that takes the lock once finalization began is ended with a forced
// unwind, which aborts the process at the first C++ destructor. So from the start of the exit (its
// atexit callbacks) every other thread waits for the process to end instead of taking the lock.
void mark_interpreter_exit();
// Brackets the taking of the interpreter lock by a thread that does not hold it: during an exit,
// begin never returns unless the thread runs the exit (see act_for); the exit waits (with the lock released) until no thread is between
// the two, so that none is still queued for the lock when finalization starts.
void begin_taking_gil();
void end_taking_gil();
// Makes this thread take the interpreter lock during an exit as `caller` would: a training call's
// reader and reporter threads act for the thread that called train, so that a call made by the
// exiting thread itself (an atexit handler that trains) runs to its end instead of waiting forever
// for its own helpers.
void act_for(std::thread::id caller);
// Starts a thread that runs `body` acting for the calling thread (act_for): InternalError "failed to
// spawn thread: {error}" when the system refuses one.
std::thread start_helper_thread(std::function<void()> body);
// What this thread knows of its hold on the interpreter lock: kUnknown outside the holds below (a
// thread running our code for the interpreter then holds the lock; any other thread does not).
enum class GilKnown { kUnknown, kHeld, kReleased };
GilKnown& gil_known();
// Whether this thread holds the interpreter lock now.
bool holds_gil();
// PyGILState_Ensure from any thread. A thread that does not hold the lock brackets the taking with
// begin/end_taking_gil; one that holds it only nests (it takes nothing, so it must not wait for the
// exit: it would wait with the lock and the exiting thread could never take it back).
inline PyGILState_STATE ensure_gil() {
  if (holds_gil()) return PyGILState_Ensure();
  begin_taking_gil();
  PyGILState_STATE state = PyGILState_Ensure();
  end_taking_gil();
  return state;
}

// Holds the interpreter lock for its lifetime, from any thread (nested when already held).
class GilHold {
 public:
  GilHold() : prev_(gil_known()), state_(ensure_gil()) { gil_known() = GilKnown::kHeld; }
  ~GilHold() {
    PyGILState_Release(state_);
    gil_known() = prev_;
  }
  GilHold(const GilHold&) = delete;
  GilHold& operator=(const GilHold&) = delete;

 private:
  GilKnown prev_;
  PyGILState_STATE state_;
};

// Releases the interpreter lock for its lifetime.
class AllowThreads {
 public:
  AllowThreads() : prev_(gil_known()), save_(PyEval_SaveThread()) { gil_known() = GilKnown::kReleased; }
  ~AllowThreads() {
    begin_taking_gil();
    PyEval_RestoreThread(save_);
    end_taking_gil();
    gil_known() = prev_;
  }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  GilKnown prev_;
  PyThreadState* save_;
};

}  // namespace tarnivel::py
