// KeyedVectors.most_similar: argument handling, the query row and the candidate rows of either store
// mode; the scan itself is the core's nearest_rows.
#include <algorithm>
#include <string>
#include <vector>

#include "binding/py_keyed_vectors.hpp"
#include "kv/similar.hpp"
#include "binding/py_array.hpp"
#include "binding/py_convert.hpp"

namespace tarnivel::py {
namespace {

constexpr uint64_t kDefaultTopn = 10;

// K: min(topn, N - 1), with N - 1 taken as 0 for an empty store.
std::size_t kept_count(uint64_t topn, std::size_t n) {
  const uint64_t others = n == 0 ? 0 : n - 1;
  return static_cast<std::size_t>(std::min<uint64_t>(topn, others));
}

Ref result_list(const std::vector<Neighbour>& found, const std::vector<std::string>& names) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (std::size_t i = 0; i < found.size(); ++i) {
    Ref name = new_str(names[found[i].id]);
    Ref score = Ref::checked(PyFloat_FromDouble(static_cast<double>(found[i].score)));
    Ref pair = Ref::checked(PyTuple_New(2));
    check_status(PyTuple_SetItem(pair.get(), 0, name.release()));
    check_status(PyTuple_SetItem(pair.get(), 1, score.release()));
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()));
  }
  return list;
}

// Owned mode: the candidates are the distinct words, each at its canonical row (its key_to_index
// entry). The word map has no order worth reproducing, so the words are visited in index order,
// which is deterministic across processes.
std::vector<Neighbour> owned_scan(const KvStore& store, uint64_t query_row, std::size_t level, uint64_t topn) {
  const std::size_t n = store.index_to_key.size();
  TARNIVEL_CHECK(store.rows.size() == n * store.vector_size, "owned store rows do not match its words");
  TARNIVEL_CHECK(query_row < n, "word index outside the store");
  // A duplicated word has rows that are not its own: flag them so each word is offered once.
  const std::vector<uint8_t> skip = not_own_rows(store);
  const std::span<const float> query(store.rows.data() + query_row * store.vector_size, level);
  const RowSet rows{store.rows.data(), static_cast<std::size_t>(store.vector_size), n, skip};
  return nearest_rows(query, rows, query_row, kept_count(topn, n));
}

// Mapped mode: rows 0..R-1 of the memory map, read in place; the query row is copied out first.
std::vector<Neighbour> mapped_scan(const KvStore& store, uint64_t query_row, std::size_t level, uint64_t topn) {
  const ArrayView view = mapped_matrix(store);
  const uint64_t r = view.shape[0];
  const uint64_t m = view.shape[1];
  // The loader checks the header's rows against the words; a map of another height (a file changed
  // under the store) would make row numbers name the wrong words or none at all.
  if (r != store.index_to_key.size()) {
    throw ValueError("npy shape mismatch: rows=" + std::to_string(r) +
                     " != vocab=" + std::to_string(store.index_to_key.size()));
  }
  TARNIVEL_CHECK(query_row < r, "word index outside the mapped matrix");
  level = static_cast<std::size_t>(std::min<uint64_t>(level, m));
  const float* start = view.data + query_row * m;
  const std::vector<float> query(start, start + level);
  // As in owned mode, the rows of a word listed twice that are not its own are never results.
  const std::vector<uint8_t> skip = not_own_rows(store);
  const RowSet rows{view.data, static_cast<std::size_t>(m), r, skip};
  return nearest_rows(query, rows, query_row, kept_count(topn, static_cast<std::size_t>(r)));
}

}  // namespace

PyObject* kv_most_similar(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[3];
    parse_args("most_similar", args, kwargs, {"word", "topn", "level"}, 1, a);
    const std::string word = to_text(a[0], "word");
    const uint64_t topn = absent(a[1]) ? kDefaultTopn : to_size(a[1], "topn");
    auto* kv = reinterpret_cast<KeyedVectorsObject*>(self);
    SharedBorrow borrow(kv->borrow);
    const KvStore& store = *kv->store;
    const uint64_t level = effective_level(a[2], store.vector_size, "level");
    // An empty answer is decided before the look-up: no KeyError for an unknown word here.
    if (topn == 0 || level == 0) return check(PyList_New(0));
    auto found = store.key_to_index.find(std::string_view(word));
    if (found == store.key_to_index.end()) raise(PyExc_KeyError, "word '" + word + "' not in vocab");
    std::vector<Neighbour> best;
    try {
      best = store.mapped ? mapped_scan(store, found->second, level, topn)
                          : owned_scan(store, found->second, level, topn);
    } catch (const UnscorableVector& e) {
      // Named by word: the row number alone means little to the caller.
      const std::string& name = e.row < store.index_to_key.size() ? store.index_to_key[e.row] : word;
      throw ValueError("most_similar: the vector of word '" + name + "' (row " + std::to_string(e.row) + ") " +
                       (e.too_large ? "is too large to compare: its squared length overflows float32"
                                    : "holds a value that is not finite (NaN or infinity)"));
    }
    return result_list(best, store.index_to_key).release();
  });
}

}  // namespace tarnivel::py
