// TArcUnZip: the archive reader component. Opens the zip archive named by
// ZipName, reads and caches its directory, answers per-entry questions,
// handles archives without a usable end record, and reaches the disks or
// parts of multi-disk archives. The writer TArcZip derives from it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/format/crc_crypt.h"
#include "archive/format/deflate_engine.h"
#include "archive/format/zip_records.h"
#include "archive/reader/arc_exceptions.h"
#include "archive/reader/arc_types.h"
#include "archive/support/lfn_file_stream.h"
#include "archive/support/path_helpers.h"
#include "platform/base.h"
#include "platform/cpu_features.h"
#include "platform/safe_files.h"

namespace zem {

// What identifies one state of the archive file on disk: its size and its
// modification time in nanoseconds, so that two writes within one second
// are told apart. Valid is false for "no date recorded".
struct TArchiveStamp {
  bool Valid = false;
  int64_t Size = 0;
  int64_t MTimeNs = 0;
  bool operator==(const TArchiveStamp&) const = default;
};

class TArcUnZip : public TComponent {
 public:
  // Event signatures; every handler receives the component as Sender and
  // the component uses what the handler leaves in by-reference parameters.
  using TStartUnZipInfoEvent =
      std::function<void(TObject* Sender, int32_t NumFiles, int64_t TotalBytes, bool& StopNow)>;
  using TStartUnZipEvent =
      std::function<void(TObject* Sender, int32_t FileIndex, std::string& FName, bool& Skip)>;
  using TEndUnZipEvent =
      std::function<void(TObject* Sender, int32_t FileIndex, const std::string& FName)>;
  using TPromptForOverwriteEvent = std::function<void(TObject* Sender, bool& OverWriteIt,
                                                      int32_t FileIndex, std::string& FName)>;
  using TBadPasswordEvent =
      std::function<void(TObject* Sender, int32_t FileIndex, std::string& NewPassword)>;
  using TBadCRCEvent = std::function<void(TObject* Sender, uint32_t CalcCRC, uint32_t StoredCRC,
                                          int32_t FileIndex)>;
  using TInCompleteZipEvent =
      std::function<void(TObject* Sender, TIncompleteZipMode& IncompleteMode)>;
  using TUnZipCompleteEvent = std::function<void(TObject* Sender, int32_t FileCount)>;
  using TGetNextBufferEvent =
      std::function<void(TObject* Sender, uint8_t*& Buffer, const std::string& FName,
                         int32_t AmountUsed, int32_t BufferNum, bool& Quit)>;
  using TDecryptEvent = std::function<void(TObject* Sender, uint8_t* Buffer, int32_t Length,
                                           const std::string& Password)>;
  using TPercentDoneEvent = std::function<void(TObject* Sender, int32_t Percent)>;
  using TSkippingFileEvent =
      std::function<void(TObject* Sender, TSkipReason Reason, const std::string& FName,
                         int32_t FileIndex, bool& Retry)>;
  using TGetNextDiskEvent =
      std::function<void(TObject* Sender, int32_t NextDisk, std::string& FName)>;
  using TFileNameForSplitPartEvent = std::function<void(
      TObject* Sender, std::string& FName, int32_t PartNum, TSplitPartType SplitType)>;
  using THandleMessageEvent =
      std::function<void(TObject* Sender, int32_t MessageID, const std::string& Msg1,
                         const std::string& Msg2, uint32_t Flags, int32_t& Return)>;
  using TEntryNoticeEvent = std::function<void(TObject* Sender, int32_t FileIndex,
                                               const std::string& FName, const std::string& Text)>;

  // No archive, no directory, disk count 1, defaults of every property.
  explicit TArcUnZip(TComponent* AOwner = nullptr);
  // ClearArchive (the file is closed even with KeepZipOpen), then frees the
  // working header, the end record and the lists.
  ~TArcUnZip() override;

  // From another TArcUnZip: the stored values of ZipName, DestDir and
  // RootDir (no setter runs), the settings and most handlers; anything else
  // goes to TPersistent (EConvertError).
  void Assign(const TPersistent* Source) override;
  // Forces ThisVersion 304 and ThisBuild 1 after loading.
  void Loaded() override;

