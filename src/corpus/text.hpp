#pragma once
// Text of a line corpus: UTF-8 checking with the outcome of Python's strict decoder, the whitespace
// of Python's str.split() and the splitting of whole lines into words.
//
// A line corpus is read the way Python reads a text file opened with universal newlines and split
// with str.split(): lines end at "\n", "\r" or "\r\n", and words are the runs of characters between
// whitespace. The other line separators Unicode knows (U+0085, U+2028, U+2029, \v, \f, \x1c-\x1e)
// end no line in that reading; they are whitespace inside a line. Because a line without words yields
// nothing, "\r\n" may be taken as two line ends (the empty line between them yields nothing).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarnivel::corpus {

// Outcome of checking UTF-8 from the start of a byte range, as CPython's decoder reports it.
struct Utf8Check {
  // Bytes of complete valid characters from the start. When `kind` is 0 and `valid` is short of the
  // range's end, the rest is the beginning of a character that the range cuts off (and that may
  // still be completed by the bytes that follow).
  std::size_t valid = 0;
  // 0: no invalid sequence; 1: the byte at `valid` starts no character ("invalid start byte");
  // 2, 3, 4: byte number `kind` of the sequence starting at `valid` does not continue it ("invalid
  // continuation byte"), the error covering the kind - 1 bytes before it.
  int kind = 0;
};

// Checks [p, p + n). Accepts exactly what Python's strict UTF-8 decoder accepts: no overlong forms,
// no surrogates (U+D800-U+DFFF), nothing above U+10FFFF.
Utf8Check check_utf8(const unsigned char* p, std::size_t n);

// Byte length of the whitespace character at p (one of Python's str.isspace() characters), or 0
// when the character at p is not whitespace. `p` must start a valid UTF-8 character whose bytes all
// lie before `end`.
inline std::size_t space_length(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = p[0];
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) ? 1 : 0;
  if (end - p < 2) return 0;
  switch (c) {
    case 0xC2:  // U+0085, U+00A0
      return p[1] == 0x85 || p[1] == 0xA0 ? 2 : 0;
    case 0xE1:  // U+1680
      return end - p >= 3 && p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
    case 0xE2:
      if (end - p < 3) return 0;
      if (p[1] == 0x80) {  // U+2000-U+200A, U+2028, U+2029, U+202F
        const unsigned char d = p[2];
        return d <= 0x8A || d == 0xA8 || d == 0xA9 || d == 0xAF ? 3 : 0;
      }
      return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;  // U+205F
    case 0xE3:  // U+3000
      return end - p >= 3 && p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
    default:
      return 0;
  }
}

namespace detail {

// Byte classes of the splitter: part of a word, whitespace inside a line, a line end, or the first
// byte of a character that may be Unicode whitespace (C2, E1, E2, E3).
enum ByteClass : unsigned char { kWord = 0, kSpace = 1, kLineEnd = 2, kMaybeSpace = 3 };

struct ByteClasses {
  unsigned char of[256];
  constexpr ByteClasses() : of() {
    for (int c = 0x09; c <= 0x0D; ++c) of[c] = kSpace;
    for (int c = 0x1C; c <= 0x20; ++c) of[c] = kSpace;
    of['\n'] = kLineEnd;
    of['\r'] = kLineEnd;
    of[0xC2] = of[0xE1] = of[0xE2] = of[0xE3] = kMaybeSpace;
  }
};
inline constexpr ByteClasses kClasses{};

// Length of the UTF-8 character starting with lead byte c (valid text only).
inline std::size_t char_length(unsigned char c) { return c < 0xE0 ? 2 : (c < 0xF0 ? 3 : 4); }

inline uint64_t load64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Bit 7 of every byte of v that is below 0x21 or at least 0x80 (the bytes that can end a word); only
// the lowest flagged byte is exact, which is the one the splitter uses.
inline uint64_t word_end_candidates(uint64_t v) {
  constexpr uint64_t ones = 0x0101010101010101ull;
  constexpr uint64_t highs = 0x8080808080808080ull;
  return ((v - 0x21 * ones) | v) & highs;
}

}  // namespace detail

