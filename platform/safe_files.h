// Files created below a folder without ever leaving it. The folder is
// opened once by name; everything below it is reached relative to the
// folder before, one component at a time, and links are never followed: a
// link where a folder is expected is refused, a link at the file's own name
// is replaced, not written through. A new file is written under a temporary
// name beside its final one and takes that name only once it is complete,
// so a failure never costs the file it would have replaced.
//
// The functions answer with an errno value (0 for success) and set the
// last error to the matching Windows code, as the rest of platform/ does.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/signal_cleanup.h"
#include "platform/stream.h"

namespace zem::platform {

// An open folder (a descriptor that only names it), closed when it goes.
class TFolderHandle {
 public:
  TFolderHandle() = default;
  ~TFolderHandle();
  TFolderHandle(TFolderHandle&& Other) noexcept;
  TFolderHandle& operator=(TFolderHandle&& Other) noexcept;
  TFolderHandle(const TFolderHandle&) = delete;
  TFolderHandle& operator=(const TFolderHandle&) = delete;

  int Fd() const { return FFd; }
  bool IsOpen() const { return FFd >= 0; }
  // The native path the folder was reached under (for messages and for
  // asking what kind of volume it is on).
  const std::string& NativePath() const { return FPath; }
  // The native path of Name in the folder.
  std::string PathOf(const std::string& Name) const;
  void Close();

 private:
  friend int OpenFolder(const std::string&, TFolderHandle&);
  friend int WalkFolders(const TFolderHandle&, const std::string&, bool, TFolderHandle&, std::string&);
  int FFd = -1;
  std::string FPath;
};

// Opens the folder at NativePath; links in NativePath itself are followed
// (the caller named it).
int OpenFolder(const std::string& NativePath, TFolderHandle& Folder);

// Reaches the folder Rel ('/' between components, empty components passed
// over) below Base and leaves it in Folder. Each component is opened
// relative to the one before without following a link, and made (mode
// 0777 less the umask) when it is missing and Make is set. The cost is
// linear in the length of Rel, and only two folders are open at a time.
// On failure Failed holds Rel up to the component that failed; ELOOP means
// that component is a symbolic link, ENOTDIR that it is something else
// than a folder.
int WalkFolders(const TFolderHandle& Base, const std::string& Rel, bool Make, TFolderHandle& Folder,
                std::string& Failed);

// Makes, ahead of the files that go in them, the folders Rels name below
// Base (each as WalkFolders with Make would, in the order given), and
// answers the ones it made, each below Base, a folder before those in it.
// A Rel with a "." or ".." component is passed over, as is one with a
// component in Files (the files to come: a file takes its name first, as it
// would have in order); so is any failure (whoever walks there next reports
// it). On ext4 this makes an extraction of many files several times faster
// than making each folder just before its first file.
std::vector<std::string> MakeFoldersAhead(const TFolderHandle& Base, const std::vector<std::string>& Rels,
                                          const std::vector<std::string>& Files);

// Removes those of Made (as MakeFoldersAhead answered them) that are still
// empty, the ones inside first; links are never followed.
void RemoveEmptyFolders(const TFolderHandle& Base, const std::vector<std::string>& Made);

// What Name in Folder is, without following a link.
int StatInFolder(const TFolderHandle& Folder, const std::string& Name, struct stat& St);
// Whether Folder lists an entry of exactly Name's bytes (a volume that
// folds case finds "a.jpg" for "A.JPG" by its name, but lists only one of
// them): 1 or 0, or -1 with the error set when it cannot be listed.
int FolderListsName(const TFolderHandle& Folder, const std::string& Name);

// What a file's description gets when it is put in place.
struct TFileStamp {
  int32_t DosTime = -1;             // DOS date and time, local (-1: none)
  std::optional<int64_t> UnixTime;  // exact seconds, UTC: wins over DosTime
  uint32_t Attributes = 0xFFFFFFFFu;  // DOS attributes (INVALID_FILE_ATTRIBUTES: none)
  // Permission bits to give the file (0777 at most: never set-user-ID,
  // set-group-ID or sticky), less the process's umask; off a FAT volume
  // they replace what Attributes would say of the write bits.
  std::optional<uint32_t> Mode;
};

// Gives the folder at NativePath (not followed when it is a link) the
// stamp's time and, off a FAT volume, its permission bits less the umask,
// on one its FAT attributes. As for a file, a volume that cannot keep them
// fails nothing: 0, or the errno value when the folder cannot be opened.
int StampFolder(const std::string& NativePath, const TFileStamp& Stamp);

// A new file in a folder, written under a temporary name (created with
// O_EXCL and O_NOFOLLOW, mode 0666 less the umask) until Commit gives it
// its final name. Destroyed uncommitted, the temporary file is removed.
class TPendingFile : public THandleStream {
 public:
  // Raises EFCreateError "Cannot create file "%s": %s" (the final name)
  // when no temporary file can be created.
  TPendingFile(TFolderHandle Folder, std::string Name);
  ~TPendingFile() override;
  TPendingFile(const TPendingFile&) = delete;
  TPendingFile& operator=(const TPendingFile&) = delete;

  // Gives the file the DOS date and time Age (-1: leave the time) and, when
  // Attributes is not INVALID_FILE_ATTRIBUTES, the DOS attributes (the FAT
  // bits on a vfat volume, read-only as the write bits elsewhere), closes
  // it and renames it over its final name: whatever has that name, a file
  // or a link, is replaced; a folder is not. On failure the temporary file
  // is removed.
  int Commit(int32_t Age, uint32_t Attributes);
  // The same with a whole stamp.
  int Commit(const TFileStamp& Stamp);
  // Closes and removes the temporary file (nothing once committed).
  void Discard();

  const std::string& Name() const { return FName; }
  const std::string& TempName() const { return FTempName; }
  const TFolderHandle& Folder() const { return FFolder; }
  // The final name as a native path.
  std::string NativePath() const;

 private:
  TFolderHandle FFolder;
  std::string FName;
  std::string FTempName;
  bool FDone = false;
  // Ctrl-C or a kill while the file is pending removes it (when the
  // table has room: a handful of files are pending at a time).
  TSignalCleanupFile FCleanup;
};

// Makes Name in Folder a symbolic link holding Target, under a temporary
// name first that then takes Name by one rename (whatever has that name, a
// file or a link, is replaced; a folder is not), and gives the link its own
// time when UnixTime is set. 0 or the errno value.
int MakeLinkIn(const TFolderHandle& Folder, const std::string& Name, const std::string& Target,
               std::optional<int64_t> UnixTime);

}  // namespace zem::platform
