// The working state and the steps of one Zip call of TArcZip: the work
// file, the new directory and end record, the per-entry step with its read
// and write routines, and the finishing. Private to the writer.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/format/zip_records.h"
#include "archive/support/buffer_stream.h"
#include "archive/support/lfn_file_stream.h"
#include "archive/writer/arc_zip.h"
#include "archive/writer/entry_coder.h"
#include "archive/writer/entry_pool.h"
#include "archive/writer/zip_archive_state.h"
#include "platform/signal_cleanup.h"
#include "platform/stream.h"
#include "platform/winapi.h"

namespace zem {

// The file the archive is written to. Every write that the disk does not
// take whole raises ENotEnoughRoom "Not enough room to write archive", so a
// full disk is reported the same way wherever the bytes leave the buffer:
// entry data, headers, the central directory or the last flush.
class TWorkFileStream : public TFileStream {
 public:
  // Creates FileName (replacing a file of that name, or, when New, only
  // when there is none); EFCreateError when it cannot be created.
  explicit TWorkFileStream(const std::string& FileName, bool New = false)
      : TFileStream(FileName, New ? fmCreateNew : fmCreate) {}
  int64_t Write(const void* Buffer, int64_t Count) override;
};

class TZipRunner {
 public:
  // Owner's public settings, events and operations are used directly; its
  // inner state only through State.
  TZipRunner(TArcZip& Owner, TZipArchiveState& State);
  ~TZipRunner();
  TZipRunner(const TZipRunner&) = delete;
  TZipRunner& operator=(const TZipRunner&) = delete;

  // The build of a Zip call (everything but the busy flag and
  // OnZipComplete); returns the number of files zipped.
  int32_t Run();

 private:
  // ---- Zip operation (zip_operation.cpp) ----------------------------------
  // Names the work file, creates it and the new directory lists; for a
  // rebuild takes over the old end record and its comment.
  void OpenOutput(bool Rebuild);
  // The temporary folder of the work file: TempPath when it names an
  // existing folder, else the system's (ending with '\').
  std::string TempFolder() const;
  // Entries of the existing archive: kept (copied), replaced or dropped.
  void ExistingEntryPass();
  // Copies one kept entry (index Index of the old archive) without
  // recompressing it: its local header (flags as they were, bit 3
  // included), extra field and data, and a data descriptor when bit 3 is
  // set, since an encrypted entry's check byte then comes from its time.
  void CarryOver(std::unique_ptr<TZipHeaderInfo> Entry, int32_t Index);
  // Runs the per-entry step on Name and adds the entry when it was written.
  void AddFile(const std::string& Name);
  // AddFile for Files[Index], with the data of small files made ahead by
  // the pool (entry_queue.cpp).
  void AddFileAhead(size_t Index);
  void AddEntry(std::unique_ptr<TZipHeaderInfo> Entry);
  // The data descriptor of a carried-over entry with bit 3.
  void WriteDataDescriptor(const TZipHeaderInfo& Entry, bool Zip64);
  void WriteCentralDirectory();
  // Closes the work file and, for a rebuild, puts it in place of the
  // archive by one rename.
  void CloseAndInstall();
  void FinishSuccess();
  void FinishFailure();
  void CommonTail();
  void TotalProgress();

