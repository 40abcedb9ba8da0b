#include "io/whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/error.hpp"
#include "common/fd.hpp"
#include "common/os_error.hpp"

namespace tarnivel {

std::vector<uint8_t> read_whole_file(const std::string& name) {
  const auto fail = [&](int err) { throw ValueError("failed to read " + name + ": " + os_error_text(err)); };
  // Non-blocking, so that opening a FIFO returns at once (it is refused below) instead of waiting for a
  // writer with the interpreter lock held.
  const int raw = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (raw < 0) fail(errno);
  Fd fd(raw);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) fail(errno);
  if (S_ISDIR(st.st_mode)) fail(EISDIR);
  if (!S_ISREG(st.st_mode)) throw ValueError("failed to read " + name + ": not a regular file");
  std::vector<uint8_t> bytes;
  // The size is only a hint (the file may change): read until end of file.
  if (st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
  uint8_t chunk[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

}  // namespace tarnivel
