// The card round trip as a property: a generated card with hostile Linux
// names (separator, drive, wildcard and quoting characters, bytes that are
// not UTF-8, the escape range itself, case variants in one folder), empty
// folders and files, a deep path, read-only and hidden files comes back
// byte for byte, names, contents, times (to the archive's two seconds) and
// the read-only bit, through the zemcard program and through the card
// operations in this process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>

#include "common/test_support.h"
#include "core/card_ops.h"
#include "platform/drives.h"
#include "platform/format.h"
#include "platform/window_services.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

// What a restore must give back of each entry below the card.
struct TEntry {
  bool Folder = false;
  std::string Bytes;
  time_t Time = 0;
  bool ReadOnly = false;
  unsigned Mode = 0;  // an empty folder's permission bits
  bool operator==(const TEntry&) const = default;
};
using TCard = std::map<std::string, TEntry>;  // native path below the card -> entry

TCard Scan(const fs::path& Root) {
  TCard Card;
  for (auto& E : fs::recursive_directory_iterator(Root)) {
    struct stat St;
    EXPECT_EQ(lstat(E.path().c_str(), &St), 0) << E.path();
    TEntry T;
    T.Folder = S_ISDIR(St.st_mode);
    if (T.Folder && fs::is_empty(E.path())) {
      T.Time = St.st_mtime / 2 * 2;
      T.Mode = St.st_mode & 0777;
    }
    if (!T.Folder) {
      T.Bytes = test::ReadFile(E.path());
      T.Time = St.st_mtime / 2 * 2;  // the archive keeps two-second steps
      T.ReadOnly = (St.st_mode & S_IWUSR) == 0;
    }
    Card[fs::relative(E.path(), Root).string()] = T;
  }
  return Card;
}

// The generator: every name is built from pieces a Windows-style path
// would misread, and a file's case variant is put beside it.
class TCardMaker {
 public:
  explicit TCardMaker(uint32_t Seed) : FRandom(Seed) {}

