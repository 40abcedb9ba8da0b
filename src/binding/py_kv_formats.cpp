// KeyedVectors: membership, similarity, nearest words, batched vector queries, analogies and the
// word2vec formats. The batched numeric work runs with the interpreter lock released (the store never
// changes, and the object and its memory map stay referenced by the call).
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "binding/py_args.hpp"
#include "binding/py_array.hpp"
#include "binding/py_keyed_vectors.hpp"
#include "binding/py_kv_methods.hpp"
#include "io/npy.hpp"
#include "kv/queries.hpp"
#include "kv/similar.hpp"
#include "kv/store_rows.hpp"
#include "kv/word2vec_format.hpp"
#include "model/vocab.hpp"

namespace tarnivel::py {
namespace {

constexpr uint64_t kDefaultTopn = 10;

KeyedVectorsObject* as_kv(PyObject* self) { return reinterpret_cast<KeyedVectorsObject*>(self); }

// A KeyedVectors query: `body(a, store)` with the parsed arguments, under a shared borrow of the store.
template <class F>
PyObject* kv_query(const char* function, PyObject* self, PyObject* args, PyObject* kwargs,
                   std::initializer_list<const char*> names, std::size_t required, F&& body) {
  return with_args(function, args, kwargs, names, required, [&](PyObject** a) -> PyObject* {
    SharedBorrow borrow(as_kv(self)->borrow);
    return body(a, static_cast<const KvStore&>(*as_kv(self)->store));
  });
}

[[noreturn]] void not_in_vocab(const std::string& word) {
  raise(PyExc_KeyError, "word '" + word + "' not in vocab");
}

uint64_t row_of(const KvStore& store, const std::string& word) {
  auto found = store.key_to_index.find(std::string_view(word));
  if (found == store.key_to_index.end()) not_in_vocab(word);
  return found->second;
}

// The rows of either mode, read in place, and the flags of rows that are not a word's own (a word
// listed twice resolves to its last row; its earlier rows are never results).
struct Rows {
  StoredRows rows;
  std::vector<uint8_t> skip;
};

Rows rows_of(const KvStore& store) {
  Rows out;
  const std::size_t n = store.index_to_key.size();
  if (store.mapped) {
    const ArrayView view = mapped_matrix(store);
    check_pair_rows(view.shape[0], n);
    out.rows = StoredRows{view.data, static_cast<std::size_t>(view.shape[1]), view.shape[0]};
  } else {
    TARNIVEL_CHECK(store.rows.size() == n * store.vector_size, "owned store rows do not match its words");
    out.rows = StoredRows{store.rows.data(), static_cast<std::size_t>(store.vector_size), n};
  }
  out.skip = not_own_rows(store.index_to_key, store.key_to_index);
  return out;
}

const float* row_ptr(const Rows& rows, uint64_t r) { return rows.rows.base + r * rows.rows.stride; }

// [(word, score), ...] of neighbours.
Ref neighbour_list(const std::vector<Neighbour>& found, const std::vector<std::string>& names) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (std::size_t i = 0; i < found.size(); ++i) {
    Ref name = new_str(names[found[i].id]);
    Ref pair = Ref::checked(Py_BuildValue("(Od)", name.get(), static_cast<double>(found[i].score)));
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()));
  }
  return list;
}

// The narrow prefix of a funnel search (0: an exact scan) and its shortlist, from the coarse_level and
// shortlist arguments; a coarse level no narrower than `level` scans exactly.
struct Funnel {
  std::size_t coarse = 0;
  std::size_t shortlist = 0;
};

Funnel funnel_of(PyObject* coarse_arg, PyObject* shortlist_arg, uint64_t level, uint64_t topn) {
  Funnel f;
  if (absent(coarse_arg)) return f;
  const uint64_t coarse = to_size(coarse_arg, "coarse_level");
  if (coarse == 0) raise(PyExc_ValueError, "coarse_level must be at least 1");
  if (coarse < level) f.coarse = static_cast<std::size_t>(coarse);
  f.shortlist = absent(shortlist_arg) ? default_shortlist(static_cast<std::size_t>(topn))
                                      : static_cast<std::size_t>(to_size(shortlist_arg, "shortlist"));
  return f;
}

