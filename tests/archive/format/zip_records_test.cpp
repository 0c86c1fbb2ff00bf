// Archive records: header layouts, Zip64 values, names, the end record
// search, the entry list orders, and replay of fuzz findings.
#include "archive/format/zip_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "platform/winapi.h"
#include "fuzz/records_fuzz_body.h"

namespace zem {
namespace {

// Independent little-endian builder for expected header bytes.
struct Bytes {
  std::string S;
  Bytes& u8(uint8_t V) { S.push_back(static_cast<char>(V)); return *this; }
  Bytes& u16(uint16_t V) { return u8(V & 0xFF).u8(V >> 8); }
  Bytes& u32(uint32_t V) { return u16(V & 0xFFFF).u16(V >> 16); }
  Bytes& u64(uint64_t V) { return u32(static_cast<uint32_t>(V)).u32(static_cast<uint32_t>(V >> 32)); }
  Bytes& raw(const std::string& R) { S += R; return *this; }
};

uint16_t At16(const std::string& S, size_t Off) {
  return static_cast<uint16_t>(static_cast<uint8_t>(S[Off]) | (static_cast<uint8_t>(S[Off + 1]) << 8));
}

// A central header image with the given fields; the rest plain.
std::string CentralImage(const std::string& Name, uint16_t MadeBy, uint16_t Flags,
                         const std::string& Extra = "", const std::string& Comment = "",
                         uint32_t CSize = 10, uint32_t USize = 20, uint32_t Offset = 0,
                         uint16_t Disk = 0) {
  Bytes B;
  B.u32(0x02014B50).u16(MadeBy).u16(20).u16(Flags).u16(8).u32(0x568530E4).u32(0xDEADBEEF);
  B.u32(CSize).u32(USize).u16(static_cast<uint16_t>(Name.size())).u16(static_cast<uint16_t>(Extra.size()));
  B.u16(static_cast<uint16_t>(Comment.size())).u16(Disk).u16(0).u32(0x20).u32(Offset);
  B.raw(Name).raw(Extra).raw(Comment);
  return B.S;
}

TEST(ZipSignaturesTest, StandardValuesAndReplacement) {
  EXPECT_EQ(ZipSignatures.Central, 0x02014B50u);
  EXPECT_EQ(ZipSignatures.Local, 0x04034B50u);
  EXPECT_EQ(ZipSignatures.End, 0x06054B50u);
  EXPECT_EQ(ZipSignatures.Zip64End, 0x06064B50u);
  EXPECT_EQ(ZipSignatures.Zip64Locator, 0x07064B50u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ZipSignatures.LocalBytes), 4), "PK\x03\x04");
  EXPECT_EQ(ZipSignatures.EndFirstByte, 0x50);

  InitZipSignatures(0, 0x08074B50, 0);
  EXPECT_EQ(ZipSignatures.Local, 0x08074B50u);
  EXPECT_EQ(ZipSignatures.LocalBytes[2], 0x07);
  EXPECT_EQ(ZipSignatures.Central, 0x02014B50u);
  InitZipSignatures();
  EXPECT_EQ(ZipSignatures.Local, 0x04034B50u);
}

TEST(ZipHeaderInfoTest, BlankEntryAndSixtyFourBitValues) {
  TZipHeaderInfo E;
  EXPECT_EQ(E.VersionMadeBy(), 0x0032);
  EXPECT_EQ(E.VersionNeeded(), 20);
  EXPECT_EQ(E.CompressionMethod(), 8);
  EXPECT_EQ(E.Crc32(), 0xFFFFFFFFu);
  EXPECT_EQ(E.InternalAttributes(), 1);
  EXPECT_EQ(E.ExternalAttributes(), 0x20u);
  EXPECT_EQ(E.Zip64Info(), nullptr);

  E.SetCompressedSize(0xFFFFFFFEull);
  EXPECT_EQ(E.CompressedSizeField(), 0xFFFFFFFEu);
  EXPECT_EQ(E.Zip64Info(), nullptr);
  E.SetCompressedSize(0xFFFFFFFFull);
  EXPECT_EQ(E.CompressedSizeField(), 0xFFFFFFFFu);
  ASSERT_NE(E.Zip64Info(), nullptr);
  EXPECT_EQ(E.CompressedSize(), 0xFFFFFFFFull);
  E.SetUncompressedSize(0x123456789ull);
  EXPECT_EQ(E.UncompressedSizeField(), 0xFFFFFFFFu);
  EXPECT_EQ(E.UncompressedSize(), 0x123456789ull);
  E.SetRelativeOffset(5);
  EXPECT_EQ(E.RelativeOffset(), 5u);
  E.SetDiskNumberStart(0xFFFE);
  EXPECT_EQ(E.DiskNumberStartField(), 0xFFFE);
  E.SetDiskNumberStart(0x10000);
  EXPECT_EQ(E.DiskNumberStartField(), 0xFFFF);
  EXPECT_EQ(E.DiskNumberStart(), 0x10000u);

  // A marker without a record reads as the marker.
  TZipHeaderInfo F;
  F.SetCompressedSizeField(0xFFFFFFFF);
  EXPECT_EQ(F.CompressedSize(), 0xFFFFFFFFull);

  E.SetFileComment(std::string("note"));
  EXPECT_TRUE(E.HasComment());
  EXPECT_EQ(E.FileCommentLength(), 4);
  E.SetFileComment(std::nullopt);
  EXPECT_FALSE(E.HasComment());
  EXPECT_FALSE(E.FileComment().has_value());
}

