// Card tool: the zemcard command table and its commands.
#include "cli/cardcli/card_commands.h"

#include <cctype>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "archive/writer/arc_zip.h"
#include "cli/cardcli/console_services.h"
#include "core/card_ops.h"
#include "core/drives.h"
#include "platform/base.h"
#include "platform/card_guard.h"
#include "platform/drives.h"
#include "platform/folder_drives.h"
#include "platform/winapi.h"

namespace zem {

namespace {

using TCommandProc = int (*)(const std::vector<std::string>& Args, std::istream& In,
                             std::ostream& Out, std::ostream& Err);

struct TCommand {
  const char* Name;
  const char* Synopsis;
  TCommandProc Proc;
};

int ListCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                std::ostream& Err);
int HelpCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                std::ostream& Err);
int BackupCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                  std::ostream& Err);
int RestoreCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                   std::ostream& Err);
int CopyCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                std::ostream& Err);
int FormatCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                  std::ostream& Err);
int EjectCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                 std::ostream& Err);

// Every command of the program.
constexpr TCommand kCommands[] = {
    {"list", "list the removable drives with label, capacity and mount point", ListCommand},
    {"backup", "[--level none|fast|high] CARD IMAGE: back a card up into an image", BackupCommand},
    {"restore", "[--yes] IMAGE CARD: format the card and restore an image onto it", RestoreCommand},
    {"copy", "[--yes] CARD: copy a card onto another put in the same drive", CopyCommand},
    {"format", "[--yes] CARD: erase every file of a card, keeping its label", FormatCommand},
    {"eject", "CARD: unmount a card (and power its drive off) so it can be pulled", EjectCommand},
    {"help", "show this text", HelpCommand},
};

void PrintUsage(std::ostream& Stream) {
  Stream << "Usage: zemcard <command>\n\nCommands:\n";
  for (const TCommand& Command : kCommands)
    Stream << "  " << Command.Name << std::string(10 - std::string(Command.Name).size(), ' ')
           << Command.Synopsis << "\n";
  Stream << "\nCARD is a drive letter from zemcard list (F or F:), the mount point of a listed\n"
            "removable volume, or --folder DIR [--label L] to use a folder as the card.\n"
            "Restore, copy and format erase the card: on a folder they need --yes.\n";
}

int ListCommand(const std::vector<std::string>& Args, std::istream&, std::ostream& Out,
                std::ostream& Err) {
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

int HelpCommand(const std::vector<std::string>&, std::istream&, std::ostream& Out, std::ostream&) {
  PrintUsage(Out);
  return kExitOk;
}

// ---- Card commands ------------------------------------------------------------

// A usage error: its text goes to Err, followed by the usage unless the
// command line was well formed but refused; kExitUsage either way.
struct TUsageError {
  std::string Text;
  bool ShowUsage = true;
};

struct TCardOptions {
  std::vector<std::string> Positional;
  std::optional<std::string> Level;
  std::optional<std::string> Folder;
  std::optional<std::string> Label;
  bool Yes = false;
};

TCardOptions ParseCardOptions(const std::vector<std::string>& Args, bool TakesLevel,
                              bool TakesYes) {
  TCardOptions O;
  for (size_t I = 1; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    auto Value = [&]() -> std::string {
      if (I + 1 >= Args.size()) throw TUsageError{A + " needs a value"};
      return Args[++I];
    };
    if (A == "--level" && TakesLevel) {
      O.Level = Value();
    } else if (A == "--yes" && TakesYes) {
      O.Yes = true;
    } else if (A == "--folder") {
      O.Folder = Value();
    } else if (A == "--label") {
      O.Label = Value();
    } else if (A.size() > 1 && A[0] == '-' && A != "-") {
      throw TUsageError{"unknown option " + A};
    } else {
      O.Positional.push_back(A);
    }
  }
  if (O.Label && !O.Folder) throw TUsageError{"--label goes with --folder"};
  return O;
}

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

// The component as the window sets it up, with terminal handlers.
struct TCardSession {
  TCardSession(std::istream& In, std::ostream& Out, std::ostream& Err, bool Yes) {
    auto Owned = std::make_unique<TConsoleWindowServices>(
        In, Out, Err, Yes, &Err == &std::cerr && platform::StdErrIsConsole());
    Services = Owned.get();
    Previous = platform::InstallWindowServices(std::move(Owned));
    ConfigureCardComponent(Zip);
    Zip.OnTotalPercentDone = [this](TObject*, int32_t Percent) { Services->ShowProgress(Percent); };
    Zip.OnZipComplete = [](TObject*, int32_t) {
      platform::WindowServices().MessageBox(nullptr, kMsgJobComplete, kTitleMessage,
                                            platform::MB_OK);
    };
    Zip.OnInCompleteZip = [](TObject*, TIncompleteZipMode&) {
      platform::WindowServices().MessageBox(nullptr, kMsgJobIncomplete, kTitleError,
                                            platform::MB_OK);
    };
    Timer.SetEnabled(false);
    Timer.SetInterval(50);
  }
  ~TCardSession() {
    Services->EndProgress();
    platform::InstallWindowServices(std::move(Previous));
  }

  // The window's first step: a drive without capacity holds no card.
  bool HasCard(char Letter) {
    if (DriveCapacity(std::string(1, Letter)) != 0) return true;
    platform::WindowServices().MessageBox(nullptr, kMsgNoDisk, kTitleError, platform::MB_OK);
    return false;
  }

  TConsoleWindowServices* Services = nullptr;
  std::unique_ptr<platform::TWindowServices> Previous;
  TArcZip Zip;
  TTimer Timer;
};

// kExitOk for a complete restore; every failure has been shown already
// (an "Error!" message on Err).
int RestoreExit(const TRestoreOutcome& R) { return R.Complete() ? kExitOk : kExitFailure; }

int BackupCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                  std::ostream& Err) {
  const TCardOptions O = ParseCardOptions(Args, true, false);
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
  TCardSession S(In, Out, Err, false);
  if (!S.HasCard(Card.Letter())) return kExitFailure;
  // A backup that left anything out has said so, with the list.
  if (!BackupCard(Image, Card.Root(), S.Zip, Choice).Complete()) return kExitFailure;
  platform::WindowServices().MessageBox(nullptr, kMsgJobComplete, kTitleMessage, platform::MB_OK);
  return kExitOk;
}

int RestoreCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                   std::ostream& Err) {
  const TCardOptions O = ParseCardOptions(Args, false, true);
  const size_t Want = O.Folder ? 1 : 2;
  if (O.Positional.size() != Want) throw TUsageError{"restore takes IMAGE and CARD"};
  const std::string ImageNative = O.Positional[0];
  const TCardDrive Card(O, O.Folder ? std::string() : O.Positional[1]);
  CheckFolderToEmpty(Card, O, "restore", ImageNative);
  const std::string Image = platform::FromNativePath(ImageNative);
  if (!platform::FileExists(Image)) {
    Err << "zemcard: " << ImageNative << ": no such file\n";
    return kExitFailure;
  }
  TCardSession S(In, Out, Err, O.Yes);
  if (!S.HasCard(Card.Letter())) return kExitFailure;
  if (RestoreExit(RestoreCard(Image, Card.Root(), S.Zip, S.Timer)) != kExitOk) return kExitFailure;
  platform::WindowServices().MessageBox(nullptr, kMsgJobComplete, kTitleMessage, platform::MB_OK);
  return kExitOk;
}

int CopyCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                std::ostream& Err) {
  const TCardOptions O = ParseCardOptions(Args, false, true);
  if (O.Positional.size() != (O.Folder ? 0u : 1u)) throw TUsageError{"copy takes CARD"};
  const TCardDrive Card(O, O.Folder ? std::string() : O.Positional[0]);
  CheckFolderToEmpty(Card, O, "copy");
  TCardSession S(In, Out, Err, O.Yes);
  if (!S.HasCard(Card.Letter())) return kExitFailure;
  return RestoreExit(DiskCopyCard(Card.Root(), S.Zip, S.Timer, nullptr, {}));
}

int FormatCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                  std::ostream& Err) {
  const TCardOptions O = ParseCardOptions(Args, false, true);
  if (O.Positional.size() != (O.Folder ? 0u : 1u)) throw TUsageError{"format takes CARD"};
  const TCardDrive Card(O, O.Folder ? std::string() : O.Positional[0]);
  CheckFolderToEmpty(Card, O, "format");
  TCardSession S(In, Out, Err, O.Yes);
  if (!S.HasCard(Card.Letter())) return kExitFailure;
  switch (const uint32_t R = FormatCardAlone(Card.Letter(), S.Timer)) {
    case 0:
      return kExitOk;
    case platform::SHFMT_CANCEL:
      Err << "zemcard: format cancelled\n";
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
int EjectCommand(const std::vector<std::string>& Args, std::istream&, std::ostream& Out,
                 std::ostream& Err) {
  const TCardOptions O = ParseCardOptions(Args, false, false);
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
    PrintUsage(Err);
    return kExitUsage;
  }
  for (const TCommand& Command : kCommands) {
    if (Args[0] != Command.Name) continue;
    try {
      return Command.Proc(Args, In, Out, Err);
    } catch (const TUsageError& E) {
      Err << "zemcard: " << E.Text << "\n";
      if (E.ShowUsage) PrintUsage(Err);
      return kExitUsage;
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
