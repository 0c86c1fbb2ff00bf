// TArcZip: the archive writer component. Adds to the reader TArcUnZip the
// writer's settings (kept consistent by their setters), its events, the
// multi-volume settings object TMultiZipInfo, and the expansion of
// FilesList into the files a Zip call writes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/format/zip_records.h"
#include "archive/reader/arc_types.h"
#include "archive/reader/arc_unzip.h"
#include "archive/writer/stored_names.h"
#include "platform/base.h"
#include "platform/stream.h"

namespace zem {

// What a Zip call does with a symbolic link it meets among the files.
enum class TLinkMode : uint8_t {
  // Stored as a link: the entry holds the target text, its Unix mode says
  // link.
  Store,
  // A link to a file is stored as that file; any other link (to a folder,
  // dangling) as a link: folders are never entered through links.
  Follow,
  // A link whose target stays inside LinkRoot (see LinkTargetInside) is
  // stored as a link; any other is left out, reported through
  // OnSkippingFile with srFileOpenError and the cause in SkipCause. Nothing
  // a link leads to outside the root is ever read.
  StoreInside,
};

// What a Zip call does with an entry of the existing archive (OnUpdate).
enum TUpdateAction : uint8_t { uaReplacing = 0, uaKeeping = 1 };

// Settings of multi-volume output: disks (mmSpan) or block files (mmBlocks).
class TMultiZipInfo : public TPersistent {
 public:
  TMultiZipInfo() = default;

  // From another TMultiZipInfo: all seven values. Anything else goes to
  // TPersistent (EConvertError for unrelated classes).
  void Assign(const TPersistent* Source) override;

  TMultiMode MultiMode() const { return FMultiMode; }
  void SetMultiMode(TMultiMode Value) { FMultiMode = Value; }
  // Size of each block file with mmBlocks.
  int64_t BlockSize() const { return FBlockSize; }
  void SetBlockSize(int64_t Value) { FBlockSize = Value; }
  // Size of the first block file; 0 means BlockSize.
  int64_t FirstBlockSize() const { return FFirstBlockSize; }
  void SetFirstBlockSize(int64_t Value) { FFirstBlockSize = Value; }
  // Bytes kept free on the first volume.
  int64_t SaveOnFirstDisk() const { return FSaveOnFirstDisk; }
  void SetSaveOnFirstDisk(int64_t Value) { FSaveOnFirstDisk = Value; }
  // Reserve room for, and write, the configuration file on the first volume.
  bool SaveZipInfoOnFirstDisk() const { return FSaveZipInfoOnFirstDisk; }
  void SetSaveZipInfoOnFirstDisk(bool Value) { FSaveZipInfoOnFirstDisk = Value; }
  // Whether the reader checks disk labels when it asks for a disk.
  bool CheckDiskLabels() const { return FCheckDiskLabels; }
  void SetCheckDiskLabels(bool Value) { FCheckDiskLabels = Value; }
  // Label each filled removable disk.
  bool WriteDiskLabels() const { return FWriteDiskLabels; }
  void SetWriteDiskLabels(bool Value) { FWriteDiskLabels = Value; }

