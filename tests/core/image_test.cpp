// Tests of backup images: the header block, round trips, refusals and failures.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "common/test_support.h"
#include "core/image.h"
#include "platform/base.h"
#include "platform/drives.h"
#include "platform/stream.h"

namespace zem {
namespace {

namespace fs = std::filesystem;
using platform::TDriveTableScope;
using platform::TFakeDriveTable;

// Cards in F (labelled CAMERA), K (an 11-character label), L (lower case),
// N (no label) and a work drive W holding the archives and images.
class ImageTest : public ::testing::Test {
 protected:
  ImageTest() {
    for (const char* Sub : {"w", "f", "k", "l", "n"}) fs::create_directories(Dir / Sub);
    auto Table = std::make_unique<TFakeDriveTable>();
    Table->AddDrive('F', (Dir / "f").string(), "CAMERA", 1ull << 32);
    Table->AddDrive('K', (Dir / "k").string(), "HOLIDAYS2023", 1ull << 32);
    Table->AddDrive('L', (Dir / "l").string(), "sd card", 1ull << 32);
    Table->AddDrive('N', (Dir / "n").string(), "", 1ull << 32);
    Table->AddDrive('W', (Dir / "w").string(), "WORK", 1ull << 34, platform::DRIVE_FIXED);
    Scope = std::make_unique<TDriveTableScope>(std::move(Table));
  }

  fs::path Native(const std::string& Name) const { return Dir / "w" / Name; }
  static std::string Win(const std::string& Name) { return "W:\\" + Name; }

