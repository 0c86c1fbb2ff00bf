// TArcUnZip: properties, the cached directory, damaged archives, comments,
// copying and the message hook.
#include "archive/reader/arc_unzip.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/format/byte_codec.h"
#include "archive/reader/arc_messages.h"
#include "platform/window_services.h"

namespace zem {

namespace {

// A view list filled in an order computed beforehand, so that building a
// sorted view of a large directory does not shift the array per entry.
class TViewList : public TSortedZip {
 public:
  TViewList() : TSortedZip(AllowDuplicate) { SetOwnsItems(false); }
  void Append(TZipHeaderInfo* Item) { InsertAt(Count(), Item); }
};

// A whole 0..999 disk number pair that makes sense: the central directory
// does not start on a disk after the last one.
bool UsableEndRecord(const TEndCentral& E) {
  return E.NumberOfThisDisk() <= 999 && E.DiskWithCentralDir() <= 999 &&
         E.DiskWithCentralDir() <= E.NumberOfThisDisk();
}

std::string WithNumber(const std::string& Pattern, int64_t N) {
  std::string Out = Pattern;
  const size_t P = Out.find("%d");
  if (P != std::string::npos) Out.replace(P, 2, std::to_string(N));
  return Out;
}

std::string UpperAscii(std::string S) {
  for (char& C : S)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  return S;
}

}  // namespace

// ---- Construction, copying -----------------------------------------------------

TArcUnZip::TArcUnZip(TComponent* AOwner)
    : TComponent(AOwner),
      FWorkingHeader(std::make_unique<TZipHeaderInfo>()),
      FEndRecord(std::make_unique<TEndCentral>()) {}

TArcUnZip::~TArcUnZip() {
  try {
    ClearArchive();
  } catch (...) {
    // A destructor cannot report a failed close.
  }
}

void TArcUnZip::Assign(const TPersistent* Source) {
  const auto* Src = dynamic_cast<const TArcUnZip*>(Source);
  if (Src == nullptr) {
    TComponent::Assign(Source);
    return;
  }
  FZipName = Src->FZipName;
  FBaseName = Src->FBaseName;
  FDestDir = Src->FDestDir;
  FRootDir = Src->FRootDir;
  FSortMode = Src->FSortMode;
  FRecreateDirs = Src->FRecreateDirs;
  FOverwriteMode = Src->FOverwriteMode;
  FFilesList = Src->FFilesList;
  FRelativePathList = Src->FRelativePathList;
  FDoAll = Src->FDoAll;
  FIncompleteZipMode = Src->FIncompleteZipMode;
  FKeepZipOpen = Src->FKeepZipOpen;
  FDoProcessMessages = Src->FDoProcessMessages;
  FRetainAttributes = Src->FRetainAttributes;
  FReplaceReadOnly = Src->FReplaceReadOnly;
  FDeflateEngine = Src->FDeflateEngine;
  FThreads = Src->FThreads;
  OnStartUnZipInfo = Src->OnStartUnZipInfo;
  OnFilePercentDone = Src->OnFilePercentDone;
  OnTotalPercentDone = Src->OnTotalPercentDone;
  OnStartUnZip = Src->OnStartUnZip;
  OnEndUnZip = Src->OnEndUnZip;
  OnPromptForOverwrite = Src->OnPromptForOverwrite;
  OnBadPassword = Src->OnBadPassword;
  OnBadCRC = Src->OnBadCRC;
  OnInCompleteZip = Src->OnInCompleteZip;
  OnSkippingFile = Src->OnSkippingFile;
  OnGetNextDisk = Src->OnGetNextDisk;
  OnUnZipComplete = Src->OnUnZipComplete;
  OnGetNextBuffer = Src->OnGetNextBuffer;
  OnFileNameForSplitPart = Src->OnFileNameForSplitPart;
}

void TArcUnZip::Loaded() {
  TComponent::Loaded();
  FThisVersion = 304;
  FThisBuild = 1;
}

// ---- Properties ------------------------------------------------------------------

TMultiMode TArcUnZip::MultiMode() const { return FMultiMode; }
void TArcUnZip::SetMultiMode(TMultiMode Value) { FMultiMode = Value; }
bool TArcUnZip::CheckDiskLabels() const { return FCheckDiskLabels; }
void TArcUnZip::SetCheckDiskLabels(bool Value) { FCheckDiskLabels = Value; }

void TArcUnZip::SetZipName(const std::string& Value) {
  if (IsDesigning()) {
    FZipName = Value;
    return;
  }
  // Exact: on Linux two names that differ in case are two files.
  if (Value == FZipName) return;
  std::string Name = Value;
  if (!Name.empty() && Name.back() == '?') {
    platform::TFileDialogOptions Options;
    Options.Title = LoadZipStr(zsOpenZipTitle);
    Options.Filter = LoadZipStr(zsOpenZipFilter);
    const std::string Dir = ExtractFilePath(Name.substr(0, Name.size() - 1));
    Options.InitialDir = DirExists(Dir) ? Dir : std::string("C:\\");
    std::string Chosen;
    if (!platform::WindowServices().GetOpenFileName(Options, Chosen))
      throw EUserCanceled(LoadZipStr(zsUserCanceledZipName));
    Name = Chosen;
  }
  FZipName = Name;
  // The base name: everything before the first '.' of the file-name part.
  const std::string Path = ExtractFilePath(Name);
  const std::string File = ExtractFileName(Name);
  FBaseName = Path + File.substr(0, File.find('.'));
  FreeDirectory();
  FRecordedStamp = TArchiveStamp();
  FEndRecord->Clear();
  FArchive.reset();
  FScanMode = 0;
}

void TArcUnZip::SetDestDir(const std::string& Value) {
  std::string Dir = Value;
  if (Value == "?") {
    std::string Start = DirExists(FDestDir) ? FDestDir : platform::GetCurrentDirectoryA();
    if (!platform::WindowServices().SelectFolder("", Start))
      throw EUserCanceled(LoadZipStr(zsUserCanceledDestDir));
    Dir = Start;
  }
  if (!Dir.empty() && Dir.back() == '\\') Dir.pop_back();
  FDestDir = Dir;
}

void TArcUnZip::SetRootDir(const std::string& Value) {
  FRootDir = Value;
  if (!FRootDir.empty() && FRootDir.back() != '\\') FRootDir += '\\';
  FRelativePathList.assign(1, FRootDir);
}

// ---- Directory list and view --------------------------------------------------------

void TArcUnZip::FreeDirectory() {
  FSortedView.reset();  // the view goes before the entries it points at
  FView = nullptr;
  FDirectory.reset();
}

void TArcUnZip::ReplaceDirectory(std::unique_ptr<TSortedZip> List) {
  FreeDirectory();
  FDirectory = std::move(List);
  if (FDirectory) FDirectory->SetSortMode(ByNone);
  FView = FDirectory.get();
  FSortMode = ByNone;
}

// The view repeats the order a sorted insert of every entry, in directory
// order, would give (an entry goes before the first held one that does not
// compare below it), computed with one stable sort: for two entries the
// later one goes first exactly when the earlier one does not compare below
// it.
void TArcUnZip::BuildView(TZipSortMode Mode) {
  FSortedView.reset();
  FView = FDirectory.get();
  if (Mode != ByNone && FDirectory) {
    auto View = std::make_unique<TViewList>();
    View->SetSortMode(Mode);
    const int N = FDirectory->Count();
    struct TRef {
      TZipHeaderInfo* Item;
      int Index;
    };
    std::vector<TRef> Refs;
    Refs.reserve(static_cast<size_t>(N));
    for (int I = 0; I < N; ++I) Refs.push_back({FDirectory->Items(I), I});
    const TSortedZip& Cmp = *View;
    std::stable_sort(Refs.begin(), Refs.end(), [&Cmp](const TRef& P, const TRef& Q) {
      if (P.Index < Q.Index) return Cmp.Compare(P.Item, Q.Item) < 0;
      return Cmp.Compare(Q.Item, P.Item) >= 0;
    });
    if (N > 0) View->SetCapacity(N);
    for (const TRef& R : Refs) View->Append(R.Item);
    FView = View.get();
    FSortedView = std::move(View);
  }
  FSortMode = Mode;
}

// ---- Stamps ---------------------------------------------------------------------------

TArchiveStamp TArcUnZip::StampOf(const std::string& FileName) {
  TArchiveStamp S;
  S.Valid = platform::GetFileStamp(FileName, S.Size, S.MTimeNs);
  if (!S.Valid) S = TArchiveStamp();
  return S;
}

void TArcUnZip::RecordArchiveStamp() { FRecordedStamp = StampOf(FZipName); }

// ---- Opening and closing ------------------------------------------------------------------

void TArcUnZip::OpenArchive() {
  if (!FArchive)
    FArchive = std::make_unique<TLFNFileStream>(FZipName, fmOpenRead | fmShareDenyWrite,
                                                FFlushFilesOnClose,
                                                static_cast<int>(FStreamBufferSize));
  if (!FDirectory || StampOf(FZipName) != FRecordedStamp) LoadDirectory();
}

void TArcUnZip::CloseArchive() {
  if (!FKeepZipOpen) FArchive.reset();
}

void TArcUnZip::ClearArchive() {
  FArchive.reset();
  FreeDirectory();
  FEndRecord->Clear();
  FEndRecord->FreeZip64();
  FScanMode = 0;
  FRecordedStamp = TArchiveStamp();
  FDiskCount = 1;
  SetMultiMode(mmNone);
  FZipName.clear();
  FBaseName.clear();
}

void TArcUnZip::ReadDirectory() {
  const uint8_t OldBusy = FBusy;
  FBusy = 1;
  try {
    for (;;) {
      const TIncompleteZipMode ModeBefore = FIncompleteZipMode;
      const TArchiveStamp StampBefore = StampOf(FZipName);
      try {
        OpenArchive();
        break;
      } catch (const EIncompleteZip&) {
        FArchive.reset();
        // Another attempt only makes sense when the handler changed
        // something: the policy, or the file (a disk put in, a part
        // restored). A handler that leaves both as they were would
        // otherwise be asked for ever.
        if (!OnInCompleteZip) break;
        if (FIncompleteZipMode == ModeBefore && StampOf(FZipName) == StampBefore) break;
      } catch (...) {
        ClearArchive();
        throw;
      }
    }
  } catch (...) {
    CloseArchive();
    FBusy = OldBusy;
    throw;
  }
  CloseArchive();
  FBusy = OldBusy;
}

// ---- Loading the directory ---------------------------------------------------------------

/*
 * Loading runs in three stages. First the end record: the backward scan of
 * the archive, then the repair file ".zfc" the writer leaves for multi-disk
 * sets. Without either, the incomplete-archive policy decides: refuse,
 * report an incomplete (multi-disk) archive, or rebuild from local headers.
 * Then the central headers are read in order into the directory list. A
 * header that cannot be read, or a duplicate entry, switches to the local
 * header scan (single-disk archives only); in scan mode the central headers
 * only complete the entries the scan found. Then the entries are checked
 * against each other and the file: entries laid over each other are a
 * damaged directory when the local headers hold them apart, else the
 * archive is refused; an entry whose declared sizes its data cannot have is
 * kept with its Defect. Last, the archive comment of a multi-disk set is
 * loaded and the view built.
 */
void TArcUnZip::LoadDirectory() {
  FRecordedStamp = StampOf(FZipName);
  // A reload reads the file as it is now: a local-header scan of an earlier
  // state of it must not put this load into scan mode.
  FScanMode = 0;
  FreeDirectory();
  ++FLoadCount;
  FEndRecord->Clear();
  FEndRecord->FreeZip64();
  FDirectoryWarnings.clear();
  FMissingEntries = 0;
  FDuplicateOffset.clear();

  TDirectorySource Source;
  Source.Stream = FArchive.get();
  std::string Missing;
  if (FindEndRecords(Source, Missing)) {
    if (FEndRecord->CutCommentLength() != 0)
      FDirectoryWarnings.push_back(
          Format("the end record announces a %u-byte archive comment, but the file ends %u bytes into "
                 "it; the comment is taken as those bytes",
                 FEndRecord->CutCommentLength(), FEndRecord->ZipCommentLength()));
    SeekCentralDirectory(Source);
  } else {
    ApplyIncompletePolicy(Source, Missing);
  }
  const uint64_t Declared = FEndRecord->TotalEntries();
  PrepareDirectoryList(*Source.Stream);
  ReadCentralEntries(Source.Stream);
  RefuseOverlaps(Declared, Source.Repair != nullptr);
  // The end record knew of entries the local headers did not lead to; they
  // cannot be named, but they must not go unmentioned.
  if (FScanMode && static_cast<uint64_t>(Count()) < Declared) {
    FMissingEntries = static_cast<int64_t>(Declared - static_cast<uint64_t>(Count()));
    FDirectoryWarnings.push_back(Format("the end record lists %llu entries, but scanning the local headers found "
                                        "only %d; the others are missing",
                                        static_cast<unsigned long long>(Declared), Count()));
  }
  MarkImpossibleSizes();
  LoadSetComment(Source);
  FDiskCount = static_cast<int32_t>(FEndRecord->NumberOfThisDisk()) + 1;
  // The current disk is the one whose file is open: the last disk unless
  // the central directory ended on an earlier one.
  if (Source.Repair) FCurrentDisk = 0;
  BuildView(FSortMode);
}

namespace {

// Why an end record search of Stream gave nothing usable.
std::string EndRecordTrouble(TStream& Stream, bool Found, const TEndCentral& End) {
  if (Found)
    return Format("the end record names disk %u, with the central directory on disk %u",
                  End.NumberOfThisDisk(), End.DiskWithCentralDir());
  const int64_t Size = Stream.Size();
  if (Size < static_cast<int64_t>(ZipEndRecordSize))
    return Format("the file is %lld bytes long, too short for an end record", static_cast<long long>(Size));
  return "no end of central directory record in the last " +
         std::to_string(std::min<int64_t>(Size, ZipEndSearchWindow)) + " bytes";
}

}  // namespace

// The end record of the archive, or else of its repair file (Source then
// reads from the repair file). False, with Missing telling why, when
// neither has a usable one.
bool TArcUnZip::FindEndRecords(TDirectorySource& Source, std::string& Missing) {
  bool Found = FEndRecord->FindEndRecord(*Source.Stream);
  if (Found && UsableEndRecord(*FEndRecord)) return true;
  Missing = EndRecordTrouble(*Source.Stream, Found, *FEndRecord);
  const std::string RepairName = ChangeFileExt(FZipName, ".zfc");
  if (!FileExistsAt(RepairName)) return false;
  auto Repair = std::make_unique<TLFNFileStream>(RepairName, fmOpenRead | fmShareDenyWrite, false,
                                                 static_cast<int>(FStreamBufferSize));
  FEndRecord->Clear();
  Found = FEndRecord->FindEndRecord(*Repair);
  if (!Found || !UsableEndRecord(*FEndRecord)) {
    Missing += "; in the repair file " + RepairName + ": " + EndRecordTrouble(*Repair, Found, *FEndRecord);
    return false;
  }
  Source.Repair = std::move(Repair);
  Source.Stream = Source.Repair.get();
  return true;
}

// With the end record known: the disk numbers, the multi-disk mode, and the
// stream standing at the first central header.
void TArcUnZip::SeekCentralDirectory(TDirectorySource& Source) {
  const bool FromRepair = Source.Repair != nullptr;
  const uint32_t ThisDisk = FEndRecord->NumberOfThisDisk();
  FCurrentDisk = FromRepair ? 0 : static_cast<int32_t>(ThisDisk);
  // Known before any other disk is opened, so that the last part is named
  // as the last one (OpenDisk).
  FDiskCount = static_cast<int32_t>(ThisDisk) + 1;
  if (ThisDisk > 0 && MultiMode() == mmNone) {
    const bool Span = FZipName.size() >= 2 && FZipName[1] == ':' &&
                      IsRemovableDrive(LeftText(FZipName, 3));
    SetMultiMode(Span ? mmSpan : mmBlocks);
  }
  if (ThisDisk == 0) SetMultiMode(mmNone);
  if (FEndRecord->TotalEntries() > 0) {
    if (!FromRepair && MultiMode() != mmNone &&
        static_cast<int32_t>(FEndRecord->DiskWithCentralDir()) != FCurrentDisk)
      Source.Stream = OpenDisk(static_cast<int32_t>(FEndRecord->DiskWithCentralDir()) + 1);
    Source.Stream->Seek(FromRepair ? 0 : static_cast<int64_t>(FEndRecord->CentralDirOffset()),
                        soBeginning);
  }
}

// No end record: the incomplete-archive policy (after OnInCompleteZip had
// its say) refuses the archive or rebuilds its directory from local headers.
void TArcUnZip::ApplyIncompletePolicy(TDirectorySource& Source, const std::string& Missing) {
  if (OnInCompleteZip) OnInCompleteZip(this, FIncompleteZipMode);
  switch (FIncompleteZipMode) {
    case izAssumeNotAZip:
      throw WithDetail(ENotAZipFile(), Missing);
    case izAssumeMulti:
      throw WithDetail(EIncompleteZip(), Missing);
    case izAssumeBad:
    default:
      if (!ScanLocalHeaders()) {
        ClearArchive();
        throw WithDetail(EBadZipFile(), Missing + "; no local header to rebuild the directory from");
      }
      Source.Stream = FArchive.get();
      break;
  }
}

// The directory list, unless the local header scan made it already.
void TArcUnZip::PrepareDirectoryList(TStream& S) {
  if (FDirectory) return;
  FDirectory = std::make_unique<TSortedZip>(RefuseDuplicate);
  FDirectory->SetSortMode(ByNone);
  FView = FDirectory.get();
  const uint64_t Total = FEndRecord->TotalEntries();
  // Room for the entries the end record announces, within what the file
  // can hold (a central header takes at least 46 bytes), so a forged
  // count cannot make the list reserve memory the archive does not back.
  const uint64_t Fits = static_cast<uint64_t>(std::max<int64_t>(S.Size(), 0)) / 46;
  const uint64_t Room = std::min<uint64_t>(Total, Fits);
  if (Room > 0 && Room < static_cast<uint64_t>(MaxListSize)) FDirectory->SetCapacity(static_cast<int>(Room));
}

// The archive comment of a multi-disk set, from the last disk or the
// repair file.
void TArcUnZip::LoadSetComment(TDirectorySource& Source) {
  const uint32_t ThisDisk = FEndRecord->NumberOfThisDisk();
  if (ThisDisk == 0 || !FEndRecord->HasComment() || FEndRecord->ZipComment()) return;
  if (!Source.Repair) {
    if (FCurrentDisk != static_cast<int32_t>(ThisDisk)) OpenDisk(static_cast<int32_t>(ThisDisk) + 1);
    LoadArchiveComment();
    return;
  }
  std::string Text(FEndRecord->ZipCommentLength(), '\0');
  Source.Repair->Seek(FEndRecord->ZipCommentPos(), soBeginning);
  Source.Repair->ReadBuffer(Text.data(), static_cast<int64_t>(Text.size()));
  FEndRecord->SetZipComment(Text);
  FEndRecord->SetModified(false);
}

void TArcUnZip::NextVolumeForCentral(TStream*& Stream) { Stream = OpenDisk(FCurrentDisk + 2); }

namespace {

// Whether a central header signature stands at Stream's position (which is
// left as it was).
bool CentralHeaderFollows(TStream& Stream) {
  const int64_t At = Stream.Position();
  uint8_t Sig[4];
  const bool Follows = ReadUpTo(Stream, Sig, 4) == 4 && GetLE32(Sig) == ZipSignatures.Central;
  Stream.Seek(At, soBeginning);
  return Follows;
}

}  // namespace

void TArcUnZip::ReadCentralEntries(TStream*& S) {
  uint64_t Counter = 0;
  TZipHeaderInfo* Previous = nullptr;  // last kept entry with an extra field
  const bool FromRepair = S != FArchive.get();
  // An end record that counts fewer entries than the central directory
  // holds (a count cut to 16 bits, a stray end record in the archive
  // comment) must not hide the rest: headers that follow are read on.
  while (Counter < FEndRecord->TotalEntries() || (!FScanMode && CentralHeaderFollows(*S))) {
    PumpMessages();
    auto Entry = std::make_unique<TZipHeaderInfo>();
    Entry->SetOEMConvert(FOEMConvert);
    const bool Continue = !FScanMode && MultiMode() != mmNone && !FromRepair;
    const int64_t At = S->Position();
    const bool Ok = ReadCentralHeader(*Entry, S, Continue, Previous);
    Previous = nullptr;

    if (!Ok) {
      if (FScanMode) break;
      Entry.reset();
      RebuildOrFail(Format("central header %llu of %llu at offset %lld%s is not one",
                           static_cast<unsigned long long>(Counter + 1),
                           static_cast<unsigned long long>(FEndRecord->TotalEntries()),
                           static_cast<long long>(At), DiskText().c_str()));
      S = FArchive.get();
      Counter = 0;
      continue;
    }

    if (FScanMode) {
      CompleteScannedEntry(*Entry, *S);
      ++Counter;
      continue;
    }

    TZipHeaderInfo* Kept = Entry.get();
    int Held = -1;
    if (FDirectory->Find(Kept, Held)) {
      // Two central headers for one local header: a damaged directory, or
      // entries laid over each other on purpose (RefuseOverlaps decides).
      const TZipHeaderInfo& First = *FDirectory->Items(Held);
      FDuplicateOffset = Format("\"%s\" and \"%s\" both start at offset %llu%s",
                                First.FullName().c_str(), Kept->FullName().c_str(),
                                static_cast<unsigned long long>(Kept->RelativeOffset()),
                                DiskText().c_str());
    }
    if (!KeepCentralEntry(Entry)) {
      RebuildOrFail(Format("\"%s\" (central header at offset %lld%s) is listed twice",
                           Kept->FullName().c_str(), static_cast<long long>(At), DiskText().c_str()));
      Entry.reset();
      S = FArchive.get();
      Counter = 0;
      continue;
    }
    PassCentralTail(*Kept, *S);
    if (Kept->CentralExtraLength() != 0) Previous = Kept;
    ++Counter;
  }
  if (!FScanMode && Counter > FEndRecord->TotalEntries())
    FDirectoryWarnings.push_back(Format("the end record counts %llu entries, but the central directory holds %llu; "
                                        "all of them are read",
                                        static_cast<unsigned long long>(FEndRecord->TotalEntries()),
                                        static_cast<unsigned long long>(Counter)));
}

// One central header into Entry. When it cannot be read and the previous
// entry had an extra field, that field's length may have been wrong: the
// header is read again from where the field would have started.
bool TArcUnZip::ReadCentralHeader(TZipHeaderInfo& Entry, TStream*& S, bool Continue,
                                  TZipHeaderInfo* Previous) {
  const TZipHeaderInfo::TNextVolume NextVolume = [this](TStream*& Stream) {
    NextVolumeForCentral(Stream);
  };
  auto Read = [&] { return Continue ? Entry.ReadCentral(S, NextVolume) : Entry.ReadCentral(*S); };
  if (Read()) return true;
  if (Previous == nullptr || Previous->CentralExtraLength() == 0) return false;
  const uint16_t PreviousExtra = Previous->CentralExtraLength();
  Previous->SetCentralExtraLength(0);
  S->Seek(-static_cast<int64_t>(PreviousExtra), soCurrent);
  return Read();
}

// The central directory cannot be used as it stands: a single-disk archive
// is rebuilt from its local headers, anything else fails with Why.
void TArcUnZip::RebuildOrFail(const std::string& Why) {
  if (MultiMode() == mmNone && ScanLocalHeaders()) return;
  const std::string Detail =
      MultiMode() != mmNone ? Why + "; a multi-disk archive is not rebuilt from its local headers"
                            : Why + "; no local header to rebuild the directory from";
  ClearArchive();
  throw WithDetail(EBadZipFile(), Detail);
}

// In scan mode a central header only completes the entry the scan found at
// its offset, and only when it names the same file: a central header with a
// wrong offset (the reason for the scan, often) must not rename another
// entry. The stream goes on to the next header either way.
void TArcUnZip::CompleteScannedEntry(const TZipHeaderInfo& Entry, TStream& S) {
  int Index = -1;
  auto* Key = const_cast<TZipHeaderInfo*>(&Entry);
  if (FDirectory->Find(Key, Index) && FDirectory->Items(Index)->FullName() == Entry.FullName()) {
    TZipHeaderInfo* Held = FDirectory->Items(Index);
    const uint64_t Offset = Held->RelativeOffset();
    Held->Assign(&Entry);
    Held->SetRelativeOffset(Offset);
  }
  S.Seek(static_cast<int64_t>(Entry.CentralExtraLength()) + Entry.FileCommentLength(), soCurrent);
}

// Adds the entry to the directory (taking it over); false, leaving it with
// the caller, when the directory holds one at its place already.
bool TArcUnZip::KeepCentralEntry(std::unique_ptr<TZipHeaderInfo>& Entry) {
  try {
    FDirectory->Add(Entry.get());
  } catch (const EListError&) {
    return false;
  }
  Entry.release();
  return true;
}

// Past the extra field and comment of a kept entry; in a multi-disk set
// the comment is read now, while its disk is open.
void TArcUnZip::PassCentralTail(TZipHeaderInfo& Kept, TStream& S) {
  if (FEndRecord->NumberOfThisDisk() > 0 && Kept.HasComment()) {
    std::string Text(Kept.FileCommentLength(), '\0');
    S.Seek(Kept.CentralExtraLength(), soCurrent);
    S.ReadBuffer(Text.data(), static_cast<int64_t>(Text.size()));
    const bool Modified = FEndRecord->Modified();
    Kept.SetFileComment(Text);
    FEndRecord->SetModified(Modified);
  } else {
    S.Seek(static_cast<int64_t>(Kept.CentralExtraLength()) + Kept.FileCommentLength(), soCurrent);
  }
}

std::string TArcUnZip::DiskText() const {
  return MultiMode() != mmNone ? " on disk " + std::to_string(FCurrentDisk + 1) : std::string();
}

/*
 * Rebuilding a directory from local headers. The archive is searched for the
 * local signature "PK\3\4" followed by a version-needed field whose high
 * byte is below 10 (real archives need at most version 6.3); the search
 * works on 64 KiB blocks that overlap by the five bytes a candidate may
 * still need. From the first hit local headers are read one after another,
 * each entry's data skipped by its compressed size, or, for an entry with a
 * data descriptor (whose local sizes are 0), followed to the descriptor
 * that closes it (FindDescriptorEnd). The central directory
 * after them, if any, is then read in scan mode and only completes the
 * entries found here.
 */
bool TArcUnZip::ScanLocalHeaders() {
  if (FScanMode) return false;
  FScanMode = 1;
  FreeDirectory();
  TStream& S = *FArchive;
  const std::string Ext = UpperAscii(ExtractFileExt(FZipName));
  int64_t BlockPos = Ext == ".EXE" ? 14000 : 0;

  constexpr size_t BlockSize = 65536;
  constexpr size_t Need = 6;  // signature and version-needed field
  std::vector<uint8_t> Block(BlockSize);
  int64_t NextPump = BlockPos + 10240;
  int64_t Found = -1;
  size_t SearchFrom = 0;  // first offset in the block still to look at
  while (Found < 0) {
    S.Seek(BlockPos, soBeginning);
    const size_t Len = static_cast<size_t>(S.Read(Block.data(), BlockSize));
    if (Len < Need) return false;
    const uint8_t* B = Block.data();
    size_t I = SearchFrom;
    while (I + Need <= Len) {
      const void* P = std::memchr(B + I, ZipSignatures.LocalBytes[0], Len - Need + 1 - I);
      if (P == nullptr) {
        I = Len - Need + 1;
        break;
      }
      I = static_cast<size_t>(static_cast<const uint8_t*>(P) - B);
      if (std::memcmp(B + I, ZipSignatures.LocalBytes, 4) == 0) {
        if (B[I + 5] < 10) {
          Found = BlockPos + static_cast<int64_t>(I);
          break;
        }
        I += Need;  // a rejected candidate: go on after its version field
      } else {
        ++I;
      }
    }
    if (Found >= 0) break;
    if (Len < BlockSize) return false;  // the file ended
    const int64_t Next = BlockPos + static_cast<int64_t>(I);
    while (NextPump <= Next) {
      PumpMessages();
      NextPump += 10240;
    }
    BlockPos = Next;
    SearchFrom = 0;
  }

  S.Seek(0, soBeginning);  // a buffered stream past the end counts its position as its size
  const int64_t FileEnd = S.Size();
  S.Seek(Found, soBeginning);
  FDirectory = std::make_unique<TSortedZip>(RefuseDuplicate);
  FDirectory->SetSortMode(ByNone);
  FView = FDirectory.get();
  uint64_t Entries = 0;
  for (;;) {
    auto Entry = std::make_unique<TZipHeaderInfo>();
    Entry->SetOEMConvert(FOEMConvert);
    const int64_t HeaderPos = S.Position();
    if (!Entry->ReadLocal(S)) break;
    PumpMessages();
    const int64_t DataStart = S.Position() + Entry->LocalExtraLength();
    const uint64_t Packed = Entry->CompressedSize();
    const bool Fits = Packed <= static_cast<uint64_t>(INT64_MAX - DataStart);
    int64_t Next = Fits ? DataStart + static_cast<int64_t>(Packed) : -1;
    if (Entry->HasDataDescriptor()) {
      int64_t NextLocal = -1;
      const int64_t End = FindDescriptorEnd(*Entry, DataStart, NextLocal);
      if (End >= 0) {
        Next = End;
      } else if (Packed == 0) {
        // Without its descriptor nothing tells where the data ends: the
        // entry is kept as unreadable and the scan goes on at the next
        // local header.
        Entry->SetDefect(Format("no data descriptor matches the data after the local header at "
                                "offset %lld: the entry's end, CRC and size are unknown",
                                static_cast<long long>(HeaderPos)));
        Next = NextLocal;
      }
    }
    try {
      FDirectory->Add(Entry.get());
      Entry.release();
      ++Entries;
    } catch (const EListError&) {
      S.Seek(HeaderPos, soBeginning);
      break;  // a header seen twice: the run has gone round
    }
    if (Next < 0 || Next > FileEnd) {
      S.Seek(FileEnd, soBeginning);
      break;
    }
    S.Seek(Next, soBeginning);
  }
  FEndRecord->SetNumberOfThisDisk(0);
  FEndRecord->SetDiskWithCentralDir(0);
  FEndRecord->SetCentralDirOffset(static_cast<uint64_t>(S.Position()));
  FEndRecord->SetTotalEntries(Entries);
  FCurrentDisk = 0;
  FDiskCount = 1;
  return true;
}

int64_t TArcUnZip::FindDescriptorEnd(TZipHeaderInfo& Entry, int64_t DataStart, int64_t& NextLocal) {
  TStream& S = *FArchive;
  NextLocal = -1;
  const bool Zip64 = Entry.Zip64Info() != nullptr;
  const bool Stored = Entry.CompressionMethod() == 0 && !Entry.Encrypted();
  // A candidate looks back at most this far for its descriptor.
  constexpr int64_t Back = 24;
  // Reads start small and grow, so that a run of small entries costs what
  // their data does.
  constexpr size_t Most = 65536;
  size_t Want = 4096;
  std::vector<uint8_t> Block(Want);
  const uint8_t* B = Block.data();
  auto Matches = [&](int64_t At, size_t Index) {
    const size_t Tail = std::min<size_t>(Index, Back);
    TDataDescriptor D;
    if (!MatchDataDescriptor(B + Index - Tail, Tail, static_cast<uint64_t>(At - DataStart), Zip64, D))
      return false;
    if (Stored && D.UncompressedSize != D.CompressedSize) return false;
    Entry.SetCrc32(D.Crc32);
    Entry.SetCompressedSize(D.CompressedSize);
    Entry.SetUncompressedSize(D.UncompressedSize);
    return true;
  };
  int64_t From = DataStart;  // the first place a candidate may stand
  int64_t NextPump = From + 10240;
  for (;;) {
    // Each read starts up to Back bytes before From, so a candidate sees
    // the descriptor in front of it within the same buffer.
    const int64_t ReadAt = From - std::min<int64_t>(Back, From - DataStart);
    S.Seek(ReadAt, soBeginning);
    const size_t Len = static_cast<size_t>(ReadUpTo(S, Block.data(), static_cast<int64_t>(Want)));
    for (size_t I = static_cast<size_t>(From - ReadAt); I + 4 <= Len; ++I) {
      const uint32_t V = GetLE32(B + I);
      if (V != ZipSignatures.Local && V != ZipSignatures.Central && V != ZipSignatures.End &&
          V != ZipSignatures.Zip64End)
        continue;
      const int64_t At = ReadAt + static_cast<int64_t>(I);
      if (V == ZipSignatures.Local && NextLocal < 0) NextLocal = At;
      if (Matches(At, I)) return At;
    }
    if (Len < Want) {
      // The file ends here: the last entry of an archive cut before its
      // central directory ends with its descriptor.
      const int64_t At = ReadAt + static_cast<int64_t>(Len);
      return At > DataStart && Matches(At, Len) ? At : -1;
    }
    From = ReadAt + static_cast<int64_t>(Len) - 3;  // a signature may straddle the reads
    if (Want < Most) {
      Want *= 2;
      Block.resize(Want);
      B = Block.data();
    }
    while (NextPump <= From) {
      PumpMessages();
      NextPump += 10240;
    }
  }
}

namespace {

// A + B, or the largest value when that does not fit.
uint64_t AddCapped(uint64_t A, uint64_t B) { return A > UINT64_MAX - B ? UINT64_MAX : A + B; }

// How far the local header and data of E reach from its offset.
uint64_t EntrySpan(const TZipHeaderInfo& E) { return AddCapped(ZipLocalHeaderSize, E.CompressedSize()); }

std::string SpanText(const TZipHeaderInfo& E) {
  return Format("\"%s\" at offset %llu (%llu bytes with its local header)", E.FullName().c_str(),
                static_cast<unsigned long long>(E.RelativeOffset()),
                static_cast<unsigned long long>(EntrySpan(E)));
}

}  // namespace

// The directory list is in archive order (disk, then offset), so only
// neighbours can overlap. The local header's name and extra field are not
// counted: their lengths are known only from the local header itself, and
// the fixed part already tells overlapping entries apart.
std::string TArcUnZip::FindOverlap(bool FromRepair) const {
  if (!FDirectory) return std::string();
  const int N = FDirectory->Count();
  const bool CentralKnown = !FScanMode && !FromRepair;
  for (int I = 0; I < N; ++I) {
    const TZipHeaderInfo& E = *FDirectory->Items(I);
    const uint64_t End = AddCapped(E.RelativeOffset(), EntrySpan(E));
    if (I + 1 < N) {
      const TZipHeaderInfo& Next = *FDirectory->Items(I + 1);
      if (Next.DiskNumberStart() == E.DiskNumberStart() && Next.RelativeOffset() < End)
        return SpanText(E) + " and " + SpanText(Next) + " overlap";
    }
    if (CentralKnown && E.DiskNumberStart() == FEndRecord->DiskWithCentralDir() &&
        E.RelativeOffset() < FEndRecord->CentralDirOffset() && End > FEndRecord->CentralDirOffset())
      return SpanText(E) + Format(" runs into the central directory at offset %llu",
                                  static_cast<unsigned long long>(FEndRecord->CentralDirOffset()));
  }
  return std::string();
}

void TArcUnZip::RefuseOverlaps(uint64_t Declared, bool FromRepair) {
  std::string Why = FDuplicateOffset.empty() ? FindOverlap(FromRepair) : FDuplicateOffset;
  if (Why.empty()) return;
  if (!FScanMode && MultiMode() == mmNone && ScanLocalHeaders()) {
    TStream* S = FArchive.get();
    ReadCentralEntries(S);
  }
  // Rebuilt from local headers that hold every declared entry, apart: the
  // directory was only damaged.
  if (FScanMode && static_cast<uint64_t>(Count()) >= Declared && FindOverlap(FromRepair).empty()) return;
  ClearArchive();
  throw WithDetail(EBadZipFile(), "overlapped components (possible zip bomb): " + Why);
}

void TArcUnZip::MarkImpossibleSizes() {
  if (!FDirectory) return;
  // Only a single-file archive holds all of every entry's data.
  const bool OneFile = FEndRecord->NumberOfThisDisk() == 0 && FArchive;
  uint64_t FileSize = 0;
  if (OneFile) {
    // From the start: a buffered stream standing past the end of the file
    // counts its position as its size.
    FArchive->Seek(0, soBeginning);
    FileSize = static_cast<uint64_t>(std::max<int64_t>(FArchive->Size(), 0));
  }
  for (int I = 0; I < FDirectory->Count(); ++I) {
    TZipHeaderInfo& E = *FDirectory->Items(I);
    if (!E.Defect().empty()) continue;
    const uint64_t Packed = E.CompressedSize();
    const uint64_t Size = E.UncompressedSize();
    // The encryption header is not data.
    const uint64_t Data = E.Encrypted() ? (Packed > kEncryptionHeaderSize ? Packed - kEncryptionHeaderSize : 0) : Packed;
    if (OneFile && AddCapped(E.RelativeOffset(), EntrySpan(E)) > FileSize)
      E.SetDefect(Format("compressed size %llu at offset %llu runs past the end of the archive (%llu bytes)",
                         static_cast<unsigned long long>(Packed),
                         static_cast<unsigned long long>(E.RelativeOffset()),
                         static_cast<unsigned long long>(FileSize)));
    else if (E.CompressionMethod() == 0 && Size != Data)
      E.SetDefect(Format("declared size %llu differs from the %llu bytes stored",
                         static_cast<unsigned long long>(Size), static_cast<unsigned long long>(Data)));
    // One byte of deflate data gives at most 1032 bytes (two one-bit codes
    // for a 258-byte match).
    else if (E.CompressionMethod() == 8 && Size / 1032 > Data)
      E.SetDefect(Format("declared size %llu is more than %llu bytes of deflate data can give",
                         static_cast<unsigned long long>(Size), static_cast<unsigned long long>(Data)));
  }
}

// ---- Read-outs --------------------------------------------------------------------------------

int32_t TArcUnZip::Count() const { return FDirectory ? FDirectory->Count() : 0; }

void TArcUnZip::CheckIndex(int32_t I) const {
  if (I < 0 || I >= Count() || FView == nullptr)
    throw EListError(WithNumber(LoadZipStr(zsIndexOutOfRange), I));
}

const TZipHeaderInfo& TArcUnZip::EntryHeader(int32_t I) const {
  CheckIndex(I);
  return *FView->Items(I);
}

std::string TArcUnZip::EntryName(int32_t I) const { return EntryHeader(I).FileName(); }

uint64_t TArcUnZip::EntryUncompressedSize(int32_t I) const {
  return EntryHeader(I).UncompressedSize();
}

TDateTime TArcUnZip::EntryDateTime(int32_t I) const {
  TDateTime Value = 0;
  if (!DosDateTimeToDateTime(static_cast<int32_t>(EntryHeader(I).FileDateTime()), Value))
    return NowDateTime();
  return Value;
}

void TArcUnZip::LoadEntryComment(TZipHeaderInfo& E) {
  TStream& S = *FArchive;
  uint8_t H[ZipCentralHeaderSize];
  S.Seek(E.CentralOffset(), soBeginning);
  S.ReadBuffer(H, ZipCentralHeaderSize);
  const int64_t NameLen = GetLE16(H + 28);
  const int64_t ExtraLen = GetLE16(H + 30);
  S.Seek(NameLen + ExtraLen, soCurrent);
  std::string Text(E.FileCommentLength(), '\0');
  S.ReadBuffer(Text.data(), static_cast<int64_t>(Text.size()));
  const bool Modified = FEndRecord->Modified();
  E.SetFileComment(Text);
  FEndRecord->SetModified(Modified);
}

void TArcUnZip::LoadArchiveComment() {
  TStream& S = *FArchive;
  std::string Text(FEndRecord->ZipCommentLength(), '\0');
  S.Seek(FEndRecord->ZipCommentPos(), soBeginning);
  S.ReadBuffer(Text.data(), static_cast<int64_t>(Text.size()));
  const bool Modified = FEndRecord->Modified();
  FEndRecord->SetZipComment(Text);
  FEndRecord->SetModified(Modified);
}

std::string TArcUnZip::EntryComment(int32_t I) {
  CheckIndex(I);
  {
    const TZipHeaderInfo& E = *FView->Items(I);
    if (E.FileCommentLength() == 0) return std::string();
    if (E.FileComment()) return *E.FileComment();
  }
  OpenArchive();
  // Opening may have read a changed archive again: take the entry afresh.
  CheckIndex(I);
  TZipHeaderInfo& E = *FView->Items(I);
  if (E.FileCommentLength() != 0 && !E.FileComment()) {
    const int64_t Saved = FArchive->Position();
    try {
      LoadEntryComment(E);
    } catch (...) {
      if (FArchive) FArchive->Seek(Saved, soBeginning);
      if (MultiMode() == mmNone) CloseArchive();
      throw;
    }
    FArchive->Seek(Saved, soBeginning);
    if (MultiMode() == mmNone) CloseArchive();
  }
  return E.FileComment().value_or(std::string());
}

void TArcUnZip::SetEntryComment(int32_t I, const std::string& Value) {
  if (EntryComment(I) == Value) return;
  TZipHeaderInfo& E = *FView->Items(I);
  E.SetFileComment(Value);
  FEndRecord->SetModified(true);
}

std::string TArcUnZip::ArchiveComment() {
  if (FEndRecord->ZipCommentLength() == 0) return std::string();
  if (FEndRecord->ZipComment()) return *FEndRecord->ZipComment();
  OpenArchive();
  if (FEndRecord->ZipCommentLength() != 0 && !FEndRecord->ZipComment()) {
    const int64_t Saved = FArchive->Position();
    try {
      LoadArchiveComment();
    } catch (...) {
      if (FArchive) FArchive->Seek(Saved, soBeginning);
      if (MultiMode() == mmNone) CloseArchive();
      throw;
    }
    FArchive->Seek(Saved, soBeginning);
    if (MultiMode() == mmNone) CloseArchive();
  }
  return FEndRecord->ZipComment().value_or(std::string());
}

void TArcUnZip::SetArchiveComment(const std::string& Value) {
  if (ArchiveComment() == Value) return;
  FEndRecord->SetZipComment(Value);
  FEndRecord->SetModified(true);
}

// ---- Messages ---------------------------------------------------------------------------------

int32_t TArcUnZip::DoHandleMessage(int32_t MessageID, const std::string& Msg1,
                                   const std::string& Msg2, uint32_t Flags) {
  if (OnHandleMessage) {
    int32_t Return = 0;
    OnHandleMessage(this, MessageID, Msg1, Msg2, Flags, Return);
    return Return;
  }
  return platform::WindowServices().MessageBox(nullptr, Msg1, Msg2, Flags);
}

void TArcUnZip::ProcessMessages() { platform::WindowServices().ProcessMessages(); }

}  // namespace zem
