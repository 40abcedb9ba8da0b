#include "io/npy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "common/fd.hpp"
#include "common/error.hpp"
#include "common/os_error.hpp"
#include "common/temp_file.hpp"
#include "io/whole_file.hpp"

namespace tarnivel {

namespace {

constexpr std::array<uint8_t, 6> kMagic{0x93, 'N', 'U', 'M', 'P', 'Y'};
constexpr std::size_t kPrefixBytes = 10;  // magic, version, HEADER_LEN
constexpr std::size_t kHeaderReadBytes = 512;
constexpr std::size_t kWriteBufferBytes = 8192;

[[noreturn]] void os_failure(const char* what, const std::string& path, int err) {
  throw ValueError(std::string("failed to ") + what + " " + path + ": " + os_error_text(err));
}

// Buffered writer over a descriptor: every failed write or flush throws ValueError naming the path.
class BufferedWriter {
 public:
  BufferedWriter(int fd, const std::string& path) : fd_(fd), path_(path) { buffer_.reserve(kWriteBufferBytes); }

  void write(const uint8_t* data, std::size_t len) {
    if (buffer_.size() + len > kWriteBufferBytes) flush();
    if (len >= kWriteBufferBytes) {
      write_all(data, len);  // large blocks go straight from the caller's memory
      return;
    }
    buffer_.insert(buffer_.end(), data, data + len);
  }

  void flush() {
    if (!buffer_.empty()) write_all(buffer_.data(), buffer_.size());
    buffer_.clear();
  }

 private:
  void write_all(const uint8_t* data, std::size_t len) {
    while (len > 0) {
      const ssize_t n = ::write(fd_, data, len);
      if (n < 0) {
        if (errno == EINTR) continue;
        os_failure("write", path_, errno);
      }
      if (n == 0) os_failure("write", path_, EIO);  // no progress: never loop forever
      data += n;
      len -= static_cast<std::size_t>(n);
    }
  }

  int fd_;
  const std::string& path_;
  std::vector<uint8_t> buffer_;
};

uint16_t read_header_len(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[8] | (bytes[9] << 8));
}

// Magic and version checks shared by read_header and data_offset.
void check_prefix(const uint8_t* bytes, std::size_t n) {
  if (n < kPrefixBytes || std::memcmp(bytes, kMagic.data(), kMagic.size()) != 0) {
    throw ValueError("invalid npy magic");
  }
  if (bytes[6] != 1 || bytes[7] != 0) throw ValueError("unsupported npy version");
}

// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const uint8_t* s, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    uint32_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > n) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

// Whitespace stripped around shape pieces: the ASCII whitespace characters. A header is written
// by NumPy or by us, neither of which puts other Unicode spaces inside a shape tuple.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view strip(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Unsigned 64-bit decimal: one optional leading '+', then at least one digit, no overflow.
bool parse_u64(std::string_view s, uint64_t& out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  uint64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(value, uint64_t{10}, &value)) return false;
    if (__builtin_add_overflow(value, static_cast<uint64_t>(c - '0'), &value)) return false;
  }
  out = value;
  return true;
}

// The header is a Python dictionary literal, which may hold comments ('#' to the end of the line)
// and strings anywhere between its tokens; NumPy evaluates it as Python. Only the values of the
// dictionary's own top-level keys count, so a "shape" inside a comment or inside another value is
// never taken for the shape.
struct HeaderDict {
  std::optional<std::string_view> descr;
  std::optional<std::string_view> fortran_order;
  std::optional<std::string_view> shape;
};

// Position after whitespace and comments from i.
std::size_t skip_blank(std::string_view s, std::size_t i) {
  while (i < s.size()) {
    if (is_space(s[i])) {
      ++i;
    } else if (s[i] == '#') {
      while (i < s.size() && s[i] != '\n') ++i;
    } else {
      break;
    }
  }
  return i;
}

