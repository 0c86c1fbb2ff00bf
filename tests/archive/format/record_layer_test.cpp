// The record layer under the zip records: the bounded record reader, the
// extra-field walker and the local header reader.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "archive/format/byte_codec.h"
#include "archive/format/crc_crypt.h"
#include "archive/format/entry_names.h"
#include "archive/format/zip_signatures.h"
#include "archive/format/extra_field.h"
#include "archive/format/local_header.h"

namespace zem {
namespace {

std::vector<uint8_t> Raw(const std::string& S) { return std::vector<uint8_t>(S.begin(), S.end()); }

TEST(RecordReaderTest, ReadsPastTheEndStayBad) {
  const std::vector<uint8_t> B = Raw(std::string("\x01\x02\x03\x04\x05\x06\x07", 7));
  TRecordReader R(B.data(), B.size());
  EXPECT_EQ(R.U16(), 0x0201);
  EXPECT_EQ(R.U32(), 0x06050403u);
  EXPECT_TRUE(R.Ok());
  EXPECT_EQ(R.Left(), 1u);
  // Two bytes wanted, one left: 0, and bad from now on, even for a read
  // that would have fitted.
  EXPECT_EQ(R.U16(), 0);
  EXPECT_FALSE(R.Ok());
  EXPECT_EQ(R.U8(), 0);
  EXPECT_EQ(R.Bytes(0), nullptr);
  EXPECT_EQ(R.Offset(), 6u);
  EXPECT_EQ(R.Left(), 0u);

  TRecordReader Whole(B.data(), B.size());
  Whole.Skip(7);
  EXPECT_TRUE(Whole.Ok());
  EXPECT_EQ(Whole.U64(), 0u);
  EXPECT_FALSE(Whole.Ok());
}

// Each field: the (id, size) pairs delivered, and whether the walk ended
// before the field's end.
TEST(ExtraWalkerTest, BlocksUpToADamagedTail) {
  const std::string A("\x55\x54\x01\x00\x09", 5);     // id 0x5455, 1 byte
  const std::string Empty("\x01\x00\x00\x00", 4);     // id 1, no data
  const std::string Overlong("\x99\x99\x10\x00\x01", 5);  // claims 16, has 1
  struct TCase {
    std::string Field;
    std::vector<std::pair<uint16_t, uint16_t>> Blocks;
    bool Damaged;
  };
  const std::vector<TCase> Cases = {
      {"", {}, false},
      {A + Empty, {{0x5455, 1}, {1, 0}}, false},
      {A + std::string("\x01\x00", 2), {{0x5455, 1}}, true},  // 2-byte tail
      {A + Overlong + Empty, {{0x5455, 1}}, true},            // the walk ends at the overlong block
      {Overlong, {}, true},
  };
  for (const TCase& C : Cases) {
    const std::vector<uint8_t> F = Raw(C.Field);
    TExtraWalker Walk(F.data(), F.size());
    TExtraBlock Block;
    std::vector<std::pair<uint16_t, uint16_t>> Seen;
    while (Walk.Next(Block)) {
      Seen.emplace_back(Block.Id, Block.Size);
      EXPECT_EQ(Block.Raw() + 4, Block.Data);
    }
    EXPECT_EQ(Seen, C.Blocks) << C.Field.size();
    EXPECT_EQ(Walk.Damaged(), C.Damaged) << C.Field.size();
  }
}

TEST(LocalHeaderTest, SignatureFieldsAndName) {
  TRecordWriter W;
  W.U32(0x04034B50);
  W.U16(20);
  W.U16(0x0808);
  W.U16(8);
  W.U32(0x568530E4);
  W.U32(0xCAFEF00D);
  W.U32(11);
  W.U32(22);
  W.U16(5);
  W.U16(3);
  W.Raw(std::string("a/b.c") + "xyz");
  TMemoryStream S(W.Bytes());
  TLocalHeader H;
  ASSERT_EQ(ReadLocalHeader(S, H, true), TLocalRead::Ok);
  EXPECT_EQ(H.VersionNeeded, 20);
  EXPECT_EQ(H.Flags, 0x0808);
  EXPECT_EQ(H.CompressionMethod, 8);
  EXPECT_EQ(H.FileDateTime, 0x568530E4u);
  EXPECT_EQ(H.Crc32, 0xCAFEF00Du);
  EXPECT_EQ(H.CompressedSize, 11u);
  EXPECT_EQ(H.UncompressedSize, 22u);
  EXPECT_EQ(H.Name, "a/b.c");
  EXPECT_EQ(H.ExtraLength, 3);
  EXPECT_EQ(H.Size(), 38u);
  EXPECT_EQ(S.Position(), 35);

  // Without the name the reader stops at it.
  S.SetPosition(0);
  ASSERT_EQ(ReadLocalHeader(S, H), TLocalRead::Ok);
  EXPECT_EQ(H.Name, "");
  EXPECT_EQ(S.Position(), 30);

  // A central signature in its place, a cut fixed part, a cut name.
  std::string Central = W.Bytes();
  Central[2] = 1, Central[3] = 2;
  TMemoryStream C(Central);
  EXPECT_EQ(ReadLocalHeader(C, H), TLocalRead::NoSignature);
  TMemoryStream Cut(W.Bytes().substr(0, 29));
  EXPECT_EQ(ReadLocalHeader(Cut, H), TLocalRead::Short);
  TMemoryStream CutName(W.Bytes().substr(0, 33));
  EXPECT_EQ(ReadLocalHeader(CutName, H, false), TLocalRead::Ok);
  CutName.SetPosition(0);
  EXPECT_EQ(ReadLocalHeader(CutName, H, true), TLocalRead::Short);
}

// A data descriptor counts only when its compressed size is the data in
// front of it; each of the four forms is found, Zip64 ones first when asked.
TEST(DataDescriptorTest, FormsAndTheSpanTheyMustClose) {
  auto Descriptor = [](bool Signed, bool Wide, uint64_t Packed, uint64_t Size) {
    TRecordWriter W;
    if (Signed) W.U32(0x08074B50);
    W.U32(0xCAFEF00D);
    if (Wide) {
      W.U64(Packed);
      W.U64(Size);
    } else {
      W.U32(static_cast<uint32_t>(Packed));
      W.U32(static_cast<uint32_t>(Size));
    }
    return std::string(100, 'd') + W.Bytes();  // the data in front
  };
  struct TCase {
    bool Signed, Wide, Zip64;
    uint32_t Length;
  };
  for (const TCase& C : {TCase{true, false, false, 16}, TCase{false, false, false, 12},
                         TCase{true, true, true, 24}, TCase{false, true, true, 20},
                         TCase{true, true, false, 24}}) {
    SCOPED_TRACE(C.Length);
    const std::vector<uint8_t> Tail = Raw(Descriptor(C.Signed, C.Wide, 100, 300));
    TDataDescriptor D;
    ASSERT_TRUE(MatchDataDescriptor(Tail.data(), Tail.size(), Tail.size(), C.Zip64, D));
    EXPECT_EQ(D.Length, C.Length);
    EXPECT_EQ(D.Crc32, 0xCAFEF00Du);
    EXPECT_EQ(D.CompressedSize, 100u);
    EXPECT_EQ(D.UncompressedSize, 300u);
    // One byte more or less of data in front: not this entry's descriptor.
    EXPECT_FALSE(MatchDataDescriptor(Tail.data(), Tail.size(), Tail.size() + 1, C.Zip64, D));
    EXPECT_FALSE(MatchDataDescriptor(Tail.data(), Tail.size(), Tail.size() - 1, C.Zip64, D));
  }
  // Fewer bytes than the smallest form, or a span shorter than the form.
  const std::vector<uint8_t> Short = Raw(Descriptor(false, false, 0, 0));
  TDataDescriptor D;
  EXPECT_FALSE(MatchDataDescriptor(Short.data() + Short.size() - 11, 11, 112, false, D));
  EXPECT_FALSE(MatchDataDescriptor(Short.data(), Short.size(), 11, false, D));
  EXPECT_TRUE(MatchDataDescriptor(Short.data(), Short.size(), 12, false, D));
}

}  // namespace
}  // namespace zem

