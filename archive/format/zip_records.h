// Zip archive records: entry headers, the end record and the entry list.
//
// TZipHeaderInfo carries one entry (the union of its local and central
// header fields) and reads and writes both headers; TEndCentral carries the
// end of central directory record, its Zip64 companions and the archive
// comment; TSortedZip keeps entries in one of the TZipSortMode orders.
// All multi-byte values on disk are little-endian.
//
// Record reads never raise on bad bytes: a header that is not complete and
// correctly signed puts the stream back where it was and answers false.
// Errors raised by the underlying stream pass through. Whatever the input,
// reads stay inside their buffers and allocate at most what a 16-bit length
// field (or the fixed 65557-byte end-record window) allows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "archive/support/object_list.h"
#include "platform/base.h"
#include "platform/stream.h"

namespace zem {

// ---- Signatures --------------------------------------------------------------

struct TZipSignatures {
  uint32_t Central = 0x02014B50;
  uint32_t Local = 0x04034B50;
  uint32_t End = 0x06054B50;
  uint32_t Zip64End = 0x06064B50;
  uint32_t Zip64Locator = 0x07064B50;
  uint8_t LocalBytes[4] = {0x50, 0x4B, 0x03, 0x04};  // for byte-wise scans
  uint8_t EndFirstByte = 0x50;
};

// The signatures in use, set at start-up with the standard values.
extern TZipSignatures ZipSignatures;

// Start-up routine: replacement values for the central, local and end
// signatures (0 keeps the standard value). Also refreshes LocalBytes and
// EndFirstByte.
void InitZipSignatures(uint32_t Central = 0, uint32_t Local = 0, uint32_t End = 0);

// General purpose flag bits this code looks at.
enum : uint16_t {
  zfEncrypted = 0x0001,
  zfDataDescriptor = 0x0008,
  zfUtf8Name = 0x0800,  // the stored name is UTF-8, not OEM
};

constexpr uint32_t ZipLocalHeaderSize = 30;
constexpr uint32_t ZipCentralHeaderSize = 46;
constexpr uint32_t ZipEndRecordSize = 22;
constexpr uint32_t Zip64EndRecordSize = 56;
constexpr uint32_t Zip64LocatorSize = 20;
// Largest distance of the end record from the end of the file: a 65535-byte
// comment after the 22-byte record.
constexpr uint32_t ZipEndSearchWindow = 65535 + 22;

// ---- Entry ---------------------------------------------------------------------

// The Zip64 extended information of one entry, held with every field
// present (on disk only the fields whose header value is a marker appear).
struct TZip64Info {
  uint16_t Tag = 1;
  uint16_t Size = 0;
  uint64_t UncompressedSize = 0;
  uint64_t CompressedSize = 0;
  uint64_t RelativeOffset = 0;
  uint32_t DiskNumberStart = 0;
};

enum TZipSortMode : uint8_t {
  ByName = 0,
  ByFileName,
  ByDirectoryName,
  ByDate,
  ByCompressedSize,
  ByUnCompressedSize,
  ByRate,
  ByNone,
};

class TZipHeaderInfo : public TPersistent {
 public:
  // Replaces the read stream by the next volume's stream (multi-volume
  // archives); the callee may raise to abandon the read.
  using TNextVolume = std::function<void(TStream*& Stream)>;

  TZipHeaderInfo();
  ~TZipHeaderInfo() override;
  TZipHeaderInfo(const TZipHeaderInfo&) = delete;
  TZipHeaderInfo& operator=(const TZipHeaderInfo&) = delete;

  // Blank entry: made by 0x0032, needs 20, method 8, CRC 0xFFFFFFFF,
  // internal attributes 1, external 0x20, everything else 0 or empty.
  void Clear();

  // Copies header fields, CentralOffset, both name parts, the Zip64 record,
  // the comment, Chosen, EntryState and Marked. Not copied: OEMConvert,
  // ExtraFieldPos, SourceExtraLength, Zip64ExtraSize (a copy carries no
  // preserved extra blocks). Other classes go to TPersistent.
  void Assign(const TPersistent* Source) override;

