// Tests of zemcard backup, restore, copy and format on folder cards and fake
// drives, with their messages, questions and exit statuses.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "cli/cardcli/card_commands.h"
#include "common/test_support.h"
#include "core/card_ops.h"
#include "platform/card_guard.h"
#include "platform/drives.h"
#include "platform/fault_file_system.h"
#include "platform/folder_drives.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

struct TRun {
  int Code;
  std::string Out, Err;
};

std::map<std::string, std::string> FilesOf(const fs::path& Root) {
  std::map<std::string, std::string> T;
  for (auto& E : fs::recursive_directory_iterator(Root))
    if (E.is_regular_file()) T[fs::relative(E.path(), Root).string()] = test::ReadFile(E.path());
  return T;
}

class ZemcardCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* Old = std::getenv("TMPDIR");
    if (Old != nullptr) FOldTmp = Old;
    setenv("TMPDIR", (Dir / "tmp").c_str(), 1);
    fs::create_directories(Dir / "tmp");
    test::WriteFile(Dir / "card/DCIM/a.jpg", test::RandomBytes(200'000, 1));
    test::WriteFile(Dir / "card/.hidden", "hidden");
    test::WriteFile(Dir / "card/notes/b.txt", std::string(5000, 'b'));
    test::WriteFile(Dir / "other/stale.txt", "stale");
    auto T = std::make_unique<platform::TFakeDriveTable>();
    T->AddDrive('F', (Dir / "reader").string(), "", 0, platform::DRIVE_REMOVABLE, false);
    FScope = std::make_unique<platform::TDriveTableScope>(std::move(T));
  }
  void TearDown() override {
    FScope.reset();
    if (FOldTmp)
      setenv("TMPDIR", FOldTmp->c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  TRun Run(const std::vector<std::string>& Args, const std::string& Answers = "") {
    std::istringstream In(Answers);
    std::ostringstream Out, Err;
    const int Code = RunCardCommand(Args, In, Out, Err);
    return {Code, Out.str(), Err.str()};
  }
  std::string P(const std::string& Rel) const { return (Dir / Rel).string(); }

  test::TTempDir Dir;

 private:
  std::optional<std::string> FOldTmp;
  std::unique_ptr<platform::TDriveTableScope> FScope;
};

TEST_F(ZemcardCardTest, BackupRestoreAndCopyOnFolderCards) {
  const auto Card = FilesOf(Dir / "card");
  TRun R =
      Run({"backup", "--level", "high", "--folder", P("card"), "--label", "camera", P("out.IMG")});
  ASSERT_EQ(R.Code, kExitOk) << R.Err;
  EXPECT_EQ(R.Out, "Job complete!\nJob complete!\n");
  EXPECT_EQ(R.Err, "");
  EXPECT_EQ(test::ReadFile(Dir / "out.IMG").substr(0, 12), std::string("ZEM0CAMERA\0\0", 12));
  // The folder drive is gone again afterwards.
  EXPECT_EQ(Run({"list"}).Out, "F: \"\" (no card) at " + P("reader") + "\n");

  R = Run({"restore", "--yes", P("out.IMG"), "--folder", P("other")});
  ASSERT_EQ(R.Code, kExitOk) << R.Err;
  EXPECT_EQ(R.Out, "Job complete!\n");
  EXPECT_EQ(FilesOf(Dir / "other"), Card);

  // A folder stays the card that was read: the copy never writes onto it.
  R = Run({"copy", "--yes", "--folder", P("other")});
  EXPECT_EQ(R.Code, kExitFailure);
  EXPECT_EQ(R.Out, "Job complete!\nRead complete, please change a card and press OK\n");
  EXPECT_EQ(R.Err, std::string(kMsgDiskCopySameCard) + "\n");
  EXPECT_EQ(FilesOf(Dir / "other"), Card);
  // No work file is left (the cards' lock files stay).
  for (auto& E : fs::recursive_directory_iterator(Dir / "tmp"))
    EXPECT_NE(E.path().filename().string().rfind("ZEM", 0), 0u) << E.path();
}

TEST_F(ZemcardCardTest, FailuresGiveNonZeroStatuses) {
  TRun R;
  ASSERT_EQ(Run({"backup", "--level", "none", "--folder", P("card"), P("ok.IMG")}).Code, kExitOk);
  std::string Image = test::ReadFile(Dir / "ok.IMG");

  // Not an image.
  test::WriteFile(Dir / "not.IMG", "zem0" + Image.substr(4));
  R = Run({"restore", "--yes", P("not.IMG"), "--folder", P("other")});
  EXPECT_EQ(R.Code, kExitFailure);
  EXPECT_EQ(R.Err, "File error, progress could not be continued!\n");
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));

  // An image without its end record.
  const std::string Archive =
      Image.substr(Image.size() - 1024) + Image.substr(1024, Image.size() - 2048);
  const std::string Cut = Archive.substr(0, Archive.size() - 22);
  test::WriteFile(Dir / "cut.IMG", Image.substr(0, 1024) + Cut.substr(1024) + Cut.substr(0, 1024));
  R = Run({"restore", "--yes", P("cut.IMG"), "--folder", P("other")});
  EXPECT_EQ(R.Code, kExitFailure);
  EXPECT_EQ(R.Err,
            "The backup file is damaged: the card was not touched.\n"
            "the archive has no valid end record\n");
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));

  // A damaged entry: refused before the card is touched, the entry named.
  Image[Image.size() / 2] ^= 0x5A;
  test::WriteFile(Dir / "bad.IMG", Image);
  R = Run({"restore", "--yes", P("bad.IMG"), "--folder", P("other")});
  EXPECT_EQ(R.Code, kExitFailure);
  EXPECT_NE(R.Err.find("1 of 3 files failed their check"), std::string::npos) << R.Err;
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));

  // A missing image, and a reader without a card.
  EXPECT_EQ(Run({"restore", "--yes", P("none.IMG"), "--folder", P("other")}).Code, kExitFailure);
  R = Run({"backup", "F:", P("x.IMG")});
  EXPECT_EQ(R.Code, kExitFailure);
  EXPECT_EQ(R.Err, "No disk in the drive!\n");

  // An image its disk fails to store: said to be no backup to rely on.
  platform::TFaultFileSystem Fault;
  Fault.Add({.Op = platform::TFsOp::Sync, .Path = "*/lost.IMG", .Error = EIO});
  {
    platform::TFileSystemOverride Guard(Fault);
    R = Run({"backup", "--folder", P("card"), P("lost.IMG")});
  }
  EXPECT_EQ(R.Code, kExitFailure);
  EXPECT_NE(R.Err.find(P("lost.IMG") + ": its disk may not hold it whole: not a backup to rely on"),
            std::string::npos)
      << R.Err;
}