// Splits `text`, which holds whole lines of valid UTF-8, into words. For every line, in order, calls
// sink.word(std::string_view) for each word and then sink.line(); the end of `text` ends a line too
// (a last line without a line end). Stops early, returning false, when sink.line() returns false.
template <class Sink>
bool split_lines(std::string_view text, Sink& sink) {
  using namespace detail;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = p + text.size();
  bool open_line = false;  // words or blanks seen since the last line end
  while (p < end) {
    const unsigned char c = *p;
    const unsigned char cls = kClasses.of[c];
    if (cls == kLineEnd) {
      ++p;
      open_line = false;
      if (!sink.line()) return false;
      continue;
    }
    open_line = true;
    if (cls == kSpace) {
      ++p;
      continue;
    }
    if (cls == kMaybeSpace) {
      if (const std::size_t n = space_length(p, end)) {
        p += n;
        continue;
      }
    }
    // A word starts at p; find where it ends, eight bytes at a time while they are plain ASCII.
    const unsigned char* q = p + (c < 0x80 ? 1 : char_length(c));
    for (;;) {
      if (end - q >= 8) {
        const uint64_t flags = word_end_candidates(load64(q));
        if (flags == 0) {
          q += 8;
          continue;
        }
        q += static_cast<std::size_t>(__builtin_ctzll(flags)) / 8;
      }
      if (q >= end) break;
      const unsigned char d = *q;
      if (d < 0x80) {
        if (kClasses.of[d] != kWord) break;
        ++q;
      } else if (kClasses.of[d] == kMaybeSpace && space_length(q, end) != 0) {
        break;
      } else {
        q += char_length(d);
      }
    }
    sink.word(std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(q - p)));
    p = q;
  }
  if (open_line) return sink.line();
  return true;
}

// The words of one line in pieces of at most `max_words` (0: no limit), as LineSentence yields them:
// a line with more words gives consecutive pieces, a line without words gives nothing. Wraps a sink
// with word(std::string_view) and piece() (which returns false to stop); usable as a split_lines sink.
template <class Out>
class Pieces {
 public:
  Pieces(Out& out, uint64_t max_words) : out_(out), max_(max_words == 0 ? ~uint64_t{0} : max_words) {}
  void word(std::string_view w) {
    out_.word(w);
    if (++in_piece_ == max_) {
      in_piece_ = 0;
      stopped_ = !out_.piece() || stopped_;
    }
  }
  bool line() {
    if (in_piece_ != 0) {
      in_piece_ = 0;
      if (!out_.piece()) stopped_ = true;
    }
    return !stopped_;
  }

 private:
  Out& out_;
  const uint64_t max_;
  uint64_t in_piece_ = 0;
  bool stopped_ = false;
};

// A 64-bit hash of a word's bytes, for the corpus word tables.
inline uint64_t word_hash(const char* data, std::size_t n) {
  constexpr uint64_t k0 = 0x9E3779B97F4A7C15ull;
  constexpr uint64_t k1 = 0xC2B2AE3D27D4EB4Full;
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  auto mix = [](uint64_t a, uint64_t b) {
    __extension__ const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
  };
  uint64_t h = k0 ^ (static_cast<uint64_t>(n) * k1);
  while (n > 8) {
    h = mix(h ^ detail::load64(p), k1);
    p += 8;
    n -= 8;
  }
  uint64_t tail = 0;
  if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    tail = lo | (static_cast<uint64_t>(hi) << 32);
  } else if (n > 0) {
    tail = p[0] | (static_cast<uint64_t>(p[n / 2]) << 8) | (static_cast<uint64_t>(p[n - 1]) << 16);
  }
  return mix(h ^ tail, k0);
}

inline uint64_t word_hash(std::string_view w) { return word_hash(w.data(), w.size()); }

}  // namespace tarnivel::corpus
