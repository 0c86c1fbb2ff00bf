// Tests of "zemzip extract" and "zemzip test": files written, folders or
// not, overwrite choices (also asked on the terminal), patterns, failing
// entries named with the exit status, split sets, and the test summary.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/zipcli/zip_commands.h"
#include "common/test_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

struct TRun {
  int Code;
  std::string Out, Err;
};

TRun Zemzip(const std::vector<std::string>& Args, const std::string& Input = "") {
  std::istringstream In(Input);
  std::ostringstream Out, Err;
  const int Code = RunZipCommand(Args, In, Out, Err);
  return {Code, Out.str(), Err.str()};
}

std::string Fixture(const std::string& Rel) { return (fs::path(ZEM_TEST_DATA) / "interop" / Rel).string(); }

size_t CountLines(const std::string& Text) { return static_cast<size_t>(std::count(Text.begin(), Text.end(), '\n')); }

TEST(ZemzipExtract, WritesTheTreeOrJustTheFiles) {
  test::TTempDir Dir;
  const TRun R = Zemzip({"extract", "-d", (Dir / "tree").string(), Fixture("deflate/df_infozip_l9.zip")});
  ASSERT_EQ(R.Code, 0) << R.Err;
  EXPECT_EQ(test::ReadFile(Dir / "tree/big.txt").size(), 150000u);
  EXPECT_TRUE(fs::exists(Dir / "tree/data/table.bin"));

  const TRun J = Zemzip({"extract", "-j", "-d", (Dir / "flat").string(), Fixture("deflate/df_infozip_l9.zip"), "data/*"});
  ASSERT_EQ(J.Code, 0) << J.Err;
  EXPECT_TRUE(fs::exists(Dir / "flat/table.bin"));
  EXPECT_FALSE(fs::exists(Dir / "flat/notes.txt"));
  EXPECT_FALSE(fs::exists(Dir / "flat/data"));

  // A pattern nothing matches is a failure, not a silent success.
  EXPECT_EQ(Zemzip({"extract", "-d", (Dir / "none").string(), Fixture("deflate/df_infozip_l9.zip"), "*.xyz"}).Code, 1);
}

// A folder entry that cannot be made (a file holds its name) fails the run
// and is named, as a file entry would be; the files around it come out.
TEST(ZemzipExtract, AFolderEntryThatCannotBeMadeFails) {
  test::TTempDir Dir;
  test::WriteFile(Dir / "o/tree/empty_dir", "mine");
  const TRun R = Zemzip({"extract", "-d", (Dir / "o").string(), Fixture("names/nm_7z_tree.zip")});
  EXPECT_EQ(R.Code, ZipExitFailed);
  EXPECT_NE(R.Err.find("tree/empty_dir/: "), std::string::npos) << R.Err;
  EXPECT_EQ(test::ReadFile(Dir / "o/tree/empty_dir"), "mine");
  EXPECT_TRUE(fs::exists(Dir / "o/tree/sub/deeper/deepest/leaf.bin"));
}