TEST(ZipHeaderInfoTest, NameParts) {
  TZipHeaderInfo E;
  E.SetDirectory("DCIM");
  EXPECT_EQ(E.Directory(), "DCIM\\");
  E.SetFileName("a.jpg");
  EXPECT_EQ(E.FileNameLength(), 10);
  E.SetDirectory("DCIM\\");
  EXPECT_EQ(E.FileNameLength(), 10);

  // Stored names split on read at '/' only: two directory levels with a
  // trailing slash; a colon, even after a letter, and a backslash are
  // characters of Linux names (held escaped inside, as the platform holds
  // them), never a drive or a separator.
  struct Case { std::string Stored, Dir, File; };
  for (const Case& C : {Case{"dir/sub/", "dir\\sub\\", ""}, Case{"12:30:05.jpg", "", "12:30:05.jpg"},
                        Case{"cam/12:30:05.jpg", "cam\\", "12:30:05.jpg"}, Case{"C:x.txt", "", "C:x.txt"},
                        Case{"1:x.txt", "", "1:x.txt"}, Case{"a\\b/c", "a\\b\\", "c"},
                        Case{"plain", "", "plain"}}) {
    TMemoryStream S(CentralImage(C.Stored, 0x0314, 0));
    TZipHeaderInfo R;
    ASSERT_TRUE(R.ReadCentral(S)) << C.Stored;
    EXPECT_EQ(platform::NameToNative(R.Directory()), C.Dir) << C.Stored;
    EXPECT_EQ(platform::NameToNative(R.FileName()), C.File) << C.Stored;
    EXPECT_EQ(StoredFromEntryName(R.FullName()), C.Stored);
  }

  // Writing the two-level directory entry gives the same stored name again.
  TMemoryStream S(CentralImage("dir/sub/", 0x0014, 0));
  TZipHeaderInfo R;
  R.SetOEMConvert(true);
  ASSERT_TRUE(R.ReadCentral(S));
  TMemoryStream Out;
  R.WriteLocal(Out);
  EXPECT_EQ(Out.Data().substr(30), "dir/sub/");
}

TEST(ZipHeaderInfoTest, LocalHeaderLayoutAndReadBack) {
  TZipHeaderInfo E;
  E.SetOEMConvert(true);
  E.SetDirectory("DCIM\\100");
  E.SetFileName("IMG.JPG");
  E.SetFlags(0x0003);
  E.SetFileDateTime(0x568530E4);
  E.SetCrc32(0x11223344);
  E.SetCompressedSize(1000);
  E.SetUncompressedSize(2000);
  TMemoryStream Out;
  Out.Write("xyz", 3);
  E.WriteLocal(Out);
  EXPECT_EQ(E.RelativeOffset(), 3u);
  const std::string Expected = Bytes()
                                   .raw("xyz")
                                   .u32(0x04034B50).u16(20).u16(3).u16(8).u32(0x568530E4)
                                   .u32(0x11223344).u32(1000).u32(2000).u16(16).u16(0)
                                   .raw("DCIM/100/IMG.JPG").S;
  EXPECT_EQ(Out.Data(), Expected);
  EXPECT_EQ(E.LocalSize(), 46u);

  Out.SetPosition(3);
  TZipHeaderInfo R;
  R.SetOEMConvert(true);
  ASSERT_TRUE(R.ReadLocal(Out));
  EXPECT_EQ(Out.Position(), static_cast<int64_t>(Expected.size()));
  EXPECT_EQ(R.Directory(), "DCIM\\100\\");
  EXPECT_EQ(R.FileName(), "IMG.JPG");
  EXPECT_EQ(R.VersionMadeBy(), 0);
  EXPECT_EQ(R.RelativeOffset(), 3u);
  EXPECT_EQ(R.CompressedSize(), 1000u);
  EXPECT_EQ(R.Crc32(), 0x11223344u);
  EXPECT_TRUE(R.Encrypted());

  // Short or wrongly signed input: false, stream put back.
  for (size_t Cut : {size_t(10), size_t(35)}) {
    TMemoryStream Short(Expected.substr(3, Cut));
    TZipHeaderInfo T;
    EXPECT_FALSE(T.ReadLocal(Short));
    EXPECT_EQ(Short.Position(), 0);
  }
  TMemoryStream Central(CentralImage("a", 0, 0));
  EXPECT_FALSE(TZipHeaderInfo().ReadLocal(Central));
}

