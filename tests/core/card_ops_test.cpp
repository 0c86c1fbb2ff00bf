// Tests of the card operations against fake cards (temporary folders in the
// fake drive table) and recording window services.
#include "core/card_ops.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/reader/arc_exceptions.h"
#include "common/test_support.h"
#include "core/image.h"
#include "platform/card_guard.h"
#include "platform/drives.h"
#include "platform/fault_file_system.h"
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
  std::function<void()> OnFormat;                 // runs as the format starts
  int TimersRunning = 0;

  int Answer = platform::IDOK;  // of a box with more buttons than OK

  int MessageBox(HWND, const std::string& Text, const std::string& Caption, uint32_t Flags) override {
    Events.push_back(Caption + "|" + Text);
    if (OnBox) OnBox(Text);
    return (Flags & 0x0F) == platform::MB_OK ? platform::IDOK : Answer;
  }
  uint32_t SHFormatDrive(HWND, uint32_t Drive, uint32_t FormatId, uint32_t Options) override {
    Events.push_back("format " + std::to_string(Drive) + " " + std::to_string(FormatId) + " " +
                     std::to_string(Options) + (TimersRunning == 1 ? " timer on" : " timer off"));
    if (OnFormat) OnFormat();
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
  // The work files (ZEM0-..., ZEM1-...) left in the private temporary folder.
  std::vector<std::string> WorkFiles() const {
    std::vector<std::string> Names;
    for (auto& E : fs::recursive_directory_iterator(Dir / "tmp"))
      if (E.path().filename().string().rfind("ZEM", 0) == 0) Names.push_back(E.path().string());
    return Names;
  }
  std::string Win(const std::string& Name) const {
    return platform::FromNativePath((Dir / Name).string());
  }
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

    // Every file entry is encrypted, stored at choice 0; otherwise deflated
    // when that saves something worth it (the long run of one letter) and
    // stored when not (the random photos, the short texts); the empty
    // folder is an entry of its own (no data).
    ASSERT_EQ(Zip.Count(), static_cast<int32_t>(Card.size()) + 1);
    int32_t Folders = 0;
    for (int32_t I = 0; I < Zip.Count(); ++I) {
      const TZipHeaderInfo& H = Zip.EntryHeader(I);
      if (H.FileName().empty()) {
        EXPECT_EQ(H.FullName(), "EMPTYDIR\\");
        ++Folders;
        continue;
      }
      EXPECT_EQ(H.Flags() & 1, 1);
      if (H.UncompressedSize() > 0) {
        const bool Deflated = C.Choice != kCompressNone && H.FileName() == "IMG_0002.JPG";
        EXPECT_EQ(H.CompressionMethod(), Deflated ? 8 : 0) << Zip.EntryName(I);
      }
    }
    EXPECT_EQ(Folders, 1);

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
    EXPECT_TRUE(fs::is_directory(Out / "EMPTYDIR"));
    // Entries of host Unix with UTF-8 names: unzip gives every name as it
    // is on the card, those outside ASCII too.
    EXPECT_TRUE(FilesOf(Out) == Card);
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

TEST_F(CardOpsTest, ACardWithoutFilesRoundTripsThroughAValidImage) {
  fs::create_directories(Dir / "card");
  const std::string Image = BackUp("empty.IMG");
  EXPECT_EQ(Services->Events, std::vector<std::string>{"Message|Job complete!"});
  ASSERT_EQ(Image.size(), 2048u);  // the archive padded to 1024 bytes, and the header block
  const std::string Archive = SplitImage(Image).Archive;
  test::WriteFile(Dir / "empty.zip", Archive);
  EXPECT_EQ(Shell("unzip -qq -t '" + (Dir / "empty.zip").string() + "' >/dev/null 2>&1"), 1)
      << "an empty archive: unzip has nothing to test, but reads it";
  EXPECT_EQ(Archive.substr(Archive.rfind("PK\x05\x06"), 4), "PK\x05\x06");

  test::WriteFile(Dir / "other/stale.txt", "stale");
  Services->Events.clear();
  const TRestoreOutcome R = RestoreCard(Win("empty.IMG"), "G:\\", Zip, Timer);
  EXPECT_TRUE(R.Complete()) << R.Cause;
  EXPECT_EQ(R.Entries, 0);
  EXPECT_TRUE(fs::is_empty(Dir / "other"));
  EXPECT_TRUE(WorkFiles().empty());
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
  EXPECT_TRUE(WorkFiles().empty());

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

// An image written before archives took the Unix host (host MS-DOS, code
// page 437 names where they fit, DOS attributes, DOS times) restores with
// every name, byte, attribute and time it had.
TEST_F(CardOpsTest, AnImageOfTheOldFormRestoresExactly) {
  fs::copy_file(fs::path(ZEM_TEST_DATA) / "images/old-style-dos-host.IMG", Dir / "old.IMG");
  const TRestoreOutcome R = RestoreCard(Win("old.IMG"), "G:\\", Zip, Timer);
  ASSERT_TRUE(R.Complete()) << R.Cause << R.ExtractError;
  const TTree Want = {{".hidden", "hidden\n"},
                      {"DCIM/100CANON/IMG_0001.JPG", "jpeg bytes\n"},
                      {"Grüße.txt", "code page 437 has these\n"},
                      {"MISC/readonly.txt", "read-only\n"},
                      {"MISC/日本語.txt", "no code page 437 form\n"}};
  EXPECT_TRUE(FilesOf(Dir / "other") == Want);
  // 2021-06-15 10:20:30 as a DOS date and time, in the zone it was read in.
  constexpr int32_t kStored = 0x52CF528F;
  for (const auto& [Name, Bytes] : Want) {
    std::string Rel = Name;
    std::replace(Rel.begin(), Rel.end(), '/', '\\');
    EXPECT_EQ(platform::FileAge("G:\\" + Rel), kStored) << Name;
    const uint32_t Attr = platform::GetFileAttributesA(("G:\\" + Rel).c_str());
    EXPECT_EQ((Attr & platform::FILE_ATTRIBUTE_READONLY) != 0, Name == "MISC/readonly.txt") << Name;
  }
}

// A link that stays on the card is backed up as a link and restored as
// one; a link leaving the card is left out, named with its target, and
// what it leads to is never packed.
TEST_F(CardOpsTest, LinksOnTheCardAreKeptAndLinksLeavingItAreLeftOutByName) {
  test::WriteFile(Dir / "card/DCIM/a.jpg", "a");
  test::WriteFile(Dir / "secret.txt", "off the card");
  fs::create_symlink("DCIM/a.jpg", Dir / "card/inside");
  fs::create_symlink("../secret.txt", Dir / "card/outside");
  fs::create_symlink(Dir / "secret.txt", Dir / "card/absolute");
  fs::create_symlink(Dir.Path(), Dir / "card/folder");
  std::vector<std::string> Skipped;
  Zip.OnSkippingFile = [&](TObject*, TSkipReason, const std::string& Name, int32_t, bool&) {
    Skipped.push_back(platform::ToNativePath(Name) + ": " + Zip.SkipCause());
  };
  BackUp("links.IMG");
  std::sort(Skipped.begin(), Skipped.end());
  const std::string Card = (Dir / "card").string();
  EXPECT_EQ(Skipped, (std::vector<std::string>{
                         Card + "/absolute: symbolic link to \"" + (Dir / "secret.txt").string() +
                             "\", which leads outside " + Card + ": not stored",
                         Card + "/folder: symbolic link to \"" + Dir.Path().string() +
                             "\", which leads outside " + Card + ": not stored",
                         Card + "/outside: symbolic link to \"../secret.txt\", which leads outside " + Card +
                             ": not stored"}));
  ASSERT_EQ(Zip.Count(), 2);
  EXPECT_EQ(Zip.EntryUncompressedSize(1) + Zip.EntryUncompressedSize(0), 1u + 10u);

  const TRestoreOutcome R = RestoreCard(Win("links.IMG"), "G:\\", Zip, Timer);
  ASSERT_TRUE(R.Complete()) << R.Cause << R.ExtractError;
  ASSERT_TRUE(fs::is_symlink(Dir / "other/inside"));
  EXPECT_EQ(fs::read_symlink(Dir / "other/inside"), "DCIM/a.jpg");
  EXPECT_EQ(test::ReadFile(Dir / "other/inside"), "a");
}

TEST_F(CardOpsTest, RestoreFailuresShowTheirMessageAndLeaveTheCardAlone) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(300'000, 6));
  test::WriteFile(Dir / "card/b.txt", std::string(100'000, 'b'));
  const std::string Image = BackUp("ok.IMG");
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
    const TRestoreOutcome R = Restore(Win(Name));
    EXPECT_EQ(R.Result, TRestoreResult::NotAnImage);
    EXPECT_EQ(Services->Events,
              std::vector<std::string>{"Error!|File error, progress could not be continued!"});
    EXPECT_TRUE(WorkFiles().empty());
  }

  // The room the files take is counted in the card's allocation units: one
  // unit too little is refused, the card untouched.
  Table->AddDrive('G', (Dir / "other").string(), "SPARE", 64ull << 20);
  Services->FormatResult = platform::SHFMT_CANCEL;
  const uint64_t Need = Restore(Win("ok.IMG")).Need;
  EXPECT_GE(Need, 400'000u);
  Table->AddDrive('G', (Dir / "other").string(), "SPARE", Need - 1);
  TRestoreOutcome R = Restore(Win("ok.IMG"));
  EXPECT_EQ(R.Result, TRestoreResult::TooSmall);
  ASSERT_EQ(Services->Events.size(), 1u);
  EXPECT_EQ(Services->Events[0].rfind(
                "Error!|Destination media size is too small for the backup file!\nthe files need ", 0),
            0u)
      << Services->Events[0];
  EXPECT_TRUE(WorkFiles().empty());
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));

  // The erasure declined is a cancel, not an error; a format that fails is
  // an error. Either way: work file removed, card untouched.
  Table->AddDrive('G', (Dir / "other").string(), "SPARE", Need);
  EXPECT_EQ(Restore(Win("ok.IMG")).Result, TRestoreResult::Cancelled);
  EXPECT_EQ(Services->Events, (std::vector<std::string>{
                                  "format 6 0 1 timer on",
                                  "Message|Restore cancelled: the card was not touched."}));
  Services->FormatResult = platform::SHFMT_ERROR;
  EXPECT_EQ(Restore(Win("ok.IMG")).Result, TRestoreResult::FormatFailed);
  EXPECT_EQ(Services->Events, (std::vector<std::string>{
                                  "format 6 0 1 timer on",
                                  "Error!|Format card error, progress could not be continued!"}));
  EXPECT_TRUE(WorkFiles().empty());
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));
  EXPECT_FALSE(Timer.Enabled());

  // Need equal to the room passes.
  Services->FormatResult.reset();
  R = Restore(Win("ok.IMG"));
  EXPECT_TRUE(R.Complete()) << R.Cause;
  EXPECT_EQ(R.Extracted, 2);
  EXPECT_TRUE(FilesOf(Dir / "other") == FilesOf(Dir / "card"));
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(CardOpsTest, DamagedImagesAreRefusedBeforeTheCardIsTouched) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(5000, 7));
  test::WriteFile(Dir / "card/b.bin", test::RandomBytes(5000, 8));
  const std::string Image = BackUp("ok.IMG", kCompressNone);
  const TImageParts P = SplitImage(Image);
  std::string Flipped = Image;
  Flipped[Image.size() / 2] ^= 0x55;  // inside the stored data, past the header block
  const struct {
    const char* Name;
    std::string Bytes;
  } Cases[] = {
      {"no-end-record.IMG", Wrap(P.Header, P.Archive.substr(0, P.Archive.size() - 22))},
      {"flipped.IMG", Flipped},
      {"header-only.IMG", P.Header},  // an image cut after its header block
      {"cut.IMG", Image.substr(0, Image.size() / 2)},
  };
  test::WriteFile(Dir / "other/stale.txt", "stale");
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    test::WriteFile(Dir / C.Name, C.Bytes);
    Services->Events.clear();
    const TRestoreOutcome R = RestoreCard(Win(C.Name), "G:\\", Zip, Timer);
    EXPECT_EQ(R.Result, TRestoreResult::Damaged);
    ASSERT_EQ(Services->Events.size(), 1u);  // no format, one message with its cause
    EXPECT_EQ(Services->Events[0].rfind("Error!|The backup file is damaged: the card was not "
                                        "touched.\n",
                                        0),
              0u)
        << Services->Events[0];
    EXPECT_FALSE(R.Cause.empty());
    EXPECT_EQ(FilesOf(Dir / "other").size(), 1u);
    EXPECT_TRUE(WorkFiles().empty());
  }
}