  // Header fields.
  uint16_t VersionMadeBy() const { return FVersionMadeBy; }
  void SetVersionMadeBy(uint16_t V) { FVersionMadeBy = V; }
  uint16_t VersionNeeded() const { return FVersionNeeded; }
  void SetVersionNeeded(uint16_t V) { FVersionNeeded = V; }
  uint16_t Flags() const { return FFlags; }
  void SetFlags(uint16_t V) { FFlags = V; }
  uint16_t CompressionMethod() const { return FCompressionMethod; }
  void SetCompressionMethod(uint16_t V) { FCompressionMethod = V; }
  // DOS time in the low 16 bits, DOS date in the high 16 bits.
  uint32_t FileDateTime() const { return FFileDateTime; }
  void SetFileDateTime(uint32_t V) { FFileDateTime = V; }
  uint32_t Crc32() const { return FCrc32; }
  void SetCrc32(uint32_t V) { FCrc32 = V; }
  // The header images of the 64-bit values (0xFFFFFFFF / 0xFFFF: in Zip64Info).
  uint32_t CompressedSizeField() const { return FCompressedSizeField; }
  void SetCompressedSizeField(uint32_t V) { FCompressedSizeField = V; }
  uint32_t UncompressedSizeField() const { return FUncompressedSizeField; }
  void SetUncompressedSizeField(uint32_t V) { FUncompressedSizeField = V; }
  uint16_t DiskNumberStartField() const { return FDiskNumberStartField; }
  void SetDiskNumberStartField(uint16_t V) { FDiskNumberStartField = V; }
  uint32_t RelativeOffsetField() const { return FRelativeOffsetField; }
  void SetRelativeOffsetField(uint32_t V) { FRelativeOffsetField = V; }
  // Length of the stored name. Recomputed as length(Directory) +
  // length(FileName) when either changes; after a read it is the length on
  // disk, and WriteLocal/WriteCentral set it to the length they wrote (the
  // two differ when the OEM form is shorter than the UTF-8 form).
  uint16_t FileNameLength() const { return FFileNameLength; }
  void SetFileNameLength(uint16_t V) { FFileNameLength = V; }
  uint16_t CentralExtraLength() const { return FCentralExtraLength; }
  void SetCentralExtraLength(uint16_t V) { FCentralExtraLength = V; }
  uint16_t LocalExtraLength() const { return FLocalExtraLength; }
  void SetLocalExtraLength(uint16_t V) { FLocalExtraLength = V; }
  uint16_t FileCommentLength() const { return FFileCommentLength; }
  void SetFileCommentLength(uint16_t V) { FFileCommentLength = V; }
  uint16_t InternalAttributes() const { return FInternalAttributes; }
  void SetInternalAttributes(uint16_t V) { FInternalAttributes = V; }
  uint32_t ExternalAttributes() const { return FExternalAttributes; }
  void SetExternalAttributes(uint32_t V) { FExternalAttributes = V; }

  // Archive position of this entry's central header when read.
  int64_t CentralOffset() const { return FCentralOffset; }
  void SetCentralOffset(int64_t V) { FCentralOffset = V; }

  // 64-bit values. Reading: the field, or the Zip64Info value when the
  // field holds the marker and Zip64Info exists. Writing a value that does
  // not fit below the marker stores it in Zip64Info (created when absent)
  // and the marker in the field; other values go into the field alone.
  uint64_t CompressedSize() const;
  void SetCompressedSize(uint64_t V);
  uint64_t UncompressedSize() const;
  void SetUncompressedSize(uint64_t V);
  uint64_t RelativeOffset() const;
  void SetRelativeOffset(uint64_t V);
  uint32_t DiskNumberStart() const;
  void SetDiskNumberStart(uint32_t V);

