#include "training/hs.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "common/pinned.hpp"
#include "ops/fast_ops.hpp"
#include "ops/vector_ops.hpp"
#include "training/sg_dataflow.hpp"

namespace tarnivel {

using kernel_detail::output_step_on;
using kernel_detail::SharedRows;

namespace {

// The code bits and inner nodes of word w, root first (m steps: the shorter of the two arrays).
struct Path {
  const uint8_t* code;
  const uint64_t* nodes;
  std::size_t length;
};

Path path_of(const HuffmanTree& tree, uint64_t w) {
  TARNIVEL_CHECK(w < tree.codes.size() && w < tree.path_nodes.size(),
                 "word has no Huffman code");
  const auto& code = tree.codes[w];
  const auto& nodes = tree.path_nodes[w];
  return {code.data(), nodes.data(), std::min(code.size(), nodes.size())};
}

// Every path node in order; the label of a step is the code bit itself. The nodes of a path are
// distinct rows, so the steps run in batches side by side (output_steps_on still splits a batch at a
// repeated row, should a tree ever hold one).
template <class Rows>
void walk_path(std::span<const float> hidden, const Rows& out, const Path& path, std::size_t n,
               std::span<float> err, float lr) {
  if (n == 0) {
    for (std::size_t d = 0; d < path.length; ++d) {
      output_step_on(hidden, out, path.nodes[d], n, err, path.code[d] != 0 ? 1.0f : 0.0f, lr);
    }
    return;
  }
  float labels[kDotLanes];
  for (std::size_t d = 0; d < path.length; d += kDotLanes) {
    const std::size_t k = std::min(kDotLanes, path.length - d);
    for (std::size_t r = 0; r < k; ++r) labels[r] = path.code[d + r] != 0 ? 1.0f : 0.0f;
    kernel_detail::output_steps_on(hidden, out, path.nodes + d, labels, k, n, err, lr);
  }
}

// Adds the error onto one context row: divided by the context size for the CBOW mean.
void spread_error(std::span<float> row, std::span<const float> err, std::size_t n, bool cbow_mean,
                  float divisor) {
  if (cbow_mean) {
    add_divided(row, err, n, divisor);
  } else {
    add_into(row, err, n);
  }
}

// Context words sorted by input stripe (w & 63), list order kept among the words of one stripe;
// for_each_group visits the runs of one stripe in ascending stripe order. A window's context is a
// handful of words, so a stable insertion sort beats any table over all 64 stripes; contexts longer
// than kInsertionLimit (huge windows) go through a counting sort instead. The order buffer belongs
// to the thread and only grows, so grouping allocates nothing per example.
class StripeGroups {
 public:
  explicit StripeGroups(std::span<const uint64_t> words) : size_(words.size()) {
    thread_local std::vector<uint64_t> buffer;
    if (buffer.size() < words.size()) buffer.resize(words.size());
    uint64_t* out = buffer.data();
    if (words.size() <= kInsertionLimit) {
      for (std::size_t i = 0; i < words.size(); ++i) {
        const uint64_t w = words[i];
        std::size_t j = i;
        for (; j > 0 && stripe(out[j - 1]) > stripe(w); --j) out[j] = out[j - 1];
        out[j] = w;
      }
    } else {
      std::array<std::size_t, SharedMatrix::kRowLockStripes> fill{};
      for (const uint64_t w : words) ++fill[stripe(w)];
      std::size_t start = 0;
      for (std::size_t& f : fill) start += std::exchange(f, start);
      for (const uint64_t w : words) out[fill[stripe(w)]++] = w;
    }
    words_ = out;
  }

  // Calls visit(first, last) for each non-empty stripe in ascending order.
  template <class Visit>
  void for_each_group(Visit&& visit) const {
    std::size_t begin = 0;
    while (begin < size_) {
      std::size_t end = begin + 1;
      while (end < size_ && stripe(words_[end]) == stripe(words_[begin])) ++end;
      visit(words_ + begin, words_ + end);
      begin = end;
    }
  }

 private:
  static constexpr std::size_t kInsertionLimit = 32;
  static uint64_t stripe(uint64_t w) { return w & (SharedMatrix::kRowLockStripes - 1); }

