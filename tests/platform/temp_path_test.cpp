// The private temporary folder (and what it refuses to use) and unique
// temporary file names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <set>

#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;

// Points TMPDIR at a fresh folder for the test and puts it back afterwards.
class TempPath : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* Old = std::getenv("TMPDIR")) Saved = Old;
    ::setenv("TMPDIR", Base.Native().c_str(), 1);
    Scope = std::make_unique<TDriveTableScope>(std::make_unique<TFakeDriveTable>());
  }
  void TearDown() override {
    if (Saved)
      ::setenv("TMPDIR", Saved->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
  }

  fs::path Fixed() const { return Base / ("zemtools-" + std::to_string(::geteuid())); }

  // The folder GetTempPathA gives, native, checked to be private.
  fs::path PrivateFolder() {
    const std::string Win = GetTempPathA();
    EXPECT_FALSE(Win.empty());
    EXPECT_EQ(Win.back(), '\\');
    EXPECT_EQ(Win.substr(0, 3), "C:\\");
    const fs::path Native = ToNativePath(Win);
    struct stat St;
    EXPECT_EQ(::lstat(Native.c_str(), &St), 0);
    EXPECT_TRUE(S_ISDIR(St.st_mode));
    EXPECT_EQ(St.st_mode & 0777, 0700u);
    EXPECT_EQ(St.st_uid, ::geteuid());
    return Native;
  }

  test::TTempDir Base;
  std::optional<std::string> Saved;
  std::unique_ptr<TDriveTableScope> Scope;
};

TEST_F(TempPath, PrivateFolderBelowTmpdir) {
  EXPECT_EQ(PrivateFolder(), Fixed());
  // Used again as it is on the next call.
  test::WriteFile(Fixed() / "keep.txt", "x");
  EXPECT_EQ(PrivateFolder(), Fixed());
  EXPECT_TRUE(fs::exists(Fixed() / "keep.txt"));
}

TEST_F(TempPath, BufferFormFollowsTheStringForm) {
  const std::string Path = GetTempPathA();
  ASSERT_FALSE(Path.empty());
  char Small[4] = "abc";
  EXPECT_EQ(GetTempPathA(sizeof Small, Small), Path.size() + 1);  // size needed, with NUL
  EXPECT_STREQ(Small, "abc");
  EXPECT_EQ(GetTempPathA(0, nullptr), Path.size() + 1);
  char Buf[1024];
  EXPECT_EQ(GetTempPathA(sizeof Buf, Buf), Path.size());
  EXPECT_EQ(std::string(Buf), Path);
  std::vector<char> Exact(Path.size() + 1);
  EXPECT_EQ(GetTempPathA(static_cast<uint32_t>(Exact.size()), Exact.data()), Path.size());
}

TEST_F(TempPath, UnsetOrEmptyTmpdirMeansVarTmp) {
  ::setenv("TMPDIR", "", 1);
  const std::string WhenEmpty = ToNativePath(GetTempPathA());
  ::unsetenv("TMPDIR");
  const std::string WhenUnset = ToNativePath(GetTempPathA());
  EXPECT_EQ(WhenEmpty, WhenUnset);
  EXPECT_EQ(WhenUnset.rfind("/var/tmp/zemtools-", 0), 0u) << WhenUnset;
}

TEST_F(TempPath, MissingTmpdirFails) {
  ::setenv("TMPDIR", (Base / "gone" / "deeper").c_str(), 1);
  char Buf[1024] = "untouched";
  SetLastError(0);
  EXPECT_EQ(GetTempPathA(sizeof Buf, Buf), 0u);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_STREQ(Buf, "untouched");
  EXPECT_EQ(GetTempPathA(), "");
}

