// The format of a removable volume: what stands in for the system's format
// once its dialog has been confirmed. Where the drive table can make file
// systems (UDisks2), the card gets a new empty file system with its label
// and is mounted again; elsewhere it is emptied below its mount point, so it
// keeps its label and stays mounted where it was.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/window_services.h"

namespace zem::platform {

// Formats the volume in drive Drive (0 = A:, 2 = C:, as SHFormatDrive
// numbers them). Results are SHFormatDrive's:
//  - SHFMT_NOFORMAT (0xFFFFFFFD) when the drive table does not call the
//    drive DRIVE_REMOVABLE, when there is no such drive, when its mount
//    point is "/" or unknown, or when ErasureRefusal (card_guard.h) speaks
//    against it (the home folder, the temporary folder, a system folder):
//    nothing is asked and nothing is touched;
//  - SHFMT_ERROR (0xFFFFFFFF) when the drive holds no card, when the drive
//    is pinned (TCardPin) and another card stands there now (last error
//    ERROR_INVALID_DRIVE, nothing touched), or when anything stays on the
//    volume afterwards (the last error tells the first failure);
//  - SHFMT_CANCEL (0xFFFFFFFE) when Confirm, asked once the drive is known
//    to be formattable, answers false: nothing is touched;
//  - 0 exactly when the volume is empty afterwards.
// The emptying removes every file, folder and link below the mount point,
// hidden and read-only ones included (write permission is added to folders
// that lack it). Links are removed, never followed; a volume or bind mount
// inside the card is left alone (and makes the result SHFMT_ERROR). The volume's
// label and its mount point itself are kept. Memory holds the names of one
// folder at a time.
//
// Where the drive table makes file systems (FormatMakesFileSystem), the
// same refusals come first; then, once confirmed, the table gives the card
// a new file system of type FileSystem ("FAT32" or "exFAT"; empty: the
// card's own, FAT32 or exFAT, else by size) labelled with the card's label,
// and 0 means it was made and mounted again. Anything else (a card that
// changed meanwhile, a refusal of the daemon or polkit) gives SHFMT_ERROR
// with the last error set and the table's LastFailure() telling why.
uint32_t FormatDrive(uint32_t Drive, const std::function<bool()>& Confirm = {},
                     const std::string& FileSystem = std::string());

// Whether FormatDrive gives drive Drive a new file system (true) or
// empties it (false).
bool FormatMakesFileSystem(uint32_t Drive);

// The file system ("FAT32" or "exFAT") a new file system for the drive
// gets when none is chosen: the card's own when it is one of these, exFAT
// for cards above 32 GiB, FAT32 otherwise.
std::string DefaultNewFileSystem(uint32_t Drive);

}  // namespace zem::platform
