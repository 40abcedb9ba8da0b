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

namespace {

[[noreturn]] void read_failure(const std::string& name, int err) {
  throw ValueError("failed to read " + name + ": " + os_error_text(err));
}

}  // namespace

int open_for_reading(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) read_failure(name, errno);
  return fd;
}

uint64_t check_same_file(int fd, const std::string& name) {
  struct stat held {};
  struct stat named {};
  if (::fstat(fd, &held) != 0) read_failure(name, errno);
  if (::stat(name.c_str(), &named) != 0) read_failure(name, errno);
  if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
    throw ValueError("failed to read " + name + ": the file was replaced while it was being mapped");
  }
  return static_cast<uint64_t>(held.st_size);
}

void check_file_length(int fd, const std::string& name, uint64_t needed) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) read_failure(name, errno);
  if (static_cast<uint64_t>(now.st_size) < needed) {
    throw ValueError("failed to read " + name + ": the file was truncated after it was mapped (" +
                     std::to_string(now.st_size) + " of " + std::to_string(needed) + " bytes left)");
  }
}

}  // namespace tarnivel
