#pragma once
// An owned POSIX file descriptor.
#include <cerrno>

#include <unistd.h>

namespace tarnivel {

// Closes the descriptor it owns (ignoring errors) unless it was closed explicitly with close_now().
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Gives up ownership: the caller closes the descriptor.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and returns the errno of a failed close (0 on success). EINTR counts as closed: the
  // descriptor is gone either way on Linux, and retrying could close another thread's file.
  int close_now() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
  }

 private:
  int fd_;
};

}  // namespace tarnivel
