// Tests of the card operations against fake cards (temporary folders in the
// fake drive table) and recording window services.
#include "core/card_ops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/reader/arc_exceptions.h"
#include "common/test_support.h"
#include "core/image.h"
#include "platform/drives.h"
#include "platform/format.h"
#include "platform/winapi.h"

namespace zem {
namespace {

namespace fs = std::filesystem;
using platform::HWND;

// Records every message box and format request in one event list; the
// format either runs the platform's format or answers a fixed result.
class TRecordingServices : public platform::THeadlessWindowServices {
 public:
  std::vector<std::string> Events;
  std::optional<uint32_t> FormatResult;           // unset: platform::FormatDrive
  std::function<void(const std::string&)> OnBox;  // runs inside a box
  int TimersRunning = 0;

  int MessageBox(HWND, const std::string& Text, const std::string& Caption, uint32_t) override {
    Events.push_back(Caption + "|" + Text);
    if (OnBox) OnBox(Text);
    return platform::IDOK;
  }
  uint32_t SHFormatDrive(HWND, uint32_t Drive, uint32_t FormatId, uint32_t Options) override {
    Events.push_back("format " + std::to_string(Drive) + " " + std::to_string(FormatId) + " " +
                     std::to_string(Options) + (TimersRunning == 1 ? " timer on" : " timer off"));
    return FormatResult ? *FormatResult : platform::FormatDrive(Drive);
  }
  void SetTimer(uintptr_t, uint32_t, std::function<void()>) override { ++TimersRunning; }
  void KillTimer(uintptr_t) override { --TimersRunning; }
};

// path relative to the card -> bytes, for every file below Root.
using TTree = std::map<std::string, std::string>;
TTree FilesOf(const fs::path& Root) {
  TTree T;
  for (auto& E : fs::recursive_directory_iterator(Root))
    if (E.is_regular_file()) T[fs::relative(E.path(), Root).string()] = test::ReadFile(E.path());
  return T;
}

// A card with nested folders, hidden, system-named and read-only files,
// empty files, an empty folder, a file of several MB and names with and
// without a code page 437 form.
void BuildRichCard(const fs::path& Card) {
  test::WriteFile(Card / "DCIM/100CANON/IMG_0001.JPG", test::RandomBytes(3'500'000, 1));
  test::WriteFile(Card / "DCIM/100CANON/IMG_0002.JPG", std::string(200'000, 'A'));
  test::WriteFile(Card / "DCIM/100CANON/deep/er/notes.txt", "nested three levels\n");
  test::WriteFile(Card / ".hidden", "hidden by its leading dot");
  test::WriteFile(Card / ".trash/old.jpg", test::RandomBytes(5000, 2));
  test::WriteFile(Card / "MISC/IO.SYS", "system-like name");
  test::WriteFile(Card / "MISC/readonly.txt", "read-only text");
  fs::permissions(Card / "MISC/readonly.txt",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  test::WriteFile(Card / "empty.dat", "");
  test::WriteFile(Card / "MISC/also_empty", "");
  fs::create_directories(Card / "EMPTYDIR");
  test::WriteFile(Card / "Grüße.txt", "code page 437 has these");
  test::WriteFile(Card / "MISC/日本語.txt", "no code page 437 form");
}

struct TImageParts {
  std::string Header;   // the first 1024 bytes of the image
  std::string Archive;  // the archive unwrapped from it
};
TImageParts SplitImage(const std::string& Image) {
  TImageParts P;
  P.Header = Image.substr(0, 1024);
  P.Archive = Image.substr(Image.size() - 1024) + Image.substr(1024, Image.size() - 2048);
  return P;
}
std::string Wrap(const std::string& Header, const std::string& Archive) {
  return Header + Archive.substr(1024) + Archive.substr(0, 1024);
}

uint32_t Le32(const std::string& S, size_t At) {
  uint32_t V = 0;
  for (int I = 3; I >= 0; --I) V = (V << 8) | static_cast<uint8_t>(S[At + static_cast<size_t>(I)]);
  return V;
}

int Shell(const std::string& Command) {
  const int Rc = std::system(Command.c_str());
  return WIFEXITED(Rc) ? WEXITSTATUS(Rc) : -1;
}

class CardOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Dir / "card");
    fs::create_directories(Dir / "other");
    fs::create_directories(Dir / "tmp");
    const char* Old = std::getenv("TMPDIR");
    if (Old != nullptr) FOldTmp = Old;
    // The temporary archive and the disk-copy image go to a folder of this test.
    setenv("TMPDIR", (Dir / "tmp").c_str(), 1);
    auto T = std::make_unique<platform::TFakeDriveTable>();
    Table = T.get();
    Table->AddDrive('F', (Dir / "card").string(), "CAMERA", 64ull << 20);
    Table->AddDrive('G', (Dir / "other").string(), "SPARE", 64ull << 20);
    FScope = std::make_unique<platform::TDriveTableScope>(std::move(T));
    auto S = std::make_unique<TRecordingServices>();
    Services = S.get();
    FPrevious = platform::InstallWindowServices(std::move(S));
    ConfigureCardComponent(Zip);
    // The window's handlers, as far as the messages go.
    Zip.OnZipComplete = [](TObject*, int32_t) {
      platform::WindowServices().MessageBox(nullptr, kMsgJobComplete, kTitleMessage, 0);
    };
    Zip.OnInCompleteZip = [](TObject*, TIncompleteZipMode&) {
      platform::WindowServices().MessageBox(nullptr, kMsgJobIncomplete, kTitleError, 0);
    };
    Timer.SetEnabled(false);
    Timer.SetInterval(50);
  }
  void TearDown() override {
    platform::InstallWindowServices(std::move(FPrevious));
    FScope.reset();
    if (FOldTmp)
      setenv("TMPDIR", FOldTmp->c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  // The temporary folder in native form (the platform's private folder in it).
  fs::path TempArchive() const { return platform::ToNativePath(CardTempDir() + kTempArchiveName); }
  // Backs up F: into Dir/<Name> and returns the image's bytes.
  std::string BackUp(const std::string& Name, int32_t Choice = kCompressFast) {
    BackupCard(platform::FromNativePath((Dir / Name).string()), "F:\\", Zip, Choice);
    return test::ReadFile(Dir / Name);
  }

  test::TTempDir Dir;
  platform::TFakeDriveTable* Table = nullptr;
  TRecordingServices* Services = nullptr;
  TArcZip Zip;
  TTimer Timer;

 private:
  std::optional<std::string> FOldTmp;
  std::unique_ptr<platform::TDriveTableScope> FScope;
  std::unique_ptr<platform::TWindowServices> FPrevious;
};

TEST_F(CardOpsTest, ConfigurationAndChoices) {
  EXPECT_TRUE(Zip.StorePaths() && Zip.Recurse() && Zip.IncludeHiddenFiles() &&
              Zip.IncludeSysFiles() && Zip.RecreateDirs() && Zip.DoAll() && Zip.ReplaceReadOnly());
  EXPECT_EQ(Zip.ZipAction(), zaReplace);
  EXPECT_EQ(Zip.OverwriteMode(), Always);
  EXPECT_EQ(Zip.IncompleteZipMode(), izAssumeNotAZip);
  EXPECT_EQ(Zip.MultiZipInfo().BlockSize(), 1457600);
  EXPECT_EQ(Zip.MultiZipInfo().MultiMode(), mmNone);
  EXPECT_EQ(kCardPassword, std::string("\xB9\xE3\xC7\xEF\xD4\xC6\xD4\xC6", 8));
  EXPECT_EQ(PackLevelForChoice(0), 0);
  EXPECT_EQ(PackLevelForChoice(1), 6);
  EXPECT_EQ(PackLevelForChoice(2), 9);
  // Any other choice leaves the level as it was.
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(4000, 3));
  Zip.SetPackLevel(3);
  BackUp("odd.IMG", 7);
  EXPECT_EQ(Zip.PackLevel(), 3);
}

TEST_F(CardOpsTest, BackupImagesAtEachChoiceUnwrapToTheCardsFiles) {
  BuildRichCard(Dir / "card");
  const TTree Card = FilesOf(Dir / "card");
  const std::string Password(kCardPassword);
  struct TCase {
    int32_t Choice;
    std::string Label, NameField;
  };
  const TCase Cases[] = {{kCompressNone, "CAMERA", std::string("ZEM0CAMERA\0\0", 12)},
                         {kCompressFast, "", std::string("ZEM0\0\0\0\0\0\0\0\0", 12)},
                         {kCompressHigh, "eleven char", "ZEM0ELEVEN C"}};
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Choice);
    Table->SetLabel('F', C.Label);
    Services->Events.clear();
    const std::string Image = BackUp("b" + std::to_string(C.Choice) + ".IMG", C.Choice);
    EXPECT_EQ(Services->Events, std::vector<std::string>{"Message|Job complete!"});

    // Every entry is encrypted, stored at choice 0 and deflated otherwise;
    // the empty folder leaves no entry.
    ASSERT_EQ(Zip.Count(), static_cast<int32_t>(Card.size()));
    for (int32_t I = 0; I < Zip.Count(); ++I) {
      const TZipHeaderInfo& H = Zip.EntryHeader(I);
      EXPECT_EQ(H.Flags() & 1, 1);
      if (H.UncompressedSize() > 0) {
        EXPECT_EQ(H.CompressionMethod(), C.Choice == kCompressNone ? 0 : 8) << Zip.EntryName(I);
      }
    }

    const TImageParts P = SplitImage(Image);
    EXPECT_EQ(P.Header.substr(0, 12), C.NameField);
    EXPECT_EQ(P.Header.find_first_not_of('\xFF', 12), std::string::npos);
    // The archive is N = image - 1024 bytes long and ends with its end
    // record: central directory offset + size + 22 = N.
    const size_t N = Image.size() - 1024;
    ASSERT_EQ(P.Archive.size(), N);
    ASSERT_EQ(P.Archive.substr(N - 22, 4), "PK\x05\x06");
    EXPECT_EQ(Le32(P.Archive, N - 6) + Le32(P.Archive, N - 10) + 22u, N);

    const fs::path Arc = Dir / ("b" + std::to_string(C.Choice) + ".zip");
    test::WriteFile(Arc, P.Archive);
    EXPECT_EQ(Shell("unzip -qq -t -P '" + Password + "' '" + Arc.string() + "' >/dev/null"), 0);
    const fs::path Out = Dir / ("u" + std::to_string(C.Choice));
    ASSERT_EQ(Shell("unzip -qq -P '" + Password + "' '" + Arc.string() + "' -d '" + Out.string() +
                    "' >/dev/null"),
              0);
    // Names outside ASCII depend on unzip's own code page choice: the
    // contents are compared as a whole, the ASCII names one by one.
    const TTree Got = FilesOf(Out);
    std::vector<std::string> A, B;
    for (auto& [Name, Bytes] : Card) A.push_back(Bytes);
    for (auto& [Name, Bytes] : Got) B.push_back(Bytes);
    std::sort(A.begin(), A.end());
    std::sort(B.begin(), B.end());
    EXPECT_TRUE(A == B);
    for (auto& [Name, Bytes] : Card) {
      if (std::all_of(Name.begin(), Name.end(), [](char Ch) { return Ch > 0; })) {
        EXPECT_TRUE(Got.count(Name) == 1 && Got.at(Name) == Bytes) << Name;
      }
    }
  }
}

TEST_F(CardOpsTest, BackupOverAnExistingImageHoldsOnlyTheCardsFiles) {
  test::WriteFile(Dir / "card/keep.bin", test::RandomBytes(3000, 4));
  test::WriteFile(Dir / "card/gone.bin", test::RandomBytes(3000, 5));
  BackUp("same.IMG");
  fs::remove(Dir / "card/gone.bin");
  BackUp("same.IMG");
  ASSERT_EQ(Zip.Count(), 1);
  EXPECT_EQ(Zip.EntryName(0), "keep.bin");
}

TEST_F(CardOpsTest, BackupOfACardWithoutFilesLeavesThePlainArchive) {
  fs::create_directories(Dir / "card/EMPTYDIR");
  try {
    BackUp("empty.IMG");
    ADD_FAILURE() << "the wrapping should fail";
  } catch (const EReadError& E) {
    EXPECT_EQ(E.Message(), "Stream read error");
  }
  EXPECT_EQ(Services->Events, std::vector<std::string>{"Message|Job complete!"});
  const std::string Left = test::ReadFile(Dir / "empty.IMG");
  EXPECT_EQ(Left.size(), 22u);
  EXPECT_EQ(Left.substr(0, 4), "PK\x05\x06");
}

TEST_F(CardOpsTest, RestoreReplacesStaleFilesWithTheBackedUpTree) {
  BuildRichCard(Dir / "card");
  const fs::path Stamped = Dir / "card/DCIM/100CANON/IMG_0002.JPG";
  fs::last_write_time(Stamped, fs::last_write_time(Stamped) - std::chrono::hours(24 * 400));
  BackUp("full.IMG");
  test::WriteFile(Dir / "other/stale.txt", "stale");
  test::WriteFile(Dir / "other/DCIM/stale.jpg", "stale");
  test::WriteFile(Dir / "other/MISC/readonly.txt", "in the way");
  fs::permissions(Dir / "other/MISC/readonly.txt", fs::perms::owner_write,
                  fs::perm_options::remove);
  Services->Events.clear();

  const TRestoreOutcome R =
      RestoreCard(platform::FromNativePath((Dir / "full.IMG").string()), "G:\\", Zip, Timer);
  EXPECT_EQ(R.Result, TRestoreResult::Restored);
  EXPECT_FALSE(R.ExtractFailed) << R.ExtractError;
  EXPECT_EQ(R.Extracted, R.Entries);
  // No message; the format ran for G (index 6) with the timer on, and the
  // timer is off again.
  EXPECT_EQ(Services->Events, std::vector<std::string>{"format 6 0 1 timer on"});
  EXPECT_EQ(Services->TimersRunning, 0);
  EXPECT_FALSE(Timer.Enabled());
  EXPECT_FALSE(fs::exists(TempArchive()));

  EXPECT_TRUE(FilesOf(Dir / "other") == FilesOf(Dir / "card"));
  for (auto& E : fs::recursive_directory_iterator(Dir / "card")) {
    if (!E.is_regular_file()) continue;
    const std::string Rel = fs::relative(E.path(), Dir / "card").string();
    const fs::path Copy = Dir / "other" / Rel;
    const auto Diff = fs::last_write_time(E.path()) - fs::last_write_time(Copy);
    EXPECT_LE(std::chrono::abs(Diff), std::chrono::seconds(2)) << Rel;
    EXPECT_EQ(platform::GetFileAttributesA(("F:\\" + Rel).c_str()),
              platform::GetFileAttributesA(("G:\\" + Rel).c_str()))
        << Rel;
  }
}

TEST_F(CardOpsTest, RestoreFailuresShowTheirMessageAndLeaveWhatTheyShould) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(300'000, 6));
  test::WriteFile(Dir / "card/b.txt", std::string(100'000, 'b'));
  const std::string Image = BackUp("ok.IMG");
  const std::string ImageWin = platform::FromNativePath((Dir / "ok.IMG").string());
  const uint64_t Need = 400'000;
  test::WriteFile(Dir / "other/stale.txt", "stale");
  auto Restore = [&](const std::string& Path) {
    Services->Events.clear();
    return RestoreCard(Path, "G:\\", Zip, Timer);
  };

  // Not an image: a plain archive, and the magic in lower case.
  const std::string Archive = SplitImage(Image).Archive;
  test::WriteFile(Dir / "plain.IMG", Archive);
  test::WriteFile(Dir / "lower.IMG", "zem0" + Image.substr(4));
  for (const char* Name : {"plain.IMG", "lower.IMG"}) {
    const TRestoreOutcome R = Restore(platform::FromNativePath((Dir / Name).string()));
    EXPECT_EQ(R.Result, TRestoreResult::NotAnImage);
    EXPECT_EQ(Services->Events,
              std::vector<std::string>{"Error!|File error, progress could not be continue!"});
    EXPECT_FALSE(fs::exists(TempArchive()));
  }

  // One byte too little room: temporary archive deleted, card untouched.
  Table->AddDrive('G', (Dir / "other").string(), "SPARE", Need - 1);
  EXPECT_EQ(Restore(ImageWin).Result, TRestoreResult::TooSmall);
  EXPECT_EQ(Services->Events, std::vector<std::string>{
                                  "Error!|Destnation media size is to small for the Backup file!"});
  EXPECT_FALSE(fs::exists(TempArchive()));
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));

  // Format cancelled: temporary archive kept, card untouched.
  Table->AddDrive('G', (Dir / "other").string(), "SPARE", Need);
  Services->FormatResult = platform::SHFMT_CANCEL;
  EXPECT_EQ(Restore(ImageWin).Result, TRestoreResult::FormatFailed);
  EXPECT_EQ(Services->Events, (std::vector<std::string>{
                                  "format 6 0 1 timer on",
                                  "Error!|Format card error, progress could not be continue!"}));
  EXPECT_TRUE(fs::exists(TempArchive()));
  EXPECT_EQ(test::ReadFile(TempArchive()), Archive);
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));
  EXPECT_FALSE(Timer.Enabled());

  // Need equal to the capacity passes (the capacity is the whole size, so
  // the files already on the card do not count against it).
  Services->FormatResult.reset();
  const TRestoreOutcome R = Restore(ImageWin);
  EXPECT_EQ(R.Result, TRestoreResult::Restored);
  EXPECT_EQ(R.Need, Need);
  EXPECT_EQ(R.Extracted, 2);
  EXPECT_TRUE(FilesOf(Dir / "other") == FilesOf(Dir / "card"));
  EXPECT_FALSE(fs::exists(TempArchive()));
}

