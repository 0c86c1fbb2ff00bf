// File search of one directory and walks over directory trees.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/base.h"
#include "platform/winapi.h"

namespace zem {

// The search of one directory. Lists every entry of the directory that the
// attribute filter lets through (entries with the hidden, system, directory
// or volume-label bit only when that bit is in the filter); the pattern is
// kept for the walk, which does the matching itself.
class TSearchData : public TObject {
 public:
  // Starts the search of Directory (a "\" is added when missing; the empty
  // text is the current directory). A directory that does not exist or
  // cannot be listed gives a search that has already ended.
  TSearchData(const std::string& Directory, int32_t Attr, const std::string& Pattern);
  // Closes the platform search unless the first find found nothing.
  ~TSearchData() override;
  TSearchData(const TSearchData&) = delete;
  TSearchData& operator=(const TSearchData&) = delete;

  // Moves to the next entry; does nothing once the search has ended.
  void Next();

  // True once the search has found nothing more.
  bool Ended() const { return FLastResult != 0; }
  // 0 while the search stands on an entry, else the platform's error code.
  int LastResult() const { return FLastResult; }
  bool FailedAtStart() const { return FFailedAtStart; }
  const std::string& Directory() const { return FDirectory; }
  const std::string& Pattern() const { return FPattern; }
  // The current entry (meaningful while not Ended()).
  platform::TSearchRec& SearchRec() { return FSearchRec; }
  const platform::TSearchRec& SearchRec() const { return FSearchRec; }

 private:
  std::string FDirectory;
  std::string FPattern;
  int FLastResult = 0;
  platform::TSearchRec FSearchRec;
  bool FFailedAtStart = false;
};

// A walk over a directory tree that yields, one NextFile call at a time,
// every file whose name matches a pattern, optionally below subdirectories
// (recurse) and below directory components of the start path that contain
// wildcards ("C:\logs\*\day?\" searches C:\logs\ for directories matching
// "*" and, in each, directories matching "day?").
//
// With recurse on, each subdirectory is yielded (its path ending with "\")
// before the entries inside it, depth first, in the platform's listing
// order; with recurse off only matching files are yielded. A file name
// without an extension is matched with a "." appended, so "*.*" matches
// README and "*." matches only such names; the name is yielded as it is on
// disk. "." and ".." are never yielded.
//
// The walk holds the start directory and at most kMaxDepth levels below it.
// Directories found at the deepest level are neither yielded nor entered;
// the files there are yielded as usual.
class TDirSearch : public TObject {
 public:
  static constexpr int kLevelSlots = 21;
  static constexpr int kMaxDepth = kLevelSlots - 1;

  TDirSearch(const std::string& StartPath, int32_t Attr, bool Recurse,
             const std::string& FilePattern);
  // Closes every search still open.
  ~TDirSearch() override;
  TDirSearch(const TDirSearch&) = delete;
  TDirSearch& operator=(const TDirSearch&) = delete;

  // The next path, or the empty text once the walk is over (every search is
  // then closed). For a file, Found receives its search record (the find
  // handle excluded); for a directory Found is left alone.
  std::string NextFile(platform::TSearchRec& Found);

  // The directory the walk starts in (ends with "\" unless empty) and the
  // wildcard directory components that follow it.
  const std::string& StartDirectory() const { return FStartDirectory; }
  const std::vector<std::string>& WildDirs() const { return FWildDirs; }
  int WildDirCount() const { return static_cast<int>(FWildDirs.size()); }
  int CurrentLevel() const { return FLevel; }

  // A folder of the walk that could not be read (Whole: not at all; else
  // some of its names could not be looked at and were passed over), with
  // the platform's error code; raised when the walk leaves the folder. A
  // folder that vanished meanwhile is not reported.
  std::function<void(const std::string& Folder, uint32_t Error, bool Whole)> OnUnreadable;

 private:
  // Opens a search one level down in Directory, if the stack has room.
  bool Descend(const std::string& Directory, const std::string& Pattern);

  std::array<std::unique_ptr<TSearchData>, kLevelSlots> FLevels;
  int FLevel = 0;
  std::string FStartDirectory;
  std::string FFilePattern;
  bool FRecurse = false;
  std::vector<std::string> FWildDirs;
  int FWildIndex = -1;
  int32_t FAttr = 0;
};

}  // namespace zem
