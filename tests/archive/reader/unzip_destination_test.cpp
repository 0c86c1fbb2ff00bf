// What extraction leaves on disk when something is wrong: links planted in
// the destination, names too long for the system, wrong passwords that pass
// the check byte, methods without a decoder, damaged entries, a full disk.
// Each failing entry fails alone, with its reason, in UnZip and TestZip
// alike, and leaves neither a partial file nor a changed existing one.
#include <algorithm>
#include <tuple>

#include "arc_unzip_fixture.h"
#include "platform/fault_file_system.h"
#include "unzip_test_util.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

struct TVerdicts {
  int32_t Done = 0;
  std::vector<std::string> Ended;  // names extracted
  // Name, reason and EntryError of each entry skipped.
  std::vector<std::tuple<std::string, TSkipReason, std::string>> Failed;
  int BadCrc = 0;
};

class UnzipDestinationTest : public ReaderTest {
 protected:
  static std::string Data(const std::string& Rel) {
    return platform::FromNativePath((fs::path(ZEM_TEST_DATA) / Rel).string());
  }
  fs::path Out(const std::string& Rel = "") const { return Dir / "out" / Rel; }

  // One run over Archive into Dir/out (overwriting), recording the verdicts.
  TVerdicts Run(const std::string& Archive, bool TestOnly, const std::string& Password = "",
                const TArcUnZip::TBadPasswordEvent& OnBadPassword = nullptr) {
    TArcUnZip Zip;
    TVerdicts V;
    Zip.SetDoProcessMessages(false);
    Zip.SetZipName(Archive);
    Zip.SetDestDir(platform::FromNativePath(Out().string()));
    Zip.SetRecreateDirs(true);
    Zip.SetDoAll(true);
    Zip.SetOverwriteMode(Always);
    Zip.SetPassword(Password);
    Zip.OnBadPassword = OnBadPassword;
    Zip.OnHandleMessage = [](TObject*, int32_t, const std::string&, const std::string&, uint32_t, int32_t& R) {
      R = platform::IDOK;
    };
    Zip.OnEndUnZip = [&](TObject*, int32_t I, const std::string&) { V.Ended.push_back(Zip.EntryHeader(I).FullName()); };
    Zip.OnSkippingFile = [&](TObject*, TSkipReason R, const std::string&, int32_t I, bool&) {
      V.Failed.emplace_back(Zip.EntryHeader(I).FullName(), R, Zip.EntryError());
    };
    Zip.OnBadCRC = [&](TObject*, uint32_t, uint32_t, int32_t) { ++V.BadCrc; };
    V.Done = TestOnly ? Zip.TestZip() : Zip.UnZip();
    return V;
  }

  // Every name below Dir/out, folders and links included.
  std::vector<std::string> Listed() const {
    std::vector<std::string> Names;
    if (!fs::exists(Out())) return Names;
    for (const auto& E : fs::recursive_directory_iterator(Out()))
      Names.push_back(fs::relative(E.path(), Out()).string());
    std::sort(Names.begin(), Names.end());
    return Names;
  }
};