TEST(ZipHeaderInfoTest, LocalZip64BlockAndDate) {
  // Local header with both sizes in a Zip64 block, as streaming writers do.
  const std::string Extra = Bytes().u16(1).u16(16).u64(0x100000000ull).u64(0x80000000ull).S;
  Bytes B;
  B.u32(0x04034B50).u16(45).u16(0).u16(0).u32(0).u32(7).u32(0xFFFFFFFF).u32(0xFFFFFFFF);
  B.u16(1).u16(static_cast<uint16_t>(Extra.size())).raw("-").raw(Extra).raw(std::string(32, 'd'));
  TMemoryStream S(B.S);
  TZipHeaderInfo R;
  ASSERT_TRUE(R.ReadLocal(S));
  EXPECT_EQ(S.Position(), 31);
  EXPECT_EQ(R.UncompressedSize(), 0x100000000ull);
  EXPECT_EQ(R.CompressedSize(), 0x80000000ull);
  // A date/time field of 0 (no date) reads back as stored.
  EXPECT_EQ(R.FileDateTime(), 0u);
}

TEST(ZipHeaderInfoTest, CentralHeaderZip64Blocks) {
  TZipHeaderInfo E;
  E.SetFileName("f");
  E.SetInternalAttributes(0);
  E.SetCompressedSize(10);
  E.SetUncompressedSize(20);
  TMemoryStream A;
  E.WriteCentral(A, nullptr);
  EXPECT_EQ(A.Data(), CentralImage("f", 0x0032, 0, "", "", 10, 20).replace(12, 8, std::string(4, '\0') + "\xFF\xFF\xFF\xFF"));
  EXPECT_EQ(At16(A.Data(), 6), 20);
  EXPECT_EQ(At16(A.Data(), 30), 0);

  E.SetCompressedSize(0x100000000ull);
  E.SetUncompressedSize(0x200000000ull);
  TMemoryStream B;
  E.WriteCentral(B, nullptr);
  EXPECT_EQ(At16(B.Data(), 6), 45);  // Zip64 needs 4.5, not more
  EXPECT_EQ(At16(B.Data(), 30), 20);
  EXPECT_EQ(B.Data().substr(47), Bytes().u16(1).u16(16).u64(0x200000000ull).u64(0x100000000ull).S);

  E.SetRelativeOffset(0x300000000ull);
  TMemoryStream C;
  E.WriteCentral(C, nullptr);
  EXPECT_EQ(At16(C.Data(), 32 - 2 + 0), 28);
  EXPECT_EQ(At16(C.Data(), 49), 24);
  EXPECT_EQ(E.CentralSize(), C.Data().size());

  // Back to plain values: no block, and the record is dropped.
  E.SetCompressedSize(1);
  E.SetUncompressedSize(1);
  E.SetRelativeOffset(1);
  TMemoryStream D;
  E.WriteCentral(D, nullptr);
  EXPECT_EQ(At16(D.Data(), 6), 20);
  EXPECT_EQ(E.Zip64Info(), nullptr);

  // Read back what was written with three 64-bit values.
  C.SetPosition(0);
  TZipHeaderInfo R;
  ASSERT_TRUE(R.ReadCentral(C));
  EXPECT_EQ(R.CompressedSize(), 0x100000000ull);
  EXPECT_EQ(R.UncompressedSize(), 0x200000000ull);
  EXPECT_EQ(R.RelativeOffset(), 0x300000000ull);
  EXPECT_EQ(R.Zip64ExtraSize(), 28);
  EXPECT_EQ(R.ExtraFieldPos(), 47);
  EXPECT_EQ(C.Position(), 47);
}

