#include "io/checkpoint.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/error.hpp"
#include "common/fd.hpp"
#include "common/os_error.hpp"
#include "io/npy.hpp"
#include "io/pair_file.hpp"
#include "rng/chacha.hpp"

namespace tarnivel {
namespace {

constexpr char kMagic[8] = {'T', 'N', 'V', 'C', 'K', 'P', 'T', '\n'};
constexpr uint32_t kVersion = 1;

// Little-endian fields appended to a byte string.
class Writer {
 public:
  void u8(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
  void raw(std::string_view s) { bytes_.append(s); }
  std::string& bytes() { return bytes_; }

 private:
  std::string bytes_;
};

// The same fields read back; running past the end is "truncated".
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint8_t u8() {
    need(1);
    return bytes_[at_++];
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{u8()} << (8 * i);
    return v;
  }
  uint64_t u64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{u8()} << (8 * i);
    return v;
  }
  double f64() { return std::bit_cast<double>(u64()); }
  bool flag() {
    const uint8_t v = u8();
    if (v > 1) fail("a flag is neither 0 nor 1");
    return v == 1;
  }
  // A count of items of `item_bytes` each that the rest of the file can hold (so a damaged count
  // cannot ask for a huge allocation).
  uint64_t count(uint64_t item_bytes) {
    const uint64_t n = u64();
    if (item_bytes != 0 && n > (bytes_.size() - at_) / item_bytes) fail("truncated");
    return n;
  }
  std::size_t left() const { return bytes_.size() - at_; }
  [[noreturn]] void fail(const std::string& problem) const { throw ValueError(problem); }

