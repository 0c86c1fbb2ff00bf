// Directory searches with the platform's name matching and attribute filter.
//
// FindFirst reads the names of the pattern's folder once, keeps those the
// pattern matches in byte order ("." and ".." first), and each step then
// examines one name: links are listed as links (followed to files only),
// entries that are neither files, folders nor links are passed over, and
// the attribute filter is applied. Only names are held, so memory grows with one folder's listing.
// Names are held and matched in their internal form (NameFromNative), so a
// '*' or '?' in a Linux name is an ordinary character, never a wildcard.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/drives.h"
#include "platform/file_internal.h"
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {

struct TFindState {
  std::string Dir;  // native folder
  std::vector<std::string> Names;
  size_t Next = 0;
  // A plain name found by FindFirst: its status, so that it is not looked
  // at twice.
  bool HavePlain = false;
  struct stat Plain {};
  int32_t ExcludeAttr = 0;
  bool OnFat = false;
  // The first error of a listed name that could not be looked at (not one
  // that vanished): the search ends with it instead of "no more files".
  uint32_t Failure = 0;
};

bool IsContinuation(char C) { return (static_cast<unsigned char>(C) & 0xC0) == 0x80; }

// Index just past the character that starts at I (one UTF-8 sequence).
size_t NextChar(const std::string& S, size_t I) {
  ++I;
  while (I < S.size() && IsContinuation(S[I])) ++I;
  return I;
}

// '*' matches any run of characters, '?' exactly one; both texts are
// already folded to one case. Greedy scan with a single backtrack point,
// which is enough because each star only ever needs to grow.
bool GlobMatch(const std::string& P, const std::string& T) {
  size_t Pi = 0, Ti = 0;
  size_t StarP = std::string::npos, StarT = 0;
  while (Ti < T.size()) {
    if (Pi < P.size() && P[Pi] == '*') {
      StarP = Pi++;
      StarT = Ti;
    } else if (Pi < P.size() && P[Pi] == '?') {
      ++Pi;
      Ti = NextChar(T, Ti);
    } else if (Pi < P.size() && P[Pi] == T[Ti]) {
      ++Pi;
      ++Ti;
    } else if (StarP != std::string::npos) {
      Pi = StarP + 1;
      StarT = NextChar(T, StarT);
      Ti = StarT;
    } else {
      return false;
    }
  }
  while (Pi < P.size() && P[Pi] == '*') ++Pi;
  return Pi == P.size();
}

// The platform's matching: case-insensitive, and a trailing ".*" also
// matches a name without an extension, so "*.*" matches every name.
bool NameMatches(const std::string& FoldedPattern, const std::string& Name) {
  std::string N = AnsiLowerCaseFileName(Name);
  if (GlobMatch(FoldedPattern, N)) return true;
  size_t L = FoldedPattern.size();
  return L >= 2 && FoldedPattern.compare(L - 2, 2, ".*") == 0 &&
         GlobMatch(FoldedPattern.substr(0, L - 2), N);
}

bool HasWildcard(const std::string& S) { return S.find_first_of("*?") != std::string::npos; }

std::string JoinNative(const std::string& Dir, const std::string& Name) {
  return Dir == "/" ? "/" + Name : Dir + "/" + Name;
}

bool IsDriveRoot(const std::string& NativeDir) {
  std::string Win = FromNativePath(NativeDir);
  return Win.size() == 3 && Win[1] == ':' && Win[2] == '\\';
}

void FillRecord(TSearchRec& F, const std::string& Name, const struct stat& St, uint32_t Attr) {
  uint64_t Size = S_ISDIR(St.st_mode) ? 0 : static_cast<uint64_t>(St.st_size);
  F.Name = Name;
  F.Attr = static_cast<int32_t>(Attr);
  F.Size = static_cast<int64_t>(Size);
  F.Time = UnixToDosDateTime(St.st_mtime);
  F.FindData.dwFileAttributes = Attr;
  // stat keeps no creation time; the last write time stands in for it.
  F.FindData.ftCreationTime = UnixToFileTime(St.st_mtim.tv_sec, St.st_mtim.tv_nsec);
  F.FindData.ftLastWriteTime = F.FindData.ftCreationTime;
  F.FindData.ftLastAccessTime = UnixToFileTime(St.st_atim.tv_sec, St.st_atim.tv_nsec);
  F.FindData.nFileSizeHigh = static_cast<uint32_t>(Size >> 32);
  F.FindData.nFileSizeLow = static_cast<uint32_t>(Size);
  F.FindData.cFileName = Name;
  F.FindData.cAlternateFileName.clear();
}

// Moves to the next name that is a file or folder passing the filter and
// fills F from it. False when the names are used up.
bool Advance(TFindState& S, TSearchRec& F) {
  TFileSystem& Fs = FileSystem();
  while (S.Next < S.Names.size()) {
    const std::string& Name = S.Names[S.Next++];
    std::string Full = JoinNative(S.Dir, NameToNative(Name));
    struct stat St;
    if (S.HavePlain) {
      St = S.Plain;
      S.HavePlain = false;
    } else if (Fs.LStat(Full, St) != 0) {
      // Vanished since the listing; any other failure (an I/O error, a
      // folder that can be listed but not searched) hides an entry, and
      // the search says so at its end.
      if (errno != ENOENT && errno != ENOTDIR && S.Failure == 0)
        S.Failure = detail::ErrnoToWinError(errno, Full);
      continue;
    }
    const auto Mode = static_cast<uint32_t>(St.st_mode);
    if (S_ISLNK(St.st_mode)) {
      // A link is listed as a link. One to a file shows the file's size,
      // time and attributes; any other one its own, without the folder
      // bit: walks must never follow a link into a folder.
      struct stat Target;
      if (Fs.Stat(Full, Target) == 0 && S_ISREG(Target.st_mode)) St = Target;
    } else if (!S_ISREG(St.st_mode) && !S_ISDIR(St.st_mode)) {
      continue;  // devices, pipes, sockets
    }
    uint32_t Attr = detail::DosAttributesOf(Full, St, S.OnFat);
    if (S_ISLNK(St.st_mode)) Attr &= ~static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY);
    if (static_cast<int32_t>(Attr) & S.ExcludeAttr) continue;
    FillRecord(F, Name, St, Attr);
    F.Mode = Mode;
    return true;
  }
  return false;
}