TEST(ZipHeaderInfoTest, ExtraFieldWalkAndPreservedBlocks) {
  // A foreign block, a Zip64 block holding more than the header needs, and
  // another foreign block after it.
  const std::string Foreign1 = Bytes().u16(0x5455).u16(5).u8(1).u32(0x12345678).S;
  const std::string Zip64 = Bytes().u16(1).u16(16).u64(0x1234567890ull).u64(99).S;
  const std::string Foreign2 = Bytes().u16(0x7875).u16(3).u8(1).u8(2).u8(3).S;
  const std::string Archive = CentralImage("n.txt", 0x0314, 0, Foreign1 + Zip64 + Foreign2, "hey",
                                           10, 0xFFFFFFFF);
  TMemoryStream S(Archive);
  TZipHeaderInfo R;
  ASSERT_TRUE(R.ReadCentral(S));
  EXPECT_EQ(R.UncompressedSize(), 0x1234567890ull);
  EXPECT_EQ(R.CompressedSize(), 10u);
  EXPECT_EQ(R.Zip64ExtraSize(), 20);
  EXPECT_EQ(R.SourceExtraLength(), Foreign1.size() + Zip64.size() + Foreign2.size());

  // Rewritten: foreign blocks kept in order, then a Zip64 block of 8 bytes;
  // the comment loaded meanwhile follows.
  R.SetFileComment(std::string("hey"));
  TMemoryStream Out;
  R.WriteCentral(Out, &S);
  const std::string Expected = CentralImage("n.txt", 0x0314, 0,
                                            Foreign1 + Foreign2 + Bytes().u16(1).u16(8).u64(0x1234567890ull).S,
                                            "hey", 10, 0xFFFFFFFF);
  std::string WithVersion = Expected;
  WithVersion[6] = 45;
  EXPECT_EQ(Out.Data(), WithVersion);

  // A block claiming more than remains ends the walk; output stays
  // consistent with its own lengths.
  const std::string Bad = Foreign1 + Bytes().u16(0x9999).u16(500).u8(0).S;
  TMemoryStream BadS(CentralImage("b", 0x0314, 0, Bad, "", 10, 0xFFFFFFFF));
  TZipHeaderInfo B;
  ASSERT_TRUE(B.ReadCentral(BadS));
  EXPECT_EQ(B.Zip64Info(), nullptr);
  TMemoryStream BadOut;
  B.WriteCentral(BadOut, &BadS);
  EXPECT_EQ(BadOut.Size(), static_cast<int64_t>(B.CentralSize()));
  EXPECT_EQ(At16(BadOut.Data(), 30), Foreign1.size() + 12);

  // A Zip64 block too short for the field it should hold takes nothing.
  TMemoryStream Short(CentralImage("s", 0x0314, 0, Bytes().u16(1).u16(4).u32(7).S, "", 0xFFFFFFFF));
  TZipHeaderInfo T;
  ASSERT_TRUE(T.ReadCentral(Short));
  ASSERT_NE(T.Zip64Info(), nullptr);
  EXPECT_EQ(T.CompressedSize(), 0u);
}

TEST(ZipHeaderInfoTest, CentralReadFailuresAndNextVolume) {
  const std::string Good = CentralImage("abc", 0, 0);
  for (const std::string& Input : {Good.substr(0, 40), Good.substr(0, 47), std::string("PK\x05\x06") + Good.substr(4)}) {
    TMemoryStream S(Input);
    TZipHeaderInfo R;
    EXPECT_FALSE(R.ReadCentral(S));
    EXPECT_EQ(S.Position(), 0);
  }

  // A header cut by the end of a volume continues on the next.
  TMemoryStream First(Good.substr(0, 20));
  TMemoryStream Second(Good.substr(20));
  TStream* Current = &First;
  int Calls = 0;
  TZipHeaderInfo R;
  ASSERT_TRUE(R.ReadCentral(Current, [&](TStream*& S) { ++Calls; S = &Second; }));
  EXPECT_EQ(Calls, 1);
  EXPECT_EQ(Current, &Second);
  EXPECT_EQ(R.FileName(), "abc");
  EXPECT_EQ(R.Crc32(), 0xDEADBEEFu);

  // A cut that does not start like a central header is not followed.
  TMemoryStream Other(std::string("PK\x05\x06", 4));
  Current = &Other;
  EXPECT_FALSE(TZipHeaderInfo().ReadCentral(Current, [&](TStream*&) { ++Calls; }));
  EXPECT_EQ(Calls, 1);
}

