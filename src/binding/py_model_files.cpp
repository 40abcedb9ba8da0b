// Word2Vec.save and Word2Vec.load: the model's words and input vectors as a vocabulary file beside an
// NPY matrix file.
#include <span>

#include "io/npy.hpp"
#include "model/vocab.hpp"
#include "binding/py_args.hpp"
#include "binding/py_vocab_file.hpp"
#include "binding/py_word2vec.hpp"

namespace tarnivel::py {
namespace {

Model load_model(const std::string& path) {
  const PairNames names(path);
  const DirLock lock = lock_pair(path, DirLock::Mode::shared);
  std::vector<std::string> words = read_vocab(names.vocab);
  const auto [rows, cols] = read_header(names.matrix);
  check_pair_rows(rows, words.size());
  std::vector<float> input = read_matrix_values(names.matrix, rows, cols);
  return model_from_words(std::move(words), cols, std::move(input));
}

}  // namespace

PyObject* w2v_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_args("save", args, kwargs, {"path"}, 1, [&](PyObject** a) -> PyObject* {
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
  return with_args("load", args, kwargs, {"path"}, 1, [&](PyObject** a) -> PyObject* {
    const std::string path = to_path(a[0], "path");
    Model model = load_model(path);
    return new_word2vec(reinterpret_cast<PyTypeObject*>(cls), std::move(model)).release();
  });
}

}  // namespace tarnivel::py
