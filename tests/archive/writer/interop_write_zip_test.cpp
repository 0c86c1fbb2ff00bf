// Archives written by the Zip operation, checked by other zip readers:
// unzip -t, 7-Zip's test and Python's zipfile accept them at every level,
// with and without a password, after rebuilds with each ZipAction, and the
// bytes they (and bsdtar) extract equal the sources. Every test runs with
// each deflate engine.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "writer_fixture.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

// Runs a peer tool with its messages in the output.
std::string RunTool(const std::string& Command, int& Status) {
  return test::RunCommand(Command + " 2>&1", Status);
}

bool Has(const std::string& Tool) { return test::HaveTool(Tool); }

std::string SevenZip() { return Has("7z") ? "7z" : Has("7zz") ? "7zz" : ""; }

// Python checks every entry against the source tree: name, size, CRC of the
// header and of the contents it decrypts and inflates itself, byte equality
// with the source file; prints "ok N" or the first difference.
const char* kCheckScript = R"(
import os, sys, zipfile, zlib
arc, src, pw, comment = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
z = zipfile.ZipFile(arc)
if z.comment.decode() != comment: sys.exit('comment %r' % z.comment)
n = 0
for i in z.infolist():
    path = os.path.join(src, i.filename)
    if i.is_dir():
        if not os.path.isdir(path): sys.exit('no folder ' + i.filename)
        continue
    d = z.read(i, pwd=pw.encode() if pw else None)
    want = open(path, 'rb').read()
    if d != want or i.file_size != len(want) or i.CRC != zlib.crc32(want):
        sys.exit('differs: ' + i.filename)
    if bool(i.flag_bits & 1) != bool(pw): sys.exit('encryption flag ' + i.filename)
    n += 1
print('ok', n)
)";

class InteropWriteZipTest : public WriterTest, public ::testing::WithParamInterface<TDeflateEngine> {
 protected:
  void SetUp() override {
    WriterTest::SetUp();
    if (!Has("unzip") || !Has("python3") || SevenZip().empty())
      GTEST_SKIP() << "unzip, 7-Zip and python3 are needed";
    Put("src/DCIM/100CANON/IMG_0001.JPG", RandomBytes(150000, 1));
    Put("src/DCIM/100CANON/notes.txt", std::string(40000, 'n') + "end\n");
    // Several deflate blocks and several output buffers.
    std::string Log;
    for (int I = 0; I < 20000; ++I) Log += "clip " + std::to_string(I * 7919 % 4001) + " written\n";
    Put("src/DCIM/100CANON/clip.log", Log + RandomBytes(20000, 4) + Log);
    Put("src/empty.dat", "");
    Put("src/caf\xC3\xA9 \xC3\x9C" "ber.txt", "has a CP437 form\n");
    Put("src/\xC5\x81\xC3\xB3" "d\xC5\xBA.txt", "has none\n");
    MakeDir("src/Empty Folder");
    WriteFile(Card / "check.py", kCheckScript);
  }

  // Zips src below F: with its folders as entries, paths relative to src.
  void ZipTree(TArcZip& Z) {
    Z.SetDeflateEngine(GetParam());
    Z.SetZipName("F:\\out.zip");
    Z.SetRootDir("F:\\src\\");
    Z.SetRelativePaths(true);
    Z.SetAddDirEntriesOnRecurse(true);
    Z.SetIncludeHiddenFiles(true);
    Z.SetDoProcessMessages(false);
    Z.FilesList() = {"F:\\src\\*.*"};
    Z.Zip();
  }

