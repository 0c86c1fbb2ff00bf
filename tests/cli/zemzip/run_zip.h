// Runs a zemzip command line in-process and keeps its exit status and output.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/zipcli/zip_commands.h"

namespace zem::test {

struct TZipRun {
  int Code;
  std::string Out, Err;
};

inline TZipRun RunZip(const std::vector<std::string>& Args) {
  std::ostringstream Out, Err;
  const int Code = RunZipCommand(Args, Out, Err);
  return {Code, Out.str(), Err.str()};
}

}  // namespace zem::test