// The archive is read inside the image, never copied: a read fault in the
// image's moved last block or in its body refuses the restore before the
// format, and a good image restores without a byte of work file written.
TEST_F(CardOpsTest, TheImageIsReadInPlaceAndItsReadFaultsRefuseBeforeTheFormat) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(5000, 7));
  test::WriteFile(Dir / "card/b.bin", test::RandomBytes(5000, 8));
  const auto Size = static_cast<int64_t>(BackUp("ok.IMG", kCompressNone).size());
  test::WriteFile(Dir / "other/stale.txt", "stale");
  for (const int64_t At : {Size - 1024 + 40, int64_t{1024} + 100}) {  // the moved block, the body
    SCOPED_TRACE(At);
    platform::TFaultFileSystem Fault;
    const int Id = Fault.Add(
        {.Op = platform::TFsOp::Read, .Path = (Dir / "ok.IMG").string(), .Error = EIO, .Offset = At});
    Services->Events.clear();
    TRestoreOutcome R;
    {
      platform::TFileSystemOverride Guard(Fault);
      R = RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer);
    }
    EXPECT_GT(Fault.Fired(Id), 0);
    EXPECT_EQ(R.Result, TRestoreResult::Damaged);
    ASSERT_EQ(Services->Events.size(), 1u);  // no format
    EXPECT_EQ(FilesOf(Dir / "other"), (TTree{{"stale.txt", "stale"}}));
  }
  platform::TFaultFileSystem NoCopy;
  const int Copy = NoCopy.Add({.Op = platform::TFsOp::Write, .Path = "*/ZEM0-*", .Error = ENOSPC});
  TRestoreOutcome R;
  {
    platform::TFileSystemOverride Guard(NoCopy);
    R = RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer);
  }
  EXPECT_EQ(R.Result, TRestoreResult::Restored) << R.Cause;
  EXPECT_EQ(NoCopy.Fired(Copy), 0);
  EXPECT_EQ(FilesOf(Dir / "other"), FilesOf(Dir / "card"));
  EXPECT_TRUE(WorkFiles().empty());
}