// Reads the names of Dir that match Pattern. Returns 0 or the error code.
uint32_t ListNames(TFindState& S, const std::string& Pattern) {
  TFileSystem& Fs = FileSystem();
  std::string Folded = AnsiLowerCaseFileName(Pattern);
  if (!HasWildcard(Pattern) && Pattern != "." && Pattern != "..") {
    // A plain name: the exact entry if there is one, before any listing.
    struct stat St;
    if (Fs.LStat(JoinNative(S.Dir, NameToNative(Pattern)), St) == 0) {
      S.Names.push_back(Pattern);
      return 0;
    }
  }
  const int Dir = Fs.Open(S.Dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Dir < 0) return detail::ErrnoToWinError(errno, S.Dir);
  std::vector<std::string> Names;
  const int Rc = Fs.ListFolder(Dir, [&](const char* Native) {
    std::string Name = NameFromNative(Native);
    if (NameMatches(Folded, Name)) Names.push_back(std::move(Name));
  });
  const int ReadErr = Rc != 0 ? errno : 0;
  Fs.Close(Dir);
  if (ReadErr != 0) return detail::ErrnoToWinError(ReadErr, S.Dir);
  std::sort(Names.begin(), Names.end());
  if (!IsDriveRoot(S.Dir)) {
    for (const char* Dot : {".", ".."})
      if (NameMatches(Folded, Dot)) S.Names.push_back(Dot);
  }
  S.Names.insert(S.Names.end(), std::make_move_iterator(Names.begin()),
                 std::make_move_iterator(Names.end()));
  return 0;
}

int Fail(TSearchRec& F, uint32_t Code) {
  F.FindHandle = nullptr;
  SetLastError(Code);
  return static_cast<int>(Code);
}

}  // namespace

int FindFirst(const std::string& Path, int32_t Attr, TSearchRec& F) {
  F.FindHandle = nullptr;
  F.ExcludeAttr = ~Attr & (faHidden | faSysFile | faVolumeID | faDirectory);
  size_t Sep = Path.find_last_of("\\/");
  std::string DirPart, Pattern;
  if (Sep != std::string::npos) {
    DirPart = Path.substr(0, Sep + 1);
    Pattern = Path.substr(Sep + 1);
  } else if (Path.size() >= 2 && Path[1] == ':') {
    DirPart = Path.substr(0, 2);
    Pattern = Path.substr(2);
  } else {
    Pattern = Path;
  }
  if (Pattern.empty()) return Fail(F, ERROR_FILE_NOT_FOUND);

  auto S = std::make_unique<TFindState>();
  S->ExcludeAttr = F.ExcludeAttr;
  S->Dir = ToNativePath(DirPart);
  if (S->Dir.empty()) return Fail(F, ERROR_PATH_NOT_FOUND);
  // A plain name that is there needs no look at its folder (which must
  // then be one) and no listing: the one look at the entry serves.
  if (!HasWildcard(Pattern) && Pattern != "." && Pattern != ".." &&
      FileSystem().LStat(JoinNative(S->Dir, NameToNative(Pattern)), S->Plain) == 0) {
    S->HavePlain = true;
    S->Names.push_back(Pattern);
    S->OnFat = detail::IsFatVolume(S->Dir);
  } else {
    struct stat St;
    if (FileSystem().Stat(S->Dir, St) != 0 || !S_ISDIR(St.st_mode)) return Fail(F, ERROR_PATH_NOT_FOUND);
    S->OnFat = detail::IsFatVolume(S->Dir);
    if (uint32_t Code = ListNames(*S, Pattern); Code != 0) return Fail(F, Code);
  }
  if (!Advance(*S, F)) return Fail(F, S->Failure != 0 ? S->Failure : ERROR_FILE_NOT_FOUND);
  F.FindHandle = S.release();
  SetLastError(ERROR_SUCCESS);
  return 0;
}

int FindNext(TSearchRec& F) {
  auto* S = static_cast<TFindState*>(F.FindHandle);
  if (S == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return ERROR_INVALID_HANDLE;
  }
  if (!Advance(*S, F)) {
    const uint32_t Code = S->Failure != 0 ? S->Failure : ERROR_NO_MORE_FILES;
    SetLastError(Code);
    return static_cast<int>(Code);
  }
  return 0;
}

void FindClose(TSearchRec& F) {
  delete static_cast<TFindState*>(F.FindHandle);
  F.FindHandle = nullptr;
}

}  // namespace zem::platform
