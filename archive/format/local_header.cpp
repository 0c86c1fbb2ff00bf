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

}  // namespace zem