  // ---- Per-entry step (entry_writer.cpp) -----------------------------------
  // Writes the file or directory entry Name into Entry and the work file.
  // True when written; false when the file was left out (reported through
  // OnNoSuchFile or OnSkippingFile). Raises on write and deflate failures.
  // PrepareEntry, then WritePrepared.
  bool ZipEntry(const std::string& Name, TZipHeaderInfo& Entry);
  struct TAhead;
  // What an entry is, once admitted.
  enum class TEntryKind : uint8_t { Folder, Link, File };
  struct TPrepared {
    TEntryKind Kind = TEntryKind::File;
    std::string Listed;      // the name in FilesList
    std::string N;           // the name events and reports give
    std::string LinkTarget;  // of a link stored as a link
  };
  // Everything before data is written: the entry's kind, what the disk
  // says (a file is opened into the source), its stored name, AdmitEntry.
  // False when it was left out.
  // With Made, the file was opened ahead (OpenAhead) and is no link.
  bool PrepareEntry(const std::string& Listed, TZipHeaderInfo& Entry, TPrepared& P,
                    const TAhead* Made = nullptr);
  // The entry of a prepared item into the work file (a file's from the
  // open source); true when written.
  bool WritePrepared(const TPrepared& P, TZipHeaderInfo& Entry);
  // The steps of ZipEntry, in order:
  // A folder entry takes the folder's time and attributes when the folder
  // exists (else the current time), sizes, method and CRC 0.
  void TakeFolderInfo(const std::string& Name, TZipHeaderInfo& Entry);
  // Opens the source of a file entry and takes its attributes, time, size
  // and stamp. False when it is gone (OnNoSuchFile) or cannot be opened and
  // the skip handler asks for no retry (srFileOpenError).
  bool OpenSourceFile(const std::string& Name, TZipHeaderInfo& Entry);
  // What OpenSourceFile takes into Entry once the file is open, from the
  // open file's Status (null when it could not be looked at): attributes,
  // mode, times and FSourceInfo, FSourceSize.
  void TakeSourceInfo(TZipHeaderInfo& Entry, const platform::TOpenFileStatus* Status);
  // Opens the source unless its name is a symbolic link (or it cannot be
  // opened); nothing is reported. OpenSourceFile then uses that open.
  bool OpenSourceNoFollow(const std::string& Name);
  // What becomes of a symbolic link among the files under the component's
  // LinkMode and host: followed (stored as the file it leads to), stored
  // as a link, or left out (reported through OnSkippingFile).
  enum class TLinkChoice : uint8_t { Follow, Store, Leave };
  TLinkChoice ChooseForLink(const std::string& Name, const std::string& Target);
  // Time and attributes of a link entry, from the link's own status.
  void TakeLinkInfo(const platform::TFileInfo& Info, TZipHeaderInfo& Entry);
  // The entry of a link: its target text, stored (encrypted when a
  // password is set), then OnEndZip.
  void WriteLinkEntry(const std::string& N, const std::string& Target, TZipHeaderInfo& Entry);
  // The external attributes of an entry: the DOS byte, and with a host
  // that keeps Unix modes the mode of Type and permission bits Perm in the
  // high half.
  uint32_t ExternalAttributesFor(uint32_t DosAttributes, uint32_t Type, uint32_t Perm) const;
  // The stored name: short form and OEM round trip when asked, file part,
  // stored directory with StorePaths, disk number. Returns the name the
  // events and skip reports give for the entry.
  std::string NameEntry(const std::string& Listed, bool IsDir, TZipHeaderInfo& Entry);
  // Whether the entry may be written: a folder entry needs a name, a stored
  // name goes into the new archive once (srNoOverwrite), and OnStartZip may
  // skip it (srSkippedInStartZip) or change it.
  bool AdmitEntry(const std::string& N, bool IsDir, TZipHeaderInfo& Entry);
  // Whether Name is a stored name of the new archive, or, while entries of
  // the old archive are replaced, of an old entry.
  bool NameTaken(const std::string& Name) const;
  // Leaves out an entry: a file's size comes off the total again and the
  // file is closed. Always false.
  bool DeclineEntry(bool IsDir);
  // A folder entry is its local header alone; then OnEndZip.
  void WriteFolderEntry(const std::string& N, TZipHeaderInfo& Entry);
  // The data of a file entry in up to three attempts over the same place
  // (see ZipEntry in entry_writer.cpp), then, with multi-volume output, its
  // copy onto the volumes. False, with nothing of the file left in the work
  // file, when the file could not be read, vanished or kept changing
  // (srFileOpenError with the cause). The source is closed however this
  // ends.
  // FirstAttempt 1 counts an attempt already made elsewhere (by a worker
  // that found the file changing): the source is taken again first.
  bool WriteFileEntry(const std::string& N, TZipHeaderInfo& Entry, int FirstAttempt = 0);
  // After a written file entry: the archive bit of the listed file reset
  // when asked, then OnEndZip.
  void EndFileEntry(const std::string& Listed, const std::string& N, const TZipHeaderInfo& Entry);
  // One attempt at the data of an opened file entry; false when the data
  // must be written again (the file changed while it was read, or grew past
  // what its local header can describe). Raises TSourceFailure when the
  // file cannot be read.
  bool WriteFileData(const std::string& Name, TZipHeaderInfo& Entry, bool ReserveZip64,
                     bool& NeedZip64);
  // Writes the local header at To's position (the work file when To is
  // null), with a Zip64 block of both sizes when Reserve is set (same
  // length both times).
  void WriteLocalHeader(TZipHeaderInfo& Entry, bool Reserve, TStream* To = nullptr);
  // The read routine: up to Count bytes of the source, CRC and progress.
  // A short count is the end of the file; a read error raises
  // TSourceFailure.
  int64_t ReadSource(uint8_t* Buffer, int64_t Count);
  // The progress of N more source bytes read: OnFilePercentDone and the
  // total.
  void SourceProgress(int64_t N);
  // The write routine: encrypts (when a password is set) and writes Count
  // bytes of entry data; ENotEnoughRoom on a short write.
  void WriteData(uint8_t* Buffer, int64_t Count);
  // CRC of the whole source, then back to its start.
  uint32_t CrcPrePass();
  void CloseSource() { FSource.reset(); }
  // The flags, method, CRC and sizes of a file entry whose data is
  // written: Written bytes of data (the encryption header not counted)
  // from Read bytes of the source.
  void SealFileEntry(TZipHeaderInfo& Entry, bool Stored, uint32_t Crc, uint64_t Read,
                     uint64_t Written, int32_t Level);
  // Why an entry's source let it down, in words.
  struct TSourceFailure {
    bool ReadError;
    std::string Cause;
  };
  // The source's read error after Count more bytes, if any, as a failure.
  void CheckReadError(int64_t Count);
  // Whether the source is as it was when the attempt began (not written to,
  // still named) and gave at least as many bytes as it had then.
  bool SourceUnchanged();
  // Takes the source's size, time and stamp again for a new attempt.
  void RestatSource(TZipHeaderInfo& Entry);
  // Raises OnSkippingFile (OnNoSuchFile when Reason is null) with Cause as
  // the component's SkipCause; for a replacement the cause also says that
  // the old entry is kept.
  void SkipFile(TSkipReason Reason, const std::string& Name, bool* Retry = nullptr,
                std::string Cause = std::string());
  void ReportMissing(const std::string& Name);