  std::size_t size_;
  const uint64_t* words_ = nullptr;
};

// Before a kernel that updates rows directly: the copies go back first.
void write_back_hot_rows(const SharedMatrix& output) {
  LockedHotRows& hot = locked_hot_rows();
  if (hot.outputs.active_for(output, 0)) hot.write_back();
}

// The input row of word w for an example of the scope: this thread's copy of a frequent word (taken
// now, before any stripe is held), or nullptr: the shared row under its stripe.
float* hot_input(const SharedMatrix& input, uint64_t w, std::size_t widest) {
  LockedRowCopies& words = locked_hot_rows().inputs;
  if (!words.active_for(input, widest) || !words.is_hot(w)) return nullptr;
  return words.acquire(w);
}

template <class Rows>
void cbow_softmax_sequential(const Rows& in, const Rows& out, const HuffmanTree& tree,
                             std::span<const uint64_t> context_words, uint64_t center,
                             std::size_t n, float lr_level, bool cbow_mean) {
  const Path path = path_of(tree, center);
  if (path.length == 0) return;
  ScratchLease hidden = take_hidden(n);
  for (const uint64_t c : context_words) add_into(hidden.span(), in.row(c), n);
  const float divisor = mean_divisor(context_words.size());
  if (cbow_mean) divide_by(hidden.span(), n, divisor);
  ScratchLease err = take_error(n);
  walk_path(hidden.span(), out, path, n, err.span(), lr_level);
  for (const uint64_t c : context_words) spread_error(in.row(c), err.span(), n, cbow_mean, divisor);
}

// The multi-worker walk of one path over all widths of an example. Each node row is held twice:
// once at the start to copy its widest prefix, once at the end to apply every width's update to
// it in width order. In between the widths run on the copies with the sequential arithmetic
// (side-by-side dots, then err += g * old copy and copy += g * hidden in one pass), so each copy
// holds what the row would hold at that point; the gradients and each width's hidden vector are
// kept for the final updates. Alone on the matrices this gives the per-width calls' values bit
// for bit; with other threads, a node's updates from them between the two holds are kept (the
// final holds add onto the live row), and this example's dots read the row as it was at its start.
// When nobody has held a node's stripe since its copy was taken (its hold count moved by just that
// hold), the row still equals the copy's starting point and the final copy is written instead.
class LevelledPath {
 public:
  LevelledPath(const SharedMatrix& output, const Path& path, std::span<const uint64_t> levels)
      : out_(output), path_(path), levels_(levels) {
    std::size_t hidden_total = 0;
    for (const uint64_t level : levels) {
      widest_ = std::max(widest_, static_cast<std::size_t>(level));
      hidden_total += static_cast<std::size_t>(level);
    }
    for (std::size_t d = 0; d < path.length; ++d) out_.row_prefix(path.nodes[d], widest_);
    LockedHotRows& hot = locked_hot_rows();
    if (hot.outputs.active_for(output, widest_)) {
      top_ = &hot.outputs;
      hot.begin_example();
    }
    thread_local std::vector<float> gradients;
    thread_local std::vector<float> hiddens;
    thread_local std::vector<float*> rows;
    thread_local std::vector<uint32_t> holds;
    if (holds.size() < path.length) holds.resize(path.length);
    holds_ = holds.data();
    if (gradients.size() < path.length * levels.size()) gradients.resize(path.length * levels.size());
    if (hiddens.size() < hidden_total) hiddens.resize(hidden_total);
    if (rows.size() < path.length) rows.resize(path.length);
    g_ = gradients.data();
    hiddens_ = hiddens.data();
    copies_ = kernel_detail::snapshot_buffer(path.length * widest_);
    rows_ = rows.data();
    for (std::size_t d = 0; d < path.length; ++d) rows_[d] = copy(d);
  }

  // Whether the walk applies: distinct nodes (strictly decreasing) and no width 0.
  static bool usable(const Path& path, std::span<const uint64_t> levels) {
    for (const uint64_t level : levels) {
      if (level == 0) return false;
    }
    for (std::size_t d = 1; d < path.length; ++d) {
      if (path.nodes[d] >= path.nodes[d - 1]) return false;
    }
    return true;
  }

