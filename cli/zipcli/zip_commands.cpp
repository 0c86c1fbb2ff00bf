// zemzip commands: the command table, "list", "extract" and "test".
#include "cli/zipcli/zip_commands.h"

#include "cli/zipcli/zip_add.h"

#include <functional>
#include <iostream>
#include <map>

#include "archive/reader/arc_messages.h"
#include "archive/reader/arc_unzip.h"
#include "archive/support/path_helpers.h"
#include "platform/drives.h"
#include "platform/window_services.h"

namespace zem {

namespace {

using TCommand = std::function<int(const std::vector<std::string>&, std::ostream&, std::ostream&)>;

void Usage(std::ostream& Err) {
  Err << "usage: zemzip list [--sort name|date|size|packed|rate] ARCHIVE\n"
         "       zemzip extract [-P PASSWORD] [-d DIR] [-o|-n] [-j] ARCHIVE [PATTERN...]\n"
         "       zemzip test [-P PASSWORD] ARCHIVE\n"
         "       zemzip add [-0..-9] [-P PASSWORD] [-r] [-j] [--update|--replace|--freshen] [-x PATTERN]... [-z COMMENT] [--split SIZE [--classic]] ARCHIVE NAME...\n";
}

// "YYYY-MM-DD HH:MM:SS" straight from the DOS fields, as stored.
std::string DosTimeText(uint32_t D) {
  return Format("%04u-%02u-%02u %02u:%02u:%02u", (D >> 25) + 1980, (D >> 21) & 15, (D >> 16) & 31,
                (D >> 11) & 31, (D >> 5) & 63, (D & 31) * 2);
}

// Parts of split archives under the names other tools give them (arc.z01,
// ..., arc.zip) as well as the component's own (arc.zip.z01, arc.001): the
// first name that exists wins; none existing gives the component's own name,
// whose open error then tells which part is missing.
void FindSplitPart(TArcUnZip& Zip, std::string& FName, int32_t Part, TSplitPartType Type) {
  const std::string Base = FName;
  std::vector<std::string> Candidates;
  if (Type == spLast || Part == Zip.DiskCount()) Candidates.push_back(Base + ".zip");
  Candidates.push_back(Base + Format(".z%02d", Part));
  Candidates.push_back(Base + Format(".zip.z%02d", Part));
  Candidates.push_back(Base + Format(".%03d", Part));
  for (const std::string& C : Candidates)
    if (FileExistsAt(C)) {
      FName = C;
      return;
    }
  Zip.SplitPartName(FName, Part, Type);
}

int ListCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  std::string Sort = "none";
  std::string Path;
  for (size_t I = 1; I < Args.size(); ++I) {
    if (Args[I] == "--sort" && I + 1 < Args.size()) {
      Sort = Args[++I];
    } else if (Path.empty() && !Args[I].empty() && Args[I][0] != '-') {
      Path = Args[I];
    } else {
      Usage(Err);
      return ZipExitUsage;
    }
  }
  static const char* Keys[] = {"none", "name", "date", "size", "packed", "rate"};
  bool Known = false;
  for (const char* K : Keys) Known = Known || Sort == K;
  if (Path.empty() || !Known) {
    Usage(Err);
    return ZipExitUsage;
  }
  return ListArchive(Path, Sort, Out, Err);
}

int ExtractCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                   std::ostream& Err) {
  TExtractOptions Options;
  std::string Path;
  bool Overwrite = false, Never = false;
  for (size_t I = 1; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    if (Path.empty() && (A == "-P" || A == "-d") && I + 1 < Args.size()) {
      (A == "-P" ? Options.Password : Options.DestDir) = Args[++I];
    } else if (Path.empty() && A == "-o") {
      Overwrite = true;
    } else if (Path.empty() && A == "-n") {
      Never = true;
    } else if (Path.empty() && A == "-j") {
      Options.JunkPaths = true;
    } else if (Path.empty() && !A.empty() && A[0] != '-') {
      Path = A;
    } else if (!Path.empty() && !A.empty()) {
      Options.Patterns.push_back(A);
    } else {
      Usage(Err);
      return ZipExitUsage;
    }
  }
  if (Path.empty() || (Overwrite && Never)) {
    Usage(Err);
    return ZipExitUsage;
  }
  Options.Overwrite = Overwrite ? TExtractOptions::Always
                      : Never   ? TExtractOptions::Never
                                : TExtractOptions::AskUser;
  return ExtractArchive(Path, Options, In, Out, Err);
}

int TestCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  std::string Password, Path;
  for (size_t I = 1; I < Args.size(); ++I) {
    if (Args[I] == "-P" && I + 1 < Args.size() && Path.empty()) {
      Password = Args[++I];
    } else if (Path.empty() && !Args[I].empty() && Args[I][0] != '-') {
      Path = Args[I];
    } else {
      Usage(Err);
      return ZipExitUsage;
    }
  }
  if (Path.empty()) {
    Usage(Err);
    return ZipExitUsage;
  }
  return TestArchive(Path, Password, Out, Err);
}

// The reader set up for a terminal user: no message pump, damaged archives
// salvaged by scanning (with a warning), split parts under every naming.
void OpenForCommand(TArcUnZip& Zip, const std::string& NativePath, std::ostream& Err) {
  Zip.SetDoProcessMessages(false);
  Zip.SetIncompleteZipMode(izAssumeBad);
  Zip.OnFileNameForSplitPart = [&Zip](TObject*, std::string& FName, int32_t Part, TSplitPartType Type) {
    FindSplitPart(Zip, FName, Part, Type);
  };
  Zip.SetZipName(platform::FromNativePath(NativePath));  // relative: from the current folder
  Zip.ReadDirectory();
  if (Zip.ScanMode())
    Err << "warning: " << NativePath
        << ": the archive directory is damaged or missing; entries were found by scanning "
           "the local headers\n";
}

// What happened to each entry of one extract or test run, from the events.
struct TOutcomes {
  std::vector<bool> Done;
  std::vector<std::string> Reason;
  int32_t Current = -1;  // the entry in work

  // A notice of the component, with the name of the entry it is about.
  std::string Notice(TArcUnZip& Zip, const std::string& Msg) const {
    if (Current < 0 || Current >= Zip.Count()) return Msg;
    const TZipHeaderInfo& E = Zip.EntryHeader(Current);
    return ToSlashes(E.FullName()) + ": " + Msg + " (method " + std::to_string(E.CompressionMethod()) + ")";
  }

  void Watch(TArcUnZip& Zip) {
    Zip.OnStartUnZip = [this](TObject*, int32_t I, std::string&, bool&) { Current = I; };
    Done.assign(static_cast<size_t>(Zip.Count()), false);
    Reason.assign(Done.size(), std::string());
    Zip.OnEndUnZip = [this](TObject*, int32_t I, const std::string&) { Done.at(static_cast<size_t>(I)) = true; };
    Zip.OnBadCRC = [this](TObject*, uint32_t Calc, uint32_t Stored, int32_t I) {
      Reason.at(static_cast<size_t>(I)) = Format("CRC error (computed %08x, stored %08x)", Calc, Stored);
    };
    Zip.OnSkippingFile = [this, &Zip](TObject*, TSkipReason Why, const std::string&, int32_t I, bool&) {
      std::string& R = Reason.at(static_cast<size_t>(I));
      switch (Why) {
        case srBadPassword: R = "wrong password or damaged data"; break;
        case srNoOverwrite: R = "exists, not replaced"; break;
        case srCreateError: {
          const std::string Name = ToSlashes(Zip.EntryHeader(I).FullName());
          const bool Parent = ("/" + Name + "/").find("/../") != std::string::npos;
          R = Parent ? "refused: the name leads outside the destination folder"
                     : "the file cannot be created";
          break;
        }
        default: R = "skipped"; break;
      }
    };
  }

