// "zemzip add" never claims more than it did: read errors name the file and
// fail the run, nothing added makes no archive, Linux names are taken as
// they are (case, colons), the archive is never zipped into itself, and a
// rebuild keeps the archive's mode, its readable entries and no work file,
// also when it is killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/zemzip/run_zip.h"
#include "cli/zipcli/zip_commands.h"
#include "common/test_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

using TRun = test::TZipRun;
using test::RunZip;

const std::string kZemzip = std::string(ZEM_BINARY_DIR) + "/cli/zemzip";

class ZemzipAddSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Saved = fs::current_path();
    fs::current_path(Dir.Path());
    test::WriteFile(Dir / "notes.txt", "notes");
  }
  void TearDown() override { fs::current_path(Saved); }

  // "name size" of every entry.
  std::vector<std::string> Listing(const std::string& Archive) {
    const TRun R = RunZip({"list", "--tsv", Archive});
    EXPECT_EQ(R.Code, 0) << R.Err;
    std::vector<std::string> Names;
    std::stringstream S(R.Out);
    std::string Line;
    std::getline(S, Line);
    while (std::getline(S, Line)) {
      const auto Cells = test::SplitTabs(Line);
      if (Cells.size() > 1) Names.push_back(Cells[0] + " " + Cells[1]);
    }
    std::sort(Names.begin(), Names.end());
    return Names;
  }
  // Work files a rebuild left in the folder.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> Found;
    for (const auto& E : fs::directory_iterator(Dir.Path())) {
      const std::string Name = E.path().filename().string();
      if (Name.size() > 4 && Name.compare(Name.size() - 4, 4, ".TMP") == 0) Found.push_back(Name);
    }
    return Found;
  }

  // zemzip with Args, in a child process.
  static pid_t StartZip(std::vector<std::string> Args) {
    const pid_t Child = fork();
    if (Child == 0) {
      std::vector<char*> Argv{const_cast<char*>(kZemzip.c_str())};
      for (std::string& A : Args) Argv.push_back(A.data());
      Argv.push_back(nullptr);
      execv(kZemzip.c_str(), Argv.data());
      _exit(127);
    }
    return Child;
  }
  // Waits, 10 s at most, until one of the files Names gives (in Folder)
  // has been written to.
  static bool WaitForData(const fs::path& Folder, const std::function<std::vector<std::string>()>& Names) {
    for (int I = 0; I < 2000; ++I) {
      for (const std::string& Name : Names()) {
        std::error_code Gone;  // renamed or removed since it was listed
        const auto Size = fs::file_size(Folder / Name, Gone);
        if (!Gone && Size > 0) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  test::TTempDir Dir;
  fs::path Saved;
};

// EIO at 64 KiB: exit 1, the file and the cause named, never an entry with
// the 64 KiB that were read.
TEST_F(ZemzipAddSafetyTest, ReadErrorFailsTheRunAndNamesTheFile) {
  const std::string Data = test::RandomBytes(150000, 4);
  for (const std::vector<std::string>& Extra :
       {std::vector<std::string>{}, {"-P", "pw"}, {"--update"}}) {
    SCOPED_TRACE(Extra.empty() ? "plain" : Extra[0]);
    fs::remove(Dir / "a.zip");
    const bool Update = !Extra.empty() && Extra[0] == "--update";
    test::WriteFile(Dir / "big.bin", Update ? "old" : Data);
    if (Update) {
      ASSERT_EQ(RunZip({"add", "a.zip", "big.bin"}).Code, 0);
      test::WriteFile(Dir / "big.bin", Data);
      fs::last_write_time(Dir / "big.bin", fs::file_time_type::clock::now() + std::chrono::hours(2));
    }
    platform::TFaultFileSystem Fault;
    Fault.Add({.Op = platform::TFsOp::Read, .Path = "*/big.bin", .Error = EIO, .Offset = 65536});
    std::vector<std::string> Args = {"add"};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    Args.insert(Args.end(), {"a.zip", "big.bin", "notes.txt"});
    TRun R;
    {
      platform::TFileSystemOverride Guard(Fault);
      R = RunZip(Args);
    }
    EXPECT_EQ(R.Code, ZipExitFailed);
    EXPECT_NE(R.Err.find("big.bin: not added: read error at byte 65536: "), std::string::npos) << R.Err;
    EXPECT_EQ(R.Err.find("already in the archive is kept") != std::string::npos, Update) << R.Err;
    EXPECT_EQ(Listing("a.zip"), Update ? (std::vector<std::string>{"big.bin 3", "notes.txt 5"})
                                       : (std::vector<std::string>{"notes.txt 5"}));
  }
}

// Nothing added: no archive, "nothing to do", exit 1; also when every
// named file failed.
TEST_F(ZemzipAddSafetyTest, NothingAddedMakesNoArchive) {
  TRun R = RunZip({"add", "x.zip", "nosuchfile"});
  EXPECT_EQ(R.Code, ZipExitFailed);
  EXPECT_NE(R.Err.find("nothing to do"), std::string::npos) << R.Err;
  EXPECT_FALSE(fs::exists(Dir / "x.zip"));

  platform::TFaultFileSystem Fault;
  Fault.Add({.Op = platform::TFsOp::Read, .Path = "*/notes.txt", .Error = EIO});
  {
    platform::TFileSystemOverride Guard(Fault);
    R = RunZip({"add", "y.zip", "notes.txt"});
  }
  EXPECT_EQ(R.Code, ZipExitFailed);
  EXPECT_NE(R.Err.find("nothing to do"), std::string::npos) << R.Err;
  EXPECT_FALSE(fs::exists(Dir / "y.zip"));
}

// A colon is part of a Linux name, never a drive, with or without "./".
TEST_F(ZemzipAddSafetyTest, NamesWithAColonAreFiles) {
  test::WriteFile(Dir / "a:b.txt", "colon");
  for (const char* Name : {"a:b.txt", "./a:b.txt"}) {
    SCOPED_TRACE(Name);
    fs::remove(Dir / "c.zip");
    const TRun R = RunZip({"add", "c.zip", Name});
    EXPECT_EQ(R.Code, 0) << R.Err;
    EXPECT_EQ(Listing("c.zip"), std::vector<std::string>{"a:b.txt 5"});
  }
}

// Names that differ only in case are different files: two archives, two
// entries; replacing one leaves the other.
TEST_F(ZemzipAddSafetyTest, CaseVariantsAreDistinct) {
  test::WriteFile(Dir / "a.txt", "a");
  test::WriteFile(Dir / "b.txt", "bb");
  ASSERT_EQ(RunZip({"add", "Card.img", "a.txt"}).Code, 0);
  ASSERT_EQ(RunZip({"add", "card.img", "b.txt"}).Code, 0);
  EXPECT_EQ(Listing("Card.img"), std::vector<std::string>{"a.txt 1"});
  EXPECT_EQ(Listing("card.img"), std::vector<std::string>{"b.txt 2"});

  test::WriteFile(Dir / "\xC3\x84.txt", "upper");  // Ä
  test::WriteFile(Dir / "\xC3\xA4.txt", "lower, longer");  // ä
  ASSERT_EQ(RunZip({"add", "u.zip", "\xC3\x84.txt"}).Code, 0);
  const TRun R = RunZip({"add", "--replace", "u.zip", "\xC3\xA4.txt"});
  EXPECT_EQ(R.Code, 0) << R.Err;
  EXPECT_EQ(Listing("u.zip"), (std::vector<std::string>{"\xC3\x84.txt 5", "\xC3\xA4.txt 13"}));
}

// A walk of the folder the archive is in leaves the archive out, however it
// was named, run after run; a distinct ARC.ZIP is an ordinary file.
TEST_F(ZemzipAddSafetyTest, ArchiveInsideTheWalkedFolder) {
  test::WriteFile(Dir / "ARC.ZIP", "not the archive");
  for (int Run = 0; Run < 2; ++Run) {
    SCOPED_TRACE(Run);
    const TRun R = RunZip({"add", "-r", "arc.zip", "."});
    EXPECT_EQ(R.Code, 0) << R.Err;
    EXPECT_EQ(Listing("arc.zip"), (std::vector<std::string>{"ARC.ZIP 15", "notes.txt 5"}));
  }
}

// A rebuild keeps the archive's mode, needs no aside-name (a stray
// "NAME$$$" is left alone) and leaves no work file.
TEST_F(ZemzipAddSafetyTest, RebuildKeepsModeAndLeavesNoWorkFile) {
  ASSERT_EQ(RunZip({"add", "arc.zip", "notes.txt"}).Code, 0);
  fs::permissions(Dir / "arc.zip", fs::perms::owner_read | fs::perms::owner_write);
  test::WriteFile(Dir / "arc.zip$$$", "stray");
  test::WriteFile(Dir / "more.txt", "more");
  const TRun R = RunZip({"add", "arc.zip", "more.txt"});
  EXPECT_EQ(R.Code, 0) << R.Err;
  EXPECT_EQ(Listing("arc.zip"), (std::vector<std::string>{"more.txt 4", "notes.txt 5"}));
  EXPECT_EQ(fs::status(Dir / "arc.zip").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(test::ReadFile(Dir / "arc.zip$$$"), "stray");
  EXPECT_TRUE(Leftovers().empty());
}

// Encrypted entries with data descriptors, as zip -P and bsdtar write them,
// stay readable with the right password after an update carries them over.
TEST_F(ZemzipAddSafetyTest, CarriedOverEncryptedEntriesStayReadable) {
  test::WriteFile(Dir / "a.txt", std::string(3000, 'a') + test::RandomBytes(2000, 5));
  test::WriteFile(Dir / "b.txt", "bravo");
  struct TMaker {
    const char* Tool;
    const char* Command;
  } const Makers[] = {
      {"zip", "zip -q -P pw made.zip a.txt b.txt"},
      {"bsdtar", "bsdtar --format zip --options zip:encryption=zipcrypt --passphrase pw "
                 "-cf made.zip a.txt b.txt"},
  };
  struct TChecker {
    const char* Tool;
    const char* Command;
  } const Checkers[] = {
      {"unzip", "unzip -t -P pw made.zip"},
      {"7zz", "7zz t -ppw made.zip"},
      {"python3", "python3 -c \"import zipfile; z = zipfile.ZipFile('made.zip'); "
                  "z.setpassword(b'pw'); exit(z.testzip() is not None)\""},
  };
  int Ran = 0;
  for (const TMaker& M : Makers) {
    SCOPED_TRACE(M.Tool);
    if (!test::HaveTool(M.Tool)) continue;
    fs::remove(Dir / "made.zip");
    int Status = 0;
    test::RunCommand(std::string("LC_ALL=C.UTF-8 ") + M.Command + " >/dev/null 2>&1", Status);
    ASSERT_EQ(Status, 0);
    const TRun R = RunZip({"add", "--update", "-P", "pw", "made.zip", "notes.txt"});
    ASSERT_EQ(R.Code, 0) << R.Err;
    const TRun T = RunZip({"test", "-P", "pw", "made.zip"});
    EXPECT_EQ(T.Code, 0) << T.Out << T.Err;
    for (const TChecker& C : Checkers) {
      SCOPED_TRACE(C.Tool);
      if (!test::HaveTool(C.Tool)) continue;
      const std::string Out =
          test::RunCommand(std::string("LC_ALL=C.UTF-8 ") + C.Command + " 2>&1", Status);
      EXPECT_EQ(Status, 0) << Out;
    }
    ++Ran;
  }
  if (Ran == 0) GTEST_SKIP() << "neither zip nor bsdtar is installed";
}

// SIGTERM in the middle of a rebuild: the process ends by the signal, the
// archive is as it was, and its work file is gone.
TEST_F(ZemzipAddSafetyTest, SigtermDuringRebuildLeavesNoWorkFile) {
  ASSERT_EQ(RunZip({"add", "arc.zip", "notes.txt"}).Code, 0);
  const std::string Before = test::ReadFile(Dir / "arc.zip");
  test::WriteFile(Dir / "big.bin", test::RandomBytes(64 << 20, 6));

  const pid_t Child = StartZip({"add", "-q", "-9", "arc.zip", "big.bin"});
  ASSERT_GE(Child, 0);
  // Wait for the work file to be written to, then stop the run.
  const bool Seen = WaitForData(Dir.Path(), [&] { return Leftovers(); });
  kill(Child, SIGTERM);
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(Seen) << "the work file never appeared";
  EXPECT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGTERM) << Status;
  EXPECT_TRUE(Leftovers().empty());
  EXPECT_EQ(test::ReadFile(Dir / "arc.zip"), Before);
}

// A second add to the same archive while a rebuild of it is under way
// (stopped half way): the second is refused, or its entry is in the
// archive at the end; the rename of one never drops the other's entries
// with both reporting success.
TEST_F(ZemzipAddSafetyTest, SecondAddDuringRebuildIsNotLost) {
  ASSERT_EQ(RunZip({"add", "arc.zip", "notes.txt"}).Code, 0);
  test::WriteFile(Dir / "big.bin", test::RandomBytes(64 << 20, 7));
  test::WriteFile(Dir / "late.txt", "late");

  const pid_t Child = StartZip({"add", "-q", "arc.zip", "big.bin"});
  ASSERT_GE(Child, 0);
  const bool Seen = WaitForData(Dir.Path(), [&] { return Leftovers(); });
  kill(Child, SIGSTOP);
  const bool Stopped = !Leftovers().empty();
  const TRun Second = RunZip({"add", "-q", "arc.zip", "late.txt"});
  kill(Child, SIGCONT);
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(Seen && Stopped) << "the rebuild was not caught half way";
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
  const std::vector<std::string> Names = Listing("arc.zip");
  EXPECT_NE(std::find(Names.begin(), Names.end(), "big.bin 67108864"), Names.end());
  if (Second.Code == 0)
    EXPECT_NE(std::find(Names.begin(), Names.end(), "late.txt 4"), Names.end()) << "late.txt lost";
  else
    EXPECT_NE(Second.Err.find("another run"), std::string::npos) << Second.Err;
  EXPECT_TRUE(Leftovers().empty());
}

// SIGTERM while extract writes a file: the process ends by the signal, no
// temporary file is left beside the one it was writing, and the file it
// was to replace is as it was.
TEST_F(ZemzipAddSafetyTest, SigtermDuringExtractLeavesNoTemporaryFile) {
  test::WriteFile(Dir / "big.bin", test::RandomBytes(64 << 20, 8));
  ASSERT_EQ(RunZip({"add", "-q", "-1", "arc.zip", "big.bin"}).Code, 0);
  fs::create_directory(Dir / "out");
  test::WriteFile(Dir / "out/big.bin", "older");
  auto Temporaries = [&] {
    std::vector<std::string> Found;
    for (const auto& E : fs::directory_iterator(Dir / "out"))
      if (E.path().filename() != "big.bin") Found.push_back(E.path().filename().string());
    return Found;
  };
  const pid_t Child = StartZip({"extract", "-q", "-o", "-d", "out", "arc.zip"});
  ASSERT_GE(Child, 0);
  const bool Seen = WaitForData(Dir / "out", Temporaries);
  kill(Child, SIGTERM);
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(Seen) << "the temporary file never appeared";
  EXPECT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGTERM) << Status;
  EXPECT_TRUE(Temporaries().empty()) << Temporaries().front();
  EXPECT_EQ(test::ReadFile(Dir / "out/big.bin"), "older");
}

}  // namespace
}  // namespace zem
