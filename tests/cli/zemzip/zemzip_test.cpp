// Tests of the zemzip commands: the listing, its failures and exit codes,
// damaged archives and split sets under several part namings.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/zemzip/run_zip.h"
#include "cli/zipcli/zip_commands.h"
#include "common/test_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

using TRun = test::TZipRun;
using test::RunZip;

std::string Fixture(const std::string& Rel) {
  return (fs::path(ZEM_TEST_DATA) / "interop" / Rel).string();
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> Out;
  std::stringstream S(Text);
  std::string L;
  while (std::getline(S, L)) Out.push_back(L);
  return Out;
}

// Everything after the first line (which names the file as given).
std::vector<std::string> Body(const std::string& Text) {
  auto L = Lines(Text);
  if (!L.empty()) L.erase(L.begin());
  return L;
}

TEST(ZemzipList, HeaderAndOneTabSeparatedLinePerEntry) {
  const std::string Path = Fixture("damaged/dmg_source.zip");
  const TRun R = RunZip({"list", "--tsv", Path});
  ASSERT_EQ(R.Code, 0) << R.Err;
  EXPECT_EQ(R.Err, "");
  const auto L = Lines(R.Out);
  ASSERT_EQ(L.size(), 6u);
  EXPECT_EQ(L[0], "archive: " + Path + ", 5 entries");
  EXPECT_EQ(L[1].substr(0, L[1].find('\t', 10)), "notes.txt\t9000");
  EXPECT_EQ(L[2].substr(0, L[2].find('\t')), "data/table.bin");
  for (size_t I = 1; I < L.size(); ++I) {
    std::vector<std::string> C;
    std::stringstream S(L[I]);
    std::string Col;
    while (std::getline(S, Col, '\t')) C.push_back(Col);
    ASSERT_EQ(C.size(), 7u) << L[I];
    EXPECT_EQ(C[4].size(), 8u);
    EXPECT_EQ(C[5], "-");
    EXPECT_EQ(C[6], "2023-04-05 06:07:08");
  }
}

TEST(ZemzipList, CommentEncryptionAndSorting) {
  const TRun Commented = RunZip({"list", "--tsv", Fixture("comments/cm_infozip.zip")});
  ASSERT_EQ(Commented.Code, 0);
  const auto CL = Lines(Commented.Out);
  ASSERT_GE(CL.size(), 2u);
  EXPECT_EQ(CL[0].find("archive: "), 0u);
  EXPECT_EQ(CL[1].find('\t'), std::string::npos);  // the comment comes before the entries

  const TRun Crypt = RunZip({"list", "--tsv", Fixture("zipcrypto/zc_mixed.zip")});
  ASSERT_EQ(Crypt.Code, 0);
  int Encrypted = 0, Plain = 0;
  for (const auto& L : Body(Crypt.Out)) {
    if (L.find("\tE\t") != std::string::npos) ++Encrypted;
    if (L.find("\t-\t") != std::string::npos) ++Plain;
  }
  EXPECT_GT(Encrypted, 0);
  EXPECT_GT(Plain, 0);

  const TRun Sorted = RunZip({"list", "--tsv", "--sort", "name", Fixture("damaged/dmg_source.zip")});
  ASSERT_EQ(Sorted.Code, 0);
  std::vector<std::string> Names;
  for (const auto& L : Body(Sorted.Out)) Names.push_back(L.substr(0, L.find('\t')));
  EXPECT_EQ(Names, (std::vector<std::string>{"big.txt", "data/table.bin", "notes.txt", "one.txt",
                                             "runs.dat"}));
}

TEST(ZemzipList, FailuresAndUsage) {
  const TRun NotZip = RunZip({"list", Fixture("damaged/dmg_random_10_bytes.zip")});
  EXPECT_EQ(NotZip.Code, 1);
  // The headline on its own line, then what was wrong.
  EXPECT_EQ(NotZip.Err,
            "Not a valid zip file!\n  the file is 10 bytes long, too short for an end record; no local "
            "header to rebuild the directory from\n");
  EXPECT_EQ(NotZip.Out, "");

  test::TTempDir Dir;
  const TRun Missing = RunZip({"list", (Dir / "none.zip").string()});
  EXPECT_EQ(Missing.Code, 1);
  EXPECT_NE(Missing.Err.find("none.zip"), std::string::npos);

  for (const auto& Args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"list"}, {"list", "--sort", "colour", "a.zip"}, {"list", "a", "b"}}) {
    const TRun R = RunZip(Args);
    EXPECT_EQ(R.Code, 2);
    EXPECT_NE(R.Err.find("usage: zemzip list"), std::string::npos);
  }
}

TEST(ZemzipList, MissingEndRecordIsRebuiltWithAWarning) {
  const TRun Intact = RunZip({"list", "--tsv", Fixture("damaged/dmg_source.zip")});
  const TRun R = RunZip({"list", "--tsv", Fixture("damaged/dmg_no_end_record.zip")});
  ASSERT_EQ(R.Code, 0) << R.Err;
  EXPECT_NE(R.Err.find("warning: "), std::string::npos);
  EXPECT_EQ(Body(R.Out), Body(Intact.Out));
}