// A format that stops part way has erased some of the card: the failure
// says so, with the system's reason, rather than only that it failed.
TEST_F(CardOpsTest, AFormatThatStopsPartWaySaysTheCardMayBePartlyErased) {
  test::WriteFile(Dir / "card/a.bin", "a");
  BackUp("ok.IMG");
  for (const char* Name : {"other/1.txt", "other/2.txt", "other/3.txt"}) test::WriteFile(Dir / Name, Name);
  platform::TFaultFileSystem Fault;
  const int Stuck = Fault.Add({.Op = platform::TFsOp::Unlink, .Path = "*/other/2.txt", .Error = EIO});
  Services->Events.clear();
  TRestoreOutcome R;
  {
    platform::TFileSystemOverride Guard(Fault);
    R = RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer);
  }
  EXPECT_GT(Fault.Fired(Stuck), 0);
  EXPECT_EQ(R.Result, TRestoreResult::FormatFailed);
  ASSERT_FALSE(Services->Events.empty());
  const std::string Reason = platform::SysErrorMessage(platform::ErrnoToWinError(EIO));
  EXPECT_EQ(Services->Events.back().rfind(std::string("Error!|") + kMsgFormatError + "\n" +
                                              kMsgFormatPartial, 0),
            0u)
      << Services->Events.back();
  EXPECT_NE(Services->Events.back().find(Reason), std::string::npos) << Services->Events.back();
  EXPECT_TRUE(fs::exists(Dir / "other/2.txt"));
}

