// Zip archive records: header images, their reads and writes, the end
// record search and the entry list orders.
#include "archive/format/zip_records.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/support/path_helpers.h"
#include "platform/winapi.h"

namespace zem {

// ---- Little-endian field access --------------------------------------------------
// Header images are decoded from and encoded into byte buffers whose size
// the caller has checked; these never look past the width they name.

namespace {

inline uint16_t Get16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | (P[1] << 8)); }
inline uint32_t Get32(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) | (static_cast<uint32_t>(P[1]) << 8) |
         (static_cast<uint32_t>(P[2]) << 16) | (static_cast<uint32_t>(P[3]) << 24);
}
inline uint64_t Get64(const uint8_t* P) {
  return static_cast<uint64_t>(Get32(P)) | (static_cast<uint64_t>(Get32(P + 4)) << 32);
}

// Appends little-endian values to a byte string.
class TRecordWriter {
 public:
  void U16(uint16_t V) {
    Bytes.push_back(static_cast<char>(V & 0xFF));
    Bytes.push_back(static_cast<char>(V >> 8));
  }
  void U32(uint32_t V) {
    U16(static_cast<uint16_t>(V & 0xFFFF));
    U16(static_cast<uint16_t>(V >> 16));
  }
  void U64(uint64_t V) {
    U32(static_cast<uint32_t>(V & 0xFFFFFFFFu));
    U32(static_cast<uint32_t>(V >> 32));
  }
  void Raw(const std::string& S) { Bytes += S; }
  void Raw(const uint8_t* P, size_t N) { Bytes.append(reinterpret_cast<const char*>(P), N); }
  std::string Bytes;
};

// Reads as many of Count bytes as the stream has; returns the number read.
int64_t ReadUpTo(TStream& Stream, void* Buffer, int64_t Count) {
  auto* Out = static_cast<uint8_t*>(Buffer);
  int64_t Done = 0;
  while (Done < Count) {
    int64_t Got = Stream.Read(Out + Done, Count - Done);
    if (Got <= 0) break;
    Done += Got;
  }
  return Done;
}

constexpr uint32_t Marker32 = 0xFFFFFFFFu;
constexpr uint16_t Marker16 = 0xFFFF;
constexpr uint16_t Zip64Tag = 0x0001;

}  // namespace

// ---- Signatures --------------------------------------------------------------------

TZipSignatures ZipSignatures;

void InitZipSignatures(uint32_t Central, uint32_t Local, uint32_t End) {
  TZipSignatures S;
  if (Central != 0) S.Central = Central;
  if (Local != 0) S.Local = Local;
  if (End != 0) S.End = End;
  for (int I = 0; I < 4; ++I) S.LocalBytes[I] = static_cast<uint8_t>(S.Local >> (8 * I));
  S.EndFirstByte = static_cast<uint8_t>(S.End & 0xFF);
  ZipSignatures = S;
}

namespace {
// Runs the start-up routine with the standard values.
const bool SignaturesReady = (InitZipSignatures(0, 0, 0), true);
}  // namespace

// ---- TZipHeaderInfo ---------------------------------------------------------------

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
  FChosen = false;
  FEntryState = 0;
  FMarked = false;
  FOEMConvert = false;
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
  FChosen = Src->FChosen;
  FEntryState = Src->FEntryState;
  FMarked = Src->FMarked;
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
  D->FChosen = FChosen;
  D->FEntryState = FEntryState;
  D->FMarked = FMarked;
}

TZip64Info& TZipHeaderInfo::EnsureZip64Info() {
  if (!FZip64Info) FZip64Info = std::make_unique<TZip64Info>();
  return *FZip64Info;
}

uint64_t TZipHeaderInfo::Wide(uint32_t Field, uint64_t TZip64Info::*Twin) const {
  if (Field == Marker32 && FZip64Info) return (*FZip64Info).*Twin;
  return Field;
}

