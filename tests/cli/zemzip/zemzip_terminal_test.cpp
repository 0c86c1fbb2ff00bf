// zemzip on a pseudo-terminal: the password asked twice without echo, the
// overwrite question's [A]ll, the progress line redrawn in place and the
// summary; none of it when standard error is no terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/test_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

const std::string kZemzip = std::string(ZEM_BINARY_DIR) + "/cli/zemzip";

struct TTerminalRun {
  int Status = -1;
  std::string Screen;  // everything written to the terminal, echoes included
};

// Runs zemzip with Args on a new pseudo-terminal (its standard input, output
// and error). Each answer of Dialog is typed once the screen shows its prompt
// after the previous answer. Gives up after 60 seconds.
TTerminalRun RunOnTerminal(const std::vector<std::string>& Args,
                           const std::vector<std::pair<std::string, std::string>>& Dialog) {
  TTerminalRun Run;
  struct winsize Size {};
  Size.ws_row = 24;
  Size.ws_col = 200;
  int Master = -1;
  const pid_t Child = ::forkpty(&Master, nullptr, nullptr, &Size);
  if (Child < 0) return Run;
  if (Child == 0) {
    std::vector<char*> Argv{const_cast<char*>(kZemzip.c_str())};
    for (const std::string& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    ::execv(Argv[0], Argv.data());
    ::_exit(127);
  }
  size_t Next = 0, From = 0;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < Deadline) {
    struct pollfd P {Master, POLLIN, 0};
    if (::poll(&P, 1, 200) <= 0) continue;
    char Buffer[4096];
    const ssize_t N = ::read(Master, Buffer, sizeof Buffer);
    if (N <= 0) break;  // EIO: the child closed the terminal
    Run.Screen.append(Buffer, static_cast<size_t>(N));
    while (Next < Dialog.size()) {
      const size_t At = Run.Screen.find(Dialog[Next].first, From);
      if (At == std::string::npos) break;
      From = At + Dialog[Next].first.size();
      const std::string Typed = Dialog[Next].second + "\n";
      if (::write(Master, Typed.data(), Typed.size()) != static_cast<ssize_t>(Typed.size())) break;
      ++Next;
    }
  }
  ::close(Master);
  int Status = 0;
  if (::waitpid(Child, &Status, 0) == Child && WIFEXITED(Status)) Run.Status = WEXITSTATUS(Status);
  return Run;
}

TEST(ZemzipTerminal, PasswordWithoutEchoAndTheAllAnswer) {
  if (!test::HavePseudoTerminal()) GTEST_SKIP() << "no pseudo-terminal can be opened here (no /dev/pts)";
  test::TTempDir Dir;
  test::WriteFile(Dir / "in/a.txt", "first file\n");
  test::WriteFile(Dir / "in/b.txt", "second file\n");
  const std::string Archive = (Dir / "s.zip").string();

  // A mismatch is refused and writes nothing.
  const TTerminalRun Differ = RunOnTerminal({"add", "-e", Archive, (Dir / "in").string(), "-r"},
                                            {{"Password: ", "Tr0ub4dor"}, {"Verify password: ", "other"}});
  EXPECT_EQ(Differ.Status, 2) << Differ.Screen;
  EXPECT_NE(Differ.Screen.find("the passwords do not match"), std::string::npos) << Differ.Screen;
  EXPECT_FALSE(fs::exists(Archive));

  const TTerminalRun Add = RunOnTerminal({"add", "-e", "-r", Archive, (Dir / "in").string()},
                                         {{"Password: ", "Tr0ub4dor"}, {"Verify password: ", "Tr0ub4dor"}});
  ASSERT_EQ(Add.Status, 0) << Add.Screen;
  EXPECT_EQ(Add.Screen.find("Tr0ub4dor"), std::string::npos) << Add.Screen;  // never echoed
  EXPECT_NE(Add.Screen.find("added 2 files, "), std::string::npos) << Add.Screen;

  // Extracting asks the password once, then each existing file until [A]ll.
  const std::string Dest = (Dir / "out").string();
  test::WriteFile(Dir / "out/a.txt", "mine");
  test::WriteFile(Dir / "out/b.txt", "mine");
  const TTerminalRun Extract = RunOnTerminal({"extract", "-j", "-d", Dest, Archive},
                                             {{"Password for ", "Tr0ub4dor"}, {"[r]ename: ", "A"}});
  EXPECT_EQ(Extract.Status, 0) << Extract.Screen;
  EXPECT_EQ(Extract.Screen.find("Tr0ub4dor"), std::string::npos) << Extract.Screen;
  const size_t Question = Extract.Screen.find("[r]ename: ");
  ASSERT_NE(Question, std::string::npos) << Extract.Screen;
  EXPECT_EQ(Extract.Screen.find("[r]ename: ", Question + 1), std::string::npos) << Extract.Screen;
  EXPECT_EQ(test::ReadFile(Dir / "out/a.txt"), "first file\n");
  EXPECT_EQ(test::ReadFile(Dir / "out/b.txt"), "second file\n");
}

// The line is drawn at the start and redrawn with a carriage return; the
// summary closes the run. Standard error in a file gets neither.
TEST(ZemzipTerminal, ProgressLineAndSummaryOnlyOnATerminal) {
  if (!test::HavePseudoTerminal()) GTEST_SKIP() << "no pseudo-terminal can be opened here (no /dev/pts)";
  test::TTempDir Dir;
  test::WriteFile(Dir / "big.bin", test::RandomBytes(3 << 20, 7));
  const std::string Archive = (Dir / "p.zip").string();

  const TTerminalRun Add = RunOnTerminal({"add", Archive, (Dir / "big.bin").string()}, {});
  ASSERT_EQ(Add.Status, 0) << Add.Screen;
  EXPECT_NE(Add.Screen.find("\r  0% 0 B of 3.15 MB"), std::string::npos) << Add.Screen;
  EXPECT_NE(Add.Screen.find("added 1 file, 3.15 MB \u2192 3.15 MB in "), std::string::npos) << Add.Screen;

  const TTerminalRun Test = RunOnTerminal({"test", Archive}, {});
  EXPECT_EQ(Test.Status, 0) << Test.Screen;
  EXPECT_NE(Test.Screen.find("\r  0% "), std::string::npos) << Test.Screen;
  EXPECT_NE(Test.Screen.find("tested 1 file: no errors in "), std::string::npos) << Test.Screen;
  EXPECT_EQ(Test.Screen.find("tested 1 entries"), std::string::npos) << Test.Screen;  // the summary stands for it

  const TTerminalRun Quiet = RunOnTerminal({"test", "-q", Archive}, {});
  EXPECT_EQ(Quiet.Status, 0);
  EXPECT_EQ(Quiet.Screen, "");

  int Status = -1;
  const std::string Piped = test::RunCommand(
      kZemzip + " extract -d '" + (Dir / "x").string() + "' '" + Archive + "' 2>&1 </dev/null", Status);
  EXPECT_EQ(Status, 0) << Piped;
  EXPECT_EQ(Piped, "extracted 1 entries\n");
}

}  // namespace
}  // namespace zem
