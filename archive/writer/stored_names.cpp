// Path pieces, pattern lists and the stored-path rules of the writer.
#include "archive/writer/stored_names.h"

#include "archive/support/path_helpers.h"
#include "archive/support/wildcard.h"
#include "platform/winapi.h"

namespace zem {

namespace {

bool StartsWithNoCase(const std::string& Text, const std::string& Prefix) {
  if (Prefix.size() > Text.size()) return false;
  return platform::AnsiUpperCase(Text.substr(0, Prefix.size())) ==
         platform::AnsiUpperCase(Prefix);
}

// Cuts the drive part (if any) off Dir, then one leading '\' if present,
// so that no stored directory is absolute.
void CutDrivePart(std::string& Dir) {
  Dir.erase(0, DrivePart(Dir).size());
  if (!Dir.empty() && Dir.front() == '\\') Dir.erase(0, 1);
}

// Cuts leading ".\" folders: "." names the folder it stands in and adds
// nothing to a stored path (a name such as ".\a:b.txt" is written so only
// to keep its colon from reading as a drive).
void CutDotFolders(std::string& Dir) {
  while (Dir.size() >= 2 && Dir[0] == '.' && Dir[1] == '\\') Dir.erase(0, 2);
}

}  // namespace

// ---- Path pieces -------------------------------------------------------------

std::string FilePart(const std::string& Name) { return ExtractFileName(Name); }

std::string FolderPath(const std::string& Name) { return ExtractFilePath(Name); }

std::string FolderOf(const std::string& Name) {
  std::string Folder = FolderPath(Name);
  const bool Root = Folder == "\\" || (Folder.size() == 3 && HasDrivePart(Folder) && Folder[2] == '\\');
  if (!Root && !Folder.empty() && Folder.back() == '\\') Folder.pop_back();
  return Folder;
}

std::string DrivePart(const std::string& Name) {
  if (HasDrivePart(Name)) return Name.substr(0, 2);
  if (Name.size() < 2 || Name[0] != '\\' || Name[1] != '\\') return std::string();
  const size_t ServerEnd = Name.find('\\', 2);
  if (ServerEnd == std::string::npos) return Name;
  const size_t ShareEnd = Name.find('\\', ServerEnd + 1);
  if (ShareEnd == std::string::npos) return Name;
  return Name.substr(0, ShareEnd);
}

// ---- Pattern lists -------------------------------------------------------------

bool MatchesPatternList(const std::vector<std::string>& Patterns, const std::string& Name) {
  if (Patterns.empty()) return false;
  const std::string Whole = platform::AnsiLowerCase(Name);
  const std::string File = FilePart(Whole);
  for (const std::string& Entry : Patterns) {
    const std::string Pattern = platform::AnsiLowerCase(Entry);
    const bool WholeName = Pattern.find('\\') != std::string::npos;
    if (IsMatch(Pattern, WholeName ? Whole : File)) return true;
  }
  return false;
}

// ---- Stored paths ----------------------------------------------------------------

std::string EntryStoredPath(const std::string& FileName, const TStoredPathSettings& S) {
  if (!S.StorePaths) return std::string();
  const std::string Folder = FolderOf(FileName);
  if (Folder.empty()) return std::string();
  std::string Dir = Folder + '\\';
  if (Dir.size() >= 2 && Dir[Dir.size() - 2] == '\\') Dir.pop_back();  // a root
  if (S.RelativePaths) {
    for (const std::string& Root : S.RelativePathList) {
      if (StartsWithNoCase(Dir, Root)) {
        Dir.erase(0, Root.size());
        break;
      }
    }
  }
  if (!S.StoreVolumes) CutDrivePart(Dir);
  CutDotFolders(Dir);
  return Dir;
}

std::string ComparingStoredPath(const std::string& FileName, const TStoredPathSettings& S) {
  if (!S.StorePaths) return std::string();
  std::string Dir = FolderPath(FileName);
  bool CutRoot = false;
  if (S.RelativePaths && !S.RootDir.empty() && StartsWithNoCase(Dir, S.RootDir)) {
    Dir.erase(0, S.RootDir.size());
    CutRoot = true;
  }
  if (!CutRoot && !S.StoreVolumes) CutDrivePart(Dir);
  if (!Dir.empty() && Dir.back() != '\\') Dir += '\\';  // "X:" of "X:file"
  CutDotFolders(Dir);
  return Dir;
}

}  // namespace zem
