// Reading directories of archives made by other zip tools, the read-outs,
// comments, sorted views, properties and copying.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "arc_unzip_fixture.h"
#include "archive/reader/arc_messages.h"

namespace zem {
namespace {

using test::ReaderTest;

using test::FromHex;
using test::SplitTabs;

struct TExpected {
  std::string File;
  uint64_t Base = 0, Total = 0;
  std::string Comment;
  std::vector<std::vector<std::string>> Entries;
};

std::vector<TExpected> LoadExpected() {
  std::vector<TExpected> All;
  std::map<std::string, size_t> ByFile;
  std::stringstream In(test::ReadFile(std::filesystem::path(ZEM_TEST_DATA) / "interop" / "expected.tsv"));
  std::string Line;
  while (std::getline(In, Line)) {
    auto C = SplitTabs(Line);
    if (C.size() < 2) continue;
    if (C[0] == "A") {
      TExpected A;
      A.File = C[1];
      A.Base = std::stoull(C[2]);
      A.Total = std::stoull(C[3]);
      A.Comment = FromHex(C[8]);
      ByFile[A.File] = All.size();
      All.push_back(A);
    } else if (C[0] == "E") {
      All.at(ByFile.at(C[1])).Entries.push_back(C);
    }
  }
  return All;
}

std::string Slashed(std::string S) {
  for (char& C : S)
    if (C == '\\') C = '/';
  return S;
}

// Every archive of the independent tools: count, names (CP437 and UTF-8
// decoded), sizes (Zip64 included), CRC, method, comments read lazily.
TEST_F(ReaderTest, InteropArchivesReadAsTheirManifestSays) {
  const auto All = LoadExpected();
  ASSERT_GT(All.size(), 30u);
  for (const TExpected& A : All) {
    SCOPED_TRACE(A.File);
    TArcUnZip Zip;
    Zip.SetZipName(Interop(A.File));
    Zip.SetIncompleteZipMode(izAssumeBad);
    ASSERT_NO_THROW(Zip.ReadDirectory());
    ASSERT_EQ(static_cast<uint64_t>(Zip.Count()), A.Total);
    EXPECT_EQ(Zip.ArchiveComment(), A.Comment);
    for (const auto& E : A.Entries) {
      const int I = std::stoi(E[2]);
      SCOPED_TRACE(I);
      const TZipHeaderInfo& H = Zip.EntryHeader(I);
      EXPECT_EQ(Slashed(H.FullName()), FromHex(E[3]));
      EXPECT_EQ(Zip.EntryUncompressedSize(I), std::stoull(E[6]));
      EXPECT_EQ(H.CompressedSize(), std::stoull(E[7]));
      EXPECT_EQ(Format("%08x", H.Crc32()), E[8]);
      EXPECT_EQ(H.CompressionMethod(), std::stoul(E[9]));
      if (A.Base == 0) {
        EXPECT_EQ(H.RelativeOffset(), std::stoull(E[12]));
      }
      if (A.Entries.size() < 100) {
        EXPECT_EQ(Zip.EntryComment(I), FromHex(E[11]));
      }
    }
  }
}

TEST_F(ReaderTest, ManyEntriesBehindZip64EndRecord) {
  TArcUnZip Zip;
  Zip.SetZipName(Interop("zip64/z64_many_entries_python.zip"));
  Zip.ReadDirectory();
  EXPECT_EQ(Zip.Count(), 66000);
  EXPECT_EQ(Zip.EndRecord().TotalEntries(), 66000u);
  EXPECT_NE(Zip.EndRecord().Zip64EndRecord(), nullptr);
  // The archive stays closed between operations.
  EXPECT_FALSE(Zip.KeepZipOpen());
}

TEST_F(ReaderTest, CommentsAreReadOnFirstUseAndSetWithoutWriting) {
  const std::string Name = Temp("c.zip");
  test::WriteFile(Dir / "c.zip",
                  test::BuildArchive({{"a.txt", "aaa", "first"}, {"d\\b.txt", "bb", ""}}, "whole"));
  TArcUnZip Zip;
  Zip.SetZipName(Name);
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 2);
  // Only lengths after the load; texts come from the file when asked for.
  EXPECT_FALSE(Zip.EntryHeader(0).FileComment().has_value());
  EXPECT_FALSE(Zip.EndRecord().ZipComment().has_value());
  EXPECT_EQ(Zip.EntryComment(0), "first");
  EXPECT_EQ(Zip.EntryComment(1), "");
  EXPECT_EQ(Zip.ArchiveComment(), "whole");
  EXPECT_FALSE(Zip.EndRecord().Modified());