  std::size_t widest() const { return widest_; }

  // Copies the widest prefix of every node row, each under its stripe; a top node of an open
  // HotRowScope uses the thread's copy instead.
  void take_copies() {
    for (std::size_t d = 0; d < path_.length; ++d) {
      if (on_top(d)) continue;
      out_.prefetch_stripe(path_.nodes[d]);
      kernel_detail::prefetch_for_write(out_.row(path_.nodes[d]).data(), widest_);
    }
    for (std::size_t d = 0; d < path_.length; ++d) {
      if (on_top(d)) {
        rows_[d] = top_->acquire(path_.nodes[d]);
        continue;
      }
      const float* row = out_.row(path_.nodes[d]).data();
      out_.with_stripe(path_.nodes[d], [&] {
        copy_floats(copy(d), row, widest_);
        holds_[d] = out_.stripe_holds(path_.nodes[d]) + 1;
      });
    }
  }

  // Width number l against `hidden` (its first levels[l] elements): err (zeroed here) gains every
  // node's share in path order, the copies their updates.
  void step(std::size_t l, const float* hidden, float* err, float lr) {
    const auto n = static_cast<std::size_t>(levels_[l]);
    copy_floats(hiddens_ + hidden_offset_, hidden, n);
    std::fill(err, err + n, 0.0f);
    float* g = g_ + l * path_.length;
    float d_out[kDotLanes];
    for (std::size_t d = 0; d < path_.length; d += kDotLanes) {
      const std::size_t k = std::min(kDotLanes, path_.length - d);
      dot_many(hidden, rows_ + d, k, n, d_out);
      for (std::size_t r = 0; r < k; ++r) {
        g[d + r] = logistic_gradient(d_out[r], path_.code[d + r] != 0 ? 1.0f : 0.0f, lr);
      }
      accumulate_error_many(err, rows_ + d, g + d, k, hidden, n);
    }
    hidden_offset_ += n;
  }

  // Applies every width's update to each node row, width by width, under its stripe (top nodes
  // keep theirs in the thread's copies).
  void write_back() {
    for (std::size_t d = 0; d < path_.length; ++d) {
      if (on_top(d)) continue;
      out_.prefetch_stripe(path_.nodes[d]);
      kernel_detail::prefetch_for_write(out_.row(path_.nodes[d]).data(), widest_);
    }
    for (std::size_t d = 0; d < path_.length; ++d) {
      if (on_top(d)) continue;
      float* row = out_.row(path_.nodes[d]).data();
      out_.with_stripe(path_.nodes[d], [&] {
        if (out_.stripe_holds(path_.nodes[d]) == holds_[d]) {
          copy_floats(row, copy(d), widest_);
          return;
        }
        const float* hidden = hiddens_;
        for (std::size_t l = 0; l < levels_.size(); ++l) {
          const auto n = static_cast<std::size_t>(levels_[l]);
          add_scaled(row, hidden, n, g_[l * path_.length + d]);
          hidden += n;
        }
      });
    }
  }

 private:
  float* copy(std::size_t d) { return copies_ + d * widest_; }
  bool on_top(std::size_t d) const { return top_ != nullptr && top_->is_hot(path_.nodes[d]); }

