// Tests of the Zip operation and the per-entry step on a card drive F:
// entry fields per level and password, local headers against central ones,
// rebuild order, update by date, events, and the failure paths (a disk
// that fills up, a cancelled start) that must leave no partial archive.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/format/crc_crypt.h"
#include "archive/reader/arc_messages.h"
#include "writer_fixture.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

class ZipOperationTest : public WriterTest {
 protected:
  // A component for the archive F:\<Rel> with stored paths.
  std::unique_ptr<TArcZip> MakeZip(const std::string& Rel = "out.zip") {
    auto Z = std::make_unique<TArcZip>();
    Z->SetZipName("F:\\" + Rel);
    Z->SetStorePaths(true);
    Z->SetDoProcessMessages(false);
    return Z;
  }
  std::string Archive(const std::string& Rel = "out.zip") const { return ReadFile(Card / Rel); }

  // Entries as a fresh reader sees them: name -> header copy.
  struct TRead {
    std::string Name;
    uint16_t Flags, Method;
    uint32_t Crc;
    uint64_t Size, Packed, Offset;
    std::string Comment;
  };
  std::vector<TRead> ReadBack(const std::string& Rel = "out.zip") {
    TArcUnZip R;
    R.SetZipName("F:\\" + Rel);
    R.ReadDirectory();
    std::vector<TRead> Out;
    for (int I = 0; I < R.Count(); ++I) {
      const TZipHeaderInfo& E = R.EntryHeader(I);
      Out.push_back({E.FullName(), E.Flags(), E.CompressionMethod(), E.Crc32(),
                     E.UncompressedSize(), E.CompressedSize(), E.RelativeOffset(),
                     R.EntryComment(I)});
    }
    return Out;
  }
  static std::vector<std::string> Names(const std::vector<TRead>& Entries) {
    std::vector<std::string> N;
    for (const auto& E : Entries) N.push_back(E.Name);
    return N;
  }
};

// Sizes, method and flag bits for every level, with and without a password;
// the final local header equals the central one and the encryption
// header's last byte carries the CRC's top byte.
TEST_F(ZipOperationTest, EntryFieldsFollowLevelAndPassword) {
  const std::string Text = std::string(20000, 'a') + RandomBytes(3000, 5);
  Put("d/text.txt", Text);
  Put("d/empty.txt", "");
  MakeDir("d/sub");
  for (int Level = 0; Level <= 9; ++Level) {
    for (bool Pw : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "level " << Level << (Pw ? " with password" : ""));
      fs::remove(Card / "out.zip");
      auto Z = MakeZip();
      Z->SetPackLevel(Level);
      if (Pw) Z->SetPassword("secret");
      Z->FilesList() = {"F:\\d\\text.txt", "F:\\d\\empty.txt", "F:\\d\\sub\\"};
      ASSERT_EQ(Z->Zip(), 3);
      const auto E = ReadBack();
      ASSERT_EQ(Names(E), (std::vector<std::string>{"d\\text.txt", "d\\empty.txt", "d\\sub\\"}));
      const uint16_t LevelBits = Level <= 2 ? 0x0004 : Level >= 8 ? 0x0002 : 0;
      const uint16_t Enc = Pw ? 1 : 0;
      const uint32_t Extra = Pw ? 12 : 0;
      EXPECT_EQ(E[0].Method, Level == 0 ? 0 : 8);
      EXPECT_EQ(E[0].Flags, LevelBits | Enc);
      EXPECT_EQ(E[0].Crc, Crc32Of(Text.data(), Text.size()));
      EXPECT_EQ(E[0].Size, Text.size());
      if (Level == 0) {
        EXPECT_EQ(E[0].Packed, Text.size() + Extra);
      }
      if (Level > 0) {
        EXPECT_LT(E[0].Packed, Text.size());
      }
      EXPECT_EQ(E[1].Crc, 0u);
      EXPECT_EQ(E[1].Method, 0);  // deflate would only add its 2 bytes
      EXPECT_EQ(E[1].Packed, Extra);
      EXPECT_EQ(E[2].Flags, 0);  // a directory is never encrypted
      EXPECT_EQ(E[2].Method, 0);

      const std::string Bytes = Archive();
      TMemoryStream S(Bytes);
      for (const auto& Entry : E) {
        S.SetPosition(static_cast<int64_t>(Entry.Offset));
        TZipHeaderInfo L;
        ASSERT_TRUE(L.ReadLocal(S));
        EXPECT_EQ(L.FullName(), Entry.Name);
        EXPECT_EQ(L.Crc32(), Entry.Crc);
        EXPECT_EQ(L.Flags(), Entry.Flags);
        EXPECT_EQ(L.CompressionMethod(), Entry.Method);
        EXPECT_EQ(L.CompressedSize(), Entry.Packed);
        EXPECT_EQ(L.UncompressedSize(), Entry.Size);
        EXPECT_EQ(L.LocalExtraLength(), 9);  // the extended timestamp alone
        EXPECT_TRUE(L.ModTime().has_value());
        if (Pw && Entry.Name != "d\\sub\\") {
          TZipCrypt C;
          const auto* H = reinterpret_cast<const uint8_t*>(Bytes.data() + S.Position() + L.LocalExtraLength());
          EXPECT_EQ(C.DecryptHeader("secret", H), static_cast<uint8_t>(Entry.Crc >> 24));
        }
      }
    }
  }
}

