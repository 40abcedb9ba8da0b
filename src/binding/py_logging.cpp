#include "binding/py_logging.hpp"

#include <atomic>

#include "binding/py_common.hpp"

namespace tarnivel::py {
namespace {

std::atomic<bool> g_configured{false};

void configure(PyObject* logging, PyObject* logger) {
  Ref handlers = Ref::checked(PyObject_GetAttrString(logger, "handlers"));
  Ref len = Ref::checked(PyObject_CallMethod(handlers.get(), "__len__", nullptr));
  const unsigned long long n = PyLong_AsUnsignedLongLong(len.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
  if (n != 0) return;  // the user's handlers, level and propagation stay as they are
  Ref handler = Ref::checked(PyObject_CallMethod(logging, "StreamHandler", nullptr));
  Ref formatter = Ref::checked(PyObject_CallMethod(logging, "Formatter", "ss",
                                                   "%(asctime)s: %(levelname)s: %(message)s",
                                                   "%Y-%m-%d %H:%M:%S"));
  Ref r1 = Ref::checked(PyObject_CallMethod(handler.get(), "setFormatter", "O", formatter.get()));
  Ref r2 = Ref::checked(PyObject_CallMethod(logger, "addHandler", "O", handler.get()));
  Ref info = Ref::checked(PyObject_GetAttrString(logging, "INFO"));
  Ref r3 = Ref::checked(PyObject_CallMethod(logger, "setLevel", "O", info.get()));
  check_status(PyObject_SetAttrString(logger, "propagate", Py_True));
}

void emit(const std::string& message) {
  Ref logging = Ref::checked(PyImport_ImportModule("logging"));
  Ref logger = Ref::checked(PyObject_CallMethod(logging.get(), "getLogger", "s", "tarnivel"));
  if (!g_configured.exchange(true)) configure(logging.get(), logger.get());
  Ref text = new_str(message);
  Ref result = Ref::checked(PyObject_CallMethod(logger.get(), "info", "O", text.get()));
}

}  // namespace

void log_info(const std::string& message) {
  GilHold gil;
  try {
    emit(message);
  } catch (const PyErrorSet&) {
    // KeyboardInterrupt (or another exception that is not an Exception, such as SystemExit, which
    // the traceback printer would turn into a process exit) is handed back to stop training.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError::fetch();
    PyErr_PrintEx(0);
  } catch (const std::exception&) {
    // Only allocation failures can get here; the message is lost like any other logging failure.
    PyErr_Clear();
  }
}

}  // namespace tarnivel::py
