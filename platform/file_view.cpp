// The file view: ranges of a source file served under a name of their own.
#include "platform/file_view.h"

#include <errno.h>
#include <fcntl.h>

#include <algorithm>

namespace zem::platform {

namespace {
int Fail(int Error) {
  errno = Error;
  return -1;
}
}  // namespace

TFileView::TFileView(std::string Path, std::string Source, std::vector<TFileRange> Ranges,
                     TFileSystem& Inner)
    : TForwardingFileSystem(Inner), FPath(std::move(Path)), FSource(std::move(Source)),
      FRanges(std::move(Ranges)) {
  for (const TFileRange& R : FRanges) FSize += R.Length;
  struct stat St {};
  if (FInner.Stat(FSource, St) != 0)
    FSourceError = errno;
  else
    FDevice = St.st_dev, FInode = St.st_ino;
}

int TFileView::Open(const std::string& Path, int Flags, mode_t Mode) {
  if (Path != FPath) return FInner.Open(Path, Flags, Mode);
  if ((Flags & O_ACCMODE) != O_RDONLY || (Flags & (O_CREAT | O_TRUNC)) != 0) return Fail(EROFS);
  if (FSourceError != 0) return Fail(FSourceError);
  const int Fd = FInner.Open(FSource, O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return -1;
  struct stat St {};
  const int Error = FInner.FStat(Fd, St) != 0                          ? errno
                    : St.st_dev != FDevice || St.st_ino != FInode ? ESTALE
                                                                  : 0;
  if (Error != 0) {
    FInner.Close(Fd);
    return Fail(Error);
  }
  std::lock_guard<std::mutex> Hold(FLock);
  FOpen[Fd] = 0;
  return Fd;
}

int TFileView::Close(int Fd) {
  {
    std::lock_guard<std::mutex> Hold(FLock);
    FOpen.erase(Fd);
  }
  return FInner.Close(Fd);
}

bool TFileView::Position(int Fd, int64_t& Pos) {
  std::lock_guard<std::mutex> Hold(FLock);
  const auto It = FOpen.find(Fd);
  if (It == FOpen.end()) return false;
  Pos = It->second;
  return true;
}

ssize_t TFileView::Read(int Fd, void* Buffer, size_t Count) {
  int64_t Pos = 0;
  if (!Position(Fd, Pos)) return FInner.Read(Fd, Buffer, Count);
  char* Out = static_cast<char*>(Buffer);
  size_t Done = 0;
  // Each range from the one holding Pos on, until Count is served, the
  // source ends early or a read fails (reported now when nothing was read,
  // else by the next call, which meets it again).
  int64_t Start = 0;
  bool Stopped = false;
  for (auto R = FRanges.begin(); R != FRanges.end() && Done < Count && !Stopped; Start += R->Length, ++R) {
    if (Pos >= Start + R->Length) continue;
    if (FInner.Seek(Fd, static_cast<off_t>(R->Offset + Pos - Start), SEEK_SET) < 0) {
      if (Done == 0) return -1;
      break;
    }
    while (Done < Count && Pos < Start + R->Length) {
      const auto Want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(Count - Done), Start + R->Length - Pos));
      const ssize_t Got = FInner.Read(Fd, Out + Done, Want);
      if (Got < 0 && Done == 0) return -1;
      if (Got <= 0) {
        Stopped = true;
        break;
      }
      Done += static_cast<size_t>(Got);
      Pos += Got;
    }
  }
  std::lock_guard<std::mutex> Hold(FLock);
  FOpen[Fd] = Pos;
  return static_cast<ssize_t>(Done);
}

ssize_t TFileView::Write(int Fd, const void* Buffer, size_t Count) {
  int64_t Pos = 0;
  return Position(Fd, Pos) ? Fail(EBADF) : FInner.Write(Fd, Buffer, Count);
}

int TFileView::Truncate(int Fd, off_t Size) {
  int64_t Pos = 0;
  return Position(Fd, Pos) ? Fail(EBADF) : FInner.Truncate(Fd, Size);
}

off_t TFileView::Seek(int Fd, off_t Offset, int Whence) {
  int64_t Pos = 0;
  if (!Position(Fd, Pos)) return FInner.Seek(Fd, Offset, Whence);
  const int64_t Base = Whence == SEEK_SET ? 0 : Whence == SEEK_CUR ? Pos : Whence == SEEK_END ? FSize : -1;
  if (Base < 0 || Base + Offset < 0) return Fail(EINVAL);
  std::lock_guard<std::mutex> Hold(FLock);
  FOpen[Fd] = Base + Offset;
  return static_cast<off_t>(Base + Offset);
}

int TFileView::Describe(struct stat& St) {
  if (FInner.Stat(FSource, St) != 0) return -1;
  St.st_size = static_cast<off_t>(FSize);
  St.st_mode = (St.st_mode & ~static_cast<mode_t>(S_IFMT)) | S_IFREG;
  return 0;
}

int TFileView::Stat(const std::string& Path, struct stat& St) {
  return Path == FPath ? Describe(St) : FInner.Stat(Path, St);
}

int TFileView::LStat(const std::string& Path, struct stat& St) {
  return Path == FPath ? Describe(St) : FInner.LStat(Path, St);
}

int TFileView::FStat(int Fd, struct stat& St) {
  int64_t Pos = 0;
  if (!Position(Fd, Pos)) return FInner.FStat(Fd, St);
  if (FInner.FStat(Fd, St) != 0) return -1;
  St.st_size = static_cast<off_t>(FSize);
  return 0;
}

int TFileView::RealPath(const std::string& Path, std::string& Resolved) {
  if (Path != FPath) return FInner.RealPath(Path, Resolved);
  Resolved = Path;
  return 0;
}

}  // namespace zem::platform