  LockedRowCopies* top_ = nullptr;  // the open scope's node copies, if any
  const SharedMatrix& out_;
  const Path& path_;
  std::span<const uint64_t> levels_;
  std::size_t widest_ = 0;
  std::size_t hidden_offset_ = 0;
  float* g_ = nullptr;
  float* hiddens_ = nullptr;
  float* copies_ = nullptr;
  float** rows_ = nullptr;
  uint32_t* holds_ = nullptr;
};

}  // namespace

void sg_softmax_levels(const SharedMatrix& input, const SharedMatrix& output,
                       const HuffmanTree& tree, uint64_t center, uint64_t context,
                       std::span<const uint64_t> levels, float lr_level) {
  const Path path = path_of(tree, context);
  if (path.length == 0) return;
  if (!LevelledPath::usable(path, levels)) {
    write_back_hot_rows(output);
    for (const uint64_t level : levels) {
      sg_softmax_step(input, output, tree, center, context, static_cast<std::size_t>(level),
                      lr_level);
    }
    return;
  }
  LevelledPath walk(output, path, levels);
  const std::size_t widest = walk.widest();
  const std::span<float> shared_row = input.row_prefix(center, widest);
  // The input prefix is carried in `copy`, which receives each width's error exactly as the row
  // would (row + err per width); the row itself is written once at the end, under the stripe.
  auto pair = [&](float* row) {
    ScratchLease copy = take_hidden(widest);
    copy_floats(copy.data(), row, widest);
    ScratchLease err = take_error(widest);
    walk.take_copies();
    for (std::size_t l = 0; l < levels.size(); ++l) {
      walk.step(l, copy.data(), err.data(), lr_level);
      add_into(copy.span(), err.span(), static_cast<std::size_t>(levels[l]));
    }
    walk.write_back();
    copy_floats(row, copy.data(), widest);
  };
  // A frequent centre word's row is this thread's copy during a HotRowScope: no stripe.
  if (float* hot = hot_input(input, center, widest)) {
    pair(hot);
    return;
  }
  kernel_detail::prefetch_for_write(shared_row.data(), widest);
  input.with_stripe(center, [&] { pair(shared_row.data()); });
}

void cbow_softmax_levels(const SharedMatrix& input, const SharedMatrix& output,
                         const HuffmanTree& tree, std::span<const uint64_t> context_words,
                         uint64_t center, std::span<const uint64_t> levels, float lr_level,
                         bool cbow_mean) {
  const Path path = path_of(tree, center);
  if (path.length == 0) return;
  if (!LevelledPath::usable(path, levels)) {
    write_back_hot_rows(output);
    for (const uint64_t level : levels) {
      cbow_softmax_step(input, output, tree, context_words, center,
                        static_cast<std::size_t>(level), lr_level, cbow_mean);
    }
    return;
  }
  LevelledPath walk(output, path, levels);
  const std::size_t widest = walk.widest();
  for (const uint64_t c : context_words) input.row_prefix(c, widest);  // range checks
  const StripeGroups groups(context_words);
  const float divisor = mean_divisor(context_words.size());
  ScratchLease hidden = take_hidden(widest);
  ScratchLease err = take_error(widest);
  walk.take_copies();
  // During a HotRowScope the frequent words' rows are this thread's copies, taken here, before any
  // input stripe is held; a group of such words alone needs no stripe.
  LockedRowCopies* hot = nullptr;
  for (const uint64_t c : context_words) {
    if (hot_input(input, c, widest) != nullptr) hot = &locked_hot_rows().inputs;
  }
  auto row_of = [&](uint64_t w) -> float* {
    if (hot != nullptr) {
      if (float* copy = hot->find(w)) return copy;
    }
    return input.row(w).data();
  };
  auto for_each_group = [&](auto&& visit) {
    groups.for_each_group([&](const uint64_t* first, const uint64_t* last) {
      bool shared = hot == nullptr;
      for (const uint64_t* w = first; w != last && !shared; ++w) shared = hot->find(*w) == nullptr;
      if (shared) {
        input.with_stripe(*first, [&] { visit(first, last); });
      } else {
        visit(first, last);
      }
    });
  };
  // The first width's hidden sum, one lock per non-empty stripe, in the grouped order.
  auto n = static_cast<std::size_t>(levels[0]);
  for_each_group([&](const uint64_t* first, const uint64_t* last) {
    for (const uint64_t* w = first; w != last; ++w) add_into(hidden.span(), {row_of(*w), n}, n);
  });
  for (std::size_t l = 0; l < levels.size(); ++l) {
    n = static_cast<std::size_t>(levels[l]);
    const std::size_t next = l + 1 < levels.size() ? static_cast<std::size_t>(levels[l + 1]) : 0;
    if (cbow_mean) divide_by(hidden.span(), n, divisor);
    walk.step(l, hidden.data(), err.data(), lr_level);
    // Each stripe once: this width's error onto its words, then (every occurrence of a word lies in
    // its own stripe's group, so the word has all its updates by then) their prefixes for the next
    // width's hidden sum, in the same grouped order as a separate pass.
    std::fill(hidden.data(), hidden.data() + next, 0.0f);
    for_each_group([&](const uint64_t* first, const uint64_t* last) {
      for (const uint64_t* w = first; w != last; ++w) {
        spread_error({row_of(*w), widest}, err.span(), n, cbow_mean, divisor);
      }
      for (const uint64_t* w = first; w != last; ++w) {
        add_into(hidden.span(), {row_of(*w), next}, next);
      }
    });
  }
  walk.write_back();
}

void sg_softmax_step(const PlainMatrices& m, const HuffmanTree& tree, uint64_t center,
                     uint64_t context, std::size_t level, float lr_level) {
  const Path path = path_of(tree, context);
  if (path.length == 0) return;
  kernel_detail::with_plain_rows(m, [&](const auto& in, const auto& out) {
    const std::span<float> row = in.row(center);
    ScratchLease err = take_error(level);
    // The input prefix stays unchanged while the path is walked: every node sees the same values.
    walk_path(row, out, path, level, err.span(), lr_level);
    add_into(row, err.span(), level);
  });
}

namespace {

// The paths of a sentence's words for the fast softmax kernels, position by position: the rows and
// labels (code bits) of each position's path in one flat buffer. A position whose word has no
// code, a node outside the output matrix or nodes that are not strictly decreasing is marked for
// the pair-at-a-time kernel instead (which reports the first two and splits the last into batches
// of distinct rows). Positions are filled in order before they are first trained, so the tree's
// scattered path arrays are read once per position instead of once per pair; the positions no
// example needs any more are dropped, so a long sentence holds only about a window's paths.
class SentencePaths {
 public:
  static constexpr uint32_t kPairAtATime = ~uint32_t{0};