  // Names every chosen file entry that did not end well; returns how many.
  int32_t Report(TArcUnZip& Zip, bool All, const std::string& Default, std::ostream& To) const {
    int32_t Failed = 0;
    for (int32_t I = 0; I < Zip.Count(); ++I) {
      const TZipHeaderInfo& E = Zip.EntryHeader(I);
      if (E.FileName().empty() || (!All && !E.Chosen()) || Done[static_cast<size_t>(I)]) continue;
      const std::string& R = Reason[static_cast<size_t>(I)];
      To << ToSlashes(E.FullName()) << ": " << (R.empty() ? Default : R) << '\n';
      ++Failed;
    }
    return Failed;
  }
};

}  // namespace

int ExtractArchive(const std::string& NativePath, const TExtractOptions& Options, std::istream& In,
                   std::ostream& Out, std::ostream& Err) {
  TArcUnZip Zip;
  TOutcomes Outcomes;
  bool Started = false;
  std::string Failure;
  std::string Detail;
  try {
    OpenForCommand(Zip, NativePath, Err);
    const std::string Dest = Options.DestDir.empty() ? std::string(".") : Options.DestDir;
    Zip.SetDestDir(platform::FromNativePath(Dest));
    Zip.SetRecreateDirs(!Options.JunkPaths);
    Zip.SetOverwriteMode(Options.Overwrite == TExtractOptions::Always  ? Always
                         : Options.Overwrite == TExtractOptions::Never ? Never
                                                                       : Prompt);
    Zip.SetPassword(Options.Password);
    Zip.SetDoAll(Options.Patterns.empty());
    std::vector<std::string> Patterns;
    for (const std::string& P : Options.Patterns) Patterns.push_back(ToBackslashes(P));
    Zip.SetFilesList(Patterns);
    Outcomes.Watch(Zip);
    Zip.OnHandleMessage = [&](TObject*, int32_t Id, const std::string& Msg1, const std::string&,
                              uint32_t Flags, int32_t& Return) {
      if (Flags == platform::MB_YESNO) {
        Err << Msg1 << " [y/n] " << std::flush;
        std::string Line;
        const bool Answered = static_cast<bool>(std::getline(In, Line));
        if (!Answered) Err << '\n';
        const bool Yes = Answered && !Line.empty() && (Line[0] == 'y' || Line[0] == 'Y');
        Return = Yes ? platform::IDYES : platform::IDNO;
        return;
      }
      Err << Outcomes.Notice(Zip, Msg1) << '\n';
      // A disk cannot be put in from here: the request is cancelled.
      Return = Id == zsInsertDisk ? platform::IDCANCEL : platform::IDOK;
    };
    int32_t ToDo = 0;
    Zip.OnStartUnZipInfo = [&ToDo](TObject*, int32_t N, int64_t, bool&) { ToDo = N; };
    Started = true;
    const int32_t Extracted = Zip.UnZip();
    if (!Options.Patterns.empty() && ToDo == 0) {
      Err << "zemzip: no entry matches the given patterns\n";
      return ZipExitFailed;
    }
    const int32_t Failed = Outcomes.Report(Zip, Options.Patterns.empty(), "not extracted", Err);
    Out << "extracted " << Extracted << " entries";
    if (Failed > 0) Out << ", " << Failed << " failed";
    Out << '\n';
    return Failed == 0 ? ZipExitOk : ZipExitFailed;
  } catch (const Exception& E) {
    Failure = E.Message();
    Detail = ErrorDetail(E);
  } catch (const std::exception& E) {
    Failure = E.what();
  }
  Err << "zemzip: " << Failure << '\n';
  PrintDetail(Err, Detail);
  if (Started) Outcomes.Report(Zip, Options.Patterns.empty(), "not extracted: " + Failure, Err);
  return ZipExitFailed;
}

