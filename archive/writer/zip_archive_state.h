// What one Zip call reaches of the component beyond its public settings,
// events and operations: the archive as the reader holds it, the byte
// counts behind the total progress, the entry cipher, and the hand-over of
// the new directory. TArcZip::Zip hands an implementation to its runner;
// the runner sees nothing else of the component's inner state. Private to
// the writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/format/crc_crypt.h"
#include "archive/format/zip_records.h"
#include "archive/support/lfn_file_stream.h"

namespace zem {

class TZipArchiveState {
 public:
  virtual ~TZipArchiveState() = default;

  // ---- The archive the component holds -------------------------------------
  // Its directory in archive order: the old archive's during the call (null
  // when none is loaded), the new one after InstallDirectory.
  virtual const TSortedZip* Directory() const = 0;
  // Load a comment whose length alone is known: the archive's (into the
  // end record, the component's public EndRecord), or that of the entry
  // copy E, from the open archive.
  virtual void LoadArchiveComment() = 0;
  virtual void LoadEntryComment(TZipHeaderInfo& E) = 0;
  // The open archive stream (null when closed). A rebuild reads the data of
  // kept entries from it; ReleaseArchive closes it, whatever KeepZipOpen
  // says, before the new archive takes the old one's place.
  virtual TLFNFileStream* Archive() = 0;
  virtual void ReleaseArchive() = 0;

  // ---- Progress ------------------------------------------------------------
  // The byte counts behind OnTotalPercentDone: the total is set by the file
  // list expansion and corrected by the call (files declined, entries kept,
  // multi-volume copies); the done count grows as entry bytes move.
  virtual int64_t& TotalBytes() = 0;
  virtual int64_t& BytesDone() = 0;
  // Runs the message pump between blocks when DoProcessMessages is set.
  virtual void PumpMessages() = 0;
  // Raises OnNoSuchFile when set.
  virtual void NoSuchFile(const std::string& Name) = 0;
  // The component's SkipCause while a report runs.
  virtual std::string& SkipCause() = 0;

  // ---- Entry data ----------------------------------------------------------
  // The running CRC and the cipher keys of the entry being written.
  virtual TZipCrypt& Crypt() = 0;

  // ---- The result ----------------------------------------------------------
  // Makes List the component's directory (view ByNone) and End its end
  // record (its Zip64 records too, unmodified), records the stamp of the
  // file ZipName names, and sets the disk count to LastDisk + 1 with
  // LastDisk as the current disk (the file named ZipName is the last
  // volume).
  virtual void InstallDirectory(std::unique_ptr<TSortedZip> List, const TEndCentral& End,
                                int32_t LastDisk) = 0;
};

}  // namespace zem
