// The terminal around a zemzip command: questions, secrets asked without
// echo, and where the progress line and the closing summary may go.
#pragma once

#include <functional>
#include <istream>
#include <string>

#include "cli/common/progress_meter.h"

namespace zem {

// The terminal around one command. The in-process runner of the tests has
// no terminal; the program fills this from the real standard streams.
struct TZipTerminal {
  std::istream* In = nullptr;  // answers to questions (overwrite, new names)
  bool InIsTerminal = false;   // passwords may be asked
  bool ErrIsTerminal = false;  // progress line and closing summary
  bool OutIsTerminal = false;  // the summary then stands for the count line
  int Width = 80;
  // Asks for a secret without echo; false at the end of input.
  std::function<bool(const std::string& Prompt, std::string& Secret)> ReadSecret;
};

}  // namespace zem