TEST_F(ZipOperationTest, NoCompressListStoresButKeepsLevelBits) {
  Put("a.jpg", std::string(5000, 'z'));
  auto Z = MakeZip();
  Z->SetPackLevel(9);
  Z->SetNoCompressList({"*.jpg"});
  Z->FilesList() = {"F:\\a.jpg"};
  ASSERT_EQ(Z->Zip(), 1);
  const auto E = ReadBack();
  EXPECT_EQ(E[0].Method, 0);
  EXPECT_EQ(E[0].Flags, 0x0002);
  EXPECT_EQ(E[0].Packed, 5000u);
}

// Data that deflate cannot shrink by the margin is stored, judged on its
// first block: a photo, a small random file, and a photo whose first block
// alone would shrink by 1%, under the margin. Text is deflated, and
// NoCompressList still stores what it names. The same on both engines, with
// and without a password, and every entry tests clean.
TEST_F(ZipOperationTest, IncompressibleDataIsStored) {
  std::string Text;
  for (int I = 0; I < 9000; ++I) Text += "frame " + std::to_string(I % 97) + " exposure ok\n";
  Put("IMG_0001.JPG", RandomBytes(300000, 1));
  Put("small.bin", RandomBytes(3000, 2));
  Put("IMG_0002.JPG", std::string(650, '\0') + RandomBytes(200000, 3));
  Put("log.txt", Text);
  Put("list.txt", Text);
  for (const TDeflateEngine Engine : {TDeflateEngine::deAuto, TDeflateEngine::deZlib})
    for (const bool Pw : {false, true}) {
      SCOPED_TRACE(::testing::Message() << (Engine == TDeflateEngine::deZlib ? "zlib" : "auto")
                                        << (Pw ? " with password" : ""));
      fs::remove(Card / "out.zip");
      auto Z = MakeZip();
      Z->SetDeflateEngine(Engine);
      Z->SetPackLevel(6);
      if (Pw) Z->SetPassword("secret");
      Z->SetNoCompressList({"list.*"});
      Z->FilesList() = {"F:\\IMG_0001.JPG", "F:\\small.bin", "F:\\IMG_0002.JPG", "F:\\log.txt", "F:\\list.txt"};
      ASSERT_EQ(Z->Zip(), 5);
      const auto E = ReadBack();
      const uint32_t Extra = Pw ? 12 : 0;
      for (int I : {0, 1, 2, 4}) {
        EXPECT_EQ(E[I].Method, 0) << E[I].Name;
        EXPECT_EQ(E[I].Packed, E[I].Size + Extra) << E[I].Name;
      }
      EXPECT_EQ(E[3].Method, 8);
      EXPECT_LT(E[3].Packed, Text.size() / 4);
      TArcUnZip R;
      R.SetZipName("F:\\out.zip");
      R.SetPassword(Pw ? "secret" : "");
      R.SetDeflateEngine(Engine);
      R.SetDoAll(true);
      R.ReadDirectory();
      EXPECT_EQ(R.TestZip(), 5);
    }
}