  // ---- Entries made ahead (entry_queue.cpp) -----------------------------------
  // With more than one thread (Threads), the small files of FilesList a
  // little ahead of the one being written are opened on this thread and
  // their data made by the pool; everything else of an entry, its events
  // included, happens when its turn comes, as with one thread.
  struct TAhead {
    size_t Index = 0;  // in FilesList
    std::shared_ptr<TEntryJob> Job;
    int64_t Held = 0;  // bytes counted for the job
    platform::TOpenFileStatus Status;  // of the open file
  };
  // Whether this call makes data ahead: more than one thread, a single
  // archive file, and no OnEncrypt handler (handlers run on this thread).
  bool Ahead() const;
  // The most workers a Zip call runs, whatever Threads says: what keeps
  // its memory bounded (see entry_queue.cpp).
  static constexpr int32_t kMaxZipWorkers = 15;
  // Opens and submits files after Index (Index included) while the window
  // and the byte limit allow.
  void FillAhead(size_t Index);
  // Opens Files[Index] for a job: false (nothing kept) when it is a
  // folder, a link, not there, cannot be opened or is too large; whatever
  // failed is met again, and reported, when its turn comes.
  bool OpenAhead(size_t Index, TAhead& A);
  // The entry of a file whose data was made ahead; true when written.
  bool WriteAheadEntry(TAhead& A, const TPrepared& P, TZipHeaderInfo& Entry);
  // The entry streamed from the source, as one thread writes it, after
  // FirstAttempt attempts; the job's data is dropped.
  bool StreamAheadEntry(TEntryJob& J, const TPrepared& P, TZipHeaderInfo& Entry, int FirstAttempt);
  bool TakeReplacedSource(const TPrepared& P, TZipHeaderInfo& Entry);
  // Stops the pool and drops what was made ahead (a run that fails).
  void DropAhead();

  std::deque<TAhead> FAhead;
  size_t FNextAhead = 0;  // the next index of FilesList to open ahead
  int64_t FHeld = 0;      // bytes counted for the jobs in FAhead
  std::unique_ptr<TEntryPool> FPool;

