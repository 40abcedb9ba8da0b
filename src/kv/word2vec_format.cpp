#include "kv/word2vec_format.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "common/error.hpp"
#include "common/fd.hpp"
#include "common/os_error.hpp"
#include "common/temp_file.hpp"
#include "training/pool.hpp"

namespace tarnivel {

std::optional<Utf8Errors> utf8_errors_from_name(const std::string& name) {
  if (name == "strict") return Utf8Errors::strict;
  if (name == "replace") return Utf8Errors::replace;
  if (name == "ignore") return Utf8Errors::ignore;
  return std::nullopt;
}

namespace {

constexpr std::size_t kMaxShown = 40;  // bytes of a bad token or header quoted in a message
constexpr std::size_t kParseBlockBytes = std::size_t{1} << 20;

// A quoted excerpt of file bytes for a message: at most kMaxShown bytes, control and non-ASCII bytes
// as \xNN so that the message itself is always valid text.
std::string shown(std::string_view bytes) {
  std::string out;
  const std::size_t n = std::min(bytes.size(), kMaxShown);
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (bytes.size() > n) out += "...";
  return out;
}

// A defect of the file: the line it is on (1 = the header) and what is wrong.
struct Defect {
  uint64_t line = 0;
  std::string problem;
};

[[noreturn]] void fail(const std::string& name, uint64_t line, const std::string& problem) {
  throw ValueError("invalid word2vec file " + name + ", line " + std::to_string(line) + ": " + problem);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// ---- UTF-8 ----

// Length of the well-formed sequence starting at s[i] (1 to 4), or 0 when it is ill-formed; then
// `bad` is the length of its maximal subpart (the bytes one replacement character stands for).
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& bad) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c == 0xE0) {
    need = 2, lo = 0xA0;
  } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
    need = 2;
  } else if (c == 0xED) {
    need = 2, hi = 0x9F;
  } else if (c == 0xF0) {
    need = 3, lo = 0x90;
  } else if (c >= 0xF1 && c <= 0xF3) {
    need = 3;
  } else if (c == 0xF4) {
    need = 3, hi = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  std::size_t got = 0;
  while (got < need && i + 1 + got < s.size()) {
    const auto d = static_cast<unsigned char>(s[i + 1 + got]);
    const unsigned char low = got == 0 ? lo : 0x80;
    const unsigned char high = got == 0 ? hi : 0xBF;
    if (d < low || d > high) break;
    ++got;
  }
  if (got == need) return need + 1;
  bad = 1 + got;
  return 0;
}

// Offset of the first ill-formed byte, or npos when the bytes are UTF-8.
std::size_t first_bad_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t len = utf8_sequence(s, i, bad);
    if (len == 0) return i;
    i += len;
  }
  return std::string_view::npos;
}

// The word as text under the chosen policy; nullopt (with `problem` set) when strict refuses it.
std::optional<std::string> decode_word(std::string_view word, Utf8Errors errors, std::string& problem) {
  const std::size_t bad_at = first_bad_utf8(word);
  if (bad_at == std::string_view::npos) return std::string(word);
  if (errors == Utf8Errors::strict) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(word[bad_at]));
    problem = "the word '" + shown(word) + "' is not valid UTF-8 (byte " + hex + " at offset " +
              std::to_string(bad_at) + "); load with errors='replace' or errors='ignore' to keep such words";
    return std::nullopt;
  }
  std::string out;
  std::size_t i = 0;
  while (i < word.size()) {
    std::size_t bad = 0;
    const std::size_t len = utf8_sequence(word, i, bad);
    if (len > 0) {
      out.append(word.substr(i, len));
      i += len;
      continue;
    }
    if (errors == Utf8Errors::replace) out += "\xEF\xBF\xBD";
    i += bad;
  }
  return out;
}

// ---- text ----

// Reads one number token [p, end): the whole token must be a number. Out-of-range values take the
// IEEE result (infinity or a denormal/zero) as strtof gives it.
bool parse_float(const char* p, const char* end, float& value) {
  const char* s = p;
  if (s < end && *s == '+' && s + 1 < end && s[1] != '-' && s[1] != '+') ++s;
  auto [ptr, ec] = std::from_chars(s, end, value, std::chars_format::general);
  if (ptr != end) return false;
  if (ec == std::errc::result_out_of_range) {
    const std::string copy(s, end);
    char* stop = nullptr;
    value = std::strtof(copy.c_str(), &stop);
    return stop == copy.c_str() + copy.size();
  }
  return ec == std::errc();
}