  // ---- Published properties ---------------------------------------------
  int32_t ThisVersion() const { return FThisVersion; }
  void SetThisVersion(int32_t) { FThisVersion = 304; }
  int32_t ThisBuild() const { return FThisBuild; }
  void SetThisBuild(int32_t) { FThisBuild = 1; }

  const std::string& ZipName() const { return FZipName; }
  // Design time: stores the value only. A value equal to the current one
  // (exactly: names differing in case are different files) changes nothing. A value ending with "?" shows the
  // open-file dialog; cancelling raises EUserCanceled "User canceled setting
  // zip file name." and changes nothing. Otherwise the name is taken, the
  // base name derived, and everything loaded is dropped (the directory is
  // read again by ReadDirectory).
  virtual void SetZipName(const std::string& Value);

  const std::string& DestDir() const { return FDestDir; }
  // "?" shows the folder dialog (cancel: EUserCanceled "User canceled Set
  // Destination Directory"); one trailing "\" is removed in every case.
  void SetDestDir(const std::string& Value);
  const std::string& RootDir() const { return FRootDir; }
  // Appends a missing "\" to a non-empty value; RelativePathList then holds
  // RootDir (even when empty) as its only item.
  void SetRootDir(const std::string& Value);
  const std::vector<std::string>& RelativePathList() const { return FRelativePathList; }
  std::vector<std::string>& RelativePathList() { return FRelativePathList; }
  void SetRelativePathList(const std::vector<std::string>& Value) { FRelativePathList = Value; }
  TZipSortMode SortMode() const { return FSortMode; }
  // Rebuilds the view in the new order (BuildView).
  void SetSortMode(TZipSortMode Value) { BuildView(Value); }
  bool RecreateDirs() const { return FRecreateDirs; }
  void SetRecreateDirs(bool Value) { FRecreateDirs = Value; }
  TUZOverwriteMode OverwriteMode() const { return FOverwriteMode; }
  void SetOverwriteMode(TUZOverwriteMode Value) { FOverwriteMode = Value; }
  const std::vector<std::string>& FilesList() const { return FFilesList; }
  std::vector<std::string>& FilesList() { return FFilesList; }
  // Copies the items.
  void SetFilesList(const std::vector<std::string>& Value) { FFilesList = Value; }
  bool DoAll() const { return FDoAll; }
  void SetDoAll(bool Value) { FDoAll = Value; }
  TIncompleteZipMode IncompleteZipMode() const { return FIncompleteZipMode; }
  void SetIncompleteZipMode(TIncompleteZipMode Value) { FIncompleteZipMode = Value; }
  bool KeepZipOpen() const { return FKeepZipOpen; }
  void SetKeepZipOpen(bool Value) { FKeepZipOpen = Value; }
  bool DoProcessMessages() const { return FDoProcessMessages; }
  void SetDoProcessMessages(bool Value) { FDoProcessMessages = Value; }
  bool RetainAttributes() const { return FRetainAttributes; }
  void SetRetainAttributes(bool Value) { FRetainAttributes = Value; }
  bool ReplaceReadOnly() const { return FReplaceReadOnly; }
  void SetReplaceReadOnly(bool Value) { FReplaceReadOnly = Value; }
  bool FlushFilesOnClose() const { return FFlushFilesOnClose; }
  void SetFlushFilesOnClose(bool Value) { FFlushFilesOnClose = Value; }
  TBlockMode BlockMode() const { return FBlockMode; }
  void SetBlockMode(TBlockMode Value) { FBlockMode = Value; }
  bool OEMConvert() const { return FOEMConvert; }
  void SetOEMConvert(bool Value) { FOEMConvert = Value; }
  // How many entries UnZip and TestZip decode at once (default: the
  // processors the process may use; values below 1 count as 1, above 64 as
  // 64). With 1 every entry is done in turn on the calling thread. With
  // more, workers decrypt, decode and write entries while the calling
  // thread goes on with the next ones; every event is still raised on the
  // calling thread: OnStartUnZip, the password check, the overwrite
  // question and the refusals before an entry's work, in entry order; the
  // percentages, OnEndUnZip and the verdicts after it, in entry order too
  // (so the events of one entry come as with 1, while the start of a later
  // entry may come before the end of an earlier one). Folder and link
  // entries, an entry whose target an earlier entry still in work writes
  // (or writes a folder of), an overwrite question, multi-disk archives and
  // runs with OnDecrypt are done one at a time after all earlier work.
  static constexpr int32_t kMaxThreads = 64;
  int32_t Threads() const { return FThreads; }
  void SetThreads(int32_t Value) { FThreads = Value < 1 ? 1 : Value > kMaxThreads ? kMaxThreads : Value; }