TEST_F(ZipOperationTest, BlankNameAndEmptyList) {
  int Completed = -1;
  auto Z = MakeZip();
  Z->OnZipComplete = [&](TObject*, int32_t N) { Completed = N; };
  Z->SetZipName("  ");
  Z->FilesList() = {"F:\\x"};
  EXPECT_EQ(Z->Zip(), 0);
  EXPECT_EQ(Completed, 0);
  EXPECT_EQ(Z->FilesList().size(), 1u);

  // An empty list gives an archive of just the end record.
  Z = MakeZip();
  int Percent = -1;
  Z->OnTotalPercentDone = [&](TObject*, int32_t P) { Percent = P; };
  EXPECT_EQ(Z->Zip(), 0);
  EXPECT_EQ(Archive(), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  EXPECT_EQ(Percent, 100);
}

// zaReplace: replaced entries keep their place, others are carried over
// with their comments, new files follow in list order; the result counts
// replaced and new files. zaUpdate: an entry at least as new as its file
// stays and is not counted.
TEST_F(ZipOperationTest, RebuildReplaceOrderAndUpdateByDate) {
  Put("a.txt", "alpha");
  Put("b.txt", "bravo");
  Put("c.txt", "charlie");
  auto Z = MakeZip();
  Z->SetPassword("pw");
  Z->FilesList() = {"F:\\a.txt", "F:\\b.txt", "F:\\c.txt"};
  ASSERT_EQ(Z->Zip(), 3);
  Z->SetEntryComment(1, "comment of b");
  Z->SetArchiveComment("archive note");
  Z->FilesList() = {"F:\\a.txt"};  // unchanged: kept under zaUpdate
  ASSERT_EQ(Z->Zip(), 0);
  EXPECT_EQ(ReadBack()[1].Comment, "comment of b");

  Put("b.txt", "bravo, longer now");
  Put("d.txt", "delta");
  std::vector<std::pair<TUpdateAction, int>> Updates;
  Z->SetZipAction(zaReplace);
  Z->OnUpdate = [&](TObject*, TUpdateAction A, int32_t I) { Updates.push_back({A, I}); };
  Z->FilesList() = {"F:\\d.txt", "F:\\b.txt"};
  ASSERT_EQ(Z->Zip(), 2);
  const auto E = ReadBack();
  EXPECT_EQ(Names(E), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "d.txt"}));
  EXPECT_EQ(E[1].Size, 17u);
  EXPECT_EQ(E[0].Comment, "");
  EXPECT_EQ(E[1].Comment, "");  // a replaced entry is a new entry
  EXPECT_EQ(E[2].Crc, Crc32Of("charlie", 7));
  EXPECT_EQ((Updates),
            (std::vector<std::pair<TUpdateAction, int>>{{uaKeeping, 0}, {uaReplacing, 1}, {uaKeeping, 2}}));
  TArcUnZip R;
  R.SetZipName("F:\\out.zip");
  R.ReadDirectory();
  EXPECT_EQ(R.ArchiveComment(), "archive note");

  // zaUpdate: only a file newer than its entry is zipped again.
  Z->SetZipAction(zaUpdate);
  const auto Old = fs::last_write_time(Card / "c.txt") - std::chrono::hours(48);
  fs::last_write_time(Card / "c.txt", Old);
  const auto New = fs::last_write_time(Card / "a.txt") + std::chrono::hours(48);
  fs::last_write_time(Card / "a.txt", New);
  Put("c.txt", "changed but older");
  fs::last_write_time(Card / "c.txt", Old);
  Z->FilesList() = {"F:\\a.txt", "F:\\c.txt"};
  EXPECT_EQ(Z->Zip(), 1);
  const auto U = ReadBack();
  EXPECT_EQ(U[2].Crc, Crc32Of("charlie", 7));
  EXPECT_EQ(Names(U), Names(E));
}

