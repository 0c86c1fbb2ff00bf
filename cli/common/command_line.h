// The command line of one command of zemzip or zemcard: options anywhere
// among the names, "--" ending them, short options bundled ("-qo"),
// "--name=value".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zem {

// One option a command knows: its spellings ("-P", "--password") and
// whether it takes a value (the next argument, or after '=' in a long one).
struct TOptionSpec {
  std::vector<std::string> Names;
  bool TakesValue = false;
};

struct TParsedLine {
  // The options as met, each under its first spelling, with its value.
  std::vector<std::pair<std::string, std::string>> Options;
  std::vector<std::string> Operands;
  bool Help = false;   // -h or --help anywhere before "--"
  std::string Error;   // not empty: the line is wrong ("unknown option -Q")

  bool Has(const std::string& Name) const;
  // The value of the last occurrence; Default when absent.
  std::string Value(const std::string& Name, const std::string& Default = "") const;
};

// Parses Args from index First on. "-" alone is an operand.
TParsedLine ParseCommandLine(const std::vector<std::string>& Args, size_t First,
                             const std::vector<TOptionSpec>& Specs);

// The value of --threads in Threads (0 when the option is absent); false,
// with Why in words, for anything but a whole number from 1 to Most.
bool ThreadsOption(const TParsedLine& Line, int32_t Most, int32_t& Threads, std::string& Why);

}  // namespace zem
