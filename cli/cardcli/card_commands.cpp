// Card tool: the zemcard command table and its commands.
#include "cli/cardcli/card_commands.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "archive/writer/arc_zip.h"
#include "cli/cardcli/console_services.h"
#include "cli/common/command_line.h"
#include "cli/common/progress_meter.h"
#include "core/card_ops.h"
#include "core/drives.h"
#include "core/image.h"
#include "platform/base.h"
#include "platform/card_guard.h"
#include "platform/console.h"
#include "platform/drives.h"
#include "platform/folder_drives.h"
#include "platform/winapi.h"

#ifndef ZEM_VERSION
#define ZEM_VERSION "unknown"
#endif

namespace zem {

namespace {

struct TCardOptions;

using TCommandProc = int (*)(const TCardOptions& Options, std::istream& In, std::ostream& Out,
                             std::ostream& Err);

struct TCommand {
  const char* Name;
  TCommandProc Proc;
};

int ListCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err);
int HelpCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err);
int BackupCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err);
int RestoreCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err);
int CopyCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err);
int FormatCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err);
int EjectCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err);

// Every command of the program, with its help (its usage lines up to the
// first empty line).
struct TCommandHelp {
  const char* Name;
  const char* Summary;
  const char* Help;
};

constexpr char kCardText[] =
    "CARD is a drive letter from zemcard list (F or F:), the mount point of a\n"
    "listed removable volume, or --folder DIR [--label L]: a folder used as the\n"
    "card.\n";

constexpr char kQuietVerbose[] =
    "  -q, --quiet          no progress line, no summary, no completion message\n"
    "  -v, --verbose        name every file as it is processed\n";

constexpr TCommandHelp kHelps[] = {
    {"list", "list the removable drives with label, capacity and mount point",
     "usage: zemcard list\n"
     "\n"
     "Prints one line per removable drive: letter, label, capacity, mount point.\n"},
    {"backup", "back a card up into an image",
     "usage: zemcard backup [--level none|fast|high] [--threads N] [-q|-v] CARD IMAGE\n"
     "\n"
     "Packs every file of CARD into the backup image IMAGE (replaced if it exists).\n"
     "  --level LEVEL        none stores, fast (default) and high compress\n"
     "  --threads N          pack up to N files at once (default: the processors\n"
     "                       available; 1: one after the other)\n"},
    {"restore", "format a card and restore an image onto it",
     "usage: zemcard restore [--yes] [-q|-v] [--threads N] IMAGE CARD\n"
     "\n"
     "Tests IMAGE, checks that its files fit CARD, formats CARD and writes the\n"
     "files back. Nothing is erased when the image is damaged or too big.\n"
     "  -y, --yes            format without asking (needed for a --folder card)\n"
     "  --threads N          test and write N files at once (1 to 64; default:\n"
     "                       one per processor available)\n"},
    {"copy", "copy a card onto another put in the same drive",
     "usage: zemcard copy [--yes] [-q|-v] [--threads N] CARD\n"
     "\n"
     "Reads CARD into a temporary image, asks for the other card (Enter; the end\n"
     "of input cancels), then restores the image onto it.\n"
     "  -y, --yes            no questions (needed for a --folder card)\n"
     "  --threads N          test and write N files at once (1 to 64; default:\n"
     "                       one per processor available)\n"},
    {"format", "erase every file of a card, keeping its label",
     "usage: zemcard format [--yes] CARD\n"
     "\n"
     "Gives CARD a new empty file system with its label (or empties it).\n"
     "  -y, --yes            format without asking (needed for a --folder card)\n"},
    {"eject", "unmount a card (and power its drive off) so it can be pulled",
     "usage: zemcard eject CARD\n"
     "\n"
     "Unmounts CARD and powers its drive off where the drive allows it.\n"},
    {"help", "show this text, or the help of a command",
     "usage: zemcard help [COMMAND]\n"},
};

constexpr char kExitText[] =
    "Exit status: 0 success; 1 the operation failed, was cancelled or left files\n"
    "out (each named on standard error); 2 the command line was wrong or the\n"
    "card was refused.\n";

const TCommandHelp* FindHelp(const std::string& Name) {
  for (const TCommandHelp& H : kHelps)
    if (Name == H.Name) return &H;
  return nullptr;
}

bool TakesCard(const std::string& Command) {
  return Command != "list" && Command != "help";
}

bool WorksOnFiles(const std::string& Command) {
  return Command == "backup" || Command == "restore" || Command == "copy";
}