// Position after the string literal starting at i (a quote), or npos when it is not closed.
std::size_t skip_string(std::string_view s, std::size_t i) {
  const char quote = s[i];
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == quote) {
      return i + 1;
    } else if (s[i] == '\n') {
      return std::string_view::npos;
    }
  }
  return std::string_view::npos;
}

// End of the value starting at i: the first ',' or '}' outside brackets, strings and comments (or
// the end of the text). `value_end` is set to the end of the value's last token, before any
// whitespace or comment that follows it.
std::size_t skip_value(std::string_view s, std::size_t i, std::size_t& value_end) {
  int depth = 0;
  value_end = i;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\'' || c == '"') {
      i = skip_string(s, i);
      if (i == std::string_view::npos) i = s.size();
      value_end = i;
      continue;
    }
    if (c == '#' || is_space(c)) {
      i = skip_blank(s, i);
      continue;
    }
    if (c == '(' || c == '[' || c == '{') ++depth;
    if (c == ')' || c == ']' || c == '}') {
      if (depth == 0) return i;
      --depth;
    }
    if (c == ',' && depth == 0) return i;
    value_end = ++i;
  }
  return i;
}

// The values of the keys 'descr', 'fortran_order' and 'shape' (a later duplicate wins, as in a Python
// dictionary). Scanning stops at the first thing that is not `'key': value`; the keys found before
// it are kept.
HeaderDict parse_header_dict(std::string_view s) {
  HeaderDict dict;
  std::size_t i = skip_blank(s, 0);
  if (i >= s.size() || s[i] != '{') return dict;
  ++i;
  while (true) {
    i = skip_blank(s, i);
    if (i >= s.size() || (s[i] != '\'' && s[i] != '"')) return dict;
    const std::size_t key_end = skip_string(s, i);
    if (key_end == std::string_view::npos) return dict;
    const std::string_view key = s.substr(i + 1, key_end - i - 2);
    i = skip_blank(s, key_end);
    if (i >= s.size() || s[i] != ':') return dict;
    i = skip_blank(s, i + 1);
    std::size_t value_end = i;
    const std::size_t end = skip_value(s, i, value_end);
    const std::string_view value = s.substr(i, value_end - i);
    if (key == "descr") dict.descr = value;
    if (key == "fortran_order") dict.fortran_order = value;
    if (key == "shape") dict.shape = value;
    if (end >= s.size() || s[end] != ',') return dict;
    i = end + 1;
  }
}

// The text with its comments removed (the newline that ends a comment stays).
std::string without_comments(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == '#') {
      i = skip_blank(s, i);
      out.push_back(' ');
      continue;
    }
    out.push_back(s[i++]);
  }
  return out;
}

// A value for messages: up to 40 characters.
std::string shown(std::string_view value) {
  if (value.size() > 40) return std::string(value.substr(0, 37)) + "...";
  return std::string(value);
}

}  // namespace

std::string npy_header_dict(uint64_t rows, uint64_t cols) {
  return "{'descr': '<f4', 'fortran_order': False, 'shape': (" + std::to_string(rows) + ", " +
         std::to_string(cols) + ")}";
}

