// A buffered file stream that owns its file.
#include "archive/support/lfn_file_stream.h"

namespace zem {

TLFNFileStream::TLFNFileStream(const std::string& FileName, uint16_t Mode, bool FlushOnClose,
                               int BufferSize)
    : detail::TOwnedFile{std::make_unique<TFileStream>(FileName, Mode)},
      TS_BufferStream(FFile.get(), BufferSize) {
  SetSyncOnClose(FlushOnClose && ModeWrites(Mode));
}

}  // namespace zem
