// Names, hosts, Unix modes and times of entries as the headers store them:
// the one pair of functions that turns the program's internal entry name
// into the stored bytes and back, the host systems of "version made by",
// and the extra blocks that carry Unicode names and exact times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zem {

// How the name of a new entry is written.
enum class TNameConvention : uint8_t {
  // Bytes as held, flag bit 11 as it stands (entries not made by the writer).
  AsHeld,
  // ASCII names as they are; other names that are valid UTF-8 as UTF-8
  // with flag bit 11; names whose bytes are not valid UTF-8 byte-exact,
  // without bit 11 (a reader that honours bit 11 would refuse them).
  Utf8,
  // Code page 437 when every character has a form there (old DOS tools
  // read nothing else), else UTF-8 with flag bit 11.
  CodePage,
};

// Host systems of the high byte of "version made by".
constexpr uint8_t kHostDos = 0;    // MS-DOS and FAT
constexpr uint8_t kHostUnix = 3;
constexpr uint8_t kHostOs2 = 6;    // HPFS
constexpr uint8_t kHostNtfs = 10;
constexpr uint8_t kHostVfat = 14;
constexpr uint8_t kHostOsx = 19;
// The low byte this writer puts beside the host: version 5.0 of the format.
constexpr uint8_t kMadeByVersion = 50;

// Whether the external attributes of a host keep a Unix mode in their high
// half, and whether their low byte holds DOS attributes.
inline bool HostKeepsUnixMode(uint8_t Host) { return Host == kHostUnix || Host == kHostOsx; }
inline bool HostKeepsDosAttributes(uint8_t Host) {
  return Host == kHostDos || Host == kHostOs2 || Host == kHostNtfs || Host == kHostVfat;
}

// Unix file types of a mode (the high half of the external attributes).
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixLink = 0120000;
constexpr uint32_t kUnixFile = 0100000;
constexpr uint32_t kUnixFolder = 0040000;

// Extra blocks read and written besides the Zip64 one.
constexpr uint16_t NtfsExtraId = 0x000A;       // NTFS times (FILETIME)
constexpr uint16_t TimestampExtraId = 0x5455;  // extended timestamp (Unix seconds, UTC)
constexpr uint16_t UnicodePathExtraId = 0x7075;  // Info-ZIP Unicode path

// True when Text is well-formed UTF-8 (no stray or missing continuation
// bytes, no overlong form, no surrogate, nothing beyond U+10FFFF).
bool IsValidUtf8(const std::string& Text);

struct TStoredName {
  std::string Bytes;  // with '/' between components
  bool Utf8 = false;  // the entry carries flag bit 11
};

// The stored form of an internal name ('\' between components, the bytes a
// Windows-style path cannot hold escaped by platform::NameFromNative) under
// Convention: '/' between components, each the Linux name's own bytes.
// Under AsHeld only the bytes are made (Utf8 then says nothing).
TStoredName StoredNameOf(const std::string& InternalName, TNameConvention Convention);

// The internal name of stored bytes: UTF-8 as it is with flag bit 11;
// without it, code page 437 from a DOS host when CodePage is set, else the
// bytes as they are (a Unix name, whatever its encoding, comes back
// byte-exact). Only '/' separates: each component becomes its internal
// form (platform::NameFromNative), joined with '\'.
std::string InternalNameOf(const std::string& StoredBytes, uint16_t Flags, uint8_t Host,
                           bool CodePage);

// What an extra field tells about an entry beside its sizes.
struct TExtraFacts {
  std::optional<int64_t> ModTime;      // UTC seconds (extended timestamp, else NTFS)
  std::optional<std::string> UnicodePath;  // UTF-8, only when its CRC matched the name
};

// Walks Length bytes of an extra field (a damaged tail ends the walk) and
// takes the modification time and the Unicode path. StoredName is the
// header's name as stored, whose CRC-32 the Unicode path block must carry.
TExtraFacts ReadExtraFacts(const uint8_t* Field, size_t Length, const std::string& StoredName);

// The extended-timestamp block with the modification time alone (9 bytes),
// as both headers carry it; empty when Time does not fit its 32 bits.
std::string TimestampBlock(int64_t Time);
// The NTFS block (36 bytes) with Time as its three times, for a time the
// extended timestamp cannot hold; empty before 1601.
std::string NtfsTimeBlock(int64_t Time);

}  // namespace zem
