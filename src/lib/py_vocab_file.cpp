#include "lib/py_vocab_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "common/fd.hpp"
#include "common/os_error.hpp"

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace tarnivel::py {
namespace {

// fsync, retried on EINTR; returns the errno of a failure, 0 on success.
int sync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Writes all bytes; returns the errno of a failure, 0 on success.
int write_all(int fd, const uint8_t* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // no progress: report instead of looping forever
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Writes `bytes` to a new (or truncated) file and syncs it, so that a rename after this cannot put
// an empty or partial file under the final name even if the machine crashes.
void write_synced(const std::string& name, const std::string& bytes, bool& created) {
  const auto fail = [&](int err) { throw ValueError("failed to write " + name + ": " + os_error_text(err)); };
  const int raw = ::open(name.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
  if (raw < 0) fail(errno);
  created = true;
  Fd fd(raw);
  if (int err = write_all(fd.get(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) fail(err);
  if (int err = sync_fd(fd.get())) fail(err);
  if (int err = fd.close_now()) fail(err);
}

void rename_into_place(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    throw ValueError("failed to finalize " + to + ": " + os_error_text(errno));
  }
}

// Syncs the directory holding `name`, making the renames into it durable. Decision: a directory that
// cannot be opened for reading (write and search permission suffice for a rename) is left unsynced
// rather than failing a save whose files are already in place; file systems that do not support
// syncing a directory (EINVAL, ENOTSUP) are accepted likewise; any other sync error is reported.
void sync_parent_dir(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  const int raw = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) return;
  Fd fd(raw);
  const int err = sync_fd(fd.get());
  if (err != 0 && err != EINVAL && err != ENOTSUP && err != EROFS) {
    throw ValueError("failed to finalize " + name + ": " + os_error_text(err));
  }
}

// The current Python exception, taken out of the interpreter and normalised.
struct Fetched {
  Ref type, value, traceback;
};
Fetched fetch_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return {Ref(type), Ref(value), Ref(traceback)};
}

// str() of an object, for messages; "unknown error" if even that fails.
std::string text_of(PyObject* obj) {
  if (obj != nullptr) {
    Ref s(PyObject_Str(obj));
    if (s) {
      Py_ssize_t len = 0;
      const char* text = PyUnicode_AsUTF8AndSize(s.get(), &len);
      if (text != nullptr) return std::string(text, static_cast<std::size_t>(len));
    }
    PyErr_Clear();
  }
  return "unknown error";
}

Ref json_attr(const char* name) {
  Ref json = Ref::checked(PyImport_ImportModule("json"));
  return Ref::checked(PyObject_GetAttrString(json.get(), name));
}

// ---- positions in a vocabulary text, for errors found after parsing ----

bool json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_space(std::string_view text, std::size_t i) {
  while (i < text.size() && json_space(text[i])) ++i;
  return i;
}

// Item indexes of item_offset with a special meaning: the document itself, and the first item that is
// not a string.
constexpr std::size_t kDocument = std::string::npos;
constexpr std::size_t kFirstNonString = std::string::npos - 1;

// Byte offset of the start of array item `index` (or of the document itself) in a text that parsed
// as JSON. The walk only steps over strings, so it stops at the first item that is not a string even
// when `index` lies further on.
std::size_t item_offset(std::string_view text, std::size_t index) {
  std::size_t i = skip_space(text, 0);
  if (index == kDocument || i >= text.size() || text[i] != '[') return i;
  ++i;
  for (std::size_t k = 0;; ++k) {
    i = skip_space(text, i);
    if (k == index || i >= text.size() || text[i] != '"') return i;
    for (++i; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\') ++i;
    }
    i = skip_space(text, i + 1);
    if (i >= text.size() || text[i] != ',') return i;
    ++i;
  }
}

// " at line {line} column {column}" of a byte offset, columns counted in characters from 1, as the
// JSON parser counts them.
std::string position_text(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// How a parsed JSON value that is not what was expected is described, e.g. "integer `1`".
std::string json_kind(PyObject* value) {
  if (value == Py_None) return "null";
  if (PyBool_Check(value)) return value == Py_True ? "boolean `true`" : "boolean `false`";
  if (PyUnicode_Check(value)) return "string";
  if (PyList_Check(value)) return "sequence";
  if (PyDict_Check(value)) return "map";
  std::string repr;
  if (Ref r{PyObject_Repr(value)}) {
    repr = text_of(r.get());
  } else {
    PyErr_Clear();
  }
  if (repr.size() > 40) repr = repr.substr(0, 37) + "...";
  if (PyLong_Check(value)) return "integer `" + repr + "`";
  if (PyFloat_Check(value)) return "floating point `" + repr + "`";
  return "value `" + repr + "`";
}

[[noreturn]] void parse_failure(const std::string& description) {
  throw ValueError("failed to parse vocab json: " + description);
}

}  // namespace

PairNames::PairNames(const std::string& path)
    : vocab(path + ".vocab.json"),
      matrix(path + ".npy"),
      vocab_tmp(path + ".vocab.json" + ".tmp"),
      matrix_tmp(path + ".npy" + ".tmp") {}

std::vector<uint8_t> read_whole_file(const std::string& name) {
  const auto fail = [&](int err) { throw ValueError("failed to read " + name + ": " + os_error_text(err)); };
  const int raw = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw < 0) fail(errno);
  Fd fd(raw);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) fail(errno);
  std::vector<uint8_t> bytes;
  // The size is only a hint (the file may change or not be regular): read until end of file.
  if (S_ISREG(st.st_mode) && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
  uint8_t chunk[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

std::vector<std::string> read_vocab(const std::string& name) {
  const std::vector<uint8_t> bytes = read_whole_file(name);
  Ref text_obj(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes.data()),
                                    static_cast<Py_ssize_t>(bytes.size()), "strict"));
  if (!text_obj) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyErrorSet{};
    PyErr_Clear();
    throw ValueError("failed to read " + name + ": stream did not contain valid UTF-8");
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());

  Ref loads = json_attr("loads");
  Ref decode_error = json_attr("JSONDecodeError");
  Ref parsed(PyObject_CallFunctionObjArgs(loads.get(), text_obj.get(), nullptr));
  if (!parsed) {
    if (PyErr_ExceptionMatches(decode_error.get())) {
      Fetched err = fetch_error();
      Ref msg(PyObject_GetAttrString(err.value.get(), "msg"));
      Ref line(PyObject_GetAttrString(err.value.get(), "lineno"));
      Ref column(PyObject_GetAttrString(err.value.get(), "colno"));
      if (!msg || !line || !column) throw PyErrorSet{};
      // Some of the parser's messages end in " at" ("Invalid control character at"); the position
      // follows as " at line {line} column {column}" either way.
      std::string description = text_of(msg.get());
      if (description.size() >= 3 && description.compare(description.size() - 3, 3, " at") == 0) {
        description.resize(description.size() - 3);
      }
      parse_failure(description + " at line " + text_of(line.get()) + " column " + text_of(column.get()));
    }
    // Other parser failures (a too deeply nested value, an integer too long to convert) come without
    // a position; they concern a value that is not a string, so the first such item is named.
    if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_RecursionError)) {
      Fetched err = fetch_error();
      parse_failure(text_of(err.value.get()) + position_text(text, item_offset(text, kFirstNonString)));
    }
    throw PyErrorSet{};
  }

  if (!PyList_Check(parsed.get())) {
    parse_failure("invalid type: " + json_kind(parsed.get()) + ", expected a sequence of strings" +
                  position_text(text, item_offset(text, kDocument)));
  }
  const Py_ssize_t count = PyList_Size(parsed.get());
  std::vector<std::string> words;
  words.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(parsed.get(), i);  // borrowed
    const auto index = static_cast<std::size_t>(i);
    if (!PyUnicode_Check(item)) {
      parse_failure("invalid type: " + json_kind(item) + ", expected a string" +
                    position_text(text, item_offset(text, index)));
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &len);
    if (utf8 == nullptr) {
      // A \u escape of a lone surrogate parses in Python but is no Unicode text.
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
      PyErr_Clear();
      parse_failure("lone surrogate in a \\u escape" + position_text(text, item_offset(text, index)));
    }
    words.emplace_back(utf8, static_cast<std::size_t>(len));
  }
  return words;
}