// A kept entry keeps the blocks of its central extra field: its Unicode
// name (the header holding a code-page form) and its Unix time.
TEST_F(ZipOperationTest, RebuildKeepsTheCentralExtraOfKeptEntries) {
  const auto Le = [](uint64_t V, int N) {
    std::string S;
    for (int I = 0; I < N; ++I) S += static_cast<char>(V >> (8 * I));
    return S;
  };
  const std::string Raw = "caf\x82.txt", Data = "coffee";
  const std::string Utf8 = "\x01" + Le(Crc32Of(Raw.data(), Raw.size()), 4) + "caf\xC3\xA9.txt";
  const std::string Extra = Le(0x7075, 2) + Le(Utf8.size(), 2) + Utf8 + Le(0x5455, 2) + Le(5, 2) +
                            "\x01" + Le(1500000000, 4);
  const std::string Common = Le(0, 2) + Le(0, 2) + Le(0x5821, 2) + Le(0x5000, 2) +
                             Le(Crc32Of(Data.data(), Data.size()), 4) + Le(Data.size(), 4) +
                             Le(Data.size(), 4) + Le(Raw.size(), 2) + Le(Extra.size(), 2);
  const std::string Local = "PK\x03\x04" + Le(20, 2) + Common + Raw + Extra + Data;
  const std::string Central = "PK\x01\x02" + Le(0x0314, 2) + Le(20, 2) + Common + Le(0, 6) +
                              Le(0100644u << 16, 4) + Le(0, 4) + Raw + Extra;
  Put("out.zip", Local + Central + "PK\x05\x06" + Le(0, 4) + Le(1, 2) + Le(1, 2) +
                     Le(Central.size(), 4) + Le(Local.size(), 4) + Le(0, 2));
  Put("new.txt", "new");
  Put("more.txt", "more");
  // The second rebuild keeps what the same component wrote or kept before.
  auto Z = MakeZip();
  for (const char* Name : {"F:\\new.txt", "F:\\more.txt"}) {
    Z->FilesList() = {Name};
    ASSERT_EQ(Z->Zip(), 1);
  }
  TArcUnZip R;
  R.SetZipName("F:\\out.zip");
  R.ReadDirectory();
  ASSERT_EQ(R.Count(), 3);
  EXPECT_EQ(R.EntryHeader(0).FullName(), "caf\xC3\xA9.txt");
  EXPECT_EQ(R.EntryHeader(0).ModTime(), std::optional<int64_t>(1500000000));
  EXPECT_TRUE(R.EntryHeader(1).ModTime().has_value());
  R.SetDoAll(true);
  EXPECT_EQ(R.TestZip(), 3);
}

