// Extraction with several threads: the same files, bytes, verdicts and
// events as with one, and a failure inside a worker (a full disk, damaged
// data, a wrong password) fails only its own entry.
#include <algorithm>
#include <map>
#include <set>

#include "arc_unzip_fixture.h"
#include "platform/fault_file_system.h"
#include "unzip_test_util.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

TRawEntry Entry(const std::string& Name, const std::string& Text, bool Deflated, const std::string& Password = "") {
  TRawEntry E = StoredEntry(Name, Text);
  if (Deflated) {
    E.Method = 8;
    E.Data = Deflate(Text);
  }
  E.Password = Password;
  return E;
}

// Text that deflates, of about Size bytes, different for each Seed.
std::string Words(size_t Size, int Seed) {
  std::string Text;
  for (int I = 0; Text.size() < Size; ++I) Text += "line " + std::to_string(I * 7 + Seed) + " of entry " + std::to_string(Seed) + "\n";
  return Text;
}

// Everything a run shows: its result, the events in the order raised, and
// what each entry was told (start to verdict, in order).
struct TRecord {
  int32_t Result = 0;
  std::vector<std::string> Starts, Ends;
  std::vector<int32_t> FilePercent, TotalPercent;
  std::map<int32_t, std::vector<std::string>> PerEntry;
  std::map<std::string, std::string> Files;  // relative name -> bytes ("<folder>" for folders)
  bool operator==(const TRecord&) const = default;
};

class UnzipThreadsTest : public ReaderTest {
 protected:
  TRecord Run(const std::string& Archive, const std::string& Dest, int32_t Threads, bool TestOnly,
              const std::string& Password = "pw") {
    TArcUnZip Zip;
    TRecord R;
    Zip.SetThreads(Threads);
    Zip.SetDoProcessMessages(false);
    Zip.SetZipName(Archive);
    Zip.SetDestDir(Temp(Dest));
    Zip.SetRecreateDirs(true);
    Zip.SetDoAll(true);
    Zip.SetOverwriteMode(Always);
    Zip.SetPassword(Password);
    const std::string Base = Temp(Dest) + "\\";
    auto Rel = [&Base](const std::string& F) { return F.rfind(Base, 0) == 0 ? F.substr(Base.size()) : F; };
    Zip.OnStartUnZip = [&R, &Rel](TObject*, int32_t I, std::string& FName, bool&) {
      R.Starts.push_back(std::to_string(I) + " " + Rel(FName));
      R.PerEntry[I].push_back("start");
    };
    Zip.OnEndUnZip = [&R, &Rel](TObject*, int32_t I, const std::string& FName) {
      R.Ends.push_back(std::to_string(I) + " " + Rel(FName));
      R.PerEntry[I].push_back("end");
    };
    Zip.OnSkippingFile = [&](TObject*, TSkipReason Reason, const std::string&, int32_t I, bool&) {
      R.PerEntry[I].push_back("skip " + std::to_string(Reason) + " " + Zip.EntryError());
    };
    Zip.OnBadCRC = [&](TObject*, uint32_t Calc, uint32_t, int32_t I) {
      R.PerEntry[I].push_back("crc " + std::to_string(Calc));
    };
    Zip.OnFilePercentDone = [&](TObject*, int32_t P) { R.FilePercent.push_back(P); };
    Zip.OnTotalPercentDone = [&](TObject*, int32_t P) { R.TotalPercent.push_back(P); };
    R.Result = TestOnly ? Zip.TestZip() : Zip.UnZip();
    const fs::path Root = Dir / Dest;
    if (fs::exists(Root))
      for (const auto& E : fs::recursive_directory_iterator(Root))
        R.Files[fs::relative(E.path(), Root).string()] = E.is_directory() ? "<folder>" : ReadFile(E.path());
    return R;
  }
};

