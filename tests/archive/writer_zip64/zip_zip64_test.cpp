// A 4.5 GiB sparse file zipped stored and at level 1, with and without a
// password: the entries need Zip64 sizes in their central headers and a
// Zip64 block in their local headers. unzip -t and 7-Zip's test accept the
// archives and our reader lists the 64-bit sizes. Minutes long: labelled
// "slow" and left out of the default test command.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/writer/arc_zip.h"
#include "common/test_support.h"
#include "platform/drives.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kBigSize = 4608ull * 1024 * 1024;  // 4.5 GiB

// Runs a peer tool with its messages in the output.
std::string RunTool(const std::string& Command, int& Status) {
  return test::RunCommand(Command + " 2>&1", Status);
}

bool Has(const std::string& Tool) { return test::HaveTool(Tool); }

TEST(Zip64WriteTest, SparseFileOfFourAndAHalfGiB) {
  const std::string SevenZip = Has("7z") ? "7z" : Has("7zz") ? "7zz" : "";
  if (!Has("unzip") || SevenZip.empty()) GTEST_SKIP() << "unzip and 7-Zip are needed";
  TTempDir Dir;
  const fs::space_info Space = fs::space(Dir.Path());
  if (Space.available < kBigSize + (1ull << 30)) GTEST_SKIP() << "not enough free space";
  auto Table = std::make_unique<platform::TFakeDriveTable>();
  Table->AddDrive('F', Dir.Native(), "CARD");
  platform::TDriveTableScope Scope(std::move(Table));

  // Sparse: a few real bytes at the start, in the middle and at the end.
  {
    std::ofstream Out(Dir / "big.bin", std::ios::binary);
    Out << "head of the big file";
    Out.seekp(static_cast<std::streamoff>(kBigSize / 2));
    Out << "middle";
    Out.seekp(static_cast<std::streamoff>(kBigSize - 4));
    Out << "tail";
  }
  ASSERT_EQ(fs::file_size(Dir / "big.bin"), kBigSize);
  WriteFile(Dir / "small.txt", "a small file after the big one");

  for (int Level : {0, 1}) {
    for (const std::string Pw : {"", "pw64"}) {
      SCOPED_TRACE(::testing::Message() << "level " << Level << " password '" << Pw << "'");
      fs::remove(Dir / "big.zip");
      TArcZip Z;
      Z.SetZipName("F:\\big.zip");
      Z.SetPackLevel(Level);
      Z.SetPassword(Pw);
      Z.SetDoProcessMessages(false);
      Z.FilesList() = {"F:\\big.bin", "F:\\small.txt"};
      ASSERT_EQ(Z.Zip(), 2);

      TArcUnZip R;
      R.SetZipName("F:\\big.zip");
      R.ReadDirectory();
      ASSERT_EQ(R.Count(), 2);
      EXPECT_EQ(R.EntryUncompressedSize(0), kBigSize);
      EXPECT_EQ(R.EntryHeader(0).UncompressedSizeField(), 0xFFFFFFFFu);
      if (Level == 0) {
        EXPECT_EQ(R.EntryHeader(0).CompressedSize(), kBigSize + (Pw.empty() ? 0 : 12));
      }
      EXPECT_EQ(R.EntryUncompressedSize(1), 30u);

      const std::string Arc = (Dir / "big.zip").string();
      int Status = 0;
      std::string Out = RunTool("unzip -t " + (Pw.empty() ? "" : "-P " + Pw + " ") + "'" + Arc + "'", Status);
      EXPECT_EQ(Status, 0) << Out;
      EXPECT_NE(Out.find("No errors detected"), std::string::npos) << Out;
      Out = RunTool(SevenZip + " t -p" + (Pw.empty() ? "none" : Pw) + " '" + Arc + "'", Status);
      EXPECT_EQ(Status, 0) << Out;
      EXPECT_NE(Out.find("Everything is Ok"), std::string::npos) << Out;
    }
  }
}

}  // namespace
}  // namespace zem::test