std::string encode_vocab(const std::vector<std::string>& words) {
  const auto encode_failure = [](const std::string& why) { throw ValueError("failed to encode vocab: " + why); };
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(words.size())));
  for (std::size_t i = 0; i < words.size(); ++i) {
    PyObject* word = PyUnicode_DecodeUTF8(words[i].data(), static_cast<Py_ssize_t>(words[i].size()), "strict");
    if (word == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyErrorSet{};
      encode_failure(text_of(fetch_error().value.get()));
    }
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), word));
  }
  // json.dumps without ASCII escaping and with compact separators writes exactly the vocabulary
  // format: \" \\ \b \f \n \r \t, other controls as \u00xx in lowercase hex, everything else (non-ASCII
  // and "/" included) as is. The file tests compare its bytes.
  Ref dumps = json_attr("dumps");
  Ref args = Ref::checked(PyTuple_Pack(1, list.get()));
  Ref kwargs = Ref::checked(Py_BuildValue("{s:O,s:(ss)}", "ensure_ascii", Py_False, "separators", ",", ":"));
  Ref encoded(PyObject_Call(dumps.get(), args.get(), kwargs.get()));
  if (!encoded) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
    encode_failure(text_of(fetch_error().value.get()));
  }
  if (!PyUnicode_Check(encoded.get())) encode_failure("the encoder did not return text");
  return utf8(encoded.get());
}