// A card-like archive with every kind of entry a run treats differently:
// stored and deflated, encrypted and not, several blocks long, folders, a
// name written twice, a file in the way of a later folder and the other
// way round, names differing
// only in case, a bad CRC, damaged deflate data, another password, and
// data past the end of the archive (a directory defect).
TEST_F(UnzipThreadsTest, OneAndSeveralThreadsGiveTheSameFilesBytesAndEvents) {
  std::vector<TRawEntry> Entries;
  for (int I = 0; I < 24; ++I) {
    const std::string Name = "DCIM/" + std::to_string(I) + (I % 3 == 0 ? ".JPG" : ".txt");
    const std::string Text = I % 3 == 0 ? RandomBytes(40000 + 1000 * static_cast<size_t>(I), I) : Words(70000, I);
    Entries.push_back(Entry(Name, Text, I % 3 != 0, I % 2 == 0 ? "pw" : ""));
    if (I == 5) Entries.push_back(StoredEntry("DCIM/sub/", ""));
  }
  Entries.push_back(Entry("dup.txt", "first", false, "pw"));
  Entries.push_back(Entry("dup.txt", Words(50000, 99), true, "pw"));
  Entries.push_back(Entry("x", "a file where a folder is wanted", false));
  Entries.push_back(Entry("x/y.txt", "never written", false));
  Entries.push_back(Entry("Case.txt", "upper", false));
  Entries.push_back(Entry("case.txt", "lower", true, "pw"));
  TRawEntry BadCrc = Entry("bad_crc.bin", RandomBytes(90000, 7), false);
  BadCrc.Crc ^= 1;
  Entries.push_back(BadCrc);
  TRawEntry Damaged = Entry("damaged.txt", Words(80000, 5), true);
  Damaged.Data[Damaged.Data.size() / 2] ^= 0x55;
  Damaged.Data.resize(Damaged.Data.size() - 100);
  Entries.push_back(Damaged);
  Entries.push_back(Entry("other_password.txt", Words(40000, 6), true, "other"));
  Entries.push_back(Entry("DCIM/sub/last.txt", Words(20000, 8), true, "pw"));
  Entries.push_back(Entry("y/z.txt", Words(300000, 9), true, "pw"));
  Entries.push_back(Entry("y", "a file where a folder was made", false));
  // Many small files, more than the workers' window holds, so that their
  // ends are taken back in batches; most are encrypted, so that workers
  // take several at a time, and one in nine has a wrong CRC.
  for (int I = 0; I < 150; ++I) {
    TRawEntry Small = Entry("many/" + std::to_string(I) + ".txt", Words(100 + 37 * static_cast<size_t>(I), I),
                            I % 4 != 0, I % 5 != 0 ? "pw" : "");
    if (I % 9 == 4) Small.Crc ^= 0x8000;
    Entries.push_back(Small);
  }
  // Larger stored, encrypted files one after another, which a worker
  // decodes two at a time: whole ones, one with a wrong CRC, one declaring
  // less than its data holds and one more.
  for (int I = 0; I < 7; ++I) {
    TRawEntry Big = Entry("video/" + std::to_string(I) + ".MOV", RandomBytes(70000 + 30011 * static_cast<size_t>(I), 100 + I),
                          false, "pw");
    if (I == 2) Big.Crc ^= 1;
    if (I == 4) Big.Size -= 1000;
    if (I == 5) Big.Size += 1000;
    Entries.push_back(Big);
  }
  WriteFile(Dir / "card.zip", BuildRawArchive(Entries));

  for (const bool TestOnly : {false, true}) {
    SCOPED_TRACE(TestOnly);
    const TRecord One = Run(Temp("card.zip"), TestOnly ? "t1" : "x1", 1, TestOnly);
    const TRecord Two = Run(Temp("card.zip"), TestOnly ? "t2" : "x2", 2, TestOnly);
    EXPECT_EQ(Two, One);
    const TRecord Four = Run(Temp("card.zip"), TestOnly ? "t4" : "x4", 4, TestOnly);
    // The archive really holds failures and successes of every kind.
    EXPECT_EQ(One.Result, TestOnly ? 171 : 169);
    auto Verdict = [&One](int32_t I) { return One.PerEntry.at(I).back(); };
    EXPECT_EQ(Verdict(31).substr(0, 4), "crc ");
    EXPECT_EQ(Verdict(32).substr(0, 7), "skip " + std::to_string(srDataError) + " ");
    EXPECT_EQ(Verdict(33).substr(0, 7), "skip " + std::to_string(srBadPassword) + " ");
    EXPECT_EQ(Verdict(36), TestOnly ? "end" : "skip " + std::to_string(srCreateError) + " a folder of that name is in the way");
    EXPECT_EQ(Verdict(28), TestOnly ? "end" : "skip " + std::to_string(srCreateError) + " \"x\" is in the way: not a folder");
    EXPECT_EQ(Four.Result, One.Result);
    EXPECT_EQ(Four.Starts, One.Starts);
    EXPECT_EQ(Four.Ends, One.Ends);
    EXPECT_EQ(Four.FilePercent, One.FilePercent);
    EXPECT_EQ(Four.TotalPercent, One.TotalPercent);
    EXPECT_EQ(Four.PerEntry, One.PerEntry);
    EXPECT_EQ(Four.Files, One.Files);
    if (!TestOnly) {
      EXPECT_EQ(One.Files.at("dup.txt"), Words(50000, 99));
      EXPECT_EQ(One.Files.at("x"), "a file where a folder is wanted");
      EXPECT_EQ(One.Files.count("x/y.txt"), 0u);
      EXPECT_EQ(One.Files.count("bad_crc.bin"), 0u);
    }
  }
}

