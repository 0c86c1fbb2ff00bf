// A source file that fails while it is zipped: a read error, a file that
// goes away, a replacement that cannot be written. None may become an
// entry with fewer bytes; each is reported with its cause, and an entry the
// archive already had for it stays.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/format/crc_crypt.h"
#include "writer_fixture.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

struct TReport {
  std::string Name, Cause;
};

class SourceFaultTest : public WriterTest {
 protected:
  void SetUp() override {
    WriterTest::SetUp();
    Put("good.txt", "good");
    Zip.SetZipName("F:\\out.zip");
    Zip.SetStorePaths(true);
    Zip.SetDoProcessMessages(false);
    Zip.OnSkippingFile = [this](TObject*, TSkipReason Reason, const std::string& Name, int32_t,
                                bool&) {
      EXPECT_EQ(Reason, srFileOpenError);
      Reports.push_back({Name, Zip.SkipCause()});
    };
    Zip.OnNoSuchFile = [this](TObject*, const std::string& Name) {
      Reports.push_back({Name, Zip.SkipCause()});
    };
  }

  // An archive holding Old as bad.bin, its entry older than the file that
  // then takes New's bytes, so that an update replaces it.
  void ArchiveWithOlderEntry(const std::string& Old, const std::string& New) {
    Put("bad.bin", Old);
    Zip.FilesList() = {"F:\\bad.bin"};
    ASSERT_EQ(Zip.Zip(), 1);
    Put("bad.bin", New);
    fs::last_write_time(Card / "bad.bin", fs::file_time_type::clock::now() + std::chrono::hours(2));
  }

  // Name -> (size, CRC) of each entry as a fresh reader sees it, after a
  // full test of the archive.
  std::vector<std::string> Entries() {
    TArcUnZip R;
    R.SetZipName("F:\\out.zip");
    R.SetPassword(Zip.Password());
    R.ReadDirectory();
    std::vector<std::string> Out;
    for (int I = 0; I < R.Count(); ++I) {
      const TZipHeaderInfo& E = R.EntryHeader(I);
      Out.push_back(E.FullName() + " " + std::to_string(E.UncompressedSize()) + " " +
                    std::to_string(E.Crc32()));
    }
    R.SetDoAll(true);
    EXPECT_EQ(R.TestZip(), R.Count());
    return Out;
  }
  static std::string Entry(const std::string& Name, const std::string& Data) {
    return Name + " " + std::to_string(Data.size()) + " " +
           std::to_string(Crc32Of(Data.data(), Data.size()));
  }

  TArcZip Zip;
  std::vector<TReport> Reports;
};

// EIO at 64 KiB in the source: in the data pass (stored or deflated), in
// the CRC pass of an encrypted entry, and during an update that was to
// replace an entry.
TEST_F(SourceFaultTest, ReadErrorLeavesTheFileOut) {
  struct TCase {
    const char* Name;
    int Level;
    const char* Password;
    bool Update;
  } const Cases[] = {
      {"deflated", 6, "", false},
      {"stored", 0, "", false},
      {"encrypted", 6, "pw", false},
      {"update", 6, "", true},
      {"update encrypted", 0, "pw", true},
  };
  const std::string Old = RandomBytes(90000, 1);
  const std::string New = RandomBytes(200000, 2);
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    fs::remove(Card / "out.zip");
    Reports.clear();
    Zip.SetPackLevel(C.Level);
    Zip.SetPassword(C.Password);
    if (C.Update)
      ArchiveWithOlderEntry(Old, New);
    else
      Put("bad.bin", New);

    platform::TFaultFileSystem Fault;
    const int Id = Fault.Add({.Op = platform::TFsOp::Read, .Path = "*/bad.bin", .Error = EIO,
                              .Offset = 65536});
    {
      platform::TFileSystemOverride Guard(Fault);
      Zip.FilesList() = {"F:\\bad.bin", "F:\\good.txt"};
      EXPECT_EQ(Zip.Zip(), 1);
    }
    EXPECT_GT(Fault.Fired(Id), 0);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Name, "F:\\bad.bin");
    EXPECT_EQ(Reports[0].Cause.rfind("read error at byte 65536: ", 0), 0u) << Reports[0].Cause;
    const std::string Kept = "; the entry already in the archive is kept";
    const bool SaysKept = Reports[0].Cause.size() > Kept.size() &&
                          Reports[0].Cause.compare(Reports[0].Cause.size() - Kept.size(),
                                                   Kept.size(), Kept) == 0;
    EXPECT_EQ(SaysKept, C.Update) << Reports[0].Cause;
    if (C.Update)
      EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("bad.bin", Old), Entry("good.txt", "good")}));
    else
      EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("good.txt", "good")}));
  }
}

