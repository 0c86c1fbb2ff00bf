// Extraction behaviour: round trips through other writers, passwords,
// damaged data, existing and read-only files, selection and paths, and the
// decided mends (names leading outside DestDir, hostile compressed data,
// unfinished deflate streams, empty passwords).
#include <map>

#include "arc_unzip_fixture.h"
#include "archive/reader/arc_messages.h"
#include "unzip_test_util.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

TRawEntry DeflatedEntry(const std::string& Name, const std::string& Text) {
  TRawEntry E = StoredEntry(Name, Text);
  E.Method = 8;
  E.Data = Deflate(Text);
  return E;
}

struct TEvents {
  std::vector<std::string> Ended;
  std::vector<std::pair<TSkipReason, std::string>> Skipped;
  std::vector<std::string> Why;  // EntryError at each skip
  std::vector<std::pair<uint32_t, uint32_t>> BadCrc;
  std::vector<int32_t> Completed;
};

class UnzipTest : public ReaderTest {
 protected:
  // Writes Entries as Dir/Name and sets up Zip to extract it below Dir/out.
  std::string Make(const std::vector<TRawEntry>& Entries, const std::string& Name = "a.zip") {
    WriteFile(Dir / Name, BuildRawArchive(Entries));
    return Temp(Name);
  }
  void Configure(TArcUnZip& Zip, const std::string& Archive, TEvents& Ev) {
    Zip.SetDoProcessMessages(false);
    Zip.SetZipName(Archive);
    Zip.SetDestDir(Temp("out"));
    Zip.SetRecreateDirs(true);
    Zip.SetDoAll(true);
    Zip.SetOverwriteMode(Always);
    Zip.OnEndUnZip = [&Ev](TObject*, int32_t, const std::string& F) { Ev.Ended.push_back(F); };
    Zip.OnSkippingFile = [&Ev, &Zip](TObject*, TSkipReason R, const std::string& F, int32_t, bool&) {
      Ev.Skipped.emplace_back(R, F);
      Ev.Why.push_back(Zip.EntryError());
    };
    Zip.OnBadCRC = [&Ev](TObject*, uint32_t Calc, uint32_t Stored, int32_t) { Ev.BadCrc.emplace_back(Calc, Stored); };
    Zip.OnUnZipComplete = [&Ev](TObject*, int32_t N) { Ev.Completed.push_back(N); };
  }
  fs::path Out(const std::string& Rel) const { return Dir / "out" / Rel; }
  // Every regular file below the temporary folder except the archives.
  std::vector<std::string> FilesOutsideArchives() const {
    std::vector<std::string> Found;
    for (const auto& P : fs::recursive_directory_iterator(Dir.Path()))
      if (P.is_regular_file() && P.path().extension() != ".zip") Found.push_back(P.path().string());
    return Found;
  }
};

// Archives made by Info-ZIP zip at every level, with and without a
// password, and by Python's zipfile, extract to the bytes they were made of.
TEST_F(UnzipTest, RoundTripsThroughOtherWriters) {
  if (!Shell("command -v zip >/dev/null && command -v python3 >/dev/null"))
    GTEST_SKIP() << "zip or python3 not installed";
  const fs::path Src = Dir / "src";
  std::map<std::string, std::string> Files = {
      {"text.txt", std::string(50000, 'a') + "the quick brown fox\n"},
      {"noise.bin", RandomBytes(70000, 7)},
      {"sub/deeper/runs.dat", std::string(40000, '\x90') + RandomBytes(300, 2)},
      {"sub/empty.txt", ""}};
  for (const auto& [Name, Data] : Files) WriteFile(Src / Name, Data);
  std::vector<std::string> Commands;
  for (int Level = 0; Level <= 9; ++Level)
    for (const char* Pw : {"", "-P s3cret"})
      Commands.push_back(Format("cd '%s' && zip -q -r -%d %s '%s' .", Src.c_str(), Level, Pw,
                                (Dir / "rt.zip").c_str()));
  Commands.push_back(Format("cd '%s' && python3 -c \"import zipfile,os\n"
                            "with zipfile.ZipFile('%s','w',zipfile.ZIP_DEFLATED) as z:\n"
                            " [z.write(os.path.join(r,f)) for r,_,fs in os.walk('.') for f in fs]\"",
                            Src.c_str(), (Dir / "rt.zip").c_str()));
  for (const std::string& Cmd : Commands) {
    SCOPED_TRACE(Cmd);
    fs::remove(Dir / "rt.zip");
    fs::remove_all(Dir / "out");
    ASSERT_TRUE(Shell(Cmd));
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Temp("rt.zip"), Ev);
    Zip.SetPassword("s3cret");
    const int32_t Done = Zip.UnZip();
    EXPECT_EQ(Done, Zip.Count());
    EXPECT_TRUE(Ev.Skipped.empty() && Ev.BadCrc.empty());
    for (const auto& [Name, Data] : Files) EXPECT_EQ(ReadFile(Out(Name)), Data) << Name;
  }
}

