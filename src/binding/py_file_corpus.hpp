#pragma once
// Training from a tarnivel.LineSentence without the interpreter: every pass over such a corpus reads
// the file natively (corpus/file_source) and yields exactly the sentences, words and errors that
// iterating the LineSentence in Python would. Any other corpus, and a LineSentence subclass with its
// own __iter__, goes through the interpreter.
#include <cstdint>
#include <optional>

#include "binding/py_common.hpp"
#include "corpus/file_source.hpp"

namespace tarnivel::py {

// The opener of a tarnivel.LineSentence's (or a subclass's) native passes when its iteration is
// LineSentence's own; nullopt otherwise. A pass opens as nullopt when it must go through the
// interpreter after all: `path` or `max_sentence_length` hold values only Python's code handles (a
// path with a NUL byte, a limit of 0 or of another type), or the path is no regular file (missing,
// a directory or a pipe). An opening failure raises as Python's open() would. Interpreter lock held.
std::optional<corpus::FileSource::Opener> line_sentence_opener(PyObject* corpus);

// Opens `path` (str or bytes) for a native pass; nullopt when Python's code must read it.
std::optional<corpus::FilePass> open_path(PyObject* path, uint64_t max_words);

// max_sentence_length as the native reader takes it: 0 for None, the value for an int of at least 1
// (one beyond 64 bits limits nothing). nullopt for anything else, which Python's code handles.
std::optional<uint64_t> max_words_of(PyObject* limit);

// _core._read_lines(path, max_sentence_length=None): (sentences, error), the sentences the native
// reader finds in a file as lists of str and the exception that ends the file (None if none).
PyObject* read_lines_function(PyObject* self, PyObject* args, PyObject* kwargs);

// _core._convert_file(path, words, max_sentence_length=None): reads and converts a file as training
// does, without training; returns {"sentences", "tokens", "seconds", "converting", "cpu_seconds",
// "cpu_converting"}, for benchmarks.
PyObject* convert_file_function(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tarnivel::py
