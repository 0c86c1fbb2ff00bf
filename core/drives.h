// Card tool: the machine's removable drives, their labels and capacities
// (and how a capacity is printed), and the paths of every file on a card.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zem {

// The part of the window's drive list that the drive layer fills: the list
// view of the main window implements it; tests record the calls.
class TDriveListControl {
 public:
  virtual ~TDriveListControl() = default;
  // Removes every item.
  virtual void Clear() = 0;
  // Appends one item showing Caption.
  virtual void AddItem(const std::string& Caption) = 0;
};

// The volume label of the drive with letter Drive, as the volume query gives
// it, in upper case when Drive is below 'a' and in lower case otherwise (the
// ANSI file-name case mapping). Empty when the query fails (no card, an
// unreadable card, no such drive). Critical-error reporting is switched off
// for the query and the previous error mode restored on every way out.
std::string DriveLabel(char Drive);

// Appends "<label> (<letter>:)" for each drive C to Z, in letter order, whose
// type is DRIVE_REMOVABLE. A and B are never examined; a reader without a
// card is listed with an empty label (" (F:)").
void ListRemovableDrives(std::vector<std::string>& List);

// Clears List and adds one item per removable drive caption, in list order.
void FillDriveList(TDriveListControl& List);

// The drive letter in a drive caption: the character between "(" and the
// first ":)" of Caption, as a one-character text. When the caption has no
// "(" two places before its first ":)", Result is returned as given.
std::string DriveLetterOf(const std::string& Caption, std::string Result = {});

// The whole size in bytes of the volume in the drive whose letter is the
// first character of Drive: total clusters x bytes per sector x sectors per
// cluster, in 64 bits. 0 when the query fails, which every caller takes to
// mean that the drive holds no card. The error mode is left unchanged.
uint64_t DriveCapacity(const std::string& Drive);

// A byte count in decimal units with one decimal: "512 B", "1.5 kB",
// "31.9 GB" (1 kB = 1000 bytes), the way card sizes are printed on cards.
std::string HumanSize(uint64_t Bytes);

// What a card walk keeps beside the files: with EmptyFolders, a folder
// without any entry enters the list as a folder entry ("F:\\empty\\");
// every folder that could not be searched is in LeftOut with the reason.
struct TCardWalk {
  bool EmptyFolders = false;
  std::vector<std::pair<std::string, std::string>> LeftOut;  // name, reason
};

// Appends the full path of every file below Dir whose name matches Mask
// (the same mask at every level, for folders too), depth first: the files
// of a subfolder come in at the place where the search meets the folder.
// Hidden, system and read-only entries are included; "." and ".." and the
// folders themselves never enter List (but see TCardWalk). A folder that
// cannot be searched contributes nothing; Walk, when given, names it.
void CollectFiles(const std::string& Mask, const std::string& Dir,
                  std::vector<std::string>& List, TCardWalk* Walk = nullptr);

}  // namespace zem