  // ---- Public, not published ------------------------------------------------
  // Which library deflates and inflates entry data: deAuto (ISA-L where it
  // serves, when built in) or deZlib. Starts as DefaultDeflateEngine().
  TDeflateEngine DeflateEngine() const { return FDeflateEngine; }
  void SetDeflateEngine(TDeflateEngine Value) { FDeflateEngine = Value; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& Value) { FPassword = Value; }
  // The writer keeps these two in its MultiZipInfo and mirrors them here.
  virtual TMultiMode MultiMode() const;
  virtual void SetMultiMode(TMultiMode Value);
  virtual bool CheckDiskLabels() const;
  virtual void SetCheckDiskLabels(bool Value);

  // ---- Published events (called only when set) ------------------------------
  TStartUnZipInfoEvent OnStartUnZipInfo;
  TStartUnZipEvent OnStartUnZip;
  TEndUnZipEvent OnEndUnZip;
  TPromptForOverwriteEvent OnPromptForOverwrite;
  TBadPasswordEvent OnBadPassword;
  TBadCRCEvent OnBadCRC;
  TInCompleteZipEvent OnInCompleteZip;
  TUnZipCompleteEvent OnUnZipComplete;
  TGetNextBufferEvent OnGetNextBuffer;  // never raised
  TDecryptEvent OnDecrypt;
  TPercentDoneEvent OnFilePercentDone;
  TPercentDoneEvent OnTotalPercentDone;
  TSkippingFileEvent OnSkippingFile;
  TGetNextDiskEvent OnGetNextDisk;
  TFileNameForSplitPartEvent OnFileNameForSplitPart;
  THandleMessageEvent OnHandleMessage;
  // An entry extracted otherwise than it is stored, with the reason in
  // words: a symbolic link whose target would lead outside the destination
  // (or is too long for a link) is written as a regular file holding the
  // target text. The entry counts as extracted; the handler decides what
  // the run's outcome says.
  TEntryNoticeEvent OnEntryNotice;

  // ---- Operations and read-outs ---------------------------------------------
  // Makes sure the directory of ZipName is loaded and current: reads it on
  // first use and again whenever the file's stamp differs from the recorded
  // one. EIncompleteZip is retried while OnInCompleteZip is set, else
  // dropped (Count 0). Any other error runs ClearArchive and propagates:
  // the file stream's open error, ENotAZipFile, EBadZipFile, EUserCanceled.
  // The file is closed at the end unless KeepZipOpen is True.
  void ReadDirectory();

  // Number of entries in the directory list (0 when none is loaded).
  int32_t Count() const;
  // Indexed read-outs take view entry I; outside 0..Count-1 they raise
  // EListError "Index %d is out of range" with I.
  std::string EntryName(int32_t I) const;
  uint64_t EntryUncompressedSize(int32_t I) const;
  // The entry's DOS date/time as TDateTime; the current date and time when
  // the stored value is no real date.
  TDateTime EntryDateTime(int32_t I) const;
  // The whole entry record of view entry I (owned by the directory list;
  // valid until the directory is reloaded or cleared).
  const TZipHeaderInfo& EntryHeader(int32_t I) const;
  // Comments are read from the archive on first use; setting one only marks
  // the end record modified (TArcZip writes it).
  std::string EntryComment(int32_t I);
  void SetEntryComment(int32_t I, const std::string& Value);
  std::string ArchiveComment();
  void SetArchiveComment(const std::string& Value);

  // Shows a message through OnHandleMessage when set (its Return is the
  // answer), else through the window services' message box (no owner).
  int32_t DoHandleMessage(int32_t MessageID, const std::string& Msg1, const std::string& Msg2,
                          uint32_t Flags);

