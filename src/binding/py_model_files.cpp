// Word2Vec's files: save and load (the model's words and input vectors as a vocabulary file beside an
// NPY matrix file), the checkpoints (that pair plus the output weights and the state that training
// needs to continue exactly, io/checkpoint.hpp), and the subsampling setting that checkpoints keep.
#include <cmath>
#include <cstdio>
#include <span>

#include "io/checkpoint.hpp"
#include "io/npy.hpp"
#include "model/vocab.hpp"
#include "binding/py_args.hpp"
#include "binding/py_vocab_file.hpp"
#include "binding/py_word2vec.hpp"

namespace tarnivel::py {
namespace {

Word2VecObject* as_w2v(PyObject* self) { return reinterpret_cast<Word2VecObject*>(self); }

Model load_model(const std::string& path) {
  const PairNames names(path);
  const DirLock lock = lock_pair(path, DirLock::Mode::shared);
  std::vector<std::string> words = read_vocab(names.vocab);
  const auto [rows, cols] = read_header(names.matrix);
  check_pair_rows(rows, words.size());
  std::vector<float> input = read_matrix_values(names.matrix, rows, cols);
  return model_from_words(std::move(words), cols, std::move(input));
}

Model load_checkpoint_model(const std::string& prefix) {
  const PairNames pair(prefix);
  const CheckpointNames names(prefix);
  const DirLock lock = lock_pair(prefix, DirLock::Mode::shared);
  CheckpointState state = in_file(names.state, [&] { return read_checkpoint_state(read_whole_file(names.state)); });
  const uint64_t dim = state.model.params.vector_size;
  std::vector<std::string> words = in_file(pair.vocab, [&] { return read_vocab(pair.vocab); });
  if (words.size() != state.words) {
    throw ValueError(pair.vocab + ": " + std::to_string(words.size()) + " words where " + names.state + " has " +
                     std::to_string(state.words));
  }
  std::vector<float> input = read_checkpoint_matrix(pair.matrix, state.words, dim);
  std::vector<float> output = read_checkpoint_matrix(names.output, state.output_rows, dim);
  return restore_checkpoint(std::move(state), names, pair.vocab, pair.matrix, std::move(words), std::move(input),
                            std::move(output));
}

// Word2Vec.load and load_checkpoint: the model `load` reads from the one path argument, as a `cls`.
PyObject* load_as(PyObject* cls, PyObject* args, PyObject* kwargs, const char* function, const char* name,
                  Model (*load)(const std::string&)) {
  return with_args(function, args, kwargs, {name}, 1, [&](PyObject** a) -> PyObject* {
    Model model = load(to_path(a[0], name));
    return new_word2vec(reinterpret_cast<PyTypeObject*>(cls), std::move(model)).release();
  });
}

}  // namespace

PyObject* w2v_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_args("save", args, kwargs, {"path"}, 1, [&](PyObject** a) -> PyObject* {
    const std::string path = to_path(a[0], "path");
    SharedBorrow borrow(as_w2v(self)->borrow);
    const Model& model = *as_w2v(self)->model;
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
  return load_as(cls, args, kwargs, "load", "path", load_model);
}

PyObject* w2v_load_checkpoint(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return load_as(cls, args, kwargs, "load_checkpoint", "prefix", load_checkpoint_model);
}

PyObject* w2v_get_sample(PyObject* self, void*) {
  return reading(as_w2v(self)->borrow, [&] { return check(PyFloat_FromDouble(as_w2v(self)->model->params.sample)); });
}

int w2v_set_sample(PyObject* self, PyObject* value, void*) {
  return guarded<int>(-1, [&]() -> int {
    if (value == nullptr) raise(PyExc_AttributeError, "sample cannot be deleted");
    const double sample = to_f64(value, "sample");
    if (!std::isfinite(sample) || sample < 0.0) {
      char text[32];
      std::snprintf(text, sizeof text, "%g", sample);
      throw ValueError(std::string("sample must be a finite number >= 0 (0 keeps every word), not ") + text);
    }
    ExclusiveBorrow borrow(as_w2v(self)->borrow);
    as_w2v(self)->model->params.sample = sample;
    return 0;
  });
}

PyObject* w2v_save_checkpoint(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_args("save_checkpoint", args, kwargs, {"prefix"}, 1, [&](PyObject** a) -> PyObject* {
    const std::string prefix = to_path(a[0], "prefix");
    SharedBorrow borrow(as_w2v(self)->borrow);
    const Model& model = *as_w2v(self)->model;
    check_save_prefix(prefix);
    const std::string json = encode_vocab(model.vocab.index_to_key);
    const DirLock lock = lock_pair(prefix, DirLock::Mode::exclusive);
    save_checkpoint_files(prefix, json, model);
    Py_RETURN_NONE;
  });
}

}  // namespace tarnivel::py