  // The name split at the last backslash (or at a drive colon, which counts
  // only as the second character after a letter). Setters do nothing for
  // an unchanged value; SetDirectory appends a missing trailing backslash.
  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& V);
  const std::string& Directory() const { return FDirectory; }
  void SetDirectory(const std::string& V);
  // Directory + FileName.
  std::string FullName() const { return FDirectory + FFileName; }

  const TZip64Info* Zip64Info() const { return FZip64Info.get(); }
  TZip64Info& EnsureZip64Info();
  // A 32-bit header field and its 64-bit twin in the Zip64 record: the
  // field holds the value, or the all-ones marker when the twin does.
  uint64_t Wide(uint32_t Field, uint64_t TZip64Info::*Twin) const;
  void SetWide(uint32_t& Field, uint64_t TZip64Info::*Twin, uint64_t V);
  void FreeZip64Info() { FZip64Info.reset(); }

  // The comment text, if one is held (it may be absent while
  // FileCommentLength is non-zero: not loaded yet).
  const std::optional<std::string>& FileComment() const { return FFileComment; }
  // Keeps a copy (at most 65535 bytes) and sets FileCommentLength to its
  // length; nullopt drops both.
  void SetFileComment(const std::optional<std::string>& Text);

  bool Chosen() const { return FChosen; }
  void SetChosen(bool V) { FChosen = V; }
  uint8_t EntryState() const { return FEntryState; }
  void SetEntryState(uint8_t V) { FEntryState = V; }
  bool Marked() const { return FMarked; }
  void SetMarked(bool V) { FMarked = V; }
  bool OEMConvert() const { return FOEMConvert; }
  void SetOEMConvert(bool V) { FOEMConvert = V; }
  int64_t ExtraFieldPos() const { return FExtraFieldPos; }
  void SetExtraFieldPos(int64_t V) { FExtraFieldPos = V; }
  uint16_t SourceExtraLength() const { return FSourceExtraLength; }
  void SetSourceExtraLength(uint16_t V) { FSourceExtraLength = V; }
  uint16_t Zip64ExtraSize() const { return FZip64ExtraSize; }
  void SetZip64ExtraSize(uint16_t V) { FZip64ExtraSize = V; }

  uint32_t LocalSize() const { return 30u + FFileNameLength + FLocalExtraLength; }
  uint32_t CentralSize() const {
    return 46u + FFileNameLength + FCentralExtraLength + FFileCommentLength;
  }
  bool Encrypted() const { return (FFlags & zfEncrypted) != 0; }
  bool HasDataDescriptor() const { return (FFlags & zfDataDescriptor) != 0; }
  bool HasComment() const { return FFileCommentLength != 0; }

  // In-place conversion to or from the OEM code page when OEMConvert is set.
  void ToOEM(std::string& Name) const;
  void FromOEM(std::string& Name) const;

  // The name as it goes to disk: slashes for backslashes; the OEM form when
  // OEMConvert is set, the entry is from an MS-DOS/FAT host (high byte of
  // VersionMadeBy 0, as for every entry this system makes) and every
  // character has an OEM form. Utf8 tells whether the bytes are the UTF-8
  // form kept because the OEM form would lose characters (the entry then
  // carries flag bit 11). A name from another host goes out as read.
  std::string StoredName(bool* Utf8 = nullptr) const;

  // Fill from a 46-byte central or 30-byte local header image and the name
  // as read (slashes already turned into backslashes, code page converted).
  void FillFromCentral(const uint8_t* Header, const std::string& Name);
  void FillFromLocal(const uint8_t* Header, const std::string& Name);

  // Reads one central header at the stream's position. On success the
  // stream stands after the name (at the extra field); the caller skips
  // CentralExtraLength + FileCommentLength bytes. On failure the stream is
  // put back and the answer is false. NextVolume, when given, is called
  // when the 46 fixed bytes run past the end of the stream.
  bool ReadCentral(TStream*& Stream, const TNextVolume& NextVolume);
  bool ReadCentral(TStream& Stream);
  // Walks CentralExtraLength bytes from the stream's position and takes the
  // Zip64 block (tag 1). A block claiming more bytes than remain ends the
  // walk.
  void ParseCentralExtra(TStream& Stream);
  // Reads one local header; on success the stream stands after the name.
  bool ReadLocal(TStream& Stream);

