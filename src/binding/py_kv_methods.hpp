#pragma once
// KeyedVectors methods beyond the store's own queries and files: membership, similarity and batched
// vector queries, analogies, word2vec-format files and evaluation. Registered in the type's tables by
// py_keyed_vectors.cpp.
#include "binding/py_common.hpp"

namespace tarnivel::py {

// Slots: `word in kv` and `len(kv)`.
int kv_contains(PyObject* self, PyObject* key);
Py_ssize_t kv_length(PyObject* self);

// Property: a new dict word -> index on every access.
PyObject* kv_get_key_to_index(PyObject* self, void*);

PyObject* kv_most_similar(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_get_index(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_similarity(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_similar_by_vector(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_analogy(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_similar_by_words(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_doesnt_match(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_n_similarity(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_from_array(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* kv_nearest_rows(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_save_word2vec_format(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_load_word2vec_format(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* kv_evaluate_word_pairs(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* kv_evaluate_word_analogies(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tarnivel::py
