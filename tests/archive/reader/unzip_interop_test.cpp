// Extraction of archives written by other tools: every entry of every
// fixture (legacy methods, encryption with and without data descriptors,
// Zip64, CP437 and UTF-8 names, split sets) against the SHA-256 its
// manifest gives, and the same archives checked without writing anything.
#include <fstream>
#include <map>
#include <sstream>

#include "arc_unzip_fixture.h"
#include "unzip_test_util.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

struct TExpected {
  int32_t Index = 0;
  bool IsDir = false;
  uint64_t Size = 0;
  std::string Sha256;
};

struct TArchiveRows {
  std::string Password;
  std::vector<TExpected> Entries;
};

std::map<std::string, TArchiveRows> LoadContents() {
  std::ifstream In(std::string(ZEM_TEST_DATA) + "/interop/contents.tsv");
  std::map<std::string, TArchiveRows> Out;
  std::string Line;
  while (std::getline(In, Line)) {
    std::istringstream Row(Line);
    std::string File, Password;
    TExpected E;
    int Dir = 0;
    Row >> File >> E.Index >> Dir >> E.Size >> E.Sha256 >> Password;
    E.IsDir = Dir != 0;
    Out[File].Password = Password == "-" ? "" : Password;
    Out[File].Entries.push_back(E);
  }
  return Out;
}

class UnzipInteropTest : public ReaderTest {
 protected:
  // The Windows-style name to open for a fixture: split sets under the
  // other tools' part names are found through the part-name event; 7-Zip
  // volumes are joined into one archive first.
  std::string Prepare(TArcUnZip& Zip, const std::string& File) {
    if (File.size() > 4 && File.compare(File.size() - 4, 4, ".001") == 0) {
      std::string Joined;
      const std::string Stem = File.substr(0, File.size() - 4);
      for (int Part = 1; fs::exists(InteropNative(Stem + Format(".%03d", Part))); ++Part)
        Joined += ReadFile(InteropNative(Stem + Format(".%03d", Part)));
      WriteFile(Dir / "joined.zip", Joined);
      return Temp("joined.zip");
    }
    Zip.OnFileNameForSplitPart = [](TObject*, std::string& FName, int32_t Part, TSplitPartType Type) {
      FName += Type == spLast ? std::string(".zip") : Format(".z%02d", Part);
    };
    return Interop(File);
  }
};

class UnzipInteropEngineTest : public UnzipInteropTest, public ::testing::WithParamInterface<TDeflateEngine> {};

INSTANTIATE_TEST_SUITE_P(Engines, UnzipInteropEngineTest,
                         ::testing::Values(TDeflateEngine::deAuto, TDeflateEngine::deZlib),
                         [](const auto& Info) { return Info.param == TDeflateEngine::deZlib ? "zlib" : "auto"; });

// Every fixture, extracted with each inflate engine: each file's bytes,
// each directory created, no entry failing.
TEST_P(UnzipInteropEngineTest, EveryFixtureEntryExtractsToItsManifestBytes) {
  const auto Contents = LoadContents();
  ASSERT_GT(Contents.size(), 35u);
  int Archive = 0;
  for (const auto& [File, Rows] : Contents) {
    SCOPED_TRACE(File);
    TArcUnZip Zip;
    Zip.SetDeflateEngine(GetParam());
    Zip.SetDoProcessMessages(false);
    const std::string Name = Prepare(Zip, File);
    Zip.SetZipName(Name);
    const std::string Dest = Temp("out" + std::to_string(++Archive));
    Zip.SetDestDir(Dest);
    Zip.SetRecreateDirs(true);
    Zip.SetOverwriteMode(Always);
    Zip.SetDoAll(true);
    Zip.SetPassword(Rows.Password);
    std::map<int32_t, std::string> Written;
    std::vector<std::string> Problems;
    Zip.OnEndUnZip = [&](TObject*, int32_t I, const std::string& FName) { Written[I] = FName; };
    Zip.OnSkippingFile = [&](TObject*, TSkipReason R, const std::string& FName, int32_t, bool&) {
      Problems.push_back(Format("skipped (%d): ", static_cast<int>(R)) + FName);
    };
    Zip.OnBadCRC = [&](TObject*, uint32_t, uint32_t, int32_t I) {
      Problems.push_back("bad CRC: entry " + std::to_string(I));
    };
    const int32_t Done = Zip.UnZip();
    EXPECT_TRUE(Problems.empty()) << Problems.front();
    EXPECT_EQ(Done, static_cast<int32_t>(Rows.Entries.size()));
    for (const TExpected& E : Rows.Entries) {
      SCOPED_TRACE(E.Index);
      if (E.IsDir) {
        EXPECT_EQ(Written.count(E.Index), 0u);
        continue;
      }
      ASSERT_EQ(Written.count(E.Index), 1u);
      const std::string Bytes = ReadFile(platform::ToNativePath(Written[E.Index]));
      EXPECT_EQ(Bytes.size(), E.Size);
      EXPECT_EQ(Sha256Hex(Bytes), E.Sha256);
    }
  }
}