TEST(ZipHeaderInfoTest, CodePagesAndUtf8Names) {
  const std::string Cp437 = "M\x9A" "LLER.TXT";  // MÜLLER.TXT in code page 437
  // MS-DOS host: converted; Unix host: kept; bit 11: kept.
  struct Case { uint16_t MadeBy, Flags; std::string Expected; };
  for (const Case& C : {Case{0x0014, 0, "M\xC3\x9CLLER.TXT"}, Case{0x0314, 0, Cp437},
                        Case{0x0014, 0x0800, Cp437}}) {
    TMemoryStream S(CentralImage(Cp437, C.MadeBy, C.Flags));
    TZipHeaderInfo R;
    R.SetOEMConvert(true);
    ASSERT_TRUE(R.ReadCentral(S));
    EXPECT_EQ(platform::NameToNative(R.FileName()), C.Expected) << C.MadeBy << " " << C.Flags;
  }
  TMemoryStream NoConvert(CentralImage(Cp437, 0x0014, 0));
  TZipHeaderInfo N;
  ASSERT_TRUE(N.ReadCentral(NoConvert));
  EXPECT_EQ(platform::NameToNative(N.FileName()), Cp437);

  // Writing: a name with a code page 437 form is written in it (bit 11
  // clear, even when it was set before); one without keeps its UTF-8 bytes
  // and sets bit 11, so two such names never collapse into one.
  TZipHeaderInfo E;
  E.SetOEMConvert(true);
  E.SetFlags(0x0801);
  E.SetFileName("caf\xC3\xA9.txt");
  TMemoryStream L;
  E.WriteLocal(L);
  EXPECT_EQ(L.Data().substr(30), "caf\x82.txt");
  EXPECT_EQ(At16(L.Data(), 6), 0x0001);
  EXPECT_EQ(At16(L.Data(), 26), 8);
  EXPECT_EQ(E.FileNameLength(), 8);

  const std::string Polish = "\xC5\x81\xC3\xB3" "d\xC5\xBA.jpg";  // Łódź.jpg
  const std::string Polish2 = "\xC5\x81\xC3\xB3" "d\xC5\xBC.jpg";  // Łódż.jpg
  std::string Stored[2];
  int I = 0;
  for (const std::string& Name : {Polish, Polish2}) {
    TZipHeaderInfo P;
    P.SetOEMConvert(true);
    P.SetDirectory("pics");
    P.SetFileName(Name);
    TMemoryStream C;
    P.WriteCentral(C, nullptr);
    EXPECT_EQ(At16(C.Data(), 8) & 0x0800, 0x0800);
    Stored[I++] = C.Data().substr(46, At16(C.Data(), 28));
    C.SetPosition(0);
    TZipHeaderInfo R;
    R.SetOEMConvert(true);
    ASSERT_TRUE(R.ReadCentral(C));
    EXPECT_EQ(R.FileName(), Name);
    EXPECT_EQ(R.Directory(), "pics\\");
    TMemoryStream Local;
    P.WriteLocal(Local);
    Local.SetPosition(0);
    TZipHeaderInfo RL;
    RL.SetOEMConvert(true);
    ASSERT_TRUE(RL.ReadLocal(Local));
    EXPECT_EQ(RL.FileName(), Name);
  }
  EXPECT_EQ(Stored[0], "pics/" + Polish);
  EXPECT_NE(Stored[0], Stored[1]);
}

TEST(ZipHeaderInfoTest, AssignCopiesTheEntryButNotItsSourceState) {
  TMemoryStream S(CentralImage("d/x.bin", 0x0314, 1, Bytes().u16(0x5455).u16(1).u8(0).S, "", 5, 0xFFFFFFFF));
  TZipHeaderInfo Src;
  Src.SetOEMConvert(true);
  ASSERT_TRUE(Src.ReadCentral(S));
  Src.SetUncompressedSize(0x500000000ull);
  Src.SetFileComment(std::string("c"));
  Src.SetMarked(true);
  Src.SetEntryState(2);

  TZipHeaderInfo A;
  A.Assign(&Src);
  EXPECT_EQ(A.FullName(), "d\\x.bin");
  EXPECT_EQ(A.UncompressedSize(), 0x500000000ull);
  EXPECT_EQ(A.FileComment(), std::optional<std::string>("c"));
  EXPECT_TRUE(A.Marked());
  EXPECT_EQ(A.EntryState(), 2);
  EXPECT_EQ(A.Flags(), 1);
  EXPECT_FALSE(A.OEMConvert());
  EXPECT_EQ(A.SourceExtraLength(), 0);
  EXPECT_EQ(A.ExtraFieldPos(), 0);

  TZipHeaderInfo B;
  Src.Assign(&Src);  // self-assignment changes nothing
  static_cast<TPersistent&>(B).Assign(&Src);
  EXPECT_EQ(B.UncompressedSize(), 0x500000000ull);

  TEndCentral NotAnEntry;
  EXPECT_THROW(A.Assign(&NotAnEntry), EConvertError);
}

// ---- End record -----------------------------------------------------------------

std::string EndImage(uint16_t Entries, uint32_t Size, uint32_t Offset, const std::string& Comment) {
  return Bytes().u32(0x06054B50).u16(0).u16(0).u16(Entries).u16(Entries).u32(Size).u32(Offset)
      .u16(static_cast<uint16_t>(Comment.size())).raw(Comment).S;
}