  // ---- Extraction -------------------------------------------------------------
  // Extracts the chosen entries (all with DoAll, else those matching a
  // FilesList pattern) below DestDir and returns how many were extracted
  // (files written with their declared size and a correct CRC, plus
  // directory entries handled). Per-entry problems fail that entry only,
  // are reported through the events (OnSkippingFile with EntryError saying
  // why; OnBadCRC for a CRC mismatch), and the run goes on: a wrong password
  // (also when the check byte passed and the data then failed), an existing
  // file kept, a name that would leave DestDir or is too long for the
  // system, a link met where a folder is expected, a file not creatable or
  // not writable, a missing local header, an unsupported method, data the
  // decoder refuses, data shorter or longer than declared, an archive that
  // ends inside the entry. Nothing is written through a link: files are
  // made below DestDir one folder at a time without following links, under
  // a temporary name that replaces the target (a link there included) only
  // once the entry is complete; a failed entry leaves no file and the file
  // it would have replaced as it was. Raises, after ending the run
  // (FilesList emptied, OnUnZipComplete): EUserCanceled, the errors of
  // opening another disk, the directory reader's errors, and EConvertError
  // for an entry date that is no date in the ifNewer and ifOlder modes.
  int32_t UnZip();
  // As UnZip, but every chosen entry is decompressed into a stream that
  // keeps nothing: names, methods, passwords, sizes and CRCs are checked and
  // the same events raised with the same verdicts, and no file or folder is
  // created, replaced or deleted. Returns the number of entries that passed.
  int32_t TestZip();
  // Why the entry in work failed, in words ("unsupported compression method
  // 99 (AES)", zlib's message, the sizes that differ, the folder that is a
  // link); set before OnSkippingFile, OnBadPassword or OnBadCRC is raised
  // for it, empty when there is nothing to add to the event's reason.
  const std::string& EntryError() const { return FEntryError; }
  // Files of the last UnZip that are in place, whole and checked, but whose
  // end was never raised: with several threads, a run ended by an
  // exception (a handler cancelling at an earlier entry's end, say) keeps
  // the later files a worker had already put in place. The ends raised
  // plus these are the files the run left.
  int32_t PlacedUnreported() const { return FPlacedUnreported; }

  // ---- Multi-disk archives ------------------------------------------------
  // Closes the archive stream and opens disk N (1-based): in mmBlocks the
  // part named from the base name; in mmSpan and mmNone the file named by
  // the next-disk request, repeated until it names an existing file on a
  // disk whose label matches (EUserCanceled "User canceled loading new
  // disk." when the request answers an empty name). In mmNone without an
  // OnGetNextDisk handler the request is made once and a missing file ends
  // in the file stream's open error. The current disk becomes N-1, the
  // stamp is recorded, ZipName names the opened file (the directory stays
  // loaded). Returns the new archive stream (owned by the component).
  TLFNFileStream* OpenDisk(int32_t N);
  // OnGetNextDisk when set, else AskForDisk.
  void RequestNextDisk(int32_t N, std::string& FName);
  // The default request: only in mmSpan, the prompt "Please insert disk N
  // of the multi-disk set." (OK/Cancel, identifier 184); Cancel empties FName.
  void AskForDisk(int32_t N, std::string& FName);
  // OnFileNameForSplitPart when set, else SplitPartName. FName comes in as
  // the base name and leaves as the part's name.
  void NameSplitPart(std::string& FName, int32_t N, TSplitPartType SplitType);
  // bmClassic: B.001; bmStandard: B.zip for spLast, else B.zip.z01.
  void SplitPartName(std::string& FName, int32_t N, TSplitPartType SplitType) const;
  // True unless mmSpan; else whether the label of ZipName's drive (first 11
  // characters) ends with N as three digits.
  bool DiskLabelMatches(int32_t N) const;
  // ZipName without the extension of its file-name part.
  const std::string& BaseName() const { return FBaseName; }

  // ---- Internal operations used by the writer and the extraction -----------
  // Opens ZipName (read, deny write, 8192-byte buffer) unless open, then
  // loads the directory when none is loaded or the file's stamp changed.
  void OpenArchive();
  // Closes the archive stream unless KeepZipOpen.
  void CloseArchive();
  // Back to the created state: file closed, directory and view freed, end
  // record cleared, scan mode off, stamp cleared, disk count 1, MultiMode
  // mmNone (virtual setter), ZipName empty.
  void ClearArchive();
  // Makes the view for Mode (the directory list itself for ByNone, else a
  // non-owning sorted copy) and sets SortMode.
  void BuildView(TZipSortMode Mode);

