#include "binding/py_word2vec.hpp"

#include <cmath>
#include <cstdio>

#include "binding/py_keyed_vectors.hpp"
#include "binding/py_args.hpp"
#include "binding/py_driver.hpp"
#include "model/vocab.hpp"

namespace tarnivel::py {
namespace {

Word2VecObject* as_w2v(PyObject* self) { return reinterpret_cast<Word2VecObject*>(self); }

// A learning rate that is NaN, infinite or negative can only produce NaN weights or training away
// from the data; it is refused at construction, naming the parameter.
void check_rate(float value, const char* name) {
  if (std::isfinite(value) && value >= 0.0f) return;
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
  raise(PyExc_ValueError, std::string(name) + " must be a finite number of at least 0, not " + text);
}

// Decision: `negative` above this is refused rather than trained. The noise words of one example are
// trained in one kernel call that cannot be interrupted (the centre word's update depends on all of
// them, in order), so the value bounds how long Ctrl-C can go unanswered: at this bound one example of
// a 100-wide model takes about 0.03 s; at 2**31 it takes a quarter of an hour. The bound is
// three orders of magnitude above the counts that train well (5 to 20; beyond a few hundred the noise
// terms drown the one true pair), so no vocabulary has a use for more.
constexpr uint64_t kMaxNegative = uint64_t{1} << 16;

PyObject* w2v_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[16];
    parse_args("Word2Vec", args, kwargs,
               {"sentences", "vector_size", "window", "min_count", "max_final_vocab", "workers",
                "negative", "sg", "hs", "cbow_mean", "levels", "alpha", "min_alpha", "epochs", "verbose",
                "progress_interval"},
               0, a);
    ModelParams p;
    PyObject* sentences = a[0];
    if (a[1]) p.vector_size = to_size(a[1], "vector_size");
    if (a[2]) p.window = to_size(a[2], "window");
    if (a[3]) p.min_count = to_size(a[3], "min_count");
    p.max_final_vocab = to_optional_size(a[4], "max_final_vocab");
    if (a[5]) p.workers = to_size(a[5], "workers");
    if (a[6]) p.negative = to_size(a[6], "negative");
    const int32_t sg = a[7] ? to_i32(a[7], "sg") : 0;
    const int32_t hs = a[8] ? to_i32(a[8], "hs") : 0;
    const int32_t cbow_mean = a[9] ? to_i32(a[9], "cbow_mean") : 1;
    std::optional<std::vector<uint64_t>> levels;
    if (!absent(a[10])) levels = to_size_list(a[10], "levels");
    if (a[11]) p.alpha = to_f32(a[11], "alpha");
    if (a[12]) p.min_alpha = to_f32(a[12], "min_alpha");
    if (a[13]) p.epochs = to_size(a[13], "epochs");
    if (a[14]) p.verbose = to_bool(a[14], "verbose");
    if (a[15]) p.progress_interval = to_f64(a[15], "progress_interval");

    if (sg != 0 && sg != 1) raise(PyExc_ValueError, "sg must be 0 (CBOW) or 1 (skip-gram)");
    if (hs != 0 && hs != 1) raise(PyExc_ValueError, "hs must be 0 (off) or 1 (on)");
    if (cbow_mean != 0 && cbow_mean != 1) raise(PyExc_ValueError, "cbow_mean must be 0 (sum) or 1 (mean)");
    check_rate(p.alpha, "alpha");
    check_rate(p.min_alpha, "min_alpha");
    if (p.negative > kMaxNegative) {
      raise(PyExc_ValueError, "negative must be at most " + std::to_string(kMaxNegative) +
                                  " noise words per example, not " + std::to_string(p.negative));
    }
    p.sg = sg == 1;
    p.hs = hs == 1;
    p.cbow_mean = cbow_mean == 1;
    p.levels = normalise_levels(levels, p.vector_size);

    Model model;
    model.params = std::move(p);
    if (!absent(sentences)) train_model(model, sentences, TrainCall{});
    return new_word2vec(type, std::move(model)).release();
  });
}