// Runs a core query and names the word or query behind a value that is not finite.
template <class Query>
auto naming_values(const KvStore& store, bool single, Query&& query) {
  try {
    return query();
  } catch (const NonFiniteValue& e) {
    throw ValueError(non_finite_message(e, store.index_to_key, single));
  }
}

// The batched scan (or the funnel), without the interpreter lock.
std::vector<std::vector<Neighbour>> run_batch(const KvStore& store, const StoredRows& rows, const BatchQueries& qs,
                                              bool single, Funnel funnel = {}) {
  return naming_values(store, single, [&] {
    AllowThreads unlocked;
    return funnel.coarse != 0 ? funnel_batch(rows, qs, funnel.coarse, funnel.shortlist) : nearest_batch(rows, qs);
  });
}

// Calls `take` with each word of a collection argument in turn (TypeError for a str).
template <class F>
void for_each_word(PyObject* words, const char* name, F&& take) {
  if (PyUnicode_Check(words)) raise(PyExc_TypeError, std::string("argument '") + name + "': a collection of words, not a str");
  Ref items = Ref::checked(PySequence_List(words));
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) take(to_text(PyList_GetItem(items.get(), i), name));
}

[[noreturn]] void given_twice(const std::string& word) {
  raise(PyExc_ValueError, "word '" + word + "' is given more than once");
}

// The rows of a collection of distinct stored words (KeyError for a word not stored).
std::vector<uint64_t> word_rows(const KvStore& store, PyObject* words, const char* name,
                                std::vector<std::string>* seen) {
  std::vector<uint64_t> rows;
  for_each_word(words, name, [&](std::string word) {
    if (std::find(seen->begin(), seen->end(), word) != seen->end()) given_twice(word);
    rows.push_back(row_of(store, word));
    seen->push_back(std::move(word));
  });
  return rows;
}

// A float32 C-contiguous copy or view of any array-like (numpy.ascontiguousarray).
Ref float32_array(PyObject* obj) {
  Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
  Ref convert = Ref::checked(PyObject_GetAttrString(numpy.get(), "ascontiguousarray"));
  Ref args = Ref::checked(Py_BuildValue("(O)", obj));
  Ref kwargs = Ref::checked(Py_BuildValue("{s:s}", "dtype", "float32"));
  return Ref::checked(PyObject_Call(convert.get(), args.get(), kwargs.get()));
}

uint64_t topn_of(PyObject* obj) { return absent(obj) ? kDefaultTopn : to_size(obj, "topn"); }

// The rows of the `words` argument of doesnt_match and n_similarity: at least `least` words.
std::vector<uint64_t> word_set(const KvStore& store, PyObject* words, const char* name, std::size_t least) {
  std::vector<std::string> seen;
  std::vector<uint64_t> rows = word_rows(store, words, name, &seen);
  if (rows.size() < least) {
    raise(PyExc_ValueError, std::string(name) + " must name at least " + (least == 1 ? "one word" : "two words"));
  }
  return rows;
}

// The neighbours of `count` queries of `width` floats (one list, or a list per query when not single).
Ref search(const KvStore& store, const Rows& rows, const float* data, uint64_t count, uint64_t width, uint64_t level,
           uint64_t topn, Funnel funnel, bool single) {
  std::vector<std::vector<Neighbour>> found(count);
  if (topn != 0 && level != 0) {
    BatchQueries qs;
    qs.data = data;
    qs.count = count;
    qs.stride = width;
    qs.level = level;
    qs.k = static_cast<std::size_t>(std::min<uint64_t>(topn, rows.rows.rows));
    qs.skip = rows.skip;
    found = run_batch(store, rows.rows, qs, single, funnel);
  }
  if (single) return neighbour_list(found[0], store.index_to_key);
  Ref lists = Ref::checked(PyList_New(static_cast<Py_ssize_t>(count)));
  for (std::size_t q = 0; q < count; ++q) {
    check_status(PyList_SetItem(lists.get(), static_cast<Py_ssize_t>(q), neighbour_list(found[q], store.index_to_key).release()));
  }
  return lists;
}

}  // namespace