// -n keeps existing files (named, counted as skipped, no failure), -o
// replaces, and the default asks: [y]es, [n]o, [A]ll, [N]one, [r]ename.
TEST(ZemzipExtract, OverwriteChoices) {
  test::TTempDir Dir;
  const std::string Archive = Fixture("damaged/dmg_source.zip");
  const std::string Dest = (Dir / "o").string();
  ASSERT_EQ(Zemzip({"extract", "-d", Dest, Archive}).Code, 0);
  test::WriteFile(Dir / "o/notes.txt", "mine");
  test::WriteFile(Dir / "o/one.txt", "mine");
  fs::remove(Dir / "o/big.txt");

  const TRun Never = Zemzip({"extract", "-n", "-d", Dest, Archive});
  EXPECT_EQ(Never.Code, 0) << Never.Err;
  EXPECT_NE(Never.Err.find("notes.txt: exists, not replaced"), std::string::npos) << Never.Err;
  EXPECT_NE(Never.Out.find("extracted 1 entries, 4 skipped"), std::string::npos) << Never.Out;
  EXPECT_EQ(test::ReadFile(Dir / "o/notes.txt"), "mine");

  // Asked once per existing file, in directory order: notes.txt first. An
  // answer that is none of the letters is asked again.
  const TRun Ask = Zemzip({"extract", "-d", Dest, Archive, "notes.txt", "one.txt"}, "y\nmaybe\nn\n");
  EXPECT_EQ(Ask.Code, 0) << Ask.Err;
  EXPECT_NE(Ask.Err.find("Replace existing file notes.txt? [y]es, [n]o, [A]ll, [N]one, [r]ename: "),
            std::string::npos);
  EXPECT_EQ(CountLines(Ask.Err), 0u) << Ask.Err;  // three questions, answered on the input
  EXPECT_NE(test::ReadFile(Dir / "o/notes.txt"), "mine");
  EXPECT_EQ(test::ReadFile(Dir / "o/one.txt"), "mine");

  // [r]ename: a taken name is refused, a free one receives the entry.
  test::WriteFile(Dir / "o/notes.txt", "mine");
  const TRun Renamed = Zemzip({"extract", "-d", Dest, Archive, "notes.txt"}, "r\none.txt\nr\nnotes2.txt\n");
  EXPECT_EQ(Renamed.Code, 0) << Renamed.Err;
  EXPECT_NE(Renamed.Err.find("one.txt: exists too"), std::string::npos) << Renamed.Err;
  EXPECT_EQ(test::ReadFile(Dir / "o/notes.txt"), "mine");
  EXPECT_EQ(test::ReadFile(Dir / "o/notes2.txt").size(), 9000u);
  // The new name is a Linux name: '\' is one of its characters.
  EXPECT_EQ(Zemzip({"extract", "-d", Dest, Archive, "notes.txt"}, "r\nx\\notes3.txt\n").Code, 0);
  EXPECT_EQ(test::ReadFile(Dir / "o/x\\notes3.txt").size(), 9000u);

  // [N]one keeps both without asking again; no answer at all keeps them too.
  for (const char* Input : {"N\n", ""}) {
    const TRun None = Zemzip({"extract", "-d", Dest, Archive, "notes.txt", "one.txt"}, Input);
    EXPECT_EQ(None.Code, 0) << None.Err;
    EXPECT_EQ(None.Err.find("[r]ename: ", None.Err.find("[r]ename: ") + 1), std::string::npos);
    EXPECT_EQ(test::ReadFile(Dir / "o/one.txt"), "mine");
  }

  const TRun Always = Zemzip({"extract", "-o", "-d", Dest, Archive});
  EXPECT_EQ(Always.Code, 0) << Always.Err;
  EXPECT_NE(test::ReadFile(Dir / "o/one.txt"), "mine");
}

TEST(ZemzipExtract, PasswordsAndFailingEntries) {
  test::TTempDir Dir;
  const std::string Archive = Fixture("zipcrypto/zc_mixed.zip");
  const TRun Wrong = Zemzip({"extract", "-P", "nope", "-d", (Dir / "w").string(), Archive});
  EXPECT_EQ(Wrong.Code, 1);
  EXPECT_NE(Wrong.Err.find("notes.txt: wrong password"), std::string::npos) << Wrong.Err;
  EXPECT_FALSE(fs::exists(Dir / "w/notes.txt"));
  EXPECT_TRUE(fs::exists(Dir / "w/runs.dat"));  // not encrypted

  const TRun Right = Zemzip({"extract", "-P", "Sesame42", "-d", (Dir / "r").string(), Archive});
  EXPECT_EQ(Right.Code, 0) << Right.Err;

  // An unknown method: the entry fails, named with the method, once.
  const TRun Lzma = Zemzip({"extract", "-d", (Dir / "l").string(), Fixture("other_methods/om_7z_lzma.zip")});
  EXPECT_EQ(Lzma.Code, 1);
  EXPECT_NE(Lzma.Err.find("notes.txt: unsupported compression method 14 (LZMA)\n"), std::string::npos) << Lzma.Err;
  EXPECT_EQ(Lzma.Err.find("notes.txt", Lzma.Err.find("notes.txt") + 1), std::string::npos) << Lzma.Err;
  // AES entries: never an empty file, never a success.
  const TRun Aes = Zemzip({"test", Fixture("other_methods/om_7z_aes256.zip")});
  EXPECT_EQ(Aes.Code, 1);
  EXPECT_NE(Aes.Out.find("notes.txt: unsupported compression method 99 (AES)\n"), std::string::npos) << Aes.Out;
}

