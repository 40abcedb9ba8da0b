#include "corpus/text.hpp"

namespace tarnivel::corpus {

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

Utf8Check check_utf8(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  auto stop = [&](int kind) { return Utf8Check{i, kind}; };
  while (i < n) {
    // Plain ASCII eight bytes at a time.
    if (n - i >= 8 && (detail::load64(p + i) & 0x8080808080808080ull) == 0) {
      i += 8;
      continue;
    }
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    if (c < 0xC2) return stop(1);  // a continuation byte, or C0/C1 (overlong forms)
    if (c < 0xE0) {
      length = 2;
    } else if (c < 0xF0) {
      length = 3;
    } else if (c < 0xF5) {
      length = 4;
    } else {
      return stop(1);
    }
    // The second byte also rules out overlong forms, surrogates and values above U+10FFFF.
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= n) return stop(0);  // cut off by the end of the range
      const unsigned char b = p[i + k];
      bool ok = continuation(b);
      if (ok && k == 1) {
        switch (c) {
          case 0xE0: ok = b >= 0xA0; break;
          case 0xED: ok = b < 0xA0; break;
          case 0xF0: ok = b >= 0x90; break;
          case 0xF4: ok = b < 0x90; break;
          default: break;
        }
      }
      if (!ok) return stop(static_cast<int>(k) + 1);
    }
    i += length;
  }
  return stop(0);
}

}  // namespace tarnivel::corpus
