// The terminal a command-line program runs on: which standard streams reach
// it, its width, and reading a secret without echoing it.
#pragma once

#include <string>

namespace zem::platform {

// True when standard input (output) is a terminal.
bool StdInIsConsole();
bool StdOutIsConsole();
// Columns of the terminal on standard error; 80 when it tells none.
int ConsoleWidth();
// Writes Prompt on standard error and reads one line from standard input
// with the terminal's echo turned off (restored before returning, a newline
// written in place of the one not echoed). Secret gets the line without its
// end. False at the end of input or when standard input is no terminal.
bool ReadConsoleSecret(const std::string& Prompt, std::string& Secret);

}  // namespace zem::platform