void w2v_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_w2v(self)->model;
  as_w2v(self)->model = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* w2v_train(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[6];
    parse_args("train", args, kwargs,
               {"corpus_iterable", "total_examples", "epochs", "progress", "verbose", "progress_interval"}, 1, a);
    TrainCall call;
    (void)to_optional_size(a[1], "total_examples");  // accepted and converted; it has no effect
    call.epochs = to_optional_size(a[2], "epochs");
    call.progress = absent(a[3]) ? nullptr : a[3];
    if (!absent(a[4])) call.verbose = to_bool(a[4], "verbose");
    if (!absent(a[5])) call.progress_interval = to_f64(a[5], "progress_interval");
    ExclusiveBorrow borrow(as_w2v(self)->borrow);
    train_model(*as_w2v(self)->model, a[0], call);
    Py_RETURN_NONE;
  });
}

PyObject* w2v_get_vector_size(PyObject* self, void*) {
  return reading(as_w2v(self)->borrow, [&] { return check(PyLong_FromUnsignedLongLong(as_w2v(self)->model->params.vector_size)); });
}

PyObject* w2v_get_wv(PyObject* self, void*) {
  return reading(as_w2v(self)->borrow, [&]() -> PyObject* {
    const Model& model = *as_w2v(self)->model;
    KvStore store;
    store.vector_size = model.params.vector_size;
    store.index_to_key = model.vocab.index_to_key;
    store.key_to_index = index_words(store.index_to_key);
    const std::size_t n = store.index_to_key.size() * store.vector_size;
    TARNIVEL_CHECK(model.input_vectors.size() >= n, "input matrix smaller than the vocabulary");
    store.rows.assign(model.input_vectors.begin(), model.input_vectors.begin() + static_cast<std::ptrdiff_t>(n));
    return new_keyed_vectors(std::move(store)).release();
  });
}

PyMethodDef w2v_methods[] = {
    keyword_method("train", w2v_train, 0,
     "train($self, corpus_iterable, total_examples=None, epochs=None, progress=None, verbose=None, "
     "progress_interval=None)\n--\n\nTrain for one or more epochs. Consumes the Python iterator in short\n"
     "GIL windows and processes batches in parallel under `allow_threads`."),
    keyword_method("save", w2v_save, 0, "save($self, path)\n--\n\n"),
    keyword_method("load", w2v_load, METH_CLASS, "load($cls, path)\n--\n\n"),
    keyword_method("save_checkpoint", w2v_save_checkpoint, 0,
     "save_checkpoint($self, prefix)\n--\n\nSave what training needs to continue exactly: the pair save() writes\n"
     "(prefix.vocab.json, prefix.npy), the output weights (prefix.output.npy) and the settings, counts\n"
     "and Huffman tree (prefix.ckpt)."),
    keyword_method("load_checkpoint", w2v_load_checkpoint, METH_CLASS,
     "load_checkpoint($cls, prefix)\n--\n\nThe model save_checkpoint(prefix) saved; ValueError naming the file\n"
     "when a part is missing, damaged or from another save."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef w2v_getset[] = {
    {"wv", w2v_get_wv, nullptr, "", nullptr},
    {"vector_size", w2v_get_vector_size, nullptr, "", nullptr},
    {"sample", w2v_get_sample, w2v_set_sample,
     "Subsampling of frequent words: each token of a word with count c is kept with probability\n"
     "min(1, (sqrt(c / (sample * N)) + 1) * sample * N / c), N the total count; 0 (default) keeps all.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot w2v_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Word2Vec(sentences=None, vector_size=100, window=5, min_count=5, max_final_vocab=None, "
                    "workers=1, negative=5, sg=0, hs=0, cbow_mean=1, levels=None, alpha=0.025, "
                    "min_alpha=0.0001, epochs=5, verbose=True, progress_interval=1.0)\n--\n\n"
                    "Trainable Word2Vec model supporting Matryoshka levels.")},
    {Py_tp_new, reinterpret_cast<void*>(w2v_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(w2v_dealloc)},
    {Py_tp_methods, w2v_methods},
    {Py_tp_getset, w2v_getset},
    {0, nullptr},
};

PyType_Spec w2v_spec = {
    "tarnivel.Word2Vec",
    sizeof(Word2VecObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    w2v_slots,
};

}  // namespace

PyObject* create_word2vec_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &w2v_spec, nullptr);
}

Ref new_word2vec(PyTypeObject* cls, Model&& model) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
  auto* owned = new Model(std::move(model));
  PyObject* obj = alloc(cls, 0);
  if (obj == nullptr) {
    delete owned;
    throw PyErrorSet{};
  }
  as_w2v(obj)->model = owned;
  as_w2v(obj)->borrow = 0;
  return Ref(obj);
}

}  // namespace tarnivel::py