// The common case of a number token, without a library call: [sign] digits [. digits] [e [sign]
// digits] with at most 19 significant digits whose value w * 10^e has w < 2^53 and |e| <= 22. Then
// w and 10^|e| are exact doubles, so one multiplication or division gives the correctly rounded
// double d of the decimal value, and rounding d to float gives the correctly rounded float unless d
// lies exactly halfway between two floats (then the decimal might lie on either side of that
// midpoint); that case, denormal and out-of-range results, and every other form return nullptr for
// the caller to parse with from_chars. Returns the end of the token otherwise.
const char* fast_decimal(const char* p, const char* stop, float& out) {
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char* s = p;
  bool negative = false;
  if (s < stop && (*s == '-' || *s == '+')) negative = *s++ == '-';
  const auto is_digit = [](char c) { return static_cast<unsigned>(c - '0') < 10; };
  uint64_t w = 0;
  int scale = 0;  // decimal exponent from the fraction
  const char* first = s;
  while (s < stop && *s == '0') ++s;  // leading zeros are not significant
  const char* significant = s;
  for (; s < stop && is_digit(*s); ++s) w = w * 10 + static_cast<unsigned>(*s - '0');
  bool any = s != first;
  long digits = s - significant;
  if (s < stop && *s == '.') {
    ++s;
    const char* fraction = s;
    if (digits == 0) {
      while (s < stop && *s == '0') ++s;  // zeros right after the point are not significant either
      scale -= static_cast<int>(s - fraction);
    }
    const char* start = s;
    for (; s < stop && is_digit(*s); ++s) w = w * 10 + static_cast<unsigned>(*s - '0');
    scale -= static_cast<int>(s - start);
    digits += s - start;
    any = any || s != fraction;
  }
  // More than 19 significant digits may have wrapped w around: leave those to the library.
  if (!any || digits > 19) return nullptr;
  if (s < stop && (*s == 'e' || *s == 'E')) {
    ++s;
    bool exp_negative = false;
    if (s < stop && (*s == '-' || *s == '+')) exp_negative = *s++ == '-';
    if (s == stop || static_cast<unsigned>(*s - '0') >= 10) return nullptr;
    int e = 0;
    for (; s < stop && static_cast<unsigned>(*s - '0') < 10; ++s) {
      if (e > 10000) return nullptr;
      e = e * 10 + (*s - '0');
    }
    scale += exp_negative ? -e : e;
  }
  if (s < stop && !is_blank(*s)) return nullptr;
  if (w == 0) {
    out = negative ? -0.0f : 0.0f;
    return s;
  }
  if (w > (uint64_t{1} << 53) || scale < -22 || scale > 22) return nullptr;
  const double x = static_cast<double>(w);
  const double d = scale >= 0 ? x * kPow10[scale] : x / kPow10[-scale];
  if (!(d >= static_cast<double>(std::numeric_limits<float>::min()) &&
        d <= static_cast<double>(std::numeric_limits<float>::max()))) {
    return nullptr;
  }
  const uint64_t bits = std::bit_cast<uint64_t>(d);
  if ((bits & ((uint64_t{1} << 29) - 1)) == (uint64_t{1} << 28)) return nullptr;  // a float midpoint
  const auto f = static_cast<float>(d);
  out = negative ? -f : f;
  return s;
}

