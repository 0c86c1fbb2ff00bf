// zemzip: the archive component's commands from a terminal.
#include <iostream>
#include <string>
#include <vector>

#include "cli/zipcli/zip_commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  return zem::RunZipCommand(Args, std::cout, std::cerr);
}
