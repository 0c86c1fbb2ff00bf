// The archive component's numbered string table (numbers 176 to 207).
//
// Every fixed text the reader and the writer show or raise comes from this
// one table, so tests can assert the exact texts by number. Numbers 184,
// 196 and 197 are also the message identifiers DoHandleMessage passes on
// for the disk prompt, the overwrite question and the unknown-method notice.
#pragma once

#include <string>

namespace zem {

enum TZipStringId : int {
  zsNotAZipFile = 176,          // "Not a valid zip file!"
  zsIncompleteZip = 177,        // "Incomplete Zip File"
  zsUserCanceledZip = 178,      // "User canceled Zip operation"
  zsUserCanceledZipName = 179,  // "User canceled setting zip file name."
  zsUserCanceledDisk = 180,     // "User canceled loading new disk."
  zsUserCanceledDestDir = 181,  // "User canceled Set Destination Directory"
  zsPrematureEnd = 182,         // "Premature end of file reached"
  zsCantWriteUCF = 183,         // "Can't write uncompressed file"
  zsInsertDisk = 184,           // "Please insert disk %d of the multi-disk set."
  zsBiggerThanUncompressed = 185,  // "File is larger than uncompressed size!"
  zsNotEnoughRoom = 186,        // "Not enough room to write archive"
  zsConfigFileSaveError = 187,  // "Unable to save Zip Configuration File to disk"
  zsZLibError = 188,            // "error"
  zsIndexOutOfRange = 189,      // "Index %d is out of range"
  zsOpenZipTitle = 190,         // "Open a Zip File"
  zsOpenZipFilter = 191,        // the open dialog's filter
  zsFileExistsCaption = 195,    // "File Exists Alert"
  zsReplaceExisting = 196,      // "Replace existing file %s?"
  zsUnknownMethod = 197,        // "Unknown Compression Method"
  zsZipErrorCaption = 198,      // "Zip Error"
  zsFirstString = 176,
  zsLastString = 207,
};

// The text of string Id; the empty text for a number without text (such as
// 208, which the writer's short-read notice uses) or outside the table.
std::string LoadZipStr(int Id);

}  // namespace zem