// The old archive fails to read at its central directory once the entries
// are being copied: the rebuild fails and the archive stays as it was,
// rather than losing the kept entries' extra blocks.
TEST_F(ZipOperationTest, ReadErrorInTheOldDirectoryFailsTheRebuild) {
  Put("a.txt", RandomBytes(200000, 4));  // larger than what is read ahead
  Put("b.txt", "bravo");
  auto Z = MakeZip();
  Z->FilesList() = {"F:\\a.txt"};
  ASSERT_EQ(Z->Zip(), 1);
  const std::string Before = Archive();
  const int64_t Directory = static_cast<int64_t>(Z->EndRecord().CentralDirOffset());
  Z = MakeZip();  // the entries as read from the archive
  platform::TFaultFileSystem Fault;
  int Id = -1;
  Z->OnUpdate = [&](TObject*, TUpdateAction, int32_t) {
    if (Id < 0) Id = Fault.Add({.Op = platform::TFsOp::Read, .Path = "*/out.zip", .Error = EIO,
                                .Offset = Directory});
  };
  {
    platform::TFileSystemOverride Guard(Fault);
    Z->FilesList() = {"F:\\b.txt"};
    EXPECT_THROW(Z->Zip(), Exception);
  }
  ASSERT_GE(Id, 0);
  EXPECT_GT(Fault.Fired(Id), 0);
  EXPECT_TRUE(Archive() == Before);
}

// The work file of a rebuild reaches the disk before it takes the
// archive's place: a flush the disk refuses fails the rebuild, and the
// archive stays as it was.
TEST_F(ZipOperationTest, RebuildFlushesTheWorkFileBeforeTheRename) {
  Put("a.txt", "alpha");
  Put("b.txt", "bravo");
  auto Z = MakeZip();
  Z->FilesList() = {"F:\\a.txt"};
  ASSERT_EQ(Z->Zip(), 1);
  const std::string Before = Archive();
  platform::TFaultFileSystem Fault;
  const int Id = Fault.Add({.Op = platform::TFsOp::Sync, .Path = "*/DOV*.TMP", .Error = EIO});
  {
    platform::TFileSystemOverride Guard(Fault);
    Z->FilesList() = {"F:\\b.txt"};
    EXPECT_THROW(Z->Zip(), EInOutError);
  }
  EXPECT_GT(Fault.Fired(Id), 0);
  EXPECT_TRUE(Archive() == Before);
  EXPECT_EQ(std::distance(fs::directory_iterator(Card.Path()), fs::directory_iterator()), 3);
}

// OnStartZip may rename an entry, but not onto a name the archive holds or
// will hold: a new file, and a replacement (whose old entry stays), are
// left out as a name already taken.
TEST_F(ZipOperationTest, RenameInStartZipOntoATakenNameIsRefused) {
  Put("b.txt", "bravo");
  Put("a.txt", "alpha");
  Put("c.txt", "charlie");
  auto Z = MakeZip();
  Z->FilesList() = {"F:\\b.txt", "F:\\a.txt"};
  ASSERT_EQ(Z->Zip(), 2);
  Put("b.txt", "bravo, newer");
  fs::last_write_time(Card / "b.txt", fs::file_time_type::clock::now() + std::chrono::hours(2));
  TExpansionLog Log;
  Log.Attach(*Z);
  Z->OnStartZip = [](TObject*, const std::string&, TZipHeaderInfo& E, bool&) { E.SetFileName("a.txt"); };
  Z->FilesList() = {"F:\\b.txt", "F:\\c.txt"};
  EXPECT_EQ(Z->Zip(), 0);
  EXPECT_EQ(Log.SkippedFor(srNoOverwrite), (std::vector<std::string>{"F:\\b.txt", "F:\\c.txt"}));
  const auto E = ReadBack();
  EXPECT_EQ(Names(E), (std::vector<std::string>{"b.txt", "a.txt"}));
  EXPECT_EQ(E[0].Crc, Crc32Of("bravo", 5));
}

TEST_F(ZipOperationTest, CancelledStartWritesNothing) {
  Put("a.txt", "alpha");
  auto Z = MakeZip();
  Z->OnStartZipInfo = [](TObject*, int32_t N, int64_t Bytes, TEndCentral&, bool& Stop) {
    EXPECT_EQ(N, 1);
    EXPECT_EQ(Bytes, 5);
    Stop = true;
  };
  bool Completed = false;
  Z->OnZipComplete = [&](TObject*, int32_t) { Completed = true; };
  Z->FilesList() = {"F:\\a.txt"};
  try {
    Z->Zip();
    ADD_FAILURE() << "no exception";
  } catch (const EUserCanceled& E) {
    EXPECT_EQ(E.Message(), "User canceled Zip operation");
  }
  EXPECT_FALSE(fs::exists(Card / "out.zip"));
  EXPECT_FALSE(Completed);
  EXPECT_TRUE(Z->FilesList().empty());
}