TEST_F(CardOpsTest, ImageWithoutEndRecordIsIncompleteThenNotAZip) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(5000, 7));
  const TImageParts P = SplitImage(BackUp("ok.IMG"));
  test::WriteFile(Dir / "cut.IMG", Wrap(P.Header, P.Archive.substr(0, P.Archive.size() - 22)));
  test::WriteFile(Dir / "other/stale.txt", "stale");
  Services->Events.clear();
  try {
    RestoreCard(platform::FromNativePath((Dir / "cut.IMG").string()), "G:\\", Zip, Timer);
    ADD_FAILURE() << "the restore should fail";
  } catch (const ENotAZipFile& E) {
    EXPECT_EQ(E.Message(), "Not a valid zip file!");
  }
  EXPECT_EQ(Services->Events, std::vector<std::string>{"Error!|Job incomplete!"});
  EXPECT_TRUE(fs::exists(TempArchive()));
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));
}

TEST_F(CardOpsTest, ExtractionFailureIsSilentAndCounted) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(5000, 8));
  test::WriteFile(Dir / "card/b.bin", test::RandomBytes(5000, 9));
  std::string Image = BackUp("ok.IMG", kCompressNone);
  Image[Image.size() / 2] ^= 0x55;  // inside the stored data, past the header block
  test::WriteFile(Dir / "bad.IMG", Image);
  Services->Events.clear();
  const TRestoreOutcome R =
      RestoreCard(platform::FromNativePath((Dir / "bad.IMG").string()), "G:\\", Zip, Timer);
  EXPECT_EQ(R.Result, TRestoreResult::Restored);
  EXPECT_EQ(R.Entries, 2);
  EXPECT_LT(R.Extracted, 2);
  EXPECT_EQ(Services->Events, std::vector<std::string>{"format 6 0 1 timer on"});
  EXPECT_FALSE(fs::exists(TempArchive()));
}