// Parses one text row (without its line end) into `word` and `out` (dim values; `out` null: count
// only). Returns false with `problem` set on a defect.
bool parse_text_row(std::string_view line, uint64_t dim, Utf8Errors errors, std::string& word, float* out,
                    std::string& problem) {
  std::size_t end = line.size();
  while (end > 0 && (is_blank(line[end - 1]) || line[end - 1] == '\r')) --end;
  line = line.substr(0, end);
  if (line.empty()) {
    problem = "empty line where a word and its " + std::to_string(dim) + " numbers were expected";
    return false;
  }
  std::size_t w = 0;
  while (w < line.size() && !is_blank(line[w])) ++w;
  if (w == 0) {
    problem = "the line starts with a space or tab instead of a word";
    return false;
  }
  std::optional<std::string> text = decode_word(line.substr(0, w), errors, problem);
  if (!text) return false;
  word = std::move(*text);
  const char* p = line.data() + w;
  const char* const stop = line.data() + line.size();
  uint64_t k = 0;
  while (true) {
    while (p < stop && is_blank(*p)) ++p;
    if (p == stop) break;
    if (k == dim) {
      problem = "more than the " + std::to_string(dim) + " numbers the header declares after the word '" +
                shown(word) + "'";
      return false;
    }
    float value = 0.0f;
    if (const char* next = fast_decimal(p, stop, value); next != nullptr) {
      p = next;
    } else {
      const char* t = p;
      while (t < stop && !is_blank(*t)) ++t;
      if (!parse_float(p, t, value)) {
        problem = "value " + std::to_string(k + 1) + " of the word '" + shown(word) + "' is not a number: '" +
                  shown(std::string_view(p, static_cast<std::size_t>(t - p))) + "'";
        return false;
      }
      p = t;
    }
    if (out != nullptr) out[k] = value;
    ++k;
  }
  if (k < dim) {
    problem = "expected " + std::to_string(dim) + " numbers after the word '" + shown(word) + "' (as the header declares), found " +
              std::to_string(k);
    return false;
  }
  return true;
}

struct Header {
  uint64_t words = 0;
  uint64_t dim = 0;
  std::size_t body = 0;  // offset of the first byte after the header line
};

bool parse_count(std::string_view& s, uint64_t& value) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
  if (ec != std::errc() || ptr == s.data()) return false;
  s.remove_prefix(static_cast<std::size_t>(ptr - s.data()));
  return true;
}

Header parse_header(std::span<const char> bytes, const std::string& name) {
  const std::string_view all(bytes.data(), bytes.size());
  if (all.empty()) fail(name, 1, "the file is empty; expected a first line 'WORDS DIMENSIONS'");
  const std::size_t nl = all.find('\n');
  Header h;
  h.body = nl == std::string_view::npos ? all.size() : nl + 1;
  std::string_view line = all.substr(0, nl == std::string_view::npos ? all.size() : nl);
  const std::string_view original = line;
  while (!line.empty() && (is_blank(line.back()) || line.back() == '\r')) line.remove_suffix(1);
  const bool ok = parse_count(line, h.words) && !line.empty() && is_blank(line.front()) &&
                  parse_count(line, h.dim) && line.empty();
  if (!ok) {
    fail(name, 1, "expected the word count and the vector size ('WORDS DIMENSIONS'), found '" + shown(original) + "'");
  }
  return h;
}

uint64_t rows_wanted(const Header& h, const Word2VecReadOptions& options) {
  return options.limit ? std::min(*options.limit, h.words) : h.words;
}

// Lines [first, first + count) of the body, parsed into the table rows of the same numbers.
struct Block {
  std::size_t begin = 0;  // byte offsets in the body
  std::size_t end = 0;
  uint64_t first_line = 0;  // index of its first line within the body
  uint64_t lines = 0;
  std::optional<Defect> defect;
};

void parse_block(std::string_view body, Block& block, uint64_t rows, const Header& h, Utf8Errors errors,
                 Word2VecTable& table) {
  std::size_t pos = block.begin;
  for (uint64_t i = 0; i < block.lines; ++i) {
    const uint64_t row = block.first_line + i;
    if (row >= rows) return;
    std::size_t nl = body.find('\n', pos);
    if (nl == std::string_view::npos || nl > block.end) nl = block.end;
    std::string problem;
    float* out = table.values.empty() ? nullptr : table.values.data() + row * h.dim;
    if (!parse_text_row(body.substr(pos, nl - pos), h.dim, errors, table.words[row], out, problem)) {
      block.defect = Defect{row + 2, std::move(problem)};
      return;
    }
    pos = nl + 1;
  }
}

