// The per-entry step of a Zip call: one file or directory becomes an entry
// of the work file, stored or deflated, encrypted when a password is set,
// its local header rewritten in place with the final sizes and CRC.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "archive/reader/arc_messages.h"
#include "archive/support/path_helpers.h"
#include "archive/writer/stored_names.h"
#include "archive/writer/zip_runner.h"
#include "platform/winapi.h"

namespace zem {

namespace {

constexpr uint32_t kMarker32 = 0xFFFFFFFFu;
// A Zip64 extra block with both sizes: tag, data size, two 8-byte sizes.
constexpr uint16_t kZip64LocalExtraSize = 20;

// Flag bits the writer sets from PackLevel and the password.
constexpr uint16_t kFlagFast = 0x0004;     // levels 0 to 2
constexpr uint16_t kFlagMaximum = 0x0002;  // levels 8 and 9

// Whether an entry whose file has Size bytes when opened may end with a
// size that does not fit in 32 bits: deflate may grow incompressible data
// by a few bytes per 16 KiB block, and encryption adds its 12-byte header.
// Files below this keep the plain local header with no extra field.
bool MayNeedZip64(uint64_t Size) {
  const uint64_t Worst = Size + (Size >> 10) + 1024 + kEncryptionHeaderSize;
  return Worst >= kMarker32;
}

void Put16(uint8_t* P, uint16_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
}

void Put64(uint8_t* P, uint64_t V) {
  for (int I = 0; I < 8; ++I) P[I] = static_cast<uint8_t>(V >> (8 * I));
}

// The whole seconds of a time in nanoseconds, rounded down as the system
// counts them (half a second before 1970 is second -1, not 0).
int64_t WholeSeconds(int64_t Nanoseconds) {
  return Nanoseconds / 1000000000 - (Nanoseconds % 1000000000 < 0 ? 1 : 0);
}

uint32_t CurrentDosTime() {
  const int32_t T = platform::UnixToDosDateTime(platform::Now());
  return static_cast<uint32_t>(T == -1 ? 0x00210000 : T);
}

}  // namespace

int64_t TWorkFileStream::Write(const void* Buffer, int64_t Count) {
  const int64_t Done = TFileStream::Write(Buffer, Count);
  if (Done < Count) throw ENotEnoughRoom();
  return Done;
}

void TZipRunner::SkipFile(TSkipReason Reason, const std::string& Name, bool* Retry,
                          std::string Cause) {
  if (FReplacing) {
    if (!Cause.empty()) Cause += "; ";
    Cause += "the entry already in the archive is kept";
  }
  std::string& Shown = S.SkipCause();
  Shown = std::move(Cause);
  bool Again = false;
  try {
    if (Z.OnSkippingFile) Z.OnSkippingFile(&Z, Reason, Name, -1, Again);
  } catch (...) {
    Shown.clear();
    throw;
  }
  Shown.clear();
  if (Retry != nullptr) *Retry = Again;
}

void TZipRunner::ReportMissing(const std::string& Name) {
  std::string& Shown = S.SkipCause();
  if (FReplacing) Shown = "no such file; the entry already in the archive is kept";
  try {
    S.NoSuchFile(Name);
  } catch (...) {
    Shown.clear();
    throw;
  }
  Shown.clear();
}

/*
 * The per-entry step. A file is opened once and read twice when a password
 * is set: the CRC must be known before the data, because the encryption
 * header carries its top byte. The local header is written before the data
 * with what is known and rewritten afterwards at the same place with the
 * final CRC, sizes and flags; no data descriptor is ever written.
 *
 * An entry must hold the file as it is, whole. Two situations make the
 * data unusable once written, and the data is then written again over the
 * same place (at most three attempts):
 * - the file changed while it was read: its size, modification or change
 *   time differ from when the attempt began, or it gave fewer bytes than
 *   it had (for an encrypted entry this also covers a change between the
 *   CRC pass and the data pass, which would make the header's check byte
 *   refuse the right password);
 * - the file grew so much while it was read that a size no longer fits in
 *   32 bits and its local header has no Zip64 block: the next attempt
 *   reserves one.
 * A read error is not retried, and a file deleted while it was read is not
 * stored: the entry is left out at once. A file that keeps changing is left
 * out after the third attempt. Each is reported with srFileOpenError and
 * its cause in words, and nothing of it stays in the work file.
 */
bool TZipRunner::ZipEntry(const std::string& Listed, TZipHeaderInfo& E) {
  TPrepared P;
  if (!PrepareEntry(Listed, E, P)) return false;
  return WritePrepared(P, E);
}

bool TZipRunner::PrepareEntry(const std::string& Listed, TZipHeaderInfo& E, TPrepared& P,
                              const TAhead* Made) {
  FSourceRead = 0;
  FSourceSize = 0;
  const bool IsDir = !Listed.empty() && Listed.back() == '\\';
  P.Listed = Listed;

  // A file is first opened refusing a symbolic link: only when that open
  // fails is the name looked at as a link, and a link is opened (followed)
  // only when the link mode says so.
  std::string LinkTarget;
  platform::TFileInfo LinkInfo;
  bool IsLink = false;
  if (!IsDir && Made == nullptr && !OpenSourceNoFollow(Listed) &&
      platform::GetLinkInfo(Listed, LinkTarget, LinkInfo)) {
    const TLinkChoice Choice = ChooseForLink(Listed, LinkTarget);
    if (Choice == TLinkChoice::Leave) return false;
    IsLink = Choice == TLinkChoice::Store;
  }

  // What the disk says: time and attributes; a file is opened here and
  // stays open until its entry is done.
  if (IsDir) {
    TakeFolderInfo(Listed, E);
  } else if (IsLink) {
    TakeLinkInfo(LinkInfo, E);
  } else if (Made != nullptr) {
    // Opened ahead: the job holds the source until its data is made.
    TakeSourceInfo(E, &Made->Status);
    FSourceSize = Made->Job->Size;
  } else if (!OpenSourceFile(Listed, E)) {
    return false;
  }

  // The stored name, and the checks before anything is written.
  P.N = NameEntry(Listed, IsDir, E);
  if (!AdmitEntry(P.N, IsDir, E)) return false;
  P.Kind = IsDir ? TEntryKind::Folder : IsLink ? TEntryKind::Link : TEntryKind::File;
  if (IsLink) P.LinkTarget = std::move(LinkTarget);
  return true;
}

bool TZipRunner::WritePrepared(const TPrepared& P, TZipHeaderInfo& E) {
  switch (P.Kind) {
    case TEntryKind::Folder:
      WriteFolderEntry(P.N, E);
      return true;
    case TEntryKind::Link:
      WriteLinkEntry(P.N, P.LinkTarget, E);
      return true;
    case TEntryKind::File:
      break;
  }
  if (!WriteFileEntry(P.N, E)) return false;
  EndFileEntry(P.Listed, P.N, E);
  return true;
}

uint32_t TZipRunner::ExternalAttributesFor(uint32_t DosAttributes, uint32_t Type, uint32_t Perm) const {
  if (!HostKeepsUnixMode(Z.HostSystem())) return DosAttributes;
  return ((Type | (Perm & 07777u)) << 16) | (DosAttributes & 0xFFu);
}

/*
 * Links. The writer never reads through a link it does not follow: a
 * stored link holds its target text, and a link left out is named with
 * the reason. Only a host that keeps Unix modes can say that an entry is
 * a link; with another one a link to a file is stored as the file.
 */
TZipRunner::TLinkChoice TZipRunner::ChooseForLink(const std::string& Name, const std::string& Target) {
  const bool ToFile = FileExistsAt(Name);
  if (!HostKeepsUnixMode(Z.HostSystem())) {
    if (ToFile) return TLinkChoice::Follow;
    SkipFile(srFileOpenError, Name, nullptr,
             Format("symbolic link to \"%s\": a link cannot be stored with host %u", Target.c_str(),
                    static_cast<unsigned>(Z.HostSystem())));
    return TLinkChoice::Leave;
  }
  switch (Z.LinkMode()) {
    case TLinkMode::Follow:
      return ToFile ? TLinkChoice::Follow : TLinkChoice::Store;
    case TLinkMode::StoreInside: {
      const std::string Root = platform::ToNativePath(Z.LinkRoot());
      if (Root.empty() || !LinkTargetInside(Root, platform::ToNativePath(Name), Target)) {
        SkipFile(srFileOpenError, Name, nullptr,
                 Format("symbolic link to \"%s\", which leads outside %s: not stored", Target.c_str(),
                        Root.c_str()));
        return TLinkChoice::Leave;
      }
      return TLinkChoice::Store;
    }
    case TLinkMode::Store:
      break;
  }
  return TLinkChoice::Store;
}

void TZipRunner::TakeLinkInfo(const platform::TFileInfo& Info, TZipHeaderInfo& E) {
  const int64_t Seconds = WholeSeconds(Info.MTimeNs);
  const int32_t Dos = platform::UnixToDosDateTime(static_cast<time_t>(Seconds));
  E.SetFileDateTime(Dos == -1 ? CurrentDosTime() : static_cast<uint32_t>(Dos));
  E.SetModTime(Seconds);
  E.SetExternalAttributes(ExternalAttributesFor(platform::FILE_ATTRIBUTE_ARCHIVE, kUnixLink, Info.Mode));
}

void TZipRunner::WriteLinkEntry(const std::string& N, const std::string& Target, TZipHeaderInfo& E) {
  const std::string& Password = Z.Password();
  FEncrypt = !Password.empty();
  const uint32_t Crc = ~UpdateCrcBuffer(kCrcPreset, Target.data(), Target.size());
  uint16_t Flags = static_cast<uint16_t>(E.Flags() & ~(zfEncrypted | kFlagFast | kFlagMaximum));
  if (FEncrypt) Flags |= zfEncrypted;
  E.SetFlags(Flags);
  E.SetCompressionMethod(0);
  E.SetCrc32(Crc);
  E.SetUncompressedSize(Target.size());
  E.SetCompressedSize(Target.size() + (FEncrypt ? kEncryptionHeaderSize : 0));
  E.SetInternalAttributes(0);
  try {
    if (MultiVolume()) {
      OpenDataFile();
    } else {
      WriteLocalHeader(E, false);
      FData = FOut.get();
    }
    if (FEncrypt && !S.Crypt().WriteEncryptionHeader(Password, Crc, *FData)) throw ENotEnoughRoom();
    std::string Data = Target;
    WriteData(reinterpret_cast<uint8_t*>(Data.data()), static_cast<int64_t>(Data.size()));
    if (MultiVolume()) SpanEntryData(N, E);
  } catch (...) {
    DropDataFile();
    throw;
  }
  if (Z.OnEndZip)
    Z.OnEndZip(&Z, N, static_cast<int32_t>(E.UncompressedSize()), static_cast<int32_t>(E.CompressedSize()),
               static_cast<int32_t>(FOut->Position()));
}

void TZipRunner::TakeFolderInfo(const std::string& Name, TZipHeaderInfo& E) {
  uint32_t Time = CurrentDosTime();
  if (DirExists(Name)) {
    platform::TSearchRec Found;
    if (platform::FindFirst(ExcludeTrailingBackslash(Name), Z.AttributeMask(), Found) == 0) {
      if (Found.Time != -1) Time = static_cast<uint32_t>(Found.Time);
      E.SetExternalAttributes(static_cast<uint32_t>(Found.Attr));
      platform::FindClose(Found);
    }
    platform::TFileInfo Info;
    if (platform::GetFileInfo(ExcludeTrailingBackslash(Name), Info)) {
      E.SetExternalAttributes(ExternalAttributesFor(E.ExternalAttributes(), kUnixFolder, Info.Mode));
      E.SetModTime(WholeSeconds(Info.MTimeNs));
    }
  }
  E.SetFileDateTime(Time);
  E.SetUncompressedSize(0);
  E.SetCompressedSize(0);
  E.SetCompressionMethod(0);
  E.SetCrc32(0);
}

bool TZipRunner::OpenSourceNoFollow(const std::string& Name) {
  FSource.reset();
  try {
    FSource = std::make_unique<TLFNFileStream>(Name, fmOpenRead | fmShareDenyNone | fmOpenNoFollow,
                                               false, 8192);
    return true;
  } catch (const EFOpenError&) {
    return false;
  }
}

bool TZipRunner::OpenSourceFile(const std::string& Name, TZipHeaderInfo& E) {
  // A file that cannot be opened is reported; the handler may ask for
  // another try. One that is not there (or is a folder) is missing.
  for (; !FSource;) {
    try {
      FSource = std::make_unique<TLFNFileStream>(Name, fmOpenRead | fmShareDenyNone, false, 8192);
      break;
    } catch (const EFOpenError&) {
      const uint32_t Error = platform::GetLastError();
      if (!FileExistsAt(Name)) {
        ReportMissing(Name);
        return false;
      }
      const std::string Why = "cannot be opened: " + platform::SysErrorMessage(Error);
      bool Retry = false;
      SkipFile(srFileOpenError, Name, &Retry, Why);
      if (!Retry) return false;
    }
  }
  // Everything else comes from the open file, by one look at it.
  platform::TOpenFileStatus Status;
  const bool Looked = platform::GetOpenFileStatus(FSource->Handle(), Name, Status, &FSource->OpenedStatus());
  TakeSourceInfo(E, Looked ? &Status : nullptr);
  return true;
}

void TZipRunner::TakeSourceInfo(TZipHeaderInfo& E, const platform::TOpenFileStatus* Status) {
  FSourceInfo = platform::TFileInfo{};
  if (Status != nullptr) {
    FSourceInfo = Status->Info;
    E.SetExternalAttributes(ExternalAttributesFor(Status->Attributes, kUnixFile, FSourceInfo.Mode));
    E.SetModTime(WholeSeconds(FSourceInfo.MTimeNs));
    E.SetFileDateTime(Status->DosTime == -1 ? CurrentDosTime() : static_cast<uint32_t>(Status->DosTime));
    FSourceSize = static_cast<uint64_t>(std::max<int64_t>(FSourceInfo.Size, 0));
  } else {
    E.SetFileDateTime(CurrentDosTime());
    FSourceSize = static_cast<uint64_t>(std::max<int64_t>(FSource->Size(), 0));
  }
  E.SetUncompressedSize(FSourceSize);
}

void TZipRunner::RestatSource(TZipHeaderInfo& E) {
  platform::TFileInfo Now;
  if (!platform::GetFileInfo(FSource->Handle(), Now)) return;
  FSourceInfo = Now;
  const uint64_t Size = static_cast<uint64_t>(std::max<int64_t>(Now.Size, 0));
  S.TotalBytes() += static_cast<int64_t>(Size) - static_cast<int64_t>(FSourceSize);
  FSourceSize = Size;
  const int32_t Age = platform::FileGetDate(FSource->Handle());
  if (Age != -1) E.SetFileDateTime(static_cast<uint32_t>(Age));
  E.SetModTime(WholeSeconds(Now.MTimeNs));
}

bool TZipRunner::SourceUnchanged() {
  platform::TFileInfo Now;
  if (!platform::GetFileInfo(FSource->Handle(), Now)) return false;
  if (Now.Links == 0) throw TSourceFailure{false, "deleted while it was read"};
  return Now.Unchanged(FSourceInfo) && FSourceRead >= FSourceSize;
}

void TZipRunner::CheckReadError(int64_t Count) {
  const uint32_t Error = FSource->ReadError();
  if (Error == 0) return;
  throw TSourceFailure{
      true, ReadErrorText(FSourceRead + static_cast<uint64_t>(std::max<int64_t>(Count, 0)), Error)};
}

std::string TZipRunner::NameEntry(const std::string& Listed, bool IsDir, TZipHeaderInfo& E) {
  std::string N = Listed;
  if (Z.Store83Names()) N = ShortPathOf(N);
  if (Z.OEMConvert()) OemRoundTrip(N);
  // The entry holds its name as it will read back, so that it meets the
  // entries of the archive (and later reads) by that name.
  E.SetFileName(IsDir ? std::string() : EntryNameAsRead(FilePart(N)));
  E.SetInternalAttributes(0);
  E.SetVersionMadeBy(static_cast<uint16_t>((Z.HostSystem() << 8) | kMadeByVersion));
  E.SetNameConvention(Z.NameConvention());
  E.SetWritesTimestamp(HostKeepsUnixMode(Z.HostSystem()));
  E.SetDiskNumberStart(static_cast<uint32_t>(FDisk));
  if (Z.StorePaths()) E.SetDirectory(EntryNameAsRead(Z.EntryDirectoryFor(N)));
  return N;
}

bool TZipRunner::DeclineEntry(bool IsDir) {
  if (!IsDir) {
    S.TotalBytes() -= static_cast<int64_t>(FSourceSize);
    CloseSource();
  }
  return false;
}

bool TZipRunner::AdmitEntry(const std::string& N, bool IsDir, TZipHeaderInfo& E) {
  // A directory entry without a stored path would have no name at all.
  if (IsDir && E.FullName().empty()) return DeclineEntry(IsDir);

  if (FStoredNames.count(E.FullName()) != 0) {
    SkipFile(srNoOverwrite, N);
    return DeclineEntry(IsDir);
  }

  bool Skip = false;
  const std::string Named = E.FullName();
  if (Z.OnStartZip) Z.OnStartZip(&Z, N, E, Skip);
  if (Skip) {
    DeclineEntry(IsDir);
    SkipFile(srSkippedInStartZip, N);
    return false;
  }
  // A name the handler gave must be free as well, of the old archive's
  // entries still to be copied too (a replacement's own name aside).
  if (E.FullName() != Named && NameTaken(E.FullName())) {
    DeclineEntry(IsDir);
    SkipFile(srNoOverwrite, N);
    return false;
  }
  return true;
}

bool TZipRunner::NameTaken(const std::string& Name) const {
  if (FStoredNames.count(Name) != 0) return true;
  if (!FReplacing || !S.Directory()) return false;
  const TSortedZip& Old = *S.Directory();
  for (int I = 0; I < Old.Count(); ++I)
    if (Old.Items(I)->FullName() == Name) return true;
  return false;
}

void TZipRunner::WriteFolderEntry(const std::string& N, TZipHeaderInfo& E) {
  E.SetFlags(0);
  if (MultiVolume())
    PlaceLocalHeader(E, false);
  else
    WriteLocalHeader(E, false);
  if (Z.OnEndZip) Z.OnEndZip(&Z, N, 0, 0, 0);
}

bool TZipRunner::WriteFileEntry(const std::string& N, TZipHeaderInfo& E, int FirstAttempt) {
  try {
    // Each attempt starts over at the same place of the work file and at
    // the start of the source.
    bool Reserve = MayNeedZip64(FSourceSize);
    bool Written = false;
    std::string Failure;
    const int64_t Start = FOut->Position();
    for (int Attempt = FirstAttempt; Attempt < 3 && !Written; ++Attempt) {
      if (Attempt > 0) {
        FOut->Seek(Start, soBeginning);
        FSource->Seek(0, soBeginning);
        FSourceRead = 0;
        RestatSource(E);
        Reserve = Reserve || MayNeedZip64(FSourceSize);
      }
      bool NeedZip64 = false;
      try {
        Written = WriteFileData(N, E, Reserve, NeedZip64);
      } catch (TSourceFailure& Why) {
        // A file that is no longer there says so first: the read error is
        // how its absence showed.
        Failure = std::move(Why.Cause);
        if (Why.ReadError && !FileExistsAt(FSource->FileName()))
          Failure = "gone while it was read (" + Failure + ")";
        break;
      }
      Reserve = Reserve || NeedZip64;
    }
    if (!Written) {
      // Nothing of the file stays in the work file.
      FOut->Seek(Start, soBeginning);
      DropDataFile();
      DeclineEntry(false);
      SkipFile(srFileOpenError, N, nullptr,
               Failure.empty() ? std::string("kept changing while it was read") : Failure);
      return false;
    }
    // With multi-volume output the data went to a temporary data file; its
    // local header and the data now go onto the volumes.
    if (MultiVolume()) SpanEntryData(N, E);
  } catch (...) {
    CloseSource();
    DropDataFile();
    throw;
  }
  CloseSource();
  return true;
}

void TZipRunner::EndFileEntry(const std::string& Listed, const std::string& N,
                              const TZipHeaderInfo& E) {
  if (Z.ResetArchiveBitOnZip()) {
    const uint32_t Attr = platform::GetFileAttributesA(Listed.c_str());
    if (Attr != platform::INVALID_FILE_ATTRIBUTES && (Attr & platform::FILE_ATTRIBUTE_ARCHIVE))
      platform::SetFileAttributesA(Listed.c_str(), Attr & ~platform::FILE_ATTRIBUTE_ARCHIVE);
  }
  if (Z.OnEndZip)
    Z.OnEndZip(&Z, N, static_cast<int32_t>(E.UncompressedSize()),
               static_cast<int32_t>(E.CompressedSize()), static_cast<int32_t>(FOut->Position()));
}

bool TZipRunner::WriteFileData(const std::string&, TZipHeaderInfo& E, bool ReserveZip64,
                               bool& NeedZip64) {
  // The first local header: what is known so far.
  E.SetFlags(static_cast<uint16_t>(E.Flags() & ~(zfEncrypted | kFlagFast | kFlagMaximum)));
  E.SetCompressionMethod(8);
  E.SetCrc32(kCrcPreset);
  E.SetUncompressedSize(FSourceSize);
  E.SetCompressedSize(0);
  if (MultiVolume()) {
    OpenDataFile();
  } else {
    WriteLocalHeader(E, ReserveZip64);
    FData = FOut.get();
  }

  const std::string& Password = Z.Password();
  FEncrypt = !Password.empty();
  FSourceEnded = false;
  FHeldPos = FHeldEnd = 0;
  uint32_t PreCrc = 0;
  if (FEncrypt) {
    PreCrc = CrcPrePass();
    E.SetCrc32(PreCrc);
    if (!S.Crypt().WriteEncryptionHeader(Password, PreCrc, *FData)) throw ENotEnoughRoom();
  }

  S.Crypt().ResetCrc();
  const int32_t Level = Z.PackLevel();
  bool Stored = Level == 0 || MatchesPatternList(Z.NoCompressList(), E.FileName());
  const TEntryCoder::TReader Read = [this](uint8_t* Buffer, int64_t Count) {
    return ReadSource(Buffer, Count);
  };
  const TEntryCoder::TWriter Write = [this](uint8_t* Buffer, int64_t Count) {
    WriteData(Buffer, Count);
  };
  const uint64_t Data =
      Stored ? FCoder->StoreData(Read, Write) : FCoder->PackData(Level, Read, Write, Stored);
  SealFileEntry(E, Stored, S.Crypt().FinalCrc(), FSourceRead, Data, Level);
  const uint64_t Written = E.CompressedSize();

  // Data of a file that changed meanwhile, or that no longer matches what
  // went before it, is written again.
  if (!SourceUnchanged()) return false;
  if (FEncrypt && E.Crc32() != PreCrc) return false;
  // Multi-volume output writes the only local header after the data.
  if (MultiVolume()) return true;
  if (!ReserveZip64 && (FSourceRead >= kMarker32 || Written >= kMarker32)) {
    NeedZip64 = true;
    return false;
  }

  const int64_t End = FOut->Position();
  FOut->Seek(static_cast<int64_t>(E.RelativeOffset()), soBeginning);
  WriteLocalHeader(E, ReserveZip64);
  FOut->Seek(End, soBeginning);
  return true;
}

void TZipRunner::SealFileEntry(TZipHeaderInfo& E, bool Stored, uint32_t Crc, uint64_t Read,
                               uint64_t Written, int32_t Level) {
  E.SetFlags(static_cast<uint16_t>(E.Flags() & ~(zfEncrypted | kFlagFast | kFlagMaximum)));
  E.SetCompressionMethod(Stored ? 0 : 8);
  E.SetInternalAttributes(0);
  E.SetCrc32(Crc);
  uint16_t Flags = E.Flags();
  if (Level <= 2) Flags |= kFlagFast;
  if (Level >= 8) Flags |= kFlagMaximum;
  if (FEncrypt) {
    Flags |= zfEncrypted;
    Written += kEncryptionHeaderSize;
  }
  E.SetFlags(Flags);
  E.SetUncompressedSize(Read);
  E.SetCompressedSize(Written);
}

void TZipRunner::WriteLocalHeader(TZipHeaderInfo& E, bool Reserve, TStream* To) {
  TStream& Out = To != nullptr ? *To : *FOut;
  if (!Reserve) {
    E.WriteLocal(Out);
    return;
  }
  // A local header with a Zip64 block carries both sizes there and the
  // markers in its 32-bit fields. The entry keeps its real sizes for the
  // central header, which needs a Zip64 block only for values that do not
  // fit.
  const uint64_t Uncompressed = E.UncompressedSize();
  const uint64_t Compressed = E.CompressedSize();
  E.SetLocalExtraLength(kZip64LocalExtraSize);
  E.SetVersionNeeded(45);  // Zip64 extensions
  E.SetUncompressedSizeField(kMarker32);
  E.SetCompressedSizeField(kMarker32);
  TZip64Info& Info = E.EnsureZip64Info();
  Info.UncompressedSize = Uncompressed;
  Info.CompressedSize = Compressed;
  E.WriteLocal(Out);
  uint8_t Extra[kZip64LocalExtraSize];
  Put16(Extra, 0x0001);
  Put16(Extra + 2, 16);
  Put64(Extra + 4, Uncompressed);
  Put64(Extra + 12, Compressed);
  Out.WriteBuffer(Extra, kZip64LocalExtraSize);
  E.SetUncompressedSize(Uncompressed);
  E.SetCompressedSize(Compressed);
}

int64_t TZipRunner::ReadSource(uint8_t* Buffer, int64_t Count) {
  int64_t N = 0;
  if (FHeldEnd > 0) {
    // The whole file came with the CRC pass and waits in the input buffer
    // (Buffer may be that buffer: the bytes move towards its start).
    N = std::min(Count, FHeldEnd - FHeldPos);
    std::memmove(Buffer, FInBuf.get() + FHeldPos, static_cast<size_t>(N));
    FHeldPos += N;
  } else if (!FSourceEnded) {
    // A short read is the end of the file (or a read error, which raises):
    // the next one is not asked of the system.
    N = FSource->Read(Buffer, Count);
    CheckReadError(N);
    if (N < Count) FSourceEnded = true;
  }
  if (N <= 0) return 0;
  SourceProgress(N);
  S.Crypt().UpdateCrcBuffer(Buffer, static_cast<size_t>(N));
  return N;
}

void TZipRunner::SourceProgress(int64_t N) {
  FSourceRead += static_cast<uint64_t>(N);
  if (Z.OnFilePercentDone) {
    int P = PercentDone(static_cast<int64_t>(FSourceRead), static_cast<int64_t>(FSourceSize));
    // Reading is the first half of a multi-volume entry; copying the rest.
    if (MultiVolume()) P /= 2;
    Z.OnFilePercentDone(&Z, P);
  }
  if (Z.OnTotalPercentDone) {
    S.BytesDone() += N;
    TotalProgress();
  }
}

void TZipRunner::WriteData(uint8_t* Buffer, int64_t Count) {
  if (FEncrypt) {
    if (Z.OnEncrypt)
      Z.OnEncrypt(&Z, Buffer, static_cast<int32_t>(Count), Z.Password());
    else
      S.Crypt().EncryptBuffer(Buffer, static_cast<size_t>(Count));
  }
  if (FData->Write(Buffer, Count) < Count) throw ENotEnoughRoom();
  S.PumpMessages();
}

/*
 * The CRC pass reads the file to its end (a short read is the end). A file
 * that fits in one block stays in the input buffer and the data pass takes
 * it from there, so it is read once; a larger one is read again from its
 * start. Either way the re-stat after the data pass tells a change.
 */
uint32_t TZipRunner::CrcPrePass() {
  uint8_t* Buf = FInBuf.get();
  uint32_t Crc = kCrcPreset;
  for (bool First = true;; First = false) {
    const int64_t N = FSource->Read(Buf, kCrcBlockSize);
    CheckReadError(N);
    if (N > 0) {
      Crc = UpdateCrcBuffer(Crc, Buf, static_cast<size_t>(N));
      FSourceRead += static_cast<uint64_t>(N);
    }
    if (N >= kCrcBlockSize) continue;
    if (First) {
      FHeldPos = 0;
      FHeldEnd = std::max<int64_t>(N, 0);
      FSourceEnded = true;
      FSourceRead = 0;
      return ~Crc;
    }
    break;
  }
  FSourceRead = 0;
  FSource->Seek(0, soBeginning);
  return ~Crc;
}

}  // namespace zem
