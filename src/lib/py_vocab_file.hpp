#pragma once
// The file pair shared by Word2Vec and KeyedVectors: `path.vocab.json` (a compact JSON array of the
// words, in index order) beside `path.npy`, their temporary names, and the save sequence that writes
// both under temporary names and renames them into place.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lib/py_common.hpp"

namespace tarnivel::py {

struct PairNames {
  std::string vocab;
  std::string matrix;
  std::string vocab_tmp;
  std::string matrix_tmp;
  explicit PairNames(const std::string& path);
};

// The whole content of a file: ValueError "failed to read {name}: {error}".
std::vector<uint8_t> read_whole_file(const std::string& name);

// Reads and parses a vocabulary file into its words, in file order.
// ValueError "failed to read {name}: {error}" (also for bytes that are not UTF-8) or
// "failed to parse vocab json: {description} at line {line} column {column}".
std::vector<std::string> read_vocab(const std::string& name);

// The words as compact JSON text in UTF-8: ValueError "failed to encode vocab: {error}".
std::string encode_vocab(const std::vector<std::string>& words);

// Writes the temporary matrix file. It sets `created` once the file at `tmp_name` belongs to this save
// (from then on a failure removes it).
using MatrixWriter = std::function<void(const std::string& tmp_name, bool& created)>;

// Saves a pair: encodes and writes the vocabulary to its temporary name (flushed to disk), lets
// `write_matrix` write the temporary matrix (which must flush it to disk too), renames the vocabulary
// and then the matrix into place, and syncs the directory so the renames survive a crash. Any
// failure removes the temporary files this save created and leaves the final names as they were
// (except that a failed matrix rename leaves the new vocabulary beside the old matrix).
void save_pair(const std::string& path, const std::vector<std::string>& words, const MatrixWriter& write_matrix);

// Creates (or truncates) `name` for writing, 0o666 before the umask, and closes it:
// ValueError "failed to create {name}: {error}".
void create_empty(const std::string& name);

// Copies `from` byte for byte to `to` with the permission bits of `from` and flushes it to disk:
// ValueError "failed to copy npy: {error}". Sets `created` once `to` belongs to the copy.
void copy_matrix_file(const std::string& from, const std::string& to, bool& created);

}  // namespace tarnivel::py