  void Make(const fs::path& Root) {
    // The cases that were lost before, always there.
    Put(Root / "a:b.txt", "colon at the root");
    Put(Root / "b.txt", "the real b.txt");
    Put(Root / "A.txt", "upper");
    Put(Root / "a.txt", "lower");
    Put(Root / ".hidden", "hidden");
    // Times the extended timestamp's 32 bits cannot hold (1969, 2106, 2108),
    // each half a second past.
    for (const time_t When : {time_t{-100'002}, time_t{4'294'967'301}, time_t{4'354'819'201}})
      Put(Root / ("at " + std::to_string(When)), "time", When);
    fs::create_directories(Root / "empty folder");
    fs::permissions(Root / "empty folder", fs::perms::owner_all, fs::perm_options::replace);
    const struct timespec Then[2] = {{1'600'000'001, 0}, {1'600'000'001, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (Root / "empty folder").c_str(), Then, 0), 0);
    fs::create_directories(Root / "x\\y*" / "empty?");
    fs::path Deep = Root;
    for (int Level = 0; Level < 24; ++Level) Deep /= Name() + std::string(40, 'd');
    Put(Deep / "bottom.bin", Bytes());
    for (int I = 0; I < 60; ++I) {
      fs::path Folder = Root;
      for (int D = Pick(3); D > 0; --D) Folder /= Name() + "_d";  // never a file's name
      const std::string N = Name();
      Put(Folder / N, Bytes());
      std::string Flipped = N;
      for (char& C : Flipped)
        if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 32);
      if (Flipped != N && Pick(2) == 0) Put(Folder / Flipped, Bytes());
      if (Pick(6) == 0) fs::create_directories(Folder / ("empty " + Name()));
    }
  }

 private:
  int Pick(int N) { return static_cast<int>(FRandom() % static_cast<uint32_t>(N)); }

  std::string Name() {
    static const char* const kPieces[] = {
        "\\", ":", "*", "?", "<", ">", "|", "\"", "\xff", "\xc3", "\xfe\xfe", "\xef\x80\xba",
        "\xef\x83\xbf", "\xc3\xa9", "\xe6\x97\xa5", " ", ".", "..", "-", "ab", "Cd", "eF", "x",
        "IMG_", "0", "~", "\x01", "%41"};
    std::string N;
    do {
      N.clear();
      for (int K = 1 + Pick(4); K > 0; --K) N += kPieces[Pick(std::size(kPieces))];
    } while (N == "." || N == "..");
    return N;
  }

  std::string Bytes() {
    switch (Pick(4)) {
      case 0:
        return "";
      case 1:
        return std::string(static_cast<size_t>(Pick(70000)), static_cast<char>('a' + Pick(26)));
      default:
        return test::RandomBytes(static_cast<size_t>(Pick(40000)), FRandom());
    }
  }

  // Whole seconds in the past, some of them odd, unless a time is given.
  void Put(const fs::path& File, const std::string& Data, std::optional<time_t> Given = std::nullopt) {
    if (fs::exists(File)) return;  // the generator met a name twice
    test::WriteFile(File, Data);
    const time_t When = Given ? *Given : 1'500'000'000 + Pick(200'000'000);
    const long Part = Given ? 500'000'000 : 0;
    const struct timespec Times[2] = {{When, Part}, {When, Part}};
    ASSERT_EQ(utimensat(AT_FDCWD, File.c_str(), Times, 0), 0);
    if (Pick(5) == 0) fs::permissions(File, fs::perms::owner_write | fs::perms::group_write |
                                                fs::perms::others_write,
                                      fs::perm_options::remove);
  }

  std::mt19937 FRandom;
};

// Message boxes answer OK; the format empties the folder card.
class TFormattingServices : public platform::THeadlessWindowServices {
 public:
  int MessageBox(platform::HWND, const std::string& Text, const std::string& Caption,
                 uint32_t) override {
    Boxes += Caption + "|" + Text + "\n";
    return platform::IDOK;
  }
  uint32_t SHFormatDrive(platform::HWND, uint32_t Drive, uint32_t, uint32_t) override {
    return platform::FormatDrive(Drive);
  }
  std::string Boxes;
};

class CardRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* Old = std::getenv("TMPDIR");
    if (Old != nullptr) FOldTmp = Old;
    setenv("TMPDIR", (Dir / "tmp").c_str(), 1);
    fs::create_directories(Dir / "tmp");
    TCardMaker(0x5EED13).Make(Dir / "card");
    Original = Scan(Dir / "card");
  }
  void TearDown() override {
    // Read-only files and folders go with the test folder.
    for (auto& E : fs::recursive_directory_iterator(Dir.Path()))
      fs::permissions(E.path(), fs::perms::owner_all, fs::perm_options::add);
    if (FOldTmp)
      setenv("TMPDIR", FOldTmp->c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  // What differs between the card and a restored tree, one line each.
  std::string Differences(const fs::path& Restored) const {
    const TCard Got = Scan(Restored);
    std::string Out;
    for (const auto& [Name, E] : Original) {
      auto It = Got.find(Name);
      if (It == Got.end())
        Out += "missing: " + Name + "\n";
      else if (!(It->second == E))
        Out += "differs: " + Name + "\n";
    }
    for (const auto& [Name, E] : Got)
      if (Original.count(Name) == 0) Out += "extra: " + Name + "\n";
    return Out;
  }
  std::string P(const std::string& Rel) const { return (Dir / Rel).string(); }

  test::TTempDir Dir;
  TCard Original;

 private:
  std::optional<std::string> FOldTmp;
};

TEST_F(CardRoundTrip, HostileCardsComeBackByteForByte) {
  ASSERT_GT(Original.size(), 80u);
  fs::create_directories(Dir / "by-program");
  fs::create_directories(Dir / "in-process");

  // The zemcard program.
  const std::string Program = std::string(ZEM_BINARY_DIR) + "/cli/zemcard";
  ASSERT_TRUE(fs::exists(Program)) << "build the zemcard target first";
  const auto Run = [&](const std::string& Args) {
    const int Rc = std::system((Program + " " + Args + " >>'" + P("log") + "' 2>&1").c_str());
    return WIFEXITED(Rc) ? WEXITSTATUS(Rc) : -1;
  };
  ASSERT_EQ(Run("backup --folder '" + P("card") + "' '" + P("p.IMG") + "'"), 0) << test::ReadFile(Dir / "log");
  ASSERT_EQ(Run("restore --yes '" + P("p.IMG") + "' --folder '" + P("by-program") + "'"), 0)
      << test::ReadFile(Dir / "log");
  EXPECT_EQ(Differences(Dir / "by-program"), "");

  // The card operations, stored rather than deflated.
  auto Table = std::make_unique<platform::TFakeDriveTable>();
  Table->AddDrive('F', P("card"), "HOSTILE", 1ull << 30);
  Table->AddDrive('G', P("in-process"), "OTHER", 1ull << 30);
  platform::TDriveTableScope Scope(std::move(Table));
  auto Owned = std::make_unique<TFormattingServices>();
  TFormattingServices& Services = *Owned;
  auto Previous = platform::InstallWindowServices(std::move(Owned));
  TArcZip Zip;
  ConfigureCardComponent(Zip);
  TTimer Timer;
  Timer.SetEnabled(false);
  const TBackupOutcome B = BackupCard(platform::FromNativePath(P("c.IMG")), "F:\\", Zip, kCompressNone);
  EXPECT_TRUE(B.Complete()) << Services.Boxes;
  const TRestoreOutcome R = RestoreCard(platform::FromNativePath(P("c.IMG")), "G:\\", Zip, Timer);
  EXPECT_TRUE(R.Complete()) << R.Cause << "\n" << Services.Boxes;
  platform::InstallWindowServices(std::move(Previous));
  EXPECT_EQ(Differences(Dir / "in-process"), "");
}

}  // namespace
}  // namespace zem