// A wrong password skips the entry without creating a file; a handler that
// supplies the right one gets it extracted, and the password stays.
TEST_F(UnzipTest, WrongPasswordWithAndWithoutHandler) {
  TRawEntry A = DeflatedEntry("a.txt", std::string(3000, 'x'));
  A.Password = "right";
  TRawEntry B = StoredEntry("b.txt", "bee");
  B.Password = "right";
  const std::string Archive = Make({A, B});
  {
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    Zip.SetPassword("wrong");
    EXPECT_EQ(Zip.UnZip(), 0);
    ASSERT_EQ(Ev.Skipped.size(), 2u);
    EXPECT_EQ(Ev.Skipped[0], std::make_pair(srBadPassword, std::string("a.txt")));
    EXPECT_FALSE(fs::exists(Out("a.txt")));
    EXPECT_FALSE(fs::exists(Out("b.txt")));
  }
  // An empty password is a wrong one: the handler is asked, and without a
  // new password nothing is written.
  for (const bool Supply : {false, true}) {
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    std::vector<std::string> Offered;
    Zip.OnBadPassword = [&](TObject*, int32_t, std::string& NewPassword) {
      Offered.push_back(NewPassword);
      if (Supply) NewPassword = "right";
    };
    EXPECT_EQ(Zip.UnZip(), Supply ? 2 : 0);
    ASSERT_FALSE(Offered.empty());
    EXPECT_EQ(Offered[0], "");
    if (Supply) {
      EXPECT_EQ(Offered.size(), 1u);  // the second entry used the kept password
      EXPECT_EQ(Zip.Password(), "right");
      EXPECT_EQ(ReadFile(Out("a.txt")), std::string(3000, 'x'));
      EXPECT_EQ(ReadFile(Out("b.txt")), "bee");
    } else {
      EXPECT_EQ(Ev.Skipped.size(), 2u);
      EXPECT_TRUE(FilesOutsideArchives().empty());
    }
  }
}

// Stored data altered after writing: OnBadCRC with both CRCs, the partly
// written file removed, the other entries unharmed.
TEST_F(UnzipTest, AlteredStoredDataFailsTheCrcAndLeavesNoFile) {
  TRawEntry Bad = StoredEntry("bad.txt", "original contents");
  const uint32_t Stored = Bad.Crc;
  Bad.Data = "0riginal contents";
  const std::string Archive = Make({Bad, StoredEntry("good.txt", "fine")});
  TArcUnZip Zip;
  TEvents Ev;
  Configure(Zip, Archive, Ev);
  EXPECT_EQ(Zip.UnZip(), 1);
  ASSERT_EQ(Ev.BadCrc.size(), 1u);
  EXPECT_EQ(Ev.BadCrc[0].first, Crc32Of("0riginal contents", 17));
  EXPECT_EQ(Ev.BadCrc[0].second, Stored);
  EXPECT_FALSE(fs::exists(Out("bad.txt")));
  EXPECT_EQ(ReadFile(Out("good.txt")), "fine");
}