// A handler ending the run at an entry's start: the entries before it end
// and are in place, as with one thread; nothing of the later ones is left.
TEST_F(UnzipThreadsTest, CancelAtAnEntrysStartLetsTheEarlierOnesEnd) {
  std::vector<TRawEntry> Entries;
  // Large enough to be still in work when entry 6 starts.
  for (int I = 0; I < 10; ++I) Entries.push_back(Entry(std::to_string(I) + ".txt", Words(2000000, I), true, "pw"));
  WriteFile(Dir / "card.zip", BuildRawArchive(Entries));
  for (const int32_t Threads : {1, 3}) {
    SCOPED_TRACE(Threads);
    const std::string Dest = "out" + std::to_string(Threads);
    TArcUnZip Zip;
    Zip.SetThreads(Threads);
    Zip.SetDoProcessMessages(false);
    Zip.SetZipName(Temp("card.zip"));
    Zip.SetDestDir(Temp(Dest));
    Zip.SetDoAll(true);
    Zip.SetPassword("pw");
    int32_t Ended = 0;
    Zip.OnStartUnZip = [](TObject*, int32_t I, std::string&, bool&) {
      if (I == 6) throw EUserCanceled();
    };
    Zip.OnEndUnZip = [&Ended](TObject*, int32_t, const std::string&) { ++Ended; };
    EXPECT_THROW(Zip.UnZip(), EUserCanceled);
    EXPECT_EQ(Ended, 6);
    std::vector<std::string> Found;
    for (const auto& E : fs::directory_iterator(Dir / Dest)) Found.push_back(E.path().filename().string());
    std::sort(Found.begin(), Found.end());
    EXPECT_EQ(Found, (std::vector<std::string>{"0.txt", "1.txt", "2.txt", "3.txt", "4.txt", "5.txt"}));
    EXPECT_EQ(ReadFile(Dir / Dest / "5.txt"), Words(2000000, 5));
  }
}