  bool Busy() const { return FBusy != 0; }
  int32_t DiskCount() const { return FDiskCount; }
  int32_t CurrentDisk() const { return FCurrentDisk; }
  uint8_t OperationState() const { return FOperationState; }
  bool ScanMode() const { return FScanMode != 0; }
  const TArchiveStamp& RecordedStamp() const { return FRecordedStamp; }
  const TEndCentral& EndRecord() const { return *FEndRecord; }
  // How many times the central directory has been loaded (for callers that
  // want to know whether the cache was used).
  int64_t LoadCount() const { return FLoadCount; }
  // What the last load of the directory found wrong, one sentence each:
  // what it worked round without losing an entry (an archive comment cut
  // by the end of the file, an end record counting fewer entries than the
  // central directory holds), and how many entries the end record lists
  // that a rebuild from the local headers did not find; empty for a sound
  // archive. Defects of single entries are on the entries
  // (TZipHeaderInfo::Defect).
  const std::vector<std::string>& DirectoryWarnings() const { return FDirectoryWarnings; }
  // How many entries the end record lists that the last load could not
  // find (a rebuild from the local headers that came up short): they can be
  // neither named, extracted nor tested; 0 when every listed entry is there.
  int64_t MissingEntries() const { return FMissingEntries; }

 protected:
  // Reads the directory from the archive stream: end record (or the repair
  // file ".zfc"), the incomplete-archive policy, the central headers.
  virtual void LoadDirectory();
  // Rebuilds the directory from local headers (from offset 14000 for
  // ".exe" names). False when the scan already ran during this load (each
  // load starts with the scan mode flag clear) or no local header is found.
  // The data of an entry with a data descriptor is followed to the first
  // header signature (or the end of the file) that a matching descriptor
  // stands in front of; the descriptor gives the entry's CRC and sizes.
  bool ScanLocalHeaders();
  // Runs the message pump (the window services dispatch pending messages).
  void ProcessMessages();
  // ProcessMessages when DoProcessMessages is True.
  void PumpMessages() {
    if (FDoProcessMessages) ProcessMessages();
  }
  // Frees the view (when separate) and the directory list.
  void FreeDirectory();
  // Makes List the directory (view ByNone, SortMode ByNone); used by the
  // writer after a Zip.
  void ReplaceDirectory(std::unique_ptr<TSortedZip> List);
  // Records the current stamp of ZipName's file (so an unchanged file is not
  // read again); a file that cannot be examined clears the stamp.
  void RecordArchiveStamp();
  // The stamp of FileName now (Valid false when it cannot be examined).
  static TArchiveStamp StampOf(const std::string& FileName);
  // Range check of the indexed read-outs.
  void CheckIndex(int32_t I) const;
  // Loads the comment of entry E from its central header when only its
  // length is known.
  void LoadEntryComment(TZipHeaderInfo& E);
  // Loads the archive comment from ZipCommentPos when only its length is
  // known.
  void LoadArchiveComment();