// An archive cut inside an entry's data fails that entry with the fatal
// error's text and leaves no file; the run still ends properly (FilesList
// emptied, completion reported).
TEST_F(UnzipTest, TruncatedArchiveFailsTheCutEntry) {
  const std::string Bytes = BuildRawArchive({StoredEntry("a.txt", "aaaa"), StoredEntry("b.bin", RandomBytes(5000, 3))});
  // Cut inside the data of b.bin: the entries are then found by scanning
  // the local headers, and b.bin's data ends early.
  WriteFile(Dir / "t.zip", Bytes.substr(0, Bytes.find("b.bin") + 5 + 1000));
  TArcUnZip Zip;
  TEvents Ev;
  Configure(Zip, Temp("t.zip"), Ev);
  Zip.SetIncompleteZipMode(izAssumeBad);
  Zip.SetFilesList({"*"});
  EXPECT_EQ(Zip.UnZip(), 1);
  ASSERT_EQ(Ev.Skipped.size(), 1u);
  EXPECT_EQ(Ev.Skipped[0], std::make_pair(srDataError, std::string("b.bin")));
  // The directory already knows the data runs past the end.
  EXPECT_EQ(Ev.Why[0], "compressed size 5000 at offset 39 runs past the end of the archive (1074 bytes)");
  EXPECT_TRUE(Zip.FilesList().empty());
  EXPECT_EQ(Ev.Completed, std::vector<int32_t>{1});
  EXPECT_EQ(ReadFile(Out("a.txt")), "aaaa");
  EXPECT_EQ(FilesOutsideArchives().size(), 1u);
}

