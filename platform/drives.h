// The drive table: which drive letters exist, where each is mounted on the
// Linux file system, its type, label and size. The system addresses files by
// Windows-style paths ("F:\DCIM\a.jpg"); this table is what maps them.
//
// C: is always the root file system "/". The real table gives mounted
// removable volumes the letters D upwards (in mount-point order at first;
// a volume keeps its letter while it stays mounted). Tests install
// a fake table whose drives are temporary folders.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zem::platform {

// Drive types, as GetDriveTypeA answers them.
enum : uint32_t {
  DRIVE_UNKNOWN = 0,
  DRIVE_NO_ROOT_DIR = 1,
  DRIVE_REMOVABLE = 2,
  DRIVE_FIXED = 3,
  DRIVE_REMOTE = 4,
  DRIVE_CDROM = 5,
  DRIVE_RAMDISK = 6,
};

struct TDriveEntry {
  char Letter = 'C';        // 'C'..'Z'
  std::string MountPoint;   // native path, no trailing '/' except for "/"
  uint32_t Type = DRIVE_FIXED;
  std::string Label;        // volume label as stored (may be empty)
  std::string FileSystem;   // "vfat", "ext4", ... (empty when unknown)
  std::string Device;       // "/dev/sdb1" for real volumes, empty for fakes
  bool HasMedia = true;     // false: a reader without a card (queries fail)
  // Fake drives: the capacity to report (0 = measure the folder's file
  // system). Free space is then the capacity less what the folder holds.
  uint64_t Capacity = 0;
  // What tells this volume from any other: "<device id> <file-system UUID>"
  // where the table knows them (UDisks2), empty otherwise. A new file system
  // on the same card has a new identity.
  std::string Identity;
};

// How an eject ended.
enum class TEjectResult : uint8_t {
  Failed,      // nothing done (the last error and LastFailure() tell why)
  Unmounted,   // unmounted; the drive cannot be powered off (or has no drive)
  PoweredOff,  // unmounted and the drive powered off or its medium ejected
};

class TDriveTable {
 public:
  TDriveTable() = default;
  // A copy (tests copy fake tables) has the handler and a lock of its own.
  TDriveTable(const TDriveTable& Other) : OnChange(Other.OnChange), FLastFailure(Other.FLastFailure) {}
  TDriveTable& operator=(const TDriveTable& Other) {
    OnChange = Other.OnChange;
    FLastFailure = Other.FLastFailure;
    return *this;
  }
  virtual ~TDriveTable() = default;
  // The drives now present, in letter order. Read afresh on every call.
  virtual std::vector<TDriveEntry> Drives() = 0;
  // Sets the volume label of a drive; false when it cannot be set.
  virtual bool SetLabel(char Letter, const std::string& Label) = 0;
  // The entry of one letter, if the drive exists.
  virtual std::optional<TDriveEntry> Find(char Letter);

  // Whether MakeFileSystem can give this drive a new file system. Tables
  // that cannot (the default) leave the format to empty the volume.
  virtual bool MakesFileSystems(char /*Letter*/) { return false; }
  // Gives the volume in drive Letter, the very one Expected describes (same
  // device and identity), a new empty file system of type FsType ("vfat" or
  // "exfat") labelled Label, and mounts it again under the same letter.
  // False with the last error and LastFailure() set when anything of it
  // failed; nothing is erased unless every check passed.
  virtual bool MakeFileSystem(const TDriveEntry& /*Expected*/, const std::string& /*FsType*/,
                              const std::string& /*Label*/);
  // Unmounts the volume in drive Letter so that the card can be pulled,
  // and powers the drive off when it allows it.
  virtual TEjectResult Eject(char Letter);
  // Unmounts the volume in drive Letter (the table writes what it holds
  // out first) and leaves the drive powered: the card can be pulled. False
  // with the last error and LastFailure() set when it stays mounted;
  // ERROR_NOT_SUPPORTED (the default) for tables that cannot unmount.
  virtual bool Unmount(char Letter);
  // The words of the last failure of MakeFileSystem, Eject, Unmount or
  // SetLabel
  // (the daemon's message), empty when there is nothing to add to the last
  // error.
  const std::string& LastFailure() const { return FLastFailure; }

