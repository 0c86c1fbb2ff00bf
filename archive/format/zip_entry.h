// One entry of a zip archive: TZipHeaderInfo carries the union of its local
// and central header fields and reads and writes both headers.
//
// Record reads never raise on bad bytes: a header that is not complete and
// correctly signed puts the stream back where it was and answers false.
// Errors raised by the underlying stream pass through. Whatever the input,
// reads stay inside their buffers and allocate at most what a 16-bit length
// field allows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "archive/format/entry_names.h"
#include "archive/format/local_header.h"
#include "archive/format/zip_signatures.h"
#include "platform/base.h"
#include "platform/stream.h"

namespace zem {

class TRecordWriter;

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

// Entry names and the bytes the archive stores for them. Inside the program
// an entry name is a Windows-style path of internal name components (see
// platform::NameFromNative); the archive holds each component's native
// bytes with '/' between them, and only '/' separates in a stored name.
// StoredFromEntryName gives those bytes (before any code-page conversion);
// EntryNameFromStored takes a stored name (after it) back to an entry
// name; EntryNameAsRead is the name an entry written under Name has when
// it is read back ("F:\\x" reads back as a folder "F:" holding "x").
std::string StoredFromEntryName(const std::string& Name);
std::string EntryNameFromStored(const std::string& Stored);
std::string EntryNameAsRead(const std::string& Name);

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

  // Copies header fields, CentralOffset, both name parts (with the stored
  // form of a read name), the Zip64 record, the comment, the name
  // convention, ModTime, Defect, Chosen, EntryState and Marked. Not copied: OEMConvert,
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
  // DOS time in the low 16 bits, DOS date in the high 16 bits, as stored:
  // a read keeps even an impossible value (hour 24-31, month 0), because
  // the password check byte of a data-descriptor entry is the high byte of
  // the stored time and a rewrite must give the same bytes back. Whoever
  // reads it as a date goes through DosDateTimeToDateTime or
  // NormalizeDosDateTime.
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

  // Why the entry cannot be read as its headers describe it, found while
  // the directory was loaded (a declared size its data cannot have, data
  // whose end could not be found); empty for a sound entry. Such an entry
  // is listed, and fails when tested or extracted, with this text.
  const std::string& Defect() const { return FDefect; }
  void SetDefect(const std::string& Text) { FDefect = Text; }

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

  // The host system of "version made by" (kHostDos, kHostUnix, ...).
  uint8_t Host() const { return static_cast<uint8_t>(FVersionMadeBy >> 8); }
  // The Unix mode (type and permission bits) of an entry whose host keeps
  // one in the high half of the external attributes; nothing when the host
  // keeps none or the half is 0.
  std::optional<uint32_t> UnixMode() const;
  // A symbolic link: a Unix mode of type link. Its data is the target.
  bool IsSymLink() const;

  // How a name that was not read from an archive is written (the writer
  // sets Utf8 or CodePage; AsHeld, the default, writes the bytes as held).
  TNameConvention NameConvention() const { return FNameConvention; }
  void SetNameConvention(TNameConvention V) { FNameConvention = V; }

  // The modification time in UTC seconds, from an extended-timestamp or
  // NTFS extra block when read, from the file when written; nothing when
  // only the DOS time is known.
  const std::optional<int64_t>& ModTime() const { return FModTime; }
  void SetModTime(std::optional<int64_t> V) { FModTime = V; }
  // Whether both headers written get an extended-timestamp block with
  // ModTime (the writer sets it for the entries it makes; a carried-over
  // entry keeps the blocks it had).
  bool WritesTimestamp() const { return FWritesTimestamp; }
  void SetWritesTimestamp(bool V) { FWritesTimestamp = V; }
  // The blocks a local header written by WriteLocal carries: the extended
  // timestamp when WritesTimestamp is set and ModTime fits, the NTFS
  // times when it does not; else empty.
  std::string OwnExtraBlocks() const;

