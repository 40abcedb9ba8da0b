#include "binding/py_vocab_file.hpp"

#include <string_view>

#include "binding/py_args.hpp"
#include "io/json_position.hpp"

namespace tarnivel::py {
namespace {

Ref json_attr(const char* name) {
  Ref json = Ref::checked(PyImport_ImportModule("json"));
  return Ref::checked(PyObject_GetAttrString(json.get(), name));
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
      parse_failure(text_of(err.value.get()) + item_position(text, kFirstNonString));
    }
    throw PyErrorSet{};
  }

  if (!PyList_Check(parsed.get())) {
    parse_failure("invalid type: " + json_kind(parsed.get()) + ", expected a sequence of strings" +
                  item_position(text, kDocument));
  }
  const Py_ssize_t count = PyList_Size(parsed.get());
  std::vector<std::string> words;
  words.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(parsed.get(), i);  // borrowed
    const auto index = static_cast<std::size_t>(i);
    if (!PyUnicode_Check(item)) {
      parse_failure("invalid type: " + json_kind(item) + ", expected a string" +
                    item_position(text, index));
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &len);
    if (utf8 == nullptr) {
      // A \u escape of a lone surrogate parses in Python but is no Unicode text.
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
      PyErr_Clear();
      parse_failure("lone surrogate in a \\u escape" + item_position(text, index));
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

DirLock lock_pair(const std::string& path, DirLock::Mode mode) {
  // Waiting for another process's (or thread's) save or load must not hold the interpreter lock: a
  // thread of this process holding the directory lock may need it to finish.
  AllowThreads unlocked;
  return DirLock(path, mode);
}

void save_pair(const std::string& path, const std::vector<std::string>& words, const MatrixWriter& write_matrix) {
  check_save_prefix(path);
  const std::string json = encode_vocab(words);
  const DirLock lock = lock_pair(path, DirLock::Mode::exclusive);
  save_pair_files(PairNames(path), json, write_matrix);
}

}  // namespace tarnivel::py
