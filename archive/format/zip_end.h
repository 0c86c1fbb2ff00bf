// The end of an archive: TEndCentral carries the end of central directory
// record, its Zip64 companions and the archive comment, finds them and
// writes them.
//
// The end record search never raises on bad bytes and allocates at most the
// fixed 65557-byte window; errors raised by the stream pass through.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "archive/format/zip_signatures.h"
#include "platform/base.h"
#include "platform/stream.h"

namespace zem {

// The 22-byte end of central directory record.
struct TZipEndCentral {
  uint32_t HeaderSig = 0x06054B50;
  uint16_t NumberOfThisDisk = 0;
  uint16_t DiskWithCentralDir = 0;
  uint16_t EntriesOnThisDisk = 0;
  uint16_t TotalEntries = 0;
  uint32_t CentralDirSize = 0;
  uint32_t CentralDirOffset = 0;
  uint16_t ZipCommentLength = 0;
};

// The 56-byte Zip64 end of central directory record.
struct TZip64EndCentral {
  uint32_t HeaderSig = 0x06064B50;
  uint64_t RecordSize = 44;
  uint16_t VersionMadeBy = 50;
  uint16_t VersionNeeded = 45;
  uint32_t NumberOfThisDisk = 0;
  uint32_t DiskWithCentralDir = 0;
  uint64_t EntriesOnThisDisk = 0;
  uint64_t TotalEntries = 0;
  uint64_t CentralDirSize = 0;
  uint64_t CentralDirOffset = 0;
};

// The 20-byte Zip64 end of central directory locator.
struct TZip64Locator {
  uint32_t HeaderSig = 0x07064B50;
  uint32_t DiskWithZip64End = 0;
  uint64_t Zip64EndOffset = 0;
  uint32_t TotalDisks = 1;
};

class TEndCentral : public TPersistent {
 public:
  TEndCentral();
  ~TEndCentral() override;
  TEndCentral(const TEndCentral&) = delete;
  TEndCentral& operator=(const TEndCentral&) = delete;

  // End signature, the seven fields 0, comment dropped, ZipCommentPos 0,
  // Modified false. The Zip64 images stay as they are.
  void Clear();
  // Copies the 22-byte image, the comment (its length then taken from the
  // copied text) and ZipCommentPos; not the Zip64 images.
  void Assign(const TPersistent* Source) override;

  // The end record image as it stands.
  const TZipEndCentral& Record() const { return FRecord; }
  TZipEndCentral& Record() { return FRecord; }

  // Reading gives the field, or the Zip64 end record's value when the
  // field holds its all-ones marker and that record exists. Writing a value
  // that does not fit below the marker puts it in the Zip64 end record
  // (created when absent) and the marker in the field; otherwise the field
  // gets the value (and, for the entry counts and the directory size, the
  // Zip64 end record too when it exists).
  uint32_t NumberOfThisDisk() const;
  void SetNumberOfThisDisk(uint32_t V);
  uint32_t DiskWithCentralDir() const;
  void SetDiskWithCentralDir(uint32_t V);
  uint64_t EntriesOnThisDisk() const;
  void SetEntriesOnThisDisk(uint64_t V);
  uint64_t TotalEntries() const;
  void SetTotalEntries(uint64_t V);
  uint64_t CentralDirSize() const;
  void SetCentralDirSize(uint64_t V);
  uint64_t CentralDirOffset() const;
  void SetCentralDirOffset(uint64_t V);

  uint16_t ZipCommentLength() const { return FRecord.ZipCommentLength; }
  void SetZipCommentLength(uint16_t V) { FRecord.ZipCommentLength = V; }
  const std::optional<std::string>& ZipComment() const { return FZipComment; }
  // Keeps a copy (at most 65535 bytes) and sets ZipCommentLength to its
  // length.
  void SetZipComment(const std::string& Text);
  int64_t ZipCommentPos() const { return FZipCommentPos; }
  void SetZipCommentPos(int64_t V) { FZipCommentPos = V; }
  // The comment length the end record announced when it ran past the end
  // of the file (FindEndRecord then takes the bytes that are there as the
  // comment); 0 when the announced comment was all there.
  uint32_t CutCommentLength() const { return FCutCommentLength; }
  bool Modified() const { return FModified; }
  void SetModified(bool V) { FModified = V; }
  bool HasComment() const { return FRecord.ZipCommentLength != 0; }
  uint32_t EndRecordSize() const { return 22u + FRecord.ZipCommentLength; }

  const TZip64EndCentral* Zip64EndRecord() const { return FZip64EndRecord.get(); }
  TZip64EndCentral& EnsureZip64EndRecord();
  const TZip64Locator* Zip64Locator() const { return FZip64Locator.get(); }
  TZip64Locator& EnsureZip64Locator();
  void FreeZip64() {
    FZip64EndRecord.reset();
    FZip64Locator.reset();
  }

  // Searches the last 65557 bytes for the end record, the one nearest the
  // end of the file winning. A 0-byte stream is an empty archive (true, the
  // record as it was); 1 to 21 bytes or no signature: false. Takes a Zip64
  // locator right before the record, and the Zip64 end record it points at
  // when 56 correctly signed bytes are there. The comment is not read;
  // ZipCommentPos tells where it is, and a comment length that runs past
  // the end of the file is cut to the bytes there (CutCommentLength). The stream position is left anywhere.
  bool FindEndRecord(TStream& Stream);
  // Writes [Zip64 end record, locator] when a field holds its marker, then
  // the end record and ZipCommentLength bytes of the comment.
  void WriteEndRecord(TStream& Stream);

 protected:
  void AssignTo(TPersistent* Dest) const override;

 private:
  TZipEndCentral FRecord;
  std::optional<std::string> FZipComment;
  int64_t FZipCommentPos = 0;
  uint32_t FCutCommentLength = 0;
  bool FModified = false;
  std::unique_ptr<TZip64EndCentral> FZip64EndRecord;
  std::unique_ptr<TZip64Locator> FZip64Locator;
};

}  // namespace zem
