// libFuzzer entry for the reduce decoder.
#include "fuzz/decoder_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  zem::fuzz::FuzzReduceOne(Data, Size);
  return 0;
}