 private:
  void need(std::size_t n) {
    if (bytes_.size() - at_ < n) fail("truncated");
  }
  std::span<const uint8_t> bytes_;
  std::size_t at_ = 0;
};

// Rows of the output matrix: V, or 2V - 1 once a Huffman tree exists. Zero-width rows hold no values,
// so the count comes from the tree then.
uint64_t output_rows_of(const Model& model) {
  const uint64_t dim = model.params.vector_size;
  if (dim != 0) return model.output_vectors.size() / dim;
  const uint64_t v = model.vocab.size();
  return model.tree.empty() || v == 0 ? v : 2 * v - 1;
}

uint64_t checksum(std::string_view bytes) {
  return siphash13(0, 0, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Makes the renames into the directory of `name` durable; a directory that cannot be opened or
// synced is left as it is (the files themselves are synced), as the pair's save does.
void sync_directory_of(const std::string& name) {
  const int raw = ::open(pair_directory(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) return;
  Fd fd(raw);
  while (::fsync(fd.get()) != 0 && errno == EINTR) {
  }
}

}  // namespace

CheckpointNames::CheckpointNames(const std::string& prefix)
    : output(prefix + ".output.npy"),
      output_tmp(prefix + ".output.npy" + ".tmp"),
      state(prefix + ".ckpt"),
      state_tmp(prefix + ".ckpt" + ".tmp") {}

uint64_t words_checksum(const std::vector<std::string>& words) {
  Writer w;
  for (const std::string& word : words) {
    w.u64(word.size());
    w.raw(word);
  }
  return checksum(w.bytes());
}

uint64_t floats_checksum(std::span<const float> values) {
  if constexpr (std::endian::native == std::endian::little) {
    return checksum(std::string_view(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float)));
  } else {
    Writer w;
    for (const float v : values) w.u32(std::bit_cast<uint32_t>(v));
    return checksum(w.bytes());
  }
}

std::string encode_checkpoint_state(const Model& model) {
  const ModelParams& p = model.params;
  const uint64_t dim = p.vector_size;
  const uint64_t words = model.vocab.size();
  Writer w;
  w.raw(std::string_view(kMagic, sizeof kMagic));
  w.u32(kVersion);
  w.u64(dim);
  w.u64(p.window);
  w.u64(p.min_count);
  w.u8(p.max_final_vocab.has_value());
  w.u64(p.max_final_vocab.value_or(0));
  w.u64(p.workers);
  w.u64(p.negative);
  w.u8(p.sg);
  w.u8(p.hs);
  w.u8(p.cbow_mean);
  w.u64(p.levels.size());
  for (const uint64_t level : p.levels) w.u64(level);
  w.u32(std::bit_cast<uint32_t>(p.alpha));
  w.u32(std::bit_cast<uint32_t>(p.min_alpha));
  w.u64(p.epochs);
  w.u8(p.verbose);
  w.f64(p.progress_interval);
  w.f64(p.sample);
  w.u8(model.counts_known);
  w.u64(model.vocab.counts.size());
  for (const uint64_t c : model.vocab.counts) w.u64(c);
  w.u64(words);
  const uint64_t output_rows = output_rows_of(model);
  w.u64(output_rows);
  w.u64(words_checksum(model.vocab.index_to_key));
  w.u64(floats_checksum(std::span<const float>(model.input_vectors.data(), words * dim)));
  w.u64(floats_checksum(std::span<const float>(model.output_vectors.data(), output_rows * dim)));
  // The tree as built (it is not rebuilt from later counts): per word its code bits and path.
  w.u64(model.tree.codes.size());
  for (std::size_t i = 0; i < model.tree.codes.size(); ++i) {
    const std::vector<uint8_t>& code = model.tree.codes[i];
    w.u64(code.size());
    for (const uint8_t bit : code) w.u8(bit);
    for (const uint64_t node : model.tree.path_nodes[i]) w.u64(node);
  }
  w.u64(checksum(w.bytes()));
  return std::move(w.bytes());
}

CheckpointState read_checkpoint_state(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    r.fail("not a tarnivel checkpoint state file");
  }
  if (bytes.size() < sizeof kMagic + 4 + 8) r.fail("truncated");
  uint64_t stored = 0;
  for (int i = 0; i < 8; ++i) stored |= uint64_t{bytes[bytes.size() - 8 + i]} << (8 * i);
  if (stored != checksum(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size() - 8))) {
    r.fail("damaged (checksum mismatch)");
  }
  Reader body(bytes.subspan(sizeof kMagic, bytes.size() - sizeof kMagic - 8));
  if (const uint32_t version = body.u32(); version != kVersion) {
    body.fail("unsupported checkpoint version " + std::to_string(version));
  }
  CheckpointState st;
  Model& model = st.model;
  ModelParams& p = model.params;
  p.vector_size = body.u64();
  p.window = body.u64();
  p.min_count = body.u64();
  const bool has_max = body.flag();
  const uint64_t max_vocab = body.u64();
  p.max_final_vocab = has_max ? std::optional<uint64_t>(max_vocab) : std::nullopt;
  p.workers = body.u64();
  p.negative = body.u64();
  p.sg = body.flag();
  p.hs = body.flag();
  p.cbow_mean = body.flag();
  p.levels.resize(body.count(8));
  for (uint64_t& level : p.levels) level = body.u64();
  p.alpha = std::bit_cast<float>(body.u32());
  p.min_alpha = std::bit_cast<float>(body.u32());
  p.epochs = body.u64();
  p.verbose = body.flag();
  p.progress_interval = body.f64();
  p.sample = body.f64();
  if (!std::isfinite(p.sample) || p.sample < 0.0) body.fail("sample is not a finite number >= 0");
  if (p.levels.empty()) body.fail("no levels");
  for (const uint64_t level : p.levels) {
    // Normalised levels lie in 1..vector_size, except vector_size 0 whose default levels are [1].
    if (level == 0 || (level > p.vector_size && !(p.vector_size == 0 && p.levels.size() == 1))) {
      body.fail("level " + std::to_string(level) + " does not fit vector_size " + std::to_string(p.vector_size));
    }
  }
  model.counts_known = body.flag();
  model.vocab.counts.resize(body.count(8));
  for (uint64_t& c : model.vocab.counts) c = body.u64();
  st.words = body.u64();
  st.output_rows = body.u64();
  st.words_hash = body.u64();
  st.input_hash = body.u64();
  st.output_hash = body.u64();
  const uint64_t v = st.words;
  if (model.vocab.counts.size() > v) body.fail("more counts than words");
  const uint64_t leaves = body.u64();
  if (leaves != 0 && leaves != v) body.fail("the Huffman tree does not cover the vocabulary");
  model.tree.codes.resize(leaves);
  model.tree.path_nodes.resize(leaves);
  for (uint64_t i = 0; i < leaves; ++i) {
    const uint64_t length = body.count(9);
    auto& code = model.tree.codes[i];
    auto& path = model.tree.path_nodes[i];
    code.resize(length);
    path.resize(length);
    for (uint8_t& bit : code) bit = body.flag() ? 1 : 0;
    for (uint64_t& node : path) {
      node = body.u64();
      if (node < v || node >= 2 * v - 1) body.fail("a Huffman path leaves the tree");
    }
  }
  if (body.left() != 0) body.fail("unexpected bytes after the Huffman tree");
  const uint64_t expected_rows = leaves == 0 ? v : 2 * v - 1;
  if (st.output_rows != expected_rows) {
    body.fail(std::to_string(st.output_rows) + " output rows for " + std::to_string(v) + " words");
  }
  return st;
}

