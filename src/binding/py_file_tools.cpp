#include <time.h>

#include <chrono>
#include <utility>

#include "binding/py_convert.hpp"
#include "binding/py_file_corpus.hpp"

namespace tarnivel::py {

using corpus::LineReader;

PyObject* read_lines_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    parse_args("_read_lines", args, kwargs, {"path", "max_sentence_length"}, 1, a);
    const std::optional<uint64_t> max_words = max_words_of(a[1] == nullptr ? Py_None : a[1]);
    if (!max_words) raise(PyExc_ValueError, "max_sentence_length must be None or at least 1");
    std::optional<corpus::FilePass> pass = open_path(a[0], *max_words);
    if (!pass) raise(PyExc_ValueError, "not a regular file");
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
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref t(type), traceback(tb);
        error = Ref(value);
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
    const std::optional<uint64_t> max_words = max_words_of(a[2] == nullptr ? Py_None : a[2]);
    if (!max_words) raise(PyExc_ValueError, "max_sentence_length must be None or at least 1");
    KeyIndexMap key_to_index;
    Ref it = Ref::checked(PyObject_GetIter(a[1]));
    while (Ref word{PyIter_Next(it.get())}) {
      const std::string_view text = utf8_view(word.get());
      key_to_index.emplace(std::string(text), key_to_index.size());
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    const corpus::ByteLookup words(key_to_index);
    std::optional<corpus::FilePass> pass = open_path(a[0], *max_words);
    if (!pass) raise(PyExc_ValueError, "not a regular file");
    // Wall-clock and this thread's processor time: on a busy machine the latter is the fairer
    // measure of what one thread does.
    auto now = [] {
      timespec cpu;
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
      return std::pair{std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
                       static_cast<double>(cpu.tv_sec) + 1e-9 * static_cast<double>(cpu.tv_nsec)};
    };
    uint64_t sentences = 0, tokens = 0;
    double converting = 0.0, cpu_converting = 0.0;
    LineReader::Status status;
    const auto start = now();
    {
      AllowThreads unlocked;
      corpus::SentenceBatch batch;
      while ((status = pass->reader->next()) == LineReader::Status::lines) {
        const auto t0 = now();
        batch.convert(pass->reader->lines(), pass->max_words, words);
        const auto t1 = now();
        converting += t1.first - t0.first;
        cpu_converting += t1.second - t0.second;
        sentences += batch.size();
        for (std::size_t i = 0; i < batch.size(); ++i) tokens += batch[i].size();
      }
    }
    const auto end = now();
    if (status != LineReader::Status::end) throw corpus::ReadError(*pass->reader, status);
    return Py_BuildValue("{s:K,s:K,s:d,s:d,s:d,s:d}", "sentences", static_cast<unsigned long long>(sentences),
                         "tokens", static_cast<unsigned long long>(tokens), "seconds", end.first - start.first,
                         "converting", converting, "cpu_seconds", end.second - start.second, "cpu_converting",
                         cpu_converting);
  });
}

}  // namespace tarnivel::py