TEST_F(ZemcardCardTest, EmptyingAFolderNeedsYesAndSparesHomeTempAndTheImage) {
  ASSERT_EQ(Run({"backup", "--folder", P("card"), P("card/inside.IMG")}).Code, kExitOk);
  test::WriteFile(Dir / "home/user/file", "precious");
  const char* OldHome = std::getenv("HOME");
  const std::string Saved = OldHome != nullptr ? OldHome : "";
  setenv("HOME", P("home/user").c_str(), 1);
  const std::vector<std::vector<std::string>> Refused = {
      {"format", "--folder", P("other")},                         // no --yes
      {"restore", P("card/inside.IMG"), "--folder", P("other")},  // no --yes
      {"copy", "--folder", P("other")},                           // no --yes
      {"format", "--yes", "--folder", P("home/user")},            // the home folder
      {"format", "--yes", "--folder", P("home")},                 // holds it
      {"copy", "--yes", "--folder", P("tmp")},                    // holds the temporary folder
      {"restore", "--yes", P("card/inside.IMG"), "--folder", P("card")},  // holds the image
  };
  for (const auto& Args : Refused) {
    const TRun R = Run(Args);
    EXPECT_EQ(R.Code, kExitUsage) << Args[0] << " " << Args.back();
    EXPECT_EQ(R.Err.find("Usage:"), std::string::npos) << R.Err;
  }
  if (OldHome != nullptr)
    setenv("HOME", Saved.c_str(), 1);
  else
    unsetenv("HOME");
  EXPECT_EQ(test::ReadFile(Dir / "home/user/file"), "precious");
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));
  EXPECT_TRUE(fs::exists(Dir / "card/inside.IMG"));
  EXPECT_EQ(Run({"backup", "--level", "max", "--folder", P("card"), P("y.IMG")}).Code, kExitUsage);
  EXPECT_EQ(Run({"backup", "--yes", "--folder", P("card"), P("y.IMG")}).Code, kExitUsage);
  EXPECT_EQ(Run({"format", "--yes", "--folder", P("nowhere")}).Code, kExitUsage);
}