  Zip.SetEntryComment(0, "first");  // unchanged: not modified
  Zip.SetArchiveComment("whole");
  EXPECT_FALSE(Zip.EndRecord().Modified());
  Zip.SetEntryComment(1, "new");
  EXPECT_TRUE(Zip.EndRecord().Modified());
  EXPECT_EQ(Zip.EntryComment(1), "new");
  Zip.SetArchiveComment("");
  EXPECT_EQ(Zip.ArchiveComment(), "");
  EXPECT_EQ(Zip.EndRecord().ZipCommentLength(), 0);
}

TEST_F(ReaderTest, IndexedReadOutsCheckTheirRange) {
  TArcUnZip Zip;
  Zip.SetZipName(Interop("damaged/dmg_source.zip"));
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 5);
  EXPECT_EQ(Zip.EntryName(1), "table.bin");
  EXPECT_EQ(Zip.EntryHeader(1).Directory(), "data\\");
  try {
    Zip.EntryName(Zip.Count());
    FAIL() << "no error";
  } catch (const EListError& E) {
    EXPECT_STREQ(E.what(), "Index 5 is out of range");
  }
  EXPECT_THROW(Zip.EntryUncompressedSize(-1), EListError);
  EXPECT_THROW(Zip.EntryComment(7), EListError);
  // 2023-04-05 06:07:08
  TDateTime Expected = EncodeDateTime(2023, 4, 5, 6, 7, 8);
  EXPECT_DOUBLE_EQ(Zip.EntryDateTime(0), Expected);
}

TEST_F(ReaderTest, ImpossibleEntryDateGivesNow) {
  std::string Bytes = test::BuildArchive({{"a.txt", "x", ""}});
  // Central header date field: 31 April 2023.
  const size_t Central = Bytes.find("PK\x01\x02");
  ASSERT_NE(Central, std::string::npos);
  const uint16_t Date = static_cast<uint16_t>(((2023 - 1980) << 9) | (4 << 5) | 31);
  Bytes[Central + 14] = static_cast<char>(Date & 0xFF);
  Bytes[Central + 15] = static_cast<char>(Date >> 8);
  test::WriteFile(Dir / "d.zip", Bytes);
  TArcUnZip Zip;
  Zip.SetZipName(Temp("d.zip"));
  Zip.ReadDirectory();
  const TDateTime Before = NowDateTime();
  const TDateTime Got = Zip.EntryDateTime(0);
  EXPECT_GE(Got, Before - 1.0 / 86400);
  EXPECT_LE(Got, NowDateTime() + 1.0 / 86400);
}

TEST_F(ReaderTest, SortedViewsKeepTheDirectoryAndInsertOrder) {
  test::WriteFile(Dir / "s.zip", test::BuildArchive({{"b.txt", "22", ""},
                                                     {"a.txt", "4444", ""},
                                                     {"c.txt", "1", ""},
                                                     {"d\\a.txt", "333", ""}}));
  TArcUnZip Zip;
  Zip.SetZipName(Temp("s.zip"));
  Zip.ReadDirectory();
  Zip.SetSortMode(ByFileName);
  ASSERT_EQ(Zip.Count(), 4);
  // Equal file names: the later entry goes before the earlier one, as a
  // sorted insert puts it.
  EXPECT_EQ(Zip.EntryHeader(0).FullName(), "d\\a.txt");
  EXPECT_EQ(Zip.EntryHeader(1).FullName(), "a.txt");
  EXPECT_EQ(Zip.EntryName(2), "b.txt");
  EXPECT_EQ(Zip.EntryName(3), "c.txt");
  Zip.SetSortMode(ByName);
  EXPECT_EQ(Zip.EntryHeader(3).FullName(), "d\\a.txt");
  // Reference order from inserting one by one into a sorted list.
  for (TZipSortMode Mode : {ByUnCompressedSize, ByRate, ByDate, ByCompressedSize}) {
    TSortedZip Ref(AllowDuplicate);
    Ref.SetOwnsItems(false);
    Ref.SetSortMode(Mode);
    Zip.SetSortMode(ByNone);
    for (int I = 0; I < Zip.Count(); ++I)
      Ref.Add(const_cast<TZipHeaderInfo*>(&Zip.EntryHeader(I)));
    Zip.SetSortMode(Mode);
    for (int I = 0; I < Zip.Count(); ++I) EXPECT_EQ(&Zip.EntryHeader(I), Ref.Items(I)) << Mode;
  }
  Zip.SetSortMode(ByNone);
  EXPECT_EQ(Zip.EntryName(0), "b.txt");
  EXPECT_EQ(Zip.SortMode(), ByNone);
}