// Read-only targets: replaced (and given the entry's attributes) with
// ReplaceReadOnly, left alone without it.
TEST_F(UnzipTest, ReadOnlyTargets) {
  TRawEntry E = StoredEntry("ro.txt", "new");
  E.ExternalAttributes = 0x21;  // read-only, archive
  const std::string Archive = Make({E});
  for (const bool Replace : {false, true}) {
    SCOPED_TRACE(Replace);
    fs::remove_all(Dir / "out");
    WriteFile(Out("ro.txt"), "old");
    fs::permissions(Out("ro.txt"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    Zip.SetReplaceReadOnly(Replace);
    EXPECT_EQ(Zip.UnZip(), Replace ? 1 : 0);
    EXPECT_EQ(ReadFile(Out("ro.txt")), Replace ? "new" : "old");
    const uint32_t Attr = platform::GetFileAttributesA(platform::FromNativePath(Out("ro.txt").string()).c_str());
    EXPECT_TRUE(Attr & platform::FILE_ATTRIBUTE_READONLY);
    if (!Replace) {
      ASSERT_EQ(Ev.Skipped.size(), 1u);
      EXPECT_EQ(Ev.Skipped[0].first, srCreateError);
    }
    fs::permissions(Out("ro.txt"), fs::perms::owner_write, fs::perm_options::add);
  }
}

// ifNewer and ifOlder against the existing file's time; a time equal to
// the entry's replaces in neither mode. The extracted file carries the
// entry's time.
TEST_F(UnzipTest, IfNewerAndIfOlder) {
  const std::string Archive = Make({StoredEntry("f.txt", "entry")});
  const int32_t EntryTime = 0x568530e4;
  const int32_t Earlier = 0x468530e4;  // eight years before
  const int32_t Later = 0x668530e4;
  struct TCase {
    TUZOverwriteMode Mode;
    int32_t FileTime;
    bool Replaced;
  } Cases[] = {{ifNewer, Earlier, true}, {ifNewer, EntryTime, false}, {ifNewer, Later, false},
               {ifOlder, Later, true},   {ifOlder, EntryTime, false}, {ifOlder, Earlier, false}};
  const std::string Target = platform::FromNativePath(Out("f.txt").string());
  for (const TCase& C : Cases) {
    SCOPED_TRACE(Format("mode %d time %08x", C.Mode, C.FileTime));
    WriteFile(Out("f.txt"), "disk");
    ASSERT_EQ(platform::FileSetDate(Target, C.FileTime), 0);
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    Zip.SetOverwriteMode(C.Mode);
    EXPECT_EQ(Zip.UnZip(), C.Replaced ? 1 : 0);
    EXPECT_EQ(ReadFile(Out("f.txt")), C.Replaced ? "entry" : "disk");
    if (C.Replaced) EXPECT_EQ(platform::FileAge(Target), EntryTime);
    else EXPECT_EQ(Ev.Skipped.at(0).first, srNoOverwrite);
  }
  // A file dated after the last year a DOS time holds (2107) is newer than
  // any entry.
  for (const TUZOverwriteMode Mode : {ifNewer, ifOlder}) {
    SCOPED_TRACE(Mode);
    WriteFile(Out("f.txt"), "disk");
    fs::last_write_time(Out("f.txt"), fs::last_write_time(Out("f.txt")) + std::chrono::hours(24 * 365 * 200));
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    Zip.SetOverwriteMode(Mode);
    EXPECT_EQ(Zip.UnZip(), Mode == ifOlder ? 1 : 0);
    EXPECT_EQ(ReadFile(Out("f.txt")), Mode == ifOlder ? "entry" : "disk");
  }
}

// Without a handler the overwrite question goes through the message hook:
// "Replace existing file <name>?" with yes and no buttons.
TEST_F(UnzipTest, OverwritePromptThroughTheMessageHook) {
  const std::string Archive = Make({StoredEntry("dir/f.txt", "entry")});
  for (const int Answer : {platform::IDNO, platform::IDYES}) {
    WriteFile(Out("dir/f.txt"), "disk");
    Services->Boxes.clear();
    Services->Answers = {Answer};
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    Zip.SetOverwriteMode(Prompt);
    EXPECT_EQ(Zip.UnZip(), Answer == platform::IDYES ? 1 : 0);
    ASSERT_EQ(Services->Boxes.size(), 1u);
    EXPECT_EQ(Services->Boxes[0].Text, "Replace existing file f.txt?");
    EXPECT_EQ(Services->Boxes[0].Caption, "File Exists Alert");
    EXPECT_EQ(Services->Boxes[0].Flags, static_cast<uint32_t>(platform::MB_YESNO));
    EXPECT_EQ(ReadFile(Out("dir/f.txt")), Answer == platform::IDYES ? "entry" : "disk");
  }
}

// Names that would lead outside DestDir are refused before anything is
// created; rooted names stay below DestDir. Only '/' separates in a stored
// name: '\' and ':' are characters of Linux names, so "..\evil3.txt",
// "C:.." and "C:" are names of their own below DestDir.
TEST_F(UnzipTest, NamesLeadingOutsideDestDirAreSkipped) {
  const std::string Archive = Make({StoredEntry("../evil1.txt", "x"), StoredEntry("a/../../evil2.txt", "x"),
                                    StoredEntry("..\\evil3.txt", "x"), StoredEntry("C:../evil4.txt", "x"),
                                    StoredEntry("/rooted.txt", "r"), StoredEntry("C:/drive.txt", "d"),
                                    StoredEntry("C:rel/f.txt", "c"), StoredEntry("ok/../../", "")});
  TArcUnZip Zip;
  TEvents Ev;
  Configure(Zip, Archive, Ev);
  Zip.SetDestDir(Temp("deep/out"));
  const int32_t Done = Zip.UnZip();
  EXPECT_EQ(Done, 5);
  EXPECT_EQ(Ev.Skipped.size(), 3u);
  for (const auto& S : Ev.Skipped) EXPECT_EQ(S.first, srCreateError) << S.second;
  EXPECT_EQ(ReadFile(Dir / "deep/out/rooted.txt"), "r");
  EXPECT_EQ(ReadFile(Dir / "deep/out/C:/drive.txt"), "d");
  EXPECT_EQ(ReadFile(Dir / "deep/out/C:rel/f.txt"), "c");
  EXPECT_EQ(ReadFile(Dir / "deep/out/..\\evil3.txt"), "x");
  EXPECT_EQ(ReadFile(Dir / "deep/out/C:../evil4.txt"), "x");
  for (const std::string& F : FilesOutsideArchives())
    EXPECT_EQ(F.find((Dir / "deep/out").string()), 0u) << F;
}

// Hostile and odd compressed data fails only its entry, as unusable data
// with the reason, never as a CRC error: an unknown method (with its
// notice), a shrunk stream asking for 14-bit codes, a deflate stream that
// has not ended, inflated output beyond the stored size. None leaves a
// file; the stored CRC matching the bytes produced changes nothing.
TEST_F(UnzipTest, UnusableCompressedDataFailsTheEntry) {
  TRawEntry Unknown = StoredEntry("unknown.bin", "data");
  Unknown.Method = 9;
  // Shrink: literal 'A', then the control code raising the code size five
  // times (9 -> 14 bits): past the 13-bit limit.
  std::string Bits;
  {
    uint32_t Acc = 0, N = 0;
    auto Put = [&](uint32_t V, unsigned W) {
      for (unsigned I = 0; I < W; ++I) {
        Acc |= ((V >> I) & 1u) << N;
        if (++N == 8) Bits.push_back(static_cast<char>(Acc)), Acc = 0, N = 0;
      }
    };
    Put('A', 9);
    for (unsigned W = 9; W < 14; ++W) Put(256, W), Put(1, W);
    Put('B', 14);
    if (N) Bits.push_back(static_cast<char>(Acc));
  }
  TRawEntry Shrunk = StoredEntry("shrunk.txt", "A");
  Shrunk.Method = 1;
  Shrunk.Data = Bits;
  const std::string Text(20000, 'q');
  TRawEntry Unended = DeflatedEntry("unended.txt", Text);
  Unended.Data = Deflate(RandomBytes(20000, 5)).substr(0, 5000);
  Unended.Crc = 0;
  Unended.Size = 20000;
  TRawEntry Bigger = DeflatedEntry("bigger.txt", Text);
  Bigger.Size = 100;
  const std::string Archive = Make({Unknown, Shrunk, Unended, Bigger, StoredEntry("fine.txt", "ok")});
  TArcUnZip Zip;
  TEvents Ev;
  Configure(Zip, Archive, Ev);
  std::vector<std::pair<int32_t, std::string>> Messages;
  Zip.OnHandleMessage = [&](TObject*, int32_t Id, const std::string& M1, const std::string& M2, uint32_t,
                            int32_t& R) {
    Messages.emplace_back(Id, M1 + "|" + M2);
    R = platform::IDOK;
  };
  EXPECT_EQ(Zip.UnZip(), 1);
  EXPECT_TRUE(Ev.BadCrc.empty());
  ASSERT_EQ(Ev.Skipped.size(), 4u);
  for (const auto& S : Ev.Skipped) EXPECT_EQ(S.first, srDataError) << S.second;
  EXPECT_EQ(Ev.Why[0], "unsupported compression method 9 (Deflate64)");
  EXPECT_EQ(Ev.Why[1], "invalid shrunk data");
  EXPECT_EQ(Ev.Why[2], "the deflated data ends before it is complete");
  EXPECT_EQ(Ev.Why[3], "size mismatch: the data gives more than the 100 bytes declared");
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0], std::make_pair(197, std::string("Unknown Compression Method|Zip Error")));
  EXPECT_EQ(Ev.Ended.size(), 1u);
  for (const char* F : {"unknown.bin", "shrunk.txt", "unended.txt", "bigger.txt"}) EXPECT_FALSE(fs::exists(Out(F))) << F;
}

