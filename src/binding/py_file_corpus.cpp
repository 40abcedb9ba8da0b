#include "binding/py_file_corpus.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "binding/py_convert.hpp"

namespace tarnivel::py {
namespace {

// tarnivel.corpus.LineSentence when tarnivel.corpus has been imported (a LineSentence cannot exist
// otherwise), else NULL. New reference.
Ref line_sentence_class() {
  Ref name = Ref::checked(PyUnicode_FromString("tarnivel.corpus"));
  Ref module(PyImport_GetModule(name.get()));
  if (!module) {
    if (PyErr_Occurred()) throw PyErrorSet{};
    return Ref();
  }
  Ref cls(PyObject_GetAttrString(module.get(), "LineSentence"));
  if (!cls || !PyType_Check(cls.get())) {
    PyErr_Clear();
    return Ref();
  }
  return cls;
}

// An attribute, or NULL (with no exception set) when reading it fails.
Ref attribute(PyObject* obj, const char* name) {
  Ref value(PyObject_GetAttrString(obj, name));
  if (!value) PyErr_Clear();
  return value;
}

// Raises OSError for `err` naming `path`, as Python's open() does.
[[noreturn]] void raise_os_error(int err, PyObject* path) {
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  throw PyErrorSet{};
}

}  // namespace

std::optional<corpus::FilePass> open_path(PyObject* path, uint64_t max_words) {
  Ref encoded;
  if (PyUnicode_Check(path)) {
    encoded = Ref(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
      PyErr_Clear();
      return std::nullopt;
    }
  } else if (PyBytes_Check(path)) {
    encoded = Ref::borrow(path);
  } else {
    return std::nullopt;
  }
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) < 0) throw PyErrorSet{};
  if (std::memchr(bytes, '\0', static_cast<std::size_t>(size)) != nullptr) return std::nullopt;
  struct stat info;
  if (::stat(bytes, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const int fd = ::open(bytes, O_RDONLY | O_CLOEXEC);
  if (fd < 0) raise_os_error(errno, path);
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    raise_os_error(EISDIR, path);
  }
  corpus::FilePass pass;
  pass.reader = std::make_unique<corpus::LineReader>(fd);
  pass.max_words = max_words;
  return pass;
}

std::optional<uint64_t> max_words_of(PyObject* limit) {
  if (limit == Py_None) return 0;
  if (!PyLong_Check(limit)) return std::nullopt;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(limit, &overflow);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (overflow > 0) return 0;
  if (overflow < 0 || value < 1) return std::nullopt;
  return static_cast<uint64_t>(value);
}

std::optional<corpus::FileSource::Opener> line_sentence_opener(PyObject* corpus) {
  Ref cls = line_sentence_class();
  if (!cls) return std::nullopt;
  if (!PyType_IsSubtype(Py_TYPE(corpus), reinterpret_cast<PyTypeObject*>(cls.get()))) return std::nullopt;
  // A subclass with its own __iter__ yields whatever it likes: only Python can run it.
  Ref own = attribute(cls.get(), "__iter__");
  Ref used = attribute(reinterpret_cast<PyObject*>(Py_TYPE(corpus)), "__iter__");
  if (!own || own.get() != used.get()) return std::nullopt;
  // Each pass reads `path` and `max_sentence_length` anew, as every iteration of a LineSentence does.
  return [self = std::make_shared<Ref>(Ref::borrow(corpus))]() -> std::optional<corpus::FilePass> {
    return fetching([&]() -> std::optional<corpus::FilePass> {
      Ref path = attribute(self->get(), "path");
      Ref limit = attribute(self->get(), "max_sentence_length");
      if (!path || !limit) return std::nullopt;
      const std::optional<uint64_t> max_words = max_words_of(limit.get());
      if (!max_words) return std::nullopt;
      return open_path(path.get(), *max_words);
    });
  };
}

}  // namespace tarnivel::py
