// Card tool: the window services of the zemcard program. Message boxes are
// lines on the terminal, the change-card prompt and the format dialog are
// questions asked there (answered in advance by --yes), and the format
// itself is the platform's.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "platform/window_services.h"

namespace zem {

class TProgressMeter;

class TConsoleWindowServices : public platform::THeadlessWindowServices {
 public:
  // In gives the answers; Out takes messages and questions, Err error
  // messages. AssumeYes answers every question with yes without asking.
  // Quiet leaves out the messages of OK boxes other than errors and the
  // change-card prompt.
  TConsoleWindowServices(std::istream& In, std::ostream& Out, std::ostream& Err, bool AssumeYes,
                         bool Quiet);

  // An "Error!" box is its text on Err, any other OK box its text on Out.
  // The change-card prompt (an OK/Cancel box) waits for Enter on In unless
  // AssumeYes and answers Cancel at the end of input. Boxes with other
  // buttons print "<caption>: <text>" on Err and answer as the headless
  // services do (Cancel, No, Abort).
  int MessageBox(platform::HWND Owner, const std::string& Text, const std::string& Caption,
                 uint32_t Flags) override;
  // The format through platform::FormatDrive; the dialog's confirmation is
  // the question "Format X: ... [y/N]" on Out (answered by a line on In
  // starting with y or Y), asked only for a drive that can be formatted.
  // No answer (end of input) cancels.
  uint32_t SHFormatDrive(platform::HWND Owner, uint32_t Drive, uint32_t FormatId,
                         uint32_t Options) override;

  // The progress line to erase before a message and to stop while a
  // question waits (nullptr: none).
  void SetMeter(TProgressMeter* Meter) { FMeter = Meter; }
  // Set once a format made the card ready for the files.
  bool Formatted() const { return FFormatted; }

 private:
  bool AskYes(const std::string& Question);
  // The change-card prompt: Enter goes on, the end of input cancels.
  bool AskToGoOn(const std::string& Text);

  std::istream& FIn;
  std::ostream& FOut;
  std::ostream& FErr;
  bool FAssumeYes;
  bool FQuiet;
  TProgressMeter* FMeter = nullptr;
  bool FFormatted = false;
};

}  // namespace zem