int kv_contains(PyObject* self, PyObject* key) {
  return guarded<int>(-1, [&]() -> int {
    if (!PyUnicode_Check(key)) return 0;  // only str keys are stored: `1 in kv` is False, not an error
    const std::string_view word = utf8_view(key);
    SharedBorrow borrow(as_kv(self)->borrow);
    return as_kv(self)->store->key_to_index.count(word) != 0 ? 1 : 0;
  });
}

// Decision: len(kv) counts rows, as index_to_key lists them (a word listed twice counts twice).
Py_ssize_t kv_length(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    SharedBorrow borrow(as_kv(self)->borrow);
    return static_cast<Py_ssize_t>(as_kv(self)->store->index_to_key.size());
  });
}

PyObject* kv_get_key_to_index(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedBorrow borrow(as_kv(self)->borrow);
    const KvStore& store = *as_kv(self)->store;
    Ref dict = Ref::checked(PyDict_New());
    // In index order; a word listed twice ends at its last position, as in the store.
    for (std::size_t i = 0; i < store.index_to_key.size(); ++i) {
      Ref key = new_str(store.index_to_key[i]);
      Ref value = Ref::checked(PyLong_FromSize_t(i));
      check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
    }
    return dict.release();
  });
}

PyObject* kv_get_index(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_args("get_index", args, kwargs, {"key"}, 1, [&](PyObject** a) -> PyObject* {
    const std::string key = to_text(a[0], "key");
    SharedBorrow borrow(as_kv(self)->borrow);
    return check(PyLong_FromUnsignedLongLong(row_of(*as_kv(self)->store, key)));
  });
}

PyObject* kv_similarity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kv_query("similarity", self, args, kwargs, {"w1", "w2", "level"}, 2, [&](PyObject** a, const KvStore& store) -> PyObject* {
    const std::string w1 = to_text(a[0], "w1");
    const std::string w2 = to_text(a[1], "w2");
    uint64_t level = effective_level(a[2], store.vector_size, "level");
    const uint64_t r1 = row_of(store, w1);
    const uint64_t r2 = row_of(store, w2);
    const Rows rows = rows_of(store);
    level = std::min(level, rows.rows.stride);
    // The sequential sums of most_similar: similarity(a, b) is the score most_similar(a) gives b.
    const std::span<const float> query(row_ptr(rows, r1), static_cast<std::size_t>(level));
    const float qn = query_norm(query);
    for (float x : query) {
      if (!std::isfinite(x)) throw ValueError("the vector of word '" + w1 + "' holds a value that is not finite (NaN or infinity)");
    }
    const float score = cosine_score(query, qn, row_ptr(rows, r2));
    if (std::isnan(score)) throw ValueError("the vector of word '" + w2 + "' holds a value that is not finite (NaN or infinity)");
    return check(PyFloat_FromDouble(static_cast<double>(score)));
  });
}

PyObject* kv_similar_by_vector(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kv_query("similar_by_vector", self, args, kwargs, {"vector", "topn", "level", "exclude", "coarse_level", "shortlist"}, 1,
                  [&](PyObject** a, const KvStore& store) -> PyObject* {
    Ref array = float32_array(a[0]);
    const uint64_t topn = topn_of(a[1]);
    uint64_t level = effective_level(a[2], store.vector_size, "level");
    std::optional<ArrayView> view = float32_view(array.get(), 1);
    const bool single = view.has_value();
    if (!single) view = float32_view(array.get(), 2);
    if (!view) raise(PyExc_ValueError, "vector must be a 1-D array (one query) or a 2-D array (a query per row)");
    const uint64_t count = single ? 1 : view->shape[0];
    const uint64_t width = single ? view->shape[0] : view->shape[1];

    Rows rows = rows_of(store);
    level = std::min(level, rows.rows.stride);
    if (width < level) {
      throw ValueError("the query vector has " + std::to_string(width) + " components, fewer than the level " +
                       std::to_string(level) + " (pass a smaller level=)");
    }
    if (!absent(a[3])) {
      for_each_word(a[3], "exclude", [&](const std::string& word) {
        auto found = store.key_to_index.find(std::string_view(word));
        if (found == store.key_to_index.end()) return;  // a word that is not stored is never a result
        if (rows.skip.empty()) rows.skip.assign(store.index_to_key.size(), 0);
        rows.skip[found->second] = 1;
      });
    }
    const Funnel funnel = funnel_of(a[4], a[5], level, topn);
    return search(store, rows, view->data, count, width, level, topn, funnel, single).release();
  });
}

