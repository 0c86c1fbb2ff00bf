// Stored names, the extra blocks of times and Unicode paths.
#include "archive/format/entry_names.h"

#include <algorithm>

#include "archive/format/byte_codec.h"
#include "archive/format/crc_crypt.h"
#include "archive/format/extra_field.h"
#include "archive/format/zip_signatures.h"
#include "platform/winapi.h"

namespace zem {

namespace {

// Seconds from 1601-01-01 (the NTFS epoch) to 1970-01-01, and its ticks.
constexpr int64_t kNtfsEpochDelta = 11644473600LL;
constexpr uint64_t kNtfsTicksPerSecond = 10000000;

bool IsAscii(const std::string& Text) {
  return std::all_of(Text.begin(), Text.end(), [](char C) { return (static_cast<unsigned char>(C) & 0x80) == 0; });
}

}  // namespace

bool IsValidUtf8(const std::string& Text) {
  size_t I = 0;
  const size_t N = Text.size();
  while (I < N) {
    const auto B0 = static_cast<unsigned char>(Text[I]);
    if (B0 < 0x80) {
      ++I;
      continue;
    }
    size_t Len;
    uint32_t Cp, Min;
    if ((B0 & 0xE0) == 0xC0) {
      Len = 2, Cp = B0 & 0x1Fu, Min = 0x80;
    } else if ((B0 & 0xF0) == 0xE0) {
      Len = 3, Cp = B0 & 0x0Fu, Min = 0x800;
    } else if ((B0 & 0xF8) == 0xF0) {
      Len = 4, Cp = B0 & 0x07u, Min = 0x10000;
    } else {
      return false;
    }
    if (N - I < Len) return false;
    for (size_t K = 1; K < Len; ++K) {
      const auto B = static_cast<unsigned char>(Text[I + K]);
      if ((B & 0xC0) != 0x80) return false;
      Cp = (Cp << 6) | (B & 0x3Fu);
    }
    if (Cp < Min || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF)) return false;
    I += Len;
  }
  return true;
}

TStoredName StoredNameOf(const std::string& InternalName, TNameConvention Convention) {
  TStoredName Out;
  // Inside, '\' separates components and the bytes a Windows-style path
  // cannot hold stand escaped (platform::NameFromNative); stored, '/'
  // separates and every component is its Linux bytes again.
  Out.Bytes = InternalName;
  std::replace(Out.Bytes.begin(), Out.Bytes.end(), '\\', '/');
  Out.Bytes = platform::NameToNative(Out.Bytes);
  if (IsAscii(Out.Bytes)) return Out;
  if (Convention == TNameConvention::CodePage) {
    bool Lossless = true;
    std::string Oem = platform::AnsiToOem(Out.Bytes, &Lossless);
    if (Lossless)
      Out.Bytes = std::move(Oem);
    else
      Out.Utf8 = true;  // the code page form would lose characters
    return Out;
  }
  // Bytes that are not UTF-8 under bit 11 would make readers that check
  // refuse the whole archive; without it they read the bytes as they are.
  Out.Utf8 = Convention == TNameConvention::Utf8 && IsValidUtf8(Out.Bytes);
  return Out;
}

std::string InternalNameOf(const std::string& StoredBytes, uint16_t Flags, uint8_t Host, bool CodePage) {
  std::string Name = StoredBytes;
  if ((Flags & zfUtf8Name) == 0 && Host == kHostDos && CodePage) Name = platform::OemToAnsi(Name);
  // Only '/' separates; each component's bytes, '\' and ':' included,
  // become the internal form of that Linux name.
  std::string Internal;
  Internal.reserve(Name.size());
  size_t Start = 0;
  for (;;) {
    const size_t End = Name.find('/', Start);
    Internal += platform::NameFromNative(Name.substr(Start, End == std::string::npos ? End : End - Start));
    if (End == std::string::npos) return Internal;
    Internal += '\\';
    Start = End + 1;
  }
}

/*
 * The extended timestamp block: a flags byte (bit 0 modification, bit 1
 * access, bit 2 creation time) and then the times the flags name, each a
 * 32-bit count of seconds since 1970 UTC; a central header carries at most
 * the modification time, whatever its flags say. NTFS block: 4 reserved
 * bytes, then tagged attributes; tag 1 (24 bytes) holds the modification,
 * access and creation times in 100 ns ticks since 1601 UTC. The Unicode
 * path block: version 1, the CRC-32 of the header's name, the UTF-8 name;
 * a CRC that does not match means the name was changed by a tool that did
 * not know the block, which then no longer applies.
 */
TExtraFacts ReadExtraFacts(const uint8_t* Field, size_t Length, const std::string& StoredName) {
  TExtraFacts Facts;
  std::optional<int64_t> NtfsTime;
  TExtraWalker Walk(Field, Length);
  TExtraBlock Block;
  while (Walk.Next(Block)) {
    TRecordReader R(Block.Data, Block.Size);
    if (Block.Id == TimestampExtraId && !Facts.ModTime) {
      const uint8_t Flags = R.U8();
      const uint32_t Time = R.U32();
      if (R.Ok() && (Flags & 1) != 0) Facts.ModTime = static_cast<int64_t>(Time);
    } else if (Block.Id == NtfsExtraId && !NtfsTime) {
      R.Skip(4);
      while (R.Left() >= 4) {
        const uint16_t Tag = R.U16();
        const uint16_t Size = R.U16();
        if (Tag == 1 && Size >= 8) {
          const uint64_t Ticks = R.U64();
          if (R.Ok() && Ticks != 0)
            NtfsTime = static_cast<int64_t>(Ticks / kNtfsTicksPerSecond) - kNtfsEpochDelta;
          break;
        }
        R.Skip(Size);
      }
    } else if (Block.Id == UnicodePathExtraId && !Facts.UnicodePath) {
      const uint8_t Version = R.U8();
      const uint32_t Crc = R.U32();
      if (!R.Ok() || Version != 1) continue;
      const uint32_t NameCrc = ~UpdateCrcBuffer(kCrcPreset, StoredName.data(), StoredName.size());
      const size_t Left = R.Left();
      std::string Path(reinterpret_cast<const char*>(R.Bytes(Left)), Left);
      if (Crc == NameCrc && !Path.empty() && IsValidUtf8(Path)) Facts.UnicodePath = std::move(Path);
    }
  }
  if (!Facts.ModTime) Facts.ModTime = NtfsTime;
  return Facts;
}

std::string TimestampBlock(int64_t Time) {
  if (Time < 0 || Time > static_cast<int64_t>(UINT32_MAX)) return std::string();
  TRecordWriter W;
  W.U16(TimestampExtraId);
  W.U16(5);
  const uint8_t Flags = 1;
  W.Raw(&Flags, 1);
  W.U32(static_cast<uint32_t>(Time));
  return W.Bytes();
}

std::string NtfsTimeBlock(int64_t Time) {
  if (Time < -kNtfsEpochDelta) return std::string();
  const uint64_t Ticks = static_cast<uint64_t>(Time + kNtfsEpochDelta) * kNtfsTicksPerSecond;
  TRecordWriter W;
  W.U16(NtfsExtraId);
  W.U16(32);
  W.U32(0);
  W.U16(1);
  W.U16(24);
  for (int K = 0; K < 3; ++K) W.U64(Ticks);  // modified, accessed, created
  return W.Bytes();
}

}  // namespace zem