 private:
  TMultiMode FMultiMode = mmNone;
  int64_t FBlockSize = 1457600;
  int64_t FFirstBlockSize = 0;
  int64_t FSaveOnFirstDisk = 0;
  bool FSaveZipInfoOnFirstDisk = false;
  bool FCheckDiskLabels = true;
  bool FWriteDiskLabels = true;
};

// What the expansion of FilesList leaves for the rest of a Zip call.
struct TFileListExpansion {
  int32_t NumFiles = 0;       // names now in FilesList
  int64_t TotalBytes = 0;     // summed sizes of the accepted files
  int64_t PathLengthSum = 0;  // average stored-name length (multi-volume reserve)
};

class TArcZip : public TArcUnZip {
 public:
  // Event signatures: Sender is the component; by-reference parameters are
  // read back after the handler returns.
  using TStartZipInfoEvent = std::function<void(TObject* Sender, int32_t NumFiles,
                                                int64_t TotalBytes, TEndCentral& EndCentralRecord,
                                                bool& StopNow)>;
  using TStartZipEvent = std::function<void(TObject* Sender, const std::string& FName,
                                            TZipHeaderInfo& ZipHeader, bool& Skip)>;
  using TEndZipEvent =
      std::function<void(TObject* Sender, const std::string& FName, int32_t UncompressedSize,
                         int32_t CompressedSize, int32_t CurrentZipSize)>;
  using TDisposeFileEvent =
      std::function<void(TObject* Sender, const std::string& FName, bool& Skip)>;
  using TDeleteEntryEvent =
      std::function<void(TObject* Sender, const std::string& FName, bool& Skip)>;
  using TNoSuchFileEvent = std::function<void(TObject* Sender, const std::string& FName)>;
  using TZipCompleteEvent = std::function<void(TObject* Sender, int32_t FileCount)>;
  using TUpdateEvent =
      std::function<void(TObject* Sender, TUpdateAction UDAction, int32_t FileIndex)>;
  using TRecursingFileEvent = std::function<void(TObject* Sender, const std::string& FName)>;
  using TEncryptEvent = std::function<void(TObject* Sender, uint8_t* Buffer, int32_t Length,
                                           const std::string& Password)>;
  using TPrepareNextDiskEvent = std::function<void(TObject* Sender, int32_t DiskNum)>;
  using TStartSpanCopyEvent =
      std::function<void(TObject* Sender, const std::string& FName, int64_t FileSize)>;
  using TGetNextStreamEvent =
      std::function<void(TObject* Sender, TStream*& Stream, std::string& NextFileName)>;

  // Attribute mask bits of the four Include settings; the volume-label
  // (0x08) and directory (0x10) bits are always in the mask.
  static constexpr uint8_t kAttrReadOnly = 0x01;
  static constexpr uint8_t kAttrHidden = 0x02;
  static constexpr uint8_t kAttrSystem = 0x04;
  static constexpr uint8_t kAttrArchive = 0x20;

  // The reader's defaults, then MultiZipInfo, ExcludeList and
  // NoCompressList and the writer's defaults (attribute mask 0x39).
  explicit TArcZip(TComponent* AOwner = nullptr);
  // Frees MultiZipInfo and the two pattern lists, then the reader's part.
  ~TArcZip() override;

  // From another TArcZip: what the reader copies, then the writer's
  // settings, the contents of MultiZipInfo, ExcludeList and NoCompressList,
  // and the handlers of OnStartZip, OnStartZipInfo, OnEndZip,
  // OnDisposeFile, OnDeleteEntry, OnNoSuchFile, OnZipComplete and OnUpdate
  // (no other handler). Anything else goes to the reader's Assign.
  void Assign(const TPersistent* Source) override;
  // The reader's Loaded, then MultiZipInfo's CheckDiskLabels and MultiMode
  // through their setters (so the reader's copies follow).
  void Loaded() override;
  // Passes Value to the reader's setter only when it differs from the
  // current name (always at design time). Names are compared exactly, as
  // the file system does: "Card.img" and "card.img" are two archives.
  void SetZipName(const std::string& Value) override;

  // The multi-volume mode and the disk-label check live in MultiZipInfo;
  // the setters also copy the value into the reader's own fields.
  TMultiMode MultiMode() const override;
  void SetMultiMode(TMultiMode Value) override;
  bool CheckDiskLabels() const override;
  void SetCheckDiskLabels(bool Value) override;

