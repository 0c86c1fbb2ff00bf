// Card tool: the zemcard command table and its commands.
#include "core/commands.h"

#include <iterator>
#include <ostream>

#include "core/drives.h"
#include "platform/base.h"
#include "platform/drives.h"

namespace zem {

namespace {

using TCommandProc = int (*)(const std::vector<std::string>& Args, std::ostream& Out,
                             std::ostream& Err);

struct TCommand {
  const char* Name;
  const char* Synopsis;
  TCommandProc Proc;
};

int ListCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);
int HelpCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);

// Every command of the program; a new one (backup, restore, copy, format)
// is one more row here and one more procedure.
constexpr TCommand kCommands[] = {
    {"list", "list the removable drives with label, capacity and mount point", ListCommand},
    {"help", "show this text", HelpCommand},
};

void PrintUsage(std::ostream& Stream) {
  Stream << "Usage: zemcard <command>\n\nCommands:\n";
  for (const TCommand& Command : kCommands)
    Stream << "  " << Command.Name << std::string(10 - std::string(Command.Name).size(), ' ')
           << Command.Synopsis << "\n";
}

int ListCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  if (Args.size() > 1) {
    Err << "zemcard: list takes no arguments\n";
    PrintUsage(Err);
    return kExitUsage;
  }
  std::vector<std::string> Captions;
  ListRemovableDrives(Captions);
  if (Captions.empty()) {
    Out << "No removable drive found.\n";
    return kExitOk;
  }
  for (const std::string& Caption : Captions) {
    const std::string Letter = DriveLetterOf(Caption);
    if (Letter.empty()) continue;
    const std::string Label = DriveLabel(Letter[0]);
    const uint64_t Capacity = DriveCapacity(Letter);
    const auto Entry = platform::DriveTable().Find(Letter[0]);
    Out << Letter << ": \"" << Label << "\" ";
    if (Capacity == 0)
      Out << "(no card)";
    else
      Out << Capacity << " bytes (" << HumanSize(Capacity) << ")";
    Out << " at " << (Entry ? Entry->MountPoint : std::string("?")) << "\n";
  }
  return kExitOk;
}

int HelpCommand(const std::vector<std::string>&, std::ostream& Out, std::ostream&) {
  PrintUsage(Out);
  return kExitOk;
}

}  // namespace

std::string HumanSize(uint64_t Bytes) {
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  if (Bytes < 1000) return Format("%llu B", static_cast<unsigned long long>(Bytes));
  double Value = static_cast<double>(Bytes) / 1000.0;
  size_t Unit = 0;
  // Move up while the value would print as 1000.0 or more in this unit.
  while (Value >= 999.95 && Unit + 1 < std::size(kUnits)) {
    Value /= 1000.0;
    ++Unit;
  }
  return Format("%.1f %s", Value, kUnits[Unit]);
}

int RunCardCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  if (Args.empty()) {
    PrintUsage(Err);
    return kExitUsage;
  }
  for (const TCommand& Command : kCommands) {
    if (Args[0] != Command.Name) continue;
    try {
      return Command.Proc(Args, Out, Err);
    } catch (const Exception& E) {
      Err << "zemcard: " << E.Message() << "\n";
      return kExitFailure;
    }
  }
  Err << "zemcard: unknown command \"" << Args[0] << "\"\n";
  PrintUsage(Err);
  return kExitUsage;
}

}  // namespace zem
