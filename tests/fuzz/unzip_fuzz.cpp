// libFuzzer entry point for the whole reader: directory, scan and test of
// every entry over an archive held in memory.
#include <cstddef>
#include <cstdint>

#include "fuzz/unzip_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  (void)zem::fuzz::RunArchiveReader(Data, Size);
  return 0;
}
