#include "io/pair_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "common/error.hpp"
#include "common/fd.hpp"
#include "common/os_error.hpp"
#include "common/temp_file.hpp"

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace tarnivel {
namespace {

// fsync, retried on EINTR; returns the errno of a failure, 0 on success.
int sync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Writes all bytes; returns the errno of a failure, 0 on success.
int write_all(int fd, const uint8_t* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // no progress: report instead of looping forever
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

[[noreturn]] void finalize_failure(const std::string& name, int err, const std::string& more = "") {
  throw ValueError("failed to finalize " + name + ": " + os_error_text(err) + more);
}

// Syncs the directory holding the pair, making the renames into it durable. Decision: a directory that
// cannot be opened for reading (write and search permission suffice for a rename) is left unsynced
// rather than failing a save whose files are already in place; file systems that do not support
// syncing a directory (EINVAL, ENOTSUP, EROFS) are accepted likewise; any other sync error is reported.
void sync_directory(const std::string& dir, const std::string& name) {
  const int raw = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) return;
  Fd fd(raw);
  const int err = sync_fd(fd.get());
  if (err != 0 && err != EINVAL && err != ENOTSUP && err != EROFS) finalize_failure(name, err);
}

// Keeps the file `name` reachable as `backup`: a hard link, or a synced copy where the file system
// refuses links. Returns false when there is no file `name` (a first save); ENOENT is that case.
bool keep_backup(const std::string& name, const std::string& backup) {
  ::unlink(backup.c_str());  // a leftover of a save that was killed; it is ours to replace
  if (::link(name.c_str(), backup.c_str()) == 0) return true;
  const int err = errno;
  if (err == ENOENT) return false;
  const bool links_refused = err == EPERM || err == EOPNOTSUPP || err == EMLINK || err == ENOSYS || err == EXDEV;
  if (!links_refused) {
    finalize_failure(name, err, " (the previous vocabulary could not be kept for a restore)");
  }
  const int raw = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw < 0) {
    if (errno == ENOENT) return false;
    finalize_failure(name, errno, " (the previous vocabulary could not be kept for a restore)");
  }
  Fd src(raw);
  bool created = false;
  try {
    copy_file_from_fd(src.get(), backup, created);
  } catch (const ValueError& e) {
    if (created) ::unlink(backup.c_str());
    throw ValueError("failed to finalize " + name + ": the previous vocabulary could not be kept for a restore (" +
                     e.what() + ")");
  }
  return true;
}

}  // namespace

PairNames::PairNames(const std::string& path)
    : vocab(path + ".vocab.json"),
      matrix(path + ".npy"),
      vocab_tmp(path + ".vocab.json" + ".tmp"),
      matrix_tmp(path + ".npy" + ".tmp"),
      vocab_backup(path + ".vocab.json" + ".old.tmp") {}

void check_save_prefix(const std::string& path) {
  if (path.empty() || path.back() == '/') {
    throw ValueError("path '" + path + "' has no file name: the files would be the hidden " + path +
                     ".vocab.json and " + path + ".npy");
  }
}

std::string pair_directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

DirLock::DirLock(const std::string& path, Mode mode) {
  const int raw = ::open(pair_directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) return;  // see the class comment: no lock, no exclusion
  const int op = mode == Mode::exclusive ? LOCK_EX : LOCK_SH;
  while (::flock(raw, op) != 0) {
    if (errno == EINTR) continue;
    ::close(raw);
    return;
  }
  fd_ = raw;
}

DirLock::DirLock(DirLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

DirLock::~DirLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the only descriptor of the open directory drops the lock
}