  // The name as it goes to disk, with '/' between components. A name read
  // from an archive and not changed since goes back byte for byte with the
  // flag bit 11 it had. Otherwise the name convention decides (see
  // StoredNameOf); where it is AsHeld, the OEM form is written when
  // OEMConvert is set, the entry is from an MS-DOS/FAT host and every
  // character has an OEM form, else the bytes as held. Utf8 tells whether
  // the entry carries flag bit 11 with these bytes.
  std::string StoredName(bool* Utf8 = nullptr) const;

  // Fill from a 46-byte central header image or a decoded local header and
  // the name as read (slashes already turned into backslashes, code page
  // converted). ModTime and the stored form of the name are cleared (the
  // reads keep the bytes they read).
  void FillFromCentral(const uint8_t* Header, const std::string& Name);
  void FillFromLocal(const TLocalHeader& Header, const std::string& Name);
  // What both fills set alike: the name, and nothing left of an earlier
  // entry (comment, defect, marks, time, stored name).
  void ResetAfterFill(const std::string& Name);

  // Reads one central header at the stream's position. On success the
  // stream stands after the name (at the extra field); the caller skips
  // CentralExtraLength + FileCommentLength bytes. On failure the stream is
  // put back and the answer is false. NextVolume, when given, is called
  // when the 46 fixed bytes run past the end of the stream.
  bool ReadCentral(TStream*& Stream, const TNextVolume& NextVolume);
  bool ReadCentral(TStream& Stream);
  // Walks CentralExtraLength bytes from the stream's position and takes the
  // Zip64 block (tag 1), the modification time (extended timestamp or NTFS
  // block) and a Unicode path whose CRC matches the stored name (which then
  // becomes the name, unless flag bit 11 is set). A block claiming more
  // bytes than remain ends the walk.
  void ParseCentralExtra(TStream& Stream);
  // Reads one local header; on success the stream stands after the name.
  // The first Zip64 block of the extra field, if any, gives Zip64Info.
  bool ReadLocal(TStream& Stream);

  // Writes the local header at the stream's position (RelativeOffset takes
  // that position) with the stored name, then OwnExtraBlocks. The extra
  // length written is LocalExtraLength plus their size: a caller that
  // writes more extra bytes after them sets LocalExtraLength to that count.
  void WriteLocal(TStream& Stream);
  // Writes the central header: preserved extra blocks of the source archive
  // (read from Source at ExtraFieldPos), the extended timestamp when
  // WritesTimestamp is set, then the Zip64 block when a field holds its
  // marker, then the comment. Source is needed only when
  // SourceExtraLength is non-zero.
  void WriteCentral(TStream& Dest, TStream* Source);

 protected:
  void AssignTo(TPersistent* Dest) const override;

 private:
  bool ConvertsName() const;
  void SplitName(const std::string& Name);
  void ParseLocalExtra(const uint8_t* Extra, size_t Length);
  void FinishStoredName(std::string& Name, bool Utf8);
  // The run both headers carry in the same order: version needed, flags,
  // method, date and time, CRC, the two size fields, the name length.
  void WriteSharedFields(TRecordWriter& W) const;
  // Takes the facts of an extra field read with the header.
  void TakeExtraFacts(const uint8_t* Extra, size_t Length);
  // Remembers the current name as the one stored as Raw.
  void KeepStoredName(std::string Raw);

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
  std::string FDefect;
  bool FChosen = false;
  uint8_t FEntryState = 0;
  bool FMarked = false;
  bool FOEMConvert = false;
  int64_t FExtraFieldPos = 0;
  uint16_t FSourceExtraLength = 0;
  uint16_t FZip64ExtraSize = 0;
  TNameConvention FNameConvention = TNameConvention::AsHeld;
  std::optional<int64_t> FModTime;
  bool FWritesTimestamp = false;
  // The stored bytes of a name read from an archive, and the internal name
  // they were read as (empty when the name was not read).
  std::string FRawName;
  std::string FRawFor;
};

}  // namespace zem
