#include "binding/py_common.hpp"

#include <atomic>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "corpus/file_source.hpp"
#include "training/driver.hpp"

namespace tarnivel::py {

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PyErrorSet{};
}

struct PythonError::State {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  ~State() {
    if (type == nullptr && value == nullptr && traceback == nullptr) return;
    GilHold gil;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }
};

PythonError PythonError::fetch() {
  PythonError error;
  error.state_ = std::make_shared<State>();
  PyErr_Fetch(&error.state_->type, &error.state_->value, &error.state_->traceback);
  return error;
}

void PythonError::restore() const {
  if (!state_ || state_->type == nullptr) return;
  PyErr_Restore(std::exchange(state_->type, nullptr), std::exchange(state_->value, nullptr),
                std::exchange(state_->traceback, nullptr));
}

void raise_current_exception() {
  try {
    throw;
  } catch (const PythonError& e) {
    e.restore();
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const tarnivel::Interrupted&) {
    PyErr_SetString(PyExc_KeyboardInterrupt, "training interrupted");
  } catch (const corpus::ReadError& e) {
    raise_read_error(e);
  } catch (const tarnivel::ResourceError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const tarnivel::ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& e) {
    // A size beyond what can be allocated (a huge vector_size, a huge reported length).
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::exception& e) {
    // Broken invariants (and any other native failure) surface as the module's panic exception.
    PyObject* panic = state().panic_exception ? state().panic_exception : PyExc_SystemError;
    PyErr_SetString(panic, e.what());
  } catch (...) {
    PyObject* panic = state().panic_exception ? state().panic_exception : PyExc_SystemError;
    PyErr_SetString(panic, "unknown native failure");
  }
}

void raise_read_error(const corpus::ReadError& e) {
  if (e.status == corpus::LineReader::Status::os_error) {
    errno = e.os_error;
    PyErr_SetFromErrno(PyExc_OSError);
    return;
  }
  const corpus::DecodeError& d = e.decode;
  PyObject* error = PyUnicodeDecodeError_Create("utf-8", d.input.data(), static_cast<Py_ssize_t>(d.input.size()),
                                                static_cast<Py_ssize_t>(d.start - d.input_start),
                                                static_cast<Py_ssize_t>(d.end - d.input_start), d.reason);
  if (error == nullptr) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
  Py_DECREF(error);
}

std::string type_name(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len);
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, static_cast<std::size_t>(len));
}

std::string_view utf8_view(PyObject* str) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &len);
  if (text == nullptr) throw PyErrorSet{};
  return {text, static_cast<std::size_t>(len)};
}

Ref new_str(std::string_view text) {
  return Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

namespace {
std::atomic<bool> g_exiting{false};
std::atomic<std::thread::id> g_exit_thread{};
std::atomic<int> g_taking{0};  // threads between begin_taking_gil and end_taking_gil
thread_local std::thread::id t_acting_for{};  // unset: the thread acts for itself

// Whether this thread proceeds during an exit: the exiting thread and the helpers of its own calls.
bool runs_the_exit() {
  const std::thread::id self = t_acting_for == std::thread::id{} ? std::this_thread::get_id() : t_acting_for;
  return g_exit_thread.load() == self;
}
}  // namespace

void act_for(std::thread::id caller) { t_acting_for = caller; }

std::thread start_helper_thread(std::function<void()> body) {
  try {
    return std::thread([caller = std::this_thread::get_id(), body = std::move(body)] {
      act_for(caller);
      body();
    });
  } catch (const std::system_error& e) {
    throw ResourceError(std::string("failed to spawn thread: ") + e.what());
  }
}

void mark_interpreter_exit() {
  g_exit_thread.store(std::this_thread::get_id());
  g_exiting.store(true);
  // Threads already queued for the lock get it now, while the interpreter still runs normally; any
  // later one sees the mark and waits. Bounded, so a thread stuck elsewhere cannot hold up the exit.
  if (g_taking.load() == 0) return;
  PyThreadState* saved = PyEval_SaveThread();
  for (int i = 0; i < 2000 && g_taking.load() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  PyEval_RestoreThread(saved);
}

void begin_taking_gil() {
  g_taking.fetch_add(1);
  if (g_exiting.load() && !runs_the_exit()) {
    g_taking.fetch_sub(1);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

void end_taking_gil() { g_taking.fetch_sub(1); }

GilKnown& gil_known() {
  thread_local GilKnown known = GilKnown::kUnknown;
  return known;
}

bool holds_gil() {
  switch (gil_known()) {
    case GilKnown::kHeld:
      return true;
    case GilKnown::kReleased:
      return false;
    case GilKnown::kUnknown:
      break;
  }
  // Outside our holds, a thread with a thread state is one the interpreter called into, and it
  // holds the lock while it runs our code; our own threads and the pool's have none between holds.
  return PyGILState_GetThisThreadState() != nullptr;
}

SharedBorrow::SharedBorrow(int& counter) : counter_(counter) {
  if (counter_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
  ++counter_;
}

ExclusiveBorrow::ExclusiveBorrow(int& counter) : counter_(counter) {
  if (counter_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
  counter_ = -1;
}

}  // namespace tarnivel::py
