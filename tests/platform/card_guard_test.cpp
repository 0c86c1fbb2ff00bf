// Tests of the card guard: the folders never emptied (by identity, bind
// mounts included), work files removed on signals, and unique work names.
#include "platform/card_guard.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "common/test_support.h"
#include "platform/cleanup.h"
#include "platform/drives.h"
#include "platform/format.h"
#include "platform/signal_cleanup.h"
#include "platform/winapi.h"

namespace zem::platform {
namespace {

namespace fs = std::filesystem;

// Sets (or unsets, with nullopt) an environment variable for a scope.
class TEnvScope {
 public:
  TEnvScope(const char* Name, const std::optional<std::string>& Value) : FName(Name) {
    if (const char* Old = std::getenv(Name)) FOld = Old;
    if (Value)
      setenv(Name, Value->c_str(), 1);
    else
      unsetenv(Name);
  }
  ~TEnvScope() {
    if (FOld)
      setenv(FName, FOld->c_str(), 1);
    else
      unsetenv(FName);
  }

 private:
  const char* FName;
  std::optional<std::string> FOld;
};

// Whether ErasureRefusal's reason for Path starts with Start.
bool Says(const std::string& Path, const std::string& Start) {
  return ErasureRefusal(Path).rfind(Start, 0) == 0;
}

TEST(ErasureRefusal, HomeTemporaryAndSystemFoldersAndTheImage) {
  test::TTempDir Dir;
  fs::create_directories(Dir / "home/user/sub");
  fs::create_directories(Dir / "tmp");
  fs::create_directories(Dir / "card");
  test::WriteFile(Dir / "card/x.IMG", "image");
  fs::create_symlink(Dir / "card/x.IMG", Dir / "link.IMG");
  fs::create_symlink(Dir / "home/user", Dir / "homelink");
  const TEnvScope Home("HOME", (Dir / "home/user").string());
  const TEnvScope Tmp("TMPDIR", (Dir / "tmp").string());

  EXPECT_EQ(ErasureRefusal((Dir / "card").string()), "");
  EXPECT_TRUE(Says((Dir / "home/user").string(), "it is the home folder"));
  EXPECT_TRUE(Says((Dir / "homelink").string(), "it is the home folder"));  // through a link
  EXPECT_TRUE(Says((Dir / "home").string(), "it holds the home folder"));
  EXPECT_TRUE(Says((Dir / "home/user/sub").string(), "it lies inside the home folder"));
  EXPECT_NE(ErasureRefusal(Dir.Native()).find("the home folder"), std::string::npos);
  EXPECT_NE(ErasureRefusal((Dir / "tmp").string()).find("the temporary folder"), std::string::npos);
  // The image named through a link outside the card.
  EXPECT_NE(ErasureRefusal((Dir / "card").string(), (Dir / "link.IMG").string())
                .find("holds the image " + (Dir / "card/x.IMG").string()),
            std::string::npos);
  for (const char* System : {"/", "/etc", "/usr", "/var", "/var/lib", "/usr/share", "/lib"}) {
    if (!fs::exists(System)) continue;
    EXPECT_NE(ErasureRefusal(System), "") << System;
  }
  // The shared temporary folder below /var is no system folder.
  std::string Shared = "/var/tmp/zemtest-XXXXXX";
  if (fs::exists("/var/tmp") && mkdtemp(Shared.data()) != nullptr) {
    EXPECT_EQ(ErasureRefusal(Shared), "");
    fs::remove(Shared);
  }
}

TEST(ErasureRefusal, TheHomeOfThePasswordDatabaseWithoutHome) {
  const TEnvScope Home("HOME", std::nullopt);
  const struct passwd* Pw = getpwuid(getuid());
  ASSERT_NE(Pw, nullptr);
  ASSERT_TRUE(fs::is_directory(Pw->pw_dir)) << Pw->pw_dir;
  EXPECT_NE(ErasureRefusal(Pw->pw_dir).find("the home folder"), std::string::npos);
}

// Registrations by path and by object share one table and one handler.
TEST(CleanupPaths, WorkFilesGoWithTheSignalThatEndsTheProcess) {
  test::TTempDir Dir;
  const std::string Work = (Dir / "ZEM0-work.DAT").string();
  const std::string Kept = (Dir / "ZEM1-kept.DAT").string();
  const std::string Held = (Dir / "ZEM2-held.DAT").string();
  test::WriteFile(Work, "work");
  test::WriteFile(Kept, "kept");
  test::WriteFile(Held, "held");
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    RegisterCleanupPath(Work);
    RegisterCleanupPath(Kept);
    UnregisterCleanupPath(Kept);
    TSignalCleanupFile Object;
    Object.RegisterNative(Held);
    raise(SIGTERM);
    _exit(3);  // not reached
  }
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  EXPECT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == SIGTERM) << Status;
  EXPECT_FALSE(fs::exists(Work));
  EXPECT_TRUE(fs::exists(Kept));
  EXPECT_FALSE(fs::exists(Held));
}

