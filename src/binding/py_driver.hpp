#pragma once
// The training driver: vocabulary pass, output setup, token pass, setup log lines, epochs in
// sequential or threaded mode, and the conversion of stops and Python errors into the call's result.
#include <cstdint>
#include <optional>

#include "model/model.hpp"
#include "binding/py_common.hpp"

namespace tarnivel::py {

// Overrides of one train call (all optional).
struct TrainCall {
  std::optional<uint64_t> epochs;
  PyObject* progress = nullptr;  // borrowed; NULL when absent
  std::optional<bool> verbose;
  std::optional<double> progress_interval;
};

// Runs a whole training call on `model` with the interpreter lock held on entry and exit.
// Throws PyErrorSet (with the Python exception set) or a native exception on failure; the model keeps
// everything done before the failure.
void train_model(Model& model, PyObject* corpus, const TrainCall& call);

}  // namespace tarnivel::py