// The help of one command ("" for the program's), as --help prints it.
std::string HelpText(const std::string& Command) {
  std::string Text;
  if (const TCommandHelp* H = FindHelp(Command)) {
    Text = H->Help;
    if (WorksOnFiles(Command)) Text += kQuietVerbose;
    if (TakesCard(Command)) Text += std::string("\n") + kCardText;
    if (Command != "help") Text += std::string("\n") + kExitText;
    return Text;
  }
  Text = "usage: zemcard COMMAND [OPTIONS] ARGUMENTS...\n\nCommands:\n";
  for (const TCommandHelp& C : kHelps)
    Text += "  " + std::string(C.Name) + std::string(10 - std::string(C.Name).size(), ' ') +
            C.Summary + "\n";
  Text += "\n\"zemcard COMMAND --help\" shows the options of a command. Options may come\n"
          "before or after the names; \"--\" ends them.\n"
          "\n"
          "  -h, --help   this text\n"
          "  --version    the program's name and version\n"
          "\n";
  Text += kCardText;
  Text += "Restore, copy and format erase the card: on a folder they need --yes.\n\n";
  Text += kExitText;
  return Text;
}

// The usage lines of a help text: from its start to the first empty line.
std::string UsageLines(const std::string& Help) { return Help.substr(0, Help.find("\n\n") + 1); }

void PrintUsage(std::ostream& Stream, const std::string& Command = std::string()) {
  Stream << UsageLines(HelpText(Command));
  if (!Command.empty())
    Stream << "\"zemcard " << Command << " --help\" tells more.\n";
  else
    Stream << "\"zemcard --help\" lists the commands.\n";
}

constexpr TCommand kCommands[] = {
    {"list", ListCommand},     {"backup", BackupCommand}, {"restore", RestoreCommand},
    {"copy", CopyCommand},     {"format", FormatCommand}, {"eject", EjectCommand},
    {"help", HelpCommand},
};

// ---- Command lines --------------------------------------------------------------

// A usage error: its text goes to Err, followed by the usage unless the
// command line was well formed but refused; kExitUsage either way.
struct TUsageError {
  std::string Text;
  bool ShowUsage = true;
};

struct TCardOptions {
  std::string Command;
  std::vector<std::string> Positional;
  std::optional<std::string> Level;
  std::optional<std::string> Folder;
  std::optional<std::string> Label;
  bool Yes = false;
  TVerbosity Verbosity = TVerbosity::Normal;
  std::optional<int32_t> Threads;  // --threads: entries extracted at once
};

// The options a command takes besides -h and --help.
std::vector<TOptionSpec> SpecsOf(const std::string& Command) {
  if (Command == "list" || Command == "help") return {};
  std::vector<TOptionSpec> Specs = {{{"--folder"}, true}, {{"--label"}, true}};
  if (WorksOnFiles(Command)) Specs.insert(Specs.end(), {{{"-q", "--quiet"}}, {{"-v", "--verbose"}}});
  if (Command == "backup") Specs.insert(Specs.end(), {{{"--level"}, true}, {{"--threads"}, true}});
  if (Command == "restore" || Command == "copy" || Command == "format")
    Specs.push_back({{"-y", "--yes"}});
  if (Command == "restore" || Command == "copy") Specs.push_back({{"--threads"}, true});
  return Specs;
}

TCardOptions OptionsOf(const std::string& Command, const TParsedLine& Line) {
  if (!Line.Error.empty()) throw TUsageError{Line.Error};
  TCardOptions O;
  O.Command = Command;
  O.Positional = Line.Operands;
  if (Line.Has("--level")) O.Level = Line.Value("--level");
  if (Line.Has("--folder")) O.Folder = Line.Value("--folder");
  if (Line.Has("--label")) O.Label = Line.Value("--label");
  O.Yes = Line.Has("-y");
  if (Line.Has("-q") && Line.Has("-v")) throw TUsageError{"-q and -v exclude each other"};
  O.Verbosity = Line.Has("-q") ? TVerbosity::Quiet
                : Line.Has("-v") ? TVerbosity::Verbose
                                 : TVerbosity::Normal;
  if (O.Label && !O.Folder) throw TUsageError{"--label goes with --folder"};
  int32_t Threads = 0;
  std::string Why;
  if (!ThreadsOption(Line, TArcZip::kMaxThreads, Threads, Why)) throw TUsageError{Why};
  if (Threads > 0) O.Threads = Threads;
  return O;
}

