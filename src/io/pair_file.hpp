#pragma once
// The POSIX side of the file pair `path.vocab.json` + `path.npy`: names, the advisory lock that keeps
// tarnivel's readers and writers of a directory apart, and the save sequence that replaces both files
// or neither. Failures throw ValueError with the messages users see.
#include <functional>
#include <string>
#include <string_view>

namespace tarnivel {

struct PairNames {
  std::string vocab;
  std::string matrix;
  std::string vocab_tmp;
  std::string matrix_tmp;
  // Where the previous vocabulary is kept (a hard link) until the new matrix is in place.
  std::string vocab_backup;
  explicit PairNames(const std::string& path);
};

// Refuses a save prefix without a file name ("" or one ending in '/'), which would write the hidden
// files ".vocab.json" and ".npy": ValueError.
void check_save_prefix(const std::string& path);

// An advisory lock (flock) on the directory that holds a pair's files: exclusive while a save
// replaces them, shared while a load reads them, so a load never sees one file of an old pair beside
// one of a new pair. The directory is locked rather than the files because a save replaces the
// files; no lock file is created. Decision: a directory that cannot be opened for reading (a
// write-and-search-only directory) or that refuses the lock (some network file systems) is used
// without the lock: saving and loading still work there, without the exclusion. Construction blocks
// while a conflicting lock is held; callers holding the interpreter lock release it around that.
class DirLock {
 public:
  enum class Mode { shared, exclusive };
  // Locks the directory of the files named by the prefix `path`.
  DirLock(const std::string& path, Mode mode);
  DirLock(DirLock&& other) noexcept;
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  DirLock& operator=(DirLock&&) = delete;
  ~DirLock();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The directory holding the files of prefix `path` ("." for a bare name).
std::string pair_directory(const std::string& path);

// Writes `bytes` to the new temporary file `name` of a save that replaces `replaces` (created as
// create_temp_file does) and syncs it: ValueError "failed to write {name}: {error}". Sets `created`
// once the file at `name` belongs to the caller.
void write_file_synced(const std::string& name, const std::string& replaces, std::string_view bytes, bool& created);

// Copies the whole file open at `src_fd` (from offset 0, whatever the descriptor's position) to `to`, a
// new file in place of whatever entry had that name, with the source's permission bits, and syncs it:
// ValueError "failed to copy npy: {error}". Sets `created` once `to` belongs to the copy.
void copy_file_from_fd(int src_fd, const std::string& to, bool& created);

// Writes the temporary matrix file as a new file (write_matrix_temp, copy_file_from_fd), which must be
// synced before it returns; sets `created` once the file at `tmp_name` belongs to this save.
using MatrixWriter = std::function<void(const std::string& tmp_name, bool& created)>;

// Replaces the pair: writes `vocab_json` to the temporary vocabulary name (synced), lets
// `write_matrix` write the temporary matrix, keeps the previous vocabulary reachable under
// `vocab_backup` (a hard link, or a copy where links are refused), renames the vocabulary and then
// the matrix into place, syncs the directory and drops the backup. A failure at any step leaves the
// previous pair under the final names (a failed matrix rename puts the previous vocabulary back, or
// removes the new one when there was none) and removes every temporary file of this save. The caller
// holds the exclusive DirLock of the pair.
void save_pair_files(const PairNames& names, std::string_view vocab_json, const MatrixWriter& write_matrix);

}  // namespace tarnivel