// A link at a file's name is replaced with -o, never written through; a link
// where a folder is expected fails that entry. Nothing outside changes.
TEST_F(UnzipDestinationTest, PlantedLinksNeverLeadOutside) {
  WriteFile(Dir / "outside/file", "outside");
  WriteFile(Dir / "a.zip", BuildRawArchive({StoredEntry("victim.txt", "from the archive"),
                                            StoredEntry("sub/evil.txt", "evil"), StoredEntry("ok.txt", "ok")}));
  fs::create_directories(Out());
  fs::create_symlink(Dir / "outside/file", Out("victim.txt"));
  fs::create_symlink(Dir / "outside", Out("sub"));
  for (const bool TestOnly : {true, false}) {
    SCOPED_TRACE(TestOnly);
    const TVerdicts V = Run(Temp("a.zip"), TestOnly);
    if (TestOnly) {
      EXPECT_EQ(V.Done, 3);  // the data is whole; only writing it would leave
      continue;
    }
    EXPECT_EQ(V.Done, 2);
    ASSERT_EQ(V.Failed.size(), 1u);
    EXPECT_EQ(V.Failed[0], std::make_tuple(std::string("sub\\evil.txt"), srCreateError,
                                           std::string("\"sub\" is a symbolic link: not followed")));
    EXPECT_FALSE(fs::is_symlink(Out("victim.txt")));
    EXPECT_EQ(ReadFile(Out("victim.txt")), "from the archive");
    EXPECT_EQ(ReadFile(Out("ok.txt")), "ok");
  }
  EXPECT_EQ(ReadFile(Dir / "outside/file"), "outside");
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir / "outside"), fs::directory_iterator()), 1);
}

// A stored name may hold a zero byte, where the system would end the name:
// "..<NUL>x" would be read as "..", "a<NUL>b" as "a". Such an entry fails,
// in both runs, before any folder is made; nothing lands beside out/.
TEST_F(UnzipDestinationTest, AZeroByteInANameFailsTheEntry) {
  using namespace std::string_literals;
  WriteFile(Dir / "a.zip", BuildRawArchive({StoredEntry("a", "a"), StoredEntry("..\0x/sub/evil.txt"s, "evil"),
                                            StoredEntry("a\0b"s, "short")}));
  for (const bool TestOnly : {true, false}) {
    SCOPED_TRACE(TestOnly);
    const TVerdicts V = Run(Temp("a.zip"), TestOnly);
    EXPECT_EQ(V.Ended, std::vector<std::string>{"a"});
    ASSERT_EQ(V.Failed.size(), 2u);
    for (const auto& F : V.Failed) EXPECT_EQ(std::get<1>(F), srCreateError);
  }
  EXPECT_EQ(Listed(), std::vector<std::string>{"a"});
  EXPECT_EQ(ReadFile(Out("a")), "a");
  EXPECT_FALSE(fs::exists(Dir / "sub"));
}

// On a volume that takes "A.JPG" and "a.jpg" for one name, the second of
// two such entries never replaces the file the first just made, even with
// -o: it fails, naming the file in its way. Runs when ZEM_TEST_VFAT names a
// writable folder on a vfat volume (the suite never mounts one).
TEST_F(UnzipDestinationTest, NamesTheVolumeFoldsTogetherNeverReplaceEachOther) {
  WriteFile(Dir / "a.zip", BuildRawArchive({StoredEntry("A.JPG", "first"), StoredEntry("a.jpg", "second")}));
  {
    // Where case is kept, an older "a.jpg" is another file: replaced as asked.
    WriteFile(Dir / "kept/a.jpg", "older");
    TArcUnZip Zip;
    Zip.SetDoProcessMessages(false);
    Zip.SetZipName(Temp("a.zip"));
    Zip.SetDestDir(Temp("kept"));
    Zip.SetDoAll(true);
    Zip.SetOverwriteMode(Always);
    EXPECT_EQ(Zip.UnZip(), 2);
    EXPECT_EQ(ReadFile(Dir / "kept/A.JPG"), "first");
    EXPECT_EQ(ReadFile(Dir / "kept/a.jpg"), "second");
  }
  const char* Vfat = std::getenv("ZEM_TEST_VFAT");
  if (Vfat == nullptr) GTEST_SKIP() << "no vfat volume: set ZEM_TEST_VFAT to a writable vfat folder";
  const fs::path Dest = fs::path(Vfat) / "zemfold";
  fs::remove_all(Dest);
  TArcUnZip Zip;
  std::vector<std::string> Failed;
  Zip.SetDoProcessMessages(false);
  Zip.SetZipName(Temp("a.zip"));
  Zip.SetDestDir(platform::FromNativePath(Dest.string()));
  Zip.SetDoAll(true);
  Zip.SetOverwriteMode(Always);
  Zip.OnSkippingFile = [&](TObject*, TSkipReason, const std::string&, int32_t I, bool&) {
    Failed.push_back(Zip.EntryHeader(I).FullName() + ": " + Zip.EntryError());
  };
  EXPECT_EQ(Zip.UnZip(), 1);
  EXPECT_EQ(Failed, std::vector<std::string>{"a.jpg: the volume takes the name for \"" + (Dest / "A.JPG").string() +
                                             "\", extracted before: not replaced"});
  EXPECT_EQ(ReadFile(Dest / "A.JPG"), "first");
  fs::remove_all(Dest);
}