int ListCommand(const TCardOptions& O, std::istream&, std::ostream& Out, std::ostream&) {
  if (!O.Positional.empty()) throw TUsageError{"list takes no arguments"};
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

int HelpCommand(const TCardOptions& O, std::istream&, std::ostream& Out, std::ostream&) {
  if (O.Positional.size() > 1) throw TUsageError{"help takes one command at most"};
  const std::string Command = O.Positional.empty() ? std::string() : O.Positional[0];
  if (!Command.empty() && FindHelp(Command) == nullptr)
    throw TUsageError{"unknown command \"" + Command + "\""};
  Out << HelpText(Command);
  return kExitOk;
}

// ---- Card commands ------------------------------------------------------------

// The card as a drive letter. A folder card is entered into the drive table
// for the life of this object.
class TCardDrive {
 public:
  // Resolves Name (a letter or a mount point) or the folder of Options.
  // Raises TUsageError when it names no removable drive.
  TCardDrive(const TCardOptions& Options, const std::string& Name) {
    if (Options.Folder) {
      FFolder = std::make_unique<platform::TFolderDriveScope>(*Options.Folder,
                                                              Options.Label.value_or(""));
      if (FFolder->MountPoint().empty())
        throw TUsageError{*Options.Folder + ": no such folder", false};
      if (FFolder->Letter() == 0) throw TUsageError{"no free drive letter for the folder", false};
      FLetter = FFolder->Letter();
      return;
    }
    std::vector<std::string> Captions;
    ListRemovableDrives(Captions);
    const bool LetterLike = (Name.size() == 1 || (Name.size() == 2 && Name[1] == ':')) &&
                            std::isalpha(static_cast<unsigned char>(Name[0]));
    const std::string Real = LetterLike ? std::string() : platform::RealFolderPath(Name);
    for (const std::string& Caption : Captions) {
      const std::string Letter = DriveLetterOf(Caption);
      if (Letter.empty()) continue;
      if (LetterLike) {
        if (std::toupper(static_cast<unsigned char>(Name[0])) == Letter[0]) FLetter = Letter[0];
      } else if (!Real.empty()) {
        const auto Entry = platform::DriveTable().Find(Letter[0]);
        if (Entry && platform::RealFolderPath(Entry->MountPoint) == Real) FLetter = Letter[0];
      }
      if (FLetter != 0) return;
    }
    throw TUsageError{Name + " is not a removable drive of zemcard list (a folder needs --folder)",
                      false};
  }

  char Letter() const { return FLetter; }
  std::string Root() const { return std::string(1, FLetter) + ":\\"; }
  bool IsFolder() const { return FFolder != nullptr; }
  const std::string& Folder() const { return FFolder->MountPoint(); }

 private:
  std::unique_ptr<platform::TFolderDriveScope> FFolder;
  char FLetter = 0;
};

// The checks before a command empties a folder card: --yes, then the
// refusals every card operation makes (platform::ErasureRefusal: the home,
// temporary and system folders, and for restore the folder holding the
// image ImageNative).
void CheckFolderToEmpty(const TCardDrive& Card, const TCardOptions& Options, const char* Command,
                        const std::string& ImageNative = std::string()) {
  if (!Card.IsFolder()) return;
  const std::string& F = Card.Folder();
  if (!Options.Yes)
    throw TUsageError{std::string(Command) + " empties the folder " + F + ": add --yes", false};
  const std::string Why = platform::ErasureRefusal(F, ImageNative);
  if (!Why.empty()) throw TUsageError{"refusing to empty " + F + ": " + Why, false};
}

// An entry's name as the card shows it ("DCIM/100/a.jpg").
std::string Slashed(std::string Name) {
  for (char& C : Name)
    if (C == '\\') C = '/';
  return Name;
}

// The component as the window sets it up, with terminal services, and
// what a command shows on a terminal while it works: the progress line
// (bytes done of the total, speed, time left, the current file) on standard
// error when it is a terminal, one line per file with -v, and the summary
// at the end. -q leaves out all of it and the completion messages.
class TCardSession {
 public:
  TCardSession(std::istream& In, std::ostream& Out, std::ostream& Err, const TCardOptions& O)
      : FOut(Out), FErr(Err), FVerbosity(O.Verbosity),
        FTerminal(&Err == &std::cerr && platform::StdErrIsConsole()),
        FStart(std::chrono::steady_clock::now()) {
    auto Owned = std::make_unique<TConsoleWindowServices>(In, Out, Err, O.Yes,
                                                          O.Verbosity == TVerbosity::Quiet);
    Services = Owned.get();
    Previous = platform::InstallWindowServices(std::move(Owned));
    ConfigureCardComponent(Zip);
    if (O.Threads) Zip.SetThreads(*O.Threads);
    NewMeter();
    Zip.OnZipComplete = [](TObject*, int32_t) {
      platform::WindowServices().MessageBox(nullptr, kMsgJobComplete, kTitleMessage,
                                            platform::MB_OK);
    };
    Zip.OnInCompleteZip = [](TObject*, TIncompleteZipMode&) {
      platform::WindowServices().MessageBox(nullptr, kMsgJobIncomplete, kTitleError,
                                            platform::MB_OK);
    };
    // Packing: the files of the card go into the archive.
    Zip.OnStartZipInfo = [this](TObject*, int32_t, int64_t Total, TEndCentral&, bool&) {
      StartPhase(Total);
    };
    Zip.OnStartZip = [this](TObject*, const std::string&, TZipHeaderInfo& E, bool&) {
      FEntry = &E;
      FMeter->SetFile(Slashed(E.FullName()));
    };
    Zip.OnEndZip = [this](TObject*, const std::string&, int32_t, int32_t, int32_t) {
      if (FEntry == nullptr || FEntry->FileName().empty()) return;
      CountFile(FEntry->FullName(), FEntry->UncompressedSize(), FEntry->CompressedSize(), "added: ");
      FEntry = nullptr;
    };
    // Testing the image, then writing the files onto the card (after the
    // format): only the files written count.
    Zip.OnStartUnZipInfo = [this](TObject*, int32_t, int64_t Total, bool&) { StartPhase(Total); };
    Zip.OnStartUnZip = [this](TObject*, int32_t I, std::string&, bool&) {
      FMeter->SetFile(Slashed(Zip.EntryHeader(I).FullName()));
    };
    Zip.OnEndUnZip = [this](TObject*, int32_t I, const std::string&) {
      const TZipHeaderInfo& E = Zip.EntryHeader(I);
      if (!Services->Formatted() || E.FileName().empty()) return;
      CountFile(E.FullName(), E.UncompressedSize(), E.CompressedSize(), "restored: ");
    };
    Zip.OnTotalPercentDone = [this](TObject*, int32_t Percent) {
      FMeter->Update(std::max<int64_t>(FPhaseBytes, Percent * FPhaseTotal / 100));
    };
    Timer.SetEnabled(false);
    Timer.SetInterval(50);
  }
  ~TCardSession() {
    FMeter->Clear();
    Services->SetMeter(nullptr);
    platform::InstallWindowServices(std::move(Previous));
  }

  // The window's first step: a drive without capacity holds no card.
  bool HasCard(char Letter) {
    if (DriveCapacity(std::string(1, Letter)) != 0) return true;
    platform::WindowServices().MessageBox(nullptr, kMsgNoDisk, kTitleError, platform::MB_OK);
    return false;
  }

  // Erases the progress line before a message of the command's own.
  void Clear() { FMeter->Clear(); }

  // The closing line on a terminal: "backed up 12 files, 40 MB -> 38 MB in
  // 3.1 s", "restored 12 files, 40 MB in 2.0 s"; nothing under -q or
  // without a terminal.
  void Summary(const char* What, bool Packed) {
    FMeter->Clear();
    if (!FTerminal || FVerbosity == TVerbosity::Quiet) return;
    const double Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
    FErr << What << ' ' << FFiles << (FFiles == 1 ? " file, " : " files, ") << SizeText(FBytes);
    if (Packed) FErr << " \u2192 " << SizeText(FPacked);
    FErr << " in " << DurationText(Seconds) << '\n';
  }

  TConsoleWindowServices* Services = nullptr;
  std::unique_ptr<platform::TWindowServices> Previous;
  TArcZip Zip;
  TTimer Timer;

 private:
  void NewMeter() {
    FMeter = std::make_unique<TProgressMeter>(FErr, FTerminal && FVerbosity != TVerbosity::Quiet,
                                              platform::ConsoleWidth());
    Services->SetMeter(FMeter.get());
  }
  // A pass over the files starts: a new line and new counts.
  void StartPhase(int64_t Total) {
    FMeter->Clear();
    NewMeter();
    FPhaseTotal = Total;
    FPhaseBytes = 0;
    FFiles = 0;
    FBytes = FPacked = 0;
    FMeter->SetTotal(Total);
    FMeter->Update(0);
  }
  void CountFile(const std::string& Name, uint64_t Size, uint64_t Packed, const char* Verb) {
    ++FFiles;
    FBytes += static_cast<int64_t>(Size);
    FPacked += static_cast<int64_t>(Packed);
    FPhaseBytes += static_cast<int64_t>(Size);
    if (FVerbosity == TVerbosity::Verbose) {
      FMeter->Clear();
      FOut << Verb << Slashed(Name) << '\n' << std::flush;
    }
  }

  std::ostream& FOut;
  std::ostream& FErr;
  TVerbosity FVerbosity;
  bool FTerminal;
  std::chrono::steady_clock::time_point FStart;
  std::unique_ptr<TProgressMeter> FMeter;
  const TZipHeaderInfo* FEntry = nullptr;
  int64_t FPhaseTotal = 0, FPhaseBytes = 0;
  int64_t FFiles = 0, FBytes = 0, FPacked = 0;
};

// kExitOk for a complete restore; every failure has been shown already
// (an "Error!" message on Err).
int RestoreExit(const TRestoreOutcome& R) { return R.Complete() ? kExitOk : kExitFailure; }

int BackupCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err) {
  const size_t Want = O.Folder ? 1 : 2;
  if (O.Positional.size() != Want) throw TUsageError{"backup takes CARD and IMAGE"};
  int32_t Choice = kCompressFast;
  if (O.Level) {
    if (*O.Level == "none")
      Choice = kCompressNone;
    else if (*O.Level == "fast")
      Choice = kCompressFast;
    else if (*O.Level == "high")
      Choice = kCompressHigh;
    else
      throw TUsageError{"--level is none, fast or high"};
  }
  const TCardDrive Card(O, O.Folder ? std::string() : O.Positional[0]);
  const std::string Image = platform::FromNativePath(O.Positional.back());
  TCardSession S(In, Out, Err, O);
  if (!S.HasCard(Card.Letter())) return kExitFailure;
  bool Complete = false;
  try {
    // A backup that left anything out has said so, with the list.
    Complete = BackupCard(Image, Card.Root(), S.Zip, Choice).Complete();
  } catch (const Exception& E) {
    // Say what the failure left at IMAGE: nothing, or the archive that
    // could not be turned into an image.
    S.Clear();
    Err << "zemcard: " << E.Message() << "\n";
    if (dynamic_cast<const EImageNotStored*>(&E) != nullptr)
      Err << "zemcard: " << O.Positional.back() << ": its disk may not hold it whole: not a backup to rely on\n";
    else if (dynamic_cast<const EImageNotReplaced*>(&E) == nullptr && platform::FileExists(Image))
      Err << "zemcard: " << O.Positional.back() << ": left as a plain archive, not a backup image\n";
    else
      Err << "zemcard: no image was written\n";
    return kExitFailure;
  }
  if (!Complete) return kExitFailure;
  S.Summary("backed up", true);
  platform::WindowServices().MessageBox(nullptr, kMsgJobComplete, kTitleMessage, platform::MB_OK);
  return kExitOk;
}

int RestoreCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err) {
  const size_t Want = O.Folder ? 1 : 2;
  if (O.Positional.size() != Want) throw TUsageError{"restore takes IMAGE and CARD"};
  const std::string ImageNative = O.Positional[0];
  const TCardDrive Card(O, O.Folder ? std::string() : O.Positional[1]);
  CheckFolderToEmpty(Card, O, "restore", ImageNative);
  const std::string Image = platform::FromNativePath(ImageNative);
  if (!platform::FileExists(Image)) {
    Err << "zemcard: " << ImageNative
        << (platform::DirectoryExists(Image) ? ": is a folder, not a backup image\n"
                                             : ": no such file\n");
    return kExitFailure;
  }
  TCardSession S(In, Out, Err, O);
  if (!S.HasCard(Card.Letter())) return kExitFailure;
  const TRestoreOutcome Outcome = RestoreCard(Image, Card.Root(), S.Zip, S.Timer);
  if (RestoreExit(Outcome) != kExitOk) return kExitFailure;
  S.Summary("restored", false);
  // Said once everything is flushed to the card, with what the card's
  // removal needs where the drive table could unmount it.
  platform::WindowServices().MessageBox(
      nullptr, Outcome.Removal.empty() ? kMsgJobComplete : kMsgJobComplete + ("\n" + Outcome.Removal),
      kTitleMessage, platform::MB_OK);
  return kExitOk;
}

int CopyCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err) {
  if (O.Positional.size() != (O.Folder ? 0u : 1u)) throw TUsageError{"copy takes CARD"};
  const TCardDrive Card(O, O.Folder ? std::string() : O.Positional[0]);
  CheckFolderToEmpty(Card, O, "copy");
  TCardSession S(In, Out, Err, O);
  if (!S.HasCard(Card.Letter())) return kExitFailure;
  const int Code = RestoreExit(DiskCopyCard(Card.Root(), S.Zip, S.Timer, nullptr, {}));
  if (Code == kExitOk) S.Summary("copied", false);
  return Code;
}

int FormatCommand(const TCardOptions& O, std::istream& In, std::ostream& Out, std::ostream& Err) {
  if (O.Positional.size() != (O.Folder ? 0u : 1u)) throw TUsageError{"format takes CARD"};
  const TCardDrive Card(O, O.Folder ? std::string() : O.Positional[0]);
  CheckFolderToEmpty(Card, O, "format");
  TCardSession S(In, Out, Err, O);
  if (!S.HasCard(Card.Letter())) return kExitFailure;
  switch (const uint32_t R = FormatCardAlone(Card.Letter(), S.Timer)) {
    case 0:
      return kExitOk;
    case platform::SHFMT_CANCEL:
      Err << "zemcard: format cancelled: the card was not touched\n";
      break;
    case platform::SHFMT_NOFORMAT:
      Err << "zemcard: this drive cannot be formatted\n";
      break;
    default:
      Err << "zemcard: format failed (" << R
          << "): " << platform::SysErrorMessage(platform::GetLastError());
      if (!platform::DriveTable().LastFailure().empty())
        Err << ": " << platform::DriveTable().LastFailure();
      Err << "\n";
  }
  return kExitFailure;
}