  // ---- Published properties ---------------------------------------------
  // 0 stores, 1 to 9 deflate at that level.
  int32_t PackLevel() const { return FPackLevel; }
  void SetPackLevel(int32_t Value) { FPackLevel = Value; }
  // Wildcard names of FilesList also search subdirectories.
  bool Recurse() const { return FRecurse; }
  void SetRecurse(bool Value) { FRecurse = Value; }
  // Delete the source files after a successful Zip.
  bool Dispose() const { return FDispose; }
  void SetDispose(bool Value) { FDispose = Value; }
  // Off also turns StoreVolumes and RelativePaths off.
  bool StorePaths() const { return FStorePaths; }
  void SetStorePaths(bool Value);
  // On also turns StorePaths and Recurse on.
  bool RelativePaths() const { return FRelativePaths; }
  void SetRelativePaths(bool Value);
  // On also turns StorePaths on.
  bool StoreVolumes() const { return FStoreVolumes; }
  void SetStoreVolumes(bool Value);
  TZipAction ZipAction() const { return FZipAction; }
  void SetZipAction(TZipAction Value) { FZipAction = Value; }
  // Owned; the setter copies the contents.
  TMultiZipInfo& MultiZipInfo() { return *FMultiZipInfo; }
  const TMultiZipInfo& MultiZipInfo() const { return *FMultiZipInfo; }
  void SetMultiZipInfo(const TMultiZipInfo& Value) { FMultiZipInfo->Assign(&Value); }
  bool Store83Names() const { return FStore83Names; }
  void SetStore83Names(bool Value) { FStore83Names = Value; }
  // Folder for the temporary data file of multi-volume output (empty: the
  // system's). The work file of a rebuild lives beside the archive.
  const std::string& TempPath() const { return FTempPath; }
  void SetTempPath(const std::string& Value) { FTempPath = Value; }
  bool SkipIfArchiveBitNotSet() const { return FSkipIfArchiveBitNotSet; }
  void SetSkipIfArchiveBitNotSet(bool Value) { FSkipIfArchiveBitNotSet = Value; }
  bool ResetArchiveBitOnZip() const { return FResetArchiveBitOnZip; }
  void SetResetArchiveBitOnZip(bool Value) { FResetArchiveBitOnZip = Value; }
  // Patterns of files never to zip / to store without compression; the
  // setters copy the items.
  const std::vector<std::string>& ExcludeList() const { return FExcludeList; }
  std::vector<std::string>& ExcludeList() { return FExcludeList; }
  void SetExcludeList(const std::vector<std::string>& Value) { FExcludeList = Value; }
  const std::vector<std::string>& NoCompressList() const { return FNoCompressList; }
  std::vector<std::string>& NoCompressList() { return FNoCompressList; }
  void SetNoCompressList(const std::vector<std::string>& Value) { FNoCompressList = Value; }
  // The host named in "version made by" of the entries written:
  // kHostUnix (the default) stores the Unix mode in the high half of the
  // external attributes beside the DOS attribute byte, and keeps links;
  // kHostDos the DOS attributes alone, for old DOS tools (a link to a file
  // is then stored as the file, and other links are left out, reported).
  uint8_t HostSystem() const { return FHostSystem; }
  void SetHostSystem(uint8_t Value) { FHostSystem = Value; }
  // How the names of the entries written are stored: UTF-8 (the default)
  // or the DOS code page convention (see TNameConvention).
  TNameConvention NameConvention() const { return FNameConvention; }
  void SetNameConvention(TNameConvention Value) { FNameConvention = Value; }
  // Symbolic links among the files: see TLinkMode. LinkRoot is the folder
  // (Windows-style) that StoreInside keeps links inside.
  TLinkMode LinkMode() const { return FLinkMode; }
  void SetLinkMode(TLinkMode Value) { FLinkMode = Value; }
  const std::string& LinkRoot() const { return FLinkRoot; }
  void SetLinkRoot(const std::string& Value) { FLinkRoot = Value; }
  bool AddDirEntriesOnRecurse() const { return FAddDirEntriesOnRecurse; }
  void SetAddDirEntriesOnRecurse(bool Value) { FAddDirEntriesOnRecurse = Value; }
  // The four Include settings are bits of the attribute mask.
  bool IncludeHiddenFiles() const { return (FAttributes & kAttrHidden) != 0; }
  void SetIncludeHiddenFiles(bool Value) { SetAttributeBit(kAttrHidden, Value); }
  bool IncludeSysFiles() const { return (FAttributes & kAttrSystem) != 0; }
  void SetIncludeSysFiles(bool Value) { SetAttributeBit(kAttrSystem, Value); }
  bool IncludeReadOnlyFiles() const { return (FAttributes & kAttrReadOnly) != 0; }
  void SetIncludeReadOnlyFiles(bool Value) { SetAttributeBit(kAttrReadOnly, Value); }
  bool IncludeArchiveFiles() const { return (FAttributes & kAttrArchive) != 0; }
  void SetIncludeArchiveFiles(bool Value) { SetAttributeBit(kAttrArchive, Value); }
  // Threads (inherited: one setting for reading and writing) also counts
  // the threads that make entries at once: with more than one, the data of
  // small files (up to 1 MiB) is read, compressed and encrypted ahead by a
  // pool of Threads - 1 workers (the caller's thread helping when it would
  // wait), while larger files stream on the caller's thread; entries are
  // still written, and every event raised, in list order on the caller's
  // thread (see Zip). 1 makes every entry on the caller's thread, one
  // after the other. Multi-volume output, the entries that replace
  // entries of an existing archive, and a set OnEncrypt always use one.
  // The attribute filter of every file search of Zip: hidden and system
  // files are found only when their bit is in it; directories always.
  uint8_t AttributeMask() const { return FAttributes; }

