#include "binding/py_keyed_vectors.hpp"
#include "binding/py_kv_methods.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "binding/py_array.hpp"
#include "binding/py_args.hpp"
#include "kv/store_rows.hpp"
#include "io/whole_file.hpp"

namespace tarnivel::py {

KvStore::KvStore(KvStore&& o) noexcept
    : index_to_key(std::move(o.index_to_key)),
      key_to_index(std::move(o.key_to_index)),
      vector_size(o.vector_size),
      rows(std::move(o.rows)),
      mapped(o.mapped),
      npy_path(std::move(o.npy_path)),
      memmap(std::exchange(o.memmap, nullptr)),
      npy_fd(std::exchange(o.npy_fd, -1)),
      npy_bytes(o.npy_bytes) {}

KvStore::~KvStore() {
  Py_XDECREF(memmap);
  if (npy_fd >= 0) ::close(npy_fd);
}

namespace {

KeyedVectorsObject* as_kv(PyObject* self) { return reinterpret_cast<KeyedVectorsObject*>(self); }

Ref alloc_kv(PyTypeObject* type, KvStore&& store) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref obj = Ref::checked(alloc(type, 0));
  as_kv(obj.get())->store = new KvStore(std::move(store));
  as_kv(obj.get())->borrow = 0;
  return obj;
}

PyObject* kv_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return with_args("KeyedVectors", args, kwargs, {}, 0, [&](PyObject**) { return alloc_kv(type, KvStore()).release(); });
}

void kv_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_kv(self)->store;
  as_kv(self)->store = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

[[noreturn]] void raise_not_in_vocab(PyObject* key) {
  raise(PyExc_KeyError, "word '" + std::string(utf8_view(key)) + "' not in vocab");
}

PyObject* memmap_or_raise(const KvStore& store) {
  (void)mapped_matrix(store);
  return store.memmap;
}

// get_vector with an already converted key object and level argument.
PyObject* vector_of(PyObject* self, PyObject* key_obj, PyObject* level_obj) {
  const std::string key = to_text(key_obj, "key");
  SharedBorrow borrow(as_kv(self)->borrow);
  const KvStore& store = *as_kv(self)->store;
  const uint64_t level = effective_level(level_obj, store.vector_size, "level");
  auto found = store.key_to_index.find(std::string_view(key));
  if (found == store.key_to_index.end()) raise_not_in_vocab(key_obj);
  if (!store.mapped) {
    const float* row = store.rows.data() + found->second * store.vector_size;
    std::vector<float> copy(row, row + level);
    return make_float_array(std::move(copy), {level}).release();
  }
  PyObject* memmap = memmap_or_raise(store);
  Ref index = Ref::checked(PyLong_FromUnsignedLongLong(found->second));
  Ref row = Ref::checked(PyObject_GetItem(memmap, index.get()));
  if (level != store.vector_size) {
    Ref stop = Ref::checked(PyLong_FromUnsignedLongLong(level));
    Ref slice = Ref::checked(PySlice_New(nullptr, stop.get(), nullptr));
    row = Ref::checked(PyObject_GetItem(row.get(), slice.get()));
  }
  require_float32(row.get(), 1);
  return row.release();
}

PyObject* kv_get_vector(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_args("get_vector", args, kwargs, {"key", "level"}, 1, [&](PyObject** a) -> PyObject* {
    return vector_of(self, a[0], a[1]);
  });
}

PyObject* kv_subscript(PyObject* self, PyObject* key) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return vector_of(self, key, nullptr); });
}

PyObject* kv_get_vector_size(PyObject* self, void*) {
  return reading(as_kv(self)->borrow, [&] { return check(PyLong_FromUnsignedLongLong(as_kv(self)->store->vector_size)); });
}

PyObject* kv_get_index_to_key(PyObject* self, void*) {
  return reading(as_kv(self)->borrow, [&]() -> PyObject* {
    const KvStore& store = *as_kv(self)->store;
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(store.index_to_key.size())));
    for (std::size_t i = 0; i < store.index_to_key.size(); ++i) {
      check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                                  new_str(store.index_to_key[i]).release()));
    }
    return list.release();
  });
}

PyObject* kv_get_vectors(PyObject* self, void*) {
  return reading(as_kv(self)->borrow, [&]() -> PyObject* {
    const KvStore& store = *as_kv(self)->store;
    if (store.mapped) {
      PyObject* memmap = memmap_or_raise(store);
      require_float32(memmap, 2);
      Py_INCREF(memmap);
      return memmap;
    }
    const std::size_t n = store.index_to_key.size();
    const std::size_t dim = store.vector_size;
    std::vector<float> flat = resolved_matrix(store.index_to_key, store.key_to_index, store.rows, dim);
    Ref flat_array = make_float_array(std::move(flat), {n * dim});
    Ref shaped = Ref::checked(PyObject_CallMethod(flat_array.get(), "reshape", "((nn))",
                                                  static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(dim)));
    require_float32(shaped.get(), 2);
    return shaped.release();
  });
}

