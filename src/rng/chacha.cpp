#include "rng/chacha.hpp"

#include <bit>

#include "common/error.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace tarnivel {

namespace {


// The four constant words of the ChaCha state ("expand 32-byte k").
constexpr std::array<uint32_t, 4> kSigma{0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline void quarter_round(std::array<uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

void chacha_block(const std::array<uint32_t, 8>& key, uint32_t counter_low,
                  const std::array<uint32_t, 3>& nonce, int rounds, std::array<uint32_t, 16>& out) {
  TARNIVEL_CHECK(rounds > 0 && rounds % 2 == 0, "chacha rounds must be a positive even number");
  std::array<uint32_t, 16> input{};
  for (int i = 0; i < 4; ++i) input[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) input[4 + i] = key[i];
  input[12] = counter_low;
  input[13] = nonce[0];
  input[14] = nonce[1];
  input[15] = nonce[2];

  std::array<uint32_t, 16> x = input;
  for (int r = 0; r < rounds; r += 2) {
    // Column round.
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    // Diagonal round.
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

ChaChaStream ChaChaStream::from_seed(uint64_t seed) {
  ChaChaStream s;
  uint64_t state = seed;
  for (std::size_t i = 0; i < 8; ++i) {
    state = state * 6364136223846793005ull + 11634580027462260723ull;
    const auto x = static_cast<uint32_t>((state >> 45) ^ (state >> 27));
    const auto r = static_cast<int>(state >> 59);
    s.key_[i] = std::rotr(x, r);
  }
  s.counter_ = 0;
  s.stream_ = 0;
  s.index_ = kBufferWords;
  return s;
}

#if defined(__SSE2__)
namespace {

// The vector refill twice: rotations as two shifts and an or (SSE2, every x86-64 processor), and as
// one instruction each where AVX-512 is there.
namespace shifted {
template <int kBits>
inline __m128i rotl(__m128i v) {
  return _mm_or_si128(_mm_slli_epi32(v, kBits), _mm_srli_epi32(v, 32 - kBits));
}
#include "rng/chacha_lanes.inc"
}  // namespace shifted

#if defined(__GNUC__) && !defined(__clang__)
#define TARNIVEL_NATIVE_ROTATE 1
namespace rotated {
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl")
template <int kBits>
inline __m128i rotl(__m128i v) {
  return _mm_rol_epi32(v, kBits);
}
#include "rng/chacha_lanes.inc"
#pragma GCC pop_options
}  // namespace rotated
#endif

using RefillLanes = void (*)(const std::array<uint32_t, 8>&, uint64_t, uint64_t, uint32_t*);

bool native_rotate_runs() {
#if defined(TARNIVEL_NATIVE_ROTATE)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#else
  return false;
#endif
}

// The refill of this processor, picked once: both give the same words.
RefillLanes refill_of_processor() {
#if defined(TARNIVEL_NATIVE_ROTATE)
  if (native_rotate_runs()) return rotated::refill_lanes;
#endif
  return shifted::refill_lanes;
}

}  // namespace

void ChaChaStream::refill() {
  static_assert(kBufferWords == 64, "one refill is four 16-word blocks");
  static const RefillLanes refill_words = refill_of_processor();
  refill_words(key_, counter_, stream_, buffer_.data());
  counter_ += 4;
}

bool chacha_refill_lanes(bool native_rotate, const std::array<uint32_t, 8>& key, uint64_t counter,
                         uint64_t stream, std::array<uint32_t, ChaChaStream::kBufferWords>& out) {
  if (!native_rotate) {
    shifted::refill_lanes(key, counter, stream, out.data());
    return true;
  }
#if defined(TARNIVEL_NATIVE_ROTATE)
  if (native_rotate_runs()) {
    rotated::refill_lanes(key, counter, stream, out.data());
    return true;
  }
#endif
  return false;
}
#else
void ChaChaStream::refill() {
  chacha_refill_words(key_, counter_, stream_, buffer_);
  counter_ += 4;
}

bool chacha_refill_lanes(bool, const std::array<uint32_t, 8>&, uint64_t, uint64_t,
                         std::array<uint32_t, ChaChaStream::kBufferWords>&) {
  return false;
}
#endif

// Compiled everywhere (not only where it serves as the refill) so that tests can hold it against
// the SSE2 refill.
void chacha_refill_words(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream,
                         std::array<uint32_t, ChaChaStream::kBufferWords>& out) {
  const std::array<uint32_t, 3> tail_stream{0, static_cast<uint32_t>(stream),
                                            static_cast<uint32_t>(stream >> 32)};
  std::array<uint32_t, 16> block{};
  for (std::size_t b = 0; b < 4; ++b) {
    const uint64_t c = counter + b;
    std::array<uint32_t, 3> nonce = tail_stream;
    nonce[0] = static_cast<uint32_t>(c >> 32);
    chacha_block(key, static_cast<uint32_t>(c), nonce, 12, block);
    for (std::size_t w = 0; w < 16; ++w) out[b * 16 + w] = block[w];
  }
}

uint64_t ChaChaStream::next_u64_across_refill() {
  uint32_t low = 0;
  uint32_t high = 0;
  if (index_ == kBufferWords - 1) {
    // The low half is the last word of this buffer, the high half the first of the next.
    low = buffer_[kBufferWords - 1];
    refill();
    high = buffer_[0];
    index_ = 1;
  } else {
    refill();
    low = buffer_[0];
    high = buffer_[1];
    index_ = 2;
  }
  return (static_cast<uint64_t>(high) << 32) | low;
}

void ChaChaStream::empty_range() { internal_error("cannot sample empty range"); }

uint64_t ChaChaStream::in_closed_range(uint64_t lo, uint64_t hi) {
  if (hi < lo) empty_range();
  const uint64_t range = hi - lo + 1;
  if (range == 0) return next_u64();
  return lo + below(range);
}

namespace {

inline void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1;
  v1 = std::rotl(v1, 13);
  v1 ^= v0;
  v0 = std::rotl(v0, 32);
  v2 += v3;
  v3 = std::rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = std::rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = std::rotl(v1, 17);
  v1 ^= v2;
  v2 = std::rotl(v2, 32);
}

inline uint64_t load_le64(const uint8_t* p, std::size_t n) {
  uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

}  // namespace

uint64_t siphash13(uint64_t k0, uint64_t k1, const uint8_t* data, std::size_t len) {
  uint64_t v0 = k0 ^ 0x736f6d6570736575ull;
  uint64_t v1 = k1 ^ 0x646f72616e646f6dull;
  uint64_t v2 = k0 ^ 0x6c7967656e657261ull;
  uint64_t v3 = k1 ^ 0x7465646279746573ull;

  const std::size_t full = len - len % 8;
  for (std::size_t off = 0; off < full; off += 8) {
    const uint64_t m = load_le64(data + off, 8);
    v3 ^= m;
    sip_round(v0, v1, v2, v3);  // one compression round
    v0 ^= m;
  }
  const uint64_t last = (static_cast<uint64_t>(len & 0xff) << 56) | load_le64(data + full, len - full);
  v3 ^= last;
  sip_round(v0, v1, v2, v3);
  v0 ^= last;

  v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) sip_round(v0, v1, v2, v3);  // three finalisation rounds
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace tarnivel
