// Round trips through this system's own writer: a small card-like tree
// zipped at every level, without and with a password, extracted and tested
// by the reader; wrong passwords on such archives with and without a
// handler that supplies the right one.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "archive/reader/arc_unzip.h"
#include "cli/zipcli/zip_commands.h"
#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/winapi.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

int Zemzip(const std::vector<std::string>& Args, std::string* Out = nullptr, std::string* Err = nullptr) {
  std::istringstream In;
  std::ostringstream O, E;
  const int Code = RunZipCommand(Args, In, O, E);
  if (Out) *Out = O.str();
  if (Err) *Err = E.str();
  return Code;
}

class WriterRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    Files = {{"DCIM/100/a.jpg", test::RandomBytes(90000, 1)},
             {"DCIM/100/b.jpg", test::RandomBytes(33000, 2)},
             {"notes.txt", std::string(70000, 'n') + "end\n"},
             {"misc/empty.dat", ""},
             {"misc/runs.bin", std::string(50000, '\x90')}};
    for (const auto& [Name, Data] : Files) test::WriteFile(Dir / "card" / Name, Data);
  }
  // Where a file of the card lands below Dest (the writer stores absolute
  // names without their leading '/').
  fs::path Landed(const fs::path& Dest, const std::string& Name) const {
    return Dest / fs::relative(Dir / "card" / Name, "/");
  }

  test::TTempDir Dir;
  std::map<std::string, std::string> Files;
};

TEST_F(WriterRoundTrip, EveryLevelWithAndWithoutPassword) {
  for (int Level = 0; Level <= 9; ++Level)
    for (const std::string Password : {"", "Sesame42"}) {
      SCOPED_TRACE(Format("level %d password '%s'", Level, Password.c_str()));
      const std::string Archive = (Dir / Format("l%d%s.zip", Level, Password.empty() ? "" : "p")).string();
      std::vector<std::string> Add = {"add", "-" + std::to_string(Level), "-r"};
      if (!Password.empty()) Add.insert(Add.end(), {"-P", Password});
      Add.insert(Add.end(), {Archive, (Dir / "card").string()});
      std::string Err;
      ASSERT_EQ(Zemzip(Add, nullptr, &Err), 0) << Err;

      std::string Out;
      std::vector<std::string> Test = {"test", Archive};
      if (!Password.empty()) Test.insert(Test.begin() + 1, {"-P", Password});
      EXPECT_EQ(Zemzip(Test, &Out, &Err), 0) << Out << Err;
      EXPECT_NE(Out.find(", 0 failed"), std::string::npos);

      const fs::path Dest = Dir / Format("out%d%s", Level, Password.empty() ? "" : "p");
      std::vector<std::string> Extract = {"extract", "-d", Dest.string(), Archive};
      if (!Password.empty()) Extract.insert(Extract.begin() + 1, {"-P", Password});
      ASSERT_EQ(Zemzip(Extract, &Out, &Err), 0) << Err;
      for (const auto& [Name, Data] : Files) {
        EXPECT_EQ(test::ReadFile(Landed(Dest, Name)), Data) << Name;
        const std::string Win = platform::FromNativePath(Landed(Dest, Name).string());
        const std::string Src = platform::FromNativePath((Dir / "card" / Name).string());
        // DOS times keep even seconds.
        EXPECT_EQ(platform::FileAge(Win) & ~1, platform::FileAge(Src) & ~1) << Name;
      }
    }
}

// A wrong password on a writer archive: every encrypted entry takes the
// bad-password path; a handler that supplies the right one gets them all.
TEST_F(WriterRoundTrip, WrongPasswordWithAndWithoutHandler) {
  const std::string Archive = (Dir / "p.zip").string();
  ASSERT_EQ(Zemzip({"add", "-6", "-r", "-P", "right", Archive, (Dir / "card").string()}), 0);
  for (const bool Handler : {false, true}) {
    SCOPED_TRACE(Handler);
    TArcUnZip Zip;
    Zip.SetDoProcessMessages(false);
    Zip.SetZipName(platform::FromNativePath(Archive));
    const fs::path Dest = Dir / (Handler ? "h" : "n");
    Zip.SetDestDir(platform::FromNativePath(Dest.string()));
    Zip.SetRecreateDirs(true);
    Zip.SetDoAll(true);
    Zip.SetPassword("wrong");
    int Asked = 0, Skipped = 0;
    if (Handler)
      Zip.OnBadPassword = [&](TObject*, int32_t, std::string& NewPassword) {
        ++Asked;
        NewPassword = "right";
      };
    Zip.OnSkippingFile = [&](TObject*, TSkipReason R, const std::string&, int32_t, bool&) {
      EXPECT_EQ(R, srBadPassword);
      ++Skipped;
    };
    const int32_t Done = Zip.UnZip();
    int32_t Dirs = 0;
    for (int32_t I = 0; I < Zip.Count(); ++I) Dirs += Zip.EntryHeader(I).FileName().empty() ? 1 : 0;
    if (Handler) {
      EXPECT_EQ(Done, Zip.Count());
      EXPECT_EQ(Asked, 1);
      EXPECT_EQ(test::ReadFile(Landed(Dest, "notes.txt")), Files["notes.txt"]);
    } else {
      EXPECT_EQ(Done, Dirs);
      EXPECT_EQ(Skipped, static_cast<int>(Files.size()));
      EXPECT_FALSE(fs::exists(Landed(Dest, "notes.txt")));
    }
  }
}

}  // namespace
}  // namespace zem
