// zemzip: archive commands from a terminal. Each command takes its
// arguments (without the program name), writes its results to Out and its
// messages to Err, and returns the exit status.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace zem {

// Exit statuses: 0 done, 1 the operation failed (the error's message is on
// Err), 2 the command line was not understood (usage on Err).
enum : int { ZipExitOk = 0, ZipExitFailed = 1, ZipExitUsage = 2 };

// Runs one command (ARCHIVE and DIR are native paths):
//   list [--sort name|date|size|packed|rate] ARCHIVE
//   extract [-P PASSWORD] [-d DIR] [-o|-n] [-j] ARCHIVE [PATTERN...]
//   test [-P PASSWORD] ARCHIVE
// Unknown commands and malformed arguments print the usage and return 2.
// The overwrite question of "extract" is read from In (a line starting
// with y or Y means yes); the overload without In reads standard input.
int RunZipCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                  std::ostream& Err);
int RunZipCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);

// The line under a failure's message that says what exactly was wrong (an
// archive error's detail, indented), when there is one.
void PrintDetail(std::ostream& Err, const std::string& Detail);

// The listing of one archive (see RunZipCommand); exposed for tests.
int ListArchive(const std::string& NativePath, const std::string& SortKey, std::ostream& Out,
                std::ostream& Err);

// Options of "extract".
struct TExtractOptions {
  std::string Password;
  std::string DestDir;  // native; empty: the current directory
  enum TOverwrite { AskUser, Always, Never } Overwrite = AskUser;
  bool JunkPaths = false;         // -j: no folders recreated
  std::vector<std::string> Patterns;  // '/' or '\' separated; none: every entry
};

// Extracts the chosen entries of an archive. Returns 0 only when every
// chosen file entry was written with a correct CRC; each failing entry is
// named on Err with its reason, and 1 is returned.
int ExtractArchive(const std::string& NativePath, const TExtractOptions& Options, std::istream& In,
                   std::ostream& Out, std::ostream& Err);

// Decompresses every entry without writing anything and checks the CRCs:
// one line per failing entry and "tested N entries, M failed" on Out.
// Returns 0 only when M is 0.
int TestArchive(const std::string& NativePath, const std::string& Password, std::ostream& Out,
                std::ostream& Err);

}  // namespace zem
