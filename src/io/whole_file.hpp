#pragma once
// Whole-file reads of the small files of a pair or checkpoint.
#include <cstdint>
#include <string>
#include <vector>

namespace tarnivel {

// The whole content of a regular file: ValueError "failed to read {name}: {error}" (also for a
// directory, a FIFO or any other file that is not regular).
std::vector<uint8_t> read_whole_file(const std::string& name);

}  // namespace tarnivel