  void reset() {
    first_ = 0;
    begin_.clear();
    length_.clear();
    rows_.clear();
    labels_.clear();
  }
  // One past the last position filled.
  std::size_t filled() const { return first_ + length_.size(); }
  // Drops the positions before p once they are at least half of those held.
  void forget_before(std::size_t p) {
    p = std::min(p, filled());
    if (p <= first_ || 2 * (p - first_) < length_.size()) return;
    const std::size_t drop = p - first_;
    const std::size_t kept_rows = drop < begin_.size() ? begin_[drop] : rows_.size();
    begin_.erase(begin_.begin(), begin_.begin() + static_cast<std::ptrdiff_t>(drop));
    length_.erase(length_.begin(), length_.begin() + static_cast<std::ptrdiff_t>(drop));
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(kept_rows));
    labels_.erase(labels_.begin(), labels_.begin() + static_cast<std::ptrdiff_t>(kept_rows));
    for (std::size_t& b : begin_) b -= kept_rows;
    first_ = p;
  }
  // Appends the next position's path (word w).
  template <class RowOf>
  void add(const HuffmanTree& tree, uint64_t w, std::size_t out_rows, const RowOf& output_row) {
    begin_.push_back(rows_.size());
    if (w >= tree.codes.size() || w >= tree.path_nodes.size()) {
      length_.push_back(kPairAtATime);
      return;
    }
    const Path path = path_of(tree, w);
    bool fused = path.length == 0 || path.nodes[0] < out_rows;
    for (std::size_t d = 1; fused && d < path.length; ++d) fused = path.nodes[d] < path.nodes[d - 1];
    if (!fused) {
      length_.push_back(kPairAtATime);
      return;
    }
    length_.push_back(static_cast<uint32_t>(path.length));
    for (std::size_t d = 0; d < path.length; ++d) {
      rows_.push_back(output_row(path.nodes[d]));
      labels_.push_back(path.code[d] != 0 ? 1.0f : 0.0f);
    }
  }
  uint32_t length(std::size_t c) const { return length_[c - first_]; }
  float* const* rows(std::size_t c) const { return rows_.data() + begin_[c - first_]; }
  const float* labels(std::size_t c) const { return labels_.data() + begin_[c - first_]; }

