// Card tool: backup images, zip archives whose first 1024 bytes moved to the
// end to make room for a header block that marks the file and names the card.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/base.h"
#include "platform/file_view.h"

namespace zem {

// Layout of the header block that opens every backup image.
constexpr int64_t kImageHeaderSize = 1024;   // the block, and the archive bytes it displaces
constexpr int kImageNameFieldSize = 12;      // magic + the first 8 bytes of the label
constexpr char kImageMagic[] = "ZEM0";       // 5A 45 4D 30; case matters
constexpr unsigned char kImageFiller = 0xFF; // bytes 12..1023

// Results of UnwrapImage.
constexpr uint8_t kUnwrapDone = 0;
constexpr uint8_t kUnwrapNotAnImage = 255;

// Turns the archive at ArchivePath (Windows-style) into a backup image in
// place: its first 1024 bytes are appended to its end, then replaced by the
// header block "ZEM0" + the first 8 bytes of DriveLabel(Drive) (zero-padded)
// + 0xFF filler. Only one 1024-byte buffer is used, whatever the size. An
// archive shorter than 1024 bytes (a card without files, or with a few
// tiny ones) is first padded to 1024 bytes with an archive comment.
// Raises EFOpenError when the file cannot be opened for reading and writing
// (file unchanged), EReadError "Stream read error" when it is still shorter
// than 1024 bytes (no end record to pad: raised before anything is
// written), and the stream's write errors. The image is then flushed to
// its disk: EImageNotStored, with the system's reason, when the disk fails
// it (the file is an image then, but not one to rely on).
ZEM_DECLARE_EXCEPTION(EImageNotStored, EInOutError);
void WrapImage(const std::string& ArchivePath, char Drive);

// Writes the archive held in the image at ImagePath to ArchivePath,
// replacing any file there, and returns kUnwrapDone. Returns
// kUnwrapNotAnImage, writing nothing, when the image is shorter than 1024
// bytes or does not start with "ZEM0"; nothing else of the header is read.
// The archive is the image's last 1024 bytes followed by bytes 1024 up to the
// last 1024, S - 1024 bytes in all for an image of S bytes. It is streamed
// through a bounded buffer, so memory does not grow with the image's size.
// Raises EFOpenError when the image cannot be read and EFCreateError when the
// archive cannot be created. When reading or writing fails part way, the
// partial archive is deleted and the error raised. When both paths name the
// same file, the image is turned into the archive in place.
uint8_t UnwrapImage(const std::string& ImagePath, const std::string& ArchivePath);

// The archive held in the image at ImagePath, read in place: for as long
// as the object lives, ArchivePath (Windows-style) opens as that archive
// through the file-system seam, its bytes read from the image (its last
// 1024 bytes, then bytes 1024 up to them, as UnwrapImage lays them out),
// nothing copied. Reads fail as the image's own reads would; the archive
// cannot be written. IsImage() is false, and nothing is served, when the
// image is shorter than 1024 bytes or does not start with "ZEM0". Raises
// EFOpenError when the image cannot be read. Made and destroyed while no
// other thread uses files (it installs a file system).
class TImageArchive {
 public:
  TImageArchive(const std::string& ImagePath, const std::string& ArchivePath);
  ~TImageArchive();
  TImageArchive(const TImageArchive&) = delete;
  TImageArchive& operator=(const TImageArchive&) = delete;
  bool IsImage() const { return FView != nullptr; }

 private:
  std::unique_ptr<platform::TFileView> FView;
  std::optional<platform::TFileSystemOverride> FInstalled;
};

}  // namespace zem
