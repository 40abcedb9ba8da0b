#pragma once
// Reading a UTF-8 text file as whole lines, in large blocks, with exactly the outcome of Python
// reading it as LineSentence does (open(path, encoding="utf-8-sig") and iterating the lines).
//
// Python decodes such a file in steps of 8192 bytes (plus the bytes of a character cut off by the
// previous step) and hands out a line only once the step holding its line end has decoded; a "\r" at
// the very end of a step waits for the next step, which may turn it into "\r\n". So when the file
// holds a byte that is not UTF-8, the lines Python yields are those ending before the failing step,
// and its error message counts positions from the start of that step's input. The reader reproduces
// both: it reads in multiples of 8192 bytes from the start of the file, hands out only lines that
// Python would have yielded by then, and describes an error the way Python's decoder does.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tarnivel::corpus {

// A file that is not UTF-8, as Python reports it.
struct DecodeError {
  uint64_t start = 0;         // file offset of the first byte the error covers
  uint64_t end = 0;           // one past the last byte it covers
  const char* reason = "";    // "invalid start byte", "invalid continuation byte", "unexpected end of data"
  unsigned char first_byte = 0;  // the byte at `start`
  uint64_t input_start = 0;   // file offset of the failing step's input; positions count from here
  std::string input;          // that input: the bytes Python's decoder was given in the failing step

  // Python's text of the error, e.g. "'utf-8' codec can't decode byte 0xff in position 12: invalid
  // start byte".
  std::string message() const;
};

class LineReader {
 public:
  // Python's text files decode in steps of this many bytes.
  static constexpr std::size_t kPythonStep = 8192;
  static constexpr std::size_t kDefaultBlock = std::size_t{1} << 20;

  enum class Status { lines, end, decode_error, os_error };

  // Reads the open file `fd` from its start; takes ownership of the descriptor. `block_bytes` is
  // rounded up to a multiple of kPythonStep.
  explicit LineReader(int fd, std::size_t block_bytes = kDefaultBlock);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Makes the next run of whole lines available through lines() and returns Status::lines, or
  // reports the end of the file, a decode error (after every line Python yields before it has been
  // handed out) or an operating-system error. After anything but Status::lines it keeps returning
  // the same status. The previous lines() view is invalid after the call.
  Status next();

  // Whole lines of valid UTF-8 without the byte-order mark: each ends with "\n" or "\r", except a
  // last line at the end of the file. Never empty after Status::lines.
  std::string_view lines() const { return {buf_.get() + view_begin_, view_end_ - view_begin_}; }

  const DecodeError& decode_error() const { return error_; }
  int os_error() const { return errno_; }

 private:
  bool read_block();                  // false on an operating-system error
  void describe_error(uint64_t at, int kind);
  std::string read_at(uint64_t offset, std::size_t n) const;
  std::size_t last_line_end(std::size_t from, std::size_t to) const;  // index, or to when none

  int fd_;
  std::size_t block_;
  std::unique_ptr<char[]> buf_;
  std::size_t capacity_ = 0;
  uint64_t origin_ = 0;        // file offset of buf_[0]
  std::size_t begin_ = 0;      // first byte not handed out yet
  std::size_t end_ = 0;        // end of the bytes read
  std::size_t checked_ = 0;    // end of the complete characters known to be valid
  std::size_t scanned_ = 0;    // [begin_, scanned_) holds no line end
  std::size_t view_begin_ = 0;
  std::size_t view_end_ = 0;
  std::size_t limit_ = ~std::size_t{0};  // after a decode error: where handing out lines stops
  bool started_ = false;
  bool eof_ = false;
  bool has_bom_ = false;
  Status final_ = Status::lines;  // set once the end or an error is known
  DecodeError error_;
  int errno_ = 0;
};

}  // namespace tarnivel::corpus