void write_file_synced(const std::string& name, const std::string& replaces, std::string_view bytes, bool& created) {
  const auto fail = [&](int err) { throw ValueError("failed to write " + name + ": " + os_error_text(err)); };
  const int raw = create_temp_file(name, replaces);
  if (raw < 0) fail(errno);
  created = true;
  Fd fd(raw);
  if (int err = write_all(fd.get(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) fail(err);
  if (int err = sync_fd(fd.get())) fail(err);
  if (int err = fd.close_now()) fail(err);
}

void copy_file_from_fd(int src_fd, const std::string& to, bool& created) {
  const auto fail = [](int err) { throw ValueError("failed to copy npy: " + os_error_text(err)); };
  struct stat src_st {};
  if (::fstat(src_fd, &src_st) != 0) fail(errno);
  // A new file, never one reached through a link left at the name (which could even be the source).
  const int raw_dst = create_temp_file(to, to);
  if (raw_dst < 0) fail(errno);
  Fd dst(raw_dst);
  created = true;
  if (::fchmod(dst.get(), src_st.st_mode & 07777) != 0) fail(errno);

  // Explicit offsets: the source descriptor may be shared (a mapped store keeps it for every save),
  // so its file position is neither used nor moved.
  off_t in_offset = 0;
  bool kernel_copy = true;
#if defined(__linux__) && defined(SYS_copy_file_range)
  while (kernel_copy) {
    const ssize_t n = ::copy_file_range(src_fd, &in_offset, dst.get(), nullptr, std::size_t{1} << 30, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    // Not supported for this pair of files (other file system, old kernel, special file): fall back
    // to plain reads and writes, which is only correct while nothing has been copied yet.
    const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL ||
                             errno == EPERM || errno == EBADF;
    if (!unsupported || in_offset != 0) fail(errno);
    kernel_copy = false;
  }
#else
  kernel_copy = false;
#endif
  if (!kernel_copy) {
    uint8_t chunk[65536];
    while (true) {
      const ssize_t n = ::pread(src_fd, chunk, sizeof chunk, in_offset);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail(errno);
      }
      if (n == 0) break;
      in_offset += n;
      if (int err = write_all(dst.get(), chunk, static_cast<std::size_t>(n))) fail(err);
    }
  }
  if (int err = sync_fd(dst.get())) fail(err);
  if (int err = dst.close_now()) fail(err);
}

void save_pair_files(const PairNames& names, std::string_view vocab_json, const MatrixWriter& write_matrix) {
  bool vocab_tmp_created = false;
  bool matrix_tmp_created = false;
  bool backup_kept = false;
  try {
    write_file_synced(names.vocab_tmp, names.vocab, vocab_json, vocab_tmp_created);
    write_matrix(names.matrix_tmp, matrix_tmp_created);
    const bool had_vocab = keep_backup(names.vocab, names.vocab_backup);
    backup_kept = had_vocab;
    if (::rename(names.vocab_tmp.c_str(), names.vocab.c_str()) != 0) finalize_failure(names.vocab, errno);
    vocab_tmp_created = false;  // it is the vocabulary file now
    if (::rename(names.matrix_tmp.c_str(), names.matrix.c_str()) != 0) {
      const int err = errno;
      // The new vocabulary must not stay beside the previous matrix: put the previous one back (one
      // rename over the new file), or remove the new one when this was the first save.
      const int restored = had_vocab ? ::rename(names.vocab_backup.c_str(), names.vocab.c_str())
                                     : ::unlink(names.vocab.c_str());
      if (restored != 0) {
        const int restore_err = errno;
        backup_kept = false;  // the only copy of the previous vocabulary: leave it where it is
        finalize_failure(names.matrix, err,
                         "; restoring the previous vocabulary failed too: " + os_error_text(restore_err) +
                             (had_vocab ? " (it is kept as " + names.vocab_backup + ")" : ""));
      }
      backup_kept = false;
      finalize_failure(names.matrix, err);
    }
    matrix_tmp_created = false;
    sync_directory(pair_directory(names.matrix), names.matrix);
    if (backup_kept) ::unlink(names.vocab_backup.c_str());
  } catch (...) {
    // A failed save takes its own temporary files with it; the final names are as they were.
    if (vocab_tmp_created) ::unlink(names.vocab_tmp.c_str());
    if (matrix_tmp_created) ::unlink(names.matrix_tmp.c_str());
    if (backup_kept) ::unlink(names.vocab_backup.c_str());
    throw;
  }
}

}  // namespace tarnivel