int TestArchive(const std::string& NativePath, const std::string& Password, std::ostream& Out,
                std::ostream& Err) {
  TArcUnZip Zip;
  TOutcomes Outcomes;
  std::string Failure;
  std::string Detail;
  bool Started = false;
  try {
    OpenForCommand(Zip, NativePath, Err);
    Zip.SetPassword(Password);
    Zip.SetDoAll(true);
    Zip.SetRecreateDirs(true);
    Outcomes.Watch(Zip);
    Zip.OnHandleMessage = [&](TObject*, int32_t Id, const std::string& Msg1, const std::string&,
                              uint32_t, int32_t& Return) {
      Err << Outcomes.Notice(Zip, Msg1) << '\n';
      Return = Id == zsInsertDisk ? platform::IDCANCEL : platform::IDOK;
    };
    Started = true;
    Zip.TestZip();
  } catch (const Exception& E) {
    Failure = E.Message();
    Detail = ErrorDetail(E);
  } catch (const std::exception& E) {
    Failure = E.what();
  }
  if (!Failure.empty()) Err << "zemzip: " << Failure << '\n';
  PrintDetail(Err, Detail);
  if (!Started) return ZipExitFailed;
  const int32_t Failed =
      Outcomes.Report(Zip, true, Failure.empty() ? "failed" : "not tested: " + Failure, Out);
  Out << "tested " << Zip.Count() << " entries, " << Failed << " failed\n";
  return Failed == 0 && Failure.empty() ? ZipExitOk : ZipExitFailed;
}

void PrintDetail(std::ostream& Err, const std::string& Detail) {
  if (!Detail.empty()) Err << "  " << Detail << '\n';
}

int ListArchive(const std::string& NativePath, const std::string& SortKey, std::ostream& Out,
                std::ostream& Err) {
  static const std::map<std::string, TZipSortMode> Modes = {
      {"none", ByNone}, {"name", ByName},           {"date", ByDate},
      {"size", ByUnCompressedSize}, {"packed", ByCompressedSize}, {"rate", ByRate}};
  try {
    TArcUnZip Zip;
    Zip.SetDoProcessMessages(false);
    // A user salvaging a damaged file wants what can be found in it.
    Zip.SetIncompleteZipMode(izAssumeBad);
    Zip.OnFileNameForSplitPart = [&Zip](TObject*, std::string& FName, int32_t Part,
                                        TSplitPartType Type) { FindSplitPart(Zip, FName, Part, Type); };
    Zip.SetZipName(platform::FromNativePath(NativePath));
    Zip.ReadDirectory();
    if (Zip.ScanMode())
      Err << "warning: " << NativePath
          << ": the archive directory is damaged or missing; entries were found by scanning "
             "the local headers\n";
    Zip.SetSortMode(Modes.at(SortKey));
    const int32_t N = Zip.Count();
    Out << "archive: " << NativePath << ", " << N << " entries\n";
    const std::string Comment = Zip.ArchiveComment();
    if (!Comment.empty()) {
      Out << Comment;
      if (Comment.back() != '\n') Out << '\n';
    }
    for (int32_t I = 0; I < N; ++I) {
      const TZipHeaderInfo& E = Zip.EntryHeader(I);
      Out << ToSlashes(E.FullName()) << '\t' << E.UncompressedSize() << '\t' << E.CompressedSize()
          << '\t' << E.CompressionMethod() << '\t' << Format("%08x", E.Crc32()) << '\t'
          << (E.Encrypted() ? "E" : "-") << '\t' << DosTimeText(E.FileDateTime()) << '\n';
    }
    return ZipExitOk;
  } catch (const Exception& E) {
    Err << E.Message() << '\n';
    PrintDetail(Err, ErrorDetail(E));
  } catch (const std::exception& E) {
    Err << E.what() << '\n';
  }
  return ZipExitFailed;
}

int RunZipCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  return RunZipCommand(Args, std::cin, Out, Err);
}

int RunZipCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                  std::ostream& Err) {
  // Later commands (add) join this table.
  const std::map<std::string, TCommand> Commands = {
      {"list", ListCommand},
      {"extract",
       [&In](const std::vector<std::string>& A, std::ostream& O, std::ostream& E) {
         return ExtractCommand(A, In, O, E);
       }},
      {"test", TestCommand},
      {"add", AddCommand}};
  if (Args.empty()) {
    Usage(Err);
    return ZipExitUsage;
  }
  const auto It = Commands.find(Args[0]);
  if (It == Commands.end()) {
    Err << "zemzip: unknown command \"" << Args[0] << "\"\n";
    Usage(Err);
    return ZipExitUsage;
  }
  return It->second(Args, Out, Err);
}

}  // namespace zem