PyMethodDef kv_methods[] = {
    keyword_method("load", kv_load, METH_STATIC, "load(path, mmap=None)\n--\n\n"),
    keyword_method("save", kv_save, 0, "save($self, path)\n--\n\n"),
    keyword_method("most_similar", kv_most_similar, 0, "most_similar($self, word, topn=None, level=None)\n--\n\n"),
    keyword_method("get_vector", kv_get_vector, 0, "get_vector($self, key, level=None)\n--\n\n"),
    keyword_method("get_index", kv_get_index, 0, "get_index($self, key)\n--\n\nIndex of a word (KeyError if it is not stored)."),
    keyword_method("similarity", kv_similarity, 0, "similarity($self, w1, w2, level=None)\n--\n\nCosine similarity of the two words' first `level` components."),
    keyword_method("similar_by_vector", kv_similar_by_vector, 0, "similar_by_vector($self, vector, topn=10, level=None, exclude=(), coarse_level=None, shortlist=None)\n--\n\nNearest words to a vector (1-D), or to each row of a 2-D array of vectors, by cosine\nsimilarity of the first `level` components; words in `exclude` are left out.\nWith coarse_level, a funnel: every row is scanned over its first coarse_level\ncomponents only, and the best `shortlist` rows (default max(100, 30 * topn)) are\nranked at `level` with the sums of most_similar."),
    keyword_method("analogy", kv_analogy, 0, "analogy($self, a, b, c, topn=1, level=None)\n--\n\n'a is to b as c is to ?': the words nearest to b - a + c over unit-length\nprefixes, the three given words excluded."),
    keyword_method("similar_by_words", kv_similar_by_words, 0, "similar_by_words($self, positive, negative=(), topn=10, level=None, coarse_level=None, shortlist=None)\n--\n\nNearest words to the sum of the positive words minus the negative words, each at\nunit length over the first `level` components; the given words are left out."),
    keyword_method("doesnt_match", kv_doesnt_match, 0, "doesnt_match($self, words, level=None)\n--\n\nThe word (of two or more) least similar to the mean of the others' unit prefixes."),
    keyword_method("n_similarity", kv_n_similarity, 0, "n_similarity($self, words1, words2, level=None)\n--\n\nCosine similarity of the means of the two word sets' unit prefixes."),
    keyword_method("from_array", kv_from_array, METH_STATIC, "from_array(words, array)\n--\n\nA store of the given distinct words and a 2-D array with a row per word; the\nvalues are copied (as float32), so later changes to the array do not reach the store."),
    keyword_method("_nearest_rows", kv_nearest_rows, 0, "_nearest_rows($self, queries, topn, level, exclude, restrict)\n--\n\n"),
    keyword_method("save_word2vec_format", kv_save_word2vec_format, 0, "save_word2vec_format($self, path, binary=False, level=None)\n--\n\nWrite the word2vec text (or binary) format, with the first `level` components."),
    keyword_method("load_word2vec_format", kv_load_word2vec_format, METH_STATIC, "load_word2vec_format(path, binary=False, limit=None, errors='strict')\n--\n\nRead a word2vec text (or binary) file; `limit` reads only the first rows, `errors`\n('strict', 'replace', 'ignore') says what to do with words that are not UTF-8."),
    keyword_method("evaluate_word_pairs", kv_evaluate_word_pairs, 0, "evaluate_word_pairs($self, path, level=None, delimiter='\\t', case_insensitive=True)\n--\n\n(pearson, spearman, oov_ratio) of cosine similarities against the scores of a\nfile of 'word1 word2 score' lines; pairs with unknown words are skipped."),
    keyword_method("evaluate_word_analogies", kv_evaluate_word_analogies, 0, "evaluate_word_analogies($self, path, level=None, restrict_vocab=300000, case_insensitive=True)\n--\n\n(accuracy, sections) on a file of ': section' headers and 'a b c d' questions;\nquestions with unknown words are skipped and counted."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kv_getset[] = {
    {"vector_size", kv_get_vector_size, nullptr, "", nullptr},
    {"vectors", kv_get_vectors, nullptr, "", nullptr},
    {"index_to_key", kv_get_index_to_key, nullptr, "", nullptr},
    {"key_to_index", kv_get_key_to_index, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kv_slots[] = {
    {Py_tp_doc, const_cast<char*>("KeyedVectors()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(kv_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kv_dealloc)},
    {Py_tp_methods, kv_methods},
    {Py_tp_getset, kv_getset},
    {Py_mp_subscript, reinterpret_cast<void*>(kv_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(kv_length)},
    {Py_sq_contains, reinterpret_cast<void*>(kv_contains)},
    {0, nullptr},
};

PyType_Spec kv_spec = {
    "tarnivel.KeyedVectors",
    sizeof(KeyedVectorsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kv_slots,
};

}  // namespace

ArrayView mapped_matrix(const KvStore& store) {
  if (store.memmap == nullptr) raise(PyExc_ValueError, "memmap not initialized");
  if (store.npy_fd >= 0) check_file_length(store.npy_fd, store.npy_path, store.npy_bytes);
  return require_float32(store.memmap, 2);
}

uint64_t effective_level(PyObject* level_arg, uint64_t vector_size, const char* name) {
  if (absent(level_arg)) return vector_size;
  return std::min(to_size(level_arg, name), vector_size);
}

PyObject* create_keyed_vectors_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kv_spec, nullptr);
}

Ref new_keyed_vectors(KvStore&& store) {
  return alloc_kv(reinterpret_cast<PyTypeObject*>(state().keyed_vectors_type), std::move(store));
}

}  // namespace tarnivel::py
