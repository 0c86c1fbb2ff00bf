// Zip with several threads: the archive holds the bytes one thread writes,
// every event is raised on the caller's thread in its order, and a file
// that fails in a worker fails alone.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "archive/format/crc_crypt.h"
#include "platform/fault_file_system.h"
#include "writer_fixture.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

class ParallelZipTest : public WriterTest {
 protected:
  // A card of many small files in folders (text that deflates, random
  // bytes that do not, empty files), one file above the size workers take,
  // two files whose stored names collide without paths, and one the
  // handler skips and one it renames.
  void SetUp() override {
    WriterTest::SetUp();
    for (int I = 0; I < 120; ++I) {
      const std::string Folder = "tree/d" + std::to_string(I % 7) + "/";
      const std::string Name = Folder + "f" + std::to_string(I);
      if (I % 3 == 0)
        Put(Name + ".txt", std::string(static_cast<size_t>(I * 97), static_cast<char>('a' + I % 26)) +
                               RandomBytes(static_cast<size_t>(I % 50), static_cast<uint32_t>(I)));
      else if (I % 3 == 1)
        Put(Name + ".jpg", RandomBytes(static_cast<size_t>(I * 811), static_cast<uint32_t>(I)));
      else
        Put(Name + ".log", "");
    }
    Put("tree/d3/big.bin", RandomBytes(1500000, 77));
    Put("tree/d4/same.txt", "first of two");
    Put("tree/d5/same.txt", "second of two");
  }

  struct TEvent {
    std::string What;
    std::thread::id Thread;
  };

  // Zips the tree into F:\<Rel> with Threads threads; returns the archive
  // bytes and fills Log with the events.
  std::string ZipTree(const std::string& Rel, int Threads, bool Paths, int Level,
                      std::vector<TEvent>& Log) {
    TArcZip Zip;
    Zip.SetZipName("F:\\" + Rel);
    Zip.SetDoProcessMessages(false);
    Zip.SetRecurse(true);
    Zip.SetStorePaths(Paths);
    Zip.SetAddDirEntriesOnRecurse(true);
    Zip.SetPackLevel(Level);
    Zip.SetNoCompressList({"*.jpg"});
    Zip.SetThreads(Threads);
    EXPECT_EQ(Zip.Threads(), Threads);
    const auto Note = [&Log](std::string What) {
      Log.push_back({std::move(What), std::this_thread::get_id()});
    };
    Zip.OnStartZip = [&](TObject*, const std::string& Name, TZipHeaderInfo& H, bool& Skip) {
      Note("start " + Name);
      if (H.FileName() == "f10.jpg") Skip = true;
      if (H.FileName() == "f12.txt") H.SetFileName("renamed.jpg");  // now stored
    };
    Zip.OnEndZip = [&](TObject*, const std::string& Name, int32_t Size, int32_t Packed, int32_t At) {
      Note("end " + Name + " " + std::to_string(Size) + " " + std::to_string(Packed) + " " +
           std::to_string(At));
    };
    Zip.OnSkippingFile = [&](TObject*, TSkipReason Reason, const std::string& Name, int32_t, bool&) {
      Note("skip " + std::to_string(Reason) + " " + Name);
    };
    Zip.OnFilePercentDone = [&](TObject*, int32_t P) { Note("file " + std::to_string(P)); };
    Zip.OnTotalPercentDone = [&](TObject*, int32_t P) { Note("total " + std::to_string(P)); };
    Zip.FilesList() = {"F:\\tree\\*.*"};
    EXPECT_GT(Zip.Zip(), 100);
    return ReadFile(Card / Rel);
  }

  static std::vector<std::string> Texts(const std::vector<TEvent>& Log) {
    std::vector<std::string> Out;
    for (const TEvent& E : Log) Out.push_back(E.What);
    return Out;
  }
};

