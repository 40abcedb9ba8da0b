#pragma once
// Checkpoints: the vocabulary and matrix pair that save() writes, plus `prefix.output.npy` (the output
// weights) and `prefix.ckpt` (every setting, the counts, the Huffman tree and a checksum of every
// part), so that a loaded checkpoint continues training exactly where the saved model stood.
// Failures throw ValueError naming the file and the problem.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "model/model.hpp"

namespace tarnivel {

struct CheckpointNames {
  std::string output;
  std::string output_tmp;
  std::string state;
  std::string state_tmp;
  explicit CheckpointNames(const std::string& prefix);
};

// What `prefix.ckpt` holds: the model without its words and matrices, the shapes of those, and
// checksums of the words and of both matrices' values.
struct CheckpointState {
  Model model;  // params, counts, counts_known and tree; no words, no matrices
  uint64_t words = 0;
  uint64_t output_rows = 0;
  uint64_t words_hash = 0;
  uint64_t input_hash = 0;
  uint64_t output_hash = 0;
};

// Checksums of a word list and of float values (SipHash-1-3 of their bytes, lengths included).
uint64_t words_checksum(const std::vector<std::string>& words);
uint64_t floats_checksum(std::span<const float> values);

// The bytes of `prefix.ckpt` for `model`.
std::string encode_checkpoint_state(const Model& model);

// Decodes and checks the bytes of a `prefix.ckpt` file (magic, version, checksum, settings, tree):
// ValueError naming the problem (the caller names the file).
CheckpointState read_checkpoint_state(std::span<const uint8_t> bytes);

// The model of a checkpoint from its state, words and matrices, each checked against the state's
// shapes and checksums: ValueError naming the part that does not match.
Model restore_checkpoint(CheckpointState&& state, const CheckpointNames& names, const std::string& vocab_name,
                         const std::string& matrix_name, std::vector<std::string>&& words,
                         std::vector<float>&& input, std::vector<float>&& output);

// Writes the whole checkpoint: the checkpoint's own files under temporary names (synced), then the
// pair with save_pair_files (vocabulary `vocab_json`, the model's input rows), then the output
// weights and last the state into place, and syncs the directory. A failure before the pair is in
// place leaves the previous checkpoint as it was; one after leaves a state that no longer matches its
// parts, which loading reports. The caller holds the exclusive DirLock of the prefix.
void save_checkpoint_files(const std::string& prefix, std::string_view vocab_json, const Model& model);

// Runs `read` and names `name` in front of its ValueError, so every failed load says which file.
template <class F>
auto in_file(const std::string& name, F&& read) {
  try {
    return read();
  } catch (const ValueError& e) {
    throw ValueError(name + ": " + e.what());
  }
}

// The values of a checkpoint matrix file that must be rows x cols: ValueError "{name}: ..." for any
// other shape and the read errors of read_matrix_values.
std::vector<float> read_checkpoint_matrix(const std::string& name, uint64_t rows, uint64_t cols);

}  // namespace tarnivel