// A name longer than the system's path limit fails at once with "too long"
// and makes no folder; the next entry is extracted. TestZip says the same.
TEST_F(UnzipDestinationTest, DeepPathFailsWithTooLong) {
  for (const bool TestOnly : {true, false}) {
    SCOPED_TRACE(TestOnly);
    const TVerdicts V = Run(Data("hostile/deep_path.zip"), TestOnly);
    EXPECT_EQ(V.Done, 1);
    EXPECT_EQ(V.Ended, std::vector<std::string>{"good.txt"});
    ASSERT_EQ(V.Failed.size(), 1u);
    EXPECT_EQ(std::get<1>(V.Failed[0]), srCreateError);
    EXPECT_NE(std::get<2>(V.Failed[0]).find("too long"), std::string::npos) << std::get<2>(V.Failed[0]);
  }
  EXPECT_EQ(Listed(), std::vector<std::string>{"good.txt"});
}

// The folders of an extraction are made before its files; those that no
// entry filled go again at the end, while a folder entry of the archive and
// a folder that was there before stay. A file named where a folder would be
// made first still takes the name, as it would in entry order.
TEST_F(UnzipDestinationTest, FoldersMadeAheadStayOnlyWhereSomethingWentIn) {
  TRawEntry Folder = StoredEntry("kept/", "");
  Folder.ExternalAttributes = 0x10;
  TRawEntry Bad = StoredEntry("b/c/bad.txt", "bad");
  Bad.Crc ^= 1;
  TRawEntry OldBad = StoredEntry("old/y.txt", "bad too");
  OldBad.Crc ^= 1;
  WriteFile(Dir / "a.zip", BuildRawArchive({Folder, StoredEntry("a/one.txt", "one"), Bad, StoredEntry("f", "file f"),
                                            StoredEntry("f/g.txt", "g"), StoredEntry("../up/x.txt", "x"), OldBad}));
  fs::create_directories(Out("old"));
  const TVerdicts V = Run(Temp("a.zip"), false);
  EXPECT_EQ(V.Ended, (std::vector<std::string>{"a\\one.txt", "f"}));
  EXPECT_EQ(V.BadCrc, 2);
  std::vector<std::string> Reasons;
  for (const auto& F : V.Failed) Reasons.push_back(std::get<2>(F));
  std::sort(Reasons.begin(), Reasons.end());
  EXPECT_EQ(Reasons, (std::vector<std::string>{"\"f\" is in the way: not a folder",
                                               "the name leads outside the destination folder"}));
  EXPECT_EQ(Listed(), (std::vector<std::string>{"a", "a/one.txt", "f", "kept", "old"}));
  EXPECT_FALSE(fs::exists(Dir / "up"));
}