TEST_F(CardOpsTest, ManySmallFilesDoNotFitASmallCard) {
  // 300 files of 10 bytes: 3000 bytes of data, but each takes a whole
  // allocation unit on the card.
  for (int I = 0; I < 300; ++I) test::WriteFile(Dir / "card" / ("f" + std::to_string(I)), "0123456789");
  BackUp("small.IMG");
  test::WriteFile(Dir / "other/stale.txt", "stale");
  Table->AddDrive('G', (Dir / "other").string(), "SPARE", 64 * 1024);
  const TRestoreOutcome R = RestoreCard(Win("small.IMG"), "G:\\", Zip, Timer);
  EXPECT_EQ(R.Result, TRestoreResult::TooSmall);
  EXPECT_GE(R.Need, 300u * 512);
  EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));
}

TEST_F(CardOpsTest, ACardReplacedDuringTheRestoreStopsItWithoutWritingElsewhere) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(50'000, 9));
  test::WriteFile(Dir / "card/b.bin", test::RandomBytes(50'000, 10));
  BackUp("ok.IMG");
  test::WriteFile(Dir / "third/keep.txt", "keep");
  // Between the test of the archive and the format, at the format itself,
  // and after the first file was written: drive G now shows another folder.
  const auto Swap = [&] { Table->AddDrive('G', (Dir / "third").string(), "THIRD", 64ull << 20); };
  for (int Where = 0; Where < 3; ++Where) {
    SCOPED_TRACE(Where);
    fs::remove_all(Dir / "other");
    test::WriteFile(Dir / "other/stale.txt", "stale");
    Table->AddDrive('G', (Dir / "other").string(), "SPARE", 64ull << 20);
    Services->Events.clear();
    Zip.OnTotalPercentDone = nullptr;
    Zip.OnEndUnZip = nullptr;
    Services->OnFormat = nullptr;
    if (Where == 0)
      Zip.OnTotalPercentDone = [&](TObject*, int32_t) { Swap(); };
    else if (Where == 1)
      Services->OnFormat = Swap;
    else  // the test of the image ends two entries, the extraction's first is the third
      Zip.OnEndUnZip = [&, Ended = 0](TObject*, int32_t, const std::string&) mutable {
        if (++Ended == 3) Swap();
      };
    const TRestoreOutcome R = RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer);
    EXPECT_EQ(R.Result, TRestoreResult::CardChanged);
    ASSERT_FALSE(Services->Events.empty());
    EXPECT_EQ(Services->Events.back().rfind(std::string("Error!|") + kMsgCardChanged, 0), 0u);
    // Before the format the card is untouched; after it, every file went
    // to the card the restore started on, none to the one swapped in.
    EXPECT_EQ(fs::exists(Dir / "other/stale.txt"), Where < 2);
    if (Where == 2) {
      EXPECT_TRUE(fs::exists(Dir / "other/b.bin"));
    }
    EXPECT_EQ(FilesOf(Dir / "third").size(), 1u);
    EXPECT_TRUE(WorkFiles().empty());
  }
  Zip.OnTotalPercentDone = nullptr;
  Zip.OnEndUnZip = nullptr;
  Services->OnFormat = nullptr;
}

TEST_F(CardOpsTest, ASecondOperationOnALockedCardIsRefused) {
  test::WriteFile(Dir / "card/a.bin", "a");
  BackUp("ok.IMG");
  test::WriteFile(Dir / "other/stale.txt", "stale");
  {
    const platform::TCardLock Held(*platform::ResolveCard('G'));
    ASSERT_TRUE(Held.Held());
    try {
      RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer);
      ADD_FAILURE() << "the restore should be refused";
    } catch (const ECardError& E) {
      EXPECT_EQ(E.Message(), kMsgCardBusy);
    }
    EXPECT_TRUE(fs::exists(Dir / "other/stale.txt"));
    const platform::TCardLock Again(*platform::ResolveCard('G'));
    EXPECT_FALSE(Again.Held());
  }
  // Once the lock is let go, the card can be used again.
  EXPECT_TRUE(RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer).Complete());
}

