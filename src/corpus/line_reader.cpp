#include "corpus/line_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "corpus/text.hpp"

namespace tarnivel::corpus {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string DecodeError::message() const {
  char text[160];
  const auto position = static_cast<unsigned long long>(start - input_start);
  if (end - start == 1) {
    std::snprintf(text, sizeof text, "'utf-8' codec can't decode byte 0x%02x in position %llu: %s", first_byte,
                  position, reason);
  } else {
    std::snprintf(text, sizeof text, "'utf-8' codec can't decode bytes in position %llu-%llu: %s", position,
                  static_cast<unsigned long long>(end - 1 - input_start), reason);
  }
  return text;
}

LineReader::LineReader(int fd, std::size_t block_bytes) : fd_(fd) {
  block_ = std::max<std::size_t>(block_bytes, 1);
  block_ = (block_ + kPythonStep - 1) / kPythonStep * kPythonStep;
}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

LineReader::Status LineReader::next() {
  begin_ = std::max(begin_, view_end_);
  view_begin_ = view_end_ = begin_;
  for (;;) {
    if (final_ != Status::lines) {
      // The end or an error is known; the lines before it are handed out first.
      if (begin_ < limit_) {
        view_end_ = limit_;
        return Status::lines;
      }
      return final_;
    }
    if (!eof_ && !read_block()) {
      final_ = Status::os_error;
      limit_ = begin_;
      continue;
    }
    if (!started_) {
      started_ = true;
      // Python takes a file of fewer than three bytes that begin a byte-order mark for a mark it
      // has not seen the end of, and reads nothing from it.
      if (eof_ && end_ < 3 && std::memcmp(buf_.get(), kBom, end_) == 0) {
        final_ = Status::end;
        limit_ = begin_;
        continue;
      }
      if (end_ >= 3 && std::memcmp(buf_.get(), kBom, 3) == 0) {
        has_bom_ = true;
        begin_ = checked_ = scanned_ = view_begin_ = view_end_ = 3;
      }
    }
    const Utf8Check check =
        check_utf8(reinterpret_cast<const unsigned char*>(buf_.get()) + checked_, end_ - checked_);
    checked_ += check.valid;
    if (check.kind != 0 || (eof_ && checked_ < end_)) {
      describe_error(origin_ + checked_, check.kind);
      // Python yields the lines that end before the failing step's input, less a "\r" right before
      // it (that one waited for the failing step).
      std::size_t cut = error_.input_start > origin_ + begin_ ? error_.input_start - origin_ : begin_;
      if (cut > begin_ && buf_[cut - 1] == '\r') --cut;
      const std::size_t at = last_line_end(std::min(std::max(scanned_, begin_), cut), cut);
      limit_ = at == cut ? begin_ : at + 1;
      final_ = Status::decode_error;
      continue;
    }
    if (eof_) {
      // All read and valid: the rest is whole lines, the last one possibly without a line end.
      final_ = Status::end;
      limit_ = end_;
      continue;
    }
    // Python has decoded up to the character cut off at the end of the bytes read; it has yielded
    // the lines ending before that, except one ended by a "\r" that is the last character decoded.
    std::size_t cut = checked_;
    if (cut > begin_ && buf_[cut - 1] == '\r') --cut;
    const std::size_t at = last_line_end(std::min(std::max(scanned_, begin_), cut), cut);
    if (at == cut) {
      scanned_ = std::max(scanned_, cut);  // no whole line yet: read on
      continue;
    }
    scanned_ = cut;
    view_end_ = at + 1;
    return Status::lines;
  }
}

bool LineReader::read_block() {
  if (begin_ > 0) {
    // Only the bytes not handed out yet are kept, moved to the front.
    std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
    origin_ += begin_;
    end_ -= begin_;
    checked_ -= begin_;
    scanned_ = std::max(scanned_, begin_) - begin_;
    view_begin_ = view_end_ = 0;
    begin_ = 0;
  }
  if (capacity_ - end_ < block_) {
    // A line longer than a block makes the buffer grow, doubling so that copies stay linear.
    const std::size_t capacity = std::max(capacity_ * 2, end_ + block_);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (end_ != 0) std::memcpy(grown.get(), buf_.get(), end_);
    buf_ = std::move(grown);
    capacity_ = capacity;
  }
  // A whole block, so that every read starts at a multiple of Python's step.
  std::size_t got = 0;
  while (got < block_) {
    const ssize_t n = ::read(fd_, buf_.get() + end_ + got, block_ - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      errno_ = errno;
      return false;
    }
    if (n == 0) {
      eof_ = true;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  end_ += got;
  return true;
}

std::size_t LineReader::last_line_end(std::size_t from, std::size_t to) const {
  if (from >= to) return to;
  const char* base = buf_.get() + from;
  const auto* lf = static_cast<const char*>(memrchr(base, '\n', to - from));
  const auto* cr = static_cast<const char*>(memrchr(base, '\r', to - from));
  const char* last = std::max(lf, cr);  // a null pointer compares below any found one
  if (last == nullptr) return to;
  return static_cast<std::size_t>(last - buf_.get());
}

std::string LineReader::read_at(uint64_t offset, std::size_t n) const {
  std::string out(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd_, out.data() + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return out;
}

// The error of the invalid sequence at file offset `at` as Python reports it (`kind` as in
// Utf8Check; 0 for a character cut off by the end of the file). Python's step ends at a multiple of
// kPythonStep; its input starts after the previous step's input, less the bytes of a character the
// previous step could not finish, or after the byte-order mark in the first step.
void LineReader::describe_error(uint64_t at, int kind) {
  constexpr uint64_t step = kPythonStep;
  const uint64_t file_end = origin_ + end_;  // the end of the file when eof_
  DecodeError& e = error_;
  e.start = at;
  e.first_byte = static_cast<unsigned char>(buf_[at - origin_]);
  uint64_t input_end = 0;
  if (kind == 0) {
    // Python decodes the cut-off character alone once the file has ended.
    e.end = file_end;
    e.reason = "unexpected end of data";
    e.input_start = at;
    input_end = file_end;
  } else {
    e.end = kind == 1 ? at + 1 : at + static_cast<uint64_t>(kind) - 1;
    e.reason = kind == 1 ? "invalid start byte" : "invalid continuation byte";
    const uint64_t shows = kind == 1 ? at : at + static_cast<uint64_t>(kind) - 1;  // the telling byte
    const uint64_t step_start = shows / step * step;
    const uint64_t step_end = step_start + step;
    if (e.first_byte == 0xED && kind == 2 && (at + 2 == step_end || (eof_ && at + 2 == file_end))) {
      // The two bytes of a surrogate's start that end a step are kept back as an unfinished
      // character and fail alone in the next step.
      e.input_start = at;
      input_end = at + 2 + step;
    } else if (at < step_start) {
      e.input_start = at;  // the failing character began in the previous step
      input_end = step_end;
    } else if (step_start == 0) {
      e.input_start = has_bom_ ? 3 : 0;
      input_end = step_end;
    } else {
      uint64_t carried = 0;
      if (at > step_start) {
        const std::string around = read_at(step_start - 3, 4);
        if (around.size() == 4 && continuation(static_cast<unsigned char>(around[3]))) {
          int lead_at = 2;
          while (lead_at > 0 && continuation(static_cast<unsigned char>(around[lead_at]))) --lead_at;
          carried = static_cast<uint64_t>(3 - lead_at);
        }
      }
      e.input_start = step_start - carried;
      input_end = step_end;
    }
  }
  e.input = read_at(e.input_start, static_cast<std::size_t>(input_end - e.input_start));
}

}  // namespace tarnivel::corpus