TEST_F(ZemcardCardTest, FormatOfADriveAsksUnlessYes) {
  test::WriteFile(Dir / "usb/DCIM/a.jpg", "photo");
  auto T = std::make_unique<platform::TFakeDriveTable>();
  T->AddDrive('G', P("usb"), "camera", 1ull << 30);
  T->AddDrive('H', P("disk"), "DATA", 1ull << 30, platform::DRIVE_FIXED);
  platform::TDriveTableScope Scope(std::move(T));

  TRun R = Run({"format", "G:"}, "n\n");
  EXPECT_EQ(R.Code, kExitFailure);
  EXPECT_EQ(R.Out,
            "Format G: \"CAMERA\" at " + P("usb") + "? Every file on it will be erased. [y/N] ");
  EXPECT_EQ(R.Err, "zemcard: format cancelled: the card was not touched\n");
  EXPECT_EQ(Run({"format", "G"}).Code, kExitFailure);  // no answer at all
  EXPECT_TRUE(fs::exists(Dir / "usb/DCIM/a.jpg"));
  // Not a removable drive of the list.
  EXPECT_EQ(Run({"format", "--yes", "H:"}).Code, kExitUsage);
  EXPECT_EQ(Run({"format", "--yes", "C:"}).Code, kExitUsage);

  R = Run({"format", P("usb")}, "y\n");  // by its mount point
  EXPECT_EQ(R.Code, kExitOk) << R.Err;
  EXPECT_TRUE(fs::is_empty(Dir / "usb"));
}

TEST_F(ZemcardCardTest, AnEmptyCardRoundTrips) {
  fs::create_directories(Dir / "bare/EMPTY");
  TRun R = Run({"backup", "--folder", P("bare"), P("bare.IMG")});
  ASSERT_EQ(R.Code, kExitOk) << R.Err;
  EXPECT_EQ(R.Out, "Job complete!\nJob complete!\n");
  R = Run({"restore", "--yes", P("bare.IMG"), "--folder", P("other")});
  EXPECT_EQ(R.Code, kExitOk) << R.Err;
  // No file, one empty folder: the folder comes back, empty.
  EXPECT_TRUE(fs::is_empty(Dir / "other/EMPTY"));
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir / "other"), fs::directory_iterator()), 1);
}

TEST_F(ZemcardCardTest, TheImageIsFoundThroughLinks) {
  ASSERT_EQ(Run({"backup", "--folder", P("card"), P("card/inside.IMG")}).Code, kExitOk);
  // The image named through a link outside the card.
  fs::create_symlink(Dir / "card/inside.IMG", Dir / "link.IMG");
  TRun R = Run({"restore", "--yes", P("link.IMG"), "--folder", P("card")});
  EXPECT_EQ(R.Code, kExitUsage);
  EXPECT_NE(R.Err.find("holds the image"), std::string::npos) << R.Err;
  EXPECT_TRUE(fs::exists(Dir / "card/inside.IMG"));
}

TEST_F(ZemcardCardTest, ASecondRunOnTheSameCardIsRefused) {
  ASSERT_EQ(Run({"backup", "--folder", P("card"), P("ok.IMG")}).Code, kExitOk);
  // The other run holds the card (the lock is the same for any process).
  platform::TFolderDriveScope Other(P("other"), "");
  const platform::TCardLock Held(*platform::ResolveCard(Other.Letter()));
  ASSERT_TRUE(Held.Held());
  const TRun R = Run({"restore", "--yes", P("ok.IMG"), "--folder", P("other")});
  EXPECT_EQ(R.Code, kExitFailure);
  EXPECT_EQ(R.Err, std::string("zemcard: ") + kMsgCardBusy + "\n");
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));
}

