// The end records: the Zip64 twins of the end record's fields, the search
// from the end of the file and the write.
#include "archive/format/zip_end.h"

#include <algorithm>
#include <vector>

#include "archive/format/byte_codec.h"

namespace zem {

TEndCentral::TEndCentral() { Clear(); }
TEndCentral::~TEndCentral() = default;

void TEndCentral::Clear() {
  FRecord = TZipEndCentral();
  FRecord.HeaderSig = ZipSignatures.End;
  FZipComment.reset();
  FZipCommentPos = 0;
  FCutCommentLength = 0;
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
  if (FRecord.NumberOfThisDisk == ZipMarker16 && FZip64EndRecord) return FZip64EndRecord->NumberOfThisDisk;
  return FRecord.NumberOfThisDisk;
}

void TEndCentral::SetNumberOfThisDisk(uint32_t V) {
  if (V > 0xFFFE) {
    EnsureZip64EndRecord().NumberOfThisDisk = V;
    FRecord.NumberOfThisDisk = ZipMarker16;
  } else {
    FRecord.NumberOfThisDisk = static_cast<uint16_t>(V);
  }
}

uint32_t TEndCentral::DiskWithCentralDir() const {
  if (FRecord.DiskWithCentralDir == ZipMarker16 && FZip64EndRecord)
    return FZip64EndRecord->DiskWithCentralDir;
  return FRecord.DiskWithCentralDir;
}

void TEndCentral::SetDiskWithCentralDir(uint32_t V) {
  if (V > 0xFFFE) {
    EnsureZip64EndRecord().DiskWithCentralDir = V;
    FRecord.DiskWithCentralDir = ZipMarker16;
  } else {
    FRecord.DiskWithCentralDir = static_cast<uint16_t>(V);
  }
}

uint64_t TEndCentral::EntriesOnThisDisk() const {
  if (FRecord.EntriesOnThisDisk == ZipMarker16 && FZip64EndRecord) return FZip64EndRecord->EntriesOnThisDisk;
  return FRecord.EntriesOnThisDisk;
}

void TEndCentral::SetEntriesOnThisDisk(uint64_t V) {
  if (V > 0xFFFE) {
    EnsureZip64EndRecord().EntriesOnThisDisk = V;
    FRecord.EntriesOnThisDisk = ZipMarker16;
  } else {
    FRecord.EntriesOnThisDisk = static_cast<uint16_t>(V);
    if (FZip64EndRecord) FZip64EndRecord->EntriesOnThisDisk = V;
  }
}

uint64_t TEndCentral::TotalEntries() const {
  if (FRecord.TotalEntries == ZipMarker16 && FZip64EndRecord) return FZip64EndRecord->TotalEntries;
  return FRecord.TotalEntries;
}

void TEndCentral::SetTotalEntries(uint64_t V) {
  if (V > 0xFFFE) {
    EnsureZip64EndRecord().TotalEntries = V;
    FRecord.TotalEntries = ZipMarker16;
  } else {
    FRecord.TotalEntries = static_cast<uint16_t>(V);
    if (FZip64EndRecord) FZip64EndRecord->TotalEntries = V;
  }
}

uint64_t TEndCentral::CentralDirSize() const {
  if (FRecord.CentralDirSize == ZipMarker32 && FZip64EndRecord) return FZip64EndRecord->CentralDirSize;
  return FRecord.CentralDirSize;
}

void TEndCentral::SetCentralDirSize(uint64_t V) {
  if (V >= ZipMarker32) {
    EnsureZip64EndRecord().CentralDirSize = V;
    FRecord.CentralDirSize = ZipMarker32;
  } else {
    FRecord.CentralDirSize = static_cast<uint32_t>(V);
    if (FZip64EndRecord) FZip64EndRecord->CentralDirSize = V;
  }
}

uint64_t TEndCentral::CentralDirOffset() const {
  if (FRecord.CentralDirOffset == ZipMarker32 && FZip64EndRecord) return FZip64EndRecord->CentralDirOffset;
  return FRecord.CentralDirOffset;
}

void TEndCentral::SetCentralDirOffset(uint64_t V) {
  if (V >= ZipMarker32) {
    EnsureZip64EndRecord().CentralDirOffset = V;
    FRecord.CentralDirOffset = ZipMarker32;
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
    if (Window[static_cast<size_t>(Off)] == First && GetLE32(&Window[static_cast<size_t>(Off)]) == Sig) {
      Found = Off;
      break;
    }
  }
  if (Found < 0) return false;

  const uint8_t* R = &Window[static_cast<size_t>(Found)];
  FRecord.HeaderSig = Sig;
  FRecord.NumberOfThisDisk = GetLE16(R + 4);
  FRecord.DiskWithCentralDir = GetLE16(R + 6);
  FRecord.EntriesOnThisDisk = GetLE16(R + 8);
  FRecord.TotalEntries = GetLE16(R + 10);
  FRecord.CentralDirSize = GetLE32(R + 12);
  FRecord.CentralDirOffset = GetLE32(R + 16);
  FRecord.ZipCommentLength = GetLE16(R + 20);
  FZipCommentPos = S - N + Found + static_cast<int64_t>(ZipEndRecordSize);
  FCutCommentLength = 0;
  if (FZipCommentPos + FRecord.ZipCommentLength > S) {
    FCutCommentLength = FRecord.ZipCommentLength;
    FRecord.ZipCommentLength = static_cast<uint16_t>(S - FZipCommentPos);
  }

  // Zip64 images from an earlier archive must not answer for this one.
  FreeZip64();
  if (Found >= static_cast<int64_t>(Zip64LocatorSize)) {
    const uint8_t* L = R - Zip64LocatorSize;
    if (GetLE32(L) == ZipSignatures.Zip64Locator) {
      TZip64Locator& Loc = EnsureZip64Locator();
      Loc.HeaderSig = GetLE32(L);
      Loc.DiskWithZip64End = GetLE32(L + 4);
      Loc.Zip64EndOffset = GetLE64(L + 8);
      Loc.TotalDisks = GetLE32(L + 16);
      uint8_t E[Zip64EndRecordSize];
      if (Loc.Zip64EndOffset <= static_cast<uint64_t>(S) - Zip64EndRecordSize &&
          static_cast<uint64_t>(S) >= Zip64EndRecordSize) {
        Stream.Seek(static_cast<int64_t>(Loc.Zip64EndOffset), soBeginning);
        if (ReadUpTo(Stream, E, Zip64EndRecordSize) == Zip64EndRecordSize &&
            GetLE32(E) == ZipSignatures.Zip64End) {
          TZip64EndCentral& Z = EnsureZip64EndRecord();
          Z.HeaderSig = GetLE32(E);
          Z.RecordSize = GetLE64(E + 4);
          Z.VersionMadeBy = GetLE16(E + 12);
          Z.VersionNeeded = GetLE16(E + 14);
          Z.NumberOfThisDisk = GetLE32(E + 16);
          Z.DiskWithCentralDir = GetLE32(E + 20);
          Z.EntriesOnThisDisk = GetLE64(E + 24);
          Z.TotalEntries = GetLE64(E + 32);
          Z.CentralDirSize = GetLE64(E + 40);
          Z.CentralDirOffset = GetLE64(E + 48);
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
    if (FRecord.DiskWithCentralDir == ZipMarker16) Needed = true; else Z.DiskWithCentralDir = FRecord.DiskWithCentralDir;
    if (FRecord.NumberOfThisDisk == ZipMarker16) Needed = true; else Z.NumberOfThisDisk = FRecord.NumberOfThisDisk;
    if (FRecord.EntriesOnThisDisk == ZipMarker16) Needed = true; else Z.EntriesOnThisDisk = FRecord.EntriesOnThisDisk;
    if (FRecord.TotalEntries == ZipMarker16) Needed = true; else Z.TotalEntries = FRecord.TotalEntries;
    if (FRecord.CentralDirSize == ZipMarker32) Needed = true; else Z.CentralDirSize = FRecord.CentralDirSize;
    if (FRecord.CentralDirOffset == ZipMarker32) Needed = true; else Z.CentralDirOffset = FRecord.CentralDirOffset;
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
  W.WriteTo(Stream);
}

}  // namespace zem