// A deflate stream the inflate engine refuses fails its entry with the
// engine's message, on both engines; the run goes on.
TEST_F(UnzipTest, CorruptDeflateStreamFailsTheEntryWithTheEnginesMessage) {
  TRawEntry E = DeflatedEntry("z.txt", "zzz");
  E.Data = std::string("\xff\xff\xff\xff\xff\xff", 6);  // block type 3: invalid
  const std::string Archive = Make({E, StoredEntry("after.txt", "fine")});
  for (const TDeflateEngine Engine : {TDeflateEngine::deAuto, TDeflateEngine::deZlib}) {
    const bool Isal = Engine == TDeflateEngine::deAuto && IsalBuiltIn();
    SCOPED_TRACE(Isal ? "ISA-L" : "zlib");
    fs::remove_all(Out("after.txt"));
    TArcUnZip Zip;
    Zip.SetDeflateEngine(Engine);
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    EXPECT_EQ(Zip.UnZip(), 1);
    ASSERT_EQ(Ev.Skipped.size(), 1u);
    EXPECT_EQ(Ev.Skipped[0], std::make_pair(srDataError, std::string("z.txt")));
    EXPECT_EQ(Ev.Why[0], Isal ? "invalid deflated data (ISA-L: invalid block header)"
                              : "invalid deflated data (zlib: invalid block type)");
    EXPECT_TRUE(Ev.BadCrc.empty());
    EXPECT_FALSE(fs::exists(Out("z.txt")));
    EXPECT_EQ(ReadFile(Out("after.txt")), "fine");
  }
}

