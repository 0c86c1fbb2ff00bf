// zemcard: the card tool's commands from a terminal.
#include <iostream>
#include <string>
#include <vector>

#include "cli/cardcli/card_commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  return zem::RunCardCommand(Args, std::cin, std::cout, std::cerr);
}
