// Card tool: the text commands of the zemcard program, kept apart from its
// main so that they can be run against a fake drive table.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace zem {

// Exit codes of the commands.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Runs one command line without the program name: Args[0] is the command.
// In gives the answers to the terminal's questions (the form without In
// answers none: every question is declined).
// "list" prints one line per removable drive,
//   F: "CAMERA" 31914983424 bytes (31.9 GB) at /media/user/CAMERA
// with "(no card)" in place of the size when the drive holds none, or the
// line "No removable drive found." when there is no removable drive; it
// returns kExitOk. "help" prints the usage on Out and returns kExitOk.
// No command or an unknown one prints the usage on Err and returns
// kExitUsage. Errors raised by a command are printed on Err ("zemcard: "
// and the message) and give kExitFailure.
//
// The card commands take a CARD: a removable drive's letter ("F" or "F:"),
// its mount point, or "--folder DIR [--label L]", which enters the folder
// into the drive table as a removable drive for the command:
//   backup [--level none|fast|high] CARD IMAGE   (default fast)
//   restore [--yes] IMAGE CARD
//   copy [--yes] CARD
//   format [--yes] CARD
// They run the card operations with TConsoleWindowServices installed: the
// operations' messages on Out (errors on Err), the questions on Out with
// answers from In unless --yes, the progress on Err when Err is the
// process's standard error and a terminal. A folder card is emptied by
// restore, copy and format, so they need --yes there and refuse what
// platform::ErasureRefusal refuses (the home, temporary and system folders,
// a folder holding the image being restored). Usage errors give kExitUsage;
// a card without capacity ("No disk in the drive!"), a backup that skipped
// files, a restore or copy that did not complete (its reason shown as an
// error message), a card held by another operation or replaced meanwhile,
// and a format that did not complete give kExitFailure. A complete restore
// prints "Job complete!".
int RunCardCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);
int RunCardCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                   std::ostream& Err);

}  // namespace zem