// The same archives tested with the null output: every entry passes, and
// nothing is created, not even the destination folder.
TEST_F(UnzipInteropTest, TestingEveryFixtureWritesNothing) {
  const auto Contents = LoadContents();
  for (const auto& [File, Rows] : Contents) {
    SCOPED_TRACE(File);
    TArcUnZip Zip;
    Zip.SetDoProcessMessages(false);
    Zip.SetZipName(Prepare(Zip, File));
    Zip.SetDestDir(Temp("never"));
    Zip.SetRecreateDirs(true);
    Zip.SetDoAll(true);
    Zip.SetPassword(Rows.Password);
    int Bad = 0;
    Zip.OnBadCRC = [&](TObject*, uint32_t, uint32_t, int32_t) { ++Bad; };
    Zip.OnSkippingFile = [&](TObject*, TSkipReason, const std::string&, int32_t, bool&) { ++Bad; };
    EXPECT_EQ(Zip.TestZip(), static_cast<int32_t>(Rows.Entries.size()));
    EXPECT_EQ(Bad, 0);
  }
  EXPECT_FALSE(fs::exists(Dir / "never"));
}

// The Info-ZIP split set copied under this system's own part names (both
// schemes) extracts like the original.
TEST_F(UnzipInteropTest, SplitSetUnderOwnPartNames) {
  const auto Contents = LoadContents();
  const TArchiveRows& Rows = Contents.at("split/sp_infozip.zip");
  const std::string Parts[3] = {"split/sp_infozip.z01", "split/sp_infozip.z02", "split/sp_infozip.zip"};
  struct TScheme {
    TBlockMode Mode;
    const char* Names[3];
  } Schemes[] = {{bmStandard, {"own.zip.z01", "own.zip.z02", "own.zip"}},
                 {bmClassic, {"classic.001", "classic.002", "classic.003"}}};
  for (const TScheme& S : Schemes) {
    SCOPED_TRACE(S.Names[2]);
    for (int I = 0; I < 3; ++I) CopyFixture(Parts[I], S.Names[I]);
    TArcUnZip Zip;
    Zip.SetDoProcessMessages(false);
    Zip.SetBlockMode(S.Mode);
    Zip.SetZipName(Temp(S.Names[2]));
    Zip.SetDestDir(Temp(std::string("x_") + S.Names[2]));
    Zip.SetDoAll(true);
    Zip.SetRecreateDirs(true);
    std::map<int32_t, std::string> Written;
    Zip.OnEndUnZip = [&](TObject*, int32_t I, const std::string& FName) { Written[I] = FName; };
    EXPECT_EQ(Zip.UnZip(), static_cast<int32_t>(Rows.Entries.size()));
    for (const TExpected& E : Rows.Entries)
      if (!E.IsDir) {
        ASSERT_EQ(Written.count(E.Index), 1u);
        EXPECT_EQ(Sha256Hex(ReadFile(platform::ToNativePath(Written[E.Index]))), E.Sha256);
      }
  }
}

}  // namespace
}  // namespace zem::test