Word2VecTable parse_text(std::span<const char> bytes, const std::string& name, const Word2VecReadOptions& options) {
  const Header h = parse_header(bytes, name);
  std::string_view body(bytes.data() + h.body, bytes.size() - h.body);
  // Trailing white space (blank lines, a final CRLF, spaces) ends the file without being a row.
  while (!body.empty() && is_space(body.back())) body.remove_suffix(1);
  const uint64_t rows = rows_wanted(h, options);

  // Blocks of about kParseBlockBytes that end at line ends; counting their lines first gives every
  // row its place in the table, so blocks can be parsed in any order and straight into place.
  std::vector<Block> blocks;
  for (std::size_t at = 0; at < body.size();) {
    std::size_t end = std::min(body.size(), at + kParseBlockBytes);
    if (end < body.size()) {
      const std::size_t nl = body.find('\n', end);
      end = nl == std::string_view::npos ? body.size() : nl + 1;
    }
    blocks.push_back(Block{at, end, 0, 0, std::nullopt});
    at = end;
  }
  const auto count_lines = [&](std::size_t b) {
    Block& block = blocks[b];
    const std::string_view part = body.substr(block.begin, block.end - block.begin);
    block.lines = static_cast<uint64_t>(std::count(part.begin(), part.end(), '\n'));
    if (part.back() != '\n') ++block.lines;
    return false;
  };
  const bool parallel = options.parallel && blocks.size() > 1;
  if (parallel) {
    pool_for_each(blocks.size(), count_lines);
  } else {
    for (std::size_t b = 0; b < blocks.size(); ++b) count_lines(b);
  }
  uint64_t lines = 0;
  for (Block& block : blocks) {
    block.first_line = lines;
    lines += block.lines;
  }
  const uint64_t parsed = std::min(lines, rows);

  Word2VecTable table;
  table.dim = h.dim;
  table.words.resize(parsed);
  // Each value takes at least two bytes of text (a digit and a separator, the last one a line end),
  // so a file that claims more values than it has bytes holds a short row: find it by counting
  // instead of allocating what the header claims.
  const bool plausible = h.dim == 0 || parsed <= (body.size() / 2 + 1) / h.dim;
  if (plausible) table.values.resize(parsed * h.dim);
  const auto parse = [&](std::size_t b) {
    parse_block(body, blocks[b], parsed, h, options.errors, table);
    return false;
  };
  if (parallel && plausible) {
    pool_for_each(blocks.size(), parse);
  } else {
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      parse(b);
      if (blocks[b].defect) break;
    }
  }
  for (const Block& block : blocks) {
    if (block.defect) fail(name, block.defect->line, block.defect->problem);
  }
  TARNIVEL_CHECK(plausible, "a text row held more values than its bytes allow");
  if (parsed < rows) {
    fail(name, parsed + 2,
         "the file ends after " + std::to_string(parsed) + " of the " + std::to_string(rows) +
             " words the header declares");
  }
  if (lines > h.words) {
    fail(name, h.words + 2,
         "more rows than the " + std::to_string(h.words) + " words the header declares");
  }
  return table;
}

// ---- binary ----