// Unmounts the card through the drive table and powers its drive off when
// the drive allows it. A folder card cannot be ejected.
int EjectCommand(const TCardOptions& O, std::istream&, std::ostream& Out, std::ostream& Err) {
  if (O.Folder) throw TUsageError{"eject takes a drive, not a folder", false};
  if (O.Positional.size() != 1) throw TUsageError{"eject takes CARD"};
  const TCardDrive Card(O, O.Positional[0]);
  platform::TDriveTable& Table = platform::DriveTable();
  const std::string Drive = std::string(1, Card.Letter()) + ":";
  switch (Table.Eject(Card.Letter())) {
    case platform::TEjectResult::PoweredOff:
      Out << Drive << " unmounted and powered off: the card can be removed\n";
      return kExitOk;
    case platform::TEjectResult::Unmounted:
      if (!Table.LastFailure().empty()) {
        Err << "zemcard: " << Drive << " " << Table.LastFailure() << "\n";
        return kExitFailure;
      }
      Out << Drive << " unmounted: the card can be removed (the drive cannot be powered off)\n";
      return kExitOk;
    case platform::TEjectResult::Failed:
      break;
  }
  Err << "zemcard: " << Drive << " cannot be ejected: "
      << (Table.LastFailure().empty() ? platform::SysErrorMessage(platform::GetLastError())
                                      : Table.LastFailure())
      << "\n";
  return kExitFailure;
}

}  // namespace

int RunCardCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  std::istringstream NoAnswers;
  return RunCardCommand(Args, NoAnswers, Out, Err);
}

int RunCardCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                   std::ostream& Err) {
  if (Args.empty()) {
    Err << "zemcard: no command given\n";
    PrintUsage(Err);
    return kExitUsage;
  }
  const std::string& First = Args[0];
  if (First == "-h" || First == "--help") {
    Out << HelpText("");
    return kExitOk;
  }
  if (First == "--version") {
    Out << "zemcard " << ZEM_VERSION << "\n";
    return kExitOk;
  }
  for (const TCommand& Command : kCommands) {
    if (First != Command.Name) continue;
    try {
      const TParsedLine Line = ParseCommandLine(Args, 1, SpecsOf(First));
      if (Line.Help) {
        Out << HelpText(First);
        return kExitOk;
      }
      return Command.Proc(OptionsOf(First, Line), In, Out, Err);
    } catch (const TUsageError& E) {
      Err << "zemcard: " << E.Text << "\n";
      if (E.ShowUsage) PrintUsage(Err, First);
      return kExitUsage;
    } catch (const Exception& E) {
      Err << "zemcard: " << E.Message() << "\n";
      return kExitFailure;
    }
  }
  Err << "zemcard: unknown command \"" << First << "\"\n";
  PrintUsage(Err);
  return kExitUsage;
}

}  // namespace zem