namespace {

void write_matrix_to(Fd& fd, const std::string& path, uint64_t rows, uint64_t cols, std::span<const float> data) {
  BufferedWriter out(fd.get(), path);

  const std::array<uint8_t, 8> prefix{kMagic[0], kMagic[1], kMagic[2], kMagic[3], kMagic[4], kMagic[5], 1, 0};
  out.write(prefix.data(), prefix.size());

  std::string header = npy_header_dict(rows, cols);
  std::size_t pad = 0;
  while ((kPrefixBytes + header.size() + pad + 1) % 16 != 0) ++pad;
  header.append(pad, ' ');
  header.push_back('\n');
  TARNIVEL_CHECK(header.size() <= 0xFFFF, "npy header longer than 65535 bytes");
  const auto header_len = static_cast<uint16_t>(header.size());
  const std::array<uint8_t, 2> len_bytes{static_cast<uint8_t>(header_len & 0xFF),
                                         static_cast<uint8_t>(header_len >> 8)};
  out.write(len_bytes.data(), len_bytes.size());
  out.write(reinterpret_cast<const uint8_t*>(header.data()), header.size());

  // rows * cols that does not fit in 64 bits can never match a buffer length.
  uint64_t elements = 0;
  if (__builtin_mul_overflow(rows, cols, &elements) || elements != data.size()) {
    out.flush();  // the header alone stays in the file, which the caller never moves into place
    throw ValueError("npy write: data size mismatch");
  }

  if constexpr (std::endian::native == std::endian::little) {
    out.write(reinterpret_cast<const uint8_t*>(data.data()), data.size_bytes());
  } else {
    for (float f : data) {
      const uint32_t bits = std::bit_cast<uint32_t>(f);
      const std::array<uint8_t, 4> le{static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                                      static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
      out.write(le.data(), le.size());
    }
  }
  out.flush();

  // Make the contents durable before the caller renames the file into place. Only regular files
  // are synced: devices and pipes may refuse fsync although everything was written.
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    while (::fsync(fd.get()) != 0) {
      if (errno != EINTR) os_failure("sync", path, errno);
    }
  }
  // A close error can report a write that failed late (e.g. on network file systems). The
  // descriptor is released first: after close, even a failing one, it must not be closed again.
  if (int err = fd.close_now()) os_failure("close", path, err);
}

}  // namespace

void write_matrix(const std::string& path, uint64_t rows, uint64_t cols, std::span<const float> data) {
  const int raw_fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
  if (raw_fd < 0) os_failure("create", path, errno);
  Fd fd(raw_fd);
  write_matrix_to(fd, path, rows, cols, data);
}

void write_matrix_temp(const std::string& tmp, const std::string& final_name, uint64_t rows, uint64_t cols,
                       std::span<const float> data, bool& created) {
  const int raw_fd = create_temp_file(tmp, final_name);
  if (raw_fd < 0) os_failure("create", tmp, errno);
  created = true;
  Fd fd(raw_fd);
  write_matrix_to(fd, tmp, rows, cols, data);
}

namespace {

std::pair<uint64_t, uint64_t> read_header_impl(const std::string& path, std::string* text) {
  // Non-blocking: a FIFO is refused at once instead of waiting for a writer.
  const int raw_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (raw_fd < 0) os_failure("open", path, errno);
  Fd fd(raw_fd);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) os_failure("open", path, errno);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) throw ValueError("failed to open " + path + ": not a regular file");

  std::array<uint8_t, kHeaderReadBytes> buf{};
  ssize_t got = 0;
  do {
    got = ::read(fd.get(), buf.data(), buf.size());
  } while (got < 0 && errno == EINTR);
  const std::size_t n = got < 0 ? 0 : static_cast<std::size_t>(got);  // a read error counts as 0

  check_prefix(buf.data(), n);
  const std::size_t header_len = read_header_len(buf.data());
  if (kPrefixBytes + header_len > n) throw ValueError("short npy header");
  const uint8_t* header_bytes = buf.data() + kPrefixBytes;
  if (!valid_utf8(header_bytes, header_len)) throw ValueError("invalid header");
  const std::string_view header(reinterpret_cast<const char*>(header_bytes), header_len);

  const HeaderDict dict = parse_header_dict(header);
  if (!dict.shape) throw ValueError("no shape in header");
  const std::string value = without_comments(*dict.shape);
  if (value.empty() || value.front() != '(') throw ValueError("bad shape");
  const std::size_t close = value.find(')');
  if (close == std::string::npos) throw ValueError("bad shape");
  std::string_view tuple = std::string_view(value).substr(1, close - 1);

  std::vector<std::string_view> pieces;
  while (true) {
    const std::size_t comma = tuple.find(',');
    const std::string_view piece = strip(tuple.substr(0, comma));
    if (!piece.empty()) pieces.push_back(piece);
    if (comma == std::string_view::npos) break;
    tuple.remove_prefix(comma + 1);
  }
  if (pieces.size() < 2) throw ValueError("shape expects 2 dims");
  uint64_t rows = 0;
  uint64_t cols = 0;
  if (!parse_u64(pieces[0], rows)) throw ValueError("bad rows");
  if (!parse_u64(pieces[1], cols)) throw ValueError("bad cols");
  if (text != nullptr) *text = std::string(header);
  return {rows, cols};
}

}  // namespace