void TZipHeaderInfo::SetWide(uint32_t& Field, uint64_t TZip64Info::*Twin, uint64_t V) {
  if (V >= Marker32) {
    EnsureZip64Info().*Twin = V;
    Field = Marker32;
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
  if (FDiskNumberStartField == Marker16 && FZip64Info) return FZip64Info->DiskNumberStart;
  return FDiskNumberStartField;
}

void TZipHeaderInfo::SetDiskNumberStart(uint32_t V) {
  if (V > 0xFFFE) {
    EnsureZip64Info().DiskNumberStart = V;
    FDiskNumberStartField = Marker16;
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

std::string TZipHeaderInfo::StoredName(bool* Utf8) const {
  std::string Name = FDirectory + FFileName;
  std::replace(Name.begin(), Name.end(), '\\', '/');
  bool KeptUtf8 = false;
  if (ConvertsName()) {
    bool Lossless = true;
    std::string Oem = platform::AnsiToOem(Name, &Lossless);
    if (Lossless)
      Name = std::move(Oem);
    else
      KeptUtf8 = true;  // the OEM form would lose characters
  }
  if (Utf8) *Utf8 = KeptUtf8;
  return Name;
}

// Names of entries from an MS-DOS/FAT host (every entry this system makes)
// are in the OEM code page on disk; a name from another host was read as it
// stood and goes back as it stood, so that the two headers of a carried-over
// entry and a later read all agree.
bool TZipHeaderInfo::ConvertsName() const { return FOEMConvert && (FVersionMadeBy >> 8) == 0; }

// Makes the flags and the name length agree with the name about to be
// written. Bit 11 is set for a UTF-8 name kept because the OEM form would
// lose characters, and cleared for a name written in its OEM form (which
// may have come from an archive whose name was UTF-8). Where no conversion
// applies the bytes go out as held and bit 11 passes through.
void TZipHeaderInfo::FinishStoredName(std::string& Name, bool Utf8) {
  if (Name.size() > 0xFFFF) Name.resize(0xFFFF);
  if (ConvertsName()) {
    if (Utf8)
      FFlags |= zfUtf8Name;
    else
      FFlags &= static_cast<uint16_t>(~zfUtf8Name);
  }
  FFileNameLength = static_cast<uint16_t>(Name.size());
}

void TZipHeaderInfo::FillFromCentral(const uint8_t* H, const std::string& Name) {
  FVersionMadeBy = Get16(H + 4);
  FVersionNeeded = Get16(H + 6);
  FFlags = Get16(H + 8);
  FCompressionMethod = Get16(H + 10);
  FFileDateTime = static_cast<uint32_t>(NormalizeDosDateTime(static_cast<int32_t>(Get32(H + 12))));
  FCrc32 = Get32(H + 16);
  FCompressedSizeField = Get32(H + 20);
  FUncompressedSizeField = Get32(H + 24);
  FFileNameLength = Get16(H + 28);
  FCentralExtraLength = Get16(H + 30);
  FFileCommentLength = Get16(H + 32);
  FDiskNumberStartField = Get16(H + 34);
  FInternalAttributes = Get16(H + 36);
  FExternalAttributes = Get32(H + 38);
  FRelativeOffsetField = Get32(H + 42);
  FCentralOffset = 0;
  SplitName(Name);
  FFileComment.reset();
  FChosen = false;
  FMarked = false;
}

void TZipHeaderInfo::FillFromLocal(const uint8_t* H, const std::string& Name) {
  FVersionMadeBy = 0;
  FVersionNeeded = Get16(H + 4);
  FFlags = Get16(H + 6);
  FCompressionMethod = Get16(H + 8);
  FFileDateTime = static_cast<uint32_t>(NormalizeDosDateTime(static_cast<int32_t>(Get32(H + 10))));
  FCrc32 = Get32(H + 14);
  FCompressedSizeField = Get32(H + 18);
  FUncompressedSizeField = Get32(H + 22);
  FFileNameLength = Get16(H + 26);
  FLocalExtraLength = Get16(H + 28);
  FFileCommentLength = 0;
  FDiskNumberStartField = 0;
  FInternalAttributes = 0;
  FExternalAttributes = 0;
  FRelativeOffsetField = 0;
  FCentralOffset = 0;
  SplitName(Name);
  FFileComment.reset();
  FChosen = false;
  FMarked = false;
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
  if (Got < static_cast<int64_t>(ZipCentralHeaderSize) || Get32(H) != ZipSignatures.Central) {
    Stream->Seek(BackTo, soBeginning);
    return false;
  }
  const uint16_t NameLen = Get16(H + 28);
  std::string Name(NameLen, '\0');
  if (NameLen != 0 && ReadUpTo(*Stream, Name.data(), NameLen) != NameLen) {
    Stream->Seek(BackTo, soBeginning);
    return false;
  }
  std::replace(Name.begin(), Name.end(), '/', '\\');
  const uint16_t MadeBy = Get16(H + 4);
  const uint16_t Flags = Get16(H + 8);
  // Only names from an MS-DOS/FAT host are in the OEM code page, and never
  // one whose entry says it is UTF-8.
  if ((MadeBy >> 8) == 0 && (Flags & zfUtf8Name) == 0) FromOEM(Name);
  FillFromCentral(H, Name);
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
  size_t Pos = 0;
  while (Pos + 4 <= Len) {
    const uint16_t Tag = Get16(&Extra[Pos]);
    const uint16_t Size = Get16(&Extra[Pos + 2]);
    const size_t DataStart = Pos + 4;
    if (Size > Len - DataStart) break;
    if (Tag == Zip64Tag) {
      FZip64ExtraSize = static_cast<uint16_t>(Size + 4);
      TZip64Info& Z = EnsureZip64Info();
      size_t F = DataStart;
      const size_t End = DataStart + Size;
      if (FUncompressedSizeField == Marker32 && F + 8 <= End) {
        Z.UncompressedSize = Get64(&Extra[F]);
        F += 8;
      }
      if (FCompressedSizeField == Marker32 && F + 8 <= End) {
        Z.CompressedSize = Get64(&Extra[F]);
        F += 8;
      }
      if (FRelativeOffsetField == Marker32 && F + 8 <= End) {
        Z.RelativeOffset = Get64(&Extra[F]);
        F += 8;
      }
      if (FDiskNumberStartField == Marker16 && F + 4 <= End) {
        Z.DiskNumberStart = Get32(&Extra[F]);
      }
    }
    Pos = DataStart + Size;
  }
}

bool TZipHeaderInfo::ReadLocal(TStream& Stream) {
  const int64_t P = Stream.Position();
  uint8_t H[ZipLocalHeaderSize];
  if (ReadUpTo(Stream, H, ZipLocalHeaderSize) != ZipLocalHeaderSize ||
      Get32(H) != ZipSignatures.Local) {
    Stream.Seek(P, soBeginning);
    return false;
  }
  const uint16_t NameLen = Get16(H + 26);
  std::string Name(NameLen, '\0');
  if (NameLen != 0 && ReadUpTo(Stream, Name.data(), NameLen) != NameLen) {
    Stream.Seek(P, soBeginning);
    return false;
  }
  std::replace(Name.begin(), Name.end(), '/', '\\');
  if ((Get16(H + 6) & zfUtf8Name) == 0) FromOEM(Name);
  FillFromLocal(H, Name);
  FRelativeOffsetField = static_cast<uint32_t>(P & 0xFFFFFFFF);
  if (FLocalExtraLength != 0) {
    const int64_t E = Stream.Position();
    uint8_t Z[32];
    if (ReadUpTo(Stream, Z, 32) == 32 && Get16(Z) == Zip64Tag) {
      TZip64Info& Info = EnsureZip64Info();
      Info.Tag = Get16(Z);
      Info.Size = Get16(Z + 2);
      Info.UncompressedSize = Get64(Z + 4);
      Info.CompressedSize = Get64(Z + 12);
      Info.RelativeOffset = Get64(Z + 20);
      Info.DiskNumberStart = Get32(Z + 28);
    }
    Stream.Seek(E, soBeginning);
  }
  return true;
}

void TZipHeaderInfo::WriteLocal(TStream& Stream) {
  SetRelativeOffset(static_cast<uint64_t>(Stream.Position()));
  bool Utf8 = false;
  std::string Name = StoredName(&Utf8);
  FinishStoredName(Name, Utf8);
  TRecordWriter W;
  W.U32(ZipSignatures.Local);
  W.U16(FVersionNeeded);
  W.U16(FFlags);
  W.U16(FCompressionMethod);
  W.U32(FFileDateTime);
  W.U32(FCrc32);
  W.U32(FCompressedSizeField);
  W.U32(FUncompressedSizeField);
  W.U16(FFileNameLength);
  W.U16(FLocalExtraLength);
  W.Raw(Name);
  Stream.WriteBuffer(W.Bytes.data(), static_cast<int64_t>(W.Bytes.size()));
}

void TZipHeaderInfo::WriteCentral(TStream& Dest, TStream* Source) {
  uint16_t Z = 0;
  if (FUncompressedSizeField == Marker32) Z += 8;
  if (FCompressedSizeField == Marker32) Z += 8;
  if (FRelativeOffsetField == Marker32) Z += 8;
  if (FDiskNumberStartField == Marker16) Z += 4;
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
    size_t Pos = 0;
    while (Pos + 4 <= Len) {
      const uint16_t Tag = Get16(&Extra[Pos]);
      const uint16_t Size = Get16(&Extra[Pos + 2]);
      if (Size > Len - Pos - 4) break;
      if (Tag != Zip64Tag)
        Preserved.append(reinterpret_cast<const char*>(&Extra[Pos]), Size + 4u);
      Pos += 4u + Size;
    }
  }
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
  W.U16(FVersionNeeded);
  W.U16(FFlags);
  W.U16(FCompressionMethod);
  W.U32(FFileDateTime);
  W.U32(FCrc32);
  W.U32(FCompressedSizeField);
  W.U32(FUncompressedSizeField);
  W.U16(FFileNameLength);
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
    W.U16(Zip64Tag);
    W.U16(Z);
    if (FUncompressedSizeField == Marker32) W.U64(Info.UncompressedSize);
    if (FCompressedSizeField == Marker32) W.U64(Info.CompressedSize);
    if (FRelativeOffsetField == Marker32) W.U64(Info.RelativeOffset);
    if (FDiskNumberStartField == Marker16) W.U32(Info.DiskNumberStart);
  }
  if (FFileCommentLength != 0) {
    // Exactly the length the header announces: a comment not held (or
    // shorter than announced) is padded with zero bytes rather than leaving
    // the next header out of place.
    std::string Comment = FFileComment.value_or(std::string());
    Comment.resize(FFileCommentLength, '\0');
    W.Raw(Comment);
  }
  Dest.WriteBuffer(W.Bytes.data(), static_cast<int64_t>(W.Bytes.size()));
}

// ---- TEndCentral ------------------------------------------------------------------

TEndCentral::TEndCentral() { Clear(); }
TEndCentral::~TEndCentral() = default;

void TEndCentral::Clear() {
  FRecord = TZipEndCentral();
  FRecord.HeaderSig = ZipSignatures.End;
  FZipComment.reset();
  FZipCommentPos = 0;
  FModified = false;
}

void TEndCentral::Assign(const TPersistent* Source) {
  const auto* Src = dynamic_cast<const TEndCentral*>(Source);
  if (Src == nullptr) {
    TPersistent::Assign(Source);
    return;
  }
  Src->AssignTo(this);
}

void TEndCentral::AssignTo(TPersistent* Dest) const {
  auto* D = dynamic_cast<TEndCentral*>(Dest);
  if (D == nullptr) {
    TPersistent::AssignTo(Dest);
    return;
  }
  if (D == this) return;
  D->FRecord = FRecord;
  if (FRecord.ZipCommentLength != 0 && FZipComment) {
    D->FZipComment = FZipComment;
    D->FRecord.ZipCommentLength = static_cast<uint16_t>(FZipComment->size());
  } else {
    D->FZipComment.reset();
  }
  D->FZipCommentPos = FZipCommentPos;
}

TZip64EndCentral& TEndCentral::EnsureZip64EndRecord() {
  if (!FZip64EndRecord) {
    FZip64EndRecord = std::make_unique<TZip64EndCentral>();
    FZip64EndRecord->HeaderSig = ZipSignatures.Zip64End;
  }
  return *FZip64EndRecord;
}

TZip64Locator& TEndCentral::EnsureZip64Locator() {
  if (!FZip64Locator) {
    FZip64Locator = std::make_unique<TZip64Locator>();
    FZip64Locator->HeaderSig = ZipSignatures.Zip64Locator;
  }
  return *FZip64Locator;
}

uint32_t TEndCentral::NumberOfThisDisk() const {
  if (FRecord.NumberOfThisDisk == Marker16 && FZip64EndRecord) return FZip64EndRecord->NumberOfThisDisk;
  return FRecord.NumberOfThisDisk;
}

void TEndCentral::SetNumberOfThisDisk(uint32_t V) {
  if (V > 0xFFFE) {
    EnsureZip64EndRecord().NumberOfThisDisk = V;
    FRecord.NumberOfThisDisk = Marker16;
  } else {
    FRecord.NumberOfThisDisk = static_cast<uint16_t>(V);
  }
}

uint32_t TEndCentral::DiskWithCentralDir() const {
  if (FRecord.DiskWithCentralDir == Marker16 && FZip64EndRecord)
    return FZip64EndRecord->DiskWithCentralDir;
  return FRecord.DiskWithCentralDir;
}

void TEndCentral::SetDiskWithCentralDir(uint32_t V) {
  if (V > 0xFFFE) {
    EnsureZip64EndRecord().DiskWithCentralDir = V;
    FRecord.DiskWithCentralDir = Marker16;
  } else {
    FRecord.DiskWithCentralDir = static_cast<uint16_t>(V);
  }
}

uint64_t TEndCentral::EntriesOnThisDisk() const {
  if (FRecord.EntriesOnThisDisk == Marker16 && FZip64EndRecord) return FZip64EndRecord->EntriesOnThisDisk;
  return FRecord.EntriesOnThisDisk;
}

void TEndCentral::SetEntriesOnThisDisk(uint64_t V) {
  if (V > 0xFFFE) {
    EnsureZip64EndRecord().EntriesOnThisDisk = V;
    FRecord.EntriesOnThisDisk = Marker16;
  } else {
    FRecord.EntriesOnThisDisk = static_cast<uint16_t>(V);
    if (FZip64EndRecord) FZip64EndRecord->EntriesOnThisDisk = V;
  }
}

uint64_t TEndCentral::TotalEntries() const {
  if (FRecord.TotalEntries == Marker16 && FZip64EndRecord) return FZip64EndRecord->TotalEntries;
  return FRecord.TotalEntries;
}

void TEndCentral::SetTotalEntries(uint64_t V) {
  if (V > 0xFFFE) {
    EnsureZip64EndRecord().TotalEntries = V;
    FRecord.TotalEntries = Marker16;
  } else {
    FRecord.TotalEntries = static_cast<uint16_t>(V);
    if (FZip64EndRecord) FZip64EndRecord->TotalEntries = V;
  }
}

uint64_t TEndCentral::CentralDirSize() const {
  if (FRecord.CentralDirSize == Marker32 && FZip64EndRecord) return FZip64EndRecord->CentralDirSize;
  return FRecord.CentralDirSize;
}

void TEndCentral::SetCentralDirSize(uint64_t V) {
  if (V >= Marker32) {
    EnsureZip64EndRecord().CentralDirSize = V;
    FRecord.CentralDirSize = Marker32;
  } else {
    FRecord.CentralDirSize = static_cast<uint32_t>(V);
    if (FZip64EndRecord) FZip64EndRecord->CentralDirSize = V;
  }
}

uint64_t TEndCentral::CentralDirOffset() const {
  if (FRecord.CentralDirOffset == Marker32 && FZip64EndRecord) return FZip64EndRecord->CentralDirOffset;
  return FRecord.CentralDirOffset;
}

void TEndCentral::SetCentralDirOffset(uint64_t V) {
  if (V >= Marker32) {
    EnsureZip64EndRecord().CentralDirOffset = V;
    FRecord.CentralDirOffset = Marker32;
  } else {
    FRecord.CentralDirOffset = static_cast<uint32_t>(V);
  }
}

void TEndCentral::SetZipComment(const std::string& Text) {
  FZipComment = Text.substr(0, 0xFFFF);
  FRecord.ZipCommentLength = static_cast<uint16_t>(FZipComment->size());
}

// End record search. The record is at most 65557 bytes from the end (a
// 65535-byte comment after it), so that window is read once and scanned
// backwards from its last possible start; the first hit is the record
// nearest the end of the file. Memory and time are bounded by the window
// whatever the archive size.
bool TEndCentral::FindEndRecord(TStream& Stream) {
  const int64_t S = Stream.Size();
  if (S < static_cast<int64_t>(ZipEndRecordSize)) return S == 0;
  const int64_t N = std::min<int64_t>(S, ZipEndSearchWindow);
  std::vector<uint8_t> Window(static_cast<size_t>(N));
  Stream.Seek(S - N, soBeginning);
  if (ReadUpTo(Stream, Window.data(), N) != N) return false;

  const uint32_t Sig = ZipSignatures.End;
  const uint8_t First = static_cast<uint8_t>(Sig & 0xFF);
  int64_t Found = -1;
  for (int64_t Off = N - static_cast<int64_t>(ZipEndRecordSize); Off >= 0; --Off) {
    if (Window[static_cast<size_t>(Off)] == First && Get32(&Window[static_cast<size_t>(Off)]) == Sig) {
      Found = Off;
      break;
    }
  }
  if (Found < 0) return false;

  const uint8_t* R = &Window[static_cast<size_t>(Found)];
  FRecord.HeaderSig = Sig;
  FRecord.NumberOfThisDisk = Get16(R + 4);
  FRecord.DiskWithCentralDir = Get16(R + 6);
  FRecord.EntriesOnThisDisk = Get16(R + 8);
  FRecord.TotalEntries = Get16(R + 10);
  FRecord.CentralDirSize = Get32(R + 12);
  FRecord.CentralDirOffset = Get32(R + 16);
  FRecord.ZipCommentLength = Get16(R + 20);
  FZipCommentPos = S - N + Found + static_cast<int64_t>(ZipEndRecordSize);

  // Zip64 images from an earlier archive must not answer for this one.
  FreeZip64();
  if (Found >= static_cast<int64_t>(Zip64LocatorSize)) {
    const uint8_t* L = R - Zip64LocatorSize;
    if (Get32(L) == ZipSignatures.Zip64Locator) {
      TZip64Locator& Loc = EnsureZip64Locator();
      Loc.HeaderSig = Get32(L);
      Loc.DiskWithZip64End = Get32(L + 4);
      Loc.Zip64EndOffset = Get64(L + 8);
      Loc.TotalDisks = Get32(L + 16);
      uint8_t E[Zip64EndRecordSize];
      if (Loc.Zip64EndOffset <= static_cast<uint64_t>(S) - Zip64EndRecordSize &&
          static_cast<uint64_t>(S) >= Zip64EndRecordSize) {
        Stream.Seek(static_cast<int64_t>(Loc.Zip64EndOffset), soBeginning);
        if (ReadUpTo(Stream, E, Zip64EndRecordSize) == Zip64EndRecordSize &&
            Get32(E) == ZipSignatures.Zip64End) {
          TZip64EndCentral& Z = EnsureZip64EndRecord();
          Z.HeaderSig = Get32(E);
          Z.RecordSize = Get64(E + 4);
          Z.VersionMadeBy = Get16(E + 12);
          Z.VersionNeeded = Get16(E + 14);
          Z.NumberOfThisDisk = Get32(E + 16);
          Z.DiskWithCentralDir = Get32(E + 20);
          Z.EntriesOnThisDisk = Get64(E + 24);
          Z.TotalEntries = Get64(E + 32);
          Z.CentralDirSize = Get64(E + 40);
          Z.CentralDirOffset = Get64(E + 48);
        }
      }
    }
  }
  return true;
}

void TEndCentral::WriteEndRecord(TStream& Stream) {
  TRecordWriter W;
  if (FZip64EndRecord) {
    TZip64Locator& Loc = EnsureZip64Locator();
    Loc.Zip64EndOffset = static_cast<uint64_t>(Stream.Position());
    TZip64EndCentral& Z = *FZip64EndRecord;
    bool Needed = false;
    if (FRecord.DiskWithCentralDir == Marker16) Needed = true; else Z.DiskWithCentralDir = FRecord.DiskWithCentralDir;
    if (FRecord.NumberOfThisDisk == Marker16) Needed = true; else Z.NumberOfThisDisk = FRecord.NumberOfThisDisk;
    if (FRecord.EntriesOnThisDisk == Marker16) Needed = true; else Z.EntriesOnThisDisk = FRecord.EntriesOnThisDisk;
    if (FRecord.TotalEntries == Marker16) Needed = true; else Z.TotalEntries = FRecord.TotalEntries;
    if (FRecord.CentralDirSize == Marker32) Needed = true; else Z.CentralDirSize = FRecord.CentralDirSize;
    if (FRecord.CentralDirOffset == Marker32) Needed = true; else Z.CentralDirOffset = FRecord.CentralDirOffset;
    if (Needed) {
      W.U32(Z.HeaderSig);
      W.U64(Z.RecordSize);
      W.U16(Z.VersionMadeBy);
      W.U16(Z.VersionNeeded);
      W.U32(Z.NumberOfThisDisk);
      W.U32(Z.DiskWithCentralDir);
      W.U64(Z.EntriesOnThisDisk);
      W.U64(Z.TotalEntries);
      W.U64(Z.CentralDirSize);
      W.U64(Z.CentralDirOffset);
      W.U32(Loc.HeaderSig);
      W.U32(Loc.DiskWithZip64End);
      W.U64(Loc.Zip64EndOffset);
      W.U32(Loc.TotalDisks);
    } else {
      FreeZip64();
    }
  }
  W.U32(FRecord.HeaderSig);
  W.U16(FRecord.NumberOfThisDisk);
  W.U16(FRecord.DiskWithCentralDir);
  W.U16(FRecord.EntriesOnThisDisk);
  W.U16(FRecord.TotalEntries);
  W.U32(FRecord.CentralDirSize);
  W.U32(FRecord.CentralDirOffset);
  W.U16(FRecord.ZipCommentLength);
  if (FRecord.ZipCommentLength != 0 && FZipComment) {
    // Exactly the announced length, so the record stays consistent.
    std::string Comment = *FZipComment;
    Comment.resize(FRecord.ZipCommentLength, '\0');
    W.Raw(Comment);
  }
  Stream.WriteBuffer(W.Bytes.data(), static_cast<int64_t>(W.Bytes.size()));
}

// ---- TSortedZip ---------------------------------------------------------------------

int CompareZipText(const std::string& A, const std::string& B) {
  const size_t N = std::min(A.size(), B.size());
  for (size_t I = 0; I < N; ++I) {
    int X = static_cast<uint8_t>(A[I]);
    int Y = static_cast<uint8_t>(B[I]);
    if (X >= 'a' && X <= 'z') X -= 32;
    if (Y >= 'a' && Y <= 'z') Y -= 32;
    if (X != Y) return X - Y;
  }
  if (A.size() == B.size()) return 0;
  return A.size() < B.size() ? -1 : 1;
}

int CompressionRate(const TZipHeaderInfo& Entry) {
  const uint64_t U = Entry.UncompressedSize();
  if (U == 0) return 0;
  const unsigned __int128 Num = static_cast<unsigned __int128>(Entry.CompressedSize()) * 100u;
  unsigned __int128 Q = Num / U;
  const unsigned __int128 R = Num % U;
  // Round to nearest, halves to even.
  const unsigned __int128 Twice = R * 2;
  if (Twice > U || (Twice == U && (Q & 1) != 0)) ++Q;
  return Q > 100 ? 100 : static_cast<int>(Q);
}

namespace {

// A DOS date/time as a value that orders like the date-time it names; one
// that names no date-time counts as 0, before every real one.
double DateKey(uint32_t DosDateTime) {
  TDateTime Value = 0;
  if (!DosDateTimeToDateTime(static_cast<int32_t>(DosDateTime), Value)) return 0;
  return Value;
}

}  // namespace

TSortedZip::TSortedZip(TDuplicatePolicy Policy) : TSortedObjectList(Policy) {}

int TSortedZip::Compare(const void* Key1, const void* Key2) const {
  const auto& Item = *static_cast<const TZipHeaderInfo*>(static_cast<const TObject*>(Key1));
  const auto& Key = *static_cast<const TZipHeaderInfo*>(static_cast<const TObject*>(Key2));
  switch (FSortMode) {
    case ByName:
      return CompareZipText(Item.FullName(), Key.FullName());
    case ByFileName:
      return CompareZipText(Item.FileName(), Key.FileName());
    case ByDirectoryName:
      return CompareZipText(Item.Directory(), Key.Directory());
    case ByDate:
      return DateKey(Key.FileDateTime()) > DateKey(Item.FileDateTime()) ? 1 : -1;
    case ByCompressedSize: {
      const auto D = static_cast<int32_t>(static_cast<uint32_t>(Key.CompressedSize()) -
                                          static_cast<uint32_t>(Item.CompressedSize()));
      return D > 0 ? 1 : -1;
    }
    case ByUnCompressedSize: {
      const auto D = static_cast<int32_t>(static_cast<uint32_t>(Key.UncompressedSize()) -
                                          static_cast<uint32_t>(Item.UncompressedSize()));
      return D > 0 ? 1 : -1;
    }
    case ByRate:
      return CompressionRate(Key) - CompressionRate(Item);
    case ByNone:
    default: {
      const uint32_t DI = Item.DiskNumberStart(), DK = Key.DiskNumberStart();
      if (DI != DK) return DI > DK ? 1 : -1;
      const uint64_t OI = Item.RelativeOffset(), OK = Key.RelativeOffset();
      if (OI == OK) return 0;
      return OI > OK ? 1 : -1;
    }
  }
}

// Past 64 slots the array grows by half its size instead of by 16, so that
// a directory of any size is built with a logarithmic number of moves.
void TSortedZip::Grow() {
  if (Capacity() < 64) {
    TSortedObjectList::Grow();
    return;
  }
  const int Wanted = Capacity() + Capacity() / 2;
  SetCapacity(Wanted < MaxListSize ? Wanted : MaxListSize - 1);
}

int TSortedZip::Add(TObject* Item) {
  auto* Entry = static_cast<TZipHeaderInfo*>(Item);
  // Physical order is a total order, so an entry that comes after the last
  // one comes after all of them: append it without searching or shifting.
  // This keeps reading a directory in archive order linear.
  if (FSortMode == ByNone && Count() > 0 &&
      Compare(KeyOf(RawItem(Count() - 1)), KeyOf(Item)) < 0) {
    InsertAt(Count(), Item);
  } else {
    TSortedObjectList::Add(Item);
  }
  if (Entry->Zip64Info() != nullptr) FIsZip64 = true;
  return 0;
}

}  // namespace zem
