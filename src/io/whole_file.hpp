#pragma once
// Whole-file reads of the small files of a pair or checkpoint, and the checks on a matrix file that
// stays open while it is mapped. Every failure is ValueError "failed to read {name}: {error}".
#include <cstdint>
#include <string>
#include <vector>

namespace tarnivel {

// The whole content of a regular file: ValueError "failed to read {name}: {error}" (also for a
// directory, a FIFO or any other file that is not regular).
std::vector<uint8_t> read_whole_file(const std::string& name);

// The file `name`, opened read-only.
int open_for_reading(const std::string& name);

// The length of the file open as `fd`, after checking that `name` still names that file.
uint64_t check_same_file(int fd, const std::string& name);

// Refuses a file open as `fd` that is now shorter than `needed` bytes (cut after it was mapped).
void check_file_length(int fd, const std::string& name, uint64_t needed);

}  // namespace tarnivel
