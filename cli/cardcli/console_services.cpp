// Card tool: zemcard's terminal window services.
#include "cli/cardcli/console_services.h"

#include <istream>
#include <ostream>

#include "cli/common/progress_meter.h"
#include "core/card_ops.h"
#include "core/drives.h"
#include "platform/drives.h"
#include "platform/format.h"

namespace zem {

using namespace platform;

TConsoleWindowServices::TConsoleWindowServices(std::istream& In, std::ostream& Out,
                                               std::ostream& Err, bool AssumeYes, bool Quiet)
    : FIn(In), FOut(Out), FErr(Err), FAssumeYes(AssumeYes), FQuiet(Quiet) {}

int TConsoleWindowServices::MessageBox(HWND, const std::string& Text, const std::string& Caption,
                                       uint32_t Flags) {
  if (FMeter != nullptr) FMeter->Clear();
  switch (Flags & 0x0F) {
    case MB_OK:
      break;
    case MB_OKCANCEL:
      if (Text == kMsgChangeCard) return AskToGoOn(Text) ? IDOK : IDCANCEL;
      FErr << Caption << ": " << Text << "\n";
      return IDCANCEL;
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
  if (!FQuiet) FOut << Text << "\n" << std::flush;
  return IDOK;
}

bool TConsoleWindowServices::AskToGoOn(const std::string& Text) {
  FOut << Text << "\n";
  if (FAssumeYes) {
    FOut << std::flush;
    return true;
  }
  FOut << "Press Enter when the card is in the drive (end of input cancels). " << std::flush;
  if (FMeter != nullptr) FMeter->Pause();
  std::string Line;
  const bool Answered = static_cast<bool>(std::getline(FIn, Line));
  if (FMeter != nullptr) FMeter->Resume();
  if (!Answered) FOut << "\n" << std::flush;
  return Answered;
}

bool TConsoleWindowServices::AskYes(const std::string& Question) {
  if (FAssumeYes) return true;
  FOut << Question << " [y/N] " << std::flush;
  if (FMeter != nullptr) FMeter->Pause();
  std::string Line;
  const bool Answered = static_cast<bool>(std::getline(FIn, Line));
  if (FMeter != nullptr) FMeter->Resume();
  if (!Answered) {
    FOut << "\n";
    return false;
  }
  return !Line.empty() && (Line[0] == 'y' || Line[0] == 'Y');
}

uint32_t TConsoleWindowServices::SHFormatDrive(HWND, uint32_t Drive, uint32_t, uint32_t) {
  if (FMeter != nullptr) FMeter->Clear();
  const uint32_t Result = FormatDrive(Drive, [&] {
    const char Letter = static_cast<char>('A' + Drive);
    const auto Entry = DriveTable().Find(Letter);
    const std::string What =
        FormatMakesFileSystem(Drive)
            ? " It gets a new " + DefaultNewFileSystem(Drive) + " file system: every file on it will be erased."
            : " Every file on it will be erased.";
    return AskYes(std::string("Format ") + Letter + ": \"" + DriveLabel(Letter) + "\" at " +
                  (Entry ? Entry->MountPoint : std::string("?")) + "?" + What);
  });
  if (Result == 0) FFormatted = true;
  return Result;
}

}  // namespace zem