// Another run makes the archive after this one found no file there (two
// adds to one new name at once): this one fails and leaves the other's
// archive as it was, instead of writing over it from the first byte.
TEST_F(ZipOperationTest, NewArchiveMadeMeanwhileIsNotWrittenOver) {
  Put("a.txt", "alpha");
  auto Z = MakeZip();
  Z->OnStartZipInfo = [&](TObject*, int32_t, int64_t, TEndCentral&, bool&) {
    Put("out.zip", "the other run's archive");
  };
  Z->FilesList() = {"F:\\a.txt"};
  EXPECT_THROW(Z->Zip(), EFCreateError);
  EXPECT_EQ(Archive(), "the other run's archive");
}

// Files may change while they are read: a file cut short after it was
// opened, and an encrypted file that changes between its CRC pass and its
// data pass, are written again as they are now, so sizes, check byte and
// CRC agree; no notice is needed. A small file is read once for both
// passes; a change after that read is still seen.
TEST_F(ZipOperationTest, FilesChangingWhileZipped) {
  const std::string Data = RandomBytes(200000, 9);
  Put("shrinks.bin", Data);
  Put("changes.bin", Data);
  Put("small.bin", RandomBytes(3000, 11));
  auto Z = MakeZip();
  Z->SetPassword("pw");
  std::vector<std::pair<int, std::string>> Notices;
  Z->OnHandleMessage = [&](TObject*, int32_t Id, const std::string& Msg1, const std::string& Msg2,
                           uint32_t, int32_t&) { Notices.push_back({Id, Msg1 + "|" + Msg2}); };
  std::string Current;
  Z->OnStartZip = [&](TObject*, const std::string& Name, TZipHeaderInfo&, bool&) {
    Current = Name;
    if (Name == "F:\\shrinks.bin") fs::resize_file(Card / "shrinks.bin", 1000);
  };
  bool Changed = false, SmallChanged = false;
  Z->OnFilePercentDone = [&](TObject*, int32_t) {
    if (!SmallChanged && Current == "F:\\small.bin") {
      SmallChanged = true;
      Put("small.bin", RandomBytes(3000, 12));
    }
    if (Changed || Current != "F:\\changes.bin") return;
    Changed = true;
    Put("changes.bin", RandomBytes(200000, 10));
  };
  Z->FilesList() = {"F:\\shrinks.bin", "F:\\changes.bin", "F:\\small.bin"};
  ASSERT_EQ(Z->Zip(), 3);
  EXPECT_TRUE(Notices.empty());
  EXPECT_TRUE(Changed);
  EXPECT_TRUE(SmallChanged);
  const auto E = ReadBack();
  EXPECT_EQ(E[0].Size, 1000u);
  EXPECT_EQ(E[0].Crc, Crc32Of(Data.data(), 1000));
  const std::string Now = ReadFile(Card / "changes.bin");
  EXPECT_EQ(E[1].Crc, Crc32Of(Now.data(), Now.size()));
  const std::string Small = ReadFile(Card / "small.bin");
  EXPECT_EQ(E[2].Crc, Crc32Of(Small.data(), Small.size()));
  // The check byte of the encryption header matches the CRC written.
  const std::string Bytes = Archive();
  TMemoryStream S(Bytes);
  S.SetPosition(static_cast<int64_t>(E[1].Offset));
  TZipHeaderInfo L;
  ASSERT_TRUE(L.ReadLocal(S));
  TZipCrypt C;
  EXPECT_EQ(C.DecryptHeader("pw", reinterpret_cast<const uint8_t*>(Bytes.data() + S.Position() +
                                                                   L.LocalExtraLength())),
            static_cast<uint8_t>(E[1].Crc >> 24));
  EXPECT_EQ(static_cast<int64_t>(Bytes.size()), static_cast<int64_t>(fs::file_size(Card / "out.zip")));
}

