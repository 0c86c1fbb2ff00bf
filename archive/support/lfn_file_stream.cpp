// A buffered file stream that owns its file.
#include "archive/support/lfn_file_stream.h"

namespace zem {

TLFNFileStream::TLFNFileStream(const std::string& FileName, uint16_t Mode, bool FlushOnClose,
                               int BufferSize)
    : detail::TOwnedFile{std::make_unique<TFileStream>(FileName, Mode)},
      TS_BufferStream(FFile.get(), BufferSize) {
  SetSyncOnClose(FlushOnClose && ModeWrites(Mode));
  // A file opened to be read is read by this stream alone while it is open
  // (archives are opened denying writes; a file being packed is read
  // once, front to back): going back into the read-ahead is safe.
  SetSeekWithinBuffer(!ModeWrites(Mode));
}

}  // namespace zem
