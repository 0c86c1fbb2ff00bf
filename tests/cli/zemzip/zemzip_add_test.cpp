// Tests of "zemzip add": names as given, folders with -r, -j, exclusion,
// the comment, the update actions, and the exit status when files are
// left out.
#include <gtest/gtest.h>

#include <algorithm>
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

class ZemzipAddTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Saved = fs::current_path();
    fs::current_path(Dir.Path());
    test::WriteFile(Dir / "photos/a.jpg", test::RandomBytes(5000, 1));
    test::WriteFile(Dir / "photos/trip/b.jpg", test::RandomBytes(3000, 2));
    test::WriteFile(Dir / "photos/.hidden", "h");
    test::WriteFile(Dir / "photos/skip.tmp", "t");
    // The photos do not compress and are stored whatever the level; the
    // notes do.
    test::WriteFile(Dir / "notes.txt", std::string(400, 'n'));
  }
  void TearDown() override { fs::current_path(Saved); }

  // Entry name -> "size method encrypted" from the listing.
  std::vector<std::string> Listing(const std::string& Archive, std::string* Comment = nullptr) {
    const TRun R = RunZip({"list", "--tsv", Archive});
    EXPECT_EQ(R.Code, 0) << R.Err;
    std::vector<std::string> Names;
    std::stringstream S(R.Out);
    std::string Line;
    std::getline(S, Line);
    while (std::getline(S, Line)) {
      if (Line.find('\t') == std::string::npos) {
        if (Comment) *Comment = Line;
        continue;
      }
      std::stringstream C(Line);
      std::string Name, Size, Packed, Method, Crc, Enc;
      C >> Name >> Size >> Packed >> Method >> Crc >> Enc;
      Names.push_back(Name + " " + Size + " " + Method + " " + Enc);
    }
    std::sort(Names.begin(), Names.end());
    return Names;
  }

  test::TTempDir Dir;
  fs::path Saved;
};

TEST_F(ZemzipAddTest, FolderWithRecursionNamesAsGiven) {
  const TRun R = RunZip({"add", "-r", "-9", "-P", "pw", "-x", "*.tmp", "-z", "my card", "a.zip",
                         "photos", "notes.txt", (Dir / "photos/a.jpg").string()});
  EXPECT_EQ(R.Err, "");
  EXPECT_EQ(R.Code, 0) << R.Err;
  std::string Comment;
  const auto L = Listing("a.zip", &Comment);
  std::string Abs = (Dir / "photos/a.jpg").string().substr(1);
  const std::vector<std::string> Expected = [&] {
    std::vector<std::string> E = {
        Abs + " 5000 0 E",       "notes.txt 400 8 E",        "photos/ 0 0 -",
        "photos/.hidden 1 0 E",  "photos/a.jpg 5000 0 E",    "photos/trip/ 0 0 -",
        "photos/trip/b.jpg 3000 0 E"};
    std::sort(E.begin(), E.end());
    return E;
  }();
  EXPECT_EQ(L, Expected);
  EXPECT_EQ(Comment, "my card");
}

TEST_F(ZemzipAddTest, WildcardInTheCurrentFolder) {
  const TRun R = RunZip({"add", "c.zip", "*.txt", "photos/*.jpg"});
  EXPECT_EQ(R.Code, 0) << R.Err;
  EXPECT_EQ(Listing("c.zip"), (std::vector<std::string>{"notes.txt 400 8 -", "photos/a.jpg 5000 0 -"}));
}

TEST_F(ZemzipAddTest, JunkPathsAndSkippedFiles) {
  TRun R = RunZip({"add", "-0", "-j", "b.zip", "photos/a.jpg", "photos/trip/b.jpg", "missing.txt"});
  EXPECT_EQ(R.Code, ZipExitFailed);
  EXPECT_NE(R.Err.find("missing.txt"), std::string::npos) << R.Err;
  EXPECT_EQ(Listing("b.zip"), (std::vector<std::string>{"a.jpg 5000 0 -", "b.jpg 3000 0 -"}));

  // The same stored name twice: the second is left out and named.
  R = RunZip({"add", "-j", "--replace", "b.zip", "notes.txt", "photos/a.jpg", "a.jpg"});
  EXPECT_EQ(R.Code, ZipExitFailed) << R.Err;
  EXPECT_NE(R.Err.find("a.jpg"), std::string::npos) << R.Err;

  // Freshen touches only names the archive has; others are named.
  test::WriteFile(Dir / "photos/a.jpg", "new");
  fs::last_write_time(Dir / "photos/a.jpg", fs::file_time_type::clock::now() + std::chrono::hours(1));
  R = RunZip({"add", "-j", "--freshen", "b.zip", "photos/a.jpg", "photos/skip.tmp"});
  EXPECT_EQ(R.Code, ZipExitFailed);
  EXPECT_NE(R.Err.find("skip.tmp"), std::string::npos) << R.Err;
  EXPECT_EQ(Listing("b.zip"),
            (std::vector<std::string>{"a.jpg 3 0 -", "b.jpg 3000 0 -", "notes.txt 400 8 -"}));
}

TEST_F(ZemzipAddTest, UsageErrors) {
  EXPECT_EQ(RunZip({"add", "only.zip"}).Code, ZipExitUsage);
  EXPECT_EQ(RunZip({"add", "-Q", "a.zip", "notes.txt"}).Code, ZipExitUsage);
  EXPECT_FALSE(fs::exists(Dir / "a.zip"));
}

}  // namespace
}  // namespace zem