// A file deleted while it is read is not stored, though Linux still reads
// it to the end; a file whose medium goes away shows it as a read error.
TEST_F(SourceFaultTest, FileGoneWhileReadIsLeftOut) {
  Put("bad.bin", RandomBytes(200000, 3));
  bool Deleted = false;
  Zip.OnFilePercentDone = [&](TObject*, int32_t) {
    if (Deleted || !fs::exists(Card / "bad.bin")) return;
    Deleted = true;
    fs::remove(Card / "bad.bin");
  };
  Zip.FilesList() = {"F:\\bad.bin", "F:\\good.txt"};
  EXPECT_EQ(Zip.Zip(), 1);
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Cause, "deleted while it was read");
  EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("good.txt", "good")}));

  Zip.OnFilePercentDone = nullptr;
  Reports.clear();
  fs::remove(Card / "out.zip");
  Put("bad.bin", RandomBytes(200000, 3));
  Zip.SetPassword("pw");  // the medium goes between the CRC pass and the data pass
  platform::TFaultFileSystem Fault;
  Fault.Add({.Op = platform::TFsOp::Read, .Path = "*/bad.bin", .Error = ENODEV, .Offset = 200000,
             .Vanish = true});
  {
    platform::TFileSystemOverride Guard(Fault);
    Zip.FilesList() = {"F:\\bad.bin", "F:\\good.txt"};
    EXPECT_EQ(Zip.Zip(), 1);
  }
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Cause.rfind("gone while it was read (read error at byte 200000: ", 0), 0u)
      << Reports[0].Cause;
  EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("good.txt", "good")}));
}

// A replacement that is declined keeps the entry the archive had: the
// handler skips it, the file cannot be opened now, or it is gone.
TEST_F(SourceFaultTest, DeclinedReplacementKeepsTheOldEntry) {
  const std::string Old = "old contents";
  for (const char* Why : {"skipped", "unreadable", "gone"}) {
    SCOPED_TRACE(Why);
    fs::remove(Card / "out.zip");
    Reports.clear();
    Zip.OnStartZip = nullptr;
    Zip.OnStartZipInfo = nullptr;
    Zip.SetPassword("pw");  // the carried entry must stay readable too
    ArchiveWithOlderEntry(Old, "new contents, longer");
    platform::TFaultFileSystem Fault;
    if (Why == std::string("skipped"))
      Zip.OnStartZip = [](TObject*, const std::string&, TZipHeaderInfo&, bool& Skip) { Skip = true; };
    if (Why == std::string("unreadable"))
      Fault.Add({.Op = platform::TFsOp::Open, .Path = "*/bad.bin", .Error = EACCES});
    if (Why == std::string("gone"))
      Zip.OnStartZipInfo = [&](TObject*, int32_t, int64_t, TEndCentral&, bool&) {
        fs::remove(Card / "bad.bin");
      };
    // The skipped case reports through OnSkippingFile with its own reason.
    Zip.OnSkippingFile = [this](TObject*, TSkipReason, const std::string& Name, int32_t, bool&) {
      Reports.push_back({Name, Zip.SkipCause()});
    };
    {
      platform::TFileSystemOverride Guard(Fault);
      Zip.FilesList() = {"F:\\bad.bin"};
      EXPECT_EQ(Zip.Zip(), 0);
    }
    ASSERT_EQ(Reports.size(), 1u);
    const std::string Expected = Why == std::string("skipped") ? "the entry already in the archive is kept"
                                 : Why == std::string("gone")
                                     ? "no such file; the entry already in the archive is kept"
                                     : "cannot be opened: Permission denied; the entry already in the archive is kept";
    EXPECT_EQ(Reports[0].Cause, Expected);
    EXPECT_EQ(Entries(), (std::vector<std::string>{Entry("bad.bin", Old)}));
  }
}

}  // namespace
}  // namespace zem::test
