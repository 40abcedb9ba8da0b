#pragma once
// A training call from Python: the call's arguments, the Python corpus adapter and the observer
// that connects the core driver to logging, the progress callable, signals and the interpreter lock.
#include <cstdint>
#include <optional>

#include "binding/py_common.hpp"
#include "model/model.hpp"

namespace tarnivel::py {

// Overrides of one train call (all optional).
struct TrainCall {
  std::optional<uint64_t> epochs;
  PyObject* progress = nullptr;  // borrowed; NULL when absent
  std::optional<bool> verbose;
  std::optional<double> progress_interval;
};

// Runs a whole training call on `model` with the interpreter lock held on entry and exit.
// Throws on failure (the boundary raises it); the model keeps everything done before the failure.
void train_model(Model& model, PyObject* corpus, const TrainCall& call);

}  // namespace tarnivel::py