Word2VecTable parse_binary(std::span<const char> bytes, const std::string& name, const Word2VecReadOptions& options) {
  const Header h = parse_header(bytes, name);
  const std::string_view all(bytes.data(), bytes.size());
  const uint64_t rows = rows_wanted(h, options);
  const uint64_t row_bytes = h.dim * sizeof(float);
  if (h.dim != 0 && h.dim > std::numeric_limits<uint64_t>::max() / sizeof(float)) {
    fail(name, 1, "the vector size " + std::to_string(h.dim) + " is too large");
  }
  Word2VecTable table;
  table.dim = h.dim;
  // Every record holds at least a word byte, a space and its vector: never reserve more rows than
  // the file could hold, whatever the header says.
  const uint64_t fit = (all.size() - h.body) / (row_bytes + 2);
  table.words.reserve(std::min(rows, fit));
  table.values.reserve(std::min(rows, fit) * h.dim);
  std::size_t pos = h.body;
  for (uint64_t r = 0; r < rows; ++r) {
    const uint64_t line = r + 2;
    while (pos < all.size() && (all[pos] == '\n' || all[pos] == '\r')) ++pos;
    if (pos == all.size()) {
      fail(name, line, "the file ends after " + std::to_string(r) + " of the " + std::to_string(rows) +
                           " words the header declares");
    }
    const std::size_t space = all.find(' ', pos);
    if (space == std::string_view::npos) {
      fail(name, line, "the file ends inside a word ('" + shown(all.substr(pos)) + "'); it is truncated");
    }
    if (space == pos) fail(name, line, "empty word (a space where a word should start)");
    std::string problem;
    std::optional<std::string> word = decode_word(all.substr(pos, space - pos), options.errors, problem);
    if (!word) fail(name, line, problem);
    pos = space + 1;
    const std::size_t have = all.size() - pos;
    if (have < row_bytes) {
      fail(name, line,
           "the file ends inside the vector of the word '" + shown(*word) + "' (" + std::to_string(have) + " of " +
               std::to_string(row_bytes) + " bytes); it is truncated");
    }
    const std::size_t at = table.values.size();
    table.values.resize(at + h.dim);
    if (row_bytes != 0) std::memcpy(table.values.data() + at, all.data() + pos, row_bytes);
    if constexpr (std::endian::native == std::endian::big) {
      for (std::size_t i = at; i < table.values.size(); ++i) {
        table.values[i] = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(table.values[i])));
      }
    }
    pos += row_bytes;
    table.words.push_back(std::move(*word));
  }
  if (rows == h.words) {
    while (pos < all.size() && is_space(all[pos])) ++pos;
    if (pos != all.size()) {
      fail(name, h.words + 2,
           std::to_string(all.size() - pos) + " bytes follow the " + std::to_string(h.words) +
               " words the header declares (does the header give the right counts?)");
    }
  }
  return table;
}

// ---- writing ----

void append_row_text(std::string& out, const std::string& word, const float* row, uint64_t dim) {
  out += word;
  char number[32];
  for (uint64_t i = 0; i < dim; ++i) {
    auto [ptr, ec] = std::to_chars(number, number + sizeof number, row[i]);
    TARNIVEL_CHECK(ec == std::errc(), "float does not fit its text buffer");
    out.push_back(' ');
    out.append(number, ptr);
  }
  out.push_back('\n');
}

void append_row_binary(std::string& out, const std::string& word, const float* row, uint64_t dim) {
  out += word;
  out.push_back(' ');
  const std::size_t at = out.size();
  out.resize(at + dim * sizeof(float));
  if (dim != 0) std::memcpy(out.data() + at, row, dim * sizeof(float));
  if constexpr (std::endian::native == std::endian::big) {
    for (uint64_t i = 0; i < dim; ++i) {
      uint32_t bits = 0;
      std::memcpy(&bits, out.data() + at + i * 4, 4);
      bits = __builtin_bswap32(bits);
      std::memcpy(out.data() + at + i * 4, &bits, 4);
    }
  }
  out.push_back('\n');
}

// The temporary file of one save, at a name of its own (see create_unique_temp_file).
class FileOut {
 public:
  explicit FileOut(const std::string& final_name) {
    fd_ = create_unique_temp_file(final_name, path_);
    if (fd_ < 0) failure(errno);
  }
  const std::string& name() const { return path_; }
  FileOut(const FileOut&) = delete;
  FileOut& operator=(const FileOut&) = delete;
  ~FileOut() {
    if (fd_ >= 0) ::close(fd_);
  }
  void write(std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::write(fd_, data.data(), data.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        failure(errno);
      }
      if (n == 0) failure(EIO);
      data.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void finish() {
    while (::fsync(fd_) != 0) {
      if (errno == EINVAL) break;  // a file system without fsync
      if (errno != EINTR) failure(errno);
    }
    Fd closing(fd_);
    fd_ = -1;
    const int err = closing.close_now();
    if (err != 0) failure(err);
  }

 private:
  [[noreturn]] void failure(int err) { throw ValueError("failed to write " + path_ + ": " + os_error_text(err)); }
  std::string path_;
  int fd_ = -1;
};

constexpr std::size_t kRowsPerBlock = 256;  // rows formatted into one buffer before writing

}  // namespace

Word2VecTable parse_word2vec(std::span<const char> bytes, const std::string& name, const Word2VecReadOptions& options) {
  return options.binary ? parse_binary(bytes, name, options) : parse_text(bytes, name, options);
}