  // All three readers accept the archive and Python finds every file equal
  // to its source; unzip and bsdtar extract the same bytes.
  void CheckAll(const std::string& Pw, const std::string& Comment, int Files) {
    const std::string Arc = (Card / "out.zip").string();
    int Status = 0;
    std::string Out = RunTool("unzip -t " + (Pw.empty() ? "" : "-P " + Pw + " ") + "'" + Arc + "'", Status);
    EXPECT_EQ(Status, 0) << Out;
    EXPECT_NE(Out.find("No errors detected"), std::string::npos) << Out;
    Out = RunTool(SevenZip() + " t -p" + (Pw.empty() ? "none" : Pw) + " '" + Arc + "'", Status);
    EXPECT_EQ(Status, 0) << Out;
    EXPECT_NE(Out.find("Everything is Ok"), std::string::npos) << Out;
    Out = RunTool("python3 '" + (Card / "check.py").string() + "' '" + Arc + "' '" +
                  (Card / "src").string() + "' '" + Pw + "' '" + Comment + "'",
              Status);
    EXPECT_EQ(Status, 0) << Out;
    EXPECT_EQ(Out, "ok " + std::to_string(Files) + "\n");
    const fs::path Dest = Card / "x";
    fs::remove_all(Dest);
    Out = RunTool("unzip -q " + (Pw.empty() ? "" : "-P " + Pw + " ") + "'" + Arc + "' -d '" +
                  Dest.string() + "' 'DCIM/*'",
              Status);
    EXPECT_EQ(Status, 0) << Out;
    EXPECT_EQ(ReadFile(Dest / "DCIM/100CANON/IMG_0001.JPG"),
              ReadFile(Card / "src/DCIM/100CANON/IMG_0001.JPG"));
    if (!Has("bsdtar")) return;
    const fs::path Tar = Card / "t";
    fs::remove_all(Tar);
    fs::create_directories(Tar);
    Out = RunTool("bsdtar -x " + (Pw.empty() ? "" : "--passphrase " + Pw + " ") + "-f '" + Arc + "' -C '" +
                      Tar.string() + "' DCIM",
                  Status);
    EXPECT_EQ(Status, 0) << Out;
    for (const char* F : {"DCIM/100CANON/IMG_0001.JPG", "DCIM/100CANON/clip.log"})
      EXPECT_EQ(ReadFile(Tar / F), ReadFile(Card / "src" / F)) << "bsdtar " << F;
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, InteropWriteZipTest,
                         ::testing::Values(TDeflateEngine::deAuto, TDeflateEngine::deZlib),
                         [](const auto& Info) { return Info.param == TDeflateEngine::deZlib ? "zlib" : "auto"; });

TEST_P(InteropWriteZipTest, EveryLevelWithAndWithoutPassword) {
  for (int Level : {0, 1, 3, 6, 9}) {
    for (const std::string Pw : {"", "s3cret"}) {
      SCOPED_TRACE(::testing::Message() << "level " << Level << " password '" << Pw << "'");
      fs::remove(Card / "out.zip");
      TArcZip Z;
      Z.SetPackLevel(Level);
      Z.SetPassword(Pw);
      ZipTree(Z);
      CheckAll(Pw, "", 6);
    }
  }
}

// A rebuild with each action carries the other entries, their comments and
// the archive comment over; the readers still accept the result.
TEST_P(InteropWriteZipTest, RebuildsWithEachAction) {
  TArcZip Z;
  Z.SetPassword("pw");
  ZipTree(Z);
  Z.SetArchiveComment("card of 2026");
  for (int I = 0; I < Z.Count(); ++I)
    if (Z.EntryHeader(I).FullName() == "DCIM\\100CANON\\notes.txt") Z.SetEntryComment(I, "a note");
  Z.FilesList().clear();
  Z.Zip();
  CheckAll("pw", "card of 2026", 6);

  Put("src/DCIM/100CANON/IMG_0001.JPG", RandomBytes(90000, 2));
  fs::last_write_time(Card / "src/DCIM/100CANON/IMG_0001.JPG",
                      fs::file_time_type::clock::now() + std::chrono::hours(1));
  for (TZipAction Action : {zaUpdate, zaFreshen, zaReplace}) {
    SCOPED_TRACE(static_cast<int>(Action));
    Z.SetZipAction(Action);
    Z.SetRootDir("F:\\src\\");
    Z.SetRelativePaths(true);
    Z.SetPackLevel(Action == zaReplace ? 0 : 9);
    Z.ReadDirectory();
    Z.FilesList() = {"F:\\src\\DCIM\\100CANON\\IMG_0001.JPG", "F:\\src\\empty.dat"};
    Z.Zip();
    CheckAll("pw", "card of 2026", 6);
    TArcUnZip R;
    R.SetZipName("F:\\out.zip");
    R.ReadDirectory();
    bool Found = false;
    for (int I = 0; I < R.Count(); ++I)
      if (R.EntryHeader(I).FullName() == "DCIM\\100CANON\\notes.txt") {
        EXPECT_EQ(R.EntryComment(I), "a note");
        Found = true;
      }
    EXPECT_TRUE(Found);
  }
}

}  // namespace
}  // namespace zem::test
