// zemzip commands: the command table and "list".
#include "cli/zipcli/zip_commands.h"

#include <functional>
#include <map>

#include "archive/reader/arc_unzip.h"
#include "archive/support/path_helpers.h"
#include "platform/drives.h"

namespace zem {

namespace {

using TCommand = std::function<int(const std::vector<std::string>&, std::ostream&, std::ostream&)>;

void Usage(std::ostream& Err) {
  Err << "usage: zemzip list [--sort name|date|size|packed|rate] ARCHIVE\n";
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

}  // namespace

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
  } catch (const std::exception& E) {
    Err << E.what() << '\n';
  }
  return ZipExitFailed;
}

int RunZipCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  // Later commands (add, extract, test) join this table.
  static const std::map<std::string, TCommand> Commands = {{"list", ListCommand}};
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