Word2VecTable read_word2vec(const std::string& path, const Word2VecReadOptions& options) {
  const auto failure = [&](int err) { throw ValueError("failed to read " + path + ": " + os_error_text(err)); };
  const auto changed = [&] { throw ValueError("failed to read " + path + ": the file changed while it was being read"); };
  // Non-blocking, so that opening a FIFO returns at once and is refused below instead of waiting for a writer.
  const int raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (raw < 0) failure(errno);
  Fd fd(raw);
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) failure(errno);
  if (S_ISDIR(before.st_mode)) failure(EISDIR);
  if (!S_ISREG(before.st_mode)) throw ValueError("failed to read " + path + ": not a regular file");
  // Read into memory rather than mapped: a mapped file that another process truncates would kill
  // this one with SIGBUS at the first page past the new end.
  std::vector<char> bytes(static_cast<std::size_t>(before.st_size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd.get(), bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      failure(errno);
    }
    if (n == 0) changed();  // shrunk
    got += static_cast<std::size_t>(n);
  }
  struct stat after {};
  if (::fstat(fd.get(), &after) != 0) failure(errno);
  if (after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
      after.st_mtim.tv_nsec != before.st_mtim.tv_nsec) {
    changed();
  }
  return parse_word2vec(bytes, path, options);
}

void check_word2vec_words(const std::vector<std::string>& words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    const char* reason = nullptr;
    if (w.empty()) {
      reason = "it is empty";
    } else if (w.find_first_of(" \t\r\n") != std::string::npos) {
      reason = "it contains white space, which separates words from numbers there";
    }
    if (reason != nullptr) {
      throw ValueError("cannot write word " + std::to_string(i) + " ('" + shown(w) + "') in word2vec format: " + reason);
    }
  }
}

void write_word2vec(const std::string& path, const Word2VecSource& source, bool binary, bool parallel) {
  TARNIVEL_CHECK(source.words != nullptr, "word2vec source without words");
  const std::vector<std::string>& words = *source.words;
  TARNIVEL_CHECK(source.rows.empty() || source.rows.size() == words.size(), "row list does not match the words");
  check_word2vec_words(words);
  bool done = false;
  struct RemoveTmp {
    const std::string& name;
    bool& keep;
    ~RemoveTmp() {
      if (!keep) ::unlink(name.c_str());
    }
  };
  FileOut out(path);
  const std::string& tmp = out.name();
  RemoveTmp cleanup{tmp, done};
  out.write(std::to_string(words.size()) + " " + std::to_string(source.dim) + "\n");
  const auto row_of = [&](std::size_t i) {
    const uint64_t r = source.rows.empty() ? i : source.rows[i];
    return source.base + r * source.stride;
  };
  const std::size_t blocks = (words.size() + kRowsPerBlock - 1) / kRowsPerBlock;
  const std::size_t batch = parallel ? std::max<std::size_t>(1, 2 * worker_pool_size()) : 1;
  std::vector<std::string> formatted(batch);
  for (std::size_t first = 0; first < blocks; first += batch) {
    const std::size_t count = std::min(batch, blocks - first);
    const auto format_block = [&](std::size_t j) {
      std::string& text = formatted[j];
      text.clear();
      const std::size_t begin = (first + j) * kRowsPerBlock;
      const std::size_t end = std::min(words.size(), begin + kRowsPerBlock);
      for (std::size_t i = begin; i < end; ++i) {
        if (binary) {
          append_row_binary(text, words[i], row_of(i), source.dim);
        } else {
          append_row_text(text, words[i], row_of(i), source.dim);
        }
      }
      return false;
    };
    if (count > 1 && !binary) {
      pool_for_each(count, format_block);
      for (std::size_t j = 0; j < count; ++j) out.write(formatted[j]);
    } else {
      // Binary rows are plain copies: one block at a time keeps the buffer small.
      for (std::size_t j = 0; j < count; ++j) {
        format_block(j);
        out.write(formatted[j]);
      }
    }
  }
  out.finish();
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    throw ValueError("failed to finalize " + path + ": " + os_error_text(errno));
  }
  done = true;
}

}  // namespace tarnivel
