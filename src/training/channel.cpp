#include "training/channel.hpp"

#include <limits>

namespace tarnivel {

uint64_t parse_chunk_size(const char* text) {
  constexpr uint64_t kDefault = 8192;
  if (text == nullptr) return kDefault;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return kDefault;
  uint64_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return kDefault;
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return kDefault;
    value = value * 10 + digit;
  }
  return value == 0 ? kDefault : value;
}

bool ChunkChannel::send(SentenceChunk&& chunk) {
  std::unique_lock lock(mutex_);
  not_full_.wait(lock, [&] { return receiver_closed_ || queue_.size() < capacity_; });
  if (receiver_closed_) return false;
  queue_.push_back(std::move(chunk));
  not_empty_.notify_one();
  return true;
}

void ChunkChannel::close_sender() {
  std::lock_guard lock(mutex_);
  sender_closed_ = true;
  not_empty_.notify_all();
}

ChunkChannel::Status ChunkChannel::receive(SentenceChunk& out, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!not_empty_.wait_for(lock, timeout, [&] { return !queue_.empty() || sender_closed_; })) {
    return Status::timeout;
  }
  if (queue_.empty()) return Status::disconnected;
  out = std::move(queue_.front());
  queue_.pop_front();
  not_full_.notify_one();
  return Status::chunk;
}

void ChunkChannel::close_receiver() {
  std::lock_guard lock(mutex_);
  receiver_closed_ = true;
  queue_.clear();
  not_full_.notify_all();
}

bool ChunkChannel::receiver_closed() const {
  std::lock_guard lock(mutex_);
  return receiver_closed_;
}

}  // namespace tarnivel
