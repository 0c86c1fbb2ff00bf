// Files created below a folder without following links.
#include "platform/safe_files.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string_view>
#include <unordered_set>
#include <utility>

#include "platform/base.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {

// The bits a FAT directory entry may have changed.
constexpr uint32_t kSettableFatBits =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

int Failed(int Errno, const std::string& NativePath = std::string()) {
  detail::SetLastErrno(Errno, NativePath);
  return Errno;
}

std::string Joined(const std::string& Folder, const std::string& Name) {
  if (Folder.empty() || Folder == "/") return Folder + Name;
  return Folder + "/" + Name;
}

// The folder Name below Dir, links not followed; made first when missing
// and Make is set (then Made, when given, tells whether this call made it).
// A descriptor or -1 with errno.
int OpenOrMake(int Dir, const std::string& Name, bool Make, bool* Made = nullptr) {
  TFileSystem& Fs = FileSystem();
  constexpr int Flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int Fd = Fs.OpenAt(Dir, Name, Flags);
  if (Fd < 0 && errno == ENOENT && Make) {
    if (Fs.MakeFolderAt(Dir, Name, 0777) == 0) {
      if (Made != nullptr) *Made = true;
    } else if (errno != EEXIST) {
      return -1;
    }
    Fd = Fs.OpenAt(Dir, Name, Flags);
  }
  if (Fd < 0 && errno == ENOTDIR) {
    // O_PATH opens a link itself, which O_DIRECTORY then refuses: tell a
    // link from a file.
    struct stat St;
    if (Fs.StatAt(Dir, Name, St, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(St.st_mode)) errno = ELOOP;
    else errno = ENOTDIR;
  }
  return Fd;
}

// WalkFolders' walk: each component of Rel below Base, the last one left
// open in Last (-1 when Rel has no component). Made, when given, gets Rel up
// to each component this walk made. 0, or the errno value with FailedAt set.
int WalkBelow(const TFolderHandle& Base, const std::string& Rel, bool Make, int& Last, std::string& FailedAt,
              std::vector<std::string>* Made) {
  Last = -1;
  size_t Start = 0;
  while (Start < Rel.size()) {
    size_t End = Rel.find('/', Start);
    if (End == std::string::npos) End = Rel.size();
    if (End > Start) {
      bool MadeHere = false;
      const int Fd = OpenOrMake(Last >= 0 ? Last : Base.Fd(), Rel.substr(Start, End - Start), Make, &MadeHere);
      const int Err = errno;
      if (MadeHere && Made != nullptr) Made->push_back(Rel.substr(0, End));
      if (Last >= 0) FileSystem().Close(Last);
      Last = Fd;
      if (Fd < 0) {
        FailedAt = Rel.substr(0, End);
        return Err;
      }
    }
    Start = End + 1;
  }
  return 0;
}

// A name for a temporary file beside its final one that no other program
// is likely to choose.
std::string TempNameFor(unsigned Attempt) {
  struct timespec Now {};
  FileSystem().ClockTime(CLOCK_MONOTONIC, Now);
  const unsigned long Mix =
      static_cast<unsigned long>(Now.tv_nsec) ^ (static_cast<unsigned long>(::getpid()) << 20) ^ Attempt * 2654435761u;
  char Buf[32];
  std::snprintf(Buf, sizeof Buf, ".zem%08lx.part", Mix & 0xFFFFFFFFul);
  return Buf;
}

// The DOS attributes on an open file: the FAT bits on a vfat volume, the
// write bits for read-only elsewhere (hidden follows the name there, archive
// and system have no counterpart), as SetFileAttributesA does by name.
int SetAttributesOf(int Fd, const std::string& VolumePath, uint32_t Attributes) {
  TFileSystem& Fs = FileSystem();
  if (Attributes == FILE_ATTRIBUTE_NORMAL) Attributes = 0;
  if (detail::IsFatVolume(VolumePath))
    return Fs.SetFatAttributes(Fd, Attributes & kSettableFatBits) == 0 ? 0 : errno;
  struct stat St;
  if (Fs.FStat(Fd, St) != 0) return errno;
  mode_t Mode = St.st_mode & 07777;
  if (Attributes & FILE_ATTRIBUTE_READONLY)
    Mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    Mode |= S_IWUSR;
  if (Mode != (St.st_mode & 07777) && Fs.FChmod(Fd, Mode) != 0) return errno;
  return 0;
}

}  // namespace

