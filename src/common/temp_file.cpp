#include "common/temp_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace tarnivel {
namespace {

int open_new(const std::string& tmp_name, const std::string& final_name) {
  const int fd = ::open(tmp_name.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat replaced {};
  if (::lstat(final_name.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode) &&
      ::fchmod(fd, replaced.st_mode & 0777) != 0) {
    const int err = errno;
    ::close(fd);
    ::unlink(tmp_name.c_str());
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

int create_temp_file(const std::string& tmp_name, const std::string& final_name) {
  // The name is reserved for this save: the entry goes, never its target. A failure (a directory
  // there: EISDIR) is the error of the save.
  if (::unlink(tmp_name.c_str()) != 0 && errno != ENOENT) return -1;
  return open_new(tmp_name, final_name);
}

int create_unique_temp_file(const std::string& final_name, std::string& tmp_name) {
  static std::atomic<uint64_t> counter{0};
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 64; ++attempt) {
    // Process id, a per-process counter and the clock: distinct across writers, hard to guess.
    uint64_t x = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
                 counter.fetch_add(1, std::memory_order_relaxed) * 0xBF58476D1CE4E5B9ull ^
                 static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    x ^= x >> 31;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 29;
    std::string suffix;
    for (int i = 0; i < 10; ++i, x /= 36) suffix.push_back(kDigits[x % 36]);
    tmp_name = final_name + "." + suffix + ".tmp";
    const int fd = open_new(tmp_name, final_name);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace tarnivel
