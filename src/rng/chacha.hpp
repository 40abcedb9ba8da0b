#pragma once
// ChaCha12 counter-mode random stream seeded from one 64-bit number, plus SipHash-1-3.
// Every draw is fixed bit for bit so that sequential training is reproducible.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tarnivel {

// Computes one ChaCha block with `rounds` rounds (12 for the stream, 20 for the RFC test vector).
// `nonce` holds the last three state words (counter high word and stream words in the stream's use).
void chacha_block(const std::array<uint32_t, 8>& key, uint32_t counter_low,
                  const std::array<uint32_t, 3>& nonce, int rounds, std::array<uint32_t, 16>& out);

class ChaChaStream {
 public:
  static constexpr std::size_t kBufferWords = 64;

  // Key filled by eight PCG32 (XSH-RR) outputs from state `seed`; counter 0, stream 0, empty buffer.
  static ChaChaStream from_seed(uint64_t seed);

  // The draws are defined here so that the training loops inline them; only a refill is a call.
  uint32_t next_u32() {
    if (index_ >= kBufferWords) {
      refill();
      index_ = 0;
    }
    return buffer_[index_++];
  }
  uint64_t next_u64() {
    if (index_ < kBufferWords - 1) {
      const uint64_t low = buffer_[index_];
      const uint64_t high = buffer_[index_ + 1];
      index_ += 2;
      return (high << 32) | low;
    }
    return next_u64_across_refill();
  }
  // (next_u32() >> 8) * 2^-24: one of the 2^24 values k * 2^-24 in [0, 1).
  float uniform_f32() {
    const uint32_t u = next_u32();
    // 24 random bits scaled by 2^-24: exact in float32.
    return static_cast<float>(u >> 8) * 0x1p-24f;
  }
  // Uniform in [0, n) by widening multiply with rejection; n == 0 throws InternalError.
  uint64_t below(uint64_t n) {
    if (n == 0) empty_range();
    const uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
      const uint64_t v = next_u64();
      __extension__ const unsigned __int128 m = static_cast<unsigned __int128>(v) * n;
      if (static_cast<uint64_t>(m) <= zone) return static_cast<uint64_t>(m >> 64);
    }
  }
  // Uniform in [lo, hi]; the whole 64-bit span returns next_u64(); hi < lo throws InternalError.
  uint64_t in_closed_range(uint64_t lo, uint64_t hi);

  // Inspection for tests.
  uint64_t counter() const { return counter_; }
  std::size_t index() const { return index_; }
  const std::array<uint32_t, kBufferWords>& buffer() const { return buffer_; }
  const std::array<uint32_t, 8>& key() const { return key_; }

 private:
  void refill();
  // next_u64 when fewer than two words are left in the buffer.
  uint64_t next_u64_across_refill();
  [[noreturn]] static void empty_range();

  std::array<uint32_t, 8> key_{};
  uint64_t counter_ = 0;
  uint64_t stream_ = 0;
  std::array<uint32_t, kBufferWords> buffer_{};
  std::size_t index_ = kBufferWords;
};

// The 64 words of one stream refill at block counter `counter`: four ChaCha12 blocks with counters
// counter .. counter + 3 (each counter's high word in the first nonce word, then the stream's two
// words), one after another through chacha_block. The stream's refill computes the same words four
// blocks at a time where SSE2 is available and uses this portable form elsewhere.
void chacha_refill_words(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream,
                         std::array<uint32_t, ChaChaStream::kBufferWords>& out);

// The stream's vector refill into `out`, with native lane rotations (AVX-512) or with shifts (SSE2);
// false, and nothing written, where that form does not run here.
bool chacha_refill_lanes(bool native_rotate, const std::array<uint32_t, 8>& key, uint64_t counter,
                         uint64_t stream, std::array<uint32_t, ChaChaStream::kBufferWords>& out);

// SipHash-1-3 of `len` bytes under the 128-bit key (k0, k1).
uint64_t siphash13(uint64_t k0, uint64_t k1, const uint8_t* data, std::size_t len);

}  // namespace tarnivel