PyObject* kv_similar_by_words(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kv_query("similar_by_words", self, args, kwargs, {"positive", "negative", "topn", "level", "coarse_level", "shortlist"}, 1,
                  [&](PyObject** a, const KvStore& store) -> PyObject* {
    const uint64_t topn = topn_of(a[2]);
    std::vector<std::string> seen;
    const std::vector<uint64_t> plus = word_rows(store, a[0], "positive", &seen);
    const std::vector<uint64_t> minus = absent(a[1]) ? std::vector<uint64_t>{} : word_rows(store, a[1], "negative", &seen);
    if (plus.empty()) raise(PyExc_ValueError, "positive must name at least one word");
    Rows rows = rows_of(store);
    const uint64_t level = std::min(effective_level(a[3], store.vector_size, "level"), rows.rows.stride);
    if (rows.skip.empty()) rows.skip.assign(store.index_to_key.size(), 0);
    for (const uint64_t r : plus) rows.skip[r] = 1;
    for (const uint64_t r : minus) rows.skip[r] = 1;
    const std::vector<float> query = naming_values(store, true, [&] { return unit_sum(rows.rows, level, plus, minus); });
    const Funnel funnel = funnel_of(a[4], a[5], level, topn);
    return search(store, rows, query.data(), 1, level, level, topn, funnel, true).release();
  });
}

PyObject* kv_doesnt_match(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kv_query("doesnt_match", self, args, kwargs, {"words", "level"}, 1, [&](PyObject** a, const KvStore& store) -> PyObject* {
    const std::vector<uint64_t> ids = word_set(store, a[0], "words", 2);
    const Rows rows = rows_of(store);
    const uint64_t level = std::min(effective_level(a[1], store.vector_size, "level"), rows.rows.stride);
    const std::size_t odd = naming_values(store, true, [&] { return least_matching(rows.rows, level, ids); });
    return new_str(store.index_to_key[ids[odd]]).release();
  });
}

PyObject* kv_n_similarity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kv_query("n_similarity", self, args, kwargs, {"words1", "words2", "level"}, 2,
                  [&](PyObject** a, const KvStore& store) -> PyObject* {
    const std::vector<uint64_t> first = word_set(store, a[0], "words1", 1);
    const std::vector<uint64_t> second = word_set(store, a[1], "words2", 1);
    const Rows rows = rows_of(store);
    const uint64_t level = std::min(effective_level(a[2], store.vector_size, "level"), rows.rows.stride);
    const float score = naming_values(store, true, [&] { return set_similarity(rows.rows, level, first, second); });
    return check(PyFloat_FromDouble(static_cast<double>(score)));
  });
}

PyObject* kv_from_array(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_args("from_array", args, kwargs, {"words", "array"}, 2, [&](PyObject** a) -> PyObject* {
    KvStore store;
    for_each_word(a[0], "words", [&](std::string word) {
      if (store.key_to_index.find(std::string_view(word)) != store.key_to_index.end()) given_twice(word);
      store.key_to_index[word] = store.index_to_key.size();
      store.index_to_key.push_back(std::move(word));
    });
    Ref array = float32_array(a[1]);
    const std::optional<ArrayView> view = float32_view(array.get(), 2);
    if (!view) raise(PyExc_ValueError, "array must be 2-D: one row per word");
    if (view->shape[0] != store.index_to_key.size()) {
      throw ValueError("array has " + std::to_string(view->shape[0]) + " rows for " +
                       std::to_string(store.index_to_key.size()) + " words");
    }
    store.vector_size = view->shape[1];
    store.rows.assign(view->data, view->data + view->shape[0] * view->shape[1]);
    return new_keyed_vectors(std::move(store)).release();
  });
}