void create_empty(const std::string& name) {
  const int raw = ::open(name.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
  if (raw < 0) throw ValueError("failed to create " + name + ": " + os_error_text(errno));
  ::close(raw);
}

void copy_matrix_file(const std::string& from, const std::string& to, bool& created) {
  const auto fail = [](int err) { throw ValueError("failed to copy npy: " + os_error_text(err)); };
  const int raw_src = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw_src < 0) fail(errno);
  Fd src(raw_src);
  struct stat src_st {};
  if (::fstat(src.get(), &src_st) != 0) fail(errno);
  // Opened without truncation first: if the destination is the source under another name (a link
  // left in place of the temporary file), truncating it would destroy the data being copied.
  const int raw_dst = ::open(to.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
  if (raw_dst < 0) fail(errno);
  Fd dst(raw_dst);
  struct stat dst_st {};
  if (::fstat(dst.get(), &dst_st) != 0) fail(errno);
  if (dst_st.st_dev == src_st.st_dev && dst_st.st_ino == src_st.st_ino) {
    throw ValueError("failed to copy npy: source and destination are the same file");
  }
  created = true;
  if (::ftruncate(dst.get(), 0) != 0) fail(errno);
  if (::fchmod(dst.get(), src_st.st_mode & 07777) != 0) fail(errno);

  bool kernel_copy = true;
  bool copied_any = false;
#if defined(__linux__) && defined(SYS_copy_file_range)
  while (kernel_copy) {
    const ssize_t n = ::copy_file_range(src.get(), nullptr, dst.get(), nullptr, std::size_t{1} << 30, 0);
    if (n > 0) {
      copied_any = true;
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    // Not supported for this pair of files (other file system, old kernel, special file): fall back
    // to plain reads and writes, which is only correct while nothing has been copied yet.
    const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL ||
                             errno == EPERM || errno == EBADF;
    if (!unsupported || copied_any) fail(errno);
    kernel_copy = false;
  }
#else
  kernel_copy = false;
#endif
  if (!kernel_copy) {
    uint8_t chunk[65536];
    while (true) {
      const ssize_t n = ::read(src.get(), chunk, sizeof chunk);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail(errno);
      }
      if (n == 0) break;
      if (int err = write_all(dst.get(), chunk, static_cast<std::size_t>(n))) fail(err);
    }
  }
  if (int err = sync_fd(dst.get())) fail(err);
  if (int err = dst.close_now()) fail(err);
}

void save_pair(const std::string& path, const std::vector<std::string>& words, const MatrixWriter& write_matrix) {
  const PairNames names(path);
  bool vocab_tmp_created = false;
  bool matrix_tmp_created = false;
  try {
    const std::string json = encode_vocab(words);
    write_synced(names.vocab_tmp, json, vocab_tmp_created);
    write_matrix(names.matrix_tmp, matrix_tmp_created);
    rename_into_place(names.vocab_tmp, names.vocab);
    vocab_tmp_created = false;  // it is the vocabulary file now
    rename_into_place(names.matrix_tmp, names.matrix);
    matrix_tmp_created = false;
    sync_parent_dir(names.matrix);
  } catch (...) {
    // A failed save takes its own temporary files with it; nothing else is touched.
    if (vocab_tmp_created) ::unlink(names.vocab_tmp.c_str());
    if (matrix_tmp_created) ::unlink(names.matrix_tmp.c_str());
    throw;
  }
}

}  // namespace tarnivel::py
