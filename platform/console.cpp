// The console: whether standard error reaches a terminal.
#include <unistd.h>

#include "platform/winapi.h"

namespace zem::platform {

bool StdErrIsConsole() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace zem::platform