  // Writes the local header at the stream's position (RelativeOffset takes
  // that position) with the stored name; no extra field bytes.
  void WriteLocal(TStream& Stream);
  // Writes the central header: preserved extra blocks of the source archive
  // (read from Source at ExtraFieldPos), then the Zip64 block when a field
  // holds its marker, then the comment. Source is needed only when
  // SourceExtraLength is non-zero.
  void WriteCentral(TStream& Dest, TStream* Source);

 protected:
  void AssignTo(TPersistent* Dest) const override;

 private:
  bool ConvertsName() const;
  void SplitName(const std::string& Name);
  void FinishStoredName(std::string& Name, bool Utf8);

  uint16_t FVersionMadeBy = 0;
  uint16_t FVersionNeeded = 0;
  uint16_t FFlags = 0;
  uint16_t FCompressionMethod = 0;
  uint32_t FFileDateTime = 0;
  uint32_t FCrc32 = 0;
  uint32_t FCompressedSizeField = 0;
  uint32_t FUncompressedSizeField = 0;
  uint16_t FFileNameLength = 0;
  uint16_t FCentralExtraLength = 0;
  uint16_t FLocalExtraLength = 0;
  uint16_t FFileCommentLength = 0;
  uint16_t FDiskNumberStartField = 0;
  uint16_t FInternalAttributes = 0;
  uint32_t FExternalAttributes = 0;
  uint32_t FRelativeOffsetField = 0;
  int64_t FCentralOffset = 0;
  std::string FFileName;
  std::string FDirectory;
  std::unique_ptr<TZip64Info> FZip64Info;
  std::optional<std::string> FFileComment;
  bool FChosen = false;
  uint8_t FEntryState = 0;
  bool FMarked = false;
  bool FOEMConvert = false;
  int64_t FExtraFieldPos = 0;
  uint16_t FSourceExtraLength = 0;
  uint16_t FZip64ExtraSize = 0;
};

// ---- End record ------------------------------------------------------------------

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
  // ZipCommentPos tells where it is. The stream position is left anywhere.
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
  bool FModified = false;
  std::unique_ptr<TZip64EndCentral> FZip64EndRecord;
  std::unique_ptr<TZip64Locator> FZip64Locator;
};

// ---- Entry list -------------------------------------------------------------------

// Entries in SortMode order; the key of an item is the item itself.
// Ownership follows OwnsItems (true by default); the reader's sorted views
// share entries without owning them.
class TSortedZip : public TSortedObjectList {
 public:
  explicit TSortedZip(TDuplicatePolicy Policy);
  ~TSortedZip() override = default;

  TZipSortMode SortMode() const { return FSortMode; }
  void SetSortMode(TZipSortMode V) { FSortMode = V; }
  // Set once an entry with Zip64Info is added; never cleared.
  bool IsZip64() const { return FIsZip64; }

  TZipHeaderInfo* Items(int Index) const { return ItemAs<TZipHeaderInfo>(Index); }

  // Sorted insert (returns 0), then IsZip64 when the entry has Zip64Info.
  // In ByNone order an entry that goes after the last one is appended
  // without a search, so adding in archive order is linear.
  int Add(TObject* Item) override;
  int Compare(const void* Key1, const void* Key2) const override;
  // The list rule up to 64 slots, then half the size again each time.
  void Grow() override;

 private:
  TZipSortMode FSortMode = ByNone;
  bool FIsZip64 = false;
};

// Compressed size as a whole percentage of the uncompressed size, halves
// to even, at most 100; 0 for an empty entry.
int CompressionRate(const TZipHeaderInfo& Entry);
// Byte-wise comparison folding only a-z to A-Z; <0, 0 or >0.
int CompareZipText(const std::string& A, const std::string& B);

}  // namespace zem
