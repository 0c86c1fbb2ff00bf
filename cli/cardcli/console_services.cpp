// Card tool: zemcard's terminal window services.
#include "cli/cardcli/console_services.h"

#include <istream>
#include <ostream>

#include "core/card_ops.h"
#include "core/drives.h"
#include "platform/drives.h"
#include "platform/format.h"

namespace zem {

using namespace platform;

TConsoleWindowServices::TConsoleWindowServices(std::istream& In, std::ostream& Out,
                                               std::ostream& Err, bool AssumeYes, bool Progress)
    : FIn(In), FOut(Out), FErr(Err), FAssumeYes(AssumeYes), FProgress(Progress) {}

int TConsoleWindowServices::MessageBox(HWND, const std::string& Text, const std::string& Caption,
                                       uint32_t Flags) {
  EndProgress();
  switch (Flags & 0x0F) {
    case MB_OK:
      break;
    case MB_ABORTRETRYIGNORE:
      FErr << Caption << ": " << Text << "\n";
      return IDABORT;
    case MB_YESNO:
      FErr << Caption << ": " << Text << "\n";
      return IDNO;
    default:
      FErr << Caption << ": " << Text << "\n";
      return IDCANCEL;
  }
  if (Caption == kTitleError) {
    FErr << Text << "\n";
    return IDOK;
  }
  FOut << Text << "\n";
  if (Text == kMsgChangeCard && !FAssumeYes) {
    FOut << "Press Enter when the card is in the drive. " << std::flush;
    std::string Line;
    std::getline(FIn, Line);
  }
  FOut << std::flush;
  return IDOK;
}

bool TConsoleWindowServices::AskYes(const std::string& Question) {
  if (FAssumeYes) return true;
  FOut << Question << " [y/N] " << std::flush;
  std::string Line;
  if (!std::getline(FIn, Line)) {
    FOut << "\n";
    return false;
  }
  return !Line.empty() && (Line[0] == 'y' || Line[0] == 'Y');
}

uint32_t TConsoleWindowServices::SHFormatDrive(HWND, uint32_t Drive, uint32_t, uint32_t) {
  EndProgress();
  return FormatDrive(Drive, [&] {
    const char Letter = static_cast<char>('A' + Drive);
    const auto Entry = DriveTable().Find(Letter);
    const std::string What =
        FormatMakesFileSystem(Drive)
            ? " It gets a new " + DefaultNewFileSystem(Drive) + " file system: every file on it will be erased."
            : " Every file on it will be erased.";
    return AskYes(std::string("Format ") + Letter + ": \"" + DriveLabel(Letter) + "\" at " +
                  (Entry ? Entry->MountPoint : std::string("?")) + "?" + What);
  });
}

void TConsoleWindowServices::ShowProgress(int32_t Percent) {
  if (!FProgress || Percent == FShownPercent) return;
  FShownPercent = Percent;
  FErr << "\r" << Percent << "%" << std::flush;
}

void TConsoleWindowServices::EndProgress() {
  if (FShownPercent < 0) return;
  FShownPercent = -1;
  FErr << "\r    \r" << std::flush;
}

}  // namespace zem
