// Tests of the zemcard commands against a fake drive table and of the program's exit codes.
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "cli/cardcli/card_commands.h"
#include "common/test_support.h"
#include "platform/drives.h"

namespace zem {
namespace {

namespace fs = std::filesystem;
using platform::TDriveTableScope;
using platform::TFakeDriveTable;

struct TRun {
  int Code;
  std::string Out, Err;
};

TRun RunCommand(const std::vector<std::string>& Args) {
  std::ostringstream Out, Err;
  const int Code = RunCardCommand(Args, Out, Err);
  return {Code, Out.str(), Err.str()};
}

TEST(ZemcardList, OneLinePerRemovableDrive) {
  test::TTempDir Dir;
  for (const char* Sub : {"cam", "reader", "disk", "usb"}) fs::create_directories(Dir / Sub);
  auto Table = std::make_unique<TFakeDriveTable>();
  Table->AddDrive('E', (Dir / "reader").string(), "", 0, platform::DRIVE_REMOVABLE, false);
  Table->AddDrive('D', (Dir / "cam").string(), "camera", 31914983424ull);
  Table->AddDrive('F', (Dir / "disk").string(), "DATA", 1ull << 40, platform::DRIVE_FIXED);
  Table->AddDrive('G', (Dir / "usb").string(), "", 4ull << 30);
  TDriveTableScope Scope(std::move(Table));

  const TRun R = RunCommand({"list"});
  EXPECT_EQ(R.Code, kExitOk);
  EXPECT_EQ(R.Err, "");
  const std::string Expected =
      "D: \"CAMERA\" 31914983424 bytes (31.9 GB) at " + (Dir / "cam").string() + "\n" +
      "E: \"\" (no card) at " + (Dir / "reader").string() + "\n" +
      "G: \"\" 4294967296 bytes (4.3 GB) at " + (Dir / "usb").string() + "\n";
  EXPECT_EQ(R.Out, Expected);
}

TEST(ZemcardList, SaysSoWhenNoRemovableDriveIsPresent) {
  TDriveTableScope Scope(std::make_unique<TFakeDriveTable>());
  const TRun R = RunCommand({"list"});
  EXPECT_EQ(R.Code, kExitOk);
  EXPECT_EQ(R.Out, "No removable drive found.\n");
  EXPECT_EQ(R.Err, "");
}

TEST(ZemcardCommands, UsageErrorsGoToStandardErrorWithCode2) {
  TDriveTableScope Scope(std::make_unique<TFakeDriveTable>());
  for (const auto& Args : std::vector<std::vector<std::string>>{{}, {"frobnicate"}, {"List"},
                                                                {"list", "extra"}}) {
    const TRun R = RunCommand(Args);
    EXPECT_EQ(R.Code, kExitUsage) << (Args.empty() ? "(none)" : Args[0]);
    EXPECT_EQ(R.Out, "");
    EXPECT_NE(R.Err.find("usage: zemcard "), std::string::npos) << R.Err;
  }
  const TRun Help = RunCommand({"help"});
  EXPECT_EQ(Help.Code, kExitOk);
  EXPECT_NE(Help.Out.find("  list"), std::string::npos) << Help.Out;
  EXPECT_EQ(Help.Err, "");
}

TEST(ZemcardProgram, ExitCodesOfTheExecutable) {
  const std::string Program = std::string(ZEM_BINARY_DIR) + "/cli/zemcard";
  ASSERT_TRUE(fs::exists(Program)) << "build the zemcard target first";
  const int Unknown = std::system((Program + " no-such-command >/dev/null 2>&1").c_str());
  ASSERT_TRUE(WIFEXITED(Unknown));
  EXPECT_EQ(WEXITSTATUS(Unknown), 2);
  const int Help = std::system((Program + " help >/dev/null 2>&1").c_str());
  ASSERT_TRUE(WIFEXITED(Help));
  EXPECT_EQ(WEXITSTATUS(Help), 0);
}

}  // namespace
}  // namespace zem
