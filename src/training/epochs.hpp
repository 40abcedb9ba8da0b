#pragma once
// The data phase of one epoch, sequential or threaded (the driver's own parts).
#include <atomic>
#include <cstdint>

#include "model/model.hpp"
#include "training/driver.hpp"
#include "training/progress.hpp"
#include "weights/shared_matrix.hpp"

namespace tarnivel {

// Both matrices of a threaded call in shared wrappers, moved back into the model on every exit.
class SharedWeights {
 public:
  explicit SharedWeights(Model& model);
  ~SharedWeights();
  SharedWeights(const SharedWeights&) = delete;
  SharedWeights& operator=(const SharedWeights&) = delete;
  const SharedMatrix& input() const { return input_; }
  const SharedMatrix& output() const { return output_; }

 private:
  Model& model_;
  SharedMatrix input_;
  SharedMatrix output_;
};

// What an epoch's data phase works with.
struct EpochContext {
  Model& model;
  CorpusSource& source;
  TrainObserver& observer;
  const CallOptions& options;
  const TrainParams& params;
  const ProgressPlan& plan;
  std::atomic<bool>& stop;
};

// One sequential epoch on the model's own matrices.
void sequential_epoch(const EpochContext& ctx);

// One threaded epoch on the shared matrices. Returns the tokens the progress counter saw (0
// without one).
uint64_t threaded_epoch(const EpochContext& ctx, const SharedWeights& weights);

}  // namespace tarnivel