// A handler ending the run at an entry's end: that entry and the earlier
// ones are in place; of the later ones, whatever a worker had already put
// in place is whole, and no temporary file is left behind.
TEST_F(UnzipThreadsTest, CancelAtAnEntrysEndLeavesOnlyWholeFiles) {
  std::vector<TRawEntry> Entries;
  for (int I = 0; I < 40; ++I) Entries.push_back(Entry(std::to_string(I) + ".txt", Words(3000 + 997 * static_cast<size_t>(I), I), I % 2 == 0, "pw"));
  WriteFile(Dir / "card.zip", BuildRawArchive(Entries));
  TArcUnZip Zip;
  Zip.SetThreads(3);
  Zip.SetDoProcessMessages(false);
  Zip.SetZipName(Temp("card.zip"));
  Zip.SetDestDir(Temp("out"));
  Zip.SetDoAll(true);
  Zip.SetOverwriteMode(Always);
  Zip.SetPassword("pw");
  int Ends = 0;
  Zip.OnEndUnZip = [&Ends](TObject*, int32_t I, const std::string&) {
    ++Ends;
    if (I == 9) throw EUserCanceled();
  };
  EXPECT_THROW(Zip.UnZip(), EUserCanceled);
  std::set<int> Found;
  for (const auto& E : fs::directory_iterator(Dir / "out")) {
    const std::string Name = E.path().filename().string();
    ASSERT_NE(Name.front(), '.') << "a temporary file is left: " << Name;
    const int I = std::stoi(Name);
    EXPECT_EQ(ReadFile(E.path()), Words(3000 + 997 * static_cast<size_t>(I), I)) << Name;
    Found.insert(I);
  }
  for (int I = 0; I <= 9; ++I) EXPECT_EQ(Found.count(I), 1u) << I;
  // Every file left is told of: by its end, or as put in place unreported.
  EXPECT_EQ(static_cast<size_t>(Ends + Zip.PlacedUnreported()), Found.size());
}

// A disk that fills up under one entry's file, damaged data, a wrong
// password and a file the system will not rename into place, all met by
// workers: each fails only its own entry, with the
// reason a run with one thread gives, leaves no file (nor a temporary one),
// and the count tells the run failed; every other entry is right.
TEST_F(UnzipThreadsTest, FailuresInWorkersFailOnlyTheirEntries) {
  std::vector<TRawEntry> Entries;
  std::map<std::string, std::string> Good;
  for (int I = 0; I < 12; ++I) {
    const std::string Name = "f" + std::to_string(I) + ".txt";
    Good[Name] = Words(60000, I);
    Entries.push_back(Entry(Name, Good[Name], I % 2 == 0, "pw"));
    if (I == 3) Entries.push_back(Entry("full/victim.bin", RandomBytes(200000, 1), false, "pw"));
    if (I == 6) {
      TRawEntry Bad = Entry("bad.txt", Words(90000, 50), true, "pw");
      Bad.Crc ^= 0x100;
      Entries.push_back(Bad);
    }
    if (I == 8) Entries.push_back(Entry("locked.txt", Words(30000, 51), true, "not pw"));
    if (I == 10) Entries.push_back(Entry("stuck/kept.txt", Words(40000, 52), true, "pw"));
  }
  // Two larger stored files decoded side by side, the disk full under the
  // first.
  Entries.push_back(Entry("tailfull/a.bin", RandomBytes(300000, 53), false, "pw"));
  Good["tail"] = "<folder>";
  Good["tail/fine.bin"] = RandomBytes(250000, 54);
  Entries.push_back(Entry("tail/fine.bin", Good["tail/fine.bin"], false, "pw"));
  WriteFile(Dir / "card.zip", BuildRawArchive(Entries));

  platform::TFaultFileSystem Fault;
  const int Full = Fault.Add({.Op = platform::TFsOp::Write, .Path = "*/full/*", .Error = ENOSPC, .Offset = 70000});
  const int TailFull = Fault.Add({.Op = platform::TFsOp::Write, .Path = "*/tailfull/*", .Error = ENOSPC, .Offset = 100000});
  // A whole, checked file the system refuses to put under its name.
  const int Stuck = Fault.Add({.Op = platform::TFsOp::Rename, .Path = "*/stuck/kept.txt", .Error = EACCES});
  TRecord R;
  {
    platform::TFileSystemOverride Guard(Fault);
    R = Run(Temp("card.zip"), "out", 2, false);
  }
  EXPECT_GT(Fault.Fired(Full), 0);
  EXPECT_GT(Fault.Fired(TailFull), 0);
  EXPECT_EQ(Fault.Fired(Stuck), 1);
  EXPECT_EQ(R.Result, 13);
  ASSERT_EQ(R.PerEntry.size(), Entries.size());
  const std::string NoSpace = platform::SysErrorMessage(platform::ErrnoToWinError(ENOSPC));
  const std::vector<std::string>& Victim = R.PerEntry.at(4);
  ASSERT_EQ(Victim.size(), 2u);
  EXPECT_EQ(Victim[1].substr(0, 19), "skip " + std::to_string(srWriteError) + " cannot write");
  EXPECT_NE(Victim[1].find(NoSpace), std::string::npos) << Victim[1];
  // An encrypted entry whose data comes out wrong is a wrong password.
  const std::string BadPassword = "skip " + std::to_string(srBadPassword) + " ";
  EXPECT_EQ(R.PerEntry.at(8).back().substr(0, BadPassword.size() + 10), BadPassword + "CRC error ");
  EXPECT_EQ(R.PerEntry.at(11).back().substr(0, BadPassword.size()), BadPassword);
  const std::string NotPlaced = "skip " + std::to_string(srWriteError) + " cannot put \"";
  EXPECT_EQ(R.PerEntry.at(14).back().substr(0, NotPlaced.size()), NotPlaced);
  EXPECT_NE(R.PerEntry.at(14).back().find("stuck/kept.txt\" in place: Permission denied"), std::string::npos)
      << R.PerEntry.at(14).back();
  const std::string& TailVerdict = R.PerEntry.at(16).back();
  EXPECT_EQ(TailVerdict.substr(0, 19), "skip " + std::to_string(srWriteError) + " cannot write");
  EXPECT_NE(TailVerdict.find("tailfull/"), std::string::npos) << TailVerdict;
  EXPECT_NE(TailVerdict.find(NoSpace), std::string::npos) << TailVerdict;
  // The folder made for the failed entry alone went with it.
  EXPECT_EQ(R.Files, Good);
}

