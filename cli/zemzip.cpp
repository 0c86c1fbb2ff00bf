// zemzip: the archive component's commands from a terminal.
#include <iostream>
#include <string>
#include <vector>

#include "cli/zipcli/zip_commands.h"
#include "platform/console.h"
#include "platform/signal_cleanup.h"
#include "platform/winapi.h"

int main(int argc, char** argv) {
  // A work file of an interrupted rebuild goes with the process.
  zem::platform::InstallSignalCleanup();
  std::vector<std::string> Args(argv + 1, argv + argc);
  zem::TZipTerminal Term;
  Term.In = &std::cin;
  Term.InIsTerminal = zem::platform::StdInIsConsole();
  Term.ErrIsTerminal = zem::platform::StdErrIsConsole();
  Term.OutIsTerminal = zem::platform::StdOutIsConsole();
  Term.Width = zem::platform::ConsoleWidth();
  Term.ReadSecret = zem::platform::ReadConsoleSecret;
  return zem::RunZipCommand(Args, Term, std::cout, std::cerr);
}