TEST(EndCentralTest, FindEndRecordWindow) {
  TEndCentral E;
  TMemoryStream Empty;
  EXPECT_TRUE(E.FindEndRecord(Empty));
  EXPECT_EQ(E.TotalEntries(), 0u);
  for (int N = 1; N <= 21; ++N) {
    TMemoryStream S(std::string(static_cast<size_t>(N), 'P'));
    EXPECT_FALSE(E.FindEndRecord(S)) << N;
  }

  // Maximum comment: found; one byte more in front of the end: not found.
  const std::string MaxComment(65535, 'c');
  TMemoryStream Max(std::string(100, 'x') + EndImage(3, 50, 10, MaxComment));
  ASSERT_TRUE(E.FindEndRecord(Max));
  EXPECT_EQ(E.TotalEntries(), 3u);
  EXPECT_EQ(E.ZipCommentLength(), 65535);
  EXPECT_EQ(E.ZipCommentPos(), 122);
  TMemoryStream TooFar(std::string(100, 'x') + EndImage(3, 50, 10, "") + std::string(65536, 'c'));
  EXPECT_FALSE(E.FindEndRecord(TooFar));

  // Two records in the window: the one nearer the end wins.
  TMemoryStream Two(EndImage(1, 1, 1, "") + std::string(10, 'y') + EndImage(2, 2, 2, ""));
  ASSERT_TRUE(E.FindEndRecord(Two));
  EXPECT_EQ(E.TotalEntries(), 2u);
  EXPECT_EQ(E.ZipCommentPos(), 54);

  // A comment length past the end of the file: the bytes there are the
  // comment, and the announced length is kept aside.
  std::string Cut = EndImage(2, 2, 2, "abc");
  Cut[Cut.size() - 5] = static_cast<char>(200);
  TMemoryStream CutS(Cut);
  ASSERT_TRUE(E.FindEndRecord(CutS));
  EXPECT_EQ(E.ZipCommentLength(), 3);
  EXPECT_EQ(E.CutCommentLength(), 200u);
  ASSERT_TRUE(E.FindEndRecord(Two));
  EXPECT_EQ(E.CutCommentLength(), 0u);
}

TEST(EndCentralTest, Zip64RecordsWrittenAndFound) {
  TEndCentral E;
  E.SetTotalEntries(65534);
  E.SetEntriesOnThisDisk(65534);
  E.SetCentralDirSize(100);
  E.SetCentralDirOffset(200);
  TMemoryStream Plain;
  E.WriteEndRecord(Plain);
  EXPECT_EQ(Plain.Size(), 22);
  EXPECT_EQ(E.Zip64EndRecord(), nullptr);

  TEndCentral Z;
  Z.SetTotalEntries(65535);
  Z.SetEntriesOnThisDisk(65535);
  Z.SetCentralDirSize(100);
  Z.SetCentralDirOffset(0x100000000ull);
  Z.SetZipComment("hello");
  TMemoryStream Out;
  Out.Write("data", 4);
  Z.WriteEndRecord(Out);
  const std::string Expected =
      Bytes().raw("data")
          .u32(0x06064B50).u64(44).u16(50).u16(45).u32(0).u32(0).u64(65535).u64(65535).u64(100).u64(0x100000000ull)
          .u32(0x07064B50).u32(0).u64(4).u32(1)
          .u32(0x06054B50).u16(0).u16(0).u16(0xFFFF).u16(0xFFFF).u32(100).u32(0xFFFFFFFF).u16(5).raw("hello").S;
  EXPECT_EQ(Out.Data(), Expected);

  TEndCentral R;
  ASSERT_TRUE(R.FindEndRecord(Out));
  ASSERT_NE(R.Zip64Locator(), nullptr);
  ASSERT_NE(R.Zip64EndRecord(), nullptr);
  EXPECT_EQ(R.TotalEntries(), 65535u);
  EXPECT_EQ(R.CentralDirOffset(), 0x100000000ull);
  EXPECT_EQ(R.CentralDirSize(), 100u);
  EXPECT_EQ(R.Record().TotalEntries, 0xFFFF);

  // A locator pointing at no Zip64 record: the record is not believed, and
  // a later search without a locator forgets the earlier Zip64 values.
  std::string Broken = Expected;
  Broken[4] = 'X';
  TMemoryStream BrokenS(Broken);
  ASSERT_TRUE(R.FindEndRecord(BrokenS));
  EXPECT_EQ(R.Zip64EndRecord(), nullptr);
  EXPECT_EQ(R.TotalEntries(), 0xFFFFu);
  TMemoryStream PlainAgain(Plain.Data());
  ASSERT_TRUE(R.FindEndRecord(PlainAgain));
  EXPECT_EQ(R.Zip64Locator(), nullptr);

  // An end record less than 20 bytes from the start: no locator looked for.
  TMemoryStream Near(std::string("\x50\x4B\x06\x07", 4) + EndImage(1, 0, 0, ""));
  ASSERT_TRUE(R.FindEndRecord(Near));
  EXPECT_EQ(R.Zip64Locator(), nullptr);
}

