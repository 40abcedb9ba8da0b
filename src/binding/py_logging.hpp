#pragma once
// The one way training output reaches people: an INFO message on the "tarnivel" logger.
#include <string>

namespace tarnivel::py {

// Emits `message` at INFO level on logging.getLogger("tarnivel"), configuring the logger once per
// process (a stderr handler with the time-stamped format) when it has no handler of its own. Takes the
// interpreter lock itself, so any thread may call it. A failure of the logging machinery is printed
// to stderr and otherwise ignored; a KeyboardInterrupt (or SystemExit) is thrown as PythonError.
void log_info(const std::string& message);

}  // namespace tarnivel::py
