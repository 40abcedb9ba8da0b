#include "common/error.hpp"

namespace tarnivel {

void internal_error(const std::string& message) { throw InternalError(message); }

}  // namespace tarnivel