 private:
  std::size_t first_ = 0;  // the first position held
  std::vector<std::size_t> begin_;
  std::vector<uint32_t> length_;
  std::vector<float*> rows_;
  std::vector<float> labels_;
};

}  // namespace

bool train_softmax_fast(std::span<const uint64_t> s, ChaChaStream& stream,
                        const TrainParams& params, const HuffmanTree& tree,
                        const PlainMatrices& m, std::atomic<bool>& stop, SignalProbe* probe) {
  const std::size_t n = s.size();
  const std::size_t dim = m.dim;
  const std::size_t in_rows = dim == 0 ? 0 : m.input.size() / dim;
  const std::size_t out_rows = dim == 0 ? 0 : m.output.size() / dim;
  const std::span<const uint64_t> levels(params.levels);
  const float lr_level = params.lr / mean_divisor(levels.size());
  const FastOps& fast = *m.fast;
  uint64_t widths = 0;
  std::size_t widest = 0;
  for (const uint64_t level : levels) {
    widths += level;
    widest = std::max(widest, static_cast<std::size_t>(level));
  }
  // Work per example as the pair-at-a-time routine counts it (its bound on a path's length, 32
  // nodes, and for CBOW each context word's sum and error).
  const uint64_t path_work = 32 * widths + 1;
  // Rows by index; in unlocked threaded mode the hottest are this thread's copies.
  const auto input_row = [&](uint64_t r) {
    return m.copies != nullptr ? m.copies->input.row(r) : m.input.data() + r * dim;
  };
  const auto output_row = [&](uint64_t r) {
    return m.copies != nullptr ? m.copies->output.row(r) : m.output.data() + r * dim;
  };
  // The paths stay in use across the probe, whose signal handlers may train another sentence on
  // this thread: such a nested call gathers into a buffer of its own.
  thread_local SentencePaths path_buffer;
  thread_local bool path_buffer_taken = false;
  thread_local std::vector<uint64_t> context_buffer;
  thread_local std::vector<float*> context_row_buffer;
  thread_local std::vector<float> hidden_buffer;
  SentencePaths nested_paths;
  SentencePaths& paths = path_buffer_taken ? nested_paths : *pinned(&path_buffer);
  struct Taken {
    bool* flag;
    ~Taken() {
      if (flag != nullptr) *flag = false;
    }
  } const taken{path_buffer_taken ? nullptr : &path_buffer_taken};
  path_buffer_taken = true;
  std::vector<uint64_t>& context = *pinned(&context_buffer);
  std::vector<float*>& context_rows = *pinned(&context_row_buffer);
  std::vector<float>& hidden = *pinned(&hidden_buffer);
  paths.reset();
  if (hidden.size() < widest) hidden.resize(widest);
  // Requests the tree's entries of positions [from, from + headers): their vectors' headers, and
  // for the first `data` of them their codes and nodes (through headers requested earlier).
  const auto request_entries = [&](std::size_t from, std::size_t headers, std::size_t data) {
    for (std::size_t p = from; p < std::min(n, from + headers); ++p) {
      if (s[p] >= tree.path_nodes.size() || s[p] >= tree.codes.size()) continue;
      __builtin_prefetch(&tree.path_nodes[s[p]]);
      __builtin_prefetch(&tree.codes[s[p]]);
      if (p >= from + data) continue;
      __builtin_prefetch(tree.path_nodes[s[p]].data());
      __builtin_prefetch(tree.codes[s[p]].data());
    }
  };
  // The sentence's first positions all at once: the draws below request each position's entries a
  // few positions ahead, which the first ones never are.
  request_entries(0, 16, 0);
  request_entries(0, 16, 16);

  // Skip-gram: every context position's path against the centre's row.
  const auto train_pairs = [&](std::size_t i, std::size_t start, std::size_t end) {
    const uint64_t center = s[i];
    float* a = center < in_rows ? input_row(center) : nullptr;
    for (std::size_t c = start; c < end; ++c) {
      if (c == i) continue;
      const uint32_t length = paths.length(c);
      if (a == nullptr || length == SentencePaths::kPairAtATime) {
        for (const uint64_t level : levels) {
          sg_softmax_step(m, tree, center, s[c], static_cast<std::size_t>(level), lr_level);
        }
        continue;
      }
      if (length > 0) {
        fast.path_levels(a, paths.rows(c), paths.labels(c), length, levels.data(), levels.size(),
                         lr_level);
      }
    }
  };
  // CBOW: the centre's path against the context rows' sum or mean.
  const auto train_context = [&](std::size_t i, std::size_t start, std::size_t end) {
    context.clear();
    context_rows.clear();
    bool fused = paths.length(i) != SentencePaths::kPairAtATime;
    for (std::size_t c = start; c < end; ++c) {
      if (c == i) continue;
      context.push_back(s[c]);
      fused = fused && s[c] < in_rows;
      context_rows.push_back(fused ? input_row(s[c]) : nullptr);
    }
    if (!fused) {
      for (const uint64_t level : levels) {
        cbow_softmax_step(m, tree, context, s[i], static_cast<std::size_t>(level), lr_level,
                          params.cbow_mean);
      }
      return;
    }
    if (paths.length(i) == 0) return;
    const float divisor = mean_divisor(context.size());
    fast.context_levels(context_rows.data(), context_rows.size(), paths.rows(i), paths.labels(i),
                        paths.length(i), levels.data(), levels.size(), lr_level, params.cbow_mean,
                        divisor, hidden.data());
  };

  // The position drawn last, not yet trained: its index and context range [start, end).
  struct Drawn {
    std::size_t i, start, end;
  };
  Drawn pending{};
  bool drawn = false;
  const auto flush = [&] {
    if (drawn && params.sg) train_pairs(pending.i, pending.start, pending.end);
    if (drawn && !params.sg) train_context(pending.i, pending.start, pending.end);
    drawn = false;
  };
  // Row components counted for the drawn positions since the probe was last asked (saturating).
  uint64_t work = 0;
  const auto draw = [&](std::size_t i, std::size_t start, std::size_t end) {
    // Positions before i - window belong to no later example, only perhaps to the drawn one.
    const std::size_t needed = i > params.window ? i - static_cast<std::size_t>(params.window) : 0;
    paths.forget_before(drawn ? std::min(needed, pending.start) : needed);
    // This position's paths (skip-gram: of its context words; CBOW: of the centre) are gathered and
    // its centre's row requested now, while the previous position trains, and the tree's entries of
    // the next positions to gather are requested. (The paths' rows are not: the top of the tree
    // stays in the first-level cache, and requests for the rest cost more than they save.)
    while (paths.filled() < (params.sg ? end : i + 1)) {
      paths.add(tree, s[paths.filled()], out_rows, output_row);
    }
    request_entries(paths.filled(), 8, 4);
    if (params.sg && s[i] < in_rows) kernel_detail::prefetch_for_write(input_row(s[i]), widest);
    const uint64_t examples = params.sg ? end - start - 1 : 1;
    const uint64_t context_work = params.sg ? 0 : (end - start - 1) * widths;
    uint64_t drawn_work = 0;
    if (__builtin_mul_overflow(examples, path_work, &drawn_work) ||
        __builtin_add_overflow(drawn_work, context_work, &drawn_work)) {
      drawn_work = ~uint64_t{0};
    }
    work = work + drawn_work < work ? ~uint64_t{0} : work + drawn_work;
    flush();
    pending = {i, start, end};
    drawn = true;
  };
  return drawn_positions(n, params.window, stream, stop, probe, work, draw, flush);
}