  // ---- Multi-volume output (multi_volume.cpp) -----------------------------
  // Output goes to numbered block files (mmBlocks) or to a series of
  // removable disks (mmSpan); FDisk counts the volumes from 0, and every
  // volume after the first is the work file in turn. Entry data is first
  // written to a temporary data file, so that its local header can carry
  // the final sizes at the place where the entry begins, and is then copied
  // across as many volumes as it needs.
  bool MultiVolume() const { return FMulti != mmNone; }
  // The name of the first volume: part 1 of a block set, or the file the
  // disk request for disk 1 answers (EUserCanceled when it is cancelled).
  std::string FirstVolumeName();
  // Creates the volume file Name as the work file.
  void CreateVolume(const std::string& Name, bool New = false);
  // Grows SaveOnFirstDisk when the configuration file is to be saved, sets
  // the room of the first volume and doubles the total byte count.
  void PrepareVolumes();
  // The room of the current volume less what its file holds.
  int64_t RoomLeft() { return FRoom - FOut->Position(); }
  // Closes the current volume (labelling a filled disk) and opens the next.
  void NextVolume();
  // Moves to the next volume; ENotEnoughRoom when the fresh volume has
  // fewer than Needed bytes of room (moving on again could not help with
  // blocks, and would ask for disks without end with a handler).
  void NextVolumeFor(int64_t Needed);
  // Moves on unless the local header of Entry fits with a byte to spare,
  // then writes it there (disk number and offset of the volume it lands on).
  void PlaceLocalHeader(TZipHeaderInfo& Entry, bool Reserve);
  // The local header of a file entry whose data is in the temporary data
  // file, then that data copied across volumes.
  void SpanEntryData(const std::string& Name, TZipHeaderInfo& Entry);
  // A fresh temporary data file (replacing the one of an earlier attempt).
  void OpenDataFile();
  // Closes and deletes the temporary data file, if any.
  void DropDataFile();
  // Labels the disk of the current volume "PKBACK# nnn" when asked and the
  // drive is removable.
  void LabelDisk();
  // Renames the last block file to the name of the last part.
  void RenameLastBlock();
  // Writes the configuration file (".zfc") of a set of more than one volume.
  void SaveConfigFile();

  TMultiMode FMulti = mmNone;
  int64_t FRoom = 0;  // room of the current volume
  std::string FDataName;
  std::unique_ptr<TLFNFileStream> FDataFile;
  // Where entry data goes: the work file, or the temporary data file.
  TStream* FData = nullptr;

  TArcZip& Z;
  TZipArchiveState& S;
  // Work file: the archive itself, or a temporary file of a rebuild beside
  // it. Both it and the data file are removed if a signal ends the
  // process.
  std::string FWorkName;
  bool FWorkCreated = false;  // this call created FWorkName
  platform::TSignalCleanupFile FWorkGuard;
  // Held from before the old archive is read until its rebuild is in place.
  std::unique_ptr<platform::TFileLock> FArchiveLock;
  platform::TSignalCleanupFile FDataGuard;
  bool FRebuild = false;
  std::unique_ptr<TWorkFileStream> FWorkFile;
  std::unique_ptr<TS_BufferStream> FOut;
  // The new directory in write order (owning), and its stored names: a
  // name goes in once, compared exactly.
  std::unique_ptr<TSortedZip> FWriteOrder;
  std::unordered_set<std::string> FStoredNames;
  std::unique_ptr<TEndCentral> FNewEnd;
  std::vector<std::string> FDisposeList;
  int32_t FResult = 0;
  int32_t FDisk = 0;  // current disk number (multi-volume output starts here)
  bool FSucceeded = false;
  // Saved on entry, given back at the end.
  TZipSortMode FSavedSortMode = ByNone;
  bool FSavedKeepZipOpen = false;

  // State of the entry being written.
  std::unique_ptr<TLFNFileStream> FSource;
  uint64_t FSourceSize = 0;  // size when opened
  uint64_t FSourceRead = 0;  // bytes read by the read routine
  platform::TFileInfo FSourceInfo;  // its stamp when the attempt began
  bool FSourceEnded = false;  // a read of this attempt met the end of the file
  // The file held whole in FInBuf by the CRC pass: [FHeldPos, FHeldEnd)
  // is still to be handed to the data pass (FHeldEnd 0: nothing held).
  int64_t FHeldPos = 0, FHeldEnd = 0;
  bool FReplacing = false;  // the entry is to replace one of the old archive
  bool FEncrypt = false;
  // A buffer for the CRC pre-pass and carried-over data, and this
  // thread's coder; made once per call.
  std::unique_ptr<uint8_t[]> FInBuf;
  std::unique_ptr<TEntryCoder> FCoder;
};

}  // namespace zem
