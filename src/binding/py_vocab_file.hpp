#pragma once
// The file pair shared by Word2Vec and KeyedVectors: `path.vocab.json` (a compact JSON array of the
// words, in index order) beside `path.npy`. Names, locking and the save sequence are the core's
// (io/pair_file.hpp); this layer reads and encodes the vocabulary with Python's json module.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "io/pair_file.hpp"
#include "io/whole_file.hpp"
#include "binding/py_common.hpp"

namespace tarnivel::py {

// Reads and parses a vocabulary file into its words, in file order.
// ValueError "failed to read {name}: {error}" (also for bytes that are not UTF-8) or
// "failed to parse vocab json: {description} at line {line} column {column}".
std::vector<std::string> read_vocab(const std::string& name);

// The words as compact JSON text in UTF-8: ValueError "failed to encode vocab: {error}".
std::string encode_vocab(const std::vector<std::string>& words);

// Takes the pair's directory lock (see DirLock), with the interpreter lock released while waiting.
DirLock lock_pair(const std::string& path, DirLock::Mode mode);

// Saves a pair: refuses a prefix without a file name, encodes the words, takes the exclusive lock of
// the pair's directory and replaces both files or neither (save_pair_files).
void save_pair(const std::string& path, const std::vector<std::string>& words, const MatrixWriter& write_matrix);

}  // namespace tarnivel::py
