#pragma once
// The KeyedVectors store (owned or memory-mapped) and its Python type.
#include <cstdint>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "binding/py_array.hpp"
#include "binding/py_common.hpp"

namespace tarnivel::py {

struct KvStore {
  std::vector<std::string> index_to_key;
  KeyIndexMap key_to_index;  // a word maps to its last position
  uint64_t vector_size = 0;
  // Owned mode: one row of vector_size floats per position of index_to_key, in index order. The
  // vector of a word is the row of its key_to_index entry (so a duplicated word resolves to its last
  // row, as a word-keyed map filled in file order would).
  std::vector<float> rows;
  // Mapped mode: the path of the mapped matrix file and the NumPy memory map (a strong reference).
  bool mapped = false;
  std::string npy_path;
  PyObject* memmap = nullptr;
  // The matrix file as it was opened at load time (read-only), for saves; closed with the store.
  int npy_fd = -1;
  // Mapped mode: the file length the matrix needs (its data offset plus its bytes). A file cut
  // shorter after loading would fault on the first read of a missing page (SIGBUS), so every read
  // of the map checks the length first.
  uint64_t npy_bytes = 0;

  KvStore() = default;
  KvStore(const KvStore&) = delete;
  KvStore& operator=(const KvStore&) = delete;
  KvStore(KvStore&& o) noexcept;
  KvStore& operator=(KvStore&&) = delete;
  ~KvStore();
};

struct KeyedVectorsObject {
  PyObject_HEAD
  KvStore* store;
  int borrow;
};

// Creates the KeyedVectors type for the module.
PyObject* create_keyed_vectors_type(PyObject* module);

// The memory map of a mapped store as a float32 matrix, after checking that the file still holds
// all of it (ValueError "failed to read {path}: ..." when it was truncated after loading).
ArrayView mapped_matrix(const KvStore& store);

// Wraps a store into a new KeyedVectors object.
Ref new_keyed_vectors(KvStore&& store);

// Effective level of a query: min(level, vector_size), absent = vector_size.
uint64_t effective_level(PyObject* level_arg, uint64_t vector_size, const char* name);

// Methods implemented with the query and file code.
PyObject* kv_save(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_load(PyObject* cls, PyObject* args, PyObject* kwargs);

}  // namespace tarnivel::py
