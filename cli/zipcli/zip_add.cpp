// zemzip add: files and folders into an archive, new or existing.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "archive/support/path_helpers.h"
#include "archive/writer/arc_zip.h"
#include "archive/writer/stored_names.h"
#include "cli/zipcli/zip_add.h"
#include "cli/zipcli/zip_common.h"
#include "cli/zipcli/zip_commands.h"
#include "platform/drives.h"
#include "platform/winapi.h"

namespace zem {

namespace {

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

// What a skip report says: the reason, or the writer's cause in words when
// it has one ("not added: read error at byte 65536: ...").
std::string SkipText(TSkipReason Reason, const std::string& Cause) {
  if (Cause.empty()) return ReasonText(Reason);
  if (Reason == srFileOpenError) return "not added: " + Cause;
  return std::string(ReasonText(Reason)) + "; " + Cause;
}

// A native name as the component takes it: '\' separated; an absolute name
// on its drive, a relative one left relative (so its stored path is the
// name as given). A leading "./" says nothing and is dropped. Each piece is
// escaped as the platform escapes Linux names (EntryPattern), so a colon
// ("a:b.txt") or a backslash is an ordinary character, never a drive or a
// separator; '*' and '?' stay wildcards.
std::string ComponentName(std::string Native) {
  while (Native.size() > 2 && Native.compare(0, 2, "./") == 0) Native.erase(0, 2);
  if (Native.empty() || Native[0] != '/') return EntryPattern(Native);
  const size_t Slash = Native.rfind('/');
  if (Slash + 1 == Native.size()) return platform::FromNativePath(Native);
  std::string Folder = platform::FromNativePath(Native.substr(0, Slash + 1));
  if (Folder.empty() || Folder.back() != '\\') Folder += '\\';
  return Folder + EntryPattern(Native.substr(Slash + 1));
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
  Zip.SetLinkMode(Options.Links);
  Zip.SetNameConvention(Options.Names);
  Zip.SetHostSystem(Options.Host);
  if (Options.Threads > 0) Zip.SetThreads(Options.Threads);
}

// Block files of the split size, named the standard or the classic way.
// A split archive is always written anew: false (the reason on Err) when an
// archive of that name, a first part or a file of the last part's name
// exists, as it would lose what it holds. The last part is named from the
// base name ("arc" of "arc.old.zip"), so it need not be the archive's name.
bool ApplySplit(TArcZip& Zip, const TAddOptions& Options, std::ostream& Err) {
  if (Options.SplitSize <= 0) return true;
  Zip.SetBlockMode(Options.Classic ? bmClassic : bmStandard);
  std::string First = Zip.BaseName();
  Zip.SplitPartName(First, 1, spFirst);
  std::string Last = Zip.BaseName();
  Zip.SplitPartName(Last, 1, spLast);
  for (const std::string& Existing : {Zip.ZipName(), First, Last}) {
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
             const TAddOptions& Options, const TZipTerminal& Term, std::ostream& Out,
             std::ostream& Err) {
  TProgressMeter Meter(Err, Term.ErrIsTerminal && Options.Verbosity != TVerbosity::Quiet, Term.Width);
  try {
    TArcZip Zip;
    ApplyOptions(Zip, NativeArchive, Options);
    if (!ApplySplit(Zip, Options, Err)) return ZipExitFailed;
    ApplyPathRules(Zip, Names, Options);
    ListNames(Zip.FilesList(), Names, Options);
    bool AllZipped = true;
    Zip.OnSkippingFile = [&](TObject*, TSkipReason Reason, const std::string& FName, int32_t,
                             bool&) {
      if (Reason == srExcludeList) return;  // left out as asked
      Meter.Clear();
      Err << "zemzip: " << platform::ToNativePath(FName) << ": " << SkipText(Reason, Zip.SkipCause())
          << "\n";
      AllZipped = false;
    };
    Zip.OnNoSuchFile = [&](TObject*, const std::string& FName) {
      Meter.Clear();
      Err << "zemzip: " << platform::ToNativePath(FName) << ": "
          << (Zip.SkipCause().empty() ? std::string("no such file") : Zip.SkipCause()) << "\n";
      AllZipped = false;
    };
    // The entry in work, from its start to its end event (the writer's own
    // record, with 64-bit sizes); the counts of the files added.
    const TZipHeaderInfo* Entry = nullptr;
    int64_t Added = 0, InBytes = 0, OutBytes = 0, Total = 0;
    Zip.OnStartZip = [&](TObject*, const std::string&, TZipHeaderInfo& E, bool&) {
      Entry = &E;
      Meter.SetFile(StoredFromEntryName(E.FullName()));
    };
    Zip.OnEndZip = [&](TObject*, const std::string&, int32_t, int32_t, int32_t) {
      if (Entry == nullptr || Entry->FileName().empty()) return;
      ++Added;
      InBytes += static_cast<int64_t>(Entry->UncompressedSize());
      OutBytes += static_cast<int64_t>(Entry->CompressedSize());
      if (Options.Verbosity == TVerbosity::Verbose) {
        Meter.Clear();
        Out << "added: " << StoredFromEntryName(Entry->FullName()) << '\n' << std::flush;
      }
      Entry = nullptr;
    };
    Zip.OnTotalPercentDone = [&](TObject*, int32_t Percent) {
      Meter.Update(std::max<int64_t>(InBytes, Percent * Total / 100));
    };
    // The freshen rule asks the directory of the archive as it is now, and
    // a rebuild takes the comment of the directory held in memory.
    const bool Exists = FileExistsAt(Zip.ZipName());
    if (Exists && (Options.Action == zaFreshen || Options.Comment)) Zip.ReadDirectory();
    if (Options.Comment && Exists) Zip.SetArchiveComment(*Options.Comment);
    Zip.OnStartZipInfo = [&](TObject*, int32_t, int64_t TotalBytes, TEndCentral& End, bool&) {
      Total = TotalBytes;
      Meter.SetTotal(TotalBytes);
      Meter.Update(0);
      // A new archive's end record is the one handed here.
      if (Options.Comment && !Exists) End.SetZipComment(*Options.Comment);
    };
    Zip.Zip();
    Meter.Clear();
    // Nothing could be added: no archive was made, which the user must hear.
    if (!Exists && Options.SplitSize <= 0 && !FileExistsAt(Zip.ZipName())) {
      Err << "zemzip: nothing to do: " << NativeArchive << " not created\n";
      return ZipExitFailed;
    }
    if (Term.ErrIsTerminal && Options.Verbosity != TVerbosity::Quiet)
      Err << "added " << Added << (Added == 1 ? " file, " : " files, ") << SizeText(InBytes)
          << " \u2192 " << SizeText(OutBytes) << " in " << DurationText(Meter.Elapsed()) << '\n';
    return AllZipped ? ZipExitOk : ZipExitFailed;
  } catch (const Exception& E) {
    Meter.Clear();
    Err << "zemzip: " << E.Message() << '\n';
    PrintDetail(Err, ErrorDetail(E));
  } catch (const std::exception& E) {
    Meter.Clear();
    Err << "zemzip: " << E.what() << '\n';
  }
  return ZipExitFailed;
}

int AddCommand(const std::vector<std::string>& Args, const TZipTerminal& Term, std::ostream& Out,
               std::ostream& Err) {
  std::vector<TOptionSpec> Specs = {
      {{"-P"}, true},      {{"--password-file"}, true}, {{"-e", "--encrypt"}}, {{"-r"}},
      {{"-j"}},            {{"--update"}},              {{"--replace"}},       {{"--freshen"}},
      {{"-x"}, true},      {{"-z"}, true},              {{"--split"}, true},   {{"--classic"}},
      {{"-q"}},            {{"-v"}},                    {{"--follow-links"}},  {{"--names"}, true},
      {{"--host"}, true},  {{"--threads"}, true}};
  for (char L = '0'; L <= '9'; ++L) Specs.push_back({{std::string("-") + L}});
  const TParsedLine Line = ParseCommandLine(Args, 1, Specs);
  if (Line.Help) {
    Out << HelpText("add");
    return ZipExitOk;
  }
  if (!Line.Error.empty()) return UsageError("add", Line.Error, Err);
  TAddOptions Options;
  for (const auto& [Name, Value] : Line.Options) {
    if (Name.size() == 2 && Name[1] >= '0' && Name[1] <= '9') Options.Level = Name[1] - '0';
    if (Name == "--update") Options.Action = zaUpdate;
    if (Name == "--replace") Options.Action = zaReplace;
    if (Name == "--freshen") Options.Action = zaFreshen;
    if (Name == "-x") Options.Exclude.push_back(EntryPattern(Value));
    if (Name == "-z") Options.Comment = Value;
  }
  Options.Recurse = Line.Has("-r");
  Options.JunkPaths = Line.Has("-j");
  Options.Classic = Line.Has("--classic");
  if (Line.Has("--follow-links")) Options.Links = TLinkMode::Follow;
  if (Line.Has("--names")) {
    const std::string Names = Line.Value("--names");
    if (Names != "utf8" && Names != "cp437")
      return UsageError("add", "--names takes utf8 or cp437, not " + Names, Err);
    Options.Names = Names == "utf8" ? TNameConvention::Utf8 : TNameConvention::CodePage;
  }
  if (Line.Has("--host")) {
    const std::string Host = Line.Value("--host");
    if (Host != "unix" && Host != "dos") return UsageError("add", "--host takes unix or dos, not " + Host, Err);
    Options.Host = Host == "unix" ? kHostUnix : kHostDos;
  }
  {
    std::string Why;
    if (!ThreadsOption(Line, TArcZip::kMaxThreads, Options.Threads, Why)) return UsageError("add", Why, Err);
  }
  Options.Verbosity = VerbosityOf(Line);
  if (Line.Has("--split")) {
    Options.SplitSize = ParseSplitSize(Line.Value("--split"));
    if (Options.SplitSize <= 0) {
      Err << "zemzip: --split: not a size: " << Line.Value("--split") << "\n";
      return ZipExitUsage;
    }
  }
  if (Options.Classic && Options.SplitSize == 0) return UsageError("add", "--classic needs --split", Err);
  if (Line.Operands.size() < 2) return UsageError("add", "an archive and at least one name expected", Err);
  std::string Why;
  if (!PasswordOf(Line, Term, Options.Password, Why)) return UsageError("add", Why, Err);
  const std::vector<std::string> Names(Line.Operands.begin() + 1, Line.Operands.end());
  return AddFiles(Line.Operands[0], Names, Options, Term, Out, Err);
}

}  // namespace zem
