// One run of the archive record readers over arbitrary bytes, shared by the
// libFuzzer target and the replay test. Besides staying inside its buffers
// (which the sanitizers check), a run checks that a central header read from
// the input, written again and read back describes the same entry; a
// difference aborts, so the fuzzer reports it as a crash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "archive/format/zip_records.h"
#include "platform/stream.h"

namespace zem::fuzz {

inline void Require(bool Condition, const char* What) {
  if (!Condition) {
    std::fprintf(stderr, "records fuzz: %s\n", What);
    std::abort();
  }
}

// Writes Entry's central header and reads it back; the two must agree.
inline void CheckCentralRoundTrip(TZipHeaderInfo& Entry, TStream& Source) {
  TMemoryStream Out;
  Entry.WriteCentral(Out, &Source);
  Require(Out.Size() == static_cast<int64_t>(Entry.CentralSize()), "written size differs from CentralSize");
  Out.SetPosition(0);
  TZipHeaderInfo Back;
  Back.SetOEMConvert(Entry.OEMConvert());
  Require(Back.ReadCentral(Out), "a written central header does not read back");
  Require(Back.FullName() == Entry.FullName(), "name changed on the way through");
  Require(Back.Directory() == Entry.Directory(), "directory split changed");
  Require(Back.Crc32() == Entry.Crc32(), "CRC changed");
  Require(Back.CompressedSize() == Entry.CompressedSize(), "compressed size changed");
  Require(Back.UncompressedSize() == Entry.UncompressedSize(), "uncompressed size changed");
  Require(Back.RelativeOffset() == Entry.RelativeOffset(), "offset changed");
  Require(Back.DiskNumberStart() == Entry.DiskNumberStart(), "disk number changed");
  Require(Back.FileCommentLength() == Entry.FileCommentLength(), "comment length changed");
  Require(Back.CentralExtraLength() == Entry.CentralExtraLength(), "extra length changed");
}

inline void RunRecordReaders(const uint8_t* Data, size_t Size) {
  TMemoryStream In(std::string(reinterpret_cast<const char*>(Data), Size));
  const int64_t InSize = In.Size();

  // End record, then the central directory it points at.
  TEndCentral End;
  std::vector<uint64_t> LocalOffsets;
  if (End.FindEndRecord(In)) {
    (void)End.NumberOfThisDisk();
    (void)End.DiskWithCentralDir();
    (void)End.EntriesOnThisDisk();
    (void)End.CentralDirSize();
    const uint64_t Total = End.TotalEntries();
    const uint64_t Offset = End.CentralDirOffset();
    if (Offset < static_cast<uint64_t>(InSize)) {
      In.SetPosition(static_cast<int64_t>(Offset));
      // Every header takes at least 46 bytes, so this bounds the loop by the
      // input whatever the count claims.
      for (uint64_t I = 0; I < Total && I < static_cast<uint64_t>(InSize) / 46 + 1; ++I) {
        TZipHeaderInfo Entry;
        Entry.SetOEMConvert(true);
        const int64_t Before = In.Position();
        if (!Entry.ReadCentral(In)) {
          Require(In.Position() == Before, "failed central read moved the stream");
          break;
        }
        LocalOffsets.push_back(Entry.RelativeOffset());
        const int64_t Next = In.Position() + Entry.CentralExtraLength() + Entry.FileCommentLength();
        CheckCentralRoundTrip(Entry, In);
        In.SetPosition(Next);
      }
    }
    TMemoryStream Out;
    End.WriteEndRecord(Out);
    Require(Out.Size() >= 22, "end record too short");
  }

  // A central header at every place its signature appears (bounded).
  int Tries = 0;
  for (size_t I = 0; I + 4 <= Size && Tries < 64; ++I) {
    if (Data[I] == 0x50 && Data[I + 1] == 0x4B && Data[I + 2] == 0x01 && Data[I + 3] == 0x02) {
      ++Tries;
      TZipHeaderInfo Entry;
      Entry.SetOEMConvert((I & 1) == 0);
      In.SetPosition(static_cast<int64_t>(I));
      if (Entry.ReadCentral(In)) CheckCentralRoundTrip(Entry, In);
    }
  }

  // Local headers: at the start, where the directory points, and where a
  // local signature appears.
  LocalOffsets.push_back(0);
  for (size_t I = 0; I + 4 <= Size && LocalOffsets.size() < 128; ++I)
    if (Data[I] == 0x50 && Data[I + 1] == 0x4B && Data[I + 2] == 0x03 && Data[I + 3] == 0x04)
      LocalOffsets.push_back(I);
  for (uint64_t Offset : LocalOffsets) {
    if (Offset >= static_cast<uint64_t>(InSize)) continue;
    TZipHeaderInfo Entry;
    Entry.SetOEMConvert(true);
    In.SetPosition(static_cast<int64_t>(Offset));
    if (Entry.ReadLocal(In)) {
      (void)Entry.CompressedSize();
      (void)Entry.UncompressedSize();
      TMemoryStream Out;
      Entry.WriteLocal(Out);
      Require(Out.Size() == static_cast<int64_t>(30 + Entry.FileNameLength()), "local header size");
    } else {
      Require(In.Position() == static_cast<int64_t>(Offset), "failed local read moved the stream");
    }
  }
}

}  // namespace zem::fuzz