PyObject* kv_analogy(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kv_query("analogy", self, args, kwargs, {"a", "b", "c", "topn", "level"}, 3, [&](PyObject** a, const KvStore& store) -> PyObject* {
    const std::string words[3] = {to_text(a[0], "a"), to_text(a[1], "b"), to_text(a[2], "c")};
    const uint64_t topn = absent(a[3]) ? 1 : to_size(a[3], "topn");
    uint64_t level = effective_level(a[4], store.vector_size, "level");
    uint64_t row[3];
    for (int i = 0; i < 3; ++i) row[i] = row_of(store, words[i]);
    Rows rows = rows_of(store);
    level = std::min(level, rows.rows.stride);
    if (topn == 0 || level == 0) return check(PyList_New(0));
    const std::size_t L = static_cast<std::size_t>(level);
    const std::vector<float> query = naming_values(store, true, [&] { return analogy_query(rows.rows, L, row); });
    BatchQueries qs;
    qs.data = query.data();
    qs.count = 1;
    qs.stride = L;
    qs.level = L;
    qs.k = static_cast<std::size_t>(std::min<uint64_t>(topn, rows.rows.rows));
    qs.skip = rows.skip;
    qs.exclude = std::span<const uint64_t>(row, 3);
    qs.exclude_width = 3;
    return neighbour_list(run_batch(store, rows.rows, qs, true)[0], store.index_to_key).release();
  });
}

// _nearest_rows(queries, topn, level, exclude, restrict): for the evaluation code. queries is a 2-D
// array; exclude a sequence (one per query) of row numbers that must not be results; restrict the
// number of leading rows that are candidates. Returns a list per query of (row, score) pairs.
PyObject* kv_nearest_rows(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kv_query("_nearest_rows", self, args, kwargs, {"queries", "topn", "level", "exclude", "restrict"}, 5,
                  [&](PyObject** a, const KvStore& store) -> PyObject* {
    Ref array = float32_array(a[0]);
    const uint64_t topn = to_size(a[1], "topn");
    uint64_t level = effective_level(a[2], store.vector_size, "level");
    const ArrayView view = require_float32(array.get(), 2);
    Rows rows = rows_of(store);
    level = std::min(level, rows.rows.stride);
    if (view.shape[1] < level) throw ValueError("queries narrower than the level");
    const uint64_t restrict_rows = std::min<uint64_t>(to_size(a[4], "restrict"), rows.rows.rows);
    rows.rows.rows = restrict_rows;
    if (!rows.skip.empty()) rows.skip.resize(restrict_rows);
    const std::size_t count = static_cast<std::size_t>(view.shape[0]);

    Ref groups = Ref::checked(PySequence_List(a[3]));
    if (static_cast<std::size_t>(PyList_Size(groups.get())) != count) throw ValueError("one exclusion list per query");
    std::size_t width = 0;
    std::vector<Ref> lists;
    for (std::size_t q = 0; q < count; ++q) {
      lists.push_back(Ref::checked(PySequence_List(PyList_GetItem(groups.get(), static_cast<Py_ssize_t>(q)))));
      width = std::max(width, static_cast<std::size_t>(PyList_Size(lists.back().get())));
    }
    std::vector<uint64_t> exclude(count * width, kNoRow);
    for (std::size_t q = 0; q < count; ++q) {
      const Py_ssize_t n = PyList_Size(lists[q].get());
      for (Py_ssize_t j = 0; j < n; ++j) {
        exclude[q * width + static_cast<std::size_t>(j)] = to_size(PyList_GetItem(lists[q].get(), j), "exclude");
      }
    }
    std::vector<std::vector<Neighbour>> found(count);
    if (topn != 0 && level != 0) {
      BatchQueries qs;
      qs.data = view.data;
      qs.count = count;
      qs.stride = static_cast<std::size_t>(view.shape[1]);
      qs.level = static_cast<std::size_t>(level);
      qs.k = static_cast<std::size_t>(std::min<uint64_t>(topn, restrict_rows));
      qs.skip = rows.skip;
      qs.exclude = exclude;
      qs.exclude_width = width;
      found = run_batch(store, rows.rows, qs, false);
    }
    Ref out = Ref::checked(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t q = 0; q < count; ++q) {
      Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(found[q].size())));
      for (std::size_t i = 0; i < found[q].size(); ++i) {
        Ref pair = Ref::checked(Py_BuildValue("(Kd)", static_cast<unsigned long long>(found[q][i].id),
                                              static_cast<double>(found[q][i].score)));
        check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()));
      }
      check_status(PyList_SetItem(out.get(), static_cast<Py_ssize_t>(q), list.release()));
    }
    return out.release();
  });
}

