// The drive table of a desktop: the cards the storage daemon UDisks2 knows,
// asked over the system D-Bus. It follows insertion and removal from the
// daemon's signals, and formats, relabels and ejects through the daemon,
// which polkit lets a desktop user do without root.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/base.h"
#include "platform/drives.h"

namespace zem::platform {

// No bus, or no UDisks2 on it (or this build has no D-Bus client).
class EDriveServiceUnavailable : public Exception {
 public:
  using Exception::Exception;
};

// C: is the root file system, as in TLinuxDriveTable. The other drives are
// the mounted file systems of devices UDisks2 does not call system devices
// (HintSystem false), or whose drive is removable or ejectable, that carry
// no partition table, are not ignored (HintIgnore) and are not mounted at
// "/". Each gets the first free letter from D up when it appears and keeps
// it while present, whatever else comes and goes; a card being formatted
// through this table keeps its letter while it is unmounted.
//
// The drives are read on the first Drives() call and again after every
// signal of the daemon, which also calls OnChange (on the table's own
// thread); from that first call on the table watches the daemon.
class TUDisksDriveTable : public TDriveTable {
 public:
  // Connects to the bus at BusAddress ("unix:path=..."), or to the system
  // bus when it is empty, and asks UDisks2 for its objects. Raises
  // EDriveServiceUnavailable when that fails.
  explicit TUDisksDriveTable(const std::string& BusAddress = std::string());
  ~TUDisksDriveTable() override;

  std::vector<TDriveEntry> Drives() override;
  // Filesystem.SetLabel; false (ERROR_INVALID_DRIVE) for a letter that is
  // not one of the cards.
  bool SetLabel(char Letter, const std::string& Label) override;
  // True for every card of the table.
  bool MakesFileSystems(char Letter) override;
  // Re-reads the daemon's objects and refuses (nothing touched) unless the
  // block device Expected names is still the card under Expected's letter
  // with the same identity, no system device, carrying no partition table.
  // Then unmounts it, Block.Format with FsType and the label, and mounts it
  // again (the mount point may differ).
  bool MakeFileSystem(const TDriveEntry& Expected, const std::string& FsType,
                      const std::string& Label) override;
  // Filesystem.Unmount, then Drive.PowerOff when the drive can be powered
  // off, else Drive.Eject when it is ejectable.
  TEjectResult Eject(char Letter) override;
  // Filesystem.Unmount of the card (nothing when it is not mounted).
  bool Unmount(char Letter) override;

 private:
  struct TState;
  std::unique_ptr<TState> F;
};

}  // namespace zem::platform
