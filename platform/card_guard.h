// What keeps a card operation on its own card and away from everything
// else: the card's identity taken once and compared again before each step
// that erases or writes, a lock per card shared by every process of the
// user, the refusals of folders that must never be emptied, and the room a
// card offers once it is emptied.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zem::platform {

// One line of the mount table (/proc/self/mountinfo).
struct TMountEntry {
  uint64_t Id = 0;            // the mount's id, as statx STATX_MNT_ID gives it
  unsigned Major = 0, Minor = 0;
  std::string Root;           // the folder of the file system that is mounted
  std::string MountPoint;     // unescaped
};
// The mounts of this process's namespace, in table order (a later mount on
// the same point hides the earlier one). Empty when the table is unreadable.
std::vector<TMountEntry> ReadMountTable();

// What tells one card from any other while it stays where it is: the folder
// at its mount point (device and inode), the mount that shows it, and what
// the drive table knows of the volume (block device and file-system
// identity, empty for folders). A card pulled and put back, another card
// mounted at the same place, a folder renamed into the place of another, or
// a letter that now names another volume all give another identity.
struct TCardIdentity {
  char Letter = 0;
  std::string MountPoint;  // native
  std::string Device;      // the drive table's, "" for folder cards
  std::string VolumeId;    // the drive table's Identity, "" where it has none
  uint64_t Dev = 0, Ino = 0;
  uint64_t MountId = 0;    // 0 where the kernel gives none
  // Equal in every part but the letter.
  bool SameCard(const TCardIdentity& Other) const;
  // A name for the card made of its device and inode: the same for every
  // process that looks at the card.
  std::string Key() const;
};

// The card in drive Letter now, or nothing when the drive does not exist,
// holds no card, or its mount point is no folder.
std::optional<TCardIdentity> ResolveCard(char Letter);

// While an object lives, the format of drive Identity.Letter (FormatDrive)
// empties or remakes only that card: the check is made on the open root
// folder (emptying) or on the device the table is about to format. A new
// pin of the same letter replaces the old one until it goes away.
class TCardPin {
 public:
  explicit TCardPin(const TCardIdentity& Identity);
  ~TCardPin();
  TCardPin(const TCardPin&) = delete;
  TCardPin& operator=(const TCardPin&) = delete;
  // After the card got a new file system on purpose: the pin follows it.
  void Update(const TCardIdentity& Identity);

 private:
  char FLetter;
  std::optional<TCardIdentity> FPrevious;
};
// The pinned identity of drive Letter, if any.
std::optional<TCardIdentity> PinnedCard(char Letter);

// An exclusive lock on a card, held while the object lives: flock(2) on
// "card-<Key>.lock" in the private temporary folder, so two processes of
// the user (two windows, a window and zemcard) and two operations of one
// process never work on the same card at once. Held() is false when
// another holder has it (or the lock file cannot be made; the last error
// then tells why); the lock is never waited for.
class TCardLock {
 public:
  explicit TCardLock(const TCardIdentity& Identity);
  ~TCardLock();
  TCardLock(const TCardLock&) = delete;
  TCardLock& operator=(const TCardLock&) = delete;
  bool Held() const { return FFd >= 0; }

 private:
  int FFd = -1;
};

// Why the folder or volume at native MountPoint must not be emptied, or ""
// when nothing speaks against it. Refused are a card that is, holds or lies
// inside the account's home folder ($HOME and the password database's),
// the private temporary folder, or a system folder (/etc, /usr, /var but
// /var/tmp, /boot, /bin, /sbin, /lib*, /opt, /srv, /root, /home), that is or
// holds "/", or that holds the file ProtectedFile (native, links resolved;
// "" for none). "Holds" and "lies inside" are judged both on the real paths
// and inside the file system itself (device and the path within it), so a
// bind mount of a protected folder, or of a folder around or inside one,
// is refused as the folder itself would be.
std::string ErasureRefusal(const std::string& MountPoint,
                           const std::string& ProtectedFile = std::string());

// The room drive Letter offers once it has been emptied, and its
// allocation unit: a fake drive with a set capacity offers that capacity;
// any other the free space of its file system plus what the files and
// folders below its mount point (on the same mount) take now. False (last
// error set) when the drive cannot be measured.
bool CardRoom(char Letter, uint64_t& Room, uint64_t& Unit);

}  // namespace zem::platform
