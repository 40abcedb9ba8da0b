#pragma once
// The bounded hand-off of converted sentence chunks from the corpus reader to the training thread,
// and the reader's chunk-size setting.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "training/sentence.hpp"

namespace tarnivel {

// Items the reader pulls per interpreter-lock window, from the text of W2V_CHUNK (NULL when unset).
// An optional '+' and decimal digits up to 2^64-1; anything else gives 8192. A value of 0 would make
// the reader pull nothing per window and never finish an epoch, so 0 also gives 8192.
uint64_t parse_chunk_size(const char* text);

// A single-producer single-consumer bounded FIFO of chunks.
class ChunkChannel {
 public:
  enum class Status { chunk, timeout, disconnected };

  explicit ChunkChannel(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

  // Blocks while the channel is full. Returns false (dropping the chunk) once the receiver is gone.
  bool send(SentenceChunk&& chunk);
  // Marks the end of the sender's data: once the queue is drained, receives report disconnection.
  void close_sender();
  // Waits at most `timeout` for a chunk.
  Status receive(SentenceChunk& out, std::chrono::milliseconds timeout);
  // Releases the receiving end: pending and later sends fail.
  void close_receiver();
  bool receiver_closed() const;
  std::size_t capacity() const { return capacity_; }

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::deque<SentenceChunk> queue_;
  bool sender_closed_ = false;
  bool receiver_closed_ = false;
};

}  // namespace tarnivel
