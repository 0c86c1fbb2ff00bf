// The format of a removable volume: what stands in for the system's format
// once its dialog has been confirmed. On Linux a card is emptied below its
// mount point rather than given a new file system, so it keeps its label and
// stays mounted where it was.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/window_services.h"

namespace zem::platform {

// Formats the volume in drive Drive (0 = A:, 2 = C:, as SHFormatDrive
// numbers them). Results are SHFormatDrive's:
//  - SHFMT_NOFORMAT (0xFFFFFFFD) when the drive table does not call the
//    drive DRIVE_REMOVABLE, when there is no such drive, or when its mount
//    point is "/" or unknown: nothing is asked and nothing is touched;
//  - SHFMT_ERROR (0xFFFFFFFF) when the drive holds no card, or when
//    anything stays on the volume afterwards (the last error tells the
//    first failure);
//  - SHFMT_CANCEL (0xFFFFFFFE) when Confirm, asked once the drive is known
//    to be formattable, answers false: nothing is touched;
//  - 0 exactly when the volume is empty afterwards.
// The emptying removes every file, folder and link below the mount point,
// hidden and read-only ones included (write permission is added to folders
// that lack it). Links are removed, never followed; a volume mounted inside
// the card is left alone (and makes the result SHFMT_ERROR). The volume's
// label and its mount point itself are kept. Memory holds the names of one
// folder at a time.
uint32_t FormatDrive(uint32_t Drive, const std::function<bool()>& Confirm = {});

}  // namespace zem::platform
