// Pieces of Windows-style file names and the two rules that turn a file
// name into the directory part of an archive entry name.
#pragma once

#include <string>
#include <vector>

namespace zem {

// ---- Path pieces -------------------------------------------------------------
// A colon separates only a drive letter: it counts as a separator when it is
// the second character after a letter at the start of the name. Elsewhere it
// is an ordinary character of a Linux file name ("12:30:05.jpg").

// What follows the last '\' (or the drive colon when no '\' follows it).
std::string FilePart(const std::string& Name);
// Everything before the file part: empty, or ending with '\' (or "X:" for a
// drive-relative name such as "X:file").
std::string FolderPath(const std::string& Name);
// The folder path without its final '\', except that a root keeps it: the
// folder of "X:\file" is "X:\", of "\file" is "\".
std::string FolderOf(const std::string& Name);
// "X:" for a name with a drive letter; for a name starting with "\\" the
// server and share names up to (not including) the '\' after the share
// ("\\server\share"), or the whole name when that '\' is missing; else the
// empty text.
std::string DrivePart(const std::string& Name);

// ---- Pattern lists -------------------------------------------------------------

// True when some entry of Patterns matches Name. Both are lower-cased; an
// entry that contains '\' is matched against the whole name, any other
// entry against the file part only (wildcards '*', '?' and sets in angle
// brackets). Empty entries match nothing but an empty file part.
bool MatchesPatternList(const std::vector<std::string>& Patterns, const std::string& Name);

// ---- Stored paths ----------------------------------------------------------------

// The settings both stored-path rules read.
struct TStoredPathSettings {
  bool StorePaths = false;
  bool RelativePaths = false;
  bool StoreVolumes = false;
  std::string RootDir;                        // empty or ending with '\'
  std::vector<std::string> RelativePathList;  // roots cut from the directory
};

// The entry rule: the directory (empty or ending with '\') that the entry
// written for FileName carries. Empty without StorePaths. Otherwise the
// folder of the name plus '\' (a drive root keeps a single '\'); with
// RelativePaths the first item of RelativePathList that is a
// case-insensitive prefix is cut off; without StoreVolumes the drive part
// and then one leading '\' are cut off; leading ".\" folders go last. A
// name without a folder gives the empty directory (never a bare "\",
// which would store an absolute name).
std::string EntryStoredPath(const std::string& FileName, const TStoredPathSettings& S);

// The comparing rule: the directory that an existing entry written for
// FileName has, for matching listed files with entries. Empty without
// StorePaths. Otherwise the folder path of the name; with RelativePaths and
// a non-empty RootDir that is a case-insensitive prefix of it, RootDir is
// cut off; when nothing was cut that way and StoreVolumes is off, the drive
// part and then one leading '\' are cut off; leading ".\" folders go last.
// A non-empty result ends with '\'.
// A RootDir that is not a prefix is not cut blindly: cutting its length off
// an unrelated path would make a file never meet its own entry, so for the
// same settings this rule and the entry rule agree whenever
// RelativePathList holds just RootDir (as SetRootDir leaves it).
std::string ComparingStoredPath(const std::string& FileName, const TStoredPathSettings& S);

}  // namespace zem
