// libFuzzer entry point for the archive record readers.
#include <cstddef>
#include <cstdint>

#include "fuzz/records_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  zem::fuzz::RunRecordReaders(Data, Size);
  return 0;
}