TEST(EndCentralTest, ClearAssignAndComment) {
  TEndCentral A;
  A.SetTotalEntries(70000);
  A.SetNumberOfThisDisk(3);
  A.SetZipComment("comment");
  A.SetZipCommentPos(99);
  A.SetModified(true);
  TEndCentral B;
  B.Assign(&A);
  EXPECT_EQ(B.Record().TotalEntries, 0xFFFF);
  EXPECT_EQ(B.NumberOfThisDisk(), 3u);
  EXPECT_EQ(B.ZipComment(), std::optional<std::string>("comment"));
  EXPECT_EQ(B.EndRecordSize(), 29u);
  EXPECT_EQ(B.ZipCommentPos(), 99);
  EXPECT_EQ(B.Zip64EndRecord(), nullptr);  // not copied
  A.Clear();
  EXPECT_EQ(A.Record().TotalEntries, 0);
  EXPECT_FALSE(A.ZipComment().has_value());
  EXPECT_FALSE(A.Modified());
  EXPECT_NE(A.Zip64EndRecord(), nullptr);  // left as it was

  // A comment with a zero byte goes out whole.
  TEndCentral C;
  C.SetZipComment(std::string("a\0b", 3));
  TMemoryStream Out;
  C.WriteEndRecord(Out);
  EXPECT_EQ(Out.Data().substr(22), std::string("a\0b", 3));
}

// ---- Entry list -----------------------------------------------------------------

TZipHeaderInfo* MakeEntry(const std::string& Dir, const std::string& File, uint64_t Offset,
                          uint32_t Time = 0x568530E4, uint64_t CSize = 0, uint64_t USize = 0) {
  auto* E = new TZipHeaderInfo;
  E->SetDirectory(Dir);
  E->SetFileName(File);
  E->SetRelativeOffset(Offset);
  E->SetFileDateTime(Time);
  E->SetCompressedSize(CSize);
  E->SetUncompressedSize(USize);
  return E;
}

TEST(SortedZipTest, PhysicalOrderAppendAndDuplicates) {
  // Random order and archive order give the same list; a duplicate offset
  // is refused whether it would go at the end or inside.
  std::vector<uint64_t> Offsets;
  for (uint64_t I = 0; I < 500; ++I) Offsets.push_back(I * 37 + (I % 3));
  std::vector<uint64_t> Shuffled = Offsets;
  std::shuffle(Shuffled.begin(), Shuffled.end(), std::mt19937(7));
  for (const auto* Order : {&Offsets, &Shuffled}) {
    TSortedZip L(RefuseDuplicate);
    for (uint64_t O : *Order) EXPECT_EQ(L.Add(MakeEntry("", "f", O)), 0);
    ASSERT_EQ(L.Count(), 500);
    for (int I = 0; I < 500; ++I) EXPECT_EQ(L.Items(I)->RelativeOffset(), Offsets[static_cast<size_t>(I)]);
    for (uint64_t Dup : {Offsets.back(), Offsets[10]}) {
      std::unique_ptr<TZipHeaderInfo> D(MakeEntry("", "dup", Dup));
      try {
        L.Add(D.get());
        ADD_FAILURE() << "duplicate accepted";
      } catch (const EListError& Ex) {
        EXPECT_EQ(Ex.Message(), "Duplicate Object index");
      }
    }
    EXPECT_EQ(L.Count(), 500);
    EXPECT_FALSE(L.IsZip64());
  }

  // Disk number decides before the offset.
  TSortedZip L(RefuseDuplicate);
  auto* OnDisk2 = MakeEntry("", "a", 10);
  OnDisk2->SetDiskNumberStart(2);
  L.Add(OnDisk2);
  L.Add(MakeEntry("", "b", 500));
  auto* Big = MakeEntry("", "c", 0x100000000ull);
  L.Add(Big);
  EXPECT_EQ(L.Items(0)->FileName(), "b");
  EXPECT_EQ(L.Items(1)->FileName(), "c");
  EXPECT_EQ(L.Items(2)->FileName(), "a");
  EXPECT_TRUE(L.IsZip64());
}

