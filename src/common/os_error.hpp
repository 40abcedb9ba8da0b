#pragma once
// Formatting of operating-system errors for user-facing messages.
#include <string>

namespace tarnivel {

// The platform's text for `err` followed by " (os error {err})",
// e.g. "No such file or directory (os error 2)".
std::string os_error_text(int err);

}  // namespace tarnivel