// Without a password the bytes are the same with 1, 2 and 3 threads,
// stored and deflated, with paths and without (where two files meet under
// one stored name), and so are the events, all on the caller's thread:
// OnStartZip, progress and OnEndZip of one entry before the next one's,
// though a skipped entry's data or a renamed one's may have been made
// ahead.
TEST_F(ParallelZipTest, SameArchiveAndEventsWithAnyThreadCount) {
  for (const bool Paths : {true, false}) {
    for (const int Level : {6, 0}) {
      SCOPED_TRACE(std::string(Paths ? "paths" : "no paths") + " level " + std::to_string(Level));
      std::vector<TEvent> One;
      const std::string Serial = ZipTree("one.zip", 1, Paths, Level, One);
      for (const int Threads : {2, 3}) {
        SCOPED_TRACE(Threads);
        std::vector<TEvent> Many;
        const std::string Bytes = ZipTree("many.zip", Threads, Paths, Level, Many);
        EXPECT_TRUE(Bytes == Serial) << "the archives differ";
        EXPECT_EQ(Texts(Many), Texts(One));
        for (const TEvent& E : Many) EXPECT_EQ(E.Thread, std::this_thread::get_id()) << E.What;
        fs::remove(Card / "many.zip");
      }
      fs::remove(Card / "one.zip");
    }
  }
}

// A read error in a file a worker makes leaves that file out, reported
// with its cause in list order; the entries around it are whole, stored or
// deflated, with a password or without.
TEST_F(ParallelZipTest, ReadErrorInAWorkerFailsOnlyThatFile) {
  for (int I = 0; I < 12; ++I)
    Put("err/f" + std::to_string(I) + ".bin", RandomBytes(10000, static_cast<uint32_t>(I)));
  struct TCase {
    int Level;
    const char* Password;
  } const Cases[] = {{6, ""}, {0, "pw"}, {6, "pw"}};
  for (const TCase& C : Cases) {
    SCOPED_TRACE(std::to_string(C.Level) + " " + C.Password);
    const char* Password = C.Password;
    TArcZip Zip;
    Zip.SetZipName("F:\\out.zip");
    Zip.SetDoProcessMessages(false);
    Zip.SetStorePaths(true);
    Zip.SetPackLevel(C.Level);
    Zip.SetPassword(Password);
    Zip.SetThreads(3);
    std::vector<std::string> Events;
    Zip.OnSkippingFile = [&](TObject*, TSkipReason Reason, const std::string& Name, int32_t, bool&) {
      EXPECT_EQ(Reason, srFileOpenError);
      Events.push_back("skip " + Name + ": " + Zip.SkipCause());
    };
    Zip.OnEndZip = [&](TObject*, const std::string& Name, int32_t, int32_t, int32_t) {
      Events.push_back("end " + Name);
    };
    std::vector<std::string> Expected;
    for (int I = 0; I < 12; ++I) {
      const std::string Listed = "F:\\err\\f" + std::to_string(I) + ".bin";
      Zip.FilesList().push_back(Listed);
      Expected.push_back(I == 7 ? "skip " + Listed + ": read error at byte 3000: " + std::string(strerror(EIO))
                                : "end " + Listed);
    }
    platform::TFaultFileSystem Fault;
    const int Id = Fault.Add({.Op = platform::TFsOp::Read, .Path = "*/err/f7.bin", .Error = EIO,
                              .Offset = 3000});
    {
      platform::TFileSystemOverride Guard(Fault);
      EXPECT_EQ(Zip.Zip(), 11);
    }
    EXPECT_GT(Fault.Fired(Id), 0);
    EXPECT_EQ(Events, Expected);

    TArcUnZip R;
    R.SetZipName("F:\\out.zip");
    R.SetPassword(Password);
    R.ReadDirectory();
    ASSERT_EQ(R.Count(), 11);
    for (int I = 0; I < R.Count(); ++I) {
      const TZipHeaderInfo& E = R.EntryHeader(I);
      EXPECT_NE(E.FileName(), "f7.bin");
      const std::string Data = ReadFile(Card / "err" / E.FileName());
      EXPECT_EQ(E.UncompressedSize(), Data.size());
      EXPECT_EQ(E.Crc32(), Crc32Of(Data.data(), Data.size()));
    }
    R.SetDoAll(true);
    EXPECT_EQ(R.TestZip(), 11);
    fs::remove(Card / "out.zip");
  }
}

