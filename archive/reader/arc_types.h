// Enumerations shared by the archive reader and the archive writer.
#pragma once

#include <cstdint>

namespace zem {

// What the writer does with entries of an existing archive.
enum TZipAction : uint8_t { zaUpdate = 0, zaReplace = 1, zaFreshen = 2 };

// What extraction does with a file that already exists.
enum TUZOverwriteMode : uint8_t { Prompt = 0, Always = 1, Never = 2, ifNewer = 3, ifOlder = 4 };

// What the reader assumes about an archive without a usable end record.
enum TIncompleteZipMode : uint8_t { izAssumeMulti = 0, izAssumeBad = 1, izAssumeNotAZip = 2 };

// Naming of split parts: name.zip.z01 ... name.zip, or name.001, name.002 ...
enum TBlockMode : uint8_t { bmStandard = 0, bmClassic = 1 };

// One file, a span over removable disks, or numbered block files.
enum TMultiMode : uint8_t { mmNone = 0, mmSpan = 1, mmBlocks = 2 };

// Position of a part in a split archive, for its name.
enum TSplitPartType : uint8_t { spFirst = 0, spMiddle = 1, spLast = 2 };

// Why a file was skipped (OnSkippingFile).
enum TSkipReason : uint8_t {
  srBadPassword = 0,
  srNoOverwrite = 1,
  srFileOpenError = 2,
  srCreateError = 3,
  srExcludeList = 4,
  srArchiveBitNotSet = 5,
  srNoFileToFreshen = 6,
  srSkippedInStartZip = 7,
  // Extraction: the entry's data cannot be used (no local header, an
  // unsupported method, data the decoder refuses, a size that differs from
  // the declared one, the archive ending inside it).
  srDataError = 8,
  // Extraction: the output file could not be written or put in place.
  srWriteError = 9,
};

}  // namespace zem