// Decision: a header without `descr` or `fortran_order` is refused (NumPy writes both and refuses such
// files); only the exact text False is C order.
void check_matrix_layout(std::string_view header) {
  const HeaderDict dict = parse_header_dict(header);
  if (!dict.descr) throw ValueError("unsupported npy header: no descr");
  const std::string_view descr = *dict.descr;
  const char quote = descr.empty() ? '\0' : descr.front();
  if ((quote != '\'' && quote != '"') || descr.size() < 2 || descr.back() != quote) {
    throw ValueError("unsupported npy dtype " + shown(descr) + ": only little-endian float32 '<f4' is read");
  }
  const std::string_view type = descr.substr(1, descr.size() - 2);
  if (type != "<f4") {
    throw ValueError("unsupported npy dtype '" + shown(type) + "': only little-endian float32 '<f4' is read");
  }
  if (!dict.fortran_order) throw ValueError("unsupported npy header: no fortran_order");
  const std::string_view order = *dict.fortran_order;
  if (order == "False") return;
  if (order == "True") throw ValueError("unsupported npy layout: fortran_order is True, only C order is read");
  throw ValueError("unsupported npy layout: fortran_order " + shown(order));
}

NpyHeader read_npy_header(const std::string& path) {
  NpyHeader out;
  const auto shape = read_header_impl(path, &out.text);
  out.rows = shape.first;
  out.cols = shape.second;
  return out;
}

std::pair<uint64_t, uint64_t> read_header(const std::string& path) { return read_header_impl(path, nullptr); }

std::size_t data_offset(std::span<const uint8_t> bytes) {
  check_prefix(bytes.data(), bytes.size());
  const std::size_t offset = kPrefixBytes + read_header_len(bytes.data());
  // An offset past the end would send the caller reading outside the file; report it as the
  // header running short instead.
  if (offset > bytes.size()) throw ValueError("short npy header");
  return offset;
}

void check_pair_rows(uint64_t rows, uint64_t words) {
  if (rows != words) {
    throw ValueError("npy shape mismatch: rows=" + std::to_string(rows) + " != vocab=" + std::to_string(words));
  }
}

std::vector<float> read_matrix_values(const std::string& name, uint64_t rows, uint64_t cols) {
  const std::vector<uint8_t> bytes = read_whole_file(name);
  const std::size_t offset = data_offset(bytes);
  check_matrix_layout(std::string_view(reinterpret_cast<const char*>(bytes.data()) + kPrefixBytes,
                                       offset - kPrefixBytes));
  uint64_t elements = 0;
  uint64_t data_bytes = 0;
  if (__builtin_mul_overflow(rows, cols, &elements) || __builtin_mul_overflow(elements, uint64_t{4}, &data_bytes) ||
      bytes.size() - offset != data_bytes) {
    throw ValueError("npy size mismatch");
  }
  std::vector<float> values(static_cast<std::size_t>(elements));
  const uint8_t* data = bytes.data() + offset;
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(values.data(), data, static_cast<std::size_t>(data_bytes));
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const uint8_t* b = data + 4 * i;
      const uint32_t bits = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
      values[i] = std::bit_cast<float>(bits);
    }
  }
  return values;
}

}  // namespace tarnivel
