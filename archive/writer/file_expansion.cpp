// The expansion of FilesList at the start of a Zip call: plain names are
// checked one by one, wildcard names walked, and every drop reported.
//
// Design: the listed names are scanned once into a new list (so a handler
// that raises leaves FilesList as it was); wildcard names are set aside and
// walked afterwards in the order they were met, their finds appended. The
// freshen rule looks names up by binary search in the reader's directory
// viewed ByName; the view goes back to ByNone however the expansion ends.
#include <utility>

#include "archive/support/dir_search.h"
#include "archive/support/path_helpers.h"
#include "archive/writer/arc_zip.h"
#include "platform/winapi.h"

namespace zem {

namespace {

// Puts the reader's view back to ByNone when the expansion ends, also when
// a handler raises.
class TViewRestore {
 public:
  TViewRestore(TArcUnZip& Owner, bool Active) : FOwner(Owner), FActive(Active) {}
  ~TViewRestore() {
    if (FActive) FOwner.BuildView(ByNone);
  }
  TViewRestore(const TViewRestore&) = delete;
  TViewRestore& operator=(const TViewRestore&) = delete;

 private:
  TArcUnZip& FOwner;
  bool FActive;
};

bool EndsWithBackslash(const std::string& Name) { return !Name.empty() && Name.back() == '\\'; }

}  // namespace

void TArcZip::SkippingFile(TSkipReason Reason, const std::string& FName) {
  if (!OnSkippingFile) return;
  bool Retry = false;  // not consulted by the expansion
  OnSkippingFile(this, Reason, FName, -1, Retry);
}

void TArcZip::NoSuchFile(const std::string& FName) {
  if (OnNoSuchFile) OnNoSuchFile(this, FName);
}

void TArcZip::CountPathLength(const std::string& Name) {
  if (MultiMode() != mmNone && FMultiZipInfo->SaveZipInfoOnFirstDisk() && FStorePaths)
    FPathLengthSum += static_cast<int64_t>(Name.size()) - 2;
}

bool TArcZip::HasEntryFor(const std::string& FileName) const {
  if (FView == nullptr || FView->Count() == 0) return false;
  std::string Name = FileName;
  if (OEMConvert()) OemRoundTrip(Name);
  TZipHeaderInfo Key;
  Key.SetDirectory(EntryNameAsRead(ComparingDirectoryFor(Name)));
  Key.SetFileName(EntryNameAsRead(FilePart(Name)));
  const std::string Wanted = Key.FullName();
  int Index = 0;
  if (FView->SortMode() == ByName) {
    // The view's order folds ASCII case, so names that differ only in case
    // sit together around the one found; the entry must match exactly.
    if (!FView->Find(static_cast<const TObject*>(&Key), Index)) return false;
    for (int I = Index; I >= 0 && CompareZipText(FView->Items(I)->FullName(), Wanted) == 0; --I)
      if (FView->Items(I)->FullName() == Wanted) return true;
    for (int I = Index + 1;
         I < FView->Count() && CompareZipText(FView->Items(I)->FullName(), Wanted) == 0; ++I)
      if (FView->Items(I)->FullName() == Wanted) return true;
    return false;
  }
  // Without the sorted view (a caller outside the expansion): a plain scan.
  for (int I = 0; I < FView->Count(); ++I)
    if (FView->Items(I)->FullName() == Wanted) return true;
  return false;
}

TFileListExpansion TArcZip::ExpandFileList() {
  FTotalBytes = 0;
  FBytesDone = 0;
  FPathLengthSum = 0;
  const bool Freshen = FZipAction == zaFreshen;
  if (Freshen) BuildView(ByName);
  TViewRestore Restore(*this, Freshen);
  const int32_t Mask = FAttributes;

  // Listed names: directory entries stay, wildcard names are set aside,
  // any other name must be one existing file.
  std::vector<std::string>& Files = FilesList();
  std::vector<std::string> Kept;
  std::vector<std::string> Wild;
  Kept.reserve(Files.size());
  for (const std::string& Listed : Files) {
    if (EndsWithBackslash(Listed)) {
      CountPathLength(Listed);
      Kept.push_back(Listed);
      continue;
    }
    if (IsWildcardName(Listed)) {
      Wild.push_back(Listed);
      continue;
    }
    std::string Name = FolderPath(Listed).empty() ? RootDir() + Listed : Listed;
    if (MatchesPatternList(FExcludeList, Name)) {
      SkippingFile(srExcludeList, Name);
      continue;
    }
    platform::TSearchRec Found;
    if (const int Rc = platform::FindFirst(Name, Mask, Found); Rc != 0) {
      // Not there, or there but not to be looked at (the system says why).
      if (Rc != static_cast<int>(platform::ERROR_FILE_NOT_FOUND) &&
          Rc != static_cast<int>(platform::ERROR_PATH_NOT_FOUND))
        FSkipCause = platform::SysErrorMessage(static_cast<uint32_t>(Rc));
      NoSuchFile(Name);
      FSkipCause.clear();
      continue;
    }
    platform::FindClose(Found);
    if (ArchiveBitDrops(static_cast<uint32_t>(Found.Attr), FSkipIfArchiveBitNotSet)) {
      SkippingFile(srArchiveBitNotSet, Name);
      continue;
    }
    if (Freshen && !HasEntryFor(Name)) {
      SkippingFile(srNoFileToFreshen, Name);
      continue;
    }
    FTotalBytes += FoundSize64(Found);
    CountPathLength(Name);
    Kept.push_back(std::move(Name));
  }
  Files = std::move(Kept);

  for (std::string& Name : Wild) WalkWildcardName(std::move(Name), Freshen);

  if (FPathLengthSum > 0 && !Files.empty())
    FPathLengthSum /= static_cast<int64_t>(Files.size());

  TFileListExpansion Result;
  Result.NumFiles = static_cast<int32_t>(Files.size());
  Result.TotalBytes = FTotalBytes;
  Result.PathLengthSum = FPathLengthSum;
  return Result;
}

void TArcZip::WalkWildcardName(std::string Name, bool Freshen) {
  bool Recursing = FRecurse;
  if (!Name.empty() && Name.front() == '|') {
    Name.erase(0, 1);
    Recursing = false;
  }
  if (!Name.empty() && Name.front() == '>') {
    Name.erase(0, 1);
    Recursing = true;
  }
  std::string Folder = FolderOf(Name);
  if (Folder.empty()) Folder = RootDir();
  std::string Pattern = FilePart(Name);
  if (Pattern == "*.*") Pattern = "*";
  if (!IsWildcardName(Folder) && !DirExists(Folder)) {
    NoSuchFile(Name);
    return;
  }

  // The archive is known by what it is, not by how it is named: a relative
  // name, a link or another spelling all lead to the same device and inode.
  platform::TFileInfo Own;
  const bool HaveOwn = platform::GetFileInfo(ZipName(), Own);
  std::vector<std::string>& Files = FilesList();
  TDirSearch Walk(Folder, FAttributes, Recursing, Pattern);
  // A folder of the walk that cannot be read leaves its files out: said,
  // never passed over.
  Walk.OnUnreadable = [this](const std::string& Dir, uint32_t Error, bool Whole) {
    FSkipCause = (Whole ? "the folder cannot be read: " : "not every entry of the folder can be read: ") +
                 platform::SysErrorMessage(Error);
    SkippingFile(srFileOpenError, Dir);
    FSkipCause.clear();
  };
  platform::TSearchRec Found;
  for (std::string Path = Walk.NextFile(Found); !Path.empty(); Path = Walk.NextFile(Found)) {
    if (OnRecursingFile) OnRecursingFile(this, Path);
    if (EndsWithBackslash(Path)) {
      if (Recursing && FAddDirEntriesOnRecurse) {
        CountPathLength(Path);
        Files.push_back(Path);
      }
      continue;
    }
    if (MatchesPatternList(FExcludeList, Path)) {
      SkippingFile(srExcludeList, Path);
      continue;
    }
    PumpMessages();
    // (The size is compared first, so that most files need no second look.)
    if (HaveOwn && FoundSize64(Found) == Own.Size) {
      platform::TFileInfo Info;
      if (platform::GetFileInfo(Path, Info) && Info.SameFile(Own)) continue;
    }
    if (ArchiveBitDrops(static_cast<uint32_t>(Found.Attr), FSkipIfArchiveBitNotSet)) {
      SkippingFile(srArchiveBitNotSet, Path);
      continue;
    }
    if (Freshen && !HasEntryFor(Path)) {
      SkippingFile(srNoFileToFreshen, Path);
      continue;
    }
    FTotalBytes += FoundSize64(Found);
    CountPathLength(Path);
    Files.push_back(std::move(Path));
  }
}

}  // namespace zem