// A folder the system refuses to make fails the entries in it, with the
// system's reason, and only them; a refusal of the folder made ahead of the
// files alone is made good by the entry's own walk.
TEST_F(UnzipDestinationTest, AFolderThatCannotBeMadeFailsOnlyItsEntries) {
  WriteFile(Dir / "a.zip", BuildRawArchive({StoredEntry("sub/one.txt", "one"), StoredEntry("ok.txt", "ok")}));
  const std::string NoSpace = platform::SysErrorMessage(platform::ErrnoToWinError(ENOSPC));
  for (const int Call : {1, 0}) {  // the first attempt only, every attempt
    SCOPED_TRACE(Call);
    fs::remove_all(Out());
    platform::TFaultFileSystem Fault;
    const int Id = Fault.Add({.Op = platform::TFsOp::MakeFolder, .Path = "*/out/sub", .Error = ENOSPC, .Call = Call});
    TVerdicts V;
    {
      platform::TFileSystemOverride Guard(Fault);
      V = Run(Temp("a.zip"), false);
    }
    EXPECT_GT(Fault.Fired(Id), 0);
    if (Call == 1) {
      EXPECT_EQ(V.Done, 2);
      EXPECT_TRUE(V.Failed.empty());
      EXPECT_EQ(Listed(), (std::vector<std::string>{"ok.txt", "sub", "sub/one.txt"}));
    } else {
      EXPECT_EQ(V.Done, 1);
      ASSERT_EQ(V.Failed.size(), 1u);
      EXPECT_EQ(std::get<2>(V.Failed[0]), "cannot make the folder \"sub\": " + NoSpace);
      EXPECT_EQ(Listed(), std::vector<std::string>{"ok.txt"});
    }
  }
}

// A wrong password whose check byte matches makes the decoder fail: that is
// a wrong password (handler asked, then srBadPassword), not the end of the
// run. With a handler giving the right one both entries come out.
TEST_F(UnzipDestinationTest, WrongPasswordPassingTheCheckByte) {
  const std::string Archive = Data("hostile/wrong_password_passes_check.zip");
  for (const bool TestOnly : {true, false}) {
    SCOPED_TRACE(TestOnly);
    const TVerdicts Wrong = Run(Archive, TestOnly, "wrong677");
    EXPECT_EQ(Wrong.Done, 0);
    ASSERT_EQ(Wrong.Failed.size(), 2u);
    for (const auto& F : Wrong.Failed) EXPECT_EQ(std::get<1>(F), srBadPassword) << std::get<0>(F);
    EXPECT_EQ(Wrong.BadCrc, 0);
    EXPECT_TRUE(Listed().empty());

    std::vector<int32_t> Asked;
    const TVerdicts Fixed = Run(Archive, TestOnly, "wrong677", [&](TObject*, int32_t I, std::string& Pw) {
      Asked.push_back(I);
      Pw = "Sesame42";
    });
    EXPECT_EQ(Fixed.Done, 2);
    EXPECT_EQ(Asked, std::vector<int32_t>{0});
    EXPECT_TRUE(Fixed.Failed.empty());
  }
  EXPECT_EQ(ReadFile(Out("first.txt")).substr(0, 20), "content of first.txt");
}

// An AES entry (method 99) is an unsupported method, named as such before
// any password is asked for; nothing is created and nothing counts.
TEST_F(UnzipDestinationTest, AesEntriesAreUnsupportedByName) {
  for (const bool TestOnly : {true, false}) {
    SCOPED_TRACE(TestOnly);
    int Asked = 0;
    const TVerdicts V = Run(Data("interop/other_methods/om_7z_aes256.zip"), TestOnly, "",
                            [&](TObject*, int32_t, std::string&) { ++Asked; });
    EXPECT_EQ(V.Done, 0);
    EXPECT_EQ(Asked, 0);
    ASSERT_EQ(V.Failed.size(), 2u);
    for (const auto& F : V.Failed)
      EXPECT_EQ(std::make_pair(std::get<1>(F), std::get<2>(F)),
                std::make_pair(srDataError, std::string("unsupported compression method 99 (AES)")));
  }
  EXPECT_TRUE(Listed().empty());
}

