// zemzip list, extract and test: the reader set up for a terminal user,
// what happened to each entry, the overwrite question, the password asked
// once, the progress line and the closing summary.
#include <algorithm>
#include <filesystem>
#include <map>

#include "archive/reader/arc_exceptions.h"
#include "archive/reader/arc_messages.h"
#include "archive/reader/arc_unzip.h"
#include "archive/support/path_helpers.h"
#include "cli/zipcli/zip_commands.h"
#include "cli/zipcli/zip_common.h"
#include "platform/drives.h"
#include "platform/window_services.h"

namespace zem {

namespace {

// "YYYY-MM-DD HH:MM:SS" straight from the DOS fields, as stored.
std::string DosTimeText(uint32_t D) {
  return Format("%04u-%02u-%02u %02u:%02u:%02u", (D >> 25) + 1980, (D >> 21) & 15, (D >> 16) & 31,
                (D >> 11) & 31, (D >> 5) & 63, (D & 31) * 2);
}

std::string MethodName(uint16_t Method) {
  switch (Method) {
    case 0: return "Stored";
    case 1: return "Shrunk";
    case 2: case 3: case 4: case 5: return "Reduced";
    case 6: return "Imploded";
    case 8: return "Deflated";
    default: return "method " + std::to_string(Method);
  }
}

// How much smaller the packed form is, in percent of the size.
int RatioPercent(uint64_t Size, uint64_t Packed) {
  if (Size == 0) return 0;
  return static_cast<int>((static_cast<double>(Size) - static_cast<double>(Packed)) * 100.0 /
                          static_cast<double>(Size));
}

// Parts of split archives under the names other tools give them (arc.z01,
// ..., arc.zip) as well as the component's own (arc.zip.z01, arc.001): the
// first name that exists wins; none existing gives the component's own name,
// whose open error then tells which part is missing. The last part is the
// file the set was named by (Given), and a set named by a numbered part
// (arc.003) looks for numbered parts first, so that files of another naming
// beside it (an archive arc.zip, a stray arc.z01) are not taken for its
// parts.
void FindSplitPart(TArcUnZip& Zip, const std::string& Given, std::string& FName, int32_t Part,
                   TSplitPartType Type) {
  const std::string Base = FName;
  const std::string Extension = Given.size() > Base.size() ? Given.substr(Base.size()) : std::string();
  const bool Numbered = Extension.size() == 4 && Extension[0] == '.' &&
                        std::all_of(Extension.begin() + 1, Extension.end(),
                                    [](char C) { return C >= '0' && C <= '9'; });
  std::vector<std::string> Candidates;
  if (Type == spLast || Part == Zip.DiskCount()) Candidates.push_back(Numbered ? Given : Base + ".zip");
  if (Numbered) Candidates.push_back(Base + Format(".%03d", Part));
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

// The reader set up for a terminal user: no message pump, damaged archives
// salvaged by scanning (with a warning), split parts under every naming.
void OpenForCommand(TArcUnZip& Zip, const std::string& NativePath, std::ostream& Err) {
  Zip.SetDoProcessMessages(false);
  Zip.SetIncompleteZipMode(izAssumeBad);
  const std::string Given = platform::FromNativePath(NativePath);
  Zip.OnFileNameForSplitPart = [&Zip, Given](TObject*, std::string& FName, int32_t Part,
                                             TSplitPartType Type) {
    FindSplitPart(Zip, Given, FName, Part, Type);
  };
  Zip.SetZipName(Given);  // relative: from the current folder
  Zip.ReadDirectory();
  if (Zip.ScanMode())
    Err << "warning: " << NativePath
        << ": the archive directory is damaged or missing; entries were found by scanning "
           "the local headers\n";
  for (const std::string& Warning : Zip.DirectoryWarnings())
    Err << "warning: " << NativePath << ": " << Warning << '\n';
}

// A + B, or the largest value when that does not fit (declared sizes are
// whatever the archive says).
unsigned long long AddCapped(unsigned long long A, unsigned long long B) {
  return A > ~0ull - B ? ~0ull : A + B;
}

// Names every entry the directory found unreadable, with the reason;
// returns how many.
int32_t ReportDefects(const TArcUnZip& Zip, std::ostream& Err) {
  int32_t N = 0;
  for (int32_t I = 0; I < Zip.Count(); ++I) {
    const TZipHeaderInfo& E = Zip.EntryHeader(I);
    if (E.Defect().empty()) continue;
    Err << StoredFromEntryName(E.FullName()) << ": " << E.Defect() << '\n';
    ++N;
  }
  return N;
}

// One extract or test run: what happened to each entry (from the events),
// the questions asked on the way, the progress line and the summary.
class TReadRun {
 public:
  TReadRun(TArcUnZip& AZip, const TExtractOptions& AOptions, const TZipTerminal& ATerm,
           std::ostream& AOut, std::ostream& AErr, bool ATesting)
      : Zip(AZip), Options(AOptions), Term(ATerm), Out(AOut), Err(AErr), Testing(ATesting),
        Meter(AErr, ATerm.ErrIsTerminal && AOptions.Verbosity != TVerbosity::Quiet, ATerm.Width) {}

  // Hooks the events; the directory must be loaded.
  void Watch() {
    Done.assign(static_cast<size_t>(Zip.Count()), false);
    Kept.assign(Done.size(), false);
    Reason.assign(Done.size(), std::string());
    Zip.SetPassword(Options.Password);
    if (Options.Threads > 0) Zip.SetThreads(Options.Threads);
    Zip.OnStartUnZipInfo = [this](TObject*, int32_t N, int64_t Total, bool&) {
      ToDo = N;
      TotalBytes = Total;
      Meter.SetTotal(Total);
      Meter.Update(0);
    };
    Zip.OnStartUnZip = [this](TObject*, int32_t I, std::string&, bool&) {
      Current = I;
      Meter.SetFile(StoredFromEntryName(Zip.EntryHeader(I).FullName()));
    };
    Zip.OnTotalPercentDone = [this](TObject*, int32_t Percent) {
      Meter.Update(std::max<int64_t>(FileBytes, Percent * TotalBytes / 100));
    };
    Zip.OnEndUnZip = [this](TObject*, int32_t I, const std::string&) {
      Done.at(static_cast<size_t>(I)) = true;
      const TZipHeaderInfo& E = Zip.EntryHeader(I);
      if (E.FileName().empty()) return;
      ++Files;
      FileBytes += static_cast<int64_t>(E.UncompressedSize());
      if (Options.Verbosity == TVerbosity::Verbose) {
        Meter.Clear();
        Out << (Testing ? "tested: " : "extracted: ") << StoredFromEntryName(E.FullName())
            << (Testing ? " OK\n" : "\n") << std::flush;
      }
    };
    Zip.OnBadCRC = [this](TObject*, uint32_t Calc, uint32_t Stored, int32_t I) {
      Reason.at(static_cast<size_t>(I)) = Format("CRC error (computed %08x, stored %08x)", Calc, Stored);
    };
    Zip.OnBadPassword = [this](TObject*, int32_t, std::string& NewPassword) {
      // No password given: asked once, on a terminal only.
      if (!Options.Password.empty() || Asked || !Term.InIsTerminal || !Term.ReadSecret) return;
      Asked = true;
      Meter.Pause();
      std::string Typed;
      if (Term.ReadSecret("Password for " + ArchiveName() + ": ", Typed)) NewPassword = Typed;
      Meter.Resume();
    };
    Zip.OnSkippingFile = [this](TObject*, TSkipReason Why, const std::string&, int32_t I, bool&) {
      std::string& R = Reason.at(static_cast<size_t>(I));
      const std::string& Detail = Zip.EntryError();
      switch (Why) {
        case srBadPassword:
          R = Zip.Password().empty()
                  ? "needs a password (-P, --password-file, or a terminal to ask it on)"
                  : "wrong password or damaged data";
          if (!Zip.Password().empty() && !Detail.empty()) R += " (" + Detail + ")";
          break;
        case srNoOverwrite:
          R = "exists, not replaced";
          Kept.at(static_cast<size_t>(I)) = true;
          if (Options.Overwrite == TExtractOptions::Never && Options.Verbosity != TVerbosity::Quiet) {
            Meter.Clear();
            Err << StoredFromEntryName(Zip.EntryHeader(I).FullName()) << ": " << R << '\n';
          }
          break;
        case srCreateError: {
          const std::string Name = StoredFromEntryName(Zip.EntryHeader(I).FullName());
          const bool Parent = ("/" + Name + "/").find("/../") != std::string::npos;
          R = Parent ? "refused: the name leads outside the destination folder"
                     : Detail.empty() ? "the file cannot be created" : "not created: " + Detail;
          break;
        }
        case srDataError: R = Detail.empty() ? "the data cannot be read" : Detail; break;
        case srWriteError: R = Detail.empty() ? "the file cannot be written" : Detail; break;
        default: R = "skipped"; break;
      }
    };
    Zip.OnEntryNotice = [this](TObject*, int32_t, const std::string& Name, const std::string& Text) {
      Meter.Clear();
      Err << ToSlashes(Name) << ": " << Text << '\n';
      ++Notices;
    };
    Zip.OnPromptForOverwrite = [this](TObject*, bool& OverWriteIt, int32_t I, std::string& FName) {
      Meter.Pause();
      OverWriteIt = AskOverwrite(I, FName);
      Meter.Resume();
    };
    Zip.OnHandleMessage = [this](TObject*, int32_t Id, const std::string& Msg1, const std::string&,
                                 uint32_t, int32_t& Return) {
      Return = platform::IDOK;
      // An unknown method fails its entry, which the report names with the
      // method: the notice would only say it twice.
      if (Id == zsUnknownMethod) return;
      Meter.Clear();
      Err << Notice(Msg1) << '\n';
      // A disk cannot be put in from here: the request is cancelled.
      Return = Id == zsInsertDisk ? platform::IDCANCEL : platform::IDOK;
    };
  }

  int32_t ToDo = 0;  // entries chosen, from the start event
  // Entries extracted otherwise than stored (a link written as a file):
  // each was named with its notice, and the run does not end clean.
  int32_t Notices = 0;

  // Names every chosen file entry that did not end well (kept files aside),
  // and every folder entry that failed; returns how many.
  int32_t Report(bool All, const std::string& Default, std::ostream& To) {
    Meter.Clear();
    int32_t Failed = 0;
    for (int32_t I = 0; I < Zip.Count(); ++I) {
      const size_t K = static_cast<size_t>(I);
      const TZipHeaderInfo& E = Zip.EntryHeader(I);
      // A folder entry has no end event: only its failure says anything.
      if ((E.FileName().empty() && Reason[K].empty()) || (!All && !E.Chosen()) || Done[K] || Kept[K]) continue;
      To << StoredFromEntryName(E.FullName()) << ": " << (Reason[K].empty() ? Default : Reason[K]) << '\n';
      ++Failed;
    }
    return Failed;
  }

  // Erases the progress line before a message.
  void Clear() { Meter.Clear(); }

  int32_t KeptCount() const {
    int32_t N = 0;
    for (bool K : Kept) N += K ? 1 : 0;
    return N;
  }

  // The summary on a terminal ("extracted 345 files, 400 MB in 4.1 s");
  // true when written.
  bool Summary(int32_t Failed) {
    if (!Term.ErrIsTerminal || Options.Verbosity == TVerbosity::Quiet) return false;
    Meter.Clear();
    const double Seconds = Meter.Elapsed();
    if (Testing) {
      Err << "tested " << Files << (Files == 1 ? " file: " : " files: ")
          << (Failed == 0 ? std::string("no errors") : std::to_string(Failed) + " failed");
    } else {
      Err << "extracted " << Files << (Files == 1 ? " file, " : " files, ") << SizeText(FileBytes);
      if (KeptCount() > 0) Err << ", " << KeptCount() << " skipped";
      if (Failed > 0) Err << ", " << Failed << " failed";
    }
    Err << " in " << DurationText(Seconds) << '\n';
    return true;
  }

  // The count line on Out, for scripts: left out under -q and when the
  // summary already stands on the same terminal.
  bool WantCountLine(bool SummaryShown) const {
    return Options.Verbosity != TVerbosity::Quiet && !(SummaryShown && Term.OutIsTerminal);
  }

 private:
  TArcUnZip& Zip;
  const TExtractOptions& Options;
  const TZipTerminal& Term;
  std::ostream& Out;
  std::ostream& Err;
  bool Testing;
  TProgressMeter Meter;
  std::vector<bool> Done, Kept;
  std::vector<std::string> Reason;
  int32_t Current = -1;  // the entry in work
  int32_t Files = 0;
  int64_t FileBytes = 0;
  int64_t TotalBytes = 0;
  bool Asked = false;
  int AllAnswer = 0;  // 1: [A]ll, -1: [N]one (or no more answers)

  std::string ArchiveName() const { return platform::ToNativePath(Zip.ZipName()); }

  // A notice of the component, with the name of the entry it is about.
  std::string Notice(const std::string& Msg) const {
    if (Current < 0 || Current >= Zip.Count()) return Msg;
    const TZipHeaderInfo& E = Zip.EntryHeader(Current);
    return StoredFromEntryName(E.FullName()) + ": " + Msg + " (method " + std::to_string(E.CompressionMethod()) + ")";
  }

  // The question about an existing file: [y]es, [n]o, [A]ll, [N]one,
  // [r]ename (a new name, relative to the file's folder, that must not
  // exist). The end of the answers keeps this and every later file.
  bool AskOverwrite(int32_t I, std::string& FName) {
    if (AllAnswer != 0) return AllAnswer > 0;
    std::string Question = LoadZipStr(zsReplaceExisting);
    Question.replace(Question.find("%s"), 2, StoredFromEntryName(Zip.EntryHeader(I).FullName()));
    for (;;) {
      Err << Question << " [y]es, [n]o, [A]ll, [N]one, [r]ename: " << std::flush;
      std::string Line;
      if (Term.In == nullptr || !std::getline(*Term.In, Line)) {
        Err << "\n(no answer: existing files are kept)\n";
        AllAnswer = -1;
        return false;
      }
      if (Line == "y" || Line == "Y" || Line == "yes") return true;
      if (Line == "n" || Line == "no") return false;
      if (Line == "A" || Line == "a" || Line == "all") {
        AllAnswer = 1;
        return true;
      }
      if (Line == "N" || Line == "none") {
        AllAnswer = -1;
        return false;
      }
      if (Line == "r" || Line == "R" || Line == "rename") {
        Err << "new name: " << std::flush;
        std::string Name;
        if (!std::getline(*Term.In, Name)) continue;
        if (Name.empty()) continue;
        // A Linux name: '\' and ':' in it are characters, not separators.
        const std::string New = platform::FromNativePath(
            Name[0] == '/' ? Name : platform::ToNativePath(ExtractFilePath(FName)) + "/" + Name);
        if (FileExistsAt(New) || DirExists(New)) {
          Err << Name << ": exists too\n";
          continue;
        }
        FName = New;
        return true;
      }
    }
  }
};

}  // namespace

int ExtractArchive(const std::string& NativePath, const TExtractOptions& Options,
                   const TZipTerminal& Term, std::ostream& Out, std::ostream& Err) {
  TArcUnZip Zip;
  TReadRun Run(Zip, Options, Term, Out, Err, false);
  bool Started = false;
  std::string Failure, Detail;
  try {
    OpenForCommand(Zip, NativePath, Err);
    const std::string Dest = Options.DestDir.empty() ? std::string(".") : Options.DestDir;
    Zip.SetDestDir(platform::FromNativePath(Dest));
    Zip.SetRecreateDirs(!Options.JunkPaths);
    Zip.SetOverwriteMode(Options.Overwrite == TExtractOptions::Always  ? Always
                         : Options.Overwrite == TExtractOptions::Never ? Never
                                                                       : Prompt);
    Zip.SetDoAll(Options.Patterns.empty());
    std::vector<std::string> Patterns;
    for (const std::string& P : Options.Patterns) Patterns.push_back(EntryPattern(P));
    Zip.SetFilesList(Patterns);
    Run.Watch();
    Started = true;
    const int32_t Extracted = Zip.UnZip();
    if (!Options.Patterns.empty() && Run.ToDo == 0) {
      Err << "zemzip: no entry matches the given patterns\n";
      return ZipExitFailed;
    }
    const int32_t Failed = Run.Report(Options.Patterns.empty(), "not extracted", Err);
    const bool Shown = Run.Summary(Failed);
    if (Run.WantCountLine(Shown)) {
      Out << "extracted " << Extracted << " entries";
      if (Run.KeptCount() > 0) Out << ", " << Run.KeptCount() << " skipped";
      if (Failed > 0) Out << ", " << Failed << " failed";
      Out << '\n';
    }
    return Failed == 0 && Run.Notices == 0 && Zip.MissingEntries() == 0 ? ZipExitOk : ZipExitFailed;
  } catch (const Exception& E) {
    Failure = E.Message();
    Detail = ErrorDetail(E);
  } catch (const std::exception& E) {
    Failure = E.what();
  }
  Run.Clear();
  Err << "zemzip: " << Failure << '\n';
  PrintDetail(Err, Detail);
  if (Started) Run.Report(Options.Patterns.empty(), "not extracted: " + Failure, Err);
  return ZipExitFailed;
}

int TestArchive(const std::string& NativePath, const TExtractOptions& Options,
                const TZipTerminal& Term, std::ostream& Out, std::ostream& Err) {
  TArcUnZip Zip;
  TReadRun Run(Zip, Options, Term, Out, Err, true);
  std::string Failure, Detail;
  bool Started = false;
  try {
    OpenForCommand(Zip, NativePath, Err);
    Zip.SetDoAll(true);
    Zip.SetRecreateDirs(true);
    Run.Watch();
    Started = true;
    Zip.TestZip();
  } catch (const Exception& E) {
    Failure = E.Message();
    Detail = ErrorDetail(E);
  } catch (const std::exception& E) {
    Failure = E.what();
  }
  if (!Failure.empty()) {
    Run.Clear();
    Err << "zemzip: " << Failure << '\n';
    PrintDetail(Err, Detail);
  }
  if (!Started) return ZipExitFailed;
  const int32_t Failed = Run.Report(true, Failure.empty() ? "failed" : "not tested: " + Failure, Out);
  const bool Shown = Run.Summary(Failed);
  if (Run.WantCountLine(Shown)) Out << "tested " << Zip.Count() << " entries, " << Failed << " failed\n";
  return Failed == 0 && Failure.empty() && Zip.MissingEntries() == 0 ? ZipExitOk : ZipExitFailed;
}

int ListArchive(const std::string& NativePath, const std::string& SortKey, bool Tsv,
                std::ostream& Out, std::ostream& Err) {
  static const std::map<std::string, TZipSortMode> Modes = {
      {"none", ByNone}, {"name", ByName},           {"date", ByDate},
      {"size", ByUnCompressedSize}, {"packed", ByCompressedSize}, {"rate", ByRate}};
  try {
    TArcUnZip Zip;
    // A user salvaging a damaged file wants what can be found in it.
    OpenForCommand(Zip, NativePath, Err);
    Zip.SetSortMode(Modes.at(SortKey));
    const int32_t N = Zip.Count();
    Out << "archive: " << NativePath << ", " << N << " entries\n";
    const std::string Comment = Zip.ArchiveComment();
    if (!Comment.empty()) {
      Out << Comment;
      if (Comment.back() != '\n') Out << '\n';
    }
    if (Tsv) {
      for (int32_t I = 0; I < N; ++I) {
        const TZipHeaderInfo& E = Zip.EntryHeader(I);
        Out << StoredFromEntryName(E.FullName()) << '\t' << E.UncompressedSize() << '\t' << E.CompressedSize()
            << '\t' << E.CompressionMethod() << '\t' << Format("%08x", E.Crc32()) << '\t'
            << (E.Encrypted() ? "E" : "-") << '\t' << DosTimeText(E.FileDateTime()) << '\n';
      }
      return ReportDefects(Zip, Err) == 0 && Zip.MissingEntries() == 0 ? ZipExitOk : ZipExitFailed;
    }
    // The table: sizes in bytes, * before the name of an encrypted entry.
    const char* Row = "%10llu %10llu %5d%% %-9s %-19s %08x %c%s\n";
    const std::string Rule = "---------- ---------- ------ --------- ------------------- -------- ";
    Out << Format("%10s %10s %6s %-9s %-19s %-8s  %s\n", "Size", "Packed", "Ratio", "Method",
                  "Modified", "CRC-32", "Name")
        << Rule << "-----\n";
    unsigned long long Size = 0, Packed = 0;
    for (int32_t I = 0; I < N; ++I) {
      const TZipHeaderInfo& E = Zip.EntryHeader(I);
      Size = AddCapped(Size, E.UncompressedSize());
      Packed = AddCapped(Packed, E.CompressedSize());
      Out << Format(Row, static_cast<unsigned long long>(E.UncompressedSize()),
                    static_cast<unsigned long long>(E.CompressedSize()),
                    RatioPercent(E.UncompressedSize(), E.CompressedSize()),
                    MethodName(E.CompressionMethod()).c_str(), DosTimeText(E.FileDateTime()).c_str(),
                    E.Crc32(), E.Encrypted() ? '*' : ' ', StoredFromEntryName(E.FullName()).c_str());
    }
    Out << Format("%10s %10s %6s %-9s %-19s %-8s  %s\n", "----------", "----------", "------", "",
                  "", "", "-----")
        << Format("%10llu %10llu %5d%% %-9s %-19s %-8s  %d %s\n", Size, Packed,
                  RatioPercent(Size, Packed), "", "", "", N, N == 1 ? "entry" : "entries");
    return ReportDefects(Zip, Err) == 0 && Zip.MissingEntries() == 0 ? ZipExitOk : ZipExitFailed;
  } catch (const Exception& E) {
    Err << E.Message() << '\n';
    PrintDetail(Err, ErrorDetail(E));
  } catch (const std::exception& E) {
    Err << E.what() << '\n';
  }
  return ZipExitFailed;
}

void PrintDetail(std::ostream& Err, const std::string& Detail) {
  if (!Detail.empty()) Err << "  " << Detail << '\n';
}

}  // namespace zem