// A name written another way ("a/./x", "a//x") leads to the same file:
// the later entry's bytes are what stays, as with one thread, even when
// the earlier one takes much longer to write.
TEST_F(UnzipThreadsTest, ANameWrittenTwoWaysKeepsTheLaterEntry) {
  for (const std::string Later : {"a/./x.txt", "a//x.txt"}) {
    SCOPED_TRACE(Later);
    WriteFile(Dir / "card.zip", BuildRawArchive({Entry("a/x.txt", Words(3000000, 1), true), Entry(Later, "later", false)}));
    const TRecord R = Run(Temp("card.zip"), "out", 2, false);
    EXPECT_EQ(R.Result, 2);
    EXPECT_EQ(R.Files.at("a/x.txt").substr(0, 40), "later");
  }
}

// An entry whose data comes out wrong with the password in use, and which
// a new password then makes whole, is written before a later entry of the
// same name, as with one thread: the later entry's file is what stays.
TEST_F(UnzipThreadsTest, AnEntryRetriedWithANewPasswordDoesNotReplaceALaterOneOfItsName) {
  const TRawEntry First = Entry("dup.txt", Words(50000, 1), true, "new");
  // A password that passes the first entry's check byte but not its data.
  std::string Old;
  for (int K = 0; Old.empty(); ++K) {
    TZipCrypt Crypt;
    const TEncryptionHeader Header = Crypt.MakeEncryptionHeader("new", First.Crc, 12345);
    if (Crypt.DecryptHeader("old" + std::to_string(K), Header.data()) == PasswordCheckByte(0, 0, First.Crc))
      Old = "old" + std::to_string(K);
  }
  WriteFile(Dir / "card.zip", BuildRawArchive({First, Entry("dup.txt", "later", false, "new")}));
  for (const int32_t Threads : {1, 2}) {
    SCOPED_TRACE(Threads);
    TArcUnZip Zip;
    Zip.SetThreads(Threads);
    Zip.SetDoProcessMessages(false);
    Zip.SetZipName(Temp("card.zip"));
    Zip.SetDestDir(Temp("out" + std::to_string(Threads)));
    Zip.SetDoAll(true);
    Zip.SetOverwriteMode(Always);
    Zip.SetPassword(Old);
    Zip.OnBadPassword = [](TObject*, int32_t, std::string& NewPassword) { NewPassword = "new"; };
    EXPECT_EQ(Zip.UnZip(), 2);
    EXPECT_EQ(ReadFile(Dir / ("out" + std::to_string(Threads)) / "dup.txt").substr(0, 40), "later");
  }
}

}  // namespace
}  // namespace zem::test
