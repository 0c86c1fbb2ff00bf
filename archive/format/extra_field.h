// Walking the extra field of a header: a run of blocks, each an id (u16),
// a data size (u16) and that many data bytes.
//
// The walk stays inside the field. It ends at the field's end, at a tail
// too short for a block header (1 to 3 bytes), and at a block claiming more
// data than the field has left; the blocks before such a damaged tail are
// still delivered, as every reader of this code has always taken them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/format/byte_codec.h"

namespace zem {

// The extended information block (Zip64 sizes, offset and disk number).
constexpr uint16_t Zip64ExtraId = 0x0001;

struct TExtraBlock {
  uint16_t Id = 0;
  uint16_t Size = 0;              // data bytes, without the 4-byte block header
  const uint8_t* Data = nullptr;  // Size bytes
  // The whole block as it stands in the field, header included.
  const uint8_t* Raw() const { return Data - 4; }
  size_t RawSize() const { return Size + 4u; }
};

class TExtraWalker {
 public:
  TExtraWalker(const uint8_t* Field, size_t Length) : FField(Field), FLength(Length) {}

  // The next complete block; false at the end of the walk.
  bool Next(TExtraBlock& Block) {
    if (FLength - FPos < 4) return false;
    const uint16_t Id = GetLE16(FField + FPos);
    const uint16_t Size = GetLE16(FField + FPos + 2);
    if (Size > FLength - FPos - 4) return false;
    Block.Id = Id;
    Block.Size = Size;
    Block.Data = FField + FPos + 4;
    FPos += 4u + Size;
    return true;
  }

  // After the walk: true when it ended before the field's end (a short tail
  // or a block claiming more bytes than were left).
  bool Damaged() const { return FPos != FLength; }

 private:
  const uint8_t* FField;
  size_t FLength;
  size_t FPos = 0;
};

}  // namespace zem
