// TArcUnZip extraction: choosing entries, destination paths, the password
// check, existing and read-only files, file times and attributes, the CRC
// check and the events of a run.
#include <algorithm>
#include <cstring>

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

bool IsReadOnlyFile(const std::string& FName) {
  const uint32_t A = platform::GetFileAttributesA(FName.c_str());
  return A != platform::INVALID_FILE_ATTRIBUTES && (A & platform::FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (A & platform::FILE_ATTRIBUTE_READONLY) != 0;
}

TDateTime EntryDate(uint32_t DosDateTime) {
  TDateTime Value = 0;
  if (!DosDateTimeToDateTime(static_cast<int32_t>(DosDateTime), Value))
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
    Result = ExtractRun(TestOnly);
  } catch (...) {
    // The archive stays open until the component's next operation.
    FBusy = OldBusy;
    throw;
  }
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
  const bool SavedKeep = FKeepZipOpen;
  FKeepZipOpen = true;
  FRun.reset(new TUnzipRun);
  FRun->TestOnly = TestOnly;
  bool SortSaved = false;
  const TZipSortMode SavedSort = FSortMode;

  auto EndRun = [&] {
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
      if (Chosen)
        FTotalBytes += static_cast<int64_t>(E.UncompressedSize());
      else
        --ToDo;
    }

    bool StopNow = false;
    if (OnStartUnZipInfo) OnStartUnZipInfo(this, ToDo, FTotalBytes, StopNow);
    if (ToDo > 0 && !StopNow) {
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

/*
 * One entry. The order is fixed by what each step may need from the one
 * before: the local header gives where the data starts; the destination
 * is known before OnStartUnZip may change it; the password is checked
 * before an existing file is touched, so a wrong password never costs a
 * file; the output is created only then. Time and attributes are set only
 * when the data decompressed cleanly and its CRC is right, so a failed
 * entry's file (which is deleted) never carries the read-only attribute.
 */
bool TArcUnZip::ExtractEntry(int32_t I, bool TestOnly) {
  FRetryEntry = false;
  FWorkingHeader->Assign(FView->Items(I));
  TZipHeaderInfo& W = *FWorkingHeader;
  const bool IsFile = !W.FileName().empty();
  if (IsFile) SeekEntryData();

  const std::string D = EntryDestDir(W);
  if (!IsFile) return MakeEntryFolder(I, D, TestOnly);

  std::string FName = D + W.FileName();
  if (!PrepareEntryTarget(I, FName, TestOnly)) return false;
  if (W.Encrypted() && !CheckEntryPassword(I)) return false;
  const int32_t DataDisk = FCurrentDisk;
  const int64_t DataPos = FArchive->Position();

  std::unique_ptr<TLFNFileStream> File;
  if (!TestOnly && !OpenEntryOutput(I, FName, File)) return false;
  const bool Clean = DecompressEntry(DataDisk, DataPos, File);
  return FinishEntry(I, FName, Clean, TestOnly);
}

void TArcUnZip::SkipEntry(int32_t I, TSkipReason Reason, const std::string& Name) {
  bool Retry = false;
  if (OnSkippingFile) OnSkippingFile(this, Reason, Name, I, Retry);
  FTotalBytes -= static_cast<int64_t>(FWorkingHeader->UncompressedSize());
}

// The working entry's local header, on its own disk: checked, then passed
// over to the entry's data. A header that is not one ends the run as the
// carried-over entries of a rebuild do.
void TArcUnZip::SeekEntryData() {
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
    throw WithDetail(EBadZipFile(), Format("no local header of \"%s\" at offset %lld (disk %d)",
                                           W.FullName().c_str(), static_cast<long long>(At),
                                           static_cast<int>(W.DiskNumberStart())));
  FArchive->Seek(static_cast<int64_t>(Local.FileNameLength) + Local.ExtraLength, soCurrent);
}

bool TArcUnZip::MakeEntryFolder(int32_t I, const std::string& D, bool TestOnly) {
  if (!TestOnly && FRecreateDirs) {
    if (HasParentStep(D)) {
      SkipEntry(I, srCreateError, FWorkingHeader->FullName());
      return false;
    }
    if (!DirExists(D)) ForceDirs(D);
  }
  return true;
}

bool TArcUnZip::PrepareEntryTarget(int32_t I, std::string& FName, bool TestOnly) {
  bool Skip = false;
  if (OnStartUnZip) OnStartUnZip(this, I, FName, Skip);
  if (Skip) return false;
  // The final name decides: whatever the stored name, the root and relative
  // path rules and the handler made of it, a ".." step is never followed.
  if (!TestOnly && HasParentStep(FName)) {
    SkipEntry(I, srCreateError, FName);
    return false;
  }
  if (!TestOnly) {
    const std::string Dir = ExtractFilePath(FName);
    if (!Dir.empty() && !DirExists(Dir)) ForceDirs(Dir);
  }
  return true;
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

bool TArcUnZip::MayOverwrite(int32_t I, std::string& FName) {
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
      const int32_t Age = FileDosDateTime(FName);
      if (Age == -1 || !DosDateTimeToDateTime(Age, Existing)) {
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

bool TArcUnZip::OpenEntryOutput(int32_t I, std::string& FName, std::unique_ptr<TLFNFileStream>& File) {
  if (FOverwriteMode != Always && FileExistsAt(FName) && !MayOverwrite(I, FName)) {
    SkipEntry(I, srNoOverwrite, FName);
    return false;
  }

  // A read-only file is not replaced in place (as the system would refuse
  // to open it for writing); with ReplaceReadOnly its bit is cleared once.
  auto TryCreate = [&]() -> bool {
    if (IsReadOnlyFile(FName)) return false;
    try {
      File = std::make_unique<TLFNFileStream>(FName, fmCreate, FFlushFilesOnClose,
                                              static_cast<int>(FStreamBufferSize));
      return true;
    } catch (const EFileStreamError&) {
      return false;
    }
  };
  bool Created = TryCreate();
  if (!Created && FReplaceReadOnly && IsReadOnlyFile(FName)) {
    const uint32_t A = platform::GetFileAttributesA(FName.c_str());
    platform::SetFileAttributesA(FName.c_str(), A & ~static_cast<uint32_t>(platform::FILE_ATTRIBUTE_READONLY));
    Created = TryCreate();
  }
  if (!Created) {
    SkipEntry(I, srCreateError, FName);
    return false;
  }
  return true;
}

// Decompression from the start of the data (past the encryption header,
// whose key state carries on into the data) into File, or into nothing
// when testing. The file is closed before the answer.
bool TArcUnZip::DecompressEntry(int32_t DataDisk, int64_t DataPos, std::unique_ptr<TLFNFileStream>& File) {
  if (FCurrentDisk != DataDisk) OpenDisk(DataDisk + 1);
  FArchive->Seek(DataPos, soBeginning);
  FCrypt.ResetCrc();
  TNullStream Null;
  TStream& Out = File ? static_cast<TStream&>(*File) : static_cast<TStream&>(Null);
  bool Clean = false;
  try {
    Clean = Decompress(Out);
  } catch (const EBiggerThanUncompressed&) {
    Clean = false;
  } catch (...) {
    // The file stays as far as it was written.
    File.reset();
    throw;
  }
  if (File) {
    const bool Closed = File->Close();
    File.reset();
    if (!Closed) throw ECantWriteUCF(LoadZipStr(zsCantWriteUCF));
  }
  return Clean;
}

bool TArcUnZip::FinishEntry(int32_t I, const std::string& FName, bool Clean, bool TestOnly) {
  const TZipHeaderInfo& W = *FWorkingHeader;
  const uint32_t Calc = FCrypt.FinalCrc();
  if (Clean && Calc == W.Crc32()) {
    if (!TestOnly) {
      platform::FileSetDate(FName, NormalizeDosDateTime(static_cast<int32_t>(W.FileDateTime())));
      if (FRetainAttributes) platform::SetFileAttributesA(FName.c_str(), W.ExternalAttributes());
    }
    if (OnEndUnZip) OnEndUnZip(this, I, FName);
    return true;
  }
  if (W.Encrypted()) {
    std::string NewPassword = FPassword;
    if (OnBadPassword) {
      OnBadPassword(this, I, NewPassword);
      if (NewPassword != FPassword) {
        FPassword = NewPassword;
        FRetryEntry = true;
      }
    }
    if (!FRetryEntry) {
      bool Retry = false;
      if (OnSkippingFile) OnSkippingFile(this, srBadPassword, W.FullName(), I, Retry);
    }
  } else if (OnBadCRC) {
    OnBadCRC(this, Calc, W.Crc32(), I);
  }
  if (!TestOnly) platform::DeleteFileA(FName.c_str());
  return false;
}

}  // namespace zem
