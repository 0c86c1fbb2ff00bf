// A file that exists only as a view: ranges of another file, read in place
// and served under a name of its own through the file-system seam, so that
// every reader that opens files by name (the archive reader among them)
// reads it without a copy being written anywhere.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace zem::platform {

// Passes every call to another file system: the base of file systems that
// change a few calls and keep the rest.
class TForwardingFileSystem : public TFileSystem {
 public:
  explicit TForwardingFileSystem(TFileSystem& Inner) : FInner(Inner) {}

  int Open(const std::string& Path, int Flags, mode_t Mode = 0) override { return FInner.Open(Path, Flags, Mode); }
  int OpenAt(int Dir, const std::string& Name, int Flags, mode_t Mode = 0) override {
    return FInner.OpenAt(Dir, Name, Flags, Mode);
  }
  int Close(int Fd) override { return FInner.Close(Fd); }
  ssize_t Read(int Fd, void* Buffer, size_t Count) override { return FInner.Read(Fd, Buffer, Count); }
  ssize_t Write(int Fd, const void* Buffer, size_t Count) override { return FInner.Write(Fd, Buffer, Count); }
  off_t Seek(int Fd, off_t Offset, int Whence) override { return FInner.Seek(Fd, Offset, Whence); }
  int Truncate(int Fd, off_t Size) override { return FInner.Truncate(Fd, Size); }
  int Sync(int Fd) override { return FInner.Sync(Fd); }
  int SyncFileSystem(int Fd) override { return FInner.SyncFileSystem(Fd); }
  int DropCache(int Fd) override { return FInner.DropCache(Fd); }
  int ReadAhead(int Fd) override { return FInner.ReadAhead(Fd); }
  int Stat(const std::string& Path, struct stat& St) override { return FInner.Stat(Path, St); }
  int LStat(const std::string& Path, struct stat& St) override { return FInner.LStat(Path, St); }
  int FStat(int Fd, struct stat& St) override { return FInner.FStat(Fd, St); }
  int StatAt(int Dir, const std::string& Name, struct stat& St, int Flags) override {
    return FInner.StatAt(Dir, Name, St, Flags);
  }
  int StatFs(const std::string& Path, struct statfs& Fs) override { return FInner.StatFs(Path, Fs); }
  int StatVfs(const std::string& Path, struct statvfs& Vfs) override { return FInner.StatVfs(Path, Vfs); }
  int FStatFs(int Fd, struct statfs& Fs) override { return FInner.FStatFs(Fd, Fs); }
  int MountsChanged(int Fd) override { return FInner.MountsChanged(Fd); }
  int MountId(int Dir, const std::string& Name, int Flags, uint64_t& Id) override {
    return FInner.MountId(Dir, Name, Flags, Id);
  }
  int ListFolder(int Fd, const std::function<void(const char* Name)>& OnName) override {
    return FInner.ListFolder(Fd, OnName);
  }
  int MakeFolder(const std::string& Path, mode_t Mode) override { return FInner.MakeFolder(Path, Mode); }
  int MakeFolderAt(int Dir, const std::string& Name, mode_t Mode) override {
    return FInner.MakeFolderAt(Dir, Name, Mode);
  }
  int MakeTempFolder(std::string& Template) override { return FInner.MakeTempFolder(Template); }
  int RemoveFolder(const std::string& Path) override { return FInner.RemoveFolder(Path); }
  int ChangeFolder(const std::string& Path) override { return FInner.ChangeFolder(Path); }
  int CurrentFolder(std::string& Path) override { return FInner.CurrentFolder(Path); }
  int Rename(const std::string& From, const std::string& To, unsigned Flags = 0) override {
    return FInner.Rename(From, To, Flags);
  }
  int RenameAt(int FromDir, const std::string& From, int ToDir, const std::string& To,
               unsigned Flags = 0) override {
    return FInner.RenameAt(FromDir, From, ToDir, To, Flags);
  }
  int Link(const std::string& From, const std::string& To) override { return FInner.Link(From, To); }
  int SymLinkAt(const std::string& Target, int Dir, const std::string& Name) override {
    return FInner.SymLinkAt(Target, Dir, Name);
  }
  int Unlink(const std::string& Path) override { return FInner.Unlink(Path); }
  int UnlinkAt(int Dir, const std::string& Name, int Flags) override { return FInner.UnlinkAt(Dir, Name, Flags); }
  int ReadLink(const std::string& Path, std::string& Target) override { return FInner.ReadLink(Path, Target); }
  int RealPath(const std::string& Path, std::string& Resolved) override { return FInner.RealPath(Path, Resolved); }
  int Chmod(const std::string& Path, mode_t Mode) override { return FInner.Chmod(Path, Mode); }
  int FChmod(int Fd, mode_t Mode) override { return FInner.FChmod(Fd, Mode); }
  int ChmodAt(int Dir, const std::string& Name, mode_t Mode) override { return FInner.ChmodAt(Dir, Name, Mode); }
  int Chown(const std::string& Path, uid_t Owner, gid_t Group) override { return FInner.Chown(Path, Owner, Group); }
  int SetTimes(const std::string& Path, const struct timespec Times[2]) override {
    return FInner.SetTimes(Path, Times);
  }
  int FSetTimes(int Fd, const struct timespec Times[2]) override { return FInner.FSetTimes(Fd, Times); }
  int SetTimesAt(int Dir, const std::string& Name, const struct timespec Times[2], int Flags) override {
    return FInner.SetTimesAt(Dir, Name, Times, Flags);
  }
  int GetFatAttributes(int Fd, uint32_t& Attributes) override { return FInner.GetFatAttributes(Fd, Attributes); }
  int SetFatAttributes(int Fd, uint32_t Attributes) override { return FInner.SetFatAttributes(Fd, Attributes); }
  int ClockTime(clockid_t Clock, struct timespec& Time) override { return FInner.ClockTime(Clock, Time); }
  std::optional<std::string> GetEnv(const std::string& Name) override { return FInner.GetEnv(Name); }

