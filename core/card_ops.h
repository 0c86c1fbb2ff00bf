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
#include <vector>

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

// The work files in the temporary folder: "<prefix>-<unique part>.DAT", a
// name of its own for every run, removed on every way out (the signals
// that end the process included).
constexpr char kTempArchivePrefix[] = "ZEM0";    // the archive during a restore
constexpr char kDiskCopyImagePrefix[] = "ZEM1";  // the image during a disk copy
constexpr char kWorkFileExtension[] = "DAT";

// Message box texts and titles of the card tool.
constexpr char kTitleError[] = "Error!";
constexpr char kTitleMessage[] = "Message";
constexpr char kTitleNotice[] = "Message!";
constexpr char kMsgNoDisk[] = "No disk in the drive!";
constexpr char kMsgJobComplete[] = "Job complete!";
constexpr char kMsgJobIncomplete[] = "Job incomplete!";
constexpr char kMsgChangeCard[] = "Read complete, please change a card and press OK";
constexpr char kMsgDiskCopyComplete[] = "DiskCopy Complete!";
constexpr char kMsgFileError[] = "File error, progress could not be continued!";
constexpr char kMsgTooSmall[] = "Destination media size is too small for the backup file!";
constexpr char kMsgFormatError[] = "Format card error, progress could not be continued!";
constexpr char kMsgFormatPartial[] = "The card may be partly erased";
constexpr char kMsgImageDamaged[] = "The backup file is damaged: the card was not touched.";
constexpr char kMsgCardChanged[] =
    "The card was removed or replaced during the operation: the operation stopped.";
constexpr char kMsgCardBusy[] = "Another operation is using this card: try again when it ends.";
constexpr char kMsgCardRefused[] = "This card cannot be erased";
constexpr char kMsgNotRestored[] = "Job incomplete! %d of %d files were not restored";
constexpr char kMsgRestoreCancelled[] = "Restore cancelled: the card was not touched.";
constexpr char kMsgRestoreStopped[] = "Restore cancelled: %d of %d files are on the card.";
constexpr char kMsgNotReadBack[] = "They were not read back from the card to check them.";
constexpr char kMsgDiskCopyCancelled[] = "DiskCopy cancelled: no card was written.";
constexpr char kMsgDiskCopySameCard[] =
    "The card in the drive is the card that was read: DiskCopy stopped, no card was written.";
constexpr char kMsgNotFlushed[] = "Job incomplete! The restored files could not be flushed to the card.";
constexpr char kMsgCardUnmounted[] = "The card is unmounted: it can be removed.";
constexpr char kMsgCardStillMounted[] =
    "Everything is written to the card, but it could not be unmounted (%s): eject it before "
    "you remove it.";

// A card operation refused or stopped to keep the card, or anything else,
// from harm: another operation holds the card, the card changed, or it
// must not be erased. The message says which.
class ECardError : public Exception {
 public:
  using Exception::Exception;
};

// The file at a backup's image name could not be removed to make way for
// the image: nothing was written, the file is as it was.
ZEM_DECLARE_EXCEPTION(EImageNotReplaced, EInOutError);

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

// How a backup ended: complete, or with files left out (each named with
// its reason) or an image that failed its test.
struct TBackupOutcome {
  std::vector<std::string> LeftOut;  // "<native path>: <reason>", one per file or folder
  std::string TestFailure;           // why the written image failed its test
  bool Complete() const { return LeftOut.empty() && TestFailure.empty(); }
};

// Packs every file and every empty folder (as a folder entry) below
// RootPath ("F:\") into an archive at ArchivePath encrypted with
// kCardPassword at the level of Choice, turns it into a backup image
// labelled with the drive's label, and tests the image (its archive read
// in place: its end record, every entry's password and CRC). A file that
// could not be packed (a read error, a file that vanished or kept changing,
// a path too long) or a folder that could not be read is left out and
// named with its reason; the image still holds everything else. Zip's
// OnZipComplete runs only for a complete outcome, once the image passed
// its test. When anything was left out or the test failed, "Job
// incomplete!" and the list are shown in an "Error!" box and the outcome
// says so; the caller says "Job complete!"
// only for a complete outcome. A file already at ArchivePath is removed
// first, so the image holds the card's files only (EImageNotReplaced, before
// anything is written, when it cannot be: a read-only file). A card without files
// gives a valid image of an empty archive; one none of whose files could
// be packed gives no image, and the outcome says so beside the list. A symbolic link whose target
// stays on the card is stored as a link; one leading off the card is left
// out and named, so that nothing outside the card is ever packed. The card
// is locked for the
// backup (ECardError kMsgCardBusy when another operation holds it). Errors
// are not caught: an error of Zip leaves no archive, nor does a cancel
// (EUserCanceled from a handler of Zip) while the image is tested; an error
// of the wrapping leaves the plain archive; an image its disk fails to store
// when it is flushed raises EImageNotStored. The progress runs through packing
// (to 80%) and the test (to 100%).
TBackupOutcome BackupCard(const std::string& ArchivePath, const std::string& RootPath, TArcZip& Zip,
                          int32_t Choice);

