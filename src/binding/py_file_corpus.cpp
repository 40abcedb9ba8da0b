#include "binding/py_file_corpus.hpp"

#include <cerrno>
#include <system_error>
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
  try {
    return corpus::open_file_pass(std::string_view(bytes, static_cast<std::size_t>(size)), max_words);
  } catch (const std::system_error& e) {
    errno = e.code().value();  // raised as Python's open() raises it, naming the path object
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw PyErrorSet{};
  }
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
