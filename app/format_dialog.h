// The format dialog: the stand-in for the system's format dialog of one
// drive, shown by the Qt window services for SHFormatDrive.
#pragma once

#include <QDialog>

#include <cstdint>

class QComboBox;
class QLabel;
class QPushButton;

namespace zem {

// Title "Format <label> (<letter>:)", the card's capacity and file system,
// a line telling what the format will do, and the push buttons "Start" (the first push button of the dialog, the one
// the auto-confirm timer presses) and "Close".
//
// Start asks "Formatting will erase ALL data on this card. ..." with OK and
// Cancel through the window services. OK formats the drive through the
// platform: when that succeeds the dialog says "Format Complete." and closes
// with result 0; when it fails it says why and stays open. Cancel returns to
// the dialog. Close (or Escape, or the frame's close button) ends the dialog
// with SHFMT_CANCEL, or with the failure of the last format tried.
//
// Where the drive table makes file systems (UDisks2), "File system" is a
// choice of FAT32 and exFAT, set to the card's own, and the format makes
// that new file system with the card's label; elsewhere it shows the card's
// file system, which the format keeps while it empties the card.
class TFormatDialog : public QDialog {
 public:
  TFormatDialog(char Letter, QWidget* Owner);

  // The result the dialog ended with (SHFMT_CANCEL until something else
  // happened).
  uint32_t FormatResult() const { return FResult; }
  QPushButton* StartButton() const { return FStart; }
  QPushButton* CloseButton() const { return FClose; }
  // The lines that describe the card and the format, for tests.
  QString CapacityText() const;
  QString FileSystemText() const;
  QString MethodText() const;
  // The file system choice, or nullptr where the format empties the card.
  QComboBox* FileSystemBox() const { return FFileSystemBox; }

 protected:
  void reject() override;

 private:
  void StartClick();

  char FLetter;
  uint32_t FResult;
  QLabel* FCapacity = nullptr;
  QLabel* FFileSystem = nullptr;
  QComboBox* FFileSystemBox = nullptr;
  QLabel* FMethod = nullptr;
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