TEST_F(CardOpsTest, DiskCopyOrderStoredLevelAndImageRemoved) {
  BuildRichCard(Dir / "card");
  const TTree Original = FilesOf(Dir / "card");
  test::WriteFile(Dir / "other/stale.txt", "stale");
  // The stored level is checked on the archive as Zip ends.
  std::vector<uint16_t> Methods;
  Zip.OnZipComplete = [&](TObject*, int32_t) {
    for (int32_t I = 0; I < Zip.Count(); ++I)
      if (Zip.EntryHeader(I).UncompressedSize() > 0)
        Methods.push_back(Zip.EntryHeader(I).CompressionMethod());
    platform::WindowServices().MessageBox(nullptr, kMsgJobComplete, kTitleMessage, 0);
  };
  // The user swaps the card: drive F now shows the other folder.
  Services->OnBox = [&](const std::string& Text) {
    if (Text == kMsgChangeCard)
      Table->AddDrive('F', (Dir / "other").string(), "SPARE", 64ull << 20);
  };
  std::vector<int32_t> Progress;
  const TRestoreOutcome R =
      DiskCopyCard("F:\\", Zip, Timer, nullptr, [&](int32_t P) { Progress.push_back(P); });
  EXPECT_EQ(R.Result, TRestoreResult::Restored);
  EXPECT_EQ(Services->Events,
            (std::vector<std::string>{"Message|Job complete!",
                                      "Message!|Read complete, please change a card and press OK",
                                      "format 5 0 1 timer on", "Message!|DiskCopy Complete!"}));
  EXPECT_EQ(Progress, std::vector<int32_t>{0});
  EXPECT_EQ(Zip.PackLevel(), 0);
  EXPECT_FALSE(Methods.empty());
  EXPECT_TRUE(std::all_of(Methods.begin(), Methods.end(), [](uint16_t M) { return M == 0; }));
  EXPECT_FALSE(fs::exists(platform::ToNativePath(CardTempDir() + kDiskCopyImageName)));
  EXPECT_TRUE(FilesOf(Dir / "other") == Original);
}

}  // namespace
}  // namespace zem
