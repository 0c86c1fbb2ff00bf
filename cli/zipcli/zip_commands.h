// zemzip: archive commands from a terminal. Each command takes its
// arguments (without the program name), writes its results to Out and its
// messages to Err, and returns the exit status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zem {

// Exit statuses: 0 done, 1 the operation failed (the error's message is on
// Err), 2 the command line was not understood (usage on Err).
enum : int { ZipExitOk = 0, ZipExitFailed = 1, ZipExitUsage = 2 };

// Runs "list [--sort name|date|size|packed|rate] ARCHIVE" (ARCHIVE a native
// path). Unknown commands and malformed arguments print the usage and
// return 2.
int RunZipCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);

// The listing of one archive (see RunZipCommand); exposed for tests.
int ListArchive(const std::string& NativePath, const std::string& SortKey, std::ostream& Out,
                std::ostream& Err);

}  // namespace zem
