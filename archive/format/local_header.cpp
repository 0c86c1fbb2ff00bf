// The local header reader.
#include "archive/format/local_header.h"

#include "archive/format/byte_codec.h"

namespace zem {

TLocalRead ReadLocalHeader(const TLocalSource& Source, TLocalHeader& Out, bool WithName) {
  uint8_t Image[ZipLocalHeaderSize];
  if (Source(Image, ZipLocalHeaderSize) != ZipLocalHeaderSize) return TLocalRead::Short;
  TRecordReader R(Image, ZipLocalHeaderSize);
  if (R.U32() != ZipSignatures.Local) return TLocalRead::NoSignature;
  Out.VersionNeeded = R.U16();
  Out.Flags = R.U16();
  Out.CompressionMethod = R.U16();
  Out.FileDateTime = R.U32();
  Out.Crc32 = R.U32();
  Out.CompressedSize = R.U32();
  Out.UncompressedSize = R.U32();
  Out.FileNameLength = R.U16();
  Out.ExtraLength = R.U16();
  Out.Name.clear();
  if (WithName && Out.FileNameLength != 0) {
    Out.Name.resize(Out.FileNameLength);
    if (Source(reinterpret_cast<uint8_t*>(Out.Name.data()), Out.FileNameLength) != Out.FileNameLength)
      return TLocalRead::Short;
  }
  return TLocalRead::Ok;
}

TLocalRead ReadLocalHeader(TStream& Stream, TLocalHeader& Out, bool WithName) {
  return ReadLocalHeader(
      [&Stream](uint8_t* Buffer, int64_t Count) { return ReadUpTo(Stream, Buffer, Count); }, Out,
      WithName);
}

bool MatchDataDescriptor(const uint8_t* Tail, size_t TailLength, uint64_t Span, bool Zip64,
                         TDataDescriptor& Out) {
  struct TForm {
    bool Signed;
    bool Wide;
  };
  const TForm Narrow[] = {{true, false}, {false, false}};
  const TForm Wide[] = {{true, true}, {false, true}};
  const TForm* Order[2] = {Zip64 ? Wide : Narrow, Zip64 ? Narrow : Wide};
  for (const TForm* Pair : Order)
    for (int I = 0; I < 2; ++I) {
      const TForm F = Pair[I];
      const uint32_t Length = (F.Signed ? 4u : 0u) + (F.Wide ? 20u : 12u);
      if (TailLength < Length || Span < Length) continue;
      const uint8_t* D = Tail + TailLength - Length;
      if (F.Signed) {
        if (GetLE32(D) != ZipDataDescriptorSignature) continue;
        D += 4;
      }
      TDataDescriptor Got;
      Got.Crc32 = GetLE32(D);
      Got.CompressedSize = F.Wide ? GetLE64(D + 4) : GetLE32(D + 4);
      Got.UncompressedSize = F.Wide ? GetLE64(D + 12) : GetLE32(D + 8);
      Got.Length = Length;
      if (Got.CompressedSize != Span - Length) continue;
      Out = Got;
      return true;
    }
  return false;
}

}  // namespace zem