// ---- TFolderHandle ------------------------------------------------------------

std::string TFolderHandle::PathOf(const std::string& Name) const { return Joined(FPath, Name); }

TFolderHandle::~TFolderHandle() { Close(); }

TFolderHandle::TFolderHandle(TFolderHandle&& Other) noexcept
    : FFd(std::exchange(Other.FFd, -1)), FPath(std::move(Other.FPath)) {}

TFolderHandle& TFolderHandle::operator=(TFolderHandle&& Other) noexcept {
  if (this != &Other) {
    Close();
    FFd = std::exchange(Other.FFd, -1);
    FPath = std::move(Other.FPath);
  }
  return *this;
}

void TFolderHandle::Close() {
  if (FFd >= 0) FileSystem().Close(FFd);
  FFd = -1;
}

int OpenFolder(const std::string& NativePath, TFolderHandle& Folder) {
  Folder.Close();
  int Fd;
  do {
    Fd = FileSystem().Open(NativePath, O_PATH | O_DIRECTORY | O_CLOEXEC);
  } while (Fd < 0 && errno == EINTR);
  if (Fd < 0) return Failed(errno, NativePath);
  Folder.FFd = Fd;
  Folder.FPath = NativePath;
  return 0;
}

int WalkFolders(const TFolderHandle& Base, const std::string& Rel, bool Make, TFolderHandle& Folder,
                std::string& FailedAt) {
  FailedAt.clear();
  TFolderHandle Current;
  if (const int Err = WalkBelow(Base, Rel, Make, Current.FFd, FailedAt, nullptr); Err != 0)
    return Failed(Err, Joined(Base.FPath, FailedAt));
  if (Current.FFd < 0) {
    // No component: the base folder itself, under a descriptor of its own.
    const int Fd = FileSystem().OpenAt(Base.FFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0) return Failed(errno, Base.FPath);
    Current.FFd = Fd;
  }
  Current.FPath = Rel.empty() ? Base.FPath : Joined(Base.FPath, Rel);
  Folder = std::move(Current);
  return 0;
}

std::vector<std::string> MakeFoldersAhead(const TFolderHandle& Base, const std::vector<std::string>& Rels,
                                          const std::vector<std::string>& Files) {
  const std::unordered_set<std::string> FileSet(Files.begin(), Files.end());
  std::unordered_set<std::string> Reached;
  std::vector<std::string> Made;
  for (const std::string& Rel : Rels) {
    // Only the part before a "." or ".." step, or before a name a file
    // takes, is made.
    size_t Usable = 0;
    for (size_t Start = 0; Start < Rel.size();) {
      size_t End = Rel.find('/', Start);
      if (End == std::string::npos) End = Rel.size();
      const std::string_view Name(Rel.data() + Start, End - Start);
      if (Name == "." || Name == ".." || FileSet.count(Rel.substr(0, End)) != 0) break;
      Usable = End;
      Start = End + 1;
    }
    const std::string Part = Rel.substr(0, Usable);
    if (Part.empty() || !Reached.insert(Part).second) continue;
    int Last = -1;
    std::string FailedAt;
    WalkBelow(Base, Part, true, Last, FailedAt, &Made);  // a failure is the entry's to report
    if (Last >= 0) FileSystem().Close(Last);
  }
  return Made;
}

void RemoveEmptyFolders(const TFolderHandle& Base, const std::vector<std::string>& Made) {
  for (auto It = Made.rbegin(); It != Made.rend(); ++It) {
    const size_t Slash = It->rfind('/');
    TFolderHandle Parent;
    std::string FailedAt;
    if (Slash != std::string::npos && WalkFolders(Base, It->substr(0, Slash), false, Parent, FailedAt) != 0) continue;
    const int Dir = Slash == std::string::npos ? Base.Fd() : Parent.Fd();
    // Refused when the folder holds anything (or is no longer a folder).
    FileSystem().UnlinkAt(Dir, Slash == std::string::npos ? *It : It->substr(Slash + 1), AT_REMOVEDIR);
  }
}

