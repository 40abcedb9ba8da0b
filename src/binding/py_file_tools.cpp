#include "binding/py_args.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_file_corpus.hpp"

namespace tarnivel::py {

using corpus::LineReader;

// The pass of a test entry point over `path` with `limit` (NULL: None).
corpus::FilePass tool_pass(PyObject* path, PyObject* limit) {
  const std::optional<uint64_t> max_words = max_words_of(limit == nullptr ? Py_None : limit);
  if (!max_words) raise(PyExc_ValueError, "max_sentence_length must be None or at least 1");
  std::optional<corpus::FilePass> pass = open_path(path, *max_words);
  if (!pass) raise(PyExc_ValueError, "not a regular file");
  return std::move(*pass);
}

PyObject* read_lines_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    parse_args("_read_lines", args, kwargs, {"path", "max_sentence_length"}, 1, a);
    std::optional<corpus::FilePass> pass = tool_pass(a[0], a[1]);
    Ref sentences = Ref::checked(PyList_New(0));
    struct Out {
      Ref sentence;
      PyObject* sentences;
      void word(std::string_view w) {
        if (!sentence) sentence = Ref::checked(PyList_New(0));
        Ref text = new_str(w);
        check_status(PyList_Append(sentence.get(), text.get()));
      }
      bool piece() {
        check_status(PyList_Append(sentences, sentence.get()));
        sentence = Ref();
        return true;
      }
    } out{Ref(), sentences.get()};
    corpus::Pieces<Out> pieces(out, pass->max_words);
    Ref error = Ref::borrow(Py_None);
    for (;;) {
      const LineReader::Status status = pass->reader->next();
      if (status == LineReader::Status::end) break;
      if (status != LineReader::Status::lines) {
        raise_read_error(corpus::ReadError(*pass->reader, status));
        error = std::move(fetch_error().value);
        break;
      }
      corpus::split_lines(pass->reader->lines(), pieces);
    }
    return Py_BuildValue("(OO)", sentences.get(), error.get());
  });
}

PyObject* convert_file_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[3];
    parse_args("_convert_file", args, kwargs, {"path", "words", "max_sentence_length"}, 2, a);
    KeyIndexMap key_to_index;
    Ref it = Ref::checked(PyObject_GetIter(a[1]));
    while (Ref word{PyIter_Next(it.get())}) {
      const std::string_view text = utf8_view(word.get());
      key_to_index.emplace(std::string(text), key_to_index.size());
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    const corpus::ByteLookup words(key_to_index);
    std::optional<corpus::FilePass> pass = tool_pass(a[0], a[2]);
    corpus::ConversionTimes t;
    {
      AllowThreads unlocked;
      t = corpus::time_conversion(*pass->reader, pass->max_words, words);
    }
    return Py_BuildValue("{s:K,s:K,s:d,s:d,s:d,s:d}", "sentences", static_cast<unsigned long long>(t.sentences),
                         "tokens", static_cast<unsigned long long>(t.tokens), "seconds", t.seconds, "converting",
                         t.converting, "cpu_seconds", t.cpu_seconds, "cpu_converting", t.cpu_converting);
  });
}

}  // namespace tarnivel::py