// An entry whose local header has lost its signature fails with where the
// header should be; the entries before and after it are extracted.
TEST_F(UnzipTest, LocalHeaderWithoutSignatureFailsThatEntry) {
  std::string Bytes = BuildRawArchive(
      {StoredEntry("a.txt", "first"), StoredEntry("b.txt", "second"), StoredEntry("c.txt", "third")});
  const size_t Second = Bytes.find("PK\x03\x04", 4);
  ASSERT_NE(Second, std::string::npos);
  Bytes[Second + 3] = 'X';
  WriteFile(Dir / "a.zip", Bytes);
  TArcUnZip Zip;
  TEvents Ev;
  Configure(Zip, Temp("a.zip"), Ev);
  EXPECT_EQ(Zip.UnZip(), 2);
  ASSERT_EQ(Ev.Skipped.size(), 1u);
  EXPECT_EQ(Ev.Skipped[0], std::make_pair(srDataError, std::string("b.txt")));
  EXPECT_EQ(Ev.Why[0], "no local header at offset " + std::to_string(Second) + " (disk 0)");
  EXPECT_TRUE(fs::exists(Out("a.txt")));
  EXPECT_FALSE(fs::exists(Out("b.txt")));
  EXPECT_EQ(ReadFile(Out("c.txt")), "third");
}

// A central header whose CRC and sizes were wiped to 0 while the local
// header still gives them would make the entry an empty file that passes
// its check: the two headers disagree, so the entry fails.
TEST_F(UnzipTest, CentralAndLocalHeadersGivingOtherSizesFailTheEntry) {
  std::string Bytes = BuildRawArchive({StoredEntry("a.txt", "first"), StoredEntry("b.txt", "second")});
  const size_t Central = Bytes.find("PK\x01\x02", Bytes.find("PK\x01\x02") + 4);
  ASSERT_NE(Central, std::string::npos);
  Bytes.replace(Central + 16, 12, std::string(12, '\0'));
  WriteFile(Dir / "a.zip", Bytes);
  TArcUnZip Zip;
  TEvents Ev;
  Configure(Zip, Temp("a.zip"), Ev);
  EXPECT_EQ(Zip.UnZip(), 1);
  ASSERT_EQ(Ev.Skipped.size(), 1u);
  EXPECT_EQ(Ev.Skipped[0], std::make_pair(srDataError, std::string("b.txt")));
  EXPECT_NE(Ev.Why[0].find("local header"), std::string::npos) << Ev.Why[0];
  EXPECT_FALSE(fs::exists(Out("b.txt")));
}

// Progress per output block: 70000 stored bytes come as 32768, 32768 and
// 4464, reported as 47, 94 and 100 for the file and for the run.
TEST_F(UnzipTest, ProgressPerOutputBlock) {
  const std::string Archive = Make({StoredEntry("big.bin", RandomBytes(70000, 9))});
  TArcUnZip Zip;
  TEvents Ev;
  Configure(Zip, Archive, Ev);
  std::vector<int32_t> File, Total;
  Zip.OnFilePercentDone = [&](TObject*, int32_t P) { File.push_back(P); };
  Zip.OnTotalPercentDone = [&](TObject*, int32_t P) { Total.push_back(P); };
  EXPECT_EQ(Zip.UnZip(), 1);
  EXPECT_EQ(File, (std::vector<int32_t>{47, 94, 100}));
  EXPECT_EQ(Total, File);
}

// OnDecrypt takes over the decryption of a deflated entry's input blocks;
// a stored entry is decrypted on its output blocks and never reaches it.
TEST_F(UnzipTest, OnDecryptGetsTheInputBlocksOfCompressedEntries) {
  const std::string Text = RandomBytes(40000, 11);
  // More than one input block of compressed data.
  TRawEntry Deflated = DeflatedEntry("d.bin", std::string(100000, 'k') + Text);
  Deflated.Password = "pw";
  TRawEntry Stored = StoredEntry("s.bin", Text);
  Stored.Password = "pw";
  const std::string Archive = Make({Deflated, Stored});
  TArcUnZip Zip;
  TEvents Ev;
  Configure(Zip, Archive, Ev);
  Zip.SetPassword("pw");
  // The handler decrypts with its own key state, set up from the same
  // encryption header the component checked.
  const std::string Bytes = ReadFile(Dir / "a.zip");
  TZipCrypt Own;
  Own.DecryptHeader("pw", reinterpret_cast<const uint8_t*>(Bytes.data()) + 30 + 5);
  int64_t Seen = 0;
  Zip.OnDecrypt = [&](TObject*, uint8_t* Buffer, int32_t Length, const std::string& Password) {
    EXPECT_EQ(Password, "pw");
    Own.DecryptBuffer(Buffer, static_cast<size_t>(Length));
    Seen += Length;
  };
  EXPECT_EQ(Zip.UnZip(), 2);
  EXPECT_EQ(Seen, static_cast<int64_t>(Deflated.Data.size()));
  EXPECT_EQ(ReadFile(Out("d.bin")), std::string(100000, 'k') + Text);
  EXPECT_EQ(ReadFile(Out("s.bin")), Text);
}