// --threads sets how many entries are decoded at once, never a verdict:
// failing entries fail and the status says so with one thread or two.
TEST(ZemzipExtract, ThreadsKeepTheVerdicts) {
  test::TTempDir Dir;
  const std::string Archive = Fixture("zipcrypto/zc_mixed.zip");
  std::vector<std::string> Errors;
  for (const std::string Threads : {"1", "2"}) {
    const TRun Wrong = Zemzip({"extract", "--threads", Threads, "-P", "nope", "-d", (Dir / Threads).string(), Archive});
    EXPECT_EQ(Wrong.Code, ZipExitFailed);
    EXPECT_TRUE(fs::exists(Dir / Threads / "runs.dat"));
    EXPECT_FALSE(fs::exists(Dir / Threads / "notes.txt"));
    Errors.push_back(Wrong.Err);
    EXPECT_EQ(Zemzip({"test", "--threads", Threads, Fixture("damaged/dmg_truncated_last_entry.zip")}).Code, ZipExitFailed);
  }
  EXPECT_NE(Errors[0].find("notes.txt: wrong password"), std::string::npos) << Errors[0];
  EXPECT_EQ(Errors[1], Errors[0]);
  for (const char* Bad : {"0", "65", "two", ""})
    EXPECT_EQ(Zemzip({"test", "--threads", Bad, Archive}).Code, ZipExitUsage) << Bad;
}

// Split sets under both namings extract like the whole archive.
TEST(ZemzipExtract, SplitSets) {
  test::TTempDir Dir;
  const TRun Other = Zemzip({"extract", "-d", (Dir / "a").string(), Fixture("split/sp_infozip.zip")});
  ASSERT_EQ(Other.Code, 0) << Other.Err;
  for (const char* Part : {"z01", "z02"})
    fs::copy_file(Fixture(std::string("split/sp_infozip.") + Part), Dir / (std::string("own.zip.") + Part));
  fs::copy_file(Fixture("split/sp_infozip.zip"), Dir / "own.zip");
  const TRun Own = Zemzip({"extract", "-d", (Dir / "b").string(), (Dir / "own.zip").string()});
  ASSERT_EQ(Own.Code, 0) << Own.Err;
  size_t Files = 0;
  for (const auto& E : fs::recursive_directory_iterator(Dir / "a")) {
    if (!E.is_regular_file()) continue;
    ++Files;
    EXPECT_EQ(test::ReadFile(E.path()), test::ReadFile(Dir / "b" / fs::relative(E.path(), Dir / "a")));
  }
  EXPECT_EQ(Files, 4u);
  EXPECT_EQ(Zemzip({"test", (Dir / "own.zip").string()}).Out, "tested 4 entries, 0 failed\n");
}

TEST(ZemzipTest, SummaryAndOneLinePerFailingEntry) {
  const TRun Good = Zemzip({"test", "-P", "Sesame42", Fixture("zipcrypto/zc_infozip_streamed_dd.zip")});
  EXPECT_EQ(Good.Code, 0) << Good.Err;
  EXPECT_EQ(Good.Out, "tested 4 entries, 0 failed\n");

  const TRun Wrong = Zemzip({"test", "-P", "nope", Fixture("zipcrypto/zc_mixed.zip")});
  EXPECT_EQ(Wrong.Code, 1);
  EXPECT_EQ(CountLines(Wrong.Out), 3u);
  EXPECT_NE(Wrong.Out.find("tested 4 entries, 2 failed\n"), std::string::npos) << Wrong.Out;

  // A truncated archive: the entry cut short is reported with the error.
  const TRun Cut = Zemzip({"test", Fixture("damaged/dmg_truncated_last_entry.zip")});
  EXPECT_EQ(Cut.Code, 1);
  EXPECT_NE(Cut.Out.find("big.txt: compressed size 49110 at offset 20058 runs past the end of the archive"),
            std::string::npos)
      << Cut.Out;
  EXPECT_NE(Cut.Out.find("tested 5 entries, 1 failed"), std::string::npos) << Cut.Out;

  EXPECT_EQ(Zemzip({"test"}).Code, 2);
  EXPECT_EQ(Zemzip({"extract", "-o", "-n", "x.zip"}).Code, 2);
}

}  // namespace
}  // namespace zem
