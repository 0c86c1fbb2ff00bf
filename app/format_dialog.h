// The format dialog: the stand-in for the system's format dialog of one
// drive, shown by the Qt window services for SHFormatDrive.
#pragma once

#include <QDialog>

#include <cstdint>

class QLabel;
class QPushButton;

namespace zem {

// Title "Format <label> (<letter>:)", the card's capacity and file system,
// and the push buttons "Start" (the first push button of the dialog, the one
// the auto-confirm timer presses) and "Close".
//
// Start asks "Formatting will erase ALL data on this card. ..." with OK and
// Cancel through the window services. OK formats the drive through the
// platform: when that succeeds the dialog says "Format Complete." and closes
// with result 0; when it fails it says why and stays open. Cancel returns to
// the dialog. Close (or Escape, or the frame's close button) ends the dialog
// with SHFMT_CANCEL, or with the failure of the last format tried.
class TFormatDialog : public QDialog {
 public:
  TFormatDialog(char Letter, QWidget* Owner);

  // The result the dialog ended with (SHFMT_CANCEL until something else
  // happened).
  uint32_t FormatResult() const { return FResult; }
  QPushButton* StartButton() const { return FStart; }
  QPushButton* CloseButton() const { return FClose; }
  // The two lines that describe the card, for tests.
  QString CapacityText() const;
  QString FileSystemText() const;

 protected:
  void reject() override;

 private:
  void StartClick();

  char FLetter;
  uint32_t FResult;
  QLabel* FCapacity = nullptr;
  QLabel* FFileSystem = nullptr;
  QPushButton* FStart = nullptr;
  QPushButton* FClose = nullptr;
};

// Runs the dialog for the drive with the given letter modally to Owner and
// returns its result. A letter the drive table does not have gives
// SHFMT_NOFORMAT without showing anything.
uint32_t RunFormatDialog(char Letter, QWidget* Owner);

// The question Start asks, and the report of a successful format.
inline constexpr char kFormatQuestion[] =
    "Formatting will erase ALL data on this card. To format the card, click OK. To quit, "
    "click CANCEL.";
inline constexpr char kFormatComplete[] = "Format Complete.";

}  // namespace zem
