// The Zip operation of TArcZip: a new archive, or the rebuild of an existing
// one through a work file, with its central directory, end record and the
// replacement of the old archive.
#include <algorithm>
#include <deque>
#include <unordered_map>

#include "archive/format/extra_field.h"
#include "archive/reader/arc_messages.h"
#include "archive/support/path_helpers.h"
#include "archive/writer/stored_names.h"
#include "archive/writer/zip_runner.h"
#include "platform/winapi.h"

namespace zem {

namespace {

// Kept entries of an old archive are copied in chunks of this size.
constexpr int64_t kCopyChunk = 16384;
constexpr int64_t kDataBufferSize = 65535;

bool IsBlank(const std::string& Text) {
  for (unsigned char C : Text)
    if (C > ' ') return false;
  return true;
}

}  // namespace

/*
 * The runner reaches the component's inner state only through this
 * implementation of TZipArchiveState; as a member of TArcZip it may use the
 * reader's protected parts.
 */
class TArcZip::TRunnerState final : public TZipArchiveState {
 public:
  explicit TRunnerState(TArcZip& Owner) : Z(Owner) {}

  const TSortedZip* Directory() const override { return Z.FDirectory.get(); }
  void LoadArchiveComment() override { Z.LoadArchiveComment(); }
  void LoadEntryComment(TZipHeaderInfo& E) override { Z.LoadEntryComment(E); }
  TLFNFileStream* Archive() override { return Z.FArchive.get(); }
  void ReleaseArchive() override { Z.FArchive.reset(); }
  int64_t& TotalBytes() override { return Z.FTotalBytes; }
  int64_t& BytesDone() override { return Z.FBytesDone; }
  void PumpMessages() override { Z.PumpMessages(); }
  void NoSuchFile(const std::string& Name) override { Z.NoSuchFile(Name); }
  std::string& SkipCause() override { return Z.FSkipCause; }
  TZipCrypt& Crypt() override { return Z.FCrypt; }

  void InstallDirectory(std::unique_ptr<TSortedZip> List, const TEndCentral& End,
                        int32_t LastDisk) override {
    Z.ReplaceDirectory(std::move(List));
    TEndCentral& Record = *Z.FEndRecord;
    Record.Assign(&End);
    Record.SetModified(false);
    Record.FreeZip64();
    if (const TZip64EndCentral* R = End.Zip64EndRecord()) Record.EnsureZip64EndRecord() = *R;
    if (const TZip64Locator* L = End.Zip64Locator()) Record.EnsureZip64Locator() = *L;
    Z.RecordArchiveStamp();
    Z.FDiskCount = LastDisk + 1;
    Z.FCurrentDisk = LastDisk;
  }

