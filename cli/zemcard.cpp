// zemcard: the card tool's commands from a terminal.
#include <iostream>
#include <string>
#include <vector>

#include "cli/cardcli/card_commands.h"
#include "platform/signal_cleanup.h"

int main(int argc, char** argv) {
  // The writer's work files beside an image are removed if a signal ends
  // the run (the card operations' own work files register as they go).
  zem::platform::InstallSignalCleanup();
  std::vector<std::string> Args(argv + 1, argv + argc);
  return zem::RunCardCommand(Args, std::cin, std::cout, std::cerr);
}
