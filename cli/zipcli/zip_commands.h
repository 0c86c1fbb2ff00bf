// zemzip: archive commands from a terminal. Each command takes its
// arguments (without the program name), writes its results to Out and its
// messages to Err, and returns the exit status.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "cli/zipcli/zip_console.h"

namespace zem {

// Exit statuses: 0 done, 1 the operation failed or some entry did (named on
// Err), 2 the command line was not understood (usage on Err) or refused.
enum : int { ZipExitOk = 0, ZipExitFailed = 1, ZipExitUsage = 2 };

// Runs one command (ARCHIVE and DIR are native paths):
//   list [--sort name|date|size|packed|rate] [--tsv] ARCHIVE
//   extract [OPTIONS] ARCHIVE [PATTERN...]
//   test [OPTIONS] ARCHIVE
//   add [OPTIONS] ARCHIVE NAME...
// "--help", "-h" and "--version" (alone, or "-h" after a command) print on
// Out and return 0. Unknown commands and malformed arguments print the
// usage on Err and return 2. Term says which streams are terminals; the
// overloads without it have none, and read answers from In (std::cin when
// not given).
int RunZipCommand(const std::vector<std::string>& Args, const TZipTerminal& Term, std::ostream& Out,
                  std::ostream& Err);
int RunZipCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                  std::ostream& Err);
int RunZipCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);

// The line under a failure's message that says what exactly was wrong (an
// archive error's detail, indented), when there is one.
void PrintDetail(std::ostream& Err, const std::string& Detail);

// The listing of one archive: a table by default, tab-separated lines with
// Tsv (see README.md).
int ListArchive(const std::string& NativePath, const std::string& SortKey, bool Tsv,
                std::ostream& Out, std::ostream& Err);

// Options of "extract" and "test".
struct TExtractOptions {
  std::string Password;  // empty: none given (asked on a terminal when needed)
  std::string DestDir;   // native; empty: the current directory
  enum TOverwrite { AskUser, Always, Never } Overwrite = AskUser;
  bool JunkPaths = false;         // -j: no folders recreated
  std::vector<std::string> Patterns;  // '/' or '\' separated; none: every entry
  TVerbosity Verbosity = TVerbosity::Normal;
  int32_t Threads = 0;  // --threads: entries decoded at once; 0: the reader's default
};

// Extracts the chosen entries of an archive. Existing files kept (-n, or a
// "no" answer) are named on Err and counted as skipped. Returns 0 only when
// every other chosen file entry was written with a correct CRC; each failing
// entry is named on Err with its reason, and 1 is returned.
int ExtractArchive(const std::string& NativePath, const TExtractOptions& Options,
                   const TZipTerminal& Term, std::ostream& Out, std::ostream& Err);

// Decompresses every entry without writing anything and checks the CRCs:
// one line per failing entry and "tested N entries, M failed" on Out.
// Returns 0 only when M is 0.
int TestArchive(const std::string& NativePath, const TExtractOptions& Options,
                const TZipTerminal& Term, std::ostream& Out, std::ostream& Err);

}  // namespace zem