 private:
  TArcZip& Z;
};

int32_t TArcZip::Zip() {
  const uint8_t OldBusy = FBusy;
  FBusy = 1;
  int32_t Result = 0;
  try {
    {
      TRunnerState State(*this);
      TZipRunner Runner(*this, State);
      Result = Runner.Run();
    }
    if (OnZipComplete) OnZipComplete(this, Result);
  } catch (...) {
    FBusy = OldBusy;
    throw;
  }
  FBusy = OldBusy;
  return Result;
}

TZipRunner::TZipRunner(TArcZip& Owner, TZipArchiveState& State) : Z(Owner), S(State) {}

TZipRunner::~TZipRunner() { DropAhead(); }

/*
 * The build. After the name check everything runs under one failure guard:
 * whatever goes wrong, the work file of this call is closed and deleted
 * (so a new archive leaves nothing behind and an old archive stays as it
 * was), and the common tail gives the component its saved settings back
 * and empties FilesList. The old archive is replaced only after the work
 * file is complete and closed. A list that named files of which none
 * became an entry leaves no new archive: it is not created when the
 * expansion kept nothing, and removed when every entry step declined.
 */
int32_t TZipRunner::Run() {
  FResult = 0;
  if (IsBlank(Z.ZipName())) return 0;

  FDisk = 0;
  FSavedSortMode = Z.SortMode();
  FSavedKeepZipOpen = Z.KeepZipOpen();
  Z.SetKeepZipOpen(true);
  Z.BuildView(ByNone);
  try {
    FMulti = Z.MultiMode();
    FNewEnd = std::make_unique<TEndCentral>();
    const bool Named = !Z.FilesList().empty();
    if (Named) Z.ExpandFileList();
    const bool Exists = FileExistsAt(Z.ZipName());
    if (Named && Z.FilesList().empty() && !Exists && !MultiVolume()) {
      CommonTail();
      return 0;
    }
    if (!Z.FilesList().empty() && Z.OnStartZipInfo) {
      bool StopNow = false;
      Z.OnStartZipInfo(&Z, static_cast<int32_t>(Z.FilesList().size()), S.TotalBytes(), *FNewEnd,
                       StopNow);
      if (StopNow) throw EUserCanceled();
    }
    // Multi-volume output always writes a new archive, from its first
    // volume on.
    FRebuild = !MultiVolume() && Exists;
    if (FRebuild) {
      // A second rebuild at the same time would put its archive in place of
      // this one's, or this one's in place of its, and the entries added by
      // the first would be gone.
      FArchiveLock = std::make_unique<platform::TFileLock>(Z.ZipName());
      if (!FArchiveLock->Held())
        throw EInOutError(
            platform::GetLastError() == platform::ERROR_SHARING_VIOLATION
                ? Format("\"%s\" is being rewritten by another run: nothing was added; the archive is as it "
                         "leaves it",
                         platform::ToNativePath(Z.ZipName()).c_str())
                : Format("Cannot open \"%s\": %s; the archive is as it was",
                         platform::ToNativePath(Z.ZipName()).c_str(),
                         platform::SysErrorMessage(platform::GetLastError()).c_str()));
    }
    OpenOutput(FRebuild);
    if (FRebuild) {
      Z.OpenArchive();
      ExistingEntryPass();
    }
    if (MultiVolume()) PrepareVolumes();
    std::vector<std::string>& Files = Z.FilesList();
    const size_t Count = Files.size();
    if (Ahead()) {
      FPool = std::make_unique<TEntryPool>(std::min(Z.Threads() - 1, kMaxZipWorkers), Z.DeflateEngine());
      for (size_t I = 0; I < Count; ++I) AddFileAhead(I);
      DropAhead();
    } else {
      for (size_t I = 0; I < Count; ++I) AddFile(Files[I]);
    }
    if (Named && !FRebuild && !MultiVolume() && FWriteOrder->Count() == 0) {
      FinishFailure();
      CommonTail();
      return 0;
    }
    WriteCentralDirectory();
    CloseAndInstall();
    FSucceeded = true;
  } catch (...) {
    FinishFailure();
    CommonTail();
    throw;
  }
  // The archive is complete; what can still fail here (the last block's
  // name, the configuration file) leaves it as it is.
  try {
    FinishSuccess();
  } catch (...) {
    CommonTail();
    throw;
  }
  CommonTail();
  return FResult;
}

std::string TZipRunner::TempFolder() const {
  if (!Z.TempPath().empty() && DirExists(Z.TempPath()))
    return IncludeTrailingBackslash(Z.TempPath());
  return platform::GetTempPathA();
}

void TZipRunner::OpenOutput(bool Rebuild) {
  if (Rebuild) {
    // Beside the archive, so that one rename puts it in place; with the
    // archive's permissions from the start, so that the entries of a
    // private archive are never readable by others on the way.
    std::string Folder = FolderOf(Z.ZipName());
    if (Folder.empty()) Folder = ".";
    {
      const platform::TSignalHold Hold;
      FWorkName = UniqueTempFile(Folder);
      if (!FWorkName.empty()) FWorkGuard.Register(FWorkName);
    }
    if (FWorkName.empty())
      throw EFCreateError(Format("Cannot create a work file in \"%s\": %s",
                                 platform::ToNativePath(Folder).c_str(),
                                 platform::SysErrorMessage(platform::GetLastError()).c_str()));
    FWorkCreated = true;
    platform::TFileInfo Old;
    if (platform::GetFileInfo(Z.ZipName(), Old)) platform::SetFileMode(FWorkName, Old.Mode);
  } else {
    FWorkName = MultiVolume() ? FirstVolumeName() : Z.ZipName();
  }
  // A new archive is made only where no file is: one that another run
  // made meanwhile is not written over.
  CreateVolume(FWorkName, !Rebuild && !MultiVolume());

  const int Capacity =
      static_cast<int>(Z.FilesList().size()) + (S.Directory() ? S.Directory()->Count() : 0);
  FWriteOrder = std::make_unique<TSortedZip>(AllowDuplicate);
  FWriteOrder->SetSortMode(ByNone);
  FStoredNames.clear();
  if (Capacity > 0) {
    FWriteOrder->SetCapacity(Capacity);
    FStoredNames.reserve(static_cast<size_t>(Capacity));
  }
  FInBuf = std::make_unique<uint8_t[]>(kDataBufferSize);
  FCoder = std::make_unique<TEntryCoder>(Z.DeflateEngine());
}

/*
 * Entries of the existing archive, in archive order. Each listed name is
 * reduced once to the key an entry written for it would have (comparing
 * stored path plus file part, exactly: "Card.img" is not "card.img"); the
 * first listed name with an entry's key decides for that entry, and is
 * then taken off the list. A replacement that cannot be written (the file
 * unreadable, gone or changing, or skipped by OnStartZip) leaves the old
 * entry in place, copied over as if it had been kept.
 */
void TZipRunner::ExistingEntryPass() {
  const TEndCentral& OldEnd = Z.EndRecord();
  if (OldEnd.ZipCommentLength() != 0 && !OldEnd.ZipComment()) S.LoadArchiveComment();
  FNewEnd->Assign(&OldEnd);
  FNewEnd->SetTotalEntries(0);
  FNewEnd->SetEntriesOnThisDisk(0);

  std::vector<std::string>& Files = Z.FilesList();
  std::unordered_map<std::string, std::deque<size_t>> Keys;
  for (size_t I = 0; I < Files.size(); ++I) {
    std::string Name = Files[I];
    if (Z.OEMConvert()) OemRoundTrip(Name);
    Keys[EntryNameAsRead(Z.ComparingDirectoryFor(Name) + FilePart(Name))].push_back(I);
  }
  std::vector<bool> Removed(Files.size(), false);

  const TSortedZip* Old = S.Directory();
  const int Count = Old ? Old->Count() : 0;
  for (int I = 0; I < Count; ++I) {
    const TZipHeaderInfo& Source = *Old->Items(I);
    auto Copy = std::make_unique<TZipHeaderInfo>();
    Copy->Assign(&Source);
    Copy->SetOEMConvert(Source.OEMConvert());
    // The blocks of its central extra field (a Unicode name, times, owner)
    // are read from the old archive when the directory is written.
    // An entry this component wrote makes its timestamp block again.
    Copy->SetSourceExtraLength(Source.SourceExtraLength());
    Copy->SetExtraFieldPos(Source.ExtraFieldPos());
    Copy->SetWritesTimestamp(Source.WritesTimestamp());
    if (Copy->EntryState() == 2) continue;
    if (Copy->FileCommentLength() != 0 && !Copy->FileComment()) S.LoadEntryComment(*Copy);

    size_t Match = Files.size();
    const auto It = Keys.find(Copy->FullName());
    if (It != Keys.end() && !It->second.empty()) {
      Match = It->second.front();
      It->second.pop_front();
    }
    if (Match == Files.size()) {
      CarryOver(std::move(Copy), I);
      continue;
    }
    const std::string& Name = Files[Match];
    Removed[Match] = true;
    if (Z.ZipAction() != zaReplace) {
      TDateTime EntryTime = 0;
      if (!DosDateTimeToDateTime(static_cast<int32_t>(Copy->FileDateTime()), EntryTime))
        EntryTime = 0;
      if (EntryTime >= PathDateTime(Name)) {
        if (Z.Dispose()) FDisposeList.push_back(Name);
        platform::TSearchRec Found;
        if (platform::FindFirst(Name, Z.AttributeMask(), Found) == 0) {
          S.TotalBytes() += static_cast<int64_t>(Copy->CompressedSize()) - FoundSize64(Found);
          platform::FindClose(Found);
        }
        CarryOver(std::move(Copy), I);
        continue;
      }
    }
    auto Fresh = std::make_unique<TZipHeaderInfo>();
    Fresh->SetOEMConvert(Z.OEMConvert());
    if (Z.OnUpdate) Z.OnUpdate(&Z, uaReplacing, I);
    FReplacing = true;
    bool Replaced = false;
    try {
      Replaced = ZipEntry(Name, *Fresh);
    } catch (...) {
      FReplacing = false;
      throw;
    }
    FReplacing = false;
    if (!Replaced) {
      CarryOver(std::move(Copy), I);
      continue;
    }
    if (Z.Dispose()) FDisposeList.push_back(Name);
    AddEntry(std::move(Fresh));
    ++FResult;
  }

  std::vector<std::string> Left;
  Left.reserve(Files.size());
  for (size_t I = 0; I < Files.size(); ++I)
    if (!Removed[I]) Left.push_back(std::move(Files[I]));
  Files = std::move(Left);
}

void TZipRunner::CarryOver(std::unique_ptr<TZipHeaderInfo> E, int32_t Index) {
  TLFNFileStream& Old = *S.Archive();
  if (Z.OnUpdate) Z.OnUpdate(&Z, uaKeeping, Index);
  const int64_t At = static_cast<int64_t>(E->RelativeOffset());
  Old.Seek(At, soBeginning);
  TLocalHeader Local;
  const TLocalRead Read = ReadLocalHeader(
      [&Old](uint8_t* Buffer, int64_t Count) {
        Old.ReadBuffer(Buffer, Count);
        return Count;
      },
      Local);
  if (Read != TLocalRead::Ok)
    throw WithDetail(EBadZipFile(), Format("no local header of \"%s\" at offset %lld",
                                           E->FullName().c_str(), static_cast<long long>(At)));
  const uint16_t ExtraLength = Local.ExtraLength;
  Old.Seek(Local.FileNameLength, soCurrent);

  E->SetLocalExtraLength(ExtraLength);
  E->WriteLocal(*FOut);

  // The extra field first: its Zip64 block, if any, decides the width of
  // the sizes in a data descriptor.
  uint8_t* Buf = FInBuf.get();
  Old.ReadBuffer(Buf, ExtraLength);
  FOut->WriteBuffer(Buf, ExtraLength);
  bool Zip64Local = false;
  TExtraWalker Walk(Buf, ExtraLength);
  for (TExtraBlock Block; Walk.Next(Block);) Zip64Local = Zip64Local || Block.Id == 0x0001;

  const int64_t ToCopy = static_cast<int64_t>(E->CompressedSize());
  int64_t Copied = 0;
  while (Copied < ToCopy) {
    const int64_t N = std::min<int64_t>(kCopyChunk, ToCopy - Copied);
    Old.ReadBuffer(Buf, N);
    FOut->WriteBuffer(Buf, N);
    Copied += N;
    S.BytesDone() += N;
    if (Z.OnFilePercentDone) Z.OnFilePercentDone(&Z, PercentDone(Copied, ToCopy));
    TotalProgress();
    S.PumpMessages();
  }
  if (E->HasDataDescriptor()) WriteDataDescriptor(*E, Zip64Local);
  AddEntry(std::move(E));
}

/*
 * A data descriptor after carried-over data, written anew from the
 * central header's values (the old one may lack its signature, and its
 * sizes are only known to be the central ones): signature, CRC, then both
 * sizes, 8 bytes each when the local header has a Zip64 block, else 4.
 */
void TZipRunner::WriteDataDescriptor(const TZipHeaderInfo& E, bool Zip64) {
  uint8_t Record[24];
  size_t Length = 0;
  const auto Put = [&](uint64_t Value, int Bytes) {
    for (int I = 0; I < Bytes; ++I) Record[Length++] = static_cast<uint8_t>(Value >> (8 * I));
  };
  Put(0x08074b50u, 4);
  Put(E.Crc32(), 4);
  Put(E.CompressedSize(), Zip64 ? 8 : 4);
  Put(E.UncompressedSize(), Zip64 ? 8 : 4);
  FOut->WriteBuffer(Record, static_cast<int64_t>(Length));
}

void TZipRunner::AddFile(const std::string& Name) {
  auto E = std::make_unique<TZipHeaderInfo>();
  E->SetOEMConvert(Z.OEMConvert());
  if (!ZipEntry(Name, *E)) return;
  AddEntry(std::move(E));
  ++FResult;
  if (Z.Dispose()) FDisposeList.push_back(Name);
}

void TZipRunner::AddEntry(std::unique_ptr<TZipHeaderInfo> E) {
  FStoredNames.insert(E->FullName());
  FWriteOrder->Add(E.release());
  FNewEnd->SetTotalEntries(FNewEnd->TotalEntries() + 1);
  FNewEnd->SetEntriesOnThisDisk(FNewEnd->EntriesOnThisDisk() + 1);
}

void TZipRunner::TotalProgress() {
  if (Z.OnTotalPercentDone) Z.OnTotalPercentDone(&Z, PercentDone(S.BytesDone(), S.TotalBytes()));
}

/*
 * With multi-volume output each central header, and the end record, is made
 * aside first: one that does not fit in the room left starts the next
 * volume (the directory's size then adds up across volumes). The end
 * record counts the central headers on its own volume.
 */
void TZipRunner::WriteCentralDirectory() {
  int64_t Start = FOut->Position();
  FNewEnd->SetCentralDirOffset(static_cast<uint64_t>(Start));
  FNewEnd->SetDiskWithCentralDir(static_cast<uint32_t>(FDisk));
  TStream* Source = FRebuild ? S.Archive() : nullptr;
  uint64_t DirSize = 0;
  uint64_t OnThisVolume = 0;
  TMemoryStream Aside;
  for (int I = 0; I < FWriteOrder->Count(); ++I) {
    TZipHeaderInfo& E = *FWriteOrder->Items(I);
    if (!MultiVolume()) {
      E.SetCentralOffset(FOut->Position());
      E.WriteCentral(*FOut, Source);
      // The kept blocks now stand in the new archive, where the directory
      // installed from this list finds them for the next rebuild.
      if (E.SourceExtraLength() != 0) {
        E.SetExtraFieldPos(E.CentralOffset() + ZipCentralHeaderSize + E.FileNameLength());
        E.SetSourceExtraLength(E.CentralExtraLength());
      }
      continue;
    }
    Aside.Clear();
    E.WriteCentral(Aside, nullptr);
    const int64_t Length = Aside.Size();
    if (RoomLeft() < Length) {
      DirSize += static_cast<uint64_t>(FOut->Position() - Start);
      NextVolumeFor(Length);
      Start = 0;
      OnThisVolume = 0;
      if (I == 0) {
        FNewEnd->SetCentralDirOffset(0);
        FNewEnd->SetDiskWithCentralDir(static_cast<uint32_t>(FDisk));
      }
    }
    E.SetCentralOffset(FOut->Position());
    FOut->WriteBuffer(Aside.Data().data(), Length);
    ++OnThisVolume;
  }
  // The kept entries' extra blocks were read from the old archive; a read
  // that failed there would have left them out.
  if (FRebuild && S.Archive()->ReadError() != 0)
    throw EInOutError(Format("Cannot read \"%s\": %s; the archive is as it was",
                             platform::ToNativePath(Z.ZipName()).c_str(),
                             platform::SysErrorMessage(S.Archive()->ReadError()).c_str()));
  DirSize += static_cast<uint64_t>(FOut->Position() - Start);
  FNewEnd->SetCentralDirSize(DirSize);
  if (MultiVolume()) {
    FNewEnd->SetEntriesOnThisDisk(OnThisVolume);
    FNewEnd->SetNumberOfThisDisk(static_cast<uint32_t>(FDisk));
    Aside.Clear();
    FNewEnd->WriteEndRecord(Aside);
    if (RoomLeft() < Aside.Size()) {
      NextVolumeFor(Aside.Size());
      FNewEnd->SetEntriesOnThisDisk(0);
    }
  }
  FNewEnd->SetNumberOfThisDisk(static_cast<uint32_t>(FDisk));
  FNewEnd->WriteEndRecord(*FOut);
  FNewEnd->SetZipCommentPos(FOut->Position() - FNewEnd->ZipCommentLength());
  FNewEnd->SetModified(false);
  if (FMulti == mmSpan) LabelDisk();
}

/*
 * The work file is flushed, cut to the length written (an entry written
 * again may have left a longer tail), for a rebuild synced to its disk,
 * and closed. A rebuilt archive then
 * takes the old one's place by one rename over it (the work file lives
 * beside it), with the old one's mode and, where the user may set them,
 * owner and group: there is no moment without an archive, and a rename
 * that fails leaves the old archive as it was.
 */
void TZipRunner::CloseAndInstall() {
  const int64_t End = FOut->Position();
  if (!FOut->Close()) throw ENotEnoughRoom();
  FOut.reset();
  FWorkFile->SetSize(End);
  // On the disk before it replaces the old archive: after a crash the
  // archive's name must not lead to a work file the disk never got whole.
  if (FRebuild && !platform::FlushFileBuffers(FWorkFile->Handle()))
    throw EInOutError(Format("Cannot write \"%s\": %s; the archive is as it was",
                             platform::ToNativePath(Z.ZipName()).c_str(),
                             platform::SysErrorMessage(platform::GetLastError()).c_str()));
  FWorkFile.reset();
  if (!FRebuild) return;

  S.ReleaseArchive();
  const std::string& Target = Z.ZipName();
  if (!RenameOver(FWorkName, Target))
    throw EInOutError(Format("Cannot replace \"%s\": %s; the archive is as it was",
                             platform::ToNativePath(Target).c_str(),
                             platform::SysErrorMessage(platform::GetLastError()).c_str()));
  FWorkCreated = false;
  FWorkGuard.Release();
}

void TZipRunner::FinishSuccess() {
  const std::string Name = Z.ZipName();
  if (FRebuild) Z.ClearArchive();
  if (FMulti == mmBlocks)
    RenameLastBlock();
  else
    Z.SetZipName(Name);

  if (Z.Dispose()) {
    for (const std::string& File : FDisposeList) {
      bool Skip = false;
      if (Z.OnDisposeFile) Z.OnDisposeFile(&Z, File, Skip);
      if (!Skip) platform::DeleteFileA(File.c_str());
    }
  }

  FWorkGuard.Release();
  FStoredNames.clear();
  S.InstallDirectory(std::move(FWriteOrder), *FNewEnd, FDisk);
  Z.BuildView(FSavedSortMode);
  if (Z.OnTotalPercentDone) Z.OnTotalPercentDone(&Z, 100);
  if (MultiVolume()) SaveConfigFile();
}

void TZipRunner::FinishFailure() {
  DropAhead();
  DropDataFile();
  FOut.reset();  // flush errors are of no interest now
  FWorkFile.reset();
  FStoredNames.clear();
  FWriteOrder.reset();
  if (FWorkCreated && !FWorkName.empty()) platform::DeleteFileA(FWorkName.c_str());
  FWorkCreated = false;
  FWorkGuard.Release();
}

void TZipRunner::CommonTail() {
  if (Z.SortMode() != FSavedSortMode) Z.BuildView(FSavedSortMode);
  Z.SetKeepZipOpen(FSavedKeepZipOpen);
  FStoredNames.clear();
  FNewEnd.reset();
  CloseSource();
  Z.CloseArchive();
  Z.FilesList().clear();
}

}  // namespace zem