  // ---- Published events (called only when set) ------------------------------
  TStartZipInfoEvent OnStartZipInfo;
  TStartZipEvent OnStartZip;
  TEndZipEvent OnEndZip;
  TDisposeFileEvent OnDisposeFile;
  TDeleteEntryEvent OnDeleteEntry;  // never raised by Zip
  TNoSuchFileEvent OnNoSuchFile;
  TZipCompleteEvent OnZipComplete;
  TUpdateEvent OnUpdate;
  TRecursingFileEvent OnRecursingFile;
  TEncryptEvent OnEncrypt;
  TPrepareNextDiskEvent OnPrepareNextDisk;
  TStartSpanCopyEvent OnStartSpanCopy;
  TGetNextStreamEvent OnGetNextStream;  // never raised by Zip

  // ---- File list expansion (the first step of a Zip call) -------------------
  // Rewrites FilesList into the files and directory entries to zip:
  // directory entries (ending with '\') stay; plain names are completed with
  // RootDir when they have no folder and kept when they exist (found with
  // the attribute mask) and pass ExcludeList, the archive-bit rule and,
  // under zaFreshen, the freshen rule; wildcard names are taken out and
  // walked afterwards (a leading '|' forbids recursion, a leading '>' asks
  // for it, else Recurse decides), their finds appended. A walk never
  // yields the archive ZipName itself: the file that is the archive (same
  // device and inode), whatever name leads to it; another file whose name
  // differs only in case is an ordinary file. Drops are reported through
  // OnSkippingFile (FileIndex -1, Retry not consulted) and OnNoSuchFile;
  // every name a walk yields goes to OnRecursingFile.
  // The freshen rule looks names up in the directory the component holds
  // now (read with ReadDirectory beforehand); the view is sorted ByName for
  // the expansion and left ByNone after it, also when a handler raises.
  // Sets the total and done byte counts (the done count to 0) and the
  // path-length sum, and returns them with the number of names. A handler
  // that raises while the listed names are scanned leaves FilesList as it
  // was; one that raises during a walk leaves the finds made so far.
  TFileListExpansion ExpandFileList();

  // The stored directory of the entry written for FileName, and the one an
  // existing entry for FileName has, under the current settings.
  std::string EntryDirectoryFor(const std::string& FileName) const;
  std::string ComparingDirectoryFor(const std::string& FileName) const;
  // True when the directory the component holds has an entry whose name is
  // exactly the comparing directory plus file part of FileName (after the
  // OEM round trip when OEMConvert is set). Fastest with the view sorted
  // ByName.
  bool HasEntryFor(const std::string& FileName) const;

  // The archive-bit rule: whether a file with the DOS attributes Attr is
  // dropped when SkipIf (SkipIfArchiveBitNotSet) is set.
  static bool ArchiveBitDrops(uint32_t Attr, bool SkipIf) {
    return SkipIf && (Attr & kAttrArchive) == 0;
  }

