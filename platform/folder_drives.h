// Folders entered into the drive table as removable drives, on top of the
// table in use: a folder can then act as a card for every card operation.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/drives.h"

namespace zem::platform {

// A table that answers with the drives of an inner table plus drives of its
// own; a drive of its own hides the inner table's drive of the same letter.
class TOverlayDriveTable : public TDriveTable {
 public:
  explicit TOverlayDriveTable(std::unique_ptr<TDriveTable> Inner);
  // Adds or replaces a drive of this table's own.
  void AddDrive(const TDriveEntry& Entry);
  std::vector<TDriveEntry> Drives() override;
  // An own drive is answered without asking the inner table (which may
  // have to look at the system's mounts); any other letter is the inner
  // table's.
  std::optional<TDriveEntry> Find(char Letter) override;
  // Own drives keep their label here; others go to the inner table, and so
  // do the new file systems and ejects of its drives (own drives have none).
  bool SetLabel(char Letter, const std::string& Label) override;
  bool MakesFileSystems(char Letter) override;
  bool MakeFileSystem(const TDriveEntry& Expected, const std::string& FsType,
                      const std::string& Label) override;
  TEjectResult Eject(char Letter) override;
  // Gives the inner table back (this table is then empty of it).
  std::unique_ptr<TDriveTable> ReleaseInner() { return std::move(FInner); }

 private:
  std::unique_ptr<TDriveTable> FInner;
  std::vector<TDriveEntry> FOwn;
};

// The absolute path of an existing folder with links and "." / ".."
// resolved, or the empty text when Path names no folder.
std::string RealFolderPath(const std::string& Path);

// Enters a folder into the table in use as a removable drive for the life of
// the object: the table in use is wrapped in a TOverlayDriveTable that adds
// the folder under the first letter from D up that the table does not have,
// and the table is unwrapped again on destruction. Letter() is 0 when the
// folder does not exist or no letter is free (nothing is installed then).
// The capacity reported is the folder's file system's.
class TFolderDriveScope {
 public:
  TFolderDriveScope(const std::string& Folder, const std::string& Label);
  ~TFolderDriveScope();
  TFolderDriveScope(const TFolderDriveScope&) = delete;
  TFolderDriveScope& operator=(const TFolderDriveScope&) = delete;
  char Letter() const { return FLetter; }
  // The folder as entered (RealFolderPath of the one given).
  const std::string& MountPoint() const { return FMountPoint; }

 private:
  char FLetter = 0;
  std::string FMountPoint;
  bool FInstalled = false;
};

}  // namespace zem::platform