  test::TTempDir Dir;
  std::unique_ptr<TDriveTableScope> Scope;
};

// The image the format defines for an archive, built independently.
std::string ExpectedImage(const std::string& Archive, const std::string& NameField) {
  std::string Header(1024, '\xFF');
  Header.replace(0, 12, NameField);
  return Header + Archive.substr(1024) + Archive.substr(0, 1024);
}

TEST_F(ImageTest, WrapAndUnwrapRoundTrips) {
  for (size_t Size : {size_t{1024}, size_t{1025}, size_t{2047}, size_t{2048}, size_t{3'000'017}}) {
    SCOPED_TRACE(Size);
    const std::string Archive = test::RandomBytes(Size, static_cast<uint32_t>(Size));
    test::WriteFile(Native("card.img"), Archive);
    WrapImage(Win("card.img"), 'F');
    const std::string Image = test::ReadFile(Native("card.img"));
    EXPECT_EQ(Image.size(), Size + 1024);
    EXPECT_TRUE(Image == ExpectedImage(Archive, std::string("ZEM0CAMERA\0\0", 12)));

    ASSERT_EQ(UnwrapImage(Win("card.img"), Win("card.zip")), kUnwrapDone);
    EXPECT_TRUE(test::ReadFile(Native("card.zip")) == Archive);
    EXPECT_TRUE(test::ReadFile(Native("card.img")) == Image) << "the image must stay untouched";
  }
}

TEST_F(ImageTest, NameFieldHoldsMagicAndFirstEightLabelBytes) {
  const std::string Archive = test::RandomBytes(4096, 7);
  const struct {
    char Drive;
    std::string Field;
  } Cases[] = {
      {'F', std::string("ZEM0CAMERA\0\0", 12)},
      {'N', std::string("ZEM0\0\0\0\0\0\0\0\0", 12)},
      {'K', "ZEM0HOLIDAYS"},              // cut to 8 bytes
      {'L', std::string("ZEM0SD CARD\0", 12)},  // upper case, as the label query gives it
      {'Q', std::string("ZEM0\0\0\0\0\0\0\0\0", 12)},  // no such drive: empty label
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Drive);
    test::WriteFile(Native("a.zip"), Archive);
    WrapImage(Win("a.zip"), Case.Drive);
    const std::string Image = test::ReadFile(Native("a.zip"));
    ASSERT_EQ(Image.size(), Archive.size() + 1024);
    EXPECT_EQ(Image.substr(0, 12), Case.Field);
    EXPECT_EQ(Image.substr(12, 1012), std::string(1012, '\xFF'));
  }
}

TEST_F(ImageTest, WrapFailuresLeaveTheFileAlone) {
  const std::string Short = test::RandomBytes(1023, 3);
  test::WriteFile(Native("short.zip"), Short);
  try {
    WrapImage(Win("short.zip"), 'F');
    ADD_FAILURE() << "a 1023-byte archive was wrapped";
  } catch (const EReadError& E) {
    EXPECT_EQ(E.Message(), "Stream read error");
  }
  EXPECT_TRUE(test::ReadFile(Native("short.zip")) == Short);

  EXPECT_THROW(WrapImage(Win("missing.zip"), 'F'), EFOpenError);
  EXPECT_FALSE(fs::exists(Native("missing.zip")));
}

// The unwrapping as first designed: load everything, move the last 1024
// bytes over the first 1024, keep the first S - 1024 bytes. The streaming
// version must give the same bytes for every image length.
std::string UnwrapInMemory(std::string Image) {
  const size_t S = Image.size();
  std::memmove(Image.data(), Image.data() + S - 1024, 1024);
  return Image.substr(0, S - 1024);
}

TEST_F(ImageTest, UnwrapMatchesTheInMemoryAlgorithmForAnyLength) {
  for (size_t Size : {size_t{1024}, size_t{1025}, size_t{1500}, size_t{2047}, size_t{2048},
                      size_t{2049}, size_t{4 << 20}, size_t{(4 << 20) + 3072 + 5}}) {
    SCOPED_TRACE(Size);
    std::string Image = test::RandomBytes(Size, static_cast<uint32_t>(Size) + 11);
    Image.replace(0, 4, "ZEM0");
    test::WriteFile(Native("x.img"), Image);
    ASSERT_EQ(UnwrapImage(Win("x.img"), Win("x.zip")), kUnwrapDone);
    const std::string Out = test::ReadFile(Native("x.zip"));
    EXPECT_EQ(Out.size(), Size - 1024);
    EXPECT_TRUE(Out == UnwrapInMemory(Image));
    // Read in place, in pieces that straddle the seam between the moved
    // block and the body, and from an offset past it.
    const TImageArchive InPlace(Win("x.img"), Win("view.zip"));
    ASSERT_TRUE(InPlace.IsImage());
    TFileStream View(Win("view.zip"), fmOpenRead);
    ASSERT_EQ(View.Size(), static_cast<int64_t>(Size - 1024));
    std::string Read(Size - 1024, '\0');
    for (size_t At = 0; At < Read.size(); At += 700)
      View.ReadBuffer(Read.data() + At, static_cast<int64_t>(std::min<size_t>(700, Read.size() - At)));
    EXPECT_TRUE(Read == Out);
    char Byte;
    EXPECT_EQ(View.Read(&Byte, 1), 0);  // the end of the archive, not of the image
    if (Out.size() > 1100) {
      View.SetPosition(1000);
      std::string Part(100, '\0');
      View.ReadBuffer(Part.data(), 100);
      EXPECT_TRUE(Part == Out.substr(1000, 100));
    }
  }
  EXPECT_FALSE(fs::exists(Native("view.zip")));  // served, never written
}

TEST_F(ImageTest, EditedHeaderAfterTheMagicStillUnwraps) {
  const std::string Archive = test::RandomBytes(70'000, 5);
  test::WriteFile(Native("e.img"), Archive);
  WrapImage(Win("e.img"), 'F');
  std::string Image = test::ReadFile(Native("e.img"));
  Image.replace(4, 1020, test::RandomBytes(1020, 6));
  test::WriteFile(Native("e.img"), Image);
  ASSERT_EQ(UnwrapImage(Win("e.img"), Win("e.zip")), kUnwrapDone);
  EXPECT_TRUE(test::ReadFile(Native("e.zip")) == Archive);
}

TEST_F(ImageTest, NonImagesAreRefusedAndNothingIsWritten) {
  std::string ShortImage = test::RandomBytes(1023, 8);
  ShortImage.replace(0, 4, "ZEM0");
  std::string LowerMagic = test::RandomBytes(5000, 9);
  LowerMagic.replace(0, 4, "zem0");
  std::string Zip = test::RandomBytes(5000, 10);
  Zip.replace(0, 4, "PK\x03\x04");
  const struct {
    const char* Name;
    std::string Data;
  } Cases[] = {{"short.img", ShortImage}, {"lower.img", LowerMagic}, {"zip.img", Zip},
               {"empty.img", ""}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    test::WriteFile(Native(Case.Name), Case.Data);
    EXPECT_EQ(UnwrapImage(Win(Case.Name), Win("new.zip")), kUnwrapNotAnImage);
    EXPECT_FALSE(fs::exists(Native("new.zip")));
    EXPECT_FALSE(TImageArchive(Win(Case.Name), Win("new.zip")).IsImage());
    // An existing file at the archive path is not touched either.
    test::WriteFile(Native("old.zip"), "previous");
    EXPECT_EQ(UnwrapImage(Win(Case.Name), Win("old.zip")), kUnwrapNotAnImage);
    EXPECT_EQ(test::ReadFile(Native("old.zip")), "previous");
    EXPECT_TRUE(test::ReadFile(Native(Case.Name)) == Case.Data);
  }
}

TEST_F(ImageTest, UnwrapEdgeLengthsAndReplacement) {
  // Exactly one block with the magic: an empty archive.
  std::string OneBlock(1024, '\xFF');
  OneBlock.replace(0, 4, "ZEM0");
  test::WriteFile(Native("one.img"), OneBlock);
  test::WriteFile(Native("out.zip"), test::RandomBytes(100'000, 12));
  ASSERT_EQ(UnwrapImage(Win("one.img"), Win("out.zip")), kUnwrapDone);
  EXPECT_EQ(fs::file_size(Native("out.zip")), 0u);

  // A longer file at the archive path is replaced, not overwritten in part.
  const std::string Archive = test::RandomBytes(1025, 13);
  test::WriteFile(Native("small.img"), Archive);
  WrapImage(Win("small.img"), 'N');
  test::WriteFile(Native("out.zip"), test::RandomBytes(100'000, 14));
  ASSERT_EQ(UnwrapImage(Win("small.img"), Win("out.zip")), kUnwrapDone);
  EXPECT_TRUE(test::ReadFile(Native("out.zip")) == Archive);
}

TEST_F(ImageTest, UnwrapOpenAndCreateErrorsAreRaised) {
  EXPECT_THROW(UnwrapImage(Win("none.img"), Win("none.zip")), EFOpenError);
  EXPECT_FALSE(fs::exists(Native("none.zip")));

  const std::string Archive = test::RandomBytes(3000, 15);
  test::WriteFile(Native("ok.img"), Archive);
  WrapImage(Win("ok.img"), 'F');
  EXPECT_THROW(UnwrapImage(Win("ok.img"), Win("nofolder\\out.zip")), EFCreateError);
  EXPECT_FALSE(fs::exists(Native("nofolder")));
}

TEST_F(ImageTest, UnwrapOntoTheImageItselfGivesTheArchive) {
  for (size_t Size : {size_t{1024}, size_t{1500}, size_t{200'000}}) {
    SCOPED_TRACE(Size);
    const std::string Archive = test::RandomBytes(Size, static_cast<uint32_t>(Size) + 2);
    test::WriteFile(Native("self.img"), Archive);
    WrapImage(Win("self.img"), 'F');
    ASSERT_EQ(UnwrapImage(Win("self.img"), Win("self.img")), kUnwrapDone);
    EXPECT_TRUE(test::ReadFile(Native("self.img")) == Archive);
  }
}

TEST_F(ImageTest, FailingWriteDeletesThePartialArchive) {
  const std::string Archive = test::RandomBytes(6 << 20, 16);
  test::WriteFile(Native("big.img"), Archive);
  WrapImage(Win("big.img"), 'F');
  test::WriteFile(Native("big.zip"), "an older archive");
  {
    test::TDiskFull Full(1 << 20);
    EXPECT_THROW(UnwrapImage(Win("big.img"), Win("big.zip")), EStreamError);
    EXPECT_GT(Full.Fired(), 0);
  }
  EXPECT_FALSE(fs::exists(Native("big.zip")));
  EXPECT_EQ(fs::file_size(Native("big.img")), Archive.size() + 1024);
}

// Unwrapping a 1 GiB image must not hold the image in memory. ctest runs
// every test in its own process, so the peak resident size measured here is
// this test's own.
TEST_F(ImageTest, UnwrapKeepsPeakMemoryBounded) {
  constexpr uint64_t kImageSize = (1ull << 30) + 1024;
  {
    std::ofstream Out(Native("huge.img"), std::ios::binary);
    Out.write("ZEM0", 4);
    Out.seekp(static_cast<std::streamoff>(kImageSize - 1024));
    Out.write("TAIL", 4);  // the archive's first bytes
  }
  fs::resize_file(Native("huge.img"), kImageSize);  // sparse: no disk used

  ASSERT_EQ(UnwrapImage(Win("huge.img"), Win("huge.zip")), kUnwrapDone);
  rusage Usage{};
  ASSERT_EQ(getrusage(RUSAGE_SELF, &Usage), 0);
  EXPECT_LT(Usage.ru_maxrss, 64 * 1024) << "peak resident size in KiB";

  EXPECT_EQ(fs::file_size(Native("huge.zip")), kImageSize - 1024);
  std::ifstream In(Native("huge.zip"), std::ios::binary);
  char Head[4] = {};
  In.read(Head, 4);
  EXPECT_EQ(std::string(Head, 4), "TAIL");
  In.close();
  fs::remove(Native("huge.zip"));
  fs::remove(Native("huge.img"));
}

}  // namespace
}  // namespace zem