// Runs the format dialog for the drive with letter Drive with Timer enabled
// (the window's auto-confirm timer presses its first button) and disables
// the timer when the dialog returns, also when it raises. Returns the
// dialog's result: 0 when the card was formatted.
uint32_t FormatCard(char Drive, TTimer& Timer);

// The Format command on its own: FormatCard with the card in Drive locked
// and pinned (the format erases that card or nothing). Raises ECardError
// when another operation holds the card; SHFMT_NOFORMAT (0xFFFFFFFD) when
// the drive holds no card.
uint32_t FormatCardAlone(char Drive, TTimer& Timer);

// How a restore ended. Every failure has been shown in an "Error!" box
// owned by the active window when RestoreCard returns.
enum class TRestoreResult : uint8_t {
  Restored,      // every entry extracted (Complete())
  NotAnImage,    // "File error, ...", nothing written
  Damaged,       // the archive failed its test (Cause): card untouched
  TooSmall,      // "Destination media size ...": card untouched
  FormatFailed,  // "Format card error, ...": the format did not complete; when it
                 // began, Cause is kMsgFormatPartial with the system's reason
  CardChanged,   // the card was removed or replaced: stopped (see Cause)
  Incomplete,    // extraction ran but left entries out or stopped (Cause)
  Cancelled,     // the user said no to the erasure or cancelled (Extracted on the card)
  SameCard,      // a disk copy found the card it read still in the drive: nothing written
};
struct TRestoreOutcome {
  TRestoreResult Result = TRestoreResult::Restored;
  int32_t Entries = 0;         // entries of the archive
  uint64_t Need = 0;           // room they take: each rounded up to the unit, folders too
  uint64_t Room = 0;           // room of the emptied card
  int32_t Extracted = 0;       // what UnZip returned (0 when it raised)
  bool ExtractFailed = false;  // UnZip raised; ExtractError holds its message
  std::string ExtractError;
  std::string Cause;           // what went wrong, in words, for every failure
  std::vector<std::string> Differ;  // files that read back from the card unlike their entry
  bool Unmounted = false;      // the card was unmounted at the end: it can be pulled
  std::string Removal;         // kMsgCardUnmounted or kMsgCardStillMounted; empty where the
                               // drive table cannot unmount (the card was flushed all the same)
  bool Complete() const { return Result == TRestoreResult::Restored; }
};

// Restores the image at ImagePath onto the card at RootPath. The card is
// resolved once (platform::ResolveCard), refused when it must not be
// erased (platform::ErasureRefusal: home, temporary or system folder, the
// folder holding the image; ECardError kMsgCardRefused), locked (ECardError
// kMsgCardBusy) and pinned for the format. Then: the archive is read in
// place inside the image (TImageArchive, under a work file name of its
// own; nothing is copied), the whole archive is tested (its end record and
// every entry's password and CRC), its entries' room (each file rounded up
// to the card's allocation unit, each folder one unit) is checked against
// the room of the emptied card (equal fits), the card is checked to be the
// same, formatted (FormatCard with Timer) and checked again, every
// entry extracted below RootPath, and every file read back from the card
// (synced and dropped from the page cache first) and checked against its
// entry's size and CRC: files that differ or cannot be read make the
// restore Incomplete, listed in Differ and in the cause. Before the
// read-back the card's file system is flushed (syncfs): a failure there
// makes it Incomplete (kMsgNotFlushed, the system's reason in Cause), and
// nothing is called restored before everything is flushed. Once the format
// has run and the card is still the same, the restore ends, complete or
// not, by unmounting the card through the drive table where the table can
// (Unmounted, Removal: also added to the failure's box) so that it can be
// pulled; the caller adds Removal to its success message. The progress runs
// through the test (to 30%), the extraction (to 80%) and the read-back. Nothing is erased before the archive
// passed its test and the fit. The work file is removed on every way out.
// Failures are shown in an "Error!" box and reported in the outcome;
// errors other than the archive's reach the caller. A "no" to the erasure,
// or EUserCanceled raised by a handler of Zip (the window's Cancel), ends
// it as Cancelled with a "Message" box: kMsgRestoreCancelled before the
// format, kMsgRestoreStopped with the count of files on the card after
// (and kMsgNotReadBack when the read-back was cancelled).
TRestoreOutcome RestoreCard(const std::string& ImagePath, const std::string& RootPath, TArcZip& Zip,
                            TTimer& Timer);

// The disk copy of the card at RootPath: a stored backup into a work file
// (kDiskCopyImagePrefix; a backup that left anything out stops the copy
// there, Incomplete, before the prompt), the change-card prompt (OK/Cancel:
// Cancel ends it as Cancelled with kMsgDiskCopyCancelled), a restore of that image
// onto the card then in the drive (the card is resolved anew: it is meant
// to be another; the card read, still there or put back, is refused with
// kMsgDiskCopySameCard, SameCard, nothing written), "DiskCopy Complete!" (with the restore's Removal) only
// when the restore is complete,
// SetProgress(0) (when set) and the image deleted, on every way out. Window
// owns the two boxes. An error that ends it early reaches the caller.
TRestoreOutcome DiskCopyCard(const std::string& RootPath, TArcZip& Zip, TTimer& Timer,
                             platform::HWND Window,
                             const std::function<void(int32_t Position)>& SetProgress);

}  // namespace zem
