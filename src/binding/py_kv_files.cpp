// KeyedVectors.save and KeyedVectors.load: the store as a vocabulary file beside an NPY matrix file,
// loaded into memory or left in the file behind a NumPy memory map.
#include <cstring>

#include "common/fd.hpp"
#include "io/npy.hpp"
#include "kv/store_rows.hpp"
#include "model/vocab.hpp"
#include "binding/py_keyed_vectors.hpp"
#include "binding/py_args.hpp"
#include "binding/py_array.hpp"
#include "binding/py_vocab_file.hpp"

namespace tarnivel::py {
namespace {

// numpy.load(name, **kwargs). NumPy's header parser can let tokenize.TokenError out for a damaged
// header; that is a damaged file like any other, so it becomes ValueError "failed to read {name}:
// damaged npy header ({NumPy's message})", with NumPy's exception kept as its cause.
Ref load_with_numpy(const std::string& name, PyObject* kwargs) {
  Ref args = Ref::checked(Py_BuildValue("(s)", name.c_str()));
  Ref result(PyObject_Call(numpy_load(), args.get(), kwargs));
  if (result) return result;
  Fetched err = fetch_error();
  bool token_error = false;
  if (Ref tokenize{PyImport_ImportModule("tokenize")}) {
    if (Ref kind{PyObject_GetAttrString(tokenize.get(), "TokenError")}) {
      token_error = PyErr_GivenExceptionMatches(err.type.get(), kind.get()) != 0;
    }
  }
  PyErr_Clear();
  if (!token_error) {
    PyErr_Restore(err.type.release(), err.value.release(), err.traceback.release());
    throw PyErrorSet{};
  }
  Ref& cause = err.value;
  if (err.traceback) PyException_SetTraceback(cause.get(), err.traceback.get());
  const std::string detail = text_of(cause.get());
  Ref error = Ref::checked(PyObject_CallFunction(
      PyExc_ValueError, "s", ("failed to read " + name + ": damaged npy header (" + detail + ")").c_str()));
  Py_INCREF(cause.get());
  PyException_SetContext(error.get(), cause.get());  // steals one reference
  PyException_SetCause(error.get(), cause.release());  // steals the other
  PyErr_SetObject(PyExc_ValueError, error.get());
  throw PyErrorSet{};
}

// Owned mode: NumPy reads the matrix, and every row is copied out through `array[i]`.
void load_rows(KvStore& store, const std::string& matrix_name, uint64_t cols) {
  Ref array = load_with_numpy(matrix_name, nullptr);
  const ArrayView whole = require_float32(array.get(), 2);
  if (whole.shape[1] != cols) throw ValueError("npy shape mismatch: inconsistent cols");
  const std::size_t n = store.index_to_key.size();
  check_pair_rows(whole.shape[0], n);
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

// Mapped mode. The matrix file is opened before NumPy maps it and the descriptor stays with the store:
// a later save copies the file the store maps, not whatever the name holds by then. The header is
// checked here, as Word2Vec.load checks it, so a matrix that is not little-endian float32 in C order
// fails now and not at the first query; the map NumPy returns must be that matrix.
void map_rows(KvStore& store, const std::string& matrix_name, const NpyHeader& header) {
  check_matrix_layout(header.text);
  Fd fd(open_for_reading(matrix_name));
  Ref kwargs = Ref::checked(Py_BuildValue("{s:s}", "mmap_mode", "r"));
  Ref memmap = load_with_numpy(matrix_name, kwargs.get());
  const ArrayView view = require_float32(memmap.get(), 2);
  if (view.shape[0] != header.rows || view.shape[1] != header.cols) {
    throw ValueError("npy shape mismatch: the mapped matrix is " + std::to_string(view.shape[0]) + " x " +
                     std::to_string(view.shape[1]) + ", its header says " + std::to_string(header.rows) + " x " +
                     std::to_string(header.cols));
  }
  // The file must still be the one NumPy mapped (tarnivel's own saves are kept out by the pair's
  // lock; another program may still replace it).
  uint64_t needed = check_same_file(fd.get(), matrix_name);
  // The map covers the data from NumPy's offset on; without that attribute the file's length at
  // load time is the bound.
  if (Ref offset{PyObject_GetAttrString(memmap.get(), "offset")}) {
    const unsigned long long at = PyLong_AsUnsignedLongLong(offset.get());
    if (!(at == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      needed = at + header.rows * header.cols * sizeof(float);
    }
  }
  PyErr_Clear();
  store.npy_bytes = needed;
  store.memmap = memmap.release();
  store.mapped = true;
  store.npy_path = matrix_name;
  store.npy_fd = fd.release();
}

KvStore load_store(const std::string& path, bool mapped) {
  const PairNames names(path);
  const DirLock lock = lock_pair(path, DirLock::Mode::shared);
  KvStore store;
  store.index_to_key = read_vocab(names.vocab);
  store.key_to_index = index_words(store.index_to_key);
  const NpyHeader header = read_npy_header(names.matrix);
  check_pair_rows(header.rows, store.index_to_key.size());
  store.vector_size = header.cols;
  if (mapped) {
    map_rows(store, names.matrix, header);
  } else {
    load_rows(store, names.matrix, header.cols);
  }
  return store;
}

void save_store(const KvStore& store, const std::string& path) {
  if (store.mapped) {
    if (store.npy_fd < 0) throw ValueError("no vectors to save");
    // The file the store maps is copied through the descriptor kept since loading, so the copy
    // holds the mapped data even when the name now belongs to another file; the map itself is not read.
    save_pair(path, store.index_to_key, [&](const std::string& tmp, bool& created) {
      copy_file_from_fd(store.npy_fd, tmp, created);
    });
    return;
  }
  // Owned stores list their words in index_to_key (which has an entry for every vector), so that list
  // is always the one written.
  save_pair(path, store.index_to_key, [&](const std::string& tmp, bool& created) {
    const std::vector<float> flat =
        resolved_matrix(store.index_to_key, store.key_to_index, store.rows, store.vector_size);
    write_matrix_temp(tmp, PairNames(path).matrix, store.index_to_key.size(), store.vector_size, flat, created);
  });
}

}  // namespace

PyObject* kv_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_args("save", args, kwargs, {"path"}, 1, [&](PyObject** a) -> PyObject* {
    const std::string path = to_path(a[0], "path");
    auto* kv = reinterpret_cast<KeyedVectorsObject*>(self);
    SharedBorrow borrow(kv->borrow);
    save_store(*kv->store, path);
    Py_RETURN_NONE;
  });
}

PyObject* kv_load(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_args("load", args, kwargs, {"path", "mmap"}, 1, [&](PyObject** a) -> PyObject* {
    const std::string path = to_path(a[0], "path");
    // Only "r" maps the file (always read-only); every other mode loads the vectors into memory.
    const bool mapped = !absent(a[1]) && to_text(a[1], "mmap") == "r";
    return new_keyed_vectors(load_store(path, mapped)).release();
  });
}

}  // namespace tarnivel::py