TEST(SortedZipTest, OtherOrders) {
  auto Names = [](TSortedZip& L) {
    std::string S;
    for (int I = 0; I < L.Count(); ++I) S += L.Items(I)->FileName() + " ";
    return S;
  };
  std::vector<std::unique_ptr<TZipHeaderInfo>> Pool;
  Pool.emplace_back(MakeEntry("b", "x2", 0, 0x568530E4, 50, 100));   // rate 50
  Pool.emplace_back(MakeEntry("A", "y1", 1, 0x568530E4, 25, 100));   // rate 25, same time
  Pool.emplace_back(MakeEntry("a", "Z0", 2, 0x588530E4, 100, 40));   // rate capped 100, newer
  Pool.emplace_back(MakeEntry("c", "w3", 3, 0x0, 7, 0));             // rate 0, no date

  auto Fill = [&](TZipSortMode Mode) {
    auto L = std::make_unique<TSortedZip>(AllowDuplicate);
    L->SetOwnsItems(false);
    L->SetSortMode(Mode);
    for (auto& E : Pool) L->Add(E.get());
    return L;
  };
  EXPECT_EQ(Names(*Fill(ByName)), "y1 Z0 x2 w3 ");  // "A\y1" < "a\Z0" by case folding and Y<Z
  EXPECT_EQ(Names(*Fill(ByFileName)), "w3 x2 y1 Z0 ");
  EXPECT_EQ(Names(*Fill(ByDate)), "Z0 x2 y1 w3 ");  // newest first; equal times keep order
  EXPECT_EQ(Names(*Fill(ByCompressedSize)), "Z0 x2 y1 w3 ");
  EXPECT_EQ(Names(*Fill(ByUnCompressedSize)), "x2 y1 Z0 w3 ");
  EXPECT_EQ(Names(*Fill(ByRate)), "Z0 x2 y1 w3 ");
  EXPECT_EQ(Names(*Fill(ByNone)), "x2 y1 Z0 w3 ");

  // ByName refusing duplicates raises the list's duplicate error.
  TSortedZip Strict(RefuseDuplicate);
  Strict.SetOwnsItems(false);
  Strict.SetSortMode(ByName);
  Strict.Add(Pool[0].get());
  TZipHeaderInfo Same;
  Same.SetDirectory("B");
  Same.SetFileName("X2");
  EXPECT_THROW(Strict.Add(&Same), EListError);
}

TEST(SortedZipTest, CompressionRateAndTextCompare) {
  TZipHeaderInfo E;
  struct Case { uint64_t C, U; int Rate; };
  for (const Case& K : {Case{1, 8, 12}, Case{3, 8, 38}, Case{5, 200, 2}, Case{7, 200, 4}, Case{0, 0, 0},
                        Case{9, 3, 100}, Case{0xFFFFFFFFFFull, 0x1FFFFFFFFFFull, 50}}) {
    E.SetCompressedSize(K.C);
    E.SetUncompressedSize(K.U);
    EXPECT_EQ(CompressionRate(E), K.Rate) << K.C << "/" << K.U;
  }
  EXPECT_EQ(CompareZipText("abc", "ABC"), 0);
  EXPECT_LT(CompareZipText("ab", "abc"), 0);
  EXPECT_GT(CompareZipText("b", "A"), 0);
  EXPECT_NE(CompareZipText("\xC3\xA9", "\xC3\x89"), 0);  // only a-z fold
}

// ---- Damaged and crafted input -------------------------------------------------

std::vector<std::filesystem::path> FilesBelow(const std::filesystem::path& Dir) {
  std::vector<std::filesystem::path> Files;
  if (!std::filesystem::exists(Dir)) return Files;
  for (const auto& E : std::filesystem::recursive_directory_iterator(Dir))
    if (E.is_regular_file()) Files.push_back(E.path());
  std::sort(Files.begin(), Files.end());
  return Files;
}

// Every saved fuzz finding and every seed archive goes through the same
// checks the fuzzer makes (a failed check aborts the test program).
TEST(RecordFuzzReplayTest, FindingsAndSeeds) {
  const std::filesystem::path Data = ZEM_TEST_DATA;
  size_t Runs = 0;
  for (const auto& Dir : {Data / "fuzz-regressions", Data / "interop"}) {
    for (const auto& File : FilesBelow(Dir)) {
      if (File.extension() == ".json" || File.extension() == ".md" || File.extension() == ".tsv" ||
          File.extension() == ".py") continue;
      const std::string Bytes = test::ReadFile(File);
      SCOPED_TRACE(File.string());
      fuzz::RunRecordReaders(reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size());
      ++Runs;
    }
  }
  EXPECT_GT(Runs, 40u);
}

// Small fixtures damaged at random: bytes flipped, cut short, lengths
// overwritten with extreme values.
TEST(RecordFuzzReplayTest, RandomDamageToFixtures) {
  const std::filesystem::path Data = ZEM_TEST_DATA;
  std::mt19937 Rng(12345);
  size_t Runs = 0;
  for (const auto& File : FilesBelow(Data / "interop" / "names")) {
    const std::string Original = test::ReadFile(File);
    if (Original.empty()) continue;
    for (int Round = 0; Round < 150; ++Round) {
      std::string B = Original;
      const int Kind = Round % 3;
      if (Kind == 0) {
        for (int K = 0; K < 8; ++K) B[Rng() % B.size()] = static_cast<char>(Rng());
      } else if (Kind == 1) {
        B.resize(Rng() % B.size());
      } else {
        const size_t At = Rng() % B.size();
        for (size_t K = At; K < std::min(B.size(), At + 2); ++K) B[K] = '\xFF';
      }
      fuzz::RunRecordReaders(reinterpret_cast<const uint8_t*>(B.data()), B.size());
      ++Runs;
    }
  }
  EXPECT_GT(Runs, 500u);
}

}  // namespace
}  // namespace zem
