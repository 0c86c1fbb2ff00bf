// Work files that must not outlive the process, registered by path: removed
// when it is ended by SIGINT, SIGTERM or SIGHUP while they are registered.
// A thin layer over the table of platform/signal_cleanup.h, for code that
// keeps a path rather than a registration object.
#pragma once

#include <string>

namespace zem::platform {

// Registers the native path of a work file (an unwrapped archive, a
// temporary image). When one of the three signals arrives, every path
// registered at that moment is unlinked, then the signal takes its course
// (platform/signal_cleanup.h); the first registration installs the handler.
// The table is shared and bounded (kSignalCleanupSlots); a path that finds
// no room, or is longer than PATH_MAX, is not held, and false says so.
// Registering a path twice holds it twice.
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