void sg_softmax_step(const SharedMatrix& input, const SharedMatrix& output,
                     const HuffmanTree& tree, uint64_t center, uint64_t context,
                     std::size_t level, float lr_level) {
  const Path path = path_of(tree, context);
  if (path.length == 0) return;
  const SharedRows out(output);
  const std::size_t n = level;
  const std::span<float> row = input.row_prefix(center, n);
  input.with_stripe(center, [&] {
    ScratchLease copy = take_hidden(n);
    copy_floats(copy.data(), row.data(), n);
    ScratchLease err = take_error(n);
    walk_path(copy.span(), out, path, n, err.span(), lr_level);
    // Nobody else can change the row while its stripe is held, so copy + err equals row + err.
    const float* c = copy.data();
    const float* e = err.data();
    for (std::size_t j = 0; j < n; ++j) row[j] = c[j] + e[j];
  });
}

void cbow_softmax_levels(const PlainMatrices& m, const HuffmanTree& tree,
                         std::span<const uint64_t> context_words, uint64_t center,
                         std::span<const uint64_t> levels, float lr_level, bool cbow_mean) {
  const bool fused = levels.size() > 1 && !kernel_detail::has_repeats(context_words) &&
                     std::find(levels.begin(), levels.end(), uint64_t{0}) == levels.end();
  if (!fused) {
    // A repeated word's row is final for the next width only after its last occurrence's error.
    for (const uint64_t level : levels) {
      cbow_softmax_step(m, tree, context_words, center, static_cast<std::size_t>(level), lr_level,
                        cbow_mean);
    }
    return;
  }
  const Path path = path_of(tree, center);
  if (path.length == 0) return;
  std::size_t widest = 0;
  for (const uint64_t level : levels) widest = std::max(widest, static_cast<std::size_t>(level));
  TARNIVEL_CHECK(widest <= m.dim, "prefix length exceeds vector length");
  kernel_detail::with_plain_rows(m, [&](const auto& in, const auto& out) {
    const float divisor = mean_divisor(context_words.size());
    ScratchLease hidden = take_hidden(widest);
    ScratchLease err = take_error(widest);
    auto n = static_cast<std::size_t>(levels[0]);
    for (const uint64_t c : context_words) add_into(hidden.span(), in.row(c), n);
    for (std::size_t l = 0; l < levels.size(); ++l) {
      n = static_cast<std::size_t>(levels[l]);
      const std::size_t next = l + 1 < levels.size() ? static_cast<std::size_t>(levels[l + 1]) : 0;
      if (cbow_mean) divide_by(hidden.span(), n, divisor);
      std::fill(err.data(), err.data() + n, 0.0f);
      walk_path(hidden.span(), out, path, n, err.span(), lr_level);
      // The words are distinct: a row is final for the next width once its own error is in, and
      // the next hidden sum still runs in list order.
      std::fill(hidden.data(), hidden.data() + next, 0.0f);
      for (const uint64_t c : context_words) {
        const std::span<float> row = in.row(c);
        spread_error(row, err.span(), n, cbow_mean, divisor);
        add_into(hidden.span(), row, next);
      }
    }
  });
}