  // ---- Extraction run and decompression engine ----------------------------------
  // Buffers, decoders and per-entry state of one UnZip or TestZip run.
  struct TUnzipRun;
  struct TUnzipRunDeleter {
    void operator()(TUnzipRun* Run) const;
  };
  // The destination folder of entry E, ending with "\".
  std::string EntryDestDir(const TZipHeaderInfo& E) const;
  // Both public runs: ReadDirectory, OpenArchive, the run, CloseArchive.
  int32_t RunUnZip(bool TestOnly);
  // The run proper (selection, events, per-entry steps, the end).
  int32_t ExtractRun(bool TestOnly);
  // One per-entry step for view entry I; true when the entry counts.
  bool ExtractEntry(int32_t I, bool TestOnly);
  // The steps of ExtractEntry, on the working header. A false answer means
  // the entry is skipped (and, where a reason applies, announced).
  bool SeekEntryData(int32_t I);
  bool MakeEntryFolder(int32_t I, const std::string& D, bool TestOnly);
  bool PrepareEntryTarget(int32_t I, std::string& FName);
  bool CheckEntryName(int32_t I, const std::string& Name);
  bool CheckEntryMethod(int32_t I);
  bool CheckEntryPassword(int32_t I);
  // ExistingTime: the modification time (seconds) of what has the name.
  bool MayOverwrite(int32_t I, std::string& FName, int64_t ExistingTime);
  struct TEntryFile;
  struct TEntryFileDeleter {
    void operator()(TEntryFile* File) const;
  };
  using TEntryFilePtr = std::unique_ptr<TEntryFile, TEntryFileDeleter>;
  bool OpenEntryOutput(int32_t I, std::string& FName, TEntryFilePtr& File);
  bool OpenTargetFolder(int32_t I, const std::string& Name, bool IsFolder,
                        platform::TFolderHandle& Folder, std::string& Leaf);
  // Before the first entry of an extraction: the folders of the chosen
  // entries below the destination, made at once; at its end, those of
  // them that stayed empty (an entry skipped or failed) go again.
  void MakeFoldersAhead(int32_t Count);
  void RemoveFoldersAhead();
  enum class TDataVerdict { Clean, BadData, WriteFailed };
  TDataVerdict DecompressEntry(int32_t DataDisk, int64_t DataPos, TEntryFile* File);
  platform::TFileStamp EntryStamp(const TZipHeaderInfo& W) const;
  enum class TLinkVerdict : uint8_t { Made, AsFile, Failed };
  TLinkVerdict PlaceLink(int32_t I, TEntryFilePtr& File);
  // Puts a whole, checked file under its final name with the entry's time
  // and attributes, and lets it go; false with Why (in the user's terms)
  // when the system refused.
  bool CommitEntryFile(const TZipHeaderInfo& W, TEntryFilePtr& File, std::string& Why) const;
  bool FinishEntry(int32_t I, const std::string& FName, TDataVerdict Verdict, TEntryFilePtr& File,
                   bool TestOnly);
  // OnSkippingFile for entry I, and its size off the run's total.
  void SkipEntry(int32_t I, TSkipReason Reason, const std::string& Name);
  // EntryError set to Why, then SkipEntry; always false.
  bool FailEntry(int32_t I, TSkipReason Reason, const std::string& Why);
  // Decompresses the entry of lane R (R.Entry, from R's input position)
  // into Out, updating R.Crypt's running CRC. False when the method's
  // decoder found the data unusable or its length differs from the
  // declared size (the entry fails whatever its CRC), with *R.Error saying
  // why. Raises EBiggerThanUncompressed for output beyond the declared
  // size, ECantWriteUCF when Out refuses bytes, EFatalUnzipError when the
  // archive ends inside the data. A worker's lane touches nothing of the
  // component: it reads its own input and logs progress for the caller.
  bool Decompress(TUnzipRun& R, TStream& Out);
  // Decompress into File (or into nothing when testing), with R.Crypt's
  // CRC reset first and the verdict taken (EntryError-style text in
  // *R.Error); an archive ending inside the data raises on.
  TDataVerdict DecodeEntry(TUnzipRun& R, TEntryFile* File);
  // The verdicts DecodeEntry gives, with their text in *R.Error: output
  // beyond the declared size, a write refused, and the output closed once
  // the data is through (Clean, or a write refused at the close).
  static TDataVerdict TooMuchOutput(TUnzipRun& R);
  static TDataVerdict WriteRefused(TUnzipRun& R, TEntryFile* File);
  static TDataVerdict OutputClosed(TUnzipRun& R, TEntryFile* File);
  // Whether lane R wrote exactly the declared size (*R.Error says so when not).
  static bool SizeMatches(TUnzipRun& R);
  // A worker's read of entry data: EFatalUnzipError when the archive ends.
  static void ReadLaneBlock(TStream& Input, uint8_t* Buffer, int64_t Count);
  // The stream an entry's output goes to: File's buffer, or Null.
  static TStream& OutputOf(TEntryFile* File, TStream& Null);
  // Reads Count bytes of entry data, continuing on the next disk of a
  // multi-disk archive; EFatalUnzipError when the data ends early.
  void ReadEntryData(uint8_t* Buffer, int64_t Count);
  // The next block of compressed (decrypted) bytes of lane R's entry: its
  // length, 0 once the entry's compressed bytes are used up.
  size_t NextBlock(TUnzipRun& R, const uint8_t*& Data);
  // Checks, writes and accounts N decompressed bytes.
  void FlushOutput(TUnzipRun& R, const uint8_t* Data, size_t N);
  // The percentages for N more bytes of an entry of Size bytes, of which
  // Written are now out.
  void ReportProgress(int64_t Written, uint64_t Size, size_t N);

