// zemcard's command lines: help and version, options before and after the
// names, -q and -v, the cancel answers and the messages of failures, as one
// table of command lines with their exit status and output fragments.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/cardcli/card_commands.h"
#include "common/test_support.h"
#include "platform/drives.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

struct TLine {
  std::vector<std::string> Args;  // "@X" stands for the test folder's X
  std::string Answers;            // what the terminal answers
  int Code;
  std::vector<std::string> OutHas, ErrHas;
  std::string OutIs = "-";  // the whole standard output unless "-"
};

class ZemcardCommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* Old = std::getenv("TMPDIR")) FOldTmp = Old;
    setenv("TMPDIR", (Dir / "tmp").c_str(), 1);
    fs::create_directories(Dir / "tmp");
    test::WriteFile(Dir / "card/DCIM/a.jpg", test::RandomBytes(100'000, 3));
    test::WriteFile(Dir / "card/b.txt", "b");
    test::WriteFile(Dir / "other/stale.txt", "stale");
    test::WriteFile(Dir / "usb/keep.txt", "keep");
    auto T = std::make_unique<platform::TFakeDriveTable>();
    T->AddDrive('G', (Dir / "usb").string(), "USB", 1ull << 30);
    FScope = std::make_unique<platform::TDriveTableScope>(std::move(T));
  }
  void TearDown() override {
    FScope.reset();
    if (FOldTmp)
      setenv("TMPDIR", FOldTmp->c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

  void Check(const TLine& L) {
    std::vector<std::string> Args;
    std::string Shown;
    for (const std::string& A : L.Args) {
      Args.push_back(A.rfind('@', 0) == 0 ? (Dir / A.substr(1)).string() : A);
      Shown += " " + A;
    }
    SCOPED_TRACE("zemcard" + Shown);
    std::istringstream In(L.Answers);
    std::ostringstream Out, Err;
    EXPECT_EQ(RunCardCommand(Args, In, Out, Err), L.Code) << Err.str();
    for (const std::string& F : L.OutHas) EXPECT_NE(Out.str().find(F), std::string::npos) << F << " in\n" << Out.str();
    for (const std::string& F : L.ErrHas) EXPECT_NE(Err.str().find(F), std::string::npos) << F << " in\n" << Err.str();
    if (L.OutIs != "-") {
      EXPECT_EQ(Out.str(), L.OutIs);
    }
  }

  test::TTempDir Dir;

 private:
  std::optional<std::string> FOldTmp;
  std::unique_ptr<platform::TDriveTableScope> FScope;
};

TEST_F(ZemcardCommandLineTest, TableOfCommandLines) {
  const std::vector<TLine> Lines = {
      // Help and version on standard output, exit 0.
      {{"--help"}, "", 0, {"usage: zemcard COMMAND", "  restore ", "Exit status: 0"}, {}},
      {{"-h"}, "", 0, {"usage: zemcard COMMAND"}, {}},
      {{"--version"}, "", 0, {"zemcard "}, {}},
      {{"backup", "--help"}, "", 0, {"usage: zemcard backup", "-q, --quiet", "Exit status:"}, {}},
      {{"restore", "@x.IMG", "-h"}, "", 0, {"usage: zemcard restore", "-y, --yes"}, {}},
      {{"eject", "--help"}, "", 0, {"usage: zemcard eject"}, {}},
      {{"help", "copy"}, "", 0, {"usage: zemcard copy"}, {}},
      {{"help", "nope"}, "", 2, {}, {"unknown command \"nope\""}, ""},
      {{}, "", 2, {}, {"usage: zemcard COMMAND"}, ""},
      // Wrong lines: the reason and the command's usage on standard error.
      {{"backup", "--bogus", "@card", "@x.IMG"}, "", 2, {}, {"unknown option --bogus", "usage: zemcard backup"}, ""},
      {{"backup", "-q", "-v", "--folder", "@card", "@x.IMG"}, "", 2, {}, {"exclude each other"}, ""},
      {{"backup", "--folder", "@card", "@x.IMG", "--level"}, "", 2, {}, {"--level needs a value"}, ""},
      {{"backup", "--folder", "@card", "@x.IMG", "--threads", "two"}, "", 2, {}, {"--threads takes 1 to 64, not two"}, ""},
      {{"list", "extra"}, "", 2, {}, {"list takes no arguments"}, ""},
      // Options after the names; "--" ends them; -q says nothing on success.
      {{"backup", "@q.IMG", "-q", "--folder", "@card", "--level", "none"}, "", 0, {}, {}, ""},
      {{"backup", "--folder", "@card", "--", "-dash.IMG"}, "", 0, {"Job complete!"}, {}},
      {{"backup", "--folder", "@card", "@v.IMG", "-v", "--threads", "3"}, "", 0, {"added: DCIM/a.jpg\n", "added: b.txt\n"}, {}},
      {{"restore", "@v.IMG", "--folder", "@other", "-y", "-v"}, "", 0,
       {"restored: DCIM/a.jpg\n", "restored: b.txt\n", "Job complete!"}, {}},
      // A "no" to the erasure is a cancel: said as one, the card untouched.
      {{"restore", "@v.IMG", "G:"}, "n\n", 1, {"Restore cancelled: the card was not touched."}, {}},
      // The change-card prompt: the end of input cancels the copy.
      {{"copy", "G"}, "", 1, {"Read complete, please change a card", "DiskCopy cancelled: no card was written."}, {}},
      // Failures name the Linux path and the system's reason, and what was
      // (not) left behind.
      {{"backup", "--folder", "@card", "/proc/zem/x.IMG"}, "", 1, {},
       {"Cannot create file \"/proc/zem/x.IMG\": No such file or directory", "no image was written"}},
      {{"restore", "@card", "--folder", "@other", "--yes"}, "", 1, {}, {"is a folder, not a backup image"}},
      {{"restore", "@none.IMG", "--folder", "@other", "--yes"}, "", 1, {}, {"none.IMG: no such file"}},
  };
  // Relative names ("-dash.IMG") land in the test folder.
  const fs::path Previous = fs::current_path();
  fs::current_path(Dir.Path());
  for (const TLine& L : Lines) Check(L);
  fs::current_path(Previous);
  EXPECT_TRUE(fs::exists(Dir / "q.IMG"));
  EXPECT_TRUE(fs::exists(Dir / "-dash.IMG"));
  EXPECT_TRUE(fs::exists(Dir / "usb/keep.txt"));
  EXPECT_TRUE(fs::exists(Dir / "other/b.txt"));
  for (auto& E : fs::directory_iterator(Dir / "tmp"))
    EXPECT_NE(E.path().filename().string().rfind("ZEM", 0), 0u) << E.path();
}

// Runs the zemcard program on a new pseudo-terminal; gives what it wrote
// there (standard output and error together) and its exit status.
std::pair<int, std::string> RunOnTerminal(const std::vector<std::string>& Args) {
  const std::string Program = std::string(ZEM_BINARY_DIR) + "/cli/zemcard";
  struct winsize Size {};
  Size.ws_row = 24;
  Size.ws_col = 200;
  int Master = -1;
  const pid_t Child = ::forkpty(&Master, nullptr, nullptr, &Size);
  if (Child < 0) return {-1, ""};
  if (Child == 0) {
    std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
    for (const std::string& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    ::execv(Argv[0], Argv.data());
    ::_exit(127);
  }
  std::string Screen;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < Deadline) {
    struct pollfd P {Master, POLLIN, 0};
    if (::poll(&P, 1, 200) <= 0) continue;
    char Buffer[4096];
    const ssize_t N = ::read(Master, Buffer, sizeof Buffer);
    if (N <= 0) break;
    Screen.append(Buffer, static_cast<size_t>(N));
  }
  ::close(Master);
  int Status = 0;
  if (::waitpid(Child, &Status, 0) != Child || !WIFEXITED(Status)) return {-1, Screen};
  return {WEXITSTATUS(Status), Screen};
}

// On a terminal the progress line (bytes of the total) and one summary
// line; -q leaves both out.
TEST_F(ZemcardCommandLineTest, ProgressAndSummaryOnATerminal) {
  if (!test::HavePseudoTerminal()) GTEST_SKIP() << "no pseudo-terminal can be opened here (no /dev/pts)";
  test::WriteFile(Dir / "card/big.bin", test::RandomBytes(3'000'000, 4));
  auto [Code, Screen] = RunOnTerminal({"backup", "--folder", (Dir / "card").string(),
                                       (Dir / "t.IMG").string()});
  EXPECT_EQ(Code, 0) << Screen;
  EXPECT_NE(Screen.find("\r  0% 0 B of 3.10 MB"), std::string::npos) << Screen;
  EXPECT_NE(Screen.find("backed up 3 files, 3.10 MB \u2192 "), std::string::npos) << Screen;
  std::tie(Code, Screen) = RunOnTerminal({"restore", "-y", "-q", (Dir / "t.IMG").string(), "--folder",
                                          (Dir / "other").string()});
  EXPECT_EQ(Code, 0) << Screen;
  EXPECT_EQ(Screen, "");
  EXPECT_TRUE(fs::exists(Dir / "other/big.bin"));
}

}  // namespace
}  // namespace zem