void cbow_softmax_step(const PlainMatrices& m, const HuffmanTree& tree,
                       std::span<const uint64_t> context_words, uint64_t center,
                       std::size_t level, float lr_level, bool cbow_mean) {
  kernel_detail::with_plain_rows(m, [&](const auto& in, const auto& out) {
    cbow_softmax_sequential(in, out, tree, context_words, center, level, lr_level, cbow_mean);
  });
}

void cbow_softmax_step(const SharedMatrix& input, const SharedMatrix& output,
                       const HuffmanTree& tree, std::span<const uint64_t> context_words,
                       uint64_t center, std::size_t level, float lr_level, bool cbow_mean) {
  const Path path = path_of(tree, center);
  if (path.length == 0) return;
  const std::size_t n = level;
  const StripeGroups groups(context_words);
  ScratchLease hidden = take_hidden(n);
  // One lock per non-empty stripe; the hidden sum follows the grouped order.
  groups.for_each_group([&](const uint64_t* first, const uint64_t* last) {
    input.with_stripe(*first, [&] {
      for (const uint64_t* w = first; w != last; ++w) add_into(hidden.span(), input.row(*w), n);
    });
  });
  const float divisor = mean_divisor(context_words.size());
  if (cbow_mean) divide_by(hidden.span(), n, divisor);
  ScratchLease err = take_error(n);
  walk_path(hidden.span(), SharedRows(output), path, n, err.span(), lr_level);
  groups.for_each_group([&](const uint64_t* first, const uint64_t* last) {
    input.with_stripe(*first, [&] {
      for (const uint64_t* w = first; w != last; ++w) {
        spread_error(input.row(*w), err.span(), n, cbow_mean, divisor);
      }
    });
  });
}

}  // namespace tarnivel
