// Tests of "zemzip add --split": block files under both namings, each
// within the size, extracted whole again; sizes with suffixes; an existing
// archive refused, also one the last part would replace; bad sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/zipcli/zip_add.h"
#include "cli/zemzip/run_zip.h"
#include "cli/zipcli/zip_commands.h"
#include "common/test_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

using TRun = test::TZipRun;
using test::RunZip;

class ZemzipSplitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Saved = fs::current_path();
    fs::current_path(Dir.Path());
    test::WriteFile(Dir / "cards/a.jpg", test::RandomBytes(150000, 21));
    test::WriteFile(Dir / "cards/b.jpg", test::RandomBytes(90000, 22));
    test::WriteFile(Dir / "cards/notes.txt", std::string(50000, 'n'));
    fs::create_directories(Dir / "set");
  }
  void TearDown() override { fs::current_path(Saved); }

  std::vector<std::string> SetFiles() const {
    std::vector<std::string> Names;
    for (const auto& E : fs::directory_iterator(Dir / "set"))
      Names.push_back(E.path().filename().string());
    std::sort(Names.begin(), Names.end());
    return Names;
  }
  // Extracts the set through its last part and compares with cards/.
  void ExpectExtractsWhole(const std::string& Last) {
    const std::string Dest = (Dir / ("x-" + Last)).string();
    const TRun R = RunZip({"extract", "-d", Dest, "set/" + Last});
    ASSERT_EQ(R.Code, 0) << R.Err;
    for (const char* Name : {"a.jpg", "b.jpg", "notes.txt"})
      EXPECT_TRUE(test::ReadFile(fs::path(Dest) / "cards" / Name) ==
                  test::ReadFile(Dir / "cards" / Name))
          << Name;
  }

  test::TTempDir Dir;
  fs::path Saved;
};

TEST_F(ZemzipSplitTest, BlockFilesUnderBothNamings) {
  const TRun R = RunZip({"add", "-r", "--split", "100k", "set/arc.zip", "cards"});
  ASSERT_EQ(R.Code, 0) << R.Err;
  EXPECT_EQ(SetFiles(), (std::vector<std::string>{"arc.zip", "arc.zip.z01", "arc.zip.z02"}));
  for (const std::string& Name : SetFiles()) EXPECT_LE(fs::file_size(Dir / "set" / Name), 102400u);
  ExpectExtractsWhole("arc.zip");

  fs::remove_all(Dir / "set");
  fs::create_directories(Dir / "set");
  const TRun C = RunZip({"add", "-r", "-P", "pw", "--split", "102400", "--classic", "set/arc.zip",
                         "cards"});
  ASSERT_EQ(C.Code, 0) << C.Err;
  EXPECT_EQ(SetFiles(), (std::vector<std::string>{"arc.001", "arc.002", "arc.003"}));
  const TRun T = RunZip({"test", "-P", "pw", "set/arc.003"});
  EXPECT_EQ(T.Code, 0) << T.Out << T.Err;
}

// A set is always written anew, so an archive it would replace is refused.
TEST_F(ZemzipSplitTest, ExistingArchiveAndBadSizesRefused) {
  ASSERT_EQ(RunZip({"add", "set/arc.zip", "cards/notes.txt"}).Code, 0);
  const std::string Before = test::ReadFile(Dir / "set/arc.zip");
  const TRun R = RunZip({"add", "--split", "64k", "set/arc.zip", "cards/a.jpg"});
  EXPECT_EQ(R.Code, 1);
  EXPECT_NE(R.Err.find("exists"), std::string::npos) << R.Err;
  EXPECT_EQ(test::ReadFile(Dir / "set/arc.zip"), Before);
  EXPECT_EQ(SetFiles(), std::vector<std::string>{"arc.zip"});

  for (const auto& Args : std::vector<std::vector<std::string>>{
           {"add", "--split", "0", "n.zip", "cards"},
           {"add", "--split", "12q", "n.zip", "cards"},
           {"add", "--split", "k", "n.zip", "cards"},
           {"add", "--classic", "n.zip", "cards"}}) {
    EXPECT_EQ(RunZip(Args).Code, 2) << Args[2];
  }
  EXPECT_FALSE(fs::exists(Dir / "n.zip"));
  EXPECT_EQ(ParseSplitSize("3m"), 3 << 20);
  EXPECT_EQ(ParseSplitSize("2G"), int64_t{2} << 30);
  EXPECT_EQ(ParseSplitSize("1457600"), 1457600);
}

// The last part takes the base name (up to the first dot) with ".zip", so a
// set named "arc" or "arc.old.zip" would end in the place of arc.zip.
TEST_F(ZemzipSplitTest, ArchiveTheLastPartWouldReplaceRefused) {
  ASSERT_EQ(RunZip({"add", "set/arc.zip", "cards/notes.txt"}).Code, 0);
  const std::string Before = test::ReadFile(Dir / "set/arc.zip");
  for (const char* Name : {"set/arc", "set/arc.old.zip"}) {
    const TRun R = RunZip({"add", "--split", "64k", Name, "cards/a.jpg"});
    EXPECT_EQ(R.Code, 1) << Name;
    EXPECT_NE(R.Err.find("arc.zip: exists"), std::string::npos) << R.Err;
    EXPECT_TRUE(test::ReadFile(Dir / "set/arc.zip") == Before) << Name;
    EXPECT_EQ(SetFiles(), std::vector<std::string>{"arc.zip"}) << Name;
  }
}

// A classic set is read through the part it was named by, beside files of
// the other namings (another archive arc.zip, a stray arc.z01).
TEST_F(ZemzipSplitTest, ClassicSetBesideOtherNamings) {
  ASSERT_EQ(RunZip({"add", "-r", "--split", "100k", "--classic", "set/arc.zip", "cards"}).Code, 0);
  ASSERT_EQ(SetFiles(), (std::vector<std::string>{"arc.001", "arc.002", "arc.003"}));
  ASSERT_EQ(RunZip({"add", "set/arc.zip", "cards/notes.txt"}).Code, 0);
  test::WriteFile(Dir / "set/arc.z01", test::RandomBytes(1000, 5));
  ExpectExtractsWhole("arc.003");
}

}  // namespace
}  // namespace zem