  // ---- Several entries at once (parallel_unzip.cpp) ------------------------
  struct TUnzipJob;
  struct TUnzipPool;
  // Whether this run may use workers (Threads above 1, a single-disk
  // archive, no OnDecrypt handler, more than one entry to do).
  bool RunsInParallel(int32_t ToDo) const;
  // The per-entry loop of ExtractRun with workers; false when the workers
  // could not be set up (the caller then runs the serial loop).
  bool ExtractInParallel(int32_t N, bool TestOnly);
  enum class TPrepared : uint8_t { Done, Serial, Queued };
  // ExtractEntry up to the data: Serial when the entry must be done by
  // ExtractEntry after all earlier work, Queued when handed to a worker,
  // Done when it failed or was skipped before its data.
  TPrepared PrepareEntry(TUnzipPool& Pool, int32_t I, bool TestOnly);
  // Waits for the oldest entry in work, raising its percentages as they
  // come, then its end as ExtractEntry would.
  void CollectOldest(TUnzipPool& Pool);
  // With the window full of small entries: waits until half of them have
  // ended (or nothing is left for the workers to start), so the calling
  // thread sleeps and wakes once per batch rather than once per entry.
  void WaitForBatch(TUnzipPool& Pool);
  // A worker's record of N more bytes written for Job, for the caller to
  // raise the percentages from, in order.
  static void LogProgress(TUnzipJob& Job, size_t N);
  // Size off the run's total after the youngest entry in work, when there
  // is one (false: none, take it off now).
  static bool DeferSkippedSize(TUnzipPool& Pool, uint64_t Size);
  // On a worker thread: keeps the reason with the worker's entry, for the
  // calling thread to report at its end, and answers true; elsewhere false.
  static bool FailInWorker(TSkipReason Reason, const std::string& Why);
  // Whether a run's workers hold entries not yet taken back.
  bool WorkInFlight() const;
  // Collects every entry in work (those whose end asked for a retry with a
  // new password are kept for RetryEntries).
  void DrainPool();
  // Runs, one at a time, the entries whose end asked for a retry.
  void RetryEntries(TUnzipPool& Pool);

  std::unique_ptr<TUnzipRun, TUnzipRunDeleter> FRun;  // only during a run
  bool FRetryEntry = false;  // the retry mark: run the same entry again
  std::string FEntryError;   // why the entry in work failed
  // The destination folder, opened once when an extraction starts: every
  // entry is written below this very folder, so a card swapped or another
  // volume mounted at the same place during the run is never written to.
  platform::TFolderHandle FRunDest;
  std::vector<std::string> FFoldersAhead;  // made by MakeFoldersAhead, below FRunDest
  // The folders of folder entries with their entries' stamps, given once
  // the run's files are in them (the deepest first).
  std::vector<std::pair<std::string, platform::TFileStamp>> FFolderStamps;

  // Archive state (see the class comment for who uses what).
  int32_t FDiskCount = 1;        // NumberOfThisDisk + 1 of the last end record
  uint8_t FOperationState = 0;   // 1 while UnZip runs, 0 while Zip runs, 2 after
  uint8_t FBusy = 0;             // set while ReadDirectory, UnZip or Zip run
  uint32_t FStreamBufferSize = 8192;
  std::unique_ptr<TZipHeaderInfo> FWorkingHeader;  // entry being extracted
  std::unique_ptr<TSortedZip> FDirectory;          // owns the entries, ByNone
  std::unique_ptr<TSortedZip> FSortedView;         // separate view, not owning
  TSortedZip* FView = nullptr;                     // FDirectory or FSortedView
  TArchiveStamp FRecordedStamp;
  uint8_t FScanMode = 0;
  int32_t FCurrentDisk = 0;
  std::unique_ptr<TLFNFileStream> FArchive;
  TZipCrypt FCrypt;                 // running CRC and key state
  std::unique_ptr<TEndCentral> FEndRecord;
  std::string FMessageText;
  int64_t FTotalBytes = 0;
  int64_t FBytesDone = 0;
  std::string FBaseName;
  int64_t FLoadCount = 0;
  int32_t FPlacedUnreported = 0;
  int64_t FMissingEntries = 0;
  // The files a run put in place, by their native path upper-cased: a
  // volume that folds case takes a later name differing only in case for
  // one of them (workers add to it under the lock).
  mutable std::mutex FPlacedLock;
  mutable std::unordered_map<std::string, std::string> FPlacedFiles;