// Selection: patterns against directory and name together, any case;
// FilesList empty afterwards; directory entries without RecreateDirs are
// left out of the count announced but still counted as handled.
TEST_F(UnzipTest, SelectionAndDirectoryEntries) {
  const std::string Archive =
      Make({StoredEntry("docs/", ""), StoredEntry("docs/readme.txt", "r"), StoredEntry("img/a.jpg", "j"),
            StoredEntry("b.TXT", "b")});
  {
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    Zip.SetDoAll(false);
    Zip.SetFilesList({"*.TXT"});
    int32_t Announced = -1;
    int64_t Bytes = -1;
    Zip.OnStartUnZipInfo = [&](TObject*, int32_t N, int64_t T, bool&) { Announced = N, Bytes = T; };
    EXPECT_EQ(Zip.UnZip(), 2);
    EXPECT_EQ(Announced, 2);
    EXPECT_EQ(Bytes, 2);
    EXPECT_TRUE(Zip.FilesList().empty());
    EXPECT_TRUE(fs::exists(Out("docs/readme.txt")) && fs::exists(Out("b.TXT")));
    EXPECT_FALSE(fs::exists(Out("img")));
  }
  {
    fs::remove_all(Dir / "out");
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    Zip.SetRecreateDirs(false);
    int32_t Announced = -1;
    Zip.OnStartUnZipInfo = [&](TObject*, int32_t N, int64_t, bool&) { Announced = N; };
    EXPECT_EQ(Zip.UnZip(), 4);
    EXPECT_EQ(Announced, 3);
    EXPECT_EQ(ReadFile(Out("readme.txt")), "r");
    EXPECT_EQ(ReadFile(Out("a.jpg")), "j");
    EXPECT_FALSE(fs::exists(Out("docs")));
  }
  {
    // StopNow: nothing touched, completion still reported.
    fs::remove_all(Dir / "out");
    TArcUnZip Zip;
    TEvents Ev;
    Configure(Zip, Archive, Ev);
    Zip.OnStartUnZipInfo = [&](TObject*, int32_t, int64_t, bool& Stop) { Stop = true; };
    EXPECT_EQ(Zip.UnZip(), 0);
    EXPECT_EQ(Ev.Completed, std::vector<int32_t>{0});
    EXPECT_TRUE(FilesOutsideArchives().empty());
  }
}

// Destination paths: RootDir cut off the stored folder; a drive root as
// DestDir; the handler of OnStartUnZip choosing another name.
TEST_F(UnzipTest, DestinationPaths) {
  const std::string Archive = Make({StoredEntry("dir/sub/f.txt", "f"), StoredEntry("dir/g.txt", "g")});
  TArcUnZip Zip;
  TEvents Ev;
  Configure(Zip, Archive, Ev);
  Zip.SetRootDir("DIR");
  Zip.OnStartUnZip = [&](TObject*, int32_t I, std::string& FName, bool&) {
    if (I == 1) FName = Temp("renamed.txt");
  };
  EXPECT_EQ(Zip.UnZip(), 2);
  EXPECT_EQ(ReadFile(Out("sub/f.txt")), "f");
  EXPECT_EQ(ReadFile(Dir / "renamed.txt"), "g");

  TArcUnZip ToCard;
  TEvents Ev2;
  Configure(ToCard, Archive, Ev2);
  ToCard.SetDestDir("F:\\");
  EXPECT_EQ(ToCard.DestDir(), "F:");
  EXPECT_EQ(ToCard.UnZip(), 2);
  EXPECT_EQ(ReadFile(Card / "dir/sub/f.txt"), "f");
  EXPECT_EQ(platform::FileAge("F:\\dir\\g.txt"), 0x568530e4);
}

}  // namespace
}  // namespace zem::test