namespace zem {
namespace {

// Stored names both ways, one row per convention and kind of name.
TEST(EntryNamesTest, StoredBytesAndInternalNames) {
  struct TRow {
    std::string Internal;
    TNameConvention Convention;
    std::string Bytes;
    bool Utf8;
  };
  const TRow Rows[] = {
      {"dir\\a.txt", TNameConvention::Utf8, "dir/a.txt", false},
      {"M\xC3\xBCnchen\\caf\xC3\xA9.txt", TNameConvention::Utf8, "M\xC3\xBCnchen/caf\xC3\xA9.txt", true},
      // Not UTF-8: stored byte-exact; inside, each such byte is escaped.
      {"bad\xEF\x83\xA9.bin", TNameConvention::Utf8, "bad\xE9.bin", false},
      {"\xEF\x83\xAD\xEF\x82\xA0\xEF\x82\x80.txt", TNameConvention::Utf8, "\xED\xA0\x80.txt", false},
      // A backslash in a Linux name is a character of the name, never a
      // separator: escaped inside, itself on disk.
      {"dir\\a\xEF\x81\x9C" "b.txt", TNameConvention::Utf8, "dir/a\\b.txt", false},
      {"M\xC3\xBCnchen", TNameConvention::CodePage, "M\x81nchen", false},
      {"\xE6\x97\xA5.txt", TNameConvention::CodePage, "\xE6\x97\xA5.txt", true},  // no code page form
  };
  for (const TRow& R : Rows) {
    SCOPED_TRACE(R.Internal);
    const TStoredName S = StoredNameOf(R.Internal, R.Convention);
    EXPECT_EQ(S.Bytes, R.Bytes);
    EXPECT_EQ(S.Utf8, R.Utf8);
    // Read back as the host that wrote it: the same internal name.
    const uint8_t Host = R.Convention == TNameConvention::CodePage ? kHostDos : kHostUnix;
    EXPECT_EQ(InternalNameOf(S.Bytes, S.Utf8 ? zfUtf8Name : 0, Host, true), R.Internal);
  }
  // Code page 437 is the reading of a DOS host alone, and never with bit 11.
  EXPECT_EQ(InternalNameOf("M\x81nchen", 0, kHostUnix, true), "M\xEF\x82\x81nchen");
  EXPECT_EQ(InternalNameOf("M\xC3\xBCnchen", zfUtf8Name, kHostDos, true), "M\xC3\xBCnchen");
}

std::string Block(uint16_t Id, const std::string& Data) {
  TRecordWriter W;
  W.U16(Id);
  W.U16(static_cast<uint16_t>(Data.size()));
  W.Raw(Data);
  return W.Bytes();
}

std::string Le32(uint32_t V) {
  TRecordWriter W;
  W.U32(V);
  return W.Bytes();
}

// Times and Unicode paths from an extra field: the extended timestamp wins
// over NTFS, a Unicode path counts only with the CRC of the stored name.
TEST(EntryNamesTest, ExtraFactsTimesAndUnicodePath) {
  const std::string Stored = "caf\x82.txt";  // code page 437
  const uint32_t Crc = ~UpdateCrcBuffer(kCrcPreset, Stored.data(), Stored.size());
  const std::string Unicode = Block(UnicodePathExtraId, "\x01" + Le32(Crc) + "caf\xC3\xA9.txt");
  const std::string Stale = Block(UnicodePathExtraId, "\x01" + Le32(Crc ^ 1) + "other.txt");
  // 2020-09-13 12:26:41 UTC = 1600000001 s; in NTFS ticks since 1601.
  const uint64_t Ticks = (1600000001ull + 11644473600ull) * 10000000ull + 5;
  TRecordWriter Ntfs;
  Ntfs.U32(0);
  Ntfs.U16(1);
  Ntfs.U16(24);
  Ntfs.U64(Ticks);
  Ntfs.U64(0);
  Ntfs.U64(0);
  const std::string NtfsBlock = Block(NtfsExtraId, Ntfs.Bytes());
  const std::string Stamp = TimestampBlock(1600000003);
  ASSERT_EQ(Stamp.size(), 9u);

  auto Facts = [&](const std::string& Field) {
    return ReadExtraFacts(reinterpret_cast<const uint8_t*>(Field.data()), Field.size(), Stored);
  };
  EXPECT_EQ(Facts(NtfsBlock).ModTime, 1600000001);
  EXPECT_EQ(Facts(NtfsBlock + Stamp).ModTime, 1600000003);
  EXPECT_EQ(Facts(Unicode).UnicodePath, "caf\xC3\xA9.txt");
  EXPECT_FALSE(Facts(Stale).UnicodePath.has_value());
  EXPECT_FALSE(Facts(Stamp.substr(0, 6)).ModTime.has_value());  // a cut block is no time
  EXPECT_EQ(TimestampBlock(-1), "");
}

}  // namespace
}  // namespace zem