int StatInFolder(const TFolderHandle& Folder, const std::string& Name, struct stat& St) {
  // The folder is held open, so a name it does not have is a missing file
  // (never a missing path): no look at the folder by its name.
  if (FileSystem().StatAt(Folder.Fd(), Name, St, AT_SYMLINK_NOFOLLOW) != 0) return Failed(errno);
  return 0;
}

int FolderListsName(const TFolderHandle& Folder, const std::string& Name) {
  // A folder of its own for the listing: the held one may be in use by
  // other threads, and a listing moves its position.
  const int Fd = FileSystem().OpenAt(Folder.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) {
    Failed(errno);
    return -1;
  }
  bool Found = false;
  const int Listed = FileSystem().ListFolder(Fd, [&](const char* Entry) { Found = Found || Name == Entry; });
  const int Error = errno;
  FileSystem().Close(Fd);
  if (Listed != 0 && !Found) {
    Failed(Error);
    return -1;
  }
  return Found ? 1 : 0;
}

// ---- TPendingFile -------------------------------------------------------------

TPendingFile::TPendingFile(TFolderHandle Folder, std::string Name)
    : THandleStream(INVALID_HANDLE_VALUE), FFolder(std::move(Folder)), FName(std::move(Name)) {
  TFileSystem& Fs = FileSystem();
  int Err = EEXIST;
  for (unsigned Attempt = 0; Attempt < 100 && Err == EEXIST; ++Attempt) {
    FTempName = TempNameFor(Attempt);
    const int Fd = Fs.OpenAt(FFolder.Fd(), FTempName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (Fd >= 0) {
      FHandle = Fd;
      FCleanup.RegisterNative(FFolder.PathOf(FTempName));
      return;
    }
    Err = errno;
    if (Err == EINTR) Err = EEXIST;
  }
  FDone = true;
  Failed(Err, FFolder.NativePath());
  throw EFCreateError(Format("Cannot create file \"%s\": %s", NativePath().c_str(),
                             SysErrorMessage(GetLastError()).c_str()));
}

TPendingFile::~TPendingFile() { Discard(); }

std::string TPendingFile::NativePath() const { return FFolder.PathOf(FName); }

void TPendingFile::Discard() {
  if (FHandle != INVALID_HANDLE_VALUE) FileSystem().Close(FHandle);
  FHandle = INVALID_HANDLE_VALUE;
  if (!FDone) FileSystem().UnlinkAt(FFolder.Fd(), FTempName, 0);
  FDone = true;
  FCleanup.Release();
}

int TPendingFile::Commit(int32_t Age, uint32_t Attributes) {
  TFileStamp Stamp;
  Stamp.DosTime = Age;
  Stamp.Attributes = Attributes;
  return Commit(Stamp);
}

int TPendingFile::Commit(const TFileStamp& Stamp) {
  if (FDone) return Failed(EBADF);
  // The time, mode and attributes are the file's description, not its
  // contents: as when they are set by name, a volume that cannot keep them
  // does not fail the file.
  if (Stamp.UnixTime) {
    struct timespec Times[2] = {{static_cast<time_t>(*Stamp.UnixTime), 0},
                                {static_cast<time_t>(*Stamp.UnixTime), 0}};
    FileSystem().FSetTimes(FHandle, Times);
  } else if (Stamp.DosTime != -1) {
    FileSetDate(FHandle, Stamp.DosTime);
  }
  struct statfs Volume;
  const bool OnFat = FileSystem().FStatFs(FHandle, Volume) == 0 && Volume.f_type == MSDOS_SUPER_MAGIC;
  if (Stamp.Mode && !OnFat) {
    // The file was made with mode 0666 less the umask, so its mode tells
    // the umask's read and write bits: only a mode with execute bits needs
    // the umask itself, and a mode the file has already needs no change.
    const mode_t Wanted = static_cast<mode_t>(*Stamp.Mode & 0777);
    struct stat St;
    mode_t Made = static_cast<mode_t>(-1);
    mode_t Mode;
    if ((Wanted & 0111) == 0 && FileSystem().FStat(FHandle, St) == 0) {
      Made = St.st_mode & 0777;
      Mode = Wanted & Made;
    } else {
      Mode = Wanted & static_cast<mode_t>(~ProcessUmask());
    }
    if (Stamp.Attributes != INVALID_FILE_ATTRIBUTES && (Stamp.Attributes & FILE_ATTRIBUTE_READONLY) != 0)
      Mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    if (Mode != Made) FileSystem().FChmod(FHandle, Mode);
  } else if (Stamp.Attributes != INVALID_FILE_ATTRIBUTES) {
    SetAttributesOf(FHandle, FFolder.NativePath(), Stamp.Attributes);
  }
  int Err = 0;
  if (FileSystem().Close(std::exchange(FHandle, INVALID_HANDLE_VALUE)) != 0) Err = errno;
  if (Err == 0 && FileSystem().RenameAt(FFolder.Fd(), FTempName, FFolder.Fd(), FName) != 0) Err = errno;
  if (Err != 0) {
    Discard();
    return Failed(Err, NativePath());
  }
  FDone = true;
  FCleanup.Release();
  return 0;
}

int StampFolder(const std::string& NativePath, const TFileStamp& Stamp) {
  TFileSystem& Fs = FileSystem();
  const int Fd = Fs.Open(NativePath, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) return Failed(errno, NativePath);
  struct statfs Volume;
  const bool OnFat = Fs.FStatFs(Fd, Volume) == 0 && Volume.f_type == MSDOS_SUPER_MAGIC;
  if (Stamp.Mode && !OnFat)
    Fs.FChmod(Fd, static_cast<mode_t>(*Stamp.Mode & 0777 & ~ProcessUmask()));
  else if (OnFat && Stamp.Attributes != INVALID_FILE_ATTRIBUTES)
    SetAttributesOf(Fd, NativePath, Stamp.Attributes);
  if (Stamp.UnixTime) {
    struct timespec Times[2] = {{static_cast<time_t>(*Stamp.UnixTime), 0},
                                {static_cast<time_t>(*Stamp.UnixTime), 0}};
    Fs.FSetTimes(Fd, Times);
  } else if (Stamp.DosTime != -1) {
    FileSetDate(Fd, Stamp.DosTime);
  }
  Fs.Close(Fd);
  return 0;
}

// ---- Links ----------------------------------------------------------------------

int MakeLinkIn(const TFolderHandle& Folder, const std::string& Name, const std::string& Target,
               std::optional<int64_t> UnixTime) {
  TFileSystem& Fs = FileSystem();
  struct stat St;
  if (Fs.StatAt(Folder.Fd(), Name, St, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(St.st_mode))
    return Failed(EISDIR, Joined(Folder.NativePath(), Name));
  int Err = EEXIST;
  std::string Temp;
  for (unsigned Attempt = 0; Attempt < 100 && Err == EEXIST; ++Attempt) {
    Temp = TempNameFor(Attempt);
    Err = Fs.SymLinkAt(Target, Folder.Fd(), Temp) == 0 ? 0 : errno;
  }
  if (Err != 0) return Failed(Err, Joined(Folder.NativePath(), Name));
  if (UnixTime) {
    struct timespec Times[2] = {{static_cast<time_t>(*UnixTime), 0}, {static_cast<time_t>(*UnixTime), 0}};
    Fs.SetTimesAt(Folder.Fd(), Temp, Times, AT_SYMLINK_NOFOLLOW);
  }
  if (Fs.RenameAt(Folder.Fd(), Temp, Folder.Fd(), Name) != 0) {
    Err = errno;
    Fs.UnlinkAt(Folder.Fd(), Temp, 0);
    return Failed(Err, Joined(Folder.NativePath(), Name));
  }
  return 0;
}

}  // namespace zem::platform
