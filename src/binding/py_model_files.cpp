// Word2Vec.save and Word2Vec.load: the model's words and input vectors as a vocabulary file beside an
// NPY matrix file.
#include <bit>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "io/npy.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_vocab_file.hpp"
#include "binding/py_word2vec.hpp"

namespace tarnivel::py {
namespace {

constexpr std::size_t kNpyPrefixBytes = 10;  // magic, version, header length

// The model a pair of files describes: its words and input vectors, output weights zero, counts and
// output structures empty, and the fixed parameters of a loaded model.
Model loaded_model(std::vector<std::string>&& words, uint64_t cols, std::vector<float>&& input) {
  Model model;
  ModelParams& p = model.params;
  p.vector_size = cols;
  p.levels = default_levels(cols);
  p.max_final_vocab = std::nullopt;
  p.window = 5;
  p.min_count = 1;
  p.workers = 1;
  p.negative = 5;
  p.epochs = 5;
  p.progress_interval = 1.0;
  p.alpha = 0.025f;
  p.min_alpha = 0.0001f;
  p.sg = true;
  p.hs = false;
  p.cbow_mean = true;
  p.verbose = true;
  model.vocab.index_to_key = std::move(words);
  for (std::size_t i = 0; i < model.vocab.index_to_key.size(); ++i) {
    model.vocab.key_to_index[model.vocab.index_to_key[i]] = i;  // a later duplicate wins
  }
  model.output_vectors.assign(input.size(), 0.0f);
  model.input_vectors = std::move(input);
  return model;
}

}  // namespace

std::vector<float> read_matrix_values(const std::string& name, uint64_t rows, uint64_t cols) {
  const std::vector<uint8_t> bytes = read_whole_file(name);
  const std::size_t offset = data_offset(bytes);
  check_matrix_layout(std::string_view(reinterpret_cast<const char*>(bytes.data()) + kNpyPrefixBytes,
                                       offset - kNpyPrefixBytes));
  uint64_t elements = 0;
  uint64_t data_bytes = 0;
  if (__builtin_mul_overflow(rows, cols, &elements) || __builtin_mul_overflow(elements, uint64_t{4}, &data_bytes) ||
      bytes.size() - offset != data_bytes) {
    throw ValueError("npy size mismatch");
  }
  std::vector<float> values(static_cast<std::size_t>(elements));
  const uint8_t* data = bytes.data() + offset;
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(values.data(), data, static_cast<std::size_t>(data_bytes));
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const uint8_t* b = data + 4 * i;
      const uint32_t bits = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
      values[i] = std::bit_cast<float>(bits);
    }
  }
  return values;
}

namespace {

Model load_model(const std::string& path) {
  const PairNames names(path);
  const DirLock lock = lock_pair(path, DirLock::Mode::shared);
  std::vector<std::string> words = read_vocab(names.vocab);
  const auto [rows, cols] = read_header(names.matrix);
  if (rows != words.size()) {
    throw ValueError("npy shape mismatch: rows=" + std::to_string(rows) + " != vocab=" + std::to_string(words.size()));
  }
  std::vector<float> input = read_matrix_values(names.matrix, rows, cols);
  return loaded_model(std::move(words), cols, std::move(input));
}

}  // namespace

PyObject* w2v_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    parse_args("save", args, kwargs, {"path"}, 1, a);
    const std::string path = to_path(a[0], "path");
    auto* obj = reinterpret_cast<Word2VecObject*>(self);
    SharedBorrow borrow(obj->borrow);
    const Model& model = *obj->model;
    const std::vector<std::string>& words = model.vocab.index_to_key;
    const uint64_t cols = model.params.vector_size;
    const std::size_t n = words.size() * cols;
    TARNIVEL_CHECK(model.input_vectors.size() >= n, "input matrix smaller than the vocabulary");
    // The input matrix holds exactly the words' rows in index order, so its first rows * cols values
    // are written straight from the model instead of through a copy.
    const std::span<const float> input(model.input_vectors.data(), n);
    save_pair(path, words, [&](const std::string& tmp, bool& created) {
      write_matrix_temp(tmp, PairNames(path).matrix, words.size(), cols, input, created);
    });
    Py_RETURN_NONE;
  });
}

PyObject* w2v_load(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    parse_args("load", args, kwargs, {"path"}, 1, a);
    const std::string path = to_path(a[0], "path");
    Model model = load_model(path);
    return new_word2vec(reinterpret_cast<PyTypeObject*>(cls), std::move(model)).release();
  });
}

}  // namespace tarnivel::py
