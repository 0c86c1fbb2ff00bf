// Card tool: the card operations the main window offers (backup, restore,
// format, disk copy), the archive component's fixed configuration and the
// auto-confirm timer the format needs.
//
// Every message to the user goes through platform::WindowServices() and
// every progress report through the component's events, so the window and
// the zemcard program serve the same operations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/writer/arc_zip.h"
#include "platform/base.h"
#include "platform/window_services.h"

namespace zem {

// The password of every backup: B9 E3 C7 EF D4 C6 D4 C6.
inline const std::string kCardPassword("\xB9\xE3\xC7\xEF\xD4\xC6\xD4\xC6", 8);

// The items of the window's "Compress Ratio" group.
enum : int32_t { kCompressNone = 0, kCompressFast = 1, kCompressHigh = 2 };
// PackLevel for a compression choice: 0 -> 0, 1 -> 6, 2 -> 9; -1 for any
// other choice, which leaves PackLevel as it is.
int32_t PackLevelForChoice(int32_t Choice);

// Names joined to the temporary folder (which ends with "\" already).
constexpr char kTempArchiveName[] = "\\ZEM0.DAT";    // the archive during a restore
constexpr char kDiskCopyImageName[] = "\\ZEM1.DAT";  // the image during a disk copy

// Message box texts and titles of the card tool.
constexpr char kTitleError[] = "Error!";
constexpr char kTitleMessage[] = "Message";
constexpr char kTitleNotice[] = "Message!";
constexpr char kMsgNoDisk[] = "No disk in the driver!";
constexpr char kMsgJobComplete[] = "Job complete!";
constexpr char kMsgJobIncomplete[] = "Job incomplete!";
constexpr char kMsgChangeCard[] = "Read complete, please change a card and press OK";
constexpr char kMsgDiskCopyComplete[] = "DiskCopy Complete!";
constexpr char kMsgFileError[] = "File error, progress could not be continue!";
constexpr char kMsgTooSmall[] = "Destnation media size is to small for the Backup file!";
constexpr char kMsgFormatError[] = "Format card error, progress could not be continue!";

// A window timer: while Enabled and Interval > 0, OnTimer (when set) runs
// every Interval ms as the window services dispatch messages. Enabling
// starts it through WindowServices().SetTimer, disabling stops it with
// KillTimer; destruction stops it.
class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
  ~TTimer() override;
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  uint32_t Interval() const { return FInterval; }
  void SetInterval(uint32_t Value);
  std::function<void(TObject* Sender)> OnTimer;

 private:
  void UpdateTimer();
  bool FEnabled = true;
  uint32_t FInterval = 1000;
  bool FRunning = false;
};

// Gives a TArcZip the configuration the main window gives its component at
// start-up: StorePaths, Recurse, zaReplace, hidden and system files
// included, RecreateDirs, OverwriteMode Always, DoAll, ReplaceReadOnly,
// izAssumeNotAZip and MultiZipInfo's BlockSize 1457600. Every other setting
// keeps its default; no handler is set (the caller sets OnTotalPercentDone,
// OnZipComplete and OnInCompleteZip).
void ConfigureCardComponent(TArcZip& Zip);

// The temporary folder, Windows-style, ending with "\". Raises EInOutError
// when the platform gives none, rather than letting the temporary names
// land at the root of C:.
std::string CardTempDir();

// Packs every file below RootPath ("F:\") into an archive at ArchivePath
// encrypted with kCardPassword at the level of Choice, then turns it into a
// backup image labelled with the drive's label. Zip's last step calls
// OnZipComplete. A file already at ArchivePath is removed first, so the
// image holds the card's files only (never entries of an older archive or
// image of that name). Errors are not caught: an error of Zip leaves no
// archive; an error of the wrapping (a card without files gives a 22-byte
// archive: EReadError "Stream read error") leaves the plain archive.
void BackupCard(const std::string& ArchivePath, const std::string& RootPath, TArcZip& Zip,
                int32_t Choice);

// Runs the format dialog for the drive with letter Drive with Timer enabled
// (the window's auto-confirm timer presses its first button) and disables
// the timer when the dialog returns, also when it raises. Returns the
// dialog's result: 0 when the card was formatted.
uint32_t FormatCard(char Drive, TTimer& Timer);

// How a restore ended. The window ignores it; zemcard reports it.
enum class TRestoreResult : uint8_t {
  Restored,      // extraction ran (see Extracted and ExtractError)
  NotAnImage,    // "File error, ..." shown, nothing written
  TooSmall,      // "Destnation media size ..." shown, temporary archive deleted
  FormatFailed,  // "Format card error, ..." shown, temporary archive kept
};
struct TRestoreOutcome {
  TRestoreResult Result = TRestoreResult::Restored;
  int32_t Entries = 0;         // entries of the archive
  uint64_t Need = 0;           // their summed uncompressed sizes
  int32_t Extracted = 0;       // what UnZip returned (0 when it raised)
  bool ExtractFailed = false;  // UnZip raised; ExtractError holds its message
  std::string ExtractError;
};

// Restores the image at ImagePath onto the card at RootPath: unwraps it to
// CardTempDir() + kTempArchiveName, reads its directory, checks that the
// summed entry sizes fit the drive's capacity (equal fits), formats the
// card (FormatCard with Timer), extracts every entry below RootPath and
// deletes the temporary archive. The three failures are shown in an
// "Error!" box owned by the active window and end the restore normally.
// Errors of the extraction are dropped (reported in the outcome only).
// Other errors (an unreadable image, an archive without a complete
// directory: OnInCompleteZip, then ENotAZipFile "Not a valid zip file!")
// reach the caller, leaving the temporary archive once written.
TRestoreOutcome RestoreCard(const std::string& ImagePath, const std::string& RootPath, TArcZip& Zip,
                            TTimer& Timer);

// The disk copy of the card at RootPath: a stored backup into
// CardTempDir() + kDiskCopyImageName, the change-card prompt, a restore of
// that image onto the card then in the drive, "DiskCopy Complete!"
// whatever the restore's outcome, SetProgress(0) (when set) and the image
// deleted. Window owns the two boxes. An error that ends it early reaches
// the caller and may leave the image.
TRestoreOutcome DiskCopyCard(const std::string& RootPath, TArcZip& Zip, TTimer& Timer,
                             platform::HWND Window,
                             const std::function<void(int32_t Position)>& SetProgress);

}  // namespace zem
