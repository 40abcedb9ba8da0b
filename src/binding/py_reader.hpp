#pragma once
// The corpus reader of a threaded epoch: a thread that pulls sentences from the Python iterator in
// windows of W2V_CHUNK items while holding the interpreter lock, converts them to word indices and
// sends them in chunks over the bounded channel.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "training/channel.hpp"
#include "model/model.hpp"
#include "binding/py_corpus.hpp"
#include "binding/py_common.hpp"

namespace tarnivel::py {

class CorpusReader {
 public:
  // Starts the thread; the interpreter lock must be held. The lookup must outlive join() (the
  // training call owns it and always joins the reader before it returns) and return indices below
  // 2^32 (they are stored in 32 bits).
  CorpusReader(PyObject* corpus, const CorpusLookup& lookup, std::shared_ptr<ChunkChannel> channel);
  ~CorpusReader();  // join(); interpreter lock held
  CorpusReader(const CorpusReader&) = delete;
  CorpusReader& operator=(const CorpusReader&) = delete;

  // Asks the reader to stop at its next item and waits for it, releasing the interpreter lock meanwhile.
  void join();
  // After join(), with the interpreter lock: restores the corpus error that ended the reading (the
  // iterator failed or an item could not be converted) as the current exception. False if none.
  bool restore_error();

 private:
  void run();
  void keep_error();  // fetches the current Python exception into error_*

  PyObject* corpus_;
  const CorpusLookup& lookup_;
  std::shared_ptr<ChunkChannel> channel_;
  std::atomic<bool> cancel_{false};
  PyObject* error_type_ = nullptr;
  PyObject* error_value_ = nullptr;
  PyObject* error_tb_ = nullptr;
  std::string native_error_;
  std::thread thread_;
};

}  // namespace tarnivel::py
