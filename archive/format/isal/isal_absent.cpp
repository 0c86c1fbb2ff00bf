// A build without ISA-L: no backends, and every stream goes through zlib.
#include "archive/format/deflate_backend.h"

namespace zem {

bool IsalPresent() { return false; }
std::unique_ptr<TDeflater::TBackend> MakeIsalDeflater() { return nullptr; }
std::unique_ptr<TInflater::TBackend> MakeIsalInflater() { return nullptr; }

}  // namespace zem