  // The running path-length sum of the expansion.
  int64_t PathLengthSum() const { return FPathLengthSum; }

  // While OnSkippingFile or OnNoSuchFile runs during Zip: the cause in
  // words when there is more to say than the reason ("read error at byte
  // 65536: ...", "changed while it was read"), followed, for a file that
  // was to replace an entry, by "; the entry already in the archive is
  // kept". Empty otherwise.
  const std::string& SkipCause() const { return FSkipCause; }

  // ---- The Zip operation -------------------------------------------------
  // Expands FilesList and writes the files into the archive ZipName: a new
  // archive when no such file exists, else a rebuild through a work file
  // beside the archive that takes the archive's place (its mode, and owner
  // where the user may set it) by one rename once everything was written.
  // Entries of the old archive that no listed file replaces are copied over
  // without recompression, and so is an entry whose replacement could not
  // be written (the file unreadable, gone or changing, or skipped by
  // OnStartZip). Returns the number of files zipped (new ones and
  // replacements). A blank ZipName writes nothing and returns 0; a list
  // that named something of which nothing became an entry creates no new
  // archive and returns 0. FilesList is empty afterwards (unless ZipName
  // was blank).
  //
  // A file is never stored with fewer bytes than it has: a read error, or
  // a file that changed while it was read (size or times differ after the
  // pass; three attempts), leaves it out through OnSkippingFile with
  // srFileOpenError, the work file cut back to where the entry began, and
  // SkipCause saying why.
  //
  // With more than one thread (see Threads) the archive holds the same
  // bytes as with one (the random bytes of encryption headers aside), and
  // the events are the same, in the same order, all on the caller's
  // thread: the data of a few small files after the one being written is
  // made ahead, and used only if the file is admitted (OnStartZip) and
  // nothing it was made with changed.
  // On success the component's directory is the new archive's, OnTotalPercentDone
  // reports 100 and OnZipComplete runs. On failure the exception propagates
  // (ENotEnoughRoom, EZCompressionError, EUserCanceled, the reader's and
  // the streams' errors), OnZipComplete is not raised, and no partial
  // archive is left: a new archive is deleted, an old one stays as it was.
  int32_t Zip();

 protected:
  TStoredPathSettings PathSettings() const;
  // Raises OnSkippingFile with FileIndex -1 when set.
  void SkippingFile(TSkipReason Reason, const std::string& FName);
  void NoSuchFile(const std::string& FName);
  // Adds the length of an accepted name minus 2 to the path-length sum when
  // the multi-volume reserve is being computed.
  void CountPathLength(const std::string& Name);

  int64_t FPathLengthSum = 0;
  std::string FSkipCause;

 private:
  // What the runner of a Zip call (archive/writer/zip_runner.h) may reach
  // of the inner state (archive/writer/zip_archive_state.h); made by Zip.
  class TRunnerState;
  void SetAttributeBit(uint8_t Bit, bool Value);
  // Walks one wildcard name and appends its finds to FilesList.
  void WalkWildcardName(std::string Name, bool Freshen);

  int32_t FPackLevel = 6;
  bool FRecurse = false;
  bool FDispose = false;
  bool FStorePaths = false;
  bool FRelativePaths = false;
  bool FStoreVolumes = false;
  TZipAction FZipAction = zaUpdate;
  std::unique_ptr<TMultiZipInfo> FMultiZipInfo;
  bool FStore83Names = false;
  std::string FTempPath;
  bool FSkipIfArchiveBitNotSet = false;
  bool FResetArchiveBitOnZip = false;
  std::vector<std::string> FExcludeList;
  std::vector<std::string> FNoCompressList;
  bool FAddDirEntriesOnRecurse = false;
  uint8_t FAttributes = 0x3F;
  uint8_t FHostSystem = kHostUnix;
  TNameConvention FNameConvention = TNameConvention::Utf8;
  TLinkMode FLinkMode = TLinkMode::Store;
  std::string FLinkRoot;
};

}  // namespace zem
