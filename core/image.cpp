// Card tool: wrapping an archive into a backup image and unwrapping it again.
#include "core/image.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "core/drives.h"
#include "platform/stream.h"
#include "platform/winapi.h"

namespace zem {

namespace {

namespace pf = zem::platform;

// Unwrapping copies the image's body through a buffer of this size: large
// enough for long sequential transfers, small enough that a card image of
// any size unwraps in bounded memory.
constexpr int64_t kCopyBufferSize = 4 << 20;

// Whether two Windows-style names lead to the same native path. Only the
// names are compared (no file system access), which catches the same file
// named twice; links are not followed.
bool SamePath(const std::string& A, const std::string& B) {
  const std::string NativeA = pf::ToNativePath(A);
  const std::string NativeB = pf::ToNativePath(B);
  if (NativeA.empty() || NativeB.empty()) return false;
  return std::filesystem::path(NativeA).lexically_normal() ==
         std::filesystem::path(NativeB).lexically_normal();
}

// Copies Count bytes from Source's offset From to Dest's position.
void CopyRange(TStream& Source, int64_t From, int64_t Count, TStream& Dest,
               std::vector<char>& Buffer) {
  Source.SetPosition(From);
  while (Count > 0) {
    const int64_t N = std::min<int64_t>(Count, static_cast<int64_t>(Buffer.size()));
    Source.ReadBuffer(Buffer.data(), N);
    Dest.WriteBuffer(Buffer.data(), N);
    Count -= N;
  }
}

// The image is also the destination: the archive's middle part already
// stands at offset 1024, so the displaced first block goes back to the front
// and the file is cut to the archive's length.
void UnwrapInPlace(TStream& Image, int64_t Size) {
  char Tail[kImageHeaderSize];
  Image.SetPosition(Size - kImageHeaderSize);
  Image.ReadBuffer(Tail, kImageHeaderSize);
  Image.SetPosition(0);
  Image.WriteBuffer(Tail, std::min<int64_t>(kImageHeaderSize, Size - kImageHeaderSize));
  Image.SetSize(Size - kImageHeaderSize);
}

}  // namespace

namespace {

constexpr uint32_t kEndSignature = 0x06054B50;  // "PK\5\6"
constexpr int64_t kEndRecordSize = 22;

// An archive shorter than the header block it must give up (a card with no
// files or a few tiny ones) gets an archive comment long enough to make it
// 1024 bytes: the comment is the one free-form field at its very end, so
// every reader still finds the same entries. Only an archive ending with an
// end record without comment can be padded so; any other is left as it is
// (the wrapping then fails as for any short file).
void PadArchive(TStream& Archive) {
  const int64_t Size = Archive.Size();
  if (Size >= kImageHeaderSize || Size < kEndRecordSize) return;
  unsigned char End[kEndRecordSize];
  Archive.SetPosition(Size - kEndRecordSize);
  Archive.ReadBuffer(End, kEndRecordSize);
  const uint32_t Signature = static_cast<uint32_t>(End[0]) | static_cast<uint32_t>(End[1]) << 8 |
                             static_cast<uint32_t>(End[2]) << 16 |
                             static_cast<uint32_t>(End[3]) << 24;
  if (Signature != kEndSignature || End[20] != 0 || End[21] != 0) return;
  const auto Pad = static_cast<uint16_t>(kImageHeaderSize - Size);
  const unsigned char Length[2] = {static_cast<unsigned char>(Pad & 0xFF),
                                   static_cast<unsigned char>(Pad >> 8)};
  Archive.SetPosition(Size - 2);
  Archive.WriteBuffer(Length, 2);
  std::string Comment(Pad, ' ');
  const char Text[] = "ZEM Tools backup";
  Comment.replace(0, std::min<size_t>(Pad, sizeof Text - 1), Text, std::min<size_t>(Pad, sizeof Text - 1));
  Archive.WriteBuffer(Comment.data(), Pad);
}

}  // namespace

void WrapImage(const std::string& ArchivePath, char Drive) {
  TFileStream Archive(ArchivePath, fmOpenReadWrite);
  PadArchive(Archive);
  Archive.SetPosition(0);
  char Buffer[kImageHeaderSize];
  Archive.ReadBuffer(Buffer, kImageHeaderSize);
  Archive.Seek(0, soEnd);
  Archive.WriteBuffer(Buffer, kImageHeaderSize);
  Archive.Seek(0, soBeginning);
  std::memset(Buffer, kImageFiller, sizeof Buffer);
  const std::string Name = std::string(kImageMagic) + DriveLabel(Drive);
  std::memset(Buffer, 0, kImageNameFieldSize);
  std::memcpy(Buffer, Name.data(), std::min<size_t>(Name.size(), kImageNameFieldSize));
  Archive.WriteBuffer(Buffer, kImageHeaderSize);
  // A disk may take the writes into its cache and fail them later: the
  // image is a backup only once the disk holds it.
  if (!pf::FlushFileBuffers(Archive.Handle()))
    throw EImageNotStored(Format("The image %s could not be stored on its disk: %s",
                             pf::ToNativePath(ArchivePath).c_str(),
                             pf::SysErrorMessage(pf::GetLastError()).c_str()));
}

uint8_t UnwrapImage(const std::string& ImagePath, const std::string& ArchivePath) {
  const bool InPlace = SamePath(ImagePath, ArchivePath);
  TFileStream Image(ImagePath, InPlace ? fmOpenReadWrite : fmOpenRead | fmShareDenyWrite);
  const int64_t Size = Image.Size();
  if (Size < kImageHeaderSize) return kUnwrapNotAnImage;
  char Magic[4];
  Image.ReadBuffer(Magic, sizeof Magic);
  if (std::memcmp(Magic, kImageMagic, sizeof Magic) != 0) return kUnwrapNotAnImage;

  if (InPlace) {
    UnwrapInPlace(Image, Size);
    return kUnwrapDone;
  }

  // The archive is S - 1024 bytes: first the image's last block (only its
  // first S - 1024 bytes when the image is shorter than two blocks), then the
  // body between the header block and that last block.
  const int64_t ArchiveSize = Size - kImageHeaderSize;
  const int64_t HeadCount = std::min(kImageHeaderSize, ArchiveSize);
  const int64_t BodyCount = ArchiveSize - HeadCount;
  auto Archive = std::make_unique<TFileStream>(ArchivePath, fmCreate);
  try {
    std::vector<char> Buffer(
        static_cast<size_t>(std::clamp<int64_t>(BodyCount, kImageHeaderSize, kCopyBufferSize)));
    CopyRange(Image, Size - kImageHeaderSize, HeadCount, *Archive, Buffer);
    CopyRange(Image, kImageHeaderSize, BodyCount, *Archive, Buffer);
  } catch (...) {
    // A partial archive must not be mistaken for a good one: close and delete it.
    Archive.reset();
    pf::DeleteFileA(ArchivePath.c_str());
    throw;
  }
  return kUnwrapDone;
}

TImageArchive::TImageArchive(const std::string& ImagePath, const std::string& ArchivePath) {
  int64_t Size = 0;
  {
    TFileStream Image(ImagePath, fmOpenRead | fmShareDenyWrite);
    Size = Image.Size();
    if (Size < kImageHeaderSize) return;
    char Magic[4];
    Image.ReadBuffer(Magic, sizeof Magic);
    if (std::memcmp(Magic, kImageMagic, sizeof Magic) != 0) return;
  }
  // The same two parts UnwrapImage copies, in the same order.
  const int64_t ArchiveSize = Size - kImageHeaderSize;
  const int64_t HeadCount = std::min(kImageHeaderSize, ArchiveSize);
  std::vector<platform::TFileRange> Ranges{{Size - kImageHeaderSize, HeadCount}};
  if (ArchiveSize > HeadCount) Ranges.push_back({kImageHeaderSize, ArchiveSize - HeadCount});
  FView = std::make_unique<platform::TFileView>(pf::ToNativePath(ArchivePath), pf::ToNativePath(ImagePath),
                                                std::move(Ranges));
  FInstalled.emplace(*FView);
}

TImageArchive::~TImageArchive() {
  FInstalled.reset();  // out of use before the view goes
}

}  // namespace zem