PyObject* kv_save_word2vec_format(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kv_query("save_word2vec_format", self, args, kwargs, {"path", "binary", "level"}, 1,
                  [&](PyObject** a, const KvStore& store) -> PyObject* {
    const std::string path = to_path(a[0], "path");
    const bool binary = absent(a[1]) ? false : to_bool(a[1], "binary");
    const uint64_t level = effective_level(a[2], store.vector_size, "level");
    const Rows rows = rows_of(store);
    // Each position is written with the vector its word resolves to (as `save` does).
    const std::vector<uint64_t> canonical =
        rows.skip.empty() ? std::vector<uint64_t>{} : resolved_rows(store.index_to_key, store.key_to_index);
    Word2VecSource source;
    source.words = &store.index_to_key;
    source.base = rows.rows.base;
    source.stride = rows.rows.stride;
    source.rows = canonical;
    source.dim = std::min(level, rows.rows.stride);
    {
      AllowThreads unlocked;
      write_word2vec(path, source, binary);
    }
    Py_RETURN_NONE;
  });
}

PyObject* kv_load_word2vec_format(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_args("load_word2vec_format", args, kwargs, {"path", "binary", "limit", "errors"}, 1, [&](PyObject** a) -> PyObject* {
    const std::string path = to_path(a[0], "path");
    Word2VecReadOptions options;
    options.binary = absent(a[1]) ? false : to_bool(a[1], "binary");
    if (!absent(a[2])) options.limit = to_size(a[2], "limit");
    if (!absent(a[3])) {
      const std::string name = to_text(a[3], "errors");
      const std::optional<Utf8Errors> errors = utf8_errors_from_name(name);
      if (!errors) raise(PyExc_ValueError, "errors must be 'strict', 'replace' or 'ignore', not '" + name + "'");
      options.errors = *errors;
    }
    Word2VecTable table;
    {
      AllowThreads unlocked;
      table = read_word2vec(path, options);
    }
    KvStore store;
    store.key_to_index = index_words(table.words);
    store.index_to_key = std::move(table.words);
    store.vector_size = table.dim;
    store.rows = std::move(table.values);
    return new_keyed_vectors(std::move(store)).release();
  });
}

PyObject* kv_most_similar(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kv_query("most_similar", self, args, kwargs, {"word", "topn", "level"}, 1, [&](PyObject** a, const KvStore& store) -> PyObject* {
    const std::string word = to_text(a[0], "word");
    const uint64_t topn = topn_of(a[1]);
    const uint64_t level = effective_level(a[2], store.vector_size, "level");
    // An empty answer is decided before the look-up: no KeyError for an unknown word here.
    if (topn == 0 || level == 0) return check(PyList_New(0));
    const uint64_t row = row_of(store, word);
    const Rows rows = rows_of(store);
    // K: min(topn, N - 1); the word itself is never a result.
    const std::size_t k = static_cast<std::size_t>(std::min<uint64_t>(topn, rows.rows.rows - 1));
    const std::span<const float> query(row_ptr(rows, row), static_cast<std::size_t>(std::min(level, rows.rows.stride)));
    try {
      const RowSet set{rows.rows.base, rows.rows.stride, rows.rows.rows, rows.skip};
      return neighbour_list(nearest_rows(query, set, row, k), store.index_to_key).release();
    } catch (const UnscorableVector& e) {
      // Named by word: the row number alone means little to the caller.
      const std::string& name = e.row < store.index_to_key.size() ? store.index_to_key[e.row] : word;
      throw ValueError("most_similar: the vector of word '" + name + "' (row " + std::to_string(e.row) + ") " +
                       (e.too_large ? "is too large to compare: its squared length overflows float32"
                                    : "holds a value that is not finite (NaN or infinity)"));
    }
  });
}

}  // namespace tarnivel::py
