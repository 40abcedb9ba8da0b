#pragma once
// The training driver: the whole order of a training call (vocabulary pass, output setup, token
// count, setup lines, epochs with their rates, sequential or threaded data phase, end lines,
// divergence check) over a corpus source, reporting through an observer. Knows nothing of Python.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>

#include "model/model.hpp"
#include "training/channel.hpp"
#include "training/sentence.hpp"

namespace tarnivel {

// Environment switches of one call, read once by read_switches() with whatever lock guards the
// environment held; nothing below the driver reads the environment.
struct Switches {
  bool row_locks = true;                // TARNIVEL_ROW_LOCKS: "0" turns row stripes off
  uint64_t chunk_size = 8192;           // W2V_CHUNK: items per reader window and chunk
  std::size_t unlocked_hot_rows = 1024;  // TARNIVEL_UNLOCKED_HOT_ROWS: rows copied without row locks
  std::size_t pool_threads = 0;         // TARNIVEL_POOL_THREADS: 0 when unset or unusable
  Arithmetic arithmetic = Arithmetic::kExact;  // TARNIVEL_ARITHMETIC: "fast" selects lanes and FMA
};

// The one place that reads the environment for a training call.
Switches read_switches();

// Everything one call runs with besides the model's own parameters.
struct CallOptions {
  uint64_t epochs = 5;
  bool verbose = true;
  double interval = 1.0;     // progress interval in seconds, as given
  bool progress = false;     // whether TrainObserver::progress is called
  std::string runtime = "unknown";  // the host's version word for the "env" setup line
  Switches switches;
};

// The sentences of one sequential epoch.
class SentenceStream {
 public:
  virtual ~SentenceStream() = default;
  // The next sentence with a known word (valid until the next call); false at the end.
  virtual bool next(std::span<const uint64_t>& sentence) = 0;
};

// Reads one threaded epoch into a channel on the reader thread, in chunks of up to `chunk_size`
// items; stops early when `cancel` is set or the channel's receiver is gone. Owns everything it
// reads, so it may outlive the call that started it. Throws the failure that ends the reading.
using EpochRead = std::function<void(ChunkChannel& channel, const std::atomic<bool>& cancel)>;

// A corpus that training reads several times.
class CorpusSource {
 public:
  virtual ~CorpusSource() = default;
  // Builds the vocabulary of a model without one, or adds the counts of known words to it.
  virtual void vocabulary_pass(Model& model) = 0;
  // The number of known words of one pass; the vocabulary is final from here on.
  virtual uint64_t token_pass(const Vocab& vocab) = 0;
  // One sequential epoch's sentences.
  virtual std::unique_ptr<SentenceStream> sentences(const Vocab& vocab) = 0;
  // The reading of one threaded epoch (indices below 2^32, in 16 bits when all fit).
  virtual EpochRead epoch_reader(const Vocab& vocab, uint64_t chunk_size) = 0;
};

// How a call reports and lets its host interrupt it. The defaults suit a host without an
// interpreter: nothing is logged, nothing interrupts, every thread is a plain std::thread.
class TrainObserver {
 public:
  virtual ~TrainObserver() = default;
  // One INFO line; throws to end the call. Called from the driver and the reporter thread.
  virtual void log(const std::string& line) { (void)line; }
  // Progress (tokens done in the call, tokens of the whole call); throws to stop training.
  virtual void progress(uint64_t done, uint64_t total) { (void)done, (void)total; }
  // Throws when the host asks the call to stop (a signal handler raised).
  virtual void check_interrupt() {}
  // Runs `work` (a wait or long native work) with the host's lock released.
  virtual void unlocked(const std::function<void()>& work) { work(); }
  // Trains one sequential sentence of `length` words by `work`, giving it the probe to check;
  // `heavy` says one example touches a great many rows. Returns what `work` returns.
  virtual bool sentence(std::size_t length, bool heavy, const std::function<bool(SignalProbe&)>& work);
  // The probe pool threads' callers use while the host's lock is released.
  virtual SignalProbe& released_probe();
  // Starts a thread that may call back into the host.
  virtual std::thread start_thread(std::function<void()> body);
};

// A stop of the call (a stop flag set by a sentence, a worker or the reporter): the host raises
// its "training interrupted" error.
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("training interrupted") {}
};

// Runs a whole training call. Throws the source's and observer's errors, Interrupted, ValueError
// (divergence, a vocabulary too large); the model keeps everything done before a failure,
// matrices included.
void train(Model& model, CorpusSource& source, TrainObserver& observer, const CallOptions& options);

// The rate of epoch e of `epochs`: alpha - (e / epochs) * (alpha - min_alpha) in float, floored.
float epoch_rate(const ModelParams& p, uint64_t e, uint64_t epochs);

}  // namespace tarnivel