// Damaged entries fail alone, with a reason naming the defect, in both runs;
// the good entry after them is extracted. The reason of a decoder failure
// is the inflate engine's, never a CRC error.
TEST_F(UnzipDestinationTest, DamagedEntriesFailAloneInBothRuns) {
  struct TCase {
    const char* File;
    const char* Bad;
    const char* Reason;
  } Cases[] = {
      {"size_declared_larger.zip", "short.txt", "declared size 1060 differs from the 1050 bytes stored"},
      {"size_declared_smaller.zip", "long.txt", "size mismatch: the data gives more than the 990 bytes declared"},
      {"deflate_invalid_block.zip", "broken.txt",
       DefaultDeflateEngine() == TDeflateEngine::deAuto && IsalBuiltIn()
           ? "invalid deflated data (ISA-L: invalid block header)"
           : "invalid deflated data (zlib: invalid block type)"},
      {"local_signature_missing.zip", "bad.txt", "no local header at offset 0 (disk 0)"},
  };
  for (const TCase& C : Cases)
    for (const bool TestOnly : {true, false}) {
      SCOPED_TRACE(std::string(C.File) + (TestOnly ? " test" : " extract"));
      fs::remove_all(Out());
      const TVerdicts V = Run(Data(std::string("damaged/") + C.File), TestOnly);
      EXPECT_EQ(V.Done, 1);
      EXPECT_EQ(V.BadCrc, 0);
      ASSERT_EQ(V.Failed.size(), 1u);
      EXPECT_EQ(V.Failed[0], std::make_tuple(std::string(C.Bad), srDataError, std::string(C.Reason)));
      EXPECT_EQ(Listed(), TestOnly ? std::vector<std::string>{} : std::vector<std::string>{"good.txt"});
    }
}

// A failing entry over an existing file leaves that file byte for byte as it
// was, and no temporary file behind.
TEST_F(UnzipDestinationTest, FailingEntryKeepsTheFileItWouldReplace) {
  const std::string Precious = RandomBytes(5000, 4);
  WriteFile(Out("broken.txt"), Precious);
  const TVerdicts V = Run(Data("damaged/deflate_invalid_block.zip"), false);
  EXPECT_EQ(V.Failed.size(), 1u);
  EXPECT_EQ(ReadFile(Out("broken.txt")), Precious);
  EXPECT_EQ(Listed(), (std::vector<std::string>{"broken.txt", "good.txt"}));
}

// A disk that fills up inside an entry fails that entry (named, with the
// system's reason), removes its partial file and keeps the file it would
// have replaced; entries that fit are extracted.
TEST_F(UnzipDestinationTest, FullDiskFailsTheEntryAndRemovesItsPartialFile) {
  const std::string Big = RandomBytes(100000, 5);
  WriteFile(Dir / "a.zip", BuildRawArchive({StoredEntry("big.bin", Big), StoredEntry("small.txt", "small")}));
  WriteFile(Out("big.bin"), "old big");
  platform::TFaultFileSystem Fault;
  const int Full = Fault.Add({.Op = platform::TFsOp::Write, .Path = (Dir / "out").string() + "/*", .Error = ENOSPC,
                              .Offset = 40000});
  TVerdicts V;
  {
    platform::TFileSystemOverride Guard(Fault);
    V = Run(Temp("a.zip"), false);
  }
  EXPECT_GT(Fault.Fired(Full), 0);
  EXPECT_EQ(V.Ended, std::vector<std::string>{"small.txt"});
  ASSERT_EQ(V.Failed.size(), 1u);
  EXPECT_EQ(std::get<0>(V.Failed[0]), "big.bin");
  EXPECT_EQ(std::get<1>(V.Failed[0]), srWriteError);
  EXPECT_NE(std::get<2>(V.Failed[0]).find("No space left on device"), std::string::npos)
      << std::get<2>(V.Failed[0]);
  EXPECT_EQ(ReadFile(Out("big.bin")), "old big");
  EXPECT_EQ(Listed(), (std::vector<std::string>{"big.bin", "small.txt"}));
}

}  // namespace
}  // namespace zem::test
