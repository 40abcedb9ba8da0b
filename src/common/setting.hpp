#pragma once
// Numbers read from environment variables.
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace tarnivel {

// The value of environment variable `name` when it is a plain decimal number (digits only: no sign,
// spaces or other characters) of at most `max`; nothing when it is unset, empty or anything else.
inline std::optional<uint64_t> plain_decimal_setting(const char* name, uint64_t max) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > max) return std::nullopt;
  }
  return value;
}

}  // namespace tarnivel
