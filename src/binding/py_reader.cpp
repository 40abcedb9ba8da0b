#include "binding/py_reader.hpp"

#include <algorithm>
#include <cstdlib>

#include "binding/py_corpus.hpp"

namespace tarnivel::py {

CorpusReader::CorpusReader(PyObject* corpus, const CorpusLookup& lookup,
                           std::shared_ptr<ChunkChannel> channel)
    : corpus_(corpus), lookup_(lookup), channel_(std::move(channel)) {
  TARNIVEL_CHECK(lookup.max_index() <= SentenceChunk::kMaxIndex, "word indices exceed a sentence chunk");
  Py_INCREF(corpus_);
  try {
    thread_ = start_helper_thread([this] { run(); });
  } catch (...) {
    Py_DECREF(corpus_);
    throw;
  }
}

CorpusReader::~CorpusReader() {
  join();
  Py_XDECREF(error_type_);
  Py_XDECREF(error_value_);
  Py_XDECREF(error_tb_);
  Py_DECREF(corpus_);
}

void CorpusReader::join() {
  cancel_.store(true, std::memory_order_relaxed);
  // Releasing the receiving end wakes a reader blocked on a full channel; without it a call that
  // ends early (an error while training a chunk) would wait for that reader forever.
  channel_->close_receiver();
  if (thread_.joinable()) {
    AllowThreads unlocked;
    thread_.join();
  }
}

bool CorpusReader::restore_error() {
  if (!native_error_.empty()) throw InternalError(native_error_);
  if (error_type_ == nullptr) return false;
  PyErr_Restore(error_type_, error_value_, error_tb_);
  error_type_ = error_value_ = error_tb_ = nullptr;
  return true;
}

void CorpusReader::keep_error() { PyErr_Fetch(&error_type_, &error_value_, &error_tb_); }

namespace {

void reserve_words(SentenceChunk& chunk, std::size_t n) {
  if (chunk.narrow) {
    chunk.narrow_words.reserve(n);
  } else {
    chunk.words.reserve(n);
  }
}

template <class Buffer>
void shrink_if_slack(Buffer& words) {
  if (words.capacity() - words.size() > words.size() / 4) words.shrink_to_fit();
}

void shrink_words(SentenceChunk& chunk) {
  if (chunk.narrow) {
    shrink_if_slack(chunk.narrow_words);
  } else {
    shrink_if_slack(chunk.words);
  }
}

}  // namespace

void CorpusReader::run() {
  // Chunks carry 16-bit indices when every index of the vocabulary fits them.
  const bool narrow = lookup_.max_index() <= SentenceChunk::kMaxNarrowIndex;
  const uint64_t chunk_size = parse_chunk_size(std::getenv("W2V_CHUNK"));
  // Reserve for the common case only: a huge W2V_CHUNK must not turn into a huge up-front allocation.
  const std::size_t reserve = static_cast<std::size_t>(std::min<uint64_t>(chunk_size, 8192));
  PyObject* iterator = nullptr;
  bool finished = false;
  // The previous chunk's word count, to size the next chunk's buffer in one allocation.
  std::size_t last_words = 0;

  PyGILState_STATE gil = ensure_gil();
  iterator = PyObject_GetIter(corpus_);
  if (iterator == nullptr) {
    keep_error();
    finished = true;
  }
  PyGILState_Release(gil);

  try {
    while (!finished) {
      SentenceChunk chunk(narrow);
      chunk.offsets.reserve(reserve + 1);
      if (last_words != 0) {
        reserve_words(chunk, last_words + last_words / 8);
      }
      gil = ensure_gil();
      for (uint64_t taken = 0; taken < chunk_size; ++taken) {
        // A finished epoch (or a failed call) stops the reader at once instead of letting it drain
        // the user's iterator in the background.
        if (cancel_.load(std::memory_order_relaxed)) {
          finished = true;
          break;
        }
        PyObject* item = PyIter_Next(iterator);
        if (item == nullptr) {
          if (PyErr_Occurred()) keep_error();
          finished = true;
          break;
        }
        try {
          // Converted straight into the chunk; a sentence without known words leaves nothing.
          const std::size_t appended = narrow ? append_sentence(item, lookup_, chunk.narrow_words)
                                              : append_sentence(item, lookup_, chunk.words);
          if (appended != 0) chunk.end_sentence();
        } catch (const PyErrorSet&) {
          keep_error();
          finished = true;
        } catch (const std::bad_alloc&) {
          PyErr_NoMemory();
          keep_error();
          finished = true;
        } catch (const std::exception& e) {
          native_error_ = std::string("corpus reader failed: ") + e.what();
          finished = true;
        }
        Py_DECREF(item);
        if (finished) {
          chunk.drop_unfinished();
          break;
        }
      }
      PyGILState_Release(gil);
      last_words = chunk.word_count();
      // Up to 16 * 8 chunks wait in the queue: a buffer that grew well past its words gives the
      // slack back before it waits there.
      shrink_words(chunk);
      if (!chunk.empty() && !channel_->send(std::move(chunk))) finished = true;
    }
  } catch (const std::exception& e) {
    native_error_ = std::string("corpus reader failed: ") + e.what();
  }

  gil = ensure_gil();
  Py_XDECREF(iterator);
  PyGILState_Release(gil);
  channel_->close_sender();
}

}  // namespace tarnivel::py
