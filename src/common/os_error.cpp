#include "common/os_error.hpp"

#include <string.h>

namespace tarnivel {

namespace {

// strerror_r comes in two flavours; overloads pick whichever the C library declares.
[[maybe_unused]] const char* pick_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* pick_text(const char* result, const char*) { return result; }

}  // namespace

std::string os_error_text(int err) {
  char buffer[256] = {};
  const char* text = pick_text(strerror_r(err, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace tarnivel
