// Zip archive constants: the record signatures (replaceable at start-up),
// the general purpose flag bits this code looks at, the fixed record sizes
// and the Zip64 markers.
#pragma once

#include <cstdint>

namespace zem {

struct TZipSignatures {
  uint32_t Central = 0x02014B50;
  uint32_t Local = 0x04034B50;
  uint32_t End = 0x06054B50;
  uint32_t Zip64End = 0x06064B50;
  uint32_t Zip64Locator = 0x07064B50;
  uint8_t LocalBytes[4] = {0x50, 0x4B, 0x03, 0x04};  // for byte-wise scans
  uint8_t EndFirstByte = 0x50;
};

// The optional signature in front of a data descriptor (never replaced).
constexpr uint32_t ZipDataDescriptorSignature = 0x08074B50;

// The signatures in use, set at start-up with the standard values.
extern TZipSignatures ZipSignatures;

// Start-up routine: replacement values for the central, local and end
// signatures (0 keeps the standard value). Also refreshes LocalBytes and
// EndFirstByte.
void InitZipSignatures(uint32_t Central = 0, uint32_t Local = 0, uint32_t End = 0);

// General purpose flag bits this code looks at.
enum : uint16_t {
  zfEncrypted = 0x0001,
  zfDataDescriptor = 0x0008,
  zfUtf8Name = 0x0800,  // the stored name is UTF-8, not OEM
};

constexpr uint32_t ZipLocalHeaderSize = 30;
constexpr uint32_t ZipCentralHeaderSize = 46;
constexpr uint32_t ZipEndRecordSize = 22;
constexpr uint32_t Zip64EndRecordSize = 56;
constexpr uint32_t Zip64LocatorSize = 20;
// Largest distance of the end record from the end of the file: a 65535-byte
// comment after the 22-byte record.
constexpr uint32_t ZipEndSearchWindow = 65535 + 22;

// The all-ones values a 32-bit or 16-bit field holds when its value is in
// a Zip64 record instead.
constexpr uint32_t ZipMarker32 = 0xFFFFFFFFu;
constexpr uint16_t ZipMarker16 = 0xFFFF;

}  // namespace zem