  // Called when the drives present may have changed (a card inserted or
  // removed, mounted or relabelled), on a thread of the table's own: a
  // window hands it over to its own thread. Tables that only read on
  // demand never call it. Assign it through SetOnChange once the table may
  // be watching: that waits for a call in progress, so after
  // SetOnChange(nullptr) the old handler is never called again.
  std::function<void()> OnChange;
  void SetOnChange(std::function<void()> Handler);

 protected:
  // Calls OnChange, if set, under the lock SetOnChange takes.
  void NotifyChange();
  std::string FLastFailure;

 private:
  std::mutex FChangeLock;
};

// The real table, read from /proc/self/mountinfo, /sys/block and
// /dev/disk/by-label below the given roots (so tests can feed a fake tree).
// Drives() reads them again only when the kernel signals a mount or an
// unmount on the mount table kept open (a mount table on a plain file, as
// tests make, is read afresh on every call); the answer is shared by every
// thread. The letters given are remembered per mount (device and mount
// id): a volume keeps its letter while it stays mounted, and a volume
// mounted since the last reading takes the first free letter, never one of
// another volume still there.
class TLinuxDriveTable : public TDriveTable {
 public:
  explicit TLinuxDriveTable(std::string ProcRoot = "/proc", std::string SysRoot = "/sys",
                            std::string DevRoot = "/dev");
  ~TLinuxDriveTable() override;
  std::vector<TDriveEntry> Drives() override;
  bool SetLabel(char Letter, const std::string& Label) override;

 private:
  std::string FProcRoot, FSysRoot, FDevRoot;
  std::mutex FLettersLock;  // everything below
  std::map<std::string, char> FLetters;  // "<device> <mount id>" -> letter
  int FMountsFd = -1;        // the mount table, kept open while it is watched
  bool FWatched = false;     // the kernel signals its changes
  bool FCached = false;      // FCache answers until the next change
  std::vector<TDriveEntry> FCache;
};

// A table for tests: C: is "/" as in the real one, and every other drive is
// a folder with a chosen label, capacity and type.
class TFakeDriveTable : public TDriveTable {
 public:
  TFakeDriveTable();
  // Adds or replaces a drive. Folder is a native path that must exist.
  void AddDrive(char Letter, const std::string& Folder, const std::string& Label = "",
                uint64_t Capacity = 0, uint32_t Type = DRIVE_REMOVABLE, bool HasMedia = true);
  void RemoveDrive(char Letter);
  std::vector<TDriveEntry> Drives() override;
  bool SetLabel(char Letter, const std::string& Label) override;
  // Calls OnChange as a watching table does, from the caller's thread.
  void ReportChange() { NotifyChange(); }

 private:
  std::vector<TDriveEntry> FDrives;
};

// The machine's table, chosen once at start-up: the UDisks2 table when the
// system bus offers org.freedesktop.UDisks2, else the TLinuxDriveTable.
std::unique_ptr<TDriveTable> MakeSystemDriveTable();

// The table in use (the machine's unless replaced).
TDriveTable& DriveTable();
// Installs a table and returns the previous one (nullptr restores the real).
std::unique_ptr<TDriveTable> InstallDriveTable(std::unique_ptr<TDriveTable> Table);

// Scoped installation for tests.
class TDriveTableScope {
 public:
  explicit TDriveTableScope(std::unique_ptr<TDriveTable> Table)
      : FPrevious(InstallDriveTable(std::move(Table))) {}
  ~TDriveTableScope() { InstallDriveTable(std::move(FPrevious)); }

 private:
  std::unique_ptr<TDriveTable> FPrevious;
};

// Path translation.
// Windows-style to native: "F:\DCIM\a.jpg" -> "<F's mount point>/DCIM/a.jpg".
// Doubled separators collapse; '/' is accepted as a separator too; a path
// starting with "\" is on C:; a relative path is relative to the current
// directory. A drive that does not exist maps to an empty string. Each
// component below the drive goes back to its native bytes (NameToNative).
std::string ToNativePath(const std::string& WinPath);
// Native to Windows-style: the drive whose mount point is the longest prefix
// of the (absolute, lexically normalised) path; C: otherwise. Only '/'
// separates; each component below the drive is escaped (NameFromNative),
// so any Linux name ("a:b.txt", "x\\y", "?") comes back unchanged from
// ToNativePath.
std::string FromNativePath(const std::string& NativePath);

}  // namespace zem::platform