  // Property storage (the writer's accessors mirror into the last two).
  std::string FZipName;
  TMultiMode FMultiMode = mmNone;
  bool FCheckDiskLabels = true;

 private:
  // Where LoadDirectory reads the central directory from: the archive (or
  // one of its disks), or the repair file when that gave the end record.
  struct TDirectorySource {
    TStream* Stream = nullptr;
    std::unique_ptr<TLFNFileStream> Repair;
  };
  // The stages of LoadDirectory.
  bool FindEndRecords(TDirectorySource& Source, std::string& Missing);
  void SeekCentralDirectory(TDirectorySource& Source);
  void ApplyIncompletePolicy(TDirectorySource& Source, const std::string& Missing);
  void PrepareDirectoryList(TStream& S);
  void LoadSetComment(TDirectorySource& Source);
  // Reads the central headers into the directory, and its steps.
  void ReadCentralEntries(TStream*& S);
  bool ReadCentralHeader(TZipHeaderInfo& Entry, TStream*& S, bool Continue, TZipHeaderInfo* Previous);
  void RebuildOrFail(const std::string& Why);
  void CompleteScannedEntry(const TZipHeaderInfo& Entry, TStream& S);
  bool KeepCentralEntry(std::unique_ptr<TZipHeaderInfo>& Entry);
  void PassCentralTail(TZipHeaderInfo& Kept, TStream& S);
  // Where the data of the data-descriptor entry Entry, starting at
  // DataStart, ends: the position of the record after its descriptor,
  // with the descriptor's CRC and sizes taken into Entry; -1 when no
  // descriptor matches, NextLocal then being the first local header
  // signature after DataStart (-1 when none).
  int64_t FindDescriptorEnd(TZipHeaderInfo& Entry, int64_t DataStart, int64_t& NextLocal);
  // Two entries whose local header and data run into each other (or into
  // the central directory), described; empty when there are none.
  std::string FindOverlap(bool FromRepair) const;
  // Overlapping entries are a damaged directory only when the local
  // headers put them right (single-disk archives, every declared entry
  // found by the scan); otherwise the archive is refused as a possible
  // zip bomb (EBadZipFile, with the entries named in the detail).
  void RefuseOverlaps(uint64_t Declared, bool FromRepair);
  // Gives each entry whose declared sizes its data cannot have its Defect.
  void MarkImpossibleSizes();
  // " on disk N" for a multi-disk archive's messages, else nothing.
  std::string DiskText() const;
  // Opens disk N of a multi-disk archive for the central directory reader.
  void NextVolumeForCentral(TStream*& Stream);

  std::vector<std::string> FDirectoryWarnings;
  // Set when two central headers named one local header offset and the
  // directory was rebuilt from the local headers for it.
  std::string FDuplicateOffset;

  int32_t FThisVersion = 304;
  int32_t FThisBuild = 1;
  std::string FDestDir;
  std::string FRootDir;
  std::vector<std::string> FRelativePathList;
  TZipSortMode FSortMode = ByNone;
  bool FRecreateDirs = false;
  TUZOverwriteMode FOverwriteMode = Prompt;
  std::vector<std::string> FFilesList;
  bool FDoAll = false;
  TIncompleteZipMode FIncompleteZipMode = izAssumeMulti;
  bool FKeepZipOpen = false;
  bool FDoProcessMessages = true;
  bool FRetainAttributes = true;
  bool FReplaceReadOnly = false;
  bool FFlushFilesOnClose = false;
  TBlockMode FBlockMode = bmStandard;
  bool FOEMConvert = true;
  TDeflateEngine FDeflateEngine = DefaultDeflateEngine();
  int32_t FThreads = std::min(platform::AvailableProcessors(), kMaxThreads);
  std::string FPassword;
};

}  // namespace zem
