// The entry record: fields, name parts, code pages, and the reads and
// writes of the local and central headers.
#include "archive/format/zip_entry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/format/byte_codec.h"
#include "archive/format/extra_field.h"
#include "archive/format/local_header.h"
#include "archive/support/path_helpers.h"
#include "platform/winapi.h"

namespace zem {

// ---- Entry names and stored names ----------------------------------------------
// An entry's name inside the program is a Windows-style path of internal
// name components (platform::NameFromNative: a Linux name's '\\', ':',
// '*', ... and bytes that are not UTF-8 are escaped). The archive stores
// the native bytes with '/' between the components, so "a\\b:c" is stored
// as it is named on Linux and comes back as the same internal name; in a
// stored name only '/' separates.

std::string StoredFromEntryName(const std::string& Name) {
  return StoredNameOf(Name, TNameConvention::AsHeld).Bytes;
}

std::string EntryNameFromStored(const std::string& Stored) {
  return InternalNameOf(Stored, zfUtf8Name, kHostUnix, false);
}

std::string EntryNameAsRead(const std::string& Name) {
  return EntryNameFromStored(StoredFromEntryName(Name));
}

TZipHeaderInfo::TZipHeaderInfo() { Clear(); }
TZipHeaderInfo::~TZipHeaderInfo() = default;

void TZipHeaderInfo::Clear() {
  FVersionMadeBy = 0x0032;
  FVersionNeeded = 20;
  FFlags = 0;
  FCompressionMethod = 8;
  FFileDateTime = 0;
  FCrc32 = 0xFFFFFFFFu;
  FCompressedSizeField = 0;
  FUncompressedSizeField = 0;
  FFileNameLength = 0;
  FCentralExtraLength = 0;
  FLocalExtraLength = 0;
  FFileCommentLength = 0;
  FDiskNumberStartField = 0;
  FInternalAttributes = 1;
  FExternalAttributes = 0x20;
  FRelativeOffsetField = 0;
  FCentralOffset = 0;
  FFileName.clear();
  FDirectory.clear();
  FZip64Info.reset();
  FFileComment.reset();
  FDefect.clear();
  FChosen = false;
  FEntryState = 0;
  FMarked = false;
  FOEMConvert = false;
  FNameConvention = TNameConvention::AsHeld;
  FModTime.reset();
  FWritesTimestamp = false;
  FRawName.clear();
  FRawFor.clear();
}

void TZipHeaderInfo::Assign(const TPersistent* Source) {
  const auto* Src = dynamic_cast<const TZipHeaderInfo*>(Source);
  if (Src == nullptr) {
    TPersistent::Assign(Source);
    return;
  }
  if (Src == this) return;
  FVersionMadeBy = Src->FVersionMadeBy;
  FVersionNeeded = Src->FVersionNeeded;
  FFlags = Src->FFlags;
  FCompressionMethod = Src->FCompressionMethod;
  FFileDateTime = Src->FFileDateTime;
  FCrc32 = Src->FCrc32;
  FCompressedSizeField = Src->FCompressedSizeField;
  FUncompressedSizeField = Src->FUncompressedSizeField;
  FFileNameLength = Src->FFileNameLength;
  FCentralExtraLength = Src->FCentralExtraLength;
  FLocalExtraLength = Src->FLocalExtraLength;
  FFileCommentLength = Src->FFileCommentLength;
  FDiskNumberStartField = Src->FDiskNumberStartField;
  FInternalAttributes = Src->FInternalAttributes;
  FExternalAttributes = Src->FExternalAttributes;
  FRelativeOffsetField = Src->FRelativeOffsetField;
  FCentralOffset = Src->FCentralOffset;
  FFileName = Src->FFileName;
  FDirectory = Src->FDirectory;
  // A stale record or comment of this entry must not survive under the
  // source's markers and lengths.
  if (Src->FZip64Info)
    FZip64Info = std::make_unique<TZip64Info>(*Src->FZip64Info);
  else
    FZip64Info.reset();
  if (Src->FFileCommentLength != 0 && Src->FFileComment)
    FFileComment = Src->FFileComment;
  else
    FFileComment.reset();
  FDefect = Src->FDefect;
  FChosen = Src->FChosen;
  FEntryState = Src->FEntryState;
  FMarked = Src->FMarked;
  FNameConvention = Src->FNameConvention;
  FModTime = Src->FModTime;
  FRawName = Src->FRawName;
  FRawFor = Src->FRawFor;
}

void TZipHeaderInfo::AssignTo(TPersistent* Dest) const {
  auto* D = dynamic_cast<TZipHeaderInfo*>(Dest);
  if (D == nullptr) {
    TPersistent::AssignTo(Dest);
    return;
  }
  if (D == this) return;
  D->FVersionMadeBy = FVersionMadeBy;
  D->FVersionNeeded = FVersionNeeded;
  D->FFlags = FFlags;
  D->FCompressionMethod = FCompressionMethod;
  D->FFileDateTime = FFileDateTime;
  D->FCrc32 = FCrc32;
  D->FZip64Info.reset();
  D->SetCompressedSize(CompressedSize());
  D->SetUncompressedSize(UncompressedSize());
  D->SetRelativeOffset(RelativeOffset());
  D->SetDiskNumberStart(DiskNumberStart());
  D->FFileNameLength = FFileNameLength;
  D->FCentralExtraLength = FCentralExtraLength;
  D->FLocalExtraLength = FLocalExtraLength;
  D->FFileCommentLength = FFileCommentLength;
  D->FInternalAttributes = FInternalAttributes;
  D->FExternalAttributes = FExternalAttributes;
  D->FCentralOffset = FCentralOffset;
  D->FFileName = FFileName;
  D->FDirectory = FDirectory;
  if (FFileCommentLength != 0 && FFileComment)
    D->FFileComment = FFileComment;
  else
    D->FFileComment.reset();
  D->FDefect = FDefect;
  D->FChosen = FChosen;
  D->FEntryState = FEntryState;
  D->FMarked = FMarked;
  D->FNameConvention = FNameConvention;
  D->FModTime = FModTime;
  D->FRawName = FRawName;
  D->FRawFor = FRawFor;
}

TZip64Info& TZipHeaderInfo::EnsureZip64Info() {
  if (!FZip64Info) FZip64Info = std::make_unique<TZip64Info>();
  return *FZip64Info;
}

uint64_t TZipHeaderInfo::Wide(uint32_t Field, uint64_t TZip64Info::*Twin) const {
  if (Field == ZipMarker32 && FZip64Info) return (*FZip64Info).*Twin;
  return Field;
}

void TZipHeaderInfo::SetWide(uint32_t& Field, uint64_t TZip64Info::*Twin, uint64_t V) {
  if (V >= ZipMarker32) {
    EnsureZip64Info().*Twin = V;
    Field = ZipMarker32;
  } else {
    Field = static_cast<uint32_t>(V);
  }
}

uint64_t TZipHeaderInfo::CompressedSize() const {
  return Wide(FCompressedSizeField, &TZip64Info::CompressedSize);
}

void TZipHeaderInfo::SetCompressedSize(uint64_t V) {
  SetWide(FCompressedSizeField, &TZip64Info::CompressedSize, V);
}

uint64_t TZipHeaderInfo::UncompressedSize() const {
  return Wide(FUncompressedSizeField, &TZip64Info::UncompressedSize);
}

void TZipHeaderInfo::SetUncompressedSize(uint64_t V) {
  SetWide(FUncompressedSizeField, &TZip64Info::UncompressedSize, V);
}

uint64_t TZipHeaderInfo::RelativeOffset() const {
  return Wide(FRelativeOffsetField, &TZip64Info::RelativeOffset);
}

void TZipHeaderInfo::SetRelativeOffset(uint64_t V) {
  SetWide(FRelativeOffsetField, &TZip64Info::RelativeOffset, V);
}

uint32_t TZipHeaderInfo::DiskNumberStart() const {
  if (FDiskNumberStartField == ZipMarker16 && FZip64Info) return FZip64Info->DiskNumberStart;
  return FDiskNumberStartField;
}

void TZipHeaderInfo::SetDiskNumberStart(uint32_t V) {
  if (V > 0xFFFE) {
    EnsureZip64Info().DiskNumberStart = V;
    FDiskNumberStartField = ZipMarker16;
  } else {
    FDiskNumberStartField = static_cast<uint16_t>(V);
  }
}

void TZipHeaderInfo::SetFileName(const std::string& V) {
  if (V == FFileName) return;
  FFileName = V;
  FFileNameLength = static_cast<uint16_t>(FDirectory.size() + FFileName.size());
}

void TZipHeaderInfo::SetDirectory(const std::string& V) {
  std::string D = V;
  if (!D.empty() && D.back() != '\\') D += '\\';
  if (D == FDirectory) return;
  FDirectory = std::move(D);
  FFileNameLength = static_cast<uint16_t>(FDirectory.size() + FFileName.size());
}

void TZipHeaderInfo::SetFileComment(const std::optional<std::string>& Text) {
  if (!Text) {
    FFileComment.reset();
    FFileCommentLength = 0;
    return;
  }
  FFileComment = Text->substr(0, 0xFFFF);
  FFileCommentLength = static_cast<uint16_t>(FFileComment->size());
}

void TZipHeaderInfo::ToOEM(std::string& Name) const {
  if (FOEMConvert) Name = platform::AnsiToOem(Name);
}

void TZipHeaderInfo::FromOEM(std::string& Name) const {
  if (FOEMConvert) Name = platform::OemToAnsi(Name);
}

// Splits a name held with backslashes. The directory part runs up to and
// including the last backslash; a colon ends it only as a drive ("C:"),
// so a Linux name such as "12:30:05.jpg" stays a file name.
void TZipHeaderInfo::SplitName(const std::string& Name) {
  size_t Cut = Name.rfind('\\');
  size_t Start = (Cut == std::string::npos) ? 0 : Cut + 1;
  if (Cut == std::string::npos && Name.size() >= 2 && Name[1] == ':' &&
      ((Name[0] >= 'A' && Name[0] <= 'Z') || (Name[0] >= 'a' && Name[0] <= 'z')))
    Start = 2;
  FDirectory = Name.substr(0, Start);
  FFileName = Name.substr(Start);
}

std::optional<uint32_t> TZipHeaderInfo::UnixMode() const {
  const uint32_t Mode = FExternalAttributes >> 16;
  if (!HostKeepsUnixMode(Host()) || Mode == 0) return std::nullopt;
  return Mode;
}

bool TZipHeaderInfo::IsSymLink() const {
  const std::optional<uint32_t> Mode = UnixMode();
  return Mode && (*Mode & kUnixTypeMask) == kUnixLink;
}

std::string TZipHeaderInfo::OwnExtraBlocks() const {
  if (!FWritesTimestamp || !FModTime) return std::string();
  const std::string Stamp = TimestampBlock(*FModTime);
  return Stamp.empty() ? NtfsTimeBlock(*FModTime) : Stamp;
}

std::string TZipHeaderInfo::StoredName(bool* Utf8) const {
  const std::string Name = FDirectory + FFileName;
  if (!FRawFor.empty() && Name == FRawFor) {
    if (Utf8) *Utf8 = (FFlags & zfUtf8Name) != 0;
    return FRawName;
  }
  if (FNameConvention != TNameConvention::AsHeld || ConvertsName()) {
    TStoredName Stored =
        StoredNameOf(Name, ConvertsName() ? TNameConvention::CodePage : FNameConvention);
    if (Utf8) *Utf8 = Stored.Utf8;
    return std::move(Stored.Bytes);
  }
  if (Utf8) *Utf8 = (FFlags & zfUtf8Name) != 0;
  return StoredFromEntryName(Name);
}

// Names of entries from an MS-DOS/FAT host that carry no convention of
// their own are in the OEM code page on disk; a name from another host
// goes back as it stood.
bool TZipHeaderInfo::ConvertsName() const {
  return FNameConvention == TNameConvention::AsHeld && FOEMConvert && Host() == kHostDos;
}

// Makes the flags and the name length agree with the name about to be
// written: bit 11 is set exactly when the stored bytes are UTF-8 that is
// not ASCII as StoredName decided (a code page form clears it, even where
// the name came from an archive whose name was UTF-8).
void TZipHeaderInfo::FinishStoredName(std::string& Name, bool Utf8) {
  if (Name.size() > 0xFFFF) Name.resize(0xFFFF);
  if (Utf8)
    FFlags |= zfUtf8Name;
  else
    FFlags &= static_cast<uint16_t>(~zfUtf8Name);
  FFileNameLength = static_cast<uint16_t>(Name.size());
}

void TZipHeaderInfo::KeepStoredName(std::string Raw) {
  FRawName = std::move(Raw);
  FRawFor = FullName();
}

void TZipHeaderInfo::TakeExtraFacts(const uint8_t* Extra, size_t Length) {
  TExtraFacts Facts = ReadExtraFacts(Extra, Length, FRawName);
  if (Facts.ModTime) FModTime = Facts.ModTime;
  if (Facts.UnicodePath && (FFlags & zfUtf8Name) == 0) {
    // The header's bytes stay what a rewrite stores; the name is the
    // Unicode one.
    SplitName(InternalNameOf(*Facts.UnicodePath, zfUtf8Name, Host(), false));
    FRawFor = FullName();
  }
}

void TZipHeaderInfo::FillFromCentral(const uint8_t* H, const std::string& Name) {
  TRecordReader R(H, ZipCentralHeaderSize);
  R.Skip(4);  // the signature
  FVersionMadeBy = R.U16();
  FVersionNeeded = R.U16();
  FFlags = R.U16();
  FCompressionMethod = R.U16();
  FFileDateTime = R.U32();
  FCrc32 = R.U32();
  FCompressedSizeField = R.U32();
  FUncompressedSizeField = R.U32();
  FFileNameLength = R.U16();
  FCentralExtraLength = R.U16();
  FFileCommentLength = R.U16();
  FDiskNumberStartField = R.U16();
  FInternalAttributes = R.U16();
  FExternalAttributes = R.U32();
  FRelativeOffsetField = R.U32();
  FCentralOffset = 0;
  ResetAfterFill(Name);
}

void TZipHeaderInfo::ResetAfterFill(const std::string& Name) {
  SplitName(Name);
  FFileComment.reset();
  FDefect.clear();
  FChosen = false;
  FMarked = false;
  FModTime.reset();
  FWritesTimestamp = false;
  FRawName.clear();
  FRawFor.clear();
}

void TZipHeaderInfo::FillFromLocal(const TLocalHeader& H, const std::string& Name) {
  FVersionMadeBy = 0;
  FVersionNeeded = H.VersionNeeded;
  FFlags = H.Flags;
  FCompressionMethod = H.CompressionMethod;
  FFileDateTime = H.FileDateTime;
  FCrc32 = H.Crc32;
  FCompressedSizeField = H.CompressedSize;
  FUncompressedSizeField = H.UncompressedSize;
  FFileNameLength = H.FileNameLength;
  FLocalExtraLength = H.ExtraLength;
  FFileCommentLength = 0;
  FDiskNumberStartField = 0;
  FInternalAttributes = 0;
  FExternalAttributes = 0;
  FRelativeOffsetField = 0;
  FCentralOffset = 0;
  ResetAfterFill(Name);
}

bool TZipHeaderInfo::ReadCentral(TStream& Stream) {
  TStream* S = &Stream;
  return ReadCentral(S, nullptr);
}

bool TZipHeaderInfo::ReadCentral(TStream*& Stream, const TNextVolume& NextVolume) {
  const int64_t P = Stream->Position();
  int64_t BackTo = P;
  uint8_t H[ZipCentralHeaderSize];
  int64_t Got = ReadUpTo(*Stream, H, ZipCentralHeaderSize);
  if (Got < static_cast<int64_t>(ZipCentralHeaderSize) && NextVolume) {
    // A header cut by the end of a volume continues on the next one; only
    // a cut that shows the start of a central signature is followed.
    uint8_t Sig[4];
    for (int I = 0; I < 4; ++I) Sig[I] = static_cast<uint8_t>(ZipSignatures.Central >> (8 * I));
    if (Got == 0 || std::memcmp(H, Sig, static_cast<size_t>(std::min<int64_t>(Got, 4))) == 0) {
      NextVolume(Stream);
      if (Stream == nullptr) return false;
      // Going back now means going back to where the new volume stood.
      BackTo = Stream->Position();
      Got += ReadUpTo(*Stream, H + Got, ZipCentralHeaderSize - Got);
    }
  }
  if (Got < static_cast<int64_t>(ZipCentralHeaderSize) || GetLE32(H) != ZipSignatures.Central) {
    Stream->Seek(BackTo, soBeginning);
    return false;
  }
  const uint16_t NameLen = GetLE16(H + 28);
  std::string Name(NameLen, '\0');
  if (NameLen != 0 && ReadUpTo(*Stream, Name.data(), NameLen) != NameLen) {
    Stream->Seek(BackTo, soBeginning);
    return false;
  }
  const uint16_t MadeBy = GetLE16(H + 4);
  const uint16_t Flags = GetLE16(H + 8);
  FillFromCentral(H, InternalNameOf(Name, Flags, static_cast<uint8_t>(MadeBy >> 8), FOEMConvert));
  KeepStoredName(std::move(Name));
  FCentralOffset = P;
  if (FCentralExtraLength != 0) {
    FExtraFieldPos = Stream->Position();
    FSourceExtraLength = FCentralExtraLength;
    ParseCentralExtra(*Stream);
    Stream->Seek(FExtraFieldPos, soBeginning);
  }
  return true;
}

// Extra field walk. Each block is tag (u16), size (u16), data. The Zip64
// block (tag 1) holds, in order, only the values whose header field is the
// marker: uncompressed size, compressed size, local header offset (8 bytes
// each), disk number (4). A value the block is too short to hold is not
// taken; the walk goes on after the block's declared size, and a block
// claiming more bytes than remain ends it.
void TZipHeaderInfo::ParseCentralExtra(TStream& Stream) {
  std::vector<uint8_t> Extra(FCentralExtraLength);
  const size_t Len = static_cast<size_t>(ReadUpTo(Stream, Extra.data(), FCentralExtraLength));
  TExtraWalker Walk(Extra.data(), Len);
  TExtraBlock Block;
  while (Walk.Next(Block)) {
    if (Block.Id != Zip64ExtraId) continue;
    FZip64ExtraSize = static_cast<uint16_t>(Block.RawSize());
    TZip64Info& Z = EnsureZip64Info();
    TRecordReader R(Block.Data, Block.Size);
    // Each value is taken only when the block still holds all of it.
    auto Take64 = [&R](uint64_t& To) {
      if (R.Left() >= 8) To = R.U64();
    };
    if (FUncompressedSizeField == ZipMarker32) Take64(Z.UncompressedSize);
    if (FCompressedSizeField == ZipMarker32) Take64(Z.CompressedSize);
    if (FRelativeOffsetField == ZipMarker32) Take64(Z.RelativeOffset);
    if (FDiskNumberStartField == ZipMarker16 && R.Left() >= 4) Z.DiskNumberStart = R.U32();
  }
  TakeExtraFacts(Extra.data(), Len);
}

bool TZipHeaderInfo::ReadLocal(TStream& Stream) {
  const int64_t P = Stream.Position();
  TLocalHeader H;
  if (ReadLocalHeader(Stream, H, true) != TLocalRead::Ok) {
    Stream.Seek(P, soBeginning);
    return false;
  }
  // A local header names no host: its name reads as a DOS host's would.
  FillFromLocal(H, InternalNameOf(H.Name, H.Flags, kHostDos, FOEMConvert));
  KeepStoredName(std::move(H.Name));
  FRelativeOffsetField = static_cast<uint32_t>(P & 0xFFFFFFFF);
  if (FLocalExtraLength != 0) {
    const int64_t E = Stream.Position();
    std::vector<uint8_t> Extra(FLocalExtraLength);
    const size_t Len = static_cast<size_t>(ReadUpTo(Stream, Extra.data(), FLocalExtraLength));
    ParseLocalExtra(Extra.data(), Len);
    Stream.Seek(E, soBeginning);
  }
  return true;
}

// A local Zip64 block holds both sizes whatever the header fields say, then
// the offset and the disk number when present; a value the block is too
// short for is not taken.
void TZipHeaderInfo::ParseLocalExtra(const uint8_t* Extra, size_t Length) {
  TExtraWalker Walk(Extra, Length);
  TExtraBlock Block;
  while (Walk.Next(Block)) {
    if (Block.Id != Zip64ExtraId) continue;
    TZip64Info& Info = EnsureZip64Info();
    Info.Tag = Block.Id;
    Info.Size = Block.Size;
    TRecordReader R(Block.Data, Block.Size);
    for (uint64_t* To : {&Info.UncompressedSize, &Info.CompressedSize, &Info.RelativeOffset})
      if (R.Left() >= 8) *To = R.U64();
    if (R.Left() >= 4) Info.DiskNumberStart = R.U32();
    break;
  }
  TakeExtraFacts(Extra, Length);
}

void TZipHeaderInfo::WriteSharedFields(TRecordWriter& W) const {
  W.U16(FVersionNeeded);
  W.U16(FFlags);
  W.U16(FCompressionMethod);
  W.U32(FFileDateTime);
  W.U32(FCrc32);
  W.U32(FCompressedSizeField);
  W.U32(FUncompressedSizeField);
  W.U16(FFileNameLength);
}

void TZipHeaderInfo::WriteLocal(TStream& Stream) {
  SetRelativeOffset(static_cast<uint64_t>(Stream.Position()));
  bool Utf8 = false;
  std::string Name = StoredName(&Utf8);
  FinishStoredName(Name, Utf8);
  std::string Own = OwnExtraBlocks();
  if (FLocalExtraLength + Own.size() > 0xFFFF) Own.clear();
  const auto ExtraLength = static_cast<uint16_t>(FLocalExtraLength + Own.size());
  TRecordWriter W;
  W.U32(ZipSignatures.Local);
  WriteSharedFields(W);
  W.U16(ExtraLength);
  W.Raw(Name);
  W.Raw(Own);
  W.WriteTo(Stream);
}

void TZipHeaderInfo::WriteCentral(TStream& Dest, TStream* Source) {
  uint16_t Z = 0;
  if (FUncompressedSizeField == ZipMarker32) Z += 8;
  if (FCompressedSizeField == ZipMarker32) Z += 8;
  if (FRelativeOffsetField == ZipMarker32) Z += 8;
  if (FDiskNumberStartField == ZipMarker16) Z += 4;
  // 4.5 is the version that brought the Zip64 extensions; asking for 5.0
  // makes widely used extractors refuse the entry (they implement 4.6).
  FVersionNeeded = Z > 0 ? 45 : 20;

  // Foreign blocks of the source archive are gathered first, so that the
  // extra length in the header is exactly what follows it even when the
  // source field is damaged.
  std::string Preserved;
  if (FSourceExtraLength != 0 && Source != nullptr) {
    std::vector<uint8_t> Extra(FSourceExtraLength);
    Source->Seek(FExtraFieldPos, soBeginning);
    const size_t Len = static_cast<size_t>(ReadUpTo(*Source, Extra.data(), FSourceExtraLength));
    TExtraWalker Walk(Extra.data(), Len);
    TExtraBlock Block;
    while (Walk.Next(Block))
      if (Block.Id != Zip64ExtraId)
        Preserved.append(reinterpret_cast<const char*>(Block.Raw()), Block.RawSize());
  }
  Preserved += OwnExtraBlocks();
  const size_t Zip64Block = Z > 0 ? Z + 4u : 0u;
  // The Zip64 block is the one that cannot be dropped.
  if (Preserved.size() + Zip64Block > 0xFFFF) Preserved.clear();
  FCentralExtraLength = static_cast<uint16_t>(Preserved.size() + Zip64Block);

  bool Utf8 = false;
  std::string Name = StoredName(&Utf8);
  FinishStoredName(Name, Utf8);

  TRecordWriter W;
  W.U32(ZipSignatures.Central);
  W.U16(FVersionMadeBy);
  WriteSharedFields(W);
  W.U16(FCentralExtraLength);
  W.U16(FFileCommentLength);
  W.U16(FDiskNumberStartField);
  W.U16(FInternalAttributes);
  W.U32(FExternalAttributes);
  W.U32(FRelativeOffsetField);
  W.Raw(Name);
  if (Z == 0) FZip64Info.reset();
  W.Raw(Preserved);
  if (Z > 0) {
    if (!FZip64Info) {
      // A marker without a record (as read from a header that lacked the
      // block) stands for the marker value itself, not for 0.
      TZip64Info& Made = EnsureZip64Info();
      Made.UncompressedSize = FUncompressedSizeField;
      Made.CompressedSize = FCompressedSizeField;
      Made.RelativeOffset = FRelativeOffsetField;
      Made.DiskNumberStart = FDiskNumberStartField;
    }
    const TZip64Info& Info = *FZip64Info;
    W.U16(Zip64ExtraId);
    W.U16(Z);
    if (FUncompressedSizeField == ZipMarker32) W.U64(Info.UncompressedSize);
    if (FCompressedSizeField == ZipMarker32) W.U64(Info.CompressedSize);
    if (FRelativeOffsetField == ZipMarker32) W.U64(Info.RelativeOffset);
    if (FDiskNumberStartField == ZipMarker16) W.U32(Info.DiskNumberStart);
  }
  if (FFileCommentLength != 0) {
    // Exactly the length the header announces: a comment not held (or
    // shorter than announced) is padded with zero bytes rather than leaving
    // the next header out of place.
    std::string Comment = FFileComment.value_or(std::string());
    Comment.resize(FFileCommentLength, '\0');
    W.Raw(Comment);
  }
  W.WriteTo(Dest);
}

}  // namespace zem
