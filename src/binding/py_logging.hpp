#pragma once
// The one way training output reaches people: an INFO message on the "tarnivel" logger.
#include <string>

namespace tarnivel::py {

enum class LogResult { ok, interrupted };

// Emits `message` at INFO level on logging.getLogger("tarnivel"), configuring the logger once per
// process (a stderr handler with the time-stamped format) when it has no handler of its own. Takes the
// interpreter lock itself, so any thread may call it. A failure of the logging machinery is printed
// to stderr and otherwise ignored; a KeyboardInterrupt is reported as `interrupted` and, when
// `keep_error` is true, left set as the current Python exception for the caller to raise (the caller
// must then hold the interpreter lock); otherwise it is discarded.
LogResult log_info(const std::string& message, bool keep_error);

}  // namespace tarnivel::py