TEST_F(ZemcardCardTest, TheProgramsExitStatuses) {
  const std::string Program = std::string(ZEM_BINARY_DIR) + "/cli/zemcard";
  ASSERT_TRUE(fs::exists(Program)) << "build the zemcard target first";
  auto Status = [&](const std::string& Args) {
    const int Rc = std::system((Program + " " + Args + " >/dev/null 2>&1 </dev/null").c_str());
    return WIFEXITED(Rc) ? WEXITSTATUS(Rc) : -1;
  };
  EXPECT_EQ(Status("backup --folder '" + P("card") + "' '" + P("p.IMG") + "'"), 0);
  EXPECT_EQ(Status("restore --yes '" + P("p.IMG") + "' --folder '" + P("other") + "'"), 0);
  EXPECT_EQ(FilesOf(Dir / "other"), FilesOf(Dir / "card"));
  EXPECT_EQ(Status("restore --yes '" + P("card/DCIM/a.jpg") + "' --folder '" + P("other") + "'"),
            1);
  EXPECT_EQ(Status("restore '" + P("p.IMG") + "' --folder '" + P("other") + "'"), 2);

  // Two restores at once onto two cards: each works with files of its own.
  test::WriteFile(Dir / "card2/only.txt", std::string(300'000, 'q'));
  ASSERT_EQ(Status("backup --level none --folder '" + P("card2") + "' '" + P("q.IMG") + "'"), 0);
  test::WriteFile(Dir / "second/stale.txt", "stale");
  const std::string Both = "(" + Program + " restore --yes '" + P("p.IMG") + "' --folder '" +
                           P("other") + "' & " + Program + " restore --yes '" + P("q.IMG") +
                           "' --folder '" + P("second") + "'; S=$?; wait $! && exit $S)";
  const int Rc = std::system((Both + " >/dev/null 2>&1 </dev/null").c_str());
  EXPECT_TRUE(WIFEXITED(Rc) && WEXITSTATUS(Rc) == 0) << Rc;
  EXPECT_EQ(FilesOf(Dir / "other"), FilesOf(Dir / "card"));
  EXPECT_EQ(FilesOf(Dir / "second"), FilesOf(Dir / "card2"));
}

}  // namespace
}  // namespace zem

namespace zem {
namespace {

// Ended by SIGTERM while the copy writes its image: the run dies by the
// signal, its work files go with it, and the card is as it was.
TEST_F(ZemcardCardTest, SigtermDuringACopyLeavesNoWorkFileAndTheCardAlone) {
  test::WriteFile(Dir / "card/DCIM/big.mov", test::RandomBytes(32u << 20, 3));
  const auto Card = FilesOf(Dir / "card");
  const std::string Zemcard = std::string(ZEM_BINARY_DIR) + "/cli/zemcard";
  const auto WorkFiles = [&] {
    std::vector<std::string> Found;
    for (auto& E : fs::recursive_directory_iterator(Dir / "tmp"))
      if (E.path().filename().string().rfind("ZEM", 0) == 0) Found.push_back(E.path().string());
    return Found;
  };
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    execl(Zemcard.c_str(), Zemcard.c_str(), "copy", "--yes", "-q", "--folder", P("card").c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait for the image to be under way, then end the run.
  bool Seen = false;
  for (int I = 0; I < 2000 && !Seen; ++I) {
    Seen = !WorkFiles().empty();
    if (!Seen) usleep(5000);
  }
  kill(Child, SIGTERM);
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(Seen) << "the copy never started its image";
  if (WIFEXITED(Status)) GTEST_SKIP() << "the copy ended before the signal came";
  EXPECT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGTERM) << Status;
  EXPECT_EQ(WorkFiles(), std::vector<std::string>{});
  EXPECT_EQ(FilesOf(Dir / "card"), Card);
}

}  // namespace
}  // namespace zem