// Whatever someone planted under the fixed name is left alone: the folder
// given is another one, private, and nothing is written through the plant.
TEST_F(TempPath, PlantedNamesAreNotUsed) {
  test::TTempDir Victim;
  struct TPlant {
    const char* What;
    std::function<void(const fs::path&)> Make;
  };
  const TPlant Plants[] = {
      {"link to a folder", [&](const fs::path& P) { fs::create_symlink(Victim.Path(), P); }},
      {"world-writable folder",
       [](const fs::path& P) {
         fs::create_directory(P);
         fs::permissions(P, fs::perms::all);
       }},
      {"group-readable folder",
       [](const fs::path& P) {
         fs::create_directory(P);
         fs::permissions(P, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
       }},
      {"plain file", [](const fs::path& P) { test::WriteFile(P, "not a folder"); }},
  };
  for (const TPlant& Plant : Plants) {
    SCOPED_TRACE(Plant.What);
    fs::remove_all(Fixed());
    Plant.Make(Fixed());
    const fs::path Got = PrivateFolder();
    EXPECT_NE(Got, Fixed());
    EXPECT_NE(fs::weakly_canonical(Got), fs::canonical(Victim.Path()));
    EXPECT_EQ(Got.parent_path(), Base.Path());

    std::string Name;
    ASSERT_NE(GetTempFileNameA(GetTempPathA(), "DOV", 0, Name), 0u);
    EXPECT_EQ(fs::path(ToNativePath(Name)).parent_path(), Got);
    EXPECT_TRUE(fs::is_empty(Victim.Path()));
    if (fs::is_directory(fs::symlink_status(Fixed()))) {
      EXPECT_TRUE(fs::is_empty(Fixed()));
    }
    // The same replacement folder serves the rest of the run.
    EXPECT_EQ(PrivateFolder(), Got);
  }
}

TEST_F(TempPath, FolderOfAnotherUserIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  fs::create_directory(Fixed());
  fs::permissions(Fixed(), fs::perms::owner_all, fs::perm_options::replace);
  ASSERT_EQ(::chown(Fixed().c_str(), 1, 1), 0);
  const fs::path Got = PrivateFolder();
  EXPECT_NE(Got, Fixed());
  EXPECT_TRUE(fs::is_empty(Fixed()));
}

TEST_F(TempPath, TempFileNamesAreNewFilesMadeByTheCall) {
  const std::string Folder = GetTempPathA();
  ASSERT_FALSE(Folder.empty());
  const std::regex Form(R"(DOV[0-9A-F]{4}\.TMP)");
  std::set<std::string> Names;
  for (int I = 0; I < 40; ++I) {
    std::string Name;
    const uint32_t Number = GetTempFileNameA(Folder, "DOVER", 0, Name);
    ASSERT_NE(Number, 0u);
    ASSERT_LE(Number, 0xFFFFu);
    EXPECT_EQ(Name.substr(0, Folder.size()), Folder);  // no doubled separator
    const std::string Leaf = Name.substr(Folder.size());
    EXPECT_TRUE(std::regex_match(Leaf, Form)) << Leaf;
    EXPECT_EQ(std::stoul(Leaf.substr(3, 4), nullptr, 16), Number);
    const fs::path Native = ToNativePath(Name);
    EXPECT_TRUE(fs::is_regular_file(Native));
    EXPECT_EQ(fs::file_size(Native), 0u);
    EXPECT_TRUE(Names.insert(Name).second) << "name given twice: " << Name;
  }

  // A chosen number names the file; a file of that name is never reused.
  std::string Name;
  EXPECT_EQ(GetTempFileNameA(Folder.substr(0, Folder.size() - 1), "ab", 0x12c, Name), 0x12cu);
  EXPECT_EQ(Name, Folder + "ab012C.TMP");
  test::WriteFile(ToNativePath(Name), "precious");
  std::string Again;
  SetLastError(0);
  EXPECT_EQ(GetTempFileNameA(Folder, "ab", 0x12c, Again), 0u);
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(test::ReadFile(ToNativePath(Name)), "precious");

  // Picking numbers steps over files that are already there.
  for (unsigned N = 1; N <= 0xFFFF; N += 0x101) {
    char Leaf[16];
    std::snprintf(Leaf, sizeof Leaf, "X%04X.TMP", N);
    test::WriteFile(ToNativePath(Folder + Leaf), "taken");
  }
  for (int I = 0; I < 20; ++I) {
    std::string Fresh;
    ASSERT_NE(GetTempFileNameA(Folder, "X", 0, Fresh), 0u);
    EXPECT_EQ(fs::file_size(ToNativePath(Fresh)), 0u);
  }
}

TEST_F(TempPath, TempFileNameFailures) {
  std::string Name = "unchanged";
  SetLastError(0);
  EXPECT_EQ(GetTempFileNameA("C:" + Base.Native() + "\\missing", "DOV", 0, Name), 0u);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(GetTempFileNameA("Q:\\", "DOV", 0, Name), 0u);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Name, "unchanged");
}

}  // namespace
}  // namespace zem::platform
