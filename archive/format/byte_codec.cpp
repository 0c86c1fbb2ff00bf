// Reading from streams for the record decoders.
#include "archive/format/byte_codec.h"

namespace zem {

int64_t ReadUpTo(TStream& Stream, void* Buffer, int64_t Count) {
  auto* Out = static_cast<uint8_t*>(Buffer);
  int64_t Done = 0;
  while (Done < Count) {
    const int64_t Got = Stream.Read(Out + Done, Count - Done);
    if (Got <= 0) break;
    Done += Got;
  }
  return Done;
}

}  // namespace zem
