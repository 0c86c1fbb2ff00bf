// zemzip add: files and folders into an archive, new or existing.
#include <iostream>
#include <string>
#include <vector>

#include "archive/support/path_helpers.h"
#include "archive/writer/arc_zip.h"
#include "archive/writer/stored_names.h"
#include "cli/zipcli/zip_add.h"
#include "cli/zipcli/zip_commands.h"
#include "platform/drives.h"
#include "platform/winapi.h"

namespace zem {

namespace {

void AddUsage(std::ostream& Err) {
  Err << "usage: zemzip add [-0..-9] [-P PASSWORD] [-r] [-j] [--update|--replace|--freshen]\n"
         "                  [-x PATTERN]... [-z COMMENT] [--split SIZE [--classic]]\n"
         "                  ARCHIVE NAME...\n";
}

const char* ReasonText(TSkipReason Reason) {
  switch (Reason) {
    case srNoOverwrite: return "a file of the same stored name is already in the archive";
    case srFileOpenError: return "cannot be read";
    case srExcludeList: return "excluded";
    case srArchiveBitNotSet: return "archive attribute not set";
    case srNoFileToFreshen: return "not in the archive";
    case srSkippedInStartZip: return "skipped";
    default: return "skipped";
  }
}

// A native name as the component takes it: '\' separated; an absolute name
// on its drive, a relative one left relative (so its stored path is the
// name as given). A leading "./" says nothing and is dropped.
std::string ComponentName(std::string Native) {
  while (Native.size() > 2 && Native.compare(0, 2, "./") == 0) Native.erase(0, 2);
  if (!Native.empty() && Native[0] == '/') return platform::FromNativePath(Native);
  return ToBackslashes(Native);
}

// The settings of "add" that do not depend on the names.
void ApplyOptions(TArcZip& Zip, const std::string& NativeArchive, const TAddOptions& Options) {
  Zip.SetDoProcessMessages(false);
  Zip.SetZipName(platform::FromNativePath(NativeArchive));
  Zip.SetPackLevel(Options.Level);
  Zip.SetPassword(Options.Password);
  Zip.SetZipAction(Options.Action);
  Zip.SetIncludeHiddenFiles(true);
  Zip.SetIncludeSysFiles(true);
  Zip.SetExcludeList(Options.Exclude);
}

// Block files of the split size, named the standard or the classic way.
// A split archive is always written anew: false (the reason on Err) when an
// archive of that name or a first part exists, as it would lose what it
// holds.
bool ApplySplit(TArcZip& Zip, const TAddOptions& Options, std::ostream& Err) {
  if (Options.SplitSize <= 0) return true;
  Zip.SetBlockMode(Options.Classic ? bmClassic : bmStandard);
  std::string First = Zip.BaseName();
  Zip.SplitPartName(First, 1, spFirst);
  for (const std::string& Existing : {Zip.ZipName(), First}) {
    if (FileExistsAt(Existing)) {
      Err << "zemzip: " << platform::ToNativePath(Existing)
          << ": exists; --split writes a new archive\n";
      return false;
    }
  }
  Zip.MultiZipInfo().SetBlockSize(Options.SplitSize);
  Zip.SetMultiMode(mmBlocks);
  return true;
}

// Stored paths are the names as given. Wildcard names without a folder
// (and "." with -r) are walked in the current folder, which then becomes
// the root that stored paths are taken relative to.
void ApplyPathRules(TArcZip& Zip, const std::vector<std::string>& Names,
                    const TAddOptions& Options) {
  bool WalksHere = false;
  for (const std::string& Native : Names) {
    const std::string Name = ComponentName(Native);
    WalksHere = WalksHere || (Name == "." && Options.Recurse) ||
                (IsWildcardName(Name) && FolderPath(Name).empty());
  }
  if (Options.JunkPaths) {
    Zip.SetStorePaths(false);
  } else {
    Zip.SetStorePaths(true);
  }
  if (WalksHere) {
    Zip.SetRootDir(platform::GetCurrentDirectoryA());
    if (!Options.JunkPaths) Zip.SetRelativePaths(true);
  }
  Zip.SetRecurse(Options.Recurse);
  Zip.SetAddDirEntriesOnRecurse(Options.Recurse && !Options.JunkPaths);
}

// The names as the component's file list: "." as what the current folder
// holds, a folder as its own entry and (with -r) everything below it, any
// other name as given.
void ListNames(std::vector<std::string>& Files, const std::vector<std::string>& Names,
               const TAddOptions& Options) {
  for (const std::string& Native : Names) {
    std::string Name = ComponentName(Native);
    while (Name.size() > 1 && Name.back() == '\\') Name.pop_back();
    if (Name == ".") {
      // The current folder: what is in it, without a "./" entry.
      Files.push_back(Options.Recurse ? "*.*" : Name);
      continue;
    }
    if (!IsWildcardName(Name) && DirExists(Name)) {
      // A folder: its own entry, and with -r everything below it.
      if (!Options.JunkPaths) Files.push_back(Name + "\\");
      if (Options.Recurse) Files.push_back(Name + "\\*.*");
      continue;
    }
    Files.push_back(Name);
  }
}

// Every file left out (except those -x leaves out) is named on Err and
// clears AllZipped; with Progress the percentages go to Err as well.
void ReportOnErr(TArcZip& Zip, const TAddOptions& Options, std::ostream& Err, bool& AllZipped) {
  Zip.OnSkippingFile = [&Err, &AllZipped](TObject*, TSkipReason Reason, const std::string& FName,
                                          int32_t, bool&) {
    if (Reason == srExcludeList) return;  // left out as asked
    Err << "zemzip: " << platform::ToNativePath(FName) << ": " << ReasonText(Reason) << "\n";
    AllZipped = false;
  };
  Zip.OnNoSuchFile = [&Err, &AllZipped](TObject*, const std::string& FName) {
    Err << "zemzip: " << platform::ToNativePath(FName) << ": no such file\n";
    AllZipped = false;
  };
  if (Options.Progress) {
    Zip.OnTotalPercentDone = [&Err, Last = -1](TObject*, int32_t Percent) mutable {
      if (Percent == Last) return;
      Last = Percent;
      Err << "\r" << Percent << "%" << std::flush;
    };
  }
}

// The freshen rule asks the directory of the archive as it is now, and a
// rebuild takes the comment of the directory held in memory; a new
// archive's end record is the one handed to OnStartZipInfo.
void PrepareDirectoryAndComment(TArcZip& Zip, const TAddOptions& Options) {
  const bool Exists = FileExistsAt(Zip.ZipName());
  if (Exists && (Options.Action == zaFreshen || Options.Comment)) Zip.ReadDirectory();
  if (!Options.Comment) return;
  if (Exists) {
    Zip.SetArchiveComment(*Options.Comment);
  } else {
    Zip.OnStartZipInfo = [&Options](TObject*, int32_t, int64_t, TEndCentral& End, bool&) {
      End.SetZipComment(*Options.Comment);
    };
  }
}

}  // namespace

int64_t ParseSplitSize(const std::string& Text) {
  size_t Digits = 0;
  while (Digits < Text.size() && Text[Digits] >= '0' && Text[Digits] <= '9') ++Digits;
  if (Digits == 0 || Digits > 15 || Text.size() - Digits > 1) return 0;
  int64_t Size = std::stoll(Text.substr(0, Digits));
  if (Digits < Text.size()) {
    switch (Text.back()) {
      case 'k': case 'K': Size <<= 10; break;
      case 'm': case 'M': Size <<= 20; break;
      case 'g': case 'G': Size <<= 30; break;
      default: return 0;
    }
  }
  return Size;
}

int AddFiles(const std::string& NativeArchive, const std::vector<std::string>& Names,
             const TAddOptions& Options, std::ostream& Out, std::ostream& Err) {
  (void)Out;
  try {
    TArcZip Zip;
    ApplyOptions(Zip, NativeArchive, Options);
    if (!ApplySplit(Zip, Options, Err)) return ZipExitFailed;
    ApplyPathRules(Zip, Names, Options);
    ListNames(Zip.FilesList(), Names, Options);
    bool AllZipped = true;
    ReportOnErr(Zip, Options, Err, AllZipped);
    PrepareDirectoryAndComment(Zip, Options);
    Zip.Zip();
    if (Options.Progress) Err << "\r    \r" << std::flush;
    return AllZipped ? ZipExitOk : ZipExitFailed;
  } catch (const Exception& E) {
    Err << "zemzip: " << E.Message() << '\n';
    PrintDetail(Err, ErrorDetail(E));
  } catch (const std::exception& E) {
    Err << "zemzip: " << E.what() << '\n';
  }
  return ZipExitFailed;
}

int AddCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  TAddOptions Options;
  Options.Progress = &Err == &std::cerr && platform::StdErrIsConsole();
  std::vector<std::string> Rest;
  for (size_t I = 1; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    if (!Rest.empty() || A.empty() || A[0] != '-' || A == "-") {
      Rest.push_back(A);
    } else if (A.size() == 2 && A[1] >= '0' && A[1] <= '9') {
      Options.Level = A[1] - '0';
    } else if (A == "-P" && I + 1 < Args.size()) {
      Options.Password = Args[++I];
    } else if (A == "-r") {
      Options.Recurse = true;
    } else if (A == "-j") {
      Options.JunkPaths = true;
    } else if (A == "--update") {
      Options.Action = zaUpdate;
    } else if (A == "--replace") {
      Options.Action = zaReplace;
    } else if (A == "--freshen") {
      Options.Action = zaFreshen;
    } else if (A == "-x" && I + 1 < Args.size()) {
      Options.Exclude.push_back(ToBackslashes(Args[++I]));
    } else if (A == "-z" && I + 1 < Args.size()) {
      Options.Comment = Args[++I];
    } else if (A == "--split" && I + 1 < Args.size()) {
      Options.SplitSize = ParseSplitSize(Args[++I]);
      if (Options.SplitSize <= 0) {
        Err << "zemzip: --split: not a size: " << Args[I] << "\n";
        return ZipExitUsage;
      }
    } else if (A == "--classic") {
      Options.Classic = true;
    } else if (A == "--") {
      for (++I; I < Args.size(); ++I) Rest.push_back(Args[I]);
    } else {
      AddUsage(Err);
      return ZipExitUsage;
    }
  }
  if (Options.Classic && Options.SplitSize == 0) {
    AddUsage(Err);
    return ZipExitUsage;
  }
  if (Rest.size() < 2) {
    AddUsage(Err);
    return ZipExitUsage;
  }
  const std::vector<std::string> Names(Rest.begin() + 1, Rest.end());
  return AddFiles(Rest[0], Names, Options, Out, Err);
}

}  // namespace zem