TEST_F(ReaderTest, ZipNameSetterDialogAndDroppedState) {
  TArcUnZip Zip;
  Zip.SetZipName(Interop("damaged/dmg_source.zip"));
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 5);
  const int64_t Loads = Zip.LoadCount();
  // The same name: nothing dropped. The name in other letter case is
  // another file on Linux: taken, and what was loaded dropped.
  Zip.SetZipName(Interop("damaged/dmg_source.zip"));
  EXPECT_EQ(Zip.Count(), 5);
  TArcUnZip Other;
  Other.SetZipName(Interop("damaged/dmg_source.zip"));
  Other.ReadDirectory();
  std::string Upper = Interop("damaged/dmg_source.zip");
  for (char& C : Upper) C = static_cast<char>(toupper(static_cast<unsigned char>(C)));
  Other.SetZipName(Upper);
  EXPECT_EQ(Other.Count(), 0);
  EXPECT_EQ(Other.ZipName(), Upper);

  // Headless-like cancel: EUserCanceled, nothing changes.
  try {
    Zip.SetZipName(Temp("x") + "\\?");  // a wildcard ('?' of a Linux name would be escaped)
    FAIL() << "no error";
  } catch (const EUserCanceled& E) {
    EXPECT_EQ(E.Message(), "User canceled setting zip file name.");
  }
  EXPECT_EQ(Zip.Count(), 5);
  ASSERT_EQ(Services->OpenDialogs.size(), 1u);
  EXPECT_EQ(Services->OpenDialogs[0].Title, "Open a Zip File");
  EXPECT_EQ(Services->OpenDialogs[0].Filter,
            "Zip Files (*.ZIP)|*.zip|SFX Files (*.EXE)|*.exe|Jar Files (*.JAR)|*.jar|All Files (*.*)|*.*");
  EXPECT_EQ(Services->OpenDialogs[0].InitialDir, "C:\\");  // x\ does not exist

  Services->OpenAnswer = Interop("comments/cm_python.zip");
  Zip.SetZipName(platform::FromNativePath(Dir.Native()) + "\\?");
  EXPECT_EQ(Services->OpenDialogs[1].InitialDir, platform::FromNativePath(Dir.Native()) + "\\");
  EXPECT_EQ(Zip.ZipName(), Interop("comments/cm_python.zip"));
  EXPECT_EQ(Zip.Count(), 0);  // dropped, not read yet
  EXPECT_EQ(Zip.LoadCount(), Loads);
  Zip.ReadDirectory();
  EXPECT_EQ(Zip.Count(), 4);

  // Design time: stored, nothing dropped.
  Zip.SetDesigning(true);
  Zip.SetZipName("C:\\other.zip");
  EXPECT_EQ(Zip.ZipName(), "C:\\other.zip");
  EXPECT_EQ(Zip.Count(), 4);
}

TEST_F(ReaderTest, DestDirAndRootDirSetters) {
  TArcUnZip Zip;
  Zip.SetDestDir("F:\\");
  EXPECT_EQ(Zip.DestDir(), "F:");
  Zip.SetDestDir("F:\\out");
  EXPECT_EQ(Zip.DestDir(), "F:\\out");
  EXPECT_THROW(Zip.SetDestDir("?"), EUserCanceled);
  EXPECT_EQ(Zip.DestDir(), "F:\\out");
  Services->FolderAnswer = "F:\\chosen\\";
  Zip.SetDestDir("?");
  EXPECT_EQ(Zip.DestDir(), "F:\\chosen");
  try {
    Services->FolderAnswer.clear();
    Zip.SetDestDir("?");
  } catch (const EUserCanceled& E) {
    EXPECT_EQ(E.Message(), "User canceled Set Destination Directory");
  }

  Zip.SetRootDir("dir");
  EXPECT_EQ(Zip.RootDir(), "dir\\");
  EXPECT_EQ(Zip.RelativePathList(), std::vector<std::string>{"dir\\"});
  Zip.SetRootDir("");
  EXPECT_EQ(Zip.RelativePathList(), std::vector<std::string>{""});
}