// list, test and extract give one verdict on an archive: a comment cut
// by the end of the file is a warning for all three; entries whose declared
// sizes their data cannot have are listed and named on standard error with
// a failing status; overlapping entries refuse the archive.
TEST(ZemzipList, DamagedArchivesSayWhatIsWrong) {
  auto Data = [](const std::string& Rel) { return (fs::path(ZEM_TEST_DATA) / Rel).string(); };
  test::TTempDir Dir;
  for (const char* Command : {"list", "test", "extract"}) {
    SCOPED_TRACE(Command);
    std::vector<std::string> Args = {Command, Data("damaged/comment_past_end.zip")};
    if (std::string(Command) == "extract") Args.insert(Args.end(), {"-d", Dir.Native()});
    const TRun R = RunZip(Args);
    EXPECT_EQ(R.Code, 0) << R.Err;
    EXPECT_NE(R.Err.find("200-byte archive comment"), std::string::npos) << R.Err;
  }
  const TRun Sizes = RunZip({"list", Data("damaged/zip64_sizes_overflow.zip")});
  EXPECT_EQ(Sizes.Code, 1);
  EXPECT_EQ(Lines(Sizes.Out).size(), 8u);  // every entry listed, the table whole
  EXPECT_NE(Sizes.Out.find("18446744073709551615"), std::string::npos);  // the total, capped
  for (const char* Name : {"h1.bin: declared size", "h2.bin: declared size", "h3.bin: declared size"})
    EXPECT_NE(Sizes.Err.find(Name), std::string::npos) << Sizes.Err;
  const TRun Bomb = RunZip({"list", Data("hostile/overlapping_entries.zip")});
  EXPECT_EQ(Bomb.Code, 1);
  EXPECT_NE(Bomb.Err.find("possible zip bomb"), std::string::npos) << Bomb.Err;

  // A directory rebuilt from the local headers that finds fewer entries
  // than the end record lists: what is found is listed, tested, extracted,
  // and the run fails, for the entries it could not reach.
  std::string Short = test::ReadFile(Fixture("damaged/dmg_source.zip"));
  Short[Short.find("PK\x01\x02") + 3] = 9;
  Short[Short.find("PK\x03\x04", 4) + 3] = 9;
  test::WriteFile(Dir / "short.zip", Short);
  for (const char* Command : {"list", "test", "extract"}) {
    SCOPED_TRACE(Command);
    std::vector<std::string> Args = {Command, (Dir / "short.zip").string()};
    if (std::string(Command) == "extract") Args.insert(Args.end(), {"-d", (Dir / "short").string()});
    const TRun R = RunZip(Args);
    EXPECT_EQ(R.Code, 1) << R.Err;
    EXPECT_NE(R.Err.find("the others are missing"), std::string::npos) << R.Err;
  }
}

// dmg_source.zip cut at its third central header into two parts whose end
// record names disk 1 with the directory starting on disk 0.
void WriteSplit(const fs::path& First, const fs::path& Last) {
  std::string Bytes = test::ReadFile(Fixture("damaged/dmg_source.zip"));
  size_t Cut = Bytes.find("PK\x01\x02");
  for (int I = 0; I < 2; ++I) Cut = Bytes.find("PK\x01\x02", Cut + 4);
  ASSERT_NE(Cut, std::string::npos);
  std::string Tail = Bytes.substr(Cut);
  const size_t End = Tail.size() - 22;
  Tail[End + 4] = 1;  // number of this disk
  Tail[End + 6] = 0;  // disk with the central directory
  test::WriteFile(First, Bytes.substr(0, Cut));
  test::WriteFile(Last, Tail);
}

TEST(ZemzipList, SplitSetsUnderEachNaming) {
  test::TTempDir Dir;
  const TRun Intact = RunZip({"list", "--tsv", Fixture("damaged/dmg_source.zip")});
  WriteSplit(Dir / "other.z01", Dir / "other.zip");
  WriteSplit(Dir / "own.zip.z01", Dir / "own.zip");
  WriteSplit(Dir / "classic.001", Dir / "classic.002");
  for (const char* Name : {"other.zip", "own.zip", "classic.002"}) {
    SCOPED_TRACE(Name);
    const TRun R = RunZip({"list", "--tsv", (Dir / Name).string()});
    ASSERT_EQ(R.Code, 0) << R.Err;
    EXPECT_EQ(Body(R.Out), Body(Intact.Out));
  }
  // The real Info-ZIP set.
  const TRun InfoZip = RunZip({"list", "--tsv", Fixture("split/sp_infozip.zip")});
  ASSERT_EQ(InfoZip.Code, 0) << InfoZip.Err;
  EXPECT_EQ(Body(InfoZip.Out).size(), 4u);

  // A missing first part is an error, not a prompt.
  fs::remove(Dir / "other.z01");
  const TRun Gone = RunZip({"list", (Dir / "other.zip").string()});
  EXPECT_EQ(Gone.Code, 1);
  EXPECT_NE(Gone.Err.find("Cannot open file"), std::string::npos);
}

}  // namespace
}  // namespace zem
