#pragma once
// What the machine offers, for the setup log lines.
#include <cstdint>
#include <string>

namespace tarnivel {

// Logical processors this process may run on.
uint64_t logical_cores();

// "arch=..., simd_feature=..., simd_runtime=...": the processor family of the build, the vector
// extension the build relies on, and the extensions the processor offers at run time.
std::string arch_line();

}  // namespace tarnivel
