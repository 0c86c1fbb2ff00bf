// The record layer under the zip records: the bounded record reader, the
// extra-field walker and the local header reader.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "archive/format/byte_codec.h"
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