TEST_F(CardOpsTest, ExtractionThatFailsIsShownWithTheNumberOfFilesLeftOut) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(50'000, 10));
  test::WriteFile(Dir / "card/b.bin", test::RandomBytes(50'000, 11));
  BackUp("ok.IMG");
  test::WriteFile(Dir / "other/stale.txt", "stale");
  Services->Events.clear();
  platform::TFaultFileSystem Fault;
  // Extraction writes each file under a temporary name and renames it into
  // place: b.bin is the one that cannot be put there.
  const int Full = Fault.Add(
      {.Op = platform::TFsOp::Rename, .Path = (Dir / "other/b.bin").string(), .Error = EIO});
  TRestoreOutcome R;
  {
    platform::TFileSystemOverride Guard(Fault);
    R = RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer);
  }
  EXPECT_GT(Fault.Fired(Full), 0);
  EXPECT_EQ(R.Result, TRestoreResult::Incomplete);
  EXPECT_FALSE(R.Complete());
  ASSERT_EQ(Services->Events.size(), 2u);
  EXPECT_EQ(Services->Events[1].rfind("Error!|Job incomplete! 1 of 2 files were not restored", 0),
            0u)
      << Services->Events[1];
  EXPECT_TRUE(WorkFiles().empty());
}

// A worn card: a read error in the middle of a photo and a folder that
// cannot be listed. The backup packs everything else, names both with the
// reason, says "Job incomplete!" (never "Job complete!") and the image
// holds no shortened photo; a disk copy stops before the card change.
TEST_F(CardOpsTest, ABackupThatCannotReadEverythingNamesWhatItLeftOut) {
  test::WriteFile(Dir / "card/DCIM/photo.jpg", test::RandomBytes(300'000, 12));
  test::WriteFile(Dir / "card/DCIM/good.jpg", test::RandomBytes(20'000, 13));
  test::WriteFile(Dir / "card/LOCKED/inside.txt", "never listed");
  platform::TFaultFileSystem Fault;
  const int Worn = Fault.Add({.Op = platform::TFsOp::Read, .Path = "*/card/DCIM/photo.jpg",
                              .Error = EIO, .Offset = 100'000});
  const int Locked = Fault.Add({.Op = platform::TFsOp::Open, .Path = "*/card/LOCKED", .Error = EACCES});
  TBackupOutcome B;
  {
    platform::TFileSystemOverride Guard(Fault);
    B = BackupCard(Win("worn.IMG"), "F:\\", Zip, kCompressFast);
  }
  EXPECT_GT(Fault.Fired(Worn), 0);
  EXPECT_GT(Fault.Fired(Locked), 0);
  EXPECT_FALSE(B.Complete());
  EXPECT_TRUE(B.TestFailure.empty()) << B.TestFailure;
  ASSERT_EQ(B.LeftOut.size(), 2u);
  const std::string All = B.LeftOut[0] + "\n" + B.LeftOut[1];
  EXPECT_NE(All.find((Dir / "card/DCIM/photo.jpg").string() + ": read error at byte 100000"),
            std::string::npos) << All;
  EXPECT_NE(All.find((Dir / "card/LOCKED").string() + ": the folder cannot be read"), std::string::npos)
      << All;
  ASSERT_EQ(Services->Events.size(), 1u);
  EXPECT_EQ(Services->Events[0].rfind("Error!|Job incomplete!\n2 files or folders were left out:", 0), 0u)
      << Services->Events[0];
  // The image is whole and holds the rest, never part of the photo.
  const TRestoreOutcome R = RestoreCard(Win("worn.IMG"), "G:\\", Zip, Timer);
  EXPECT_TRUE(R.Complete()) << R.Cause;
  EXPECT_EQ(FilesOf(Dir / "other"), (TTree{{"DCIM/good.jpg", test::ReadFile(Dir / "card/DCIM/good.jpg")}}));

  Services->Events.clear();
  {
    platform::TFileSystemOverride Guard(Fault);
    const TRestoreOutcome Copy = DiskCopyCard("F:\\", Zip, Timer, nullptr, {});
    EXPECT_EQ(Copy.Result, TRestoreResult::Incomplete);
  }
  ASSERT_EQ(Services->Events.size(), 1u);
  EXPECT_EQ(Services->Events[0].rfind("Error!|Job incomplete!", 0), 0u);
  EXPECT_TRUE(WorkFiles().empty());
}

// A card whose directory gives a name that cannot be looked at (a worn
// card's entry, a folder that can be listed but not searched): the walk
// does not pass over it in silence.
TEST_F(CardOpsTest, ANameTheWalkCannotLookAtIsLeftOutByName) {
  test::WriteFile(Dir / "card/DCIM/good.jpg", test::RandomBytes(2'000, 16));
  test::WriteFile(Dir / "card/DCIM/worn.jpg", test::RandomBytes(2'000, 17));
  test::WriteFile(Dir / "card/SHUT/inside.txt", "listed, never looked at");
  platform::TFaultFileSystem Fault;
  const int Worn = Fault.Add({.Op = platform::TFsOp::Stat, .Path = "*/card/DCIM/worn.jpg", .Error = EIO});
  const int Shut = Fault.Add({.Op = platform::TFsOp::Stat, .Path = "*/card/SHUT/*", .Error = EACCES});
  TBackupOutcome B;
  {
    platform::TFileSystemOverride Guard(Fault);
    B = BackupCard(Win("walk.IMG"), "F:\\", Zip, kCompressFast);
  }
  EXPECT_GT(Fault.Fired(Worn), 0);
  EXPECT_GT(Fault.Fired(Shut), 0);
  EXPECT_FALSE(B.Complete());
  std::string All;
  for (const std::string& Line : B.LeftOut) All += Line + "\n";
  EXPECT_EQ(B.LeftOut.size(), 2u) << All;
  EXPECT_NE(All.find((Dir / "card/DCIM").string() + ": not every entry"), std::string::npos) << All;
  EXPECT_NE(All.find((Dir / "card/SHUT").string() + ": the folder cannot be read"), std::string::npos)
      << All;
}

// A disk that takes the image into its cache but fails to store it shows
// that only when the image is flushed: the backup must not end as
// complete before the image is on the disk.
TEST_F(CardOpsTest, AnImageTheDiskDoesNotKeepIsNotACompleteBackup) {
  test::WriteFile(Dir / "card/DCIM/photo.jpg", test::RandomBytes(30'000, 18));
  platform::TFaultFileSystem Fault;
  const int Lost = Fault.Add({.Op = platform::TFsOp::Sync, .Path = "*/lost.IMG", .Error = EIO});
  bool Raised = false;
  {
    platform::TFileSystemOverride Guard(Fault);
    try {
      BackupCard(Win("lost.IMG"), "F:\\", Zip, kCompressFast);
    } catch (const EImageNotStored& E) {
      Raised = true;
      EXPECT_NE(E.Message().find(strerror(EIO)), std::string::npos) << E.Message();
    }
  }
  EXPECT_GT(Fault.Fired(Lost), 0);
  EXPECT_TRUE(Raised);
}

// An image that cannot be read back whole fails its test: the backup
// says "Job incomplete!" with the cause, and never "Job complete!" first.
TEST_F(CardOpsTest, ABackupWhoseImageFailsItsTestNeverSaysComplete) {
  test::WriteFile(Dir / "card/DCIM/photo.jpg", test::RandomBytes(30'000, 19));
  platform::TFaultFileSystem Fault;
  const int Unreadable =
      Fault.Add({.Op = platform::TFsOp::Read, .Path = "*/unread.IMG", .Error = EIO, .Offset = 5000});
  TBackupOutcome B;
  {
    platform::TFileSystemOverride Guard(Fault);
    B = BackupCard(Win("unread.IMG"), "F:\\", Zip, kCompressFast);
  }
  EXPECT_GT(Fault.Fired(Unreadable), 0);
  EXPECT_TRUE(B.LeftOut.empty());
  EXPECT_FALSE(B.TestFailure.empty());
  ASSERT_EQ(Services->Events.size(), 1u);
  EXPECT_EQ(Services->Events[0].rfind("Error!|Job incomplete!", 0), 0u) << Services->Events[0];
}

// A card none of whose files can be read: no image, and the outcome names
// each file with its reason rather than only failing to make the image.
TEST_F(CardOpsTest, ACardWithNothingReadableSaysWhyThereIsNoImage) {
  test::WriteFile(Dir / "card/DCIM/a.jpg", test::RandomBytes(3'000, 20));
  test::WriteFile(Dir / "card/DCIM/b.jpg", test::RandomBytes(3'000, 21));
  platform::TFaultFileSystem Fault;
  Fault.Add({.Op = platform::TFsOp::Read, .Path = "*/card/DCIM/*.jpg", .Error = EIO});
  TBackupOutcome B;
  {
    platform::TFileSystemOverride Guard(Fault);
    B = BackupCard(Win("none.IMG"), "F:\\", Zip, kCompressFast);
  }
  EXPECT_FALSE(fs::exists(Dir / "none.IMG"));
  ASSERT_EQ(B.LeftOut.size(), 2u);
  EXPECT_NE(B.LeftOut[0].find("/card/DCIM/a.jpg: "), std::string::npos) << B.LeftOut[0];
  EXPECT_NE(B.LeftOut[1].find("/card/DCIM/b.jpg: "), std::string::npos) << B.LeftOut[1];
  EXPECT_EQ(B.TestFailure, "no image was written: no file of the card could be packed");
}

// The image is tested with the thread count the backup was given: one
// thread reads it through the calling thread's handles alone, more open
// one more handle per worker.
TEST_F(CardOpsTest, TheImageTestUsesTheBackupsThreadCount) {
  BuildRichCard(Dir / "card");
  std::map<int32_t, int> Opens;
  for (const int32_t Threads : {1, 3}) {
    platform::TFaultFileSystem Count;
    const int Check = Count.Add({.Op = platform::TFsOp::Open, .Path = "*.IMG", .Call = INT_MAX});
    Zip.SetThreads(Threads);
    {
      platform::TFileSystemOverride Guard(Count);
      EXPECT_TRUE(BackupCard(Win("t" + std::to_string(Threads) + ".IMG"), "F:\\", Zip, kCompressFast).Complete());
    }
    Opens[Threads] = Count.Seen(Check);
  }
  EXPECT_GT(Opens[1], 0);
  EXPECT_EQ(Opens[3], Opens[1] + 3);
}

// A card that keeps what it is told only in the page cache: every read of
// a.bin from the device gives one byte changed (a fake capacity that wraps
// around), b.bin cannot be read back at all. The restore reads every file
// back past the cache and names both; it is not complete.
class TGarblingFileSystem : public platform::TLinuxFileSystem {
 public:
  explicit TGarblingFileSystem(std::string Suffix) : FSuffix(std::move(Suffix)) {}
  int Open(const std::string& Path, int Flags, mode_t Mode = 0) override {
    const int Fd = TLinuxFileSystem::Open(Path, Flags, Mode);
    const bool Match = Path.size() >= FSuffix.size() &&
                       Path.compare(Path.size() - FSuffix.size(), FSuffix.size(), FSuffix) == 0;
    if (Fd >= 0 && Match && (Flags & O_ACCMODE) == O_RDONLY) FGarbled.insert(Fd);
    return Fd;
  }
  int Close(int Fd) override {
    FGarbled.erase(Fd);
    return TLinuxFileSystem::Close(Fd);
  }
  ssize_t Read(int Fd, void* Buffer, size_t Count) override {
    const ssize_t Got = TLinuxFileSystem::Read(Fd, Buffer, Count);
    if (Got > 0 && FGarbled.count(Fd) != 0) static_cast<char*>(Buffer)[0] ^= 0x20;
    return Got;
  }
  int DropCache(int Fd) override {
    ++Drops;
    return TLinuxFileSystem::DropCache(Fd);
  }
  int Drops = 0;

 private:
  std::string FSuffix;
  std::set<int> FGarbled;
};

TEST_F(CardOpsTest, ARestoreReadsEveryFileBackFromTheCard) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(50'000, 14));
  test::WriteFile(Dir / "card/b.bin", test::RandomBytes(50'000, 15));
  test::WriteFile(Dir / "card/c.bin", test::RandomBytes(50'000, 16));
  BackUp("ok.IMG");
  Services->Events.clear();
  TGarblingFileSystem Garbling("/other/a.bin");
  platform::TFaultFileSystem Fault(Garbling);
  const int Unreadable =
      Fault.Add({.Op = platform::TFsOp::Read, .Path = (Dir / "other/b.bin").string(), .Error = EIO});
  std::vector<int32_t> Progress;
  Zip.OnTotalPercentDone = [&](TObject*, int32_t P) { Progress.push_back(P); };
  TRestoreOutcome R;
  {
    platform::TFileSystemOverride Guard(Fault);
    R = RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer);
  }
  EXPECT_GT(Fault.Fired(Unreadable), 0);
  EXPECT_EQ(Garbling.Drops, 3);  // every file left the page cache before it was read
  EXPECT_EQ(R.Result, TRestoreResult::Incomplete);
  EXPECT_EQ(R.Differ,
            (std::vector<std::string>{
                (Dir / "other/a.bin").string() + ": differs from the backup when read back from the card",
                (Dir / "other/b.bin").string() +
                    ": cannot be read back from the card: Input/output error"}));
  ASSERT_EQ(Services->Events.size(), 2u);
  EXPECT_EQ(Services->Events[1].rfind("Error!|Job incomplete! 2 of 3 files were not restored\n"
                                      "2 files differ from the backup on the card:\n",
                                      0),
            0u)
      << Services->Events[1];
  // The read-back is the last part of the progress, which only grows.
  ASSERT_FALSE(Progress.empty());
  EXPECT_EQ(Progress.back(), 100);
  EXPECT_TRUE(std::is_sorted(Progress.begin(), Progress.end()));
  EXPECT_TRUE(WorkFiles().empty());
}

// Nothing is called restored before it reached the card: a flush of its
// whole file system the card refuses, or a file's pages the read-back
// cannot drop from the page cache (that flush covered every file, so
// they are not flushed one by one again), fails the restore with the
// system's reason.
TEST_F(CardOpsTest, AFlushTheCardRefusesFailsTheRestoreWithItsCause) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(50'000, 17));
  test::WriteFile(Dir / "card/b.bin", test::RandomBytes(50'000, 18));
  BackUp("ok.IMG");
  const struct {
    const char* Path;
    std::string Cause;
  } Cases[] = {
      {"other", "the card did not take what was written to it: Input/output error"},
      {"other/b.bin", (Dir / "other/b.bin").string() + ": cannot be read back from the card: Input/output error"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Path);
    platform::TFaultFileSystem Fault;
    const int Id = Fault.Add({.Op = platform::TFsOp::Sync, .Path = (Dir / C.Path).string(), .Error = EIO});
    Services->Events.clear();
    TRestoreOutcome R;
    {
      platform::TFileSystemOverride Guard(Fault);
      R = RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer);
    }
    EXPECT_GT(Fault.Fired(Id), 0);
    EXPECT_EQ(R.Result, TRestoreResult::Incomplete);
    EXPECT_NE(R.Cause.find(C.Cause), std::string::npos) << R.Cause;
    ASSERT_EQ(Services->Events.size(), 2u);
    EXPECT_EQ(Services->Events[1].rfind("Error!|Job incomplete! ", 0), 0u) << Services->Events[1];
  }
}

// The files read back are asked for from the device ahead of their turn.
// A file whose early request fails (its pages cannot be dropped then) is
// dropped again and read when its turn comes: nothing is taken from the
// page cache for it, and the restore is whole.
TEST_F(CardOpsTest, AFileWhoseReadAheadFailsIsStillReadFromTheCard) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(50'000, 21));
  test::WriteFile(Dir / "card/b.bin", test::RandomBytes(50'000, 22));
  BackUp("ok.IMG");
  platform::TFaultFileSystem Fault;
  const int Once =
      Fault.Add({.Op = platform::TFsOp::Sync, .Path = (Dir / "other/a.bin").string(), .Error = EIO, .Call = 1});
  TRestoreOutcome R;
  {
    platform::TFileSystemOverride Guard(Fault);
    R = RestoreCard(Win("ok.IMG"), "G:\\", Zip, Timer);
  }
  EXPECT_EQ(Fault.Fired(Once), 1);
  EXPECT_EQ(Fault.Seen(Once), 2);
  EXPECT_TRUE(R.Complete()) << R.Cause;
  EXPECT_TRUE(R.Differ.empty());
}

// A drive table that unmounts (as the UDisks2 one), recording each call;
// with a Refusal it keeps the card mounted and says why.
class TUnmountingTable : public platform::TFakeDriveTable {
 public:
  TUnmountingTable(const TFakeDriveTable& Drives, std::string Refusal)
      : TFakeDriveTable(Drives), FRefusal(std::move(Refusal)) {}
  bool Unmount(char Letter) override {
    Calls.push_back(Letter);
    if (FRefusal.empty()) return true;
    FLastFailure = FRefusal;
    platform::SetLastError(platform::ERROR_ACCESS_DENIED);
    return false;
  }
  std::vector<char> Calls;

 private:
  std::string FRefusal;
};

// The card is unmounted at the end of a restore that wrote to it, complete
// or not, and the messages say it can be removed; a card the restore never
// touched stays mounted; a card that cannot be unmounted is said to be so.
TEST_F(CardOpsTest, ARestoreThatWroteToTheCardUnmountsItAtTheEnd) {
  test::WriteFile(Dir / "card/a.bin", test::RandomBytes(50'000, 19));
  test::WriteFile(Dir / "card/b.bin", test::RandomBytes(50'000, 20));
  const std::string Image = BackUp("ok.IMG");
  test::WriteFile(Dir / "header-only.IMG", Image.substr(0, 1024));
  const struct {
    const char* Name;
    const char* Image;
    std::string Refusal;
    bool FailExtraction;
    TRestoreResult Result;
    std::vector<char> Calls;
    std::string Removal;
  } Cases[] = {
      {"complete", "ok.IMG", "", false, TRestoreResult::Restored, {'G'}, kMsgCardUnmounted},
      {"extraction failed", "ok.IMG", "", true, TRestoreResult::Incomplete, {'G'}, kMsgCardUnmounted},
      {"damaged", "header-only.IMG", "", false, TRestoreResult::Damaged, {}, ""},
      {"busy", "ok.IMG", "target is busy", false, TRestoreResult::Restored, {'G'},
       "Everything is written to the card, but it could not be unmounted (target is busy): eject "
       "it before you remove it."},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    auto Owned = std::make_unique<TUnmountingTable>(*Table, C.Refusal);
    TUnmountingTable& Unmounting = *Owned;
    platform::TDriveTableScope Scope(std::move(Owned));
    platform::TFaultFileSystem Fault;
    if (C.FailExtraction)
      Fault.Add({.Op = platform::TFsOp::Rename, .Path = (Dir / "other/b.bin").string(), .Error = EIO});
    Services->Events.clear();
    TRestoreOutcome R;
    {
      platform::TFileSystemOverride Guard(Fault);
      R = RestoreCard(Win(C.Image), "G:\\", Zip, Timer);
    }
    EXPECT_EQ(R.Result, C.Result);
    EXPECT_EQ(Unmounting.Calls, C.Calls);
    EXPECT_EQ(R.Unmounted, C.Removal == kMsgCardUnmounted);
    EXPECT_EQ(R.Removal, C.Removal);
    if (!R.Complete() && !C.Removal.empty()) {
      ASSERT_FALSE(Services->Events.empty());
      const std::string& Box = Services->Events.back();
      EXPECT_EQ(Box.substr(Box.size() - C.Removal.size()), C.Removal) << Box;
    }
  }
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
  EXPECT_TRUE(WorkFiles().empty());
  EXPECT_TRUE(FilesOf(Dir / "other") == Original);
}

// The change-card prompt answered while the card read is still in the
// drive: the copy stops before the format, the card and its files as they
// were (its only other copy is the work image, removed at the end).
TEST_F(CardOpsTest, DiskCopyNeverWritesOntoTheCardItRead) {
  BuildRichCard(Dir / "card");
  const TTree Original = FilesOf(Dir / "card");
  const TRestoreOutcome R = DiskCopyCard("F:\\", Zip, Timer, nullptr, {});
  EXPECT_EQ(R.Result, TRestoreResult::SameCard);
  EXPECT_EQ(Services->Events,
            (std::vector<std::string>{"Message|Job complete!",
                                      "Message!|Read complete, please change a card and press OK",
                                      std::string("Error!|") + kMsgDiskCopySameCard}));
  EXPECT_TRUE(FilesOf(Dir / "card") == Original);
  EXPECT_TRUE(WorkFiles().empty());
}

// Cancelled operations end as Cancelled and say what is on the card: the
// change-card box answered Cancel writes no card; a handler cancelling
// the extraction (the window's Cancel) leaves the files written so far.
TEST_F(CardOpsTest, CancelsSayWhatIsOnTheCard) {
  BuildRichCard(Dir / "card");
  test::WriteFile(Dir / "other/stale.txt", "stale");
  Services->Answer = platform::IDCANCEL;
  TRestoreOutcome R = DiskCopyCard("F:\\", Zip, Timer, nullptr, {});
  EXPECT_EQ(R.Result, TRestoreResult::Cancelled);
  EXPECT_EQ(Services->Events,
            (std::vector<std::string>{"Message|Job complete!",
                                      "Message!|Read complete, please change a card and press OK",
                                      "Message!|DiskCopy cancelled: no card was written."}));
  EXPECT_TRUE(WorkFiles().empty());

  BackUp("rich.IMG");
  bool Formatted = false;
  int Started = 0;
  Services->OnFormat = [&] { Formatted = true; };
  Zip.OnStartUnZip = [&](TObject*, int32_t, std::string&, bool&) {
    if (Formatted && ++Started == 3) throw EUserCanceled();
  };
  Services->Events.clear();
  R = RestoreCard(Win("rich.IMG"), "G:\\", Zip, Timer);
  EXPECT_EQ(R.Result, TRestoreResult::Cancelled);
  EXPECT_EQ(R.Extracted, 2);
  ASSERT_FALSE(Services->Events.empty());
  EXPECT_EQ(Services->Events.back(),
            Format("Message|Restore cancelled: 2 of %d files are on the card.", R.Entries));
  EXPECT_TRUE(WorkFiles().empty());
  Zip.OnStartUnZip = nullptr;
}

}  // namespace
}  // namespace zem
