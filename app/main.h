// TZEMToolsForm: the main window. Lists the removable drives, takes the
// compression choice and starts Backup, Restore, Format and DiskCopy on the
// selected card; shows the archive component's progress and the results.
#pragma once

#include <QGroupBox>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/card_icon.h"
#include "app/dialogs.h"
#include "archive/writer/arc_zip.h"
#include "core/card_ops.h"
#include "platform/window_services.h"

class QButtonGroup;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace zem {

// A framed group of radio buttons, one per item, stacked top to bottom.
class TRadioGroup : public QGroupBox {
 public:
  TRadioGroup(const QString& Caption, const std::vector<QString>& Items, QWidget* Parent);
  // The checked item, or -1.
  int ItemIndex() const;
  void SetItemIndex(int Index);
  QRadioButton* Item(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
  int Count() const { return static_cast<int>(FItems.size()); }

 protected:
  void resizeEvent(QResizeEvent* Event) override;

 private:
  void LayoutItems();
  void UpdateTabStop();
  QButtonGroup* FGroup;
  std::vector<QRadioButton*> FItems;
};

// Texts of the window (the card tool's messages are in core/card_ops.h).
inline constexpr char kDesignCaption[] = "ZEM Tools Ver ";
inline constexpr char kBackupFilter[] = "ZEM Tool Backup File (*.IMG)|*.IMG";
inline constexpr char kBackupDefaultExt[] = "*.IMG";
// Title of the application's error report.
inline constexpr char kApplicationTitle[] = "ZEM Tools";
inline constexpr char kNoCardHint[] =
    "No memory card found. Insert a card (or a card reader with a card) and press Refresh.";
inline constexpr char kMsgReplaceImage[] = "%s already exists. Replace it?";
inline constexpr char kMsgBackupCancelled[] = "Backup cancelled: no image was written.";
// What a backup that failed left at the image's name.
inline constexpr char kMsgImageNotStored[] = "%s is not a backup to rely on.";
inline constexpr char kMsgImageUnfinished[] = "%s is left unfinished: it is not a backup image.";
inline constexpr char kMsgNoImageWritten[] = "No image was written.";
inline constexpr char kMsgFormatCancelled[] = "Format cancelled: the card was not touched.";

class TZEMToolsForm : public QWidget {
 public:
  // Builds the controls at their places, creates ArcZip1 with the card
  // tool's configuration and runs FormCreate, so the caption is complete
  // and the drive list filled before the window is first shown. Centred on
  // the primary screen.
  explicit TZEMToolsForm(QWidget* Parent = nullptr);
  ~TZEMToolsForm() override;

  // The window's handle for the window services.
  platform::HWND Handle() { return static_cast<platform::HWND>(static_cast<QWidget*>(this)); }

  // ---- Controls, with their designer names -------------------------------
  QListWidget* ListView1;
  TRadioGroup* RadioGroup1;
  QPushButton* Button1;  // Refresh
  QPushButton* Button2;  // Backup
  QPushButton* Button3;  // Restore
  QPushButton* Button4;  // Help
  QPushButton* Button5;  // Format
  QPushButton* Button6;  // Best Perform: never enabled
  QPushButton* Button7;  // DiskCopy
  QPushButton* Button8;  // Eject
  QProgressBar* ProgressBar1;
  // Stands over the empty drive list and says why it is empty.
  QLabel* EmptyHint;
  // While Backup, Restore or DiskCopy run (the main window disabled): a
  // small window of its own with the progress in words and Cancel, which
  // stops the operation at the next file or block.
  QWidget* ProgressPanel;
  QLabel* ProgressText;
  QPushButton* CancelButton;
  std::unique_ptr<TImageList> IconList;
  std::unique_ptr<TArcZip> ArcZip1;
  std::unique_ptr<TSaveDialog> SaveDialog1;
  std::unique_ptr<TOpenDialog> OpenDialog1;
  std::unique_ptr<TTimer> Timer1;

