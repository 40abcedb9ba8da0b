// KeyedVectors.save and KeyedVectors.load: the store as a vocabulary file beside an NPY matrix file,
// loaded into memory or left in the file behind a NumPy memory map.
#include <cstring>

#include "io/npy.hpp"
#include "kv/py_keyed_vectors.hpp"
#include "lib/py_array.hpp"
#include "lib/py_convert.hpp"
#include "lib/py_vocab_file.hpp"

namespace tarnivel::py {
namespace {

[[noreturn]] void rows_mismatch(uint64_t rows, std::size_t words) {
  throw ValueError("npy shape mismatch: rows=" + std::to_string(rows) + " != vocab=" + std::to_string(words));
}

// Owned mode: NumPy reads the matrix, and every row is copied out through `array[i]`.
void load_rows(KvStore& store, const std::string& matrix_name, uint64_t cols) {
  Ref array = Ref::checked(PyObject_CallFunction(numpy_load(), "s", matrix_name.c_str()));
  const ArrayView whole = require_float32(array.get(), 2);
  if (whole.shape[1] != cols) throw ValueError("npy shape mismatch: inconsistent cols");
  const std::size_t n = store.index_to_key.size();
  if (whole.shape[0] != n) rows_mismatch(whole.shape[0], n);
  store.rows.resize(n * cols);
  for (std::size_t i = 0; i < n; ++i) {
    Ref index = Ref::checked(PyLong_FromSize_t(i));
    Ref row = Ref::checked(PyObject_GetItem(array.get(), index.get()));
    const ArrayView view = require_float32(row.get(), 1);
    // A row of a (n, cols) array has cols values; anything else is not the array that was checked.
    if (view.shape[0] != cols) throw ValueError("npy shape mismatch: inconsistent cols");
    if (cols != 0) std::memcpy(store.rows.data() + i * cols, view.data, cols * sizeof(float));
  }
}

KvStore load_store(const std::string& path, bool mapped) {
  const PairNames names(path);
  KvStore store;
  store.index_to_key = read_vocab(names.vocab);
  for (std::size_t i = 0; i < store.index_to_key.size(); ++i) {
    store.key_to_index[store.index_to_key[i]] = i;  // a later duplicate wins
  }
  const auto [rows, cols] = read_header(names.matrix);
  if (rows != store.index_to_key.size()) rows_mismatch(rows, store.index_to_key.size());
  store.vector_size = cols;
  if (mapped) {
    // The map's type and shape are checked where it is used (queries, vectors); the store keeps the
    // map, and with it the open file, for its whole life.
    Ref args = Ref::checked(Py_BuildValue("(s)", names.matrix.c_str()));
    Ref kwargs = Ref::checked(Py_BuildValue("{s:s}", "mmap_mode", "r"));
    store.memmap = check(PyObject_Call(numpy_load(), args.get(), kwargs.get()));
    store.mapped = true;
    store.npy_path = names.matrix;
  } else {
    load_rows(store, names.matrix, cols);
  }
  return store;
}

// Owned save: one buffer with the vector of every listed word, in list order.
std::vector<float> owned_matrix(const KvStore& store) {
  const std::size_t n = store.index_to_key.size();
  const std::size_t dim = store.vector_size;
  if (store.rows.size() != n * dim) throw ValueError("inconsistent vector size");
  std::vector<float> flat(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    auto found = store.key_to_index.find(std::string_view(store.index_to_key[i]));
    if (found == store.key_to_index.end()) throw ValueError("missing vector");
    // A duplicated word is saved with the vector it resolves to (that of its last position) at
    // each of its positions.
    if (dim != 0) std::memcpy(flat.data() + i * dim, store.rows.data() + found->second * dim, dim * sizeof(float));
  }
  return flat;
}

void save_store(const KvStore& store, const std::string& path) {
  if (store.mapped) {
    if (store.npy_path.empty()) throw ValueError("no vectors to save");
    // The mapped file is copied as it is on disk; the map itself is not read.
    save_pair(path, store.index_to_key, [&](const std::string& tmp, bool& created) {
      copy_matrix_file(store.npy_path, tmp, created);
    });
    return;
  }
  // Owned stores list their words in index_to_key (which has an entry for every vector), so that list
  // is always the one written.
  save_pair(path, store.index_to_key, [&](const std::string& tmp, bool& created) {
    const std::vector<float> flat = owned_matrix(store);
    create_empty(tmp);
    created = true;
    write_matrix(tmp, store.index_to_key.size(), store.vector_size, flat);
  });
}

}  // namespace

PyObject* kv_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    parse_args("save", args, kwargs, {"path"}, 1, a);
    const std::string path = to_path(a[0], "path");
    auto* kv = reinterpret_cast<KeyedVectorsObject*>(self);
    SharedBorrow borrow(kv->borrow);
    save_store(*kv->store, path);
    Py_RETURN_NONE;
  });
}

PyObject* kv_load(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    parse_args("load", args, kwargs, {"path", "mmap"}, 1, a);
    const std::string path = to_path(a[0], "path");
    // Only "r" maps the file (always read-only); every other mode loads the vectors into memory.
    const bool mapped = !absent(a[1]) && to_text(a[1], "mmap") == "r";
    return new_keyed_vectors(load_store(path, mapped)).release();
  });
}

}  // namespace tarnivel::py
