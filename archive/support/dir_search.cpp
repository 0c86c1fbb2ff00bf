// File search of one directory and the directory-tree walk.
#include "archive/support/dir_search.h"

#include "archive/support/path_helpers.h"
#include "archive/support/wildcard.h"

namespace zem {

using namespace platform;

// ---- TSearchData -----------------------------------------------------------

TSearchData::TSearchData(const std::string& Directory, int32_t Attr, const std::string& Pattern)
    : FDirectory(IncludeTrailingBackslash(Directory)), FPattern(Pattern) {
  // The platform lists everything; the walk applies the pattern itself.
  FLastResult = FindFirst(FDirectory + "*.*", Attr, FSearchRec);
  FFailedAtStart = FLastResult != 0;
}

TSearchData::~TSearchData() {
  if (!FFailedAtStart) FindClose(FSearchRec);
}

void TSearchData::Next() {
  if (FLastResult == 0) FLastResult = FindNext(FSearchRec);
}

// ---- TDirSearch ------------------------------------------------------------

/*
 * The walk keeps one open directory search per level in a fixed stack:
 * slot 0 is the start directory, slot n a directory n levels below it.
 * Levels below the wildcard directory count are "wild": there only
 * directories matching that level's wild component are entered, and no
 * files are yielded. Deeper levels are ordinary: files matching the file
 * pattern are yielded and, when recursing, subdirectories are yielded and
 * entered. A level whose search has ended is closed and the walk resumes
 * one level up with that level's next entry.
 */

TDirSearch::TDirSearch(const std::string& StartPath, int32_t Attr, bool Recurse,
                       const std::string& FilePattern)
    : FFilePattern(FilePattern), FRecurse(Recurse), FAttr(Attr) {
  std::string Start = IncludeTrailingBackslash(StartPath);
  size_t Wild = Start.find_first_of("*?<>|");
  if (Wild == std::string::npos) {
    FStartDirectory = Start;
  } else {
    size_t Cut = Wild == 0 ? std::string::npos : Start.rfind('\\', Wild - 1);
    size_t RestFrom;
    if (Cut != std::string::npos) {
      RestFrom = Cut + 1;
    } else if (HasDrivePart(Start) && Wild >= 2) {
      RestFrom = 2;  // "X:*\..." searches the drive's root
    } else {
      RestFrom = 0;  // a relative start: the current directory
    }
    FStartDirectory = Start.substr(0, RestFrom);
    size_t Pos = RestFrom;
    while (Pos < Start.size()) {
      size_t End = Start.find('\\', Pos);
      if (End == std::string::npos) End = Start.size();
      if (End > Pos) FWildDirs.push_back(Start.substr(Pos, End - Pos));
      Pos = End + 1;
    }
    FWildIndex = 0;
  }
  FLevel = 0;
  const std::string& Pattern = FWildDirs.empty() ? FFilePattern : FWildDirs[0];
  FLevels[0] = std::make_unique<TSearchData>(FStartDirectory, FAttr, Pattern);
}

TDirSearch::~TDirSearch() = default;

bool TDirSearch::Descend(const std::string& Directory, const std::string& Pattern) {
  if (FLevel >= kMaxDepth) return false;
  ++FLevel;
  FLevels[FLevel] = std::make_unique<TSearchData>(Directory, FAttr, Pattern);
  return true;
}

std::string TDirSearch::NextFile(TSearchRec& Found) {
  const int WildCount = WildDirCount();
  for (;;) {
    TSearchData* L = FLevels[FLevel].get();
    if (L == nullptr || L->Ended()) {
      if (L != nullptr && OnUnreadable) {
        const auto Code = static_cast<uint32_t>(L->LastResult());
        if (Code != ERROR_NO_MORE_FILES && Code != ERROR_FILE_NOT_FOUND && Code != ERROR_PATH_NOT_FOUND)
          OnUnreadable(L->Directory(), Code, L->FailedAtStart());
      }
      FLevels[FLevel].reset();
      if (FLevel == 0) return std::string();
      --FLevel;
      if (FLevel < WildCount) --FWildIndex;
      FLevels[FLevel]->Next();
      continue;
    }

    TSearchRec& Rec = L->SearchRec();
    const bool IsDir = (Rec.Attr & faDirectory) != 0;
    const bool IsDots = Rec.Name == "." || Rec.Name == "..";

    if (FLevel < WildCount) {
      // Wild level: enter the next directory matching this level's component.
      if (IsDir && !IsDots && FLevel < kMaxDepth && IsMatch(FWildDirs[FWildIndex], Rec.Name)) {
        std::string Dir = L->Directory() + Rec.Name;
        const bool StillWild = FLevel + 1 < WildCount;
        Descend(Dir, StillWild ? FWildDirs[FWildIndex + 1] : FFilePattern);
        ++FWildIndex;
        // Pass over the "." entry a subdirectory listing starts with.
        TSearchData* Sub = FLevels[FLevel].get();
        if (!Sub->Ended() && Sub->SearchRec().Name == ".") Sub->Next();
      } else {
        L->Next();
      }
      continue;
    }

    if (IsDir) {
      if (FRecurse && !IsDots) {
        std::string Dir = L->Directory() + Rec.Name;
        // L moves on when the walk comes back up to this level.
        if (Descend(Dir, FFilePattern)) return Dir + "\\";
      }
      L->Next();
      continue;
    }

    // A file: a name without an extension is matched with a "." appended,
    // and yielded without it.
    const bool AddDot = Rec.Name.find('.') == std::string::npos;
    std::string MatchName = AddDot ? Rec.Name + "." : Rec.Name;
    if (IsMatch(FFilePattern, MatchName)) {
      std::string Path = L->Directory() + Rec.Name;
      Found = Rec;
      Found.FindHandle = nullptr;  // the handle stays with the search
      L->Next();
      return Path;
    }
    L->Next();
  }
}

}  // namespace zem