  // ---- Handlers ------------------------------------------------------------
  // The caption gets "1.00" and "by Vardel"; Refresh is clicked in code.
  void FormCreate(QObject* Sender);
  // Refresh: fills the drive list; the list is enabled only when it has
  // items, and an empty list shows kNoCardHint. The drive selected before
  // stays selected while present, else the first one is selected. The card
  // buttons are enabled only while a drive is selected.
  void Button1Click(QObject* Sender);
  // Backup: asks for the image name (starting in the home folder with
  // "LABEL-YYYYMMDD.IMG"; ".IMG" added to a name without it; an existing
  // file replaced only after a yes), then BackupCard with the window
  // disabled, then "Job complete!" a second time with the count and sizes
  // of the files and the image's name. Cancel: kMsgBackupCancelled. An
  // error says what it left at the image's name.
  void Button2Click(QObject* Sender);
  // Restore: asks for an image that exists, then RestoreCard with the
  // window disabled; "Job complete!" with the count and size of the files
  // when every file was restored (a failure or a cancel is shown by
  // RestoreCard with its cause). The bar goes back to 0.
  void Button3Click(QObject* Sender);
  // Help: the program's readme (beside the program, in share/zemtools
  // when installed, or its built-in copy) in a window with an About button
  // (the version).
  void Button4Click(QObject* Sender);
  // Format: FormatCardAlone on the selected drive (the card locked and
  // pinned); success and failure are reported by the dialog, a cancel by
  // kMsgFormatCancelled.
  void Button5Click(QObject* Sender);
  // DiskCopy: the disk-copy sequence with the window disabled; "DiskCopy
  // Complete!" only after a complete copy; a cancel says what happened.
  void Button7Click(QObject* Sender);
  // Eject: unmounts the selected card (and powers its drive off where the
  // drive allows it) through the drive table, says how it ended, and
  // refreshes the list.
  void Button8Click(QObject* Sender);
  // The drive table reported a change: the list is refreshed unless an
  // operation runs (then Refresh, or the next change, brings it up to date).
  void DrivesChanged();
  // Double click: the command line "start X:\" for the selected drive.
  void ListView1DblClick(QObject* Sender);
  // The bar, the progress in words (bytes done of the total, speed, time
  // left, the current file) and, a few times a second, the events waiting
  // (so Cancel can be pressed); raises EUserCanceled once Cancel was.
  void ArcZip1TotalPercentDone(TObject* Sender, int32_t Percent);
  void ArcZip1ZipComplete(TObject* Sender, int32_t FileCount);
  void ArcZip1InCompleteZip(TObject* Sender, TIncompleteZipMode& IncompleteMode);
  // Presses the first push button of the active modal window, once.
  void Timer1Timer(TObject* Sender);

  // What the handlers do with an error that ends an operation: the
  // application's error report, a message box with the error's text (title
  // kApplicationTitle) owned by this window, which is usable afterwards.
  void ShowException(const std::exception& E);

 protected:
  // While an operation runs (the window is disabled) the window cannot be
  // closed: the card would be left half written.
  void closeEvent(QCloseEvent* Event) override;

 private:
  // Shows the progress window and clears the counts (the main window is
  // disabled by the caller); EndOperation hides it.
  void BeginOperation();
  void EndOperation();
  // A pass over Total bytes starts (packing, testing or writing).
  void StartPass(int64_t Total);
  // Backup, Restore, Format, DiskCopy and Eject follow the selection.
  void UpdateButtons();
  // The selected drive's root path ("F:\"), or empty when no item is
  // selected or the drive holds no card (then "No disk in the drive!" has
  // been shown).
  std::string SelectedCard();
  // Runs a handler body; an error escaping it goes to ShowException.
  template <class F>
  void Guarded(F&& Body);
  void BuildControls();

  bool FCancelled = false;
  int64_t FPassTotal = 0;
  std::chrono::steady_clock::time_point FPassStart, FLastPump;
  QString FCurrentFile;
  const TZipHeaderInfo* FEntry = nullptr;  // the file being packed
  // What the last pass over the files did: files and bytes (packed bytes
  // for a backup).
  int64_t FFiles = 0, FBytes = 0, FPacked = 0;
};

}  // namespace zem
