// What the zemzip commands share: their help texts, the options every
// command reading or writing entries takes, and the password sources.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/zipcli/zip_console.h"
#include "cli/common/command_line.h"

namespace zem {

// The help of one command ("" for the program's), as --help prints it.
const std::string& HelpText(const std::string& Command);
// "zemzip: Why" and the command's usage lines on Err; returns ZipExitUsage.
int UsageError(const std::string& Command, const std::string& Why, std::ostream& Err);

// A name pattern of the command line ("DCIM/*.jpg", "a:b.txt") in the form
// of entry names: each '/'-separated piece escaped as a Linux name is
// (platform::NameFromNative), its '*' and '?' kept as wildcards.
std::string EntryPattern(const std::string& Native);

// -q and -v.
TVerbosity VerbosityOf(const TParsedLine& Line);

// The password of a command from -P, --password-file or (for add -e) the
// terminal, asked twice. At most one source may be given. False with Error
// set when the sources clash, the file cannot be read, or the terminal
// answers are missing, empty or differ.
bool PasswordOf(const TParsedLine& Line, const TZipTerminal& Term, std::string& Password,
                std::string& Error);

}  // namespace zem
