#include "common/machine.hpp"

#include <sched.h>

#include <thread>

namespace tarnivel {

uint64_t logical_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<uint64_t>(CPU_COUNT(&set));
  return std::thread::hardware_concurrency();
}

std::string arch_line() {
#if defined(__x86_64__)
  const auto flag = [](bool value) { return value ? "true" : "false"; };
  __builtin_cpu_init();
  std::string runtime = std::string("sse4.2=") + flag(__builtin_cpu_supports("sse4.2")) +
                        ",avx=" + flag(__builtin_cpu_supports("avx")) +
                        ",avx2=" + flag(__builtin_cpu_supports("avx2")) +
                        ",fma=" + flag(__builtin_cpu_supports("fma")) +
                        ",avx512f=" + flag(__builtin_cpu_supports("avx512f"));
  return "arch=x86_64, simd_feature=sse2, simd_runtime=" + runtime;
#elif defined(__aarch64__)
  return "arch=aarch64, simd_feature=disabled, simd_runtime=neon=true";
#else
  return "arch=unknown, simd_feature=disabled, simd_runtime=none";
#endif
}

}  // namespace tarnivel
