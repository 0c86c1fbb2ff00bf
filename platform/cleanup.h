// Work files that must not outlive the process: removed when it is ended by
// SIGINT, SIGTERM or SIGHUP while they are registered.
#pragma once

#include <string>

namespace zem::platform {

// Registers the native path of a work file (an unwrapped archive, a
// temporary image). When one of the three signals arrives, every path
// registered at that moment is unlinked, then the signal takes its course:
// a handler installed before this one is called, else the process ends by
// the signal as it would have. The handlers are installed on the first
// registration. At most kMaxCleanupPaths paths are held at once; further
// ones (and paths longer than PATH_MAX) are not held, and false says so.
// Registering a path twice holds it twice.
constexpr int kMaxCleanupPaths = 32;
bool RegisterCleanupPath(const std::string& NativePath);
// Forgets one registration of the path (the file itself is left alone).
void UnregisterCleanupPath(const std::string& NativePath);

// CreateUniqueFileA and RegisterCleanupPath as one step: the three signals
// are held back while the file is made and registered, so no signal can end
// the process between the two and leave the file behind. Returns the
// Windows-style name, or "" (the last error set) when no file was made.
std::string CreateCleanupFileA(const std::string& PathName, const std::string& Prefix,
                               const std::string& Extension);

}  // namespace zem::platform