Model restore_checkpoint(CheckpointState&& st, const CheckpointNames& names, const std::string& vocab_name,
                         const std::string& matrix_name, std::vector<std::string>&& words,
                         std::vector<float>&& input, std::vector<float>&& output) {
  const auto mismatch = [&](const std::string& name, const std::string& what) {
    throw ValueError(name + ": " + what + " do not match " + names.state +
                     " (a part was replaced or damaged after the checkpoint was saved)");
  };
  if (words.size() != st.words || words_checksum(words) != st.words_hash) mismatch(vocab_name, "the words");
  if (floats_checksum(input) != st.input_hash) mismatch(matrix_name, "the input vectors");
  if (floats_checksum(output) != st.output_hash) mismatch(names.output, "the output weights");
  Model model = std::move(st.model);
  model.vocab.index_to_key = std::move(words);
  for (std::size_t i = 0; i < model.vocab.index_to_key.size(); ++i) {
    model.vocab.key_to_index[model.vocab.index_to_key[i]] = i;
  }
  model.input_vectors = std::move(input);
  model.output_vectors = std::move(output);
  return model;
}

void save_checkpoint_files(const std::string& prefix, std::string_view vocab_json, const Model& model) {
  const CheckpointNames names(prefix);
  const uint64_t dim = model.params.vector_size;
  const uint64_t words = model.vocab.size();
  const uint64_t output_rows = output_rows_of(model);
  TARNIVEL_CHECK(model.input_vectors.size() >= words * dim, "input matrix smaller than the vocabulary");
  bool output_tmp = false;
  bool state_tmp = false;
  const auto rename_into_place = [](const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) throw ValueError("failed to finalize " + to + ": " + os_error_text(errno));
  };
  try {
    write_matrix_temp(names.output_tmp, names.output, output_rows, dim,
                      std::span<const float>(model.output_vectors.data(), output_rows * dim), output_tmp);
    write_file_synced(names.state_tmp, names.state, encode_checkpoint_state(model), state_tmp);
    const PairNames pair(prefix);
    save_pair_files(pair, vocab_json, [&](const std::string& tmp, bool& created) {
      write_matrix_temp(tmp, pair.matrix, words, dim, std::span<const float>(model.input_vectors.data(), words * dim),
                        created);
    });
    rename_into_place(names.output_tmp, names.output);
    output_tmp = false;
    rename_into_place(names.state_tmp, names.state);
    state_tmp = false;
    sync_directory_of(names.state);
  } catch (...) {
    if (output_tmp) ::unlink(names.output_tmp.c_str());
    if (state_tmp) ::unlink(names.state_tmp.c_str());
    throw;
  }
}

std::vector<float> read_checkpoint_matrix(const std::string& name, uint64_t rows, uint64_t cols) {
  return in_file(name, [&] {
    const auto [r, c] = read_header(name);
    if (r != rows || c != cols) {
      throw ValueError("shape (" + std::to_string(r) + ", " + std::to_string(c) + ") where the checkpoint has (" +
                       std::to_string(rows) + ", " + std::to_string(cols) + ")");
    }
    return read_matrix_values(name, r, c);
  });
}

}  // namespace tarnivel