 protected:
  TFileSystem& FInner;
};

// A part of the source file: Length bytes from Offset.
struct TFileRange {
  int64_t Offset = 0;
  int64_t Length = 0;
};

// Serves the native path Path as a read-only file whose bytes are Ranges of
// the file at Source, one after the other, read through Inner (the file
// system in use when the view is made, so faults armed on Source's reads
// reach the view's readers). Every other call goes to Inner. Each open of
// Path opens Source anew with a position of its own, so several readers
// (threads included) can read the view at once; an open fails with ESTALE
// when Source is no longer the file it was when the view was made (one
// renamed over it). Opening Path for writing fails with EROFS. Install it
// with TFileSystemOverride for as long as the view is read.
class TFileView : public TForwardingFileSystem {
 public:
  // Raises nothing: a Source that cannot be reached makes every open fail
  // with its errno.
  TFileView(std::string Path, std::string Source, std::vector<TFileRange> Ranges,
            TFileSystem& Inner = FileSystem());
  const std::string& Path() const { return FPath; }
  int64_t Size() const { return FSize; }

  int Open(const std::string& Path, int Flags, mode_t Mode = 0) override;
  int Close(int Fd) override;
  ssize_t Read(int Fd, void* Buffer, size_t Count) override;
  ssize_t Write(int Fd, const void* Buffer, size_t Count) override;
  off_t Seek(int Fd, off_t Offset, int Whence) override;
  int Truncate(int Fd, off_t Size) override;
  int Stat(const std::string& Path, struct stat& St) override;
  int LStat(const std::string& Path, struct stat& St) override;
  int FStat(int Fd, struct stat& St) override;
  int RealPath(const std::string& Path, std::string& Resolved) override;

 private:
  // The position of the view in an open descriptor; false when Fd is not one.
  bool Position(int Fd, int64_t& Pos);
  int Describe(struct stat& St);

  std::string FPath, FSource;
  std::vector<TFileRange> FRanges;
  int64_t FSize = 0;
  dev_t FDevice = 0;
  ino_t FInode = 0;
  int FSourceError = 0;
  std::mutex FLock;
  std::map<int, int64_t> FOpen;  // descriptor on Source -> position in the view
};

}  // namespace zem::platform