TEST_F(ReaderTest, DefaultsAssignAndLoaded) {
  TArcUnZip A;
  EXPECT_EQ(A.ThisVersion(), 304);
  EXPECT_EQ(A.ThisBuild(), 1);
  EXPECT_EQ(A.IncompleteZipMode(), izAssumeMulti);
  EXPECT_EQ(A.OverwriteMode(), Prompt);
  EXPECT_TRUE(A.DoProcessMessages());
  EXPECT_TRUE(A.RetainAttributes());
  EXPECT_TRUE(A.OEMConvert());
  EXPECT_TRUE(A.CheckDiskLabels());
  EXPECT_EQ(A.MultiMode(), mmNone);
  EXPECT_EQ(A.DiskCount(), 1);
  EXPECT_EQ(A.SortMode(), ByNone);
  A.SetThisVersion(1);
  EXPECT_EQ(A.ThisVersion(), 304);

  A.SetZipName("C:\\a\\arc.zip");
  A.SetDestDir("F:\\x");
  A.SetRootDir("r");
  A.SetFilesList({"*.txt", "b"});
  A.SetDoAll(true);
  A.SetIncompleteZipMode(izAssumeBad);
  A.SetKeepZipOpen(true);
  A.SetOverwriteMode(ifNewer);
  int Called = 0;
  A.OnInCompleteZip = [&](TObject*, TIncompleteZipMode&) { ++Called; };
  A.OnHandleMessage = [&](TObject*, int32_t, const std::string&, const std::string&, uint32_t,
                          int32_t&) { ++Called; };

  TArcUnZip B;
  B.Assign(&A);
  EXPECT_EQ(B.ZipName(), "C:\\a\\arc.zip");
  EXPECT_EQ(B.DestDir(), "F:\\x");
  EXPECT_EQ(B.RootDir(), "r\\");
  EXPECT_EQ(B.RelativePathList(), A.RelativePathList());
  EXPECT_EQ(B.FilesList(), A.FilesList());
  EXPECT_TRUE(B.DoAll());
  EXPECT_EQ(B.IncompleteZipMode(), izAssumeBad);
  EXPECT_TRUE(B.KeepZipOpen());
  EXPECT_EQ(B.OverwriteMode(), ifNewer);
  ASSERT_TRUE(static_cast<bool>(B.OnInCompleteZip));
  EXPECT_FALSE(static_cast<bool>(B.OnHandleMessage));  // not among the copied handlers
  TIncompleteZipMode M = izAssumeMulti;
  B.OnInCompleteZip(&B, M);
  EXPECT_EQ(Called, 1);

  TZipHeaderInfo Other;
  EXPECT_THROW(B.Assign(&Other), EConvertError);

  B.BeginLoading();
  B.Loaded();
  EXPECT_FALSE(B.IsLoading());
  EXPECT_EQ(B.ThisBuild(), 1);
}

TEST_F(ReaderTest, MessageHookAndTable) {
  TArcUnZip Zip;
  EXPECT_EQ(Zip.DoHandleMessage(197, "Unknown Compression Method", "Zip Error", 0), platform::IDOK);
  ASSERT_EQ(Services->Boxes.size(), 1u);
  EXPECT_EQ(Services->Boxes[0].Caption, "Zip Error");
  int32_t SeenId = 0;
  Zip.OnHandleMessage = [&](TObject* Sender, int32_t Id, const std::string& M1, const std::string&,
                            uint32_t Flags, int32_t& Return) {
    EXPECT_EQ(Sender, &Zip);
    SeenId = Id;
    Return = M1 == "q" && Flags == 4 ? 6 : 7;
  };
  EXPECT_EQ(Zip.DoHandleMessage(196, "q", "File Exists Alert", 4), 6);
  EXPECT_EQ(SeenId, 196);
  EXPECT_EQ(Services->Boxes.size(), 1u);

  EXPECT_EQ(LoadZipStr(197), "Unknown Compression Method");
  EXPECT_EQ(LoadZipStr(208), "");
  EXPECT_EQ(ENotAZipFile().Message(), "Not a valid zip file!");
  EXPECT_EQ(EBadZipFile().Message(), "Not a valid zip file!");
  EXPECT_EQ(EIncompleteZip().Message(), "Incomplete Zip File");
  EXPECT_EQ(EUserCanceled().Message(), "User canceled Zip operation");
  EXPECT_EQ(EFatalUnzipError().Message(), "Premature end of file reached");
  EXPECT_EQ(ECantWriteUCF().Message(), "Can't write uncompressed file");
  EXPECT_EQ(EBiggerThanUncompressed().Message(), "File is larger than uncompressed size!");
  EXPECT_EQ(ENotEnoughRoom().Message(), "Not enough room to write archive");
  EXPECT_EQ(EConfigFileSaveError().Message(), "Unable to save Zip Configuration File to disk");
  EXPECT_EQ(EZCompressionError().Message(), "error");
}

}  // namespace
}  // namespace zem