// A handler the process had before the first registration still gets the
// signal, after the files are gone.
TEST(CleanupPaths, TheSignalGoesOnToTheHandlerInstalledBefore) {
  test::TTempDir Dir;
  const std::string Work = (Dir / "ZEM0-work.DAT").string();
  test::WriteFile(Work, "work");
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    struct sigaction Own {};
    Own.sa_handler = [](int) { _exit(7); };
    sigemptyset(&Own.sa_mask);
    sigaction(SIGHUP, &Own, nullptr);
    TSignalCleanupFile File;
    File.RegisterNative(Work);
    raise(SIGHUP);
    _exit(3);  // not reached
  }
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 7) << Status;
  EXPECT_FALSE(fs::exists(Work));
}

TEST(UniqueFiles, EveryCallGetsANameOfItsOwn) {
  test::TTempDir Dir;
  auto T = std::make_unique<TFakeDriveTable>();
  TDriveTableScope Scope(std::move(T));
  const std::string Folder = FromNativePath(Dir.Native());
  const std::string A = CreateUniqueFileA(Folder, "ZEM0", "DAT");
  const std::string B = CreateUniqueFileA(Folder, "ZEM0", "DAT");
  ASSERT_FALSE(A.empty());
  ASSERT_FALSE(B.empty());
  EXPECT_NE(A, B);
  for (const std::string& Name : {A, B}) {
    const fs::path Native = ToNativePath(Name);
    EXPECT_TRUE(fs::exists(Native));
    EXPECT_EQ(Native.filename().string().rfind("ZEM0-", 0), 0u);
    EXPECT_EQ(Native.extension(), ".DAT");
  }
  EXPECT_EQ(CreateUniqueFileA(FromNativePath((Dir / "missing").string()), "ZEM0", "DAT"), "");
}

// Runs Body in a child process with a mount namespace of its own; the
// child's exit status is Body's result (0 passes). 77: no namespace here.
int InPrivateMountNamespace(const std::function<int()>& Body) {
  const pid_t Child = fork();
  if (Child < 0) return -1;
  if (Child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      _exit(77);
    _exit(Body());
  }
  int Status = 0;
  if (waitpid(Child, &Status, 0) != Child || !WIFEXITED(Status)) return -1;
  return WEXITSTATUS(Status);
}

TEST(BindMounts, TheFormatNeverEntersABindMountInsideTheCard) {
  test::TTempDir Dir;
  test::WriteFile(Dir / "card/own.txt", "own");
  fs::create_directories(Dir / "card/inner");
  test::WriteFile(Dir / "outside/precious.txt", "precious");
  const int Result = InPrivateMountNamespace([&] {
    if (mount((Dir / "outside").c_str(), (Dir / "card/inner").c_str(), nullptr, MS_BIND, nullptr) != 0)
      return 77;
    auto T = std::make_unique<TFakeDriveTable>();
    T->AddDrive('F', (Dir / "card").string(), "CARD");
    TDriveTableScope Scope(std::move(T));
    if (FormatDrive('F' - 'A') != SHFMT_ERROR) return 1;      // the mount stays
    if (!fs::exists(Dir / "outside/precious.txt")) return 2;  // never entered
    if (fs::exists(Dir / "card/own.txt")) return 3;           // the card's own files go
    return 0;
  });
  if (Result == 77) GTEST_SKIP() << "no private mount namespace or bind mount here (needs root)";
  EXPECT_EQ(Result, 0);
  EXPECT_TRUE(fs::exists(Dir / "outside/precious.txt"));
}

TEST(BindMounts, ABindMountOfTheHomeFolderOrOfAFolderInsideItIsRefused) {
  test::TTempDir Dir;
  test::WriteFile(Dir / "home/user/sub/file", "precious");
  fs::create_directories(Dir / "card");
  fs::create_directories(Dir / "card2");
  const int Result = InPrivateMountNamespace([&] {
    setenv("HOME", (Dir / "home/user").c_str(), 1);
    if (mount((Dir / "home/user").c_str(), (Dir / "card").c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount((Dir / "home/user/sub").c_str(), (Dir / "card2").c_str(), nullptr, MS_BIND, nullptr) != 0)
      return 77;
    if (ErasureRefusal((Dir / "card").string()).rfind("it is the home folder", 0) != 0) return 1;
    if (ErasureRefusal((Dir / "card2").string()).rfind("it lies inside the home folder", 0) != 0)
      return 2;
    auto T = std::make_unique<TFakeDriveTable>();
    T->AddDrive('F', (Dir / "card").string(), "CARD");
    TDriveTableScope Scope(std::move(T));
    if (FormatDrive('F' - 'A') != SHFMT_NOFORMAT) return 3;
    return fs::exists(Dir / "home/user/sub/file") ? 0 : 4;
  });
  if (Result == 77) GTEST_SKIP() << "no private mount namespace or bind mount here (needs root)";
  EXPECT_EQ(Result, 0);
  EXPECT_TRUE(fs::exists(Dir / "home/user/sub/file"));
}

}  // namespace
}  // namespace zem::platform