TEST_F(ZipOperationTest, FullDiskLeavesNoPartialArchive) {
  Put("big.bin", RandomBytes(400000, 3));
  Put("small.txt", "small");
  const fs::path Temp = Card / "tmp";
  fs::create_directories(Temp);
  for (int Level : {0, 6}) {
    SCOPED_TRACE(Level);
    auto Z = MakeZip();
    Z->SetPackLevel(Level);
    Z->FilesList() = {"F:\\big.bin"};
    bool Completed = false;
    Z->OnZipComplete = [&](TObject*, int32_t) { Completed = true; };
    {
      test::TDiskFull Full(100000);
      try {
        Z->Zip();
        ADD_FAILURE() << "no exception";
      } catch (const ENotEnoughRoom& E) {
        EXPECT_EQ(E.Message(), "Not enough room to write archive");
      }
      EXPECT_GT(Full.Fired(), 0);
    }
    EXPECT_FALSE(fs::exists(Card / "out.zip"));
    EXPECT_FALSE(Completed);
  }

  // A rebuild that fails leaves the old archive byte for byte.
  auto Z = MakeZip();
  Z->FilesList() = {"F:\\small.txt"};
  ASSERT_EQ(Z->Zip(), 1);
  const std::string Before = Archive();
  Z->SetTempPath("F:\\tmp");
  Z->SetPackLevel(0);
  Z->FilesList() = {"F:\\big.bin"};
  {
    test::TDiskFull Full(100000);
    EXPECT_THROW(Z->Zip(), ENotEnoughRoom);
    EXPECT_GT(Full.Fired(), 0);
  }
  EXPECT_EQ(Archive(), Before);
  EXPECT_TRUE(fs::is_empty(Temp));
  EXPECT_EQ(Z->Count(), 1);
}

TEST_F(ZipOperationTest, SkippedFilesAndDispose) {
  Put("a.txt", "alpha");
  Put("dup/a.txt", "other alpha");
  Put("keep.txt", "keep");
  auto Z = MakeZip();
  Z->SetStorePaths(false);
  Z->SetDispose(true);
  TExpansionLog Log;
  Log.Attach(*Z);
  std::vector<std::string> Disposed;
  Z->OnDisposeFile = [&](TObject*, const std::string& Name, bool& Skip) {
    Disposed.push_back(Name);
    Skip = Name == "F:\\keep.txt";
  };
  Z->OnStartZip = [](TObject*, const std::string& Name, TZipHeaderInfo&, bool& Skip) {
    Skip = Name == "F:\\keep.txt";
  };
  Z->FilesList() = {"F:\\a.txt", "F:\\dup\\a.txt", "F:\\keep.txt", "F:\\missing.txt"};
  EXPECT_EQ(Z->Zip(), 1);
  EXPECT_EQ(Log.SkippedFor(srNoOverwrite), std::vector<std::string>{"F:\\dup\\a.txt"});
  EXPECT_EQ(Log.SkippedFor(srSkippedInStartZip), std::vector<std::string>{"F:\\keep.txt"});
  EXPECT_EQ(Log.Missing, std::vector<std::string>{"F:\\missing.txt"});
  EXPECT_EQ(Disposed, std::vector<std::string>{"F:\\a.txt"});
  EXPECT_FALSE(fs::exists(Card / "a.txt"));
  EXPECT_TRUE(fs::exists(Card / "dup/a.txt"));
  EXPECT_TRUE(fs::exists(Card / "keep.txt"));
}

}  // namespace
}  // namespace zem::test
