// The damaged and hostile archives of tests/data, one defect each, read
// against their verdict tables (cases.tsv, written by make_damaged.py):
// list, test and extract agree on the verdict, the report names the defect,
// and exactly the surviving entries come out, byte-exact.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/zemzip/run_zip.h"
#include "common/test_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

struct TCase {
  std::string File, Password, Verdict, Message;
  std::set<std::string> Survivors;
};

std::vector<TCase> ReadCases(const fs::path& Table) {
  std::vector<TCase> Cases;
  std::ifstream In(Table);
  std::string Line;
  while (std::getline(In, Line)) {
    if (Line.empty() || Line[0] == '#') continue;
    std::vector<std::string> F = test::SplitTabs(Line);
    F.resize(5);
    TCase C{F[0], F[1], F[2], F[3], {}};
    std::stringstream Names(F[4]);
    for (std::string N; std::getline(Names, N, ',');)
      if (!N.empty()) C.Survivors.insert(N);
    Cases.push_back(C);
  }
  return Cases;
}

// What make_damaged.py puts in every intact entry.
std::string Body(const std::string& Name) {
  std::string Out;
  for (int I = 0; I < 50; ++I) Out += "content of " + Name + "\n";
  return Out;
}

std::vector<std::string> WithPassword(std::vector<std::string> Args, const TCase& C) {
  if (!C.Password.empty()) Args.insert(Args.begin() + 1, {"-P", C.Password});
  return Args;
}

class DamagedCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(DamagedCorpus, VerdictMessageAndSurvivors) {
  const fs::path Folder = fs::path(ZEM_TEST_DATA) / GetParam();
  const std::vector<TCase> Cases = ReadCases(Folder / "cases.tsv");
  ASSERT_FALSE(Cases.empty());
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.File);
    const std::string Archive = (Folder / C.File).string();
    test::TTempDir Dest;
    const test::TZipRun Extract =
        test::RunZip(WithPassword({"extract", "-o", "-d", Dest.Path().string(), Archive}, C));
    const test::TZipRun Test = test::RunZip(WithPassword({"test", Archive}, C));
    const test::TZipRun List = test::RunZip({"list", "--tsv", Archive});
    const bool Ok = C.Verdict == "ok";
    EXPECT_EQ(Extract.Code == 0, Ok) << Extract.Err;
    EXPECT_EQ(Test.Code == 0, Ok) << Test.Out << Test.Err;
    if (C.Verdict == "refused") {
      EXPECT_NE(List.Code, 0) << List.Out;
    }
    if (!C.Message.empty()) {
      EXPECT_NE(Extract.Err.find(C.Message), std::string::npos) << Extract.Err;
      EXPECT_NE((Test.Out + Test.Err).find(C.Message), std::string::npos) << Test.Out << Test.Err;
    }
    // Exactly the survivors are on disk, each with its whole content.
    std::set<std::string> Found;
    for (const auto& E : fs::recursive_directory_iterator(Dest.Path()))
      if (E.is_regular_file()) Found.insert(fs::relative(E.path(), Dest.Path()).string());
    EXPECT_EQ(Found, C.Survivors);
    for (const std::string& N : C.Survivors)
      EXPECT_EQ(test::ReadFile(Dest.Path() / N), Body(N)) << N;
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, DamagedCorpus, ::testing::Values("damaged", "hostile"));

}  // namespace
}  // namespace zem