// A file replaced under its name (a new file renamed over it) after it was
// opened ahead is stored as it is at its turn, as with one thread: never
// the old data, never left out as deleted.
TEST_F(ParallelZipTest, AFileReplacedAfterItWasOpenedAheadIsStoredNew) {
  for (int I = 0; I < 12; ++I)
    Put("rep/f" + std::to_string(I) + ".bin", RandomBytes(10000, static_cast<uint32_t>(I)));
  const std::string New5 = RandomBytes(7000, 105), New9 = RandomBytes(12000, 109);
  for (const int Threads : {1, 3}) {
    SCOPED_TRACE(Threads);
    TArcZip Zip;
    Zip.SetZipName("F:\\out.zip");
    Zip.SetDoProcessMessages(false);
    Zip.SetPassword("pw");
    Zip.SetThreads(Threads);
    Zip.OnStartZip = [&](TObject*, const std::string&, TZipHeaderInfo& H, bool&) {
      if (H.FileName() != "f0.bin") return;
      Put("rep/new5", New5);
      fs::rename(Card / "rep/new5", Card / "rep/f5.bin");
      Put("rep/new9", New9);
      fs::rename(Card / "rep/new9", Card / "rep/f9.bin");
    };
    std::vector<std::string> Skipped;
    Zip.OnSkippingFile = [&](TObject*, TSkipReason, const std::string& Name, int32_t, bool&) {
      Skipped.push_back(Name + ": " + Zip.SkipCause());
    };
    Zip.FilesList() = {"F:\\rep\\*.*"};
    EXPECT_EQ(Zip.Zip(), 12);
    EXPECT_TRUE(Skipped.empty()) << Skipped.front();

    TArcUnZip R;
    R.SetZipName("F:\\out.zip");
    R.SetPassword("pw");
    R.SetDoAll(true);
    R.SetOverwriteMode(Always);
    R.SetDestDir("F:\\back");
    EXPECT_EQ(R.UnZip(), 12);
    EXPECT_EQ(ReadFile(Card / "back/f5.bin"), New5);
    EXPECT_EQ(ReadFile(Card / "back/f9.bin"), New9);
    fs::remove(Card / "out.zip");
    fs::remove_all(Card / "back");
    Put("rep/f5.bin", RandomBytes(10000, 5));
    Put("rep/f9.bin", RandomBytes(10000, 9));
  }
}

// A handler that raises while files are being made ahead ends the run as
// with one thread: the exception comes out, the workers stop, and no
// archive is left.
TEST_F(ParallelZipTest, HandlerRaisingWithWorkAheadLeavesNoArchive) {
  TArcZip Zip;
  Zip.SetZipName("F:\\out.zip");
  Zip.SetDoProcessMessages(false);
  Zip.SetRecurse(true);
  Zip.SetStorePaths(true);
  Zip.SetPassword("pw");
  Zip.SetThreads(3);
  int Started = 0;
  Zip.OnStartZip = [&](TObject*, const std::string&, TZipHeaderInfo&, bool&) {
    if (++Started == 40) throw EUserCanceled();
  };
  Zip.FilesList() = {"F:\\tree\\*.*"};
  EXPECT_THROW(Zip.Zip(), EUserCanceled);
  EXPECT_EQ(Started, 40);
  EXPECT_FALSE(fs::exists(Card / "out.zip"));
  EXPECT_TRUE(Zip.FilesList().empty());
}

}  // namespace
}  // namespace zem::test
