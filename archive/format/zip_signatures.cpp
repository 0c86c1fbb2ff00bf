// The signatures in use.
#include "archive/format/zip_signatures.h"

namespace zem {

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

}  // namespace zem
