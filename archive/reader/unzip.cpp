// TArcUnZip extraction: choosing entries, destination paths, the password
// check, existing and read-only files, file times and attributes, the CRC
// check and the events of a run.
#include <errno.h>
#include <limits.h>

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "archive/format/byte_codec.h"
#include "archive/reader/arc_messages.h"
#include "archive/reader/decompress_engine.h"
#include "archive/support/wildcard.h"
#include "platform/window_services.h"

namespace zem {

namespace {

// True when a component of Path (separated by '\' or '/') is "..": such a
// path could lead out of the destination folder.
bool HasParentStep(const std::string& Path) {
  size_t Start = 0;
  while (Start <= Path.size()) {
    size_t End = Path.find_first_of("\\/", Start);
    if (End == std::string::npos) End = Path.size();
    if (End - Start == 2 && Path.compare(Start, 2, "..") == 0) return true;
    Start = End + 1;
  }
  return false;
}

// Native as a path below the folder Dest ("a/b" for "/dest/a/b" below
// "/dest"); false, and Rel untouched, when it is not below Dest.
bool BelowFolder(const std::string& Native, const std::string& Dest, std::string& Rel) {
  if (Dest.empty() || Native.size() <= Dest.size() || Native.compare(0, Dest.size(), Dest) != 0 ||
      (Dest != "/" && Native[Dest.size()] != '/'))
    return false;
  Rel = Native.substr(Dest == "/" ? 1 : Dest.size() + 1);
  return true;
}

// The entry's time as the overwrite rules compare it; a stored time no
// calendar has (hour 31, day 0) is first brought into range, as it is when
// set on the file.
TDateTime EntryDate(uint32_t DosDateTime) {
  TDateTime Value = 0;
  if (!DosDateTimeToDateTime(NormalizeDosDateTime(static_cast<int32_t>(DosDateTime)), Value))
    throw EConvertError(Format("Invalid argument to date encode: %08x", DosDateTime));
  return Value;
}

}  // namespace

int32_t TArcUnZip::UnZip() { return RunUnZip(false); }

int32_t TArcUnZip::TestZip() { return RunUnZip(true); }

int32_t TArcUnZip::RunUnZip(bool TestOnly) {
  const uint8_t OldBusy = FBusy;
  FBusy = 1;
  int32_t Result = 0;
  try {
    ReadDirectory();
    OpenArchive();
    if (!TestOnly && !FDestDir.empty()) {
      // A destination that cannot be opened yet is made by the first entry
      // (which then reports why it cannot be).
      const std::string Dest = platform::ToNativePath(FDestDir);
      if (!Dest.empty() && platform::OpenFolder(Dest, FRunDest) != 0) {
        ForceDirs(FDestDir);
        platform::OpenFolder(Dest, FRunDest);
      }
    }
    Result = ExtractRun(TestOnly);
  } catch (...) {
    // The archive stays open until the component's next operation.
    FRunDest.Close();
    FBusy = OldBusy;
    throw;
  }
  FRunDest.Close();
  CloseArchive();
  FBusy = OldBusy;
  return Result;
}

std::string TArcUnZip::EntryDestDir(const TZipHeaderInfo& E) const {
  if (!FRecreateDirs || E.Directory().empty()) return FDestDir + "\\";
  std::string P = E.Directory();
  const std::string UpperP = platform::AnsiUpperCase(P);
  for (const std::string& Item : FRelativePathList) {
    const std::string UpperItem = platform::AnsiUpperCase(Item);
    if (UpperP.compare(0, UpperItem.size(), UpperItem) == 0) {
      P.erase(0, Item.size());
      break;
    }
  }
  const bool Rooted = !P.empty() && P[0] == '\\';
  const bool Drive = P.size() >= 2 && P[1] == ':';
  if (P.empty() || (!Rooted && !Drive)) return FDestDir + "\\" + P;
  if (FDestDir.empty()) return P;
  if (Rooted) return FDestDir + P;
  // "X:rest": the drive goes; what is left always starts a new component
  // below DestDir ("X:dir\" must not become a sibling "<DestDir>dir\").
  std::string Rest = P.substr(2);
  if (Rest.empty() || Rest[0] != '\\') Rest.insert(Rest.begin(), '\\');
  return FDestDir + Rest;
}

int32_t TArcUnZip::ExtractRun(bool TestOnly) {
  FOperationState = 1;
  FPlacedUnreported = 0;
  FPlacedFiles.clear();
  const bool SavedKeep = FKeepZipOpen;
  FKeepZipOpen = true;
  FRun.reset(new TUnzipRun);
  FRun->TestOnly = TestOnly;
  FRun->Entry = FWorkingHeader.get();
  FRun->Crypt = &FCrypt;
  FRun->Error = &FEntryError;
  bool SortSaved = false;
  const TZipSortMode SavedSort = FSortMode;

  FFolderStamps.clear();
  auto EndRun = [&] {
    RemoveFoldersAhead();
    for (auto It = FFolderStamps.rbegin(); It != FFolderStamps.rend(); ++It)
      platform::StampFolder(It->first, It->second);
    FFolderStamps.clear();
    const int32_t Extracted = FRun ? FRun->Extracted : 0;
    FRun.reset();
    FFilesList.clear();
    if (SortSaved) BuildView(SavedSort);
    FKeepZipOpen = SavedKeep;
    FOperationState = 2;
    if (OnUnZipComplete) OnUnZipComplete(this, Extracted);
    return Extracted;
  };

  try {
    if (!TestOnly && !FDestDir.empty() && !DirExists(FDestDir)) ForceDirs(FDestDir);
    if (FEndRecord->NumberOfThisDisk() > 0 && FSortMode != ByNone) {
      SortSaved = true;
      BuildView(ByNone);
    }
    FTotalBytes = 0;
    FBytesDone = 0;
    const int32_t N = Count();
    int32_t ToDo = N;
    std::vector<std::string> Patterns;
    Patterns.reserve(FFilesList.size());
    for (const std::string& P : FFilesList) Patterns.push_back(platform::AnsiLowerCase(P));
    for (int32_t I = 0; I < N; ++I) {
      PumpMessages();
      TZipHeaderInfo& E = *FView->Items(I);
      E.SetChosen(FDoAll);
      if (E.FileName().empty() && !FRecreateDirs) {
        E.SetChosen(false);
        --ToDo;
        continue;
      }
      bool Chosen = FDoAll;
      if (!Chosen && !Patterns.empty()) {
        const std::string Name = platform::AnsiLowerCase(E.Directory() + E.FileName());
        Chosen = std::any_of(Patterns.begin(), Patterns.end(),
                             [&Name](const std::string& P) { return IsMatch(P, Name); });
      }
      E.SetChosen(Chosen);
      if (Chosen)  // the declared sizes may be anything: the sum stops at the largest value
        FTotalBytes = E.UncompressedSize() > static_cast<uint64_t>(INT64_MAX - FTotalBytes)
                          ? INT64_MAX
                          : FTotalBytes + static_cast<int64_t>(E.UncompressedSize());
      else
        --ToDo;
    }

    bool StopNow = false;
    if (OnStartUnZipInfo) OnStartUnZipInfo(this, ToDo, FTotalBytes, StopNow);
    if (ToDo > 0 && !StopNow && !TestOnly) MakeFoldersAhead(N);
    if (ToDo > 0 && !StopNow && !(RunsInParallel(ToDo) && ExtractInParallel(N, TestOnly))) {
      for (int32_t I = 0; I < N; ++I) {
        if (!FDoAll && !FView->Items(I)->Chosen()) continue;
        do {
          if (ExtractEntry(I, TestOnly)) ++FRun->Extracted;
        } while (FRetryEntry);
      }
    }
  } catch (...) {
    FRetryEntry = false;
    EndRun();
    throw;
  }
  return EndRun();
}

// The deepest folder an extraction makes ahead of its files, counted from
// the root of the file system.
constexpr std::ptrdiff_t kFoldersAheadDepth = 64;

void TArcUnZip::MakeFoldersAhead(int32_t Count) {
  FFoldersAhead.clear();
  if (!FRecreateDirs || !FRunDest.IsOpen()) return;
  const std::string Dest = platform::ToNativePath(FDestDir);
  std::vector<std::string> Folders;
  std::vector<std::string> Files;
  std::unordered_set<std::string> Named;  // folders the archive has entries for: they stay
  for (int32_t I = 0; I < Count; ++I) {
    const TZipHeaderInfo& E = *FView->Items(I);
    if ((!FDoAll && !E.Chosen()) || !E.Defect().empty() || E.FileName().size() + E.Directory().size() == 0)
      continue;
    const std::string Name = EntryDestDir(E) + E.FileName();
    if (HasParentStep(Name) || Name.find('\0') != std::string::npos) continue;
    std::string Native = platform::ToNativePath(Name);
    // A path the system cannot take fails its entry before any folder is
    // made, and a deep one is left to the entry's own walk: the folders
    // made here are removed again one walk each.
    if (Native.size() >= PATH_MAX || std::count(Native.begin(), Native.end(), '/') > kFoldersAheadDepth) continue;
    while (Native.size() > 1 && Native.back() == '/') Native.pop_back();
    std::string Rel;
    if (!BelowFolder(Native, Dest, Rel)) continue;
    if (E.FileName().empty()) {
      Named.insert(Rel);
      Folders.push_back(std::move(Rel));
      continue;
    }
    const size_t Slash = Rel.rfind('/');
    if (Slash != std::string::npos) Folders.push_back(Rel.substr(0, Slash));
    Files.push_back(std::move(Rel));
  }
  if (Folders.empty()) return;
  FFoldersAhead = platform::MakeFoldersAhead(FRunDest, Folders, Files);
  FFoldersAhead.erase(std::remove_if(FFoldersAhead.begin(), FFoldersAhead.end(),
                                     [&Named](const std::string& F) { return Named.count(F) != 0; }),
                      FFoldersAhead.end());
}

void TArcUnZip::RemoveFoldersAhead() {
  if (!FFoldersAhead.empty() && FRunDest.IsOpen()) platform::RemoveEmptyFolders(FRunDest, FFoldersAhead);
  FFoldersAhead.clear();
}

/*
 * One entry. The order is fixed by what each step may need from the one
 * before: the local header gives where the data starts; the destination
 * is known before OnStartUnZip may change it, and is checked (no ".."
 * step, not too long) in both runs so that TestZip gives UnZip's verdict;
 * a method that cannot be decoded fails before anything else is asked;
 * the password is checked before an existing file is touched, so a wrong
 * password never costs a file; the output is created only then, under a
 * temporary name, and takes the target's place only when the data came
 * out whole (declared size, right CRC), with its time and attributes.
 */
bool TArcUnZip::ExtractEntry(int32_t I, bool TestOnly) {
  FRetryEntry = false;
  FEntryError.clear();
  FWorkingHeader->Assign(FView->Items(I));
  TZipHeaderInfo& W = *FWorkingHeader;
  const bool IsFile = !W.FileName().empty();
  try {
    // What the directory already knows to be wrong with the entry (data
    // past the archive's end, sizes its data cannot have) fails it before
    // any byte is read.
    if (!W.Defect().empty()) return FailEntry(I, srDataError, W.Defect());
    if (IsFile && !SeekEntryData(I)) return false;

    const std::string D = EntryDestDir(W);
    if (!IsFile) return MakeEntryFolder(I, D, TestOnly);

    std::string FName = D + W.FileName();
    if (!PrepareEntryTarget(I, FName)) return false;
    if (!CheckEntryMethod(I)) return false;
    if (W.Encrypted() && !CheckEntryPassword(I)) return false;
    const int32_t DataDisk = FCurrentDisk;
    const int64_t DataPos = FArchive->Position();

    TEntryFilePtr File;
    if (!TestOnly && !OpenEntryOutput(I, FName, File)) return false;
    const TDataVerdict Verdict = DecompressEntry(DataDisk, DataPos, File.get());
    return FinishEntry(I, FName, Verdict, File, TestOnly);
  } catch (const EFatalUnzipError& E) {
    // The archive ends inside this entry's header or data: the entry fails
    // (its output, if any, went with the stack), later entries are tried.
    FRetryEntry = false;
    return FailEntry(I, srDataError, E.Message());
  }
}

void TArcUnZip::SkipEntry(int32_t I, TSkipReason Reason, const std::string& Name) {
  bool Retry = false;
  if (OnSkippingFile) OnSkippingFile(this, Reason, Name, I, Retry);
  const uint64_t Size = FWorkingHeader->UncompressedSize();
  // With earlier entries still in work, the total drops only once their
  // percentages are out, as it would have done after them.
  if (FRun && FRun->Pool && DeferSkippedSize(*FRun->Pool, Size)) return;
  FTotalBytes = Size >= static_cast<uint64_t>(FTotalBytes) ? 0 : FTotalBytes - static_cast<int64_t>(Size);
}

bool TArcUnZip::FailEntry(int32_t I, TSkipReason Reason, const std::string& Why) {
  if (FailInWorker(Reason, Why)) return false;
  FEntryError = Why;
  SkipEntry(I, Reason, FWorkingHeader->FullName());
  return false;
}

// The working entry's local header, on its own disk: checked, then passed
// over to the entry's data. An entry without one fails; the others do not
// depend on it.
bool TArcUnZip::SeekEntryData(int32_t I) {
  const TZipHeaderInfo& W = *FWorkingHeader;
  if (FEndRecord->NumberOfThisDisk() > 0 && FCurrentDisk != static_cast<int32_t>(W.DiskNumberStart()))
    OpenDisk(static_cast<int32_t>(W.DiskNumberStart()) + 1);
  const int64_t At = static_cast<int64_t>(W.RelativeOffset());
  FArchive->Seek(At, soBeginning);
  TLocalHeader Local;
  const TLocalRead Read = ReadLocalHeader(
      [this](uint8_t* Buffer, int64_t Count) {
        ReadEntryData(Buffer, Count);
        return Count;
      },
      Local);
  if (Read != TLocalRead::Ok)
    return FailEntry(I, srDataError,
                     Format("no local header at offset %lld (disk %d)", static_cast<long long>(At),
                            static_cast<int>(W.DiskNumberStart())));
  // Without a data descriptor the local header holds the CRC and sizes
  // too (a Zip64 one its marker for a size): a central header that gives
  // others is damaged, and its values would check the data against
  // themselves (a CRC and sizes wiped to 0 pass as an empty file).
  if ((Local.Flags & 0x0008) == 0 &&
      (Local.Crc32 != W.Crc32() ||
       (Local.CompressedSize != ZipMarker32 && Local.CompressedSize != W.CompressedSize()) ||
       (Local.UncompressedSize != ZipMarker32 && Local.UncompressedSize != W.UncompressedSize())))
    return FailEntry(I, srDataError,
                     Format("the local header at offset %lld gives CRC %08x and sizes %u/%u, the central "
                            "header CRC %08x and sizes %llu/%llu",
                            static_cast<long long>(At), Local.Crc32, Local.CompressedSize,
                            Local.UncompressedSize, W.Crc32(),
                            static_cast<unsigned long long>(W.CompressedSize()),
                            static_cast<unsigned long long>(W.UncompressedSize())));
  FArchive->Seek(static_cast<int64_t>(Local.FileNameLength) + Local.ExtraLength, soCurrent);
  return true;
}

bool TArcUnZip::MakeEntryFolder(int32_t I, const std::string& D, bool TestOnly) {
  if (!FRecreateDirs) return true;
  if (!CheckEntryName(I, D)) return false;
  if (TestOnly) return true;
  platform::TFolderHandle Folder;
  std::string Leaf;
  if (!OpenTargetFolder(I, D, true, Folder, Leaf)) return false;
  FFolderStamps.emplace_back(Folder.NativePath(), EntryStamp(*FWorkingHeader));
  return true;
}

bool TArcUnZip::PrepareEntryTarget(int32_t I, std::string& FName) {
  bool Skip = false;
  if (OnStartUnZip) OnStartUnZip(this, I, FName, Skip);
  if (Skip) return false;
  // The final name decides, whatever the stored name, the root and
  // relative path rules and the handler made of it.
  return CheckEntryName(I, FName);
}

// A name with a ".." step is never followed, and one longer than the system
// takes as a path, or holding a zero byte (where the system would end it:
// "..<NUL>x" is ".." to it), cannot be made: all fail at once, in both
// runs, before any folder is made.
bool TArcUnZip::CheckEntryName(int32_t I, const std::string& Name) {
  if (HasParentStep(Name)) return FailEntry(I, srCreateError, "the name leads outside the destination folder");
  if (Name.find('\0') != std::string::npos)
    return FailEntry(I, srCreateError, "the name holds a zero byte, which no file name can");
  const size_t Length = platform::ToNativePath(Name).size();
  if (Length >= PATH_MAX)
    return FailEntry(I, srCreateError,
                     Format("path too long: %zu bytes, the system takes at most %d", Length, PATH_MAX - 1));
  return true;
}

// A method without a decoder here fails before the password is asked for
// or anything is created. The notice is the one the component always gave.
bool TArcUnZip::CheckEntryMethod(int32_t I) {
  const uint16_t Method = FWorkingHeader->CompressionMethod();
  if (MethodIsSupported(Method)) return true;
  DoHandleMessage(zsUnknownMethod, LoadZipStr(zsUnknownMethod), LoadZipStr(zsZipErrorCaption), 0);
  return FailEntry(I, srDataError, UnsupportedMethodText(Method));
}

// The password check; an empty password is never taken as right. On
// success the archive stands after the encryption header, whose key state
// carries on into the data.
bool TArcUnZip::CheckEntryPassword(int32_t I) {
  TZipHeaderInfo& W = *FWorkingHeader;
  for (;;) {
    const int32_t HeaderDisk = FCurrentDisk;
    const int64_t HeaderPos = FArchive->Position();
    uint8_t Header[kEncryptionHeaderSize];
    ReadEntryData(Header, kEncryptionHeaderSize);
    W.SetCompressedSize(W.CompressedSize() > kEncryptionHeaderSize ? W.CompressedSize() - kEncryptionHeaderSize
                                                                   : 0);
    const uint8_t Check = PasswordCheckByte(W.Flags(), W.FileDateTime(), W.Crc32());
    if (!FPassword.empty() && FCrypt.DecryptHeader(FPassword, Header) == Check) return true;
    if (WorkInFlight()) {
      // The question comes after all earlier work, whose end may have
      // brought a new password already.
      DrainPool();
      if (FCurrentDisk != HeaderDisk) OpenDisk(HeaderDisk + 1);
      FArchive->Seek(HeaderPos, soBeginning);
      W.SetCompressedSize(FView->Items(I)->CompressedSize());
      continue;
    }
    std::string NewPassword = FPassword;
    if (OnBadPassword) OnBadPassword(this, I, NewPassword);
    if (OnBadPassword && NewPassword != FPassword) {
      FPassword = NewPassword;
      if (FCurrentDisk != HeaderDisk) OpenDisk(HeaderDisk + 1);
      FArchive->Seek(HeaderPos, soBeginning);
      W.SetCompressedSize(FView->Items(I)->CompressedSize());
      continue;
    }
    SkipEntry(I, srBadPassword, W.FullName());
    return false;
  }
}

bool TArcUnZip::MayOverwrite(int32_t I, std::string& FName, int64_t ExistingTime) {
  bool OverWriteIt = false;
  switch (FOverwriteMode) {
    case Prompt:
      if (OnPromptForOverwrite) {
        OnPromptForOverwrite(this, OverWriteIt, I, FName);
      } else {
        std::string Text = LoadZipStr(zsReplaceExisting);
        Text.replace(Text.find("%s"), 2, EntryName(I));
        if (Text.size() > 300) Text.resize(300);
        OverWriteIt = DoHandleMessage(zsReplaceExisting, Text, LoadZipStr(zsFileExistsCaption),
                                      platform::MB_YESNO) == platform::IDYES;
      }
      break;
    case ifNewer:
    case ifOlder: {
      const TDateTime Entry = EntryDate(FWorkingHeader->FileDateTime());
      TDateTime Existing = 0;
      const int32_t Age = platform::UnixToDosDateTime(static_cast<time_t>(ExistingTime));
      if (Age == -1) {
        // Out of the years a DOS time holds (an earlier time comes out as
        // 1980): a later time is later than any entry's.
        OverWriteIt = (FOverwriteMode == ifOlder) == (ExistingTime > 0);
      } else if (!DosDateTimeToDateTime(Age, Existing)) {
        OverWriteIt = true;  // no usable time on the file: nothing to keep it for
      } else {
        OverWriteIt = FOverwriteMode == ifNewer ? Entry > Existing : Entry < Existing;
      }
      break;
    }
    default:
      break;
  }
  return OverWriteIt;
}

/*
 * Where an entry's file or folder goes. Below DestDir every folder is
 * reached from DestDir one component at a time without following links
 * (made when missing), so nothing planted in the destination leads out of
 * it. A name an OnStartUnZip or overwrite handler chose elsewhere starts
 * from its own folder, which is made when missing, as the handler named it.
 * For a file, Leaf receives its name within Folder.
 */
bool TArcUnZip::OpenTargetFolder(int32_t I, const std::string& Name, bool IsFolder,
                                 platform::TFolderHandle& Folder, std::string& Leaf) {
  const std::string Native = platform::ToNativePath(Name);
  const std::string Dest = FDestDir.empty() ? std::string() : platform::ToNativePath(FDestDir);
  std::string Base, Rel;
  if (BelowFolder(Native, Dest, Rel)) {
    Base = Dest;
  } else if (IsFolder || Native.empty()) {
    Base = Native;
  } else {
    const size_t Slash = Native.rfind('/');
    Base = Slash == 0 ? std::string("/") : Native.substr(0, Slash);
    Rel = Native.substr(Slash + 1);
  }
  if (Base.empty()) return FailEntry(I, srCreateError, "the destination is on no known drive");
  std::string Folders = Rel;
  Leaf.clear();
  if (!IsFolder) {
    const size_t Slash = Rel.rfind('/');
    Leaf = Slash == std::string::npos ? Rel : Rel.substr(Slash + 1);
    Folders = Slash == std::string::npos ? std::string() : Rel.substr(0, Slash);
  }

  platform::TFolderHandle Opened;
  const bool Held = FRunDest.IsOpen() && Base == Dest;
  const platform::TFolderHandle& Root = Held ? FRunDest : Opened;
  if (!Held && platform::OpenFolder(Base, Opened) != 0) {
    ForceDirs(platform::FromNativePath(Base));
    if (platform::OpenFolder(Base, Opened) != 0)
      return FailEntry(I, srCreateError,
                       Format("cannot open the folder \"%s\": %s", Base.c_str(),
                              platform::SysErrorMessage(platform::GetLastError()).c_str()));
  }
  std::string FailedAt;
  switch (platform::WalkFolders(Root, Folders, true, Folder, FailedAt)) {
    case 0:
      return true;
    case ELOOP:
      return FailEntry(I, srCreateError, Format("\"%s\" is a symbolic link: not followed", FailedAt.c_str()));
    case ENOTDIR:
      return FailEntry(I, srCreateError, Format("\"%s\" is in the way: not a folder", FailedAt.c_str()));
    default:
      return FailEntry(I, srCreateError,
                       Format("cannot make the folder \"%s\": %s", FailedAt.c_str(),
                              platform::SysErrorMessage(platform::GetLastError()).c_str()));
  }
}

// The output of one entry: a file under a temporary name beside the
// target, behind the run's write buffer.
struct TArcUnZip::TEntryFile {
  TEntryFile(platform::TFolderHandle Folder, const std::string& Name, bool Sync, int BufferSize)
      : Pending(std::make_unique<platform::TPendingFile>(std::move(Folder), Name)),
        Buffer(std::make_unique<TS_BufferStream>(Pending.get(), BufferSize)) {
    Buffer->SetSyncOnClose(Sync);
  }
  std::unique_ptr<platform::TPendingFile> Pending;
  std::unique_ptr<TS_BufferStream> Buffer;  // goes first: it writes into Pending
};

void TArcUnZip::TEntryFileDeleter::operator()(TEntryFile* File) const { delete File; }

bool TArcUnZip::OpenEntryOutput(int32_t I, std::string& FName, TEntryFilePtr& File) {
  platform::TFolderHandle Folder;
  std::string Leaf;
  struct stat St {};
  bool Exists = false;
  auto Locate = [&]() -> bool {
    if (!OpenTargetFolder(I, FName, false, Folder, Leaf)) return false;
    Exists = platform::StatInFolder(Folder, Leaf, St) == 0;
    if (Exists && S_ISDIR(St.st_mode)) return FailEntry(I, srCreateError, "a folder of that name is in the way");
    return true;
  };
  if (!Locate()) return false;
  if (Exists) {
    // A file this run made under another name that the volume takes for
    // this one ("A.JPG" for "a.jpg" on vfat) is never replaced by it.
    const std::string Path = Folder.PathOf(Leaf);
    std::string Before;
    {
      std::lock_guard<std::mutex> Hold(FPlacedLock);
      const auto It = FPlacedFiles.find(platform::AnsiUpperCase(Path));
      if (It != FPlacedFiles.end() && It->second != Path) Before = It->second;
    }
    // Only when the name leads to that very file, or the folder does not
    // list the name itself (a volume of its own make may give one file two
    // inode numbers): on a volume that keeps case, "a.jpg" there is another
    // file, and is replaced as any other.
    platform::TFileInfo Earlier;
    if (!Before.empty() &&
        ((platform::GetFileInfo(platform::FromNativePath(Before), Earlier) &&
          Earlier.Device == static_cast<uint64_t>(St.st_dev) && Earlier.Inode == static_cast<uint64_t>(St.st_ino)) ||
         platform::FolderListsName(Folder, Leaf) != 1))
      return FailEntry(I, srCreateError,
                       Format("the volume takes the name for \"%s\", extracted before: not replaced", Before.c_str()));
  }
  // Whatever has the name counts as existing, a link too (it is replaced,
  // never written through).
  if (Exists && FOverwriteMode != Always) {
    // The question (and the file it is about) comes after all earlier work.
    if (FOverwriteMode == Prompt && WorkInFlight()) {
      DrainPool();
      if (!Locate()) return false;
    }
    const std::string Asked = FName;
    if (!MayOverwrite(I, FName, static_cast<int64_t>(St.st_mtime))) {
      SkipEntry(I, srNoOverwrite, FName);
      return false;
    }
    if (FName != Asked) {
      if (!CheckEntryName(I, FName) || !Locate()) return false;
    }
  }
  // A read-only file is replaced only with ReplaceReadOnly.
  if (Exists && S_ISREG(St.st_mode) && (St.st_mode & S_IWUSR) == 0 && !FReplaceReadOnly)
    return FailEntry(I, srCreateError, "the existing file is read-only");
  try {
    File.reset(new TEntryFile(std::move(Folder), Leaf, FFlushFilesOnClose, static_cast<int>(FStreamBufferSize)));
  } catch (const EFileStreamError& E) {
    return FailEntry(I, srCreateError, E.Message());
  }
  return true;
}

// Decompression from the start of the data (past the encryption header,
// whose key state carries on into the data) into File, or into nothing
// when testing. An archive ending inside the data raises on.
TArcUnZip::TDataVerdict TArcUnZip::DecompressEntry(int32_t DataDisk, int64_t DataPos, TEntryFile* File) {
  if (FCurrentDisk != DataDisk) OpenDisk(DataDisk + 1);
  FArchive->Seek(DataPos, soBeginning);
  return DecodeEntry(*FRun, File);
}

TArcUnZip::TDataVerdict TArcUnZip::DecodeEntry(TUnzipRun& R, TEntryFile* File) {
  R.Crypt->ResetCrc();
  TNullStream Null;
  try {
    if (!Decompress(R, OutputOf(File, Null))) return TDataVerdict::BadData;
  } catch (const EBiggerThanUncompressed&) {
    return TooMuchOutput(R);
  } catch (const ECantWriteUCF&) {
    return WriteRefused(R, File);
  }
  return OutputClosed(R, File);
}

TArcUnZip::TDataVerdict TArcUnZip::TooMuchOutput(TUnzipRun& R) {
  *R.Error = Format("size mismatch: the data gives more than the %llu bytes declared",
                    static_cast<unsigned long long>(R.Entry->UncompressedSize()));
  return TDataVerdict::BadData;
}

TArcUnZip::TDataVerdict TArcUnZip::WriteRefused(TUnzipRun& R, TEntryFile* File) {
  *R.Error = Format("cannot write \"%s\": %s", File ? File->Pending->NativePath().c_str() : "",
                    platform::SysErrorMessage(platform::GetLastError()).c_str());
  return TDataVerdict::WriteFailed;
}

TArcUnZip::TDataVerdict TArcUnZip::OutputClosed(TUnzipRun& R, TEntryFile* File) {
  if (File && !File->Buffer->Close()) return WriteRefused(R, File);
  return TDataVerdict::Clean;
}

TStream& TArcUnZip::OutputOf(TEntryFile* File, TStream& Null) {
  return File ? static_cast<TStream&>(*File->Buffer) : Null;
}

/*
 * What an extracted file's description gets: the exact time of an extra
 * block, else the DOS time; with RetainAttributes the permission bits of a
 * Unix mode (never the set-id or sticky bits; the umask applies) and the
 * DOS attribute byte (what a FAT volume keeps), or the DOS attributes of
 * another host as they stand. A link written as a file gets no mode of its
 * own: it holds text, not what the link pointed to.
 */
platform::TFileStamp TArcUnZip::EntryStamp(const TZipHeaderInfo& W) const {
  platform::TFileStamp Stamp;
  Stamp.DosTime = NormalizeDosDateTime(static_cast<int32_t>(W.FileDateTime()));
  Stamp.UnixTime = W.ModTime();
  if (!FRetainAttributes) return Stamp;
  const std::optional<uint32_t> Mode = W.UnixMode();
  if (Mode) {
    Stamp.Attributes = W.ExternalAttributes() & 0xFFu;
    if (!W.IsSymLink()) Stamp.Mode = *Mode & 0777u;
  } else {
    Stamp.Attributes = W.ExternalAttributes();
  }
  return Stamp;
}

/*
 * A link entry's file holds the target text once its data came out whole.
 * It becomes a link only when the target, read from the link's place,
 * stays inside the destination (see LinkTargetInside): a link made by an
 * archive must never lead a later reader out of it. Otherwise the file
 * stays a file holding the text, and OnEntryNotice says so.
 */
TArcUnZip::TLinkVerdict TArcUnZip::PlaceLink(int32_t I, TEntryFilePtr& File) {
  const TZipHeaderInfo& W = *FWorkingHeader;
  platform::TPendingFile& Pending = *File->Pending;
  std::string Target;
  std::string Why;
  if (W.UncompressedSize() >= PATH_MAX) {
    Why = "is too long for a link";
  } else {
    Target.resize(static_cast<size_t>(W.UncompressedSize()));
    Pending.Seek(0, soBeginning);
    if (ReadUpTo(Pending, Target.data(), static_cast<int64_t>(Target.size())) !=
        static_cast<int64_t>(Target.size()))
      Why = "cannot be read back";
    else if (Target.find('\0') != std::string::npos)
      Why = "holds a zero byte";
  }
  if (Why.empty()) {
    const std::string Dest =
        platform::ToNativePath(FDestDir.empty() ? platform::GetCurrentDirectoryA() : FDestDir);
    if (!LinkTargetInside(Dest, Pending.NativePath(), Target)) Why = "leads outside the destination";
  }
  if (Why.empty()) {
    if (platform::MakeLinkIn(Pending.Folder(), Pending.Name(), Target, W.ModTime()) == 0)
      return TLinkVerdict::Made;
    FailEntry(I, srWriteError,
              Format("cannot make the link \"%s\": %s", Pending.NativePath().c_str(),
                     platform::SysErrorMessage(platform::GetLastError()).c_str()));
    return TLinkVerdict::Failed;
  }
  if (OnEntryNotice)
    OnEntryNotice(this, I, W.FullName(),
                  Format("symbolic link to \"%s\" %s: written as a file holding its target",
                         Target.c_str(), Why.c_str()));
  return TLinkVerdict::AsFile;
}

bool TArcUnZip::CommitEntryFile(const TZipHeaderInfo& W, TEntryFilePtr& File, std::string& Why) const {
  const bool Placed = File->Pending->Commit(EntryStamp(W)) == 0;
  const std::string Path = File->Pending->NativePath();
  if (Placed) {
    std::lock_guard<std::mutex> Hold(FPlacedLock);
    FPlacedFiles[platform::AnsiUpperCase(Path)] = Path;
  } else {
    Why = Format("cannot put \"%s\" in place: %s", Path.c_str(),
                 platform::SysErrorMessage(platform::GetLastError()).c_str());
  }
  File.reset();
  return Placed;
}

bool TArcUnZip::FinishEntry(int32_t I, const std::string& FName, TDataVerdict Verdict, TEntryFilePtr& File,
                            bool TestOnly) {
  const TZipHeaderInfo& W = *FWorkingHeader;
  const uint32_t Calc = FCrypt.FinalCrc();
  if (Verdict == TDataVerdict::WriteFailed) {
    File.reset();
    return FailEntry(I, srWriteError, FEntryError);
  }
  if (Verdict == TDataVerdict::Clean && Calc == W.Crc32()) {
    if (!TestOnly && File && W.IsSymLink()) {
      switch (PlaceLink(I, File)) {
        case TLinkVerdict::Made:
          File.reset();
          if (OnEndUnZip) OnEndUnZip(this, I, FName);
          return true;
        case TLinkVerdict::Failed:
          File.reset();
          return false;
        case TLinkVerdict::AsFile:
          break;
      }
    }
    if (!TestOnly && File) {
      std::string Why;
      if (!CommitEntryFile(W, File, Why)) return FailEntry(I, srWriteError, Why);
    }
    File.reset();
    if (OnEndUnZip) OnEndUnZip(this, I, FName);
    return true;
  }
  // The temporary file goes; a file the entry would have replaced stays.
  File.reset();
  if (Verdict == TDataVerdict::Clean)
    FEntryError = Format("CRC error (computed %08x, stored %08x)", Calc, W.Crc32());
  bool Retry = false;
  if (W.Encrypted()) {
    // Garbage from a wrong password that passed the one-byte check fails
    // the decoder, the size or the CRC: all of them mean a wrong password.
    std::string NewPassword = FPassword;
    if (OnBadPassword) {
      OnBadPassword(this, I, NewPassword);
      if (NewPassword != FPassword) {
        FPassword = NewPassword;
        FRetryEntry = true;
      }
    }
    if (!FRetryEntry && OnSkippingFile) OnSkippingFile(this, srBadPassword, W.FullName(), I, Retry);
  } else if (Verdict == TDataVerdict::BadData) {
    if (OnSkippingFile) OnSkippingFile(this, srDataError, W.FullName(), I, Retry);
  } else if (OnBadCRC) {
    OnBadCRC(this, Calc, W.Crc32(), I);
  }
  return false;
}

}  // namespace zem
