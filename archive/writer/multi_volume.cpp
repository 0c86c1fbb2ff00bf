// Multi-volume output of the Zip operation: block files of a fixed size or a
// series of removable disks, entry data split across volumes, disk labels,
// the last block's name and the configuration file of the first volume.
#include <algorithm>
#include <limits>

#include "archive/support/path_helpers.h"
#include "archive/writer/zip_runner.h"
#include "platform/winapi.h"

namespace zem {

namespace {

constexpr int kVolumeBufferSize = 8192;
constexpr int kDataBufferSize = 8192;
// Entry data moves onto volumes in chunks of this size when progress is
// reported, so the percentages advance during long copies.
constexpr int64_t kSpanChunk = 16384;
// Room kept for the configuration file besides its central headers.
constexpr int64_t kConfigSlack = 2048;
constexpr int64_t kDefaultClusterSize = 4096;
constexpr uint32_t kMarker32 = 0xFFFFFFFFu;

// The root ("X:\") of the drive a volume file lies on: its own drive
// letter, else the current drive.
std::string DriveRootOf(const std::string& Name) {
  if (Name.size() >= 2 && Name[1] == ':') return Name.substr(0, 2) + "\\";
  return LeftText(CurrentDirOf(0), 3);
}

// Bytes free on the drive of Name; 0 when the drive cannot be asked.
int64_t FreeSpaceOf(const std::string& Name) {
  uint64_t Free = 0;
  if (!platform::GetDiskFreeSpaceExA(DriveRootOf(Name).c_str(), &Free, nullptr, nullptr))
    return 0;
  return static_cast<int64_t>(
      std::min<uint64_t>(Free, static_cast<uint64_t>(std::numeric_limits<int64_t>::max())));
}

}  // namespace

std::string TZipRunner::FirstVolumeName() {
  std::string Name;
  if (FMulti == mmBlocks) {
    Name = Z.BaseName();
    Z.NameSplitPart(Name, 1, spFirst);
    return Name;
  }
  Name = Z.ZipName();
  Z.RequestNextDisk(1, Name);
  if (Name.empty()) throw EUserCanceled();
  if (FileExistsAt(Name)) platform::DeleteFileA(Name.c_str());
  if (Z.OnPrepareNextDisk) Z.OnPrepareNextDisk(&Z, 1);
  return Name;
}

void TZipRunner::CreateVolume(const std::string& Name, bool New) {
  FWorkName = Name;
  {
    const platform::TSignalHold Hold;
    FWorkFile = std::make_unique<TWorkFileStream>(FWorkName, New);
    FWorkGuard.Register(FWorkName);
  }
  FWorkCreated = true;
  FOut = std::make_unique<TS_BufferStream>(FWorkFile.get(), kVolumeBufferSize);
  FOut->SetSyncOnClose(Z.FlushFilesOnClose());
}

/*
 * The reserve on the first volume is room for the configuration file: a
 * central header per name (46 bytes and the average stored name), the end
 * record with a comment, some slack and, on a disk, a cluster, as the file
 * takes whole clusters. The property itself grows, so a second call with
 * the same settings keeps twice the reserve.
 */
void TZipRunner::PrepareVolumes() {
  TMultiZipInfo& Info = Z.MultiZipInfo();
  if (Info.SaveZipInfoOnFirstDisk()) {
    const int64_t Names = static_cast<int64_t>(Z.FilesList().size());
    const int64_t Comment =
        std::max<int64_t>(Z.EndRecord().ZipCommentLength(), FNewEnd->ZipCommentLength());
    int64_t Grow = Names * (Z.PathLengthSum() + ZipCentralHeaderSize) + Comment + 22 + kConfigSlack;
    if (FMulti == mmSpan) {
      try {
        Grow += ClusterSize(DriveRootOf(FWorkName));
      } catch (const Exception&) {
        Grow += kDefaultClusterSize;
      }
    }
    Info.SetSaveOnFirstDisk(Info.SaveOnFirstDisk() + Grow);
  }
  if (FMulti == mmSpan) {
    FRoom = FreeSpaceOf(FWorkName);
  } else {
    FRoom = Info.FirstBlockSize() != 0 ? Info.FirstBlockSize() : Info.BlockSize();
  }
  FRoom -= Info.SaveOnFirstDisk();
  S.TotalBytes() *= 2;
}

void TZipRunner::NextVolume() {
  if (!FOut->Close()) throw ENotEnoughRoom();
  FOut.reset();
  FWorkFile.reset();
  // The closed volume is complete: a failure from here on leaves it.
  FWorkCreated = false;

  std::string Name;
  if (FMulti == mmSpan) {
    LabelDisk();
    Name = Z.ZipName();
    Z.RequestNextDisk(FDisk + 2, Name);
    if (Name.empty()) throw EUserCanceled();
    ++FDisk;
    if (FileExistsAt(Name)) platform::DeleteFileA(Name.c_str());
    if (Z.OnPrepareNextDisk) Z.OnPrepareNextDisk(&Z, FDisk + 1);
    FRoom = FreeSpaceOf(Name);
  } else {
    Name = Z.BaseName();
    Z.NameSplitPart(Name, FDisk + 2, spMiddle);
    ++FDisk;
    FRoom = Z.MultiZipInfo().BlockSize();
  }
  CreateVolume(Name);
  FNewEnd->SetEntriesOnThisDisk(0);
}

void TZipRunner::NextVolumeFor(int64_t Needed) {
  NextVolume();
  if (RoomLeft() < Needed) throw ENotEnoughRoom();
}

void TZipRunner::PlaceLocalHeader(TZipHeaderInfo& E, bool Reserve) {
  // The header's length depends on the stored form of the name, so it is
  // made once aside to be measured.
  TMemoryStream Probe;
  WriteLocalHeader(E, Reserve, &Probe);
  const int64_t Length = Probe.Size();
  if (RoomLeft() <= Length) NextVolumeFor(Length + 1);
  E.SetDiskNumberStart(static_cast<uint32_t>(FDisk));
  WriteLocalHeader(E, Reserve);
}

/*
 * Copying an entry's data onto volumes. The local header stays on the
 * volume where the entry begins; the data fills what room is left there and
 * goes on at the start of the next volumes. A volume filled to the last
 * byte is left at once, even after the entry's last piece.
 */
void TZipRunner::SpanEntryData(const std::string& N, TZipHeaderInfo& E) {
  const int64_t Size = static_cast<int64_t>(E.CompressedSize());
  const int64_t Uncompressed = static_cast<int64_t>(E.UncompressedSize());
  const bool Reserve = static_cast<uint64_t>(Size) >= kMarker32 ||
                       static_cast<uint64_t>(Uncompressed) >= kMarker32;
  PlaceLocalHeader(E, Reserve);
  if (!FDataFile->Close()) throw ENotEnoughRoom();

  if (Z.OnStartSpanCopy) Z.OnStartSpanCopy(&Z, N, Size);
  if (RoomLeft() <= 0) NextVolumeFor(Size > 0 ? 1 : 0);

  const bool Progress = Z.OnFilePercentDone || Z.OnTotalPercentDone;
  const int64_t FileTotal = Uncompressed + Size;
  int64_t FileDone = Uncompressed;
  if (Z.OnTotalPercentDone) S.TotalBytes() += Size - Uncompressed;
  const int64_t Chunk = Progress ? kSpanChunk : static_cast<int64_t>(65535);

  uint8_t* Buf = FInBuf.get();
  FDataFile->Seek(0, soBeginning);
  int64_t Remaining = Size;
  int64_t Piece = std::min(Remaining, RoomLeft());
  while (Remaining > 0 && Piece > 0) {
    for (int64_t Left = Piece; Left > 0;) {
      const int64_t Count = std::min(Chunk, Left);
      FDataFile->ReadBuffer(Buf, Count);
      FOut->WriteBuffer(Buf, Count);
      Left -= Count;
      if (Progress) {
        FileDone += Count;
        if (Z.OnFilePercentDone) Z.OnFilePercentDone(&Z, PercentDone(FileDone, FileTotal));
        if (Z.OnTotalPercentDone) {
          S.BytesDone() += Count;
          TotalProgress();
        }
      }
      S.PumpMessages();
    }
    Remaining -= Piece;
    if (Remaining > 0)
      NextVolumeFor(1);
    else if (RoomLeft() <= 0)
      NextVolume();
    Piece = std::min(Remaining, RoomLeft());
  }
  DropDataFile();
}

void TZipRunner::OpenDataFile() {
  DropDataFile();
  {
    const platform::TSignalHold Hold;
    FDataName = UniqueTempFile(TempFolder());
    if (!FDataName.empty()) FDataGuard.Register(FDataName);
  }
  if (FDataName.empty())
    throw EFCreateError(Format("Cannot create a work file in \"%s\": %s",
                               platform::ToNativePath(TempFolder()).c_str(),
                               platform::SysErrorMessage(platform::GetLastError()).c_str()));
  FDataFile = std::make_unique<TLFNFileStream>(FDataName, fmCreate, false, kDataBufferSize);
  FData = FDataFile.get();
}

void TZipRunner::DropDataFile() {
  FData = nullptr;
  FDataFile.reset();
  if (!FDataName.empty()) {
    platform::DeleteFileA(FDataName.c_str());
    FDataName.clear();
  }
  FDataGuard.Release();
}

void TZipRunner::LabelDisk() {
  if (!Z.MultiZipInfo().WriteDiskLabels()) return;
  const std::string Root = DriveRootOf(FWorkName);
  if (!IsRemovableDrive(Root)) return;
  // A drive that cannot be labelled keeps its label; the disk number is
  // still in every record, so nothing depends on it.
  SetVolumeLabelOf(Root, "PKBACK# " + Format("%3.3d", FDisk + 1));
}

void TZipRunner::RenameLastBlock() {
  std::string Last = Z.BaseName();
  Z.NameSplitPart(Last, FDisk + 1, spLast);
  if (Last != FWorkName) {
    MoveOrCopyFile(FWorkName, Last);
    if (FileExistsAt(FWorkName)) platform::DeleteFileA(FWorkName.c_str());
  }
  Z.SetZipName(Last);
}

/*
 * The configuration file repeats the central directory and end record of a
 * set that ends on a later volume, so the directory can be read from the
 * first volume alone. For a span it goes on disk 1, which is asked for
 * again. A file that could not be written whole is removed, as a partial
 * directory would mislead the reader.
 */
void TZipRunner::SaveConfigFile() {
  if (!Z.MultiZipInfo().SaveZipInfoOnFirstDisk() || FNewEnd->NumberOfThisDisk() == 0) return;
  if (FMulti == mmSpan) Z.OpenDisk(1);
  const std::string Name = ChangeFileExt(Z.ZipName(), ".zfc");
  bool Created = false;
  try {
    TLFNFileStream Out(Name, fmCreate, Z.FlushFilesOnClose(), kVolumeBufferSize);
    Created = true;
    const TSortedZip& Entries = *S.Directory();
    for (int I = 0; I < Entries.Count(); ++I) Entries.Items(I)->WriteCentral(Out, nullptr);
    FNewEnd->WriteEndRecord(Out);
    if (!Out.Close()) throw ENotEnoughRoom();
  } catch (const Exception&) {
    if (Created) platform::DeleteFileA(Name.c_str());
    throw EConfigFileSaveError();
  }
}

}  // namespace zem
