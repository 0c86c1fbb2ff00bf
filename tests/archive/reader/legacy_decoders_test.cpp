// Tests of the shrink, reduce and implode decoders: every legacy fixture
// entry against the manifest's size and CRC, and crafted streams that must
// fail cleanly.
#include "archive/reader/legacy_decoders.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/reader/decoder_io.h"
#include "common/test_support.h"

namespace zem {
namespace {

// Collects the decoded bytes.
class TStringSink : public TDecodeSink {
 public:
  void Put(const uint8_t* Data, size_t Count) override {
    ASSERT_GT(Count, 0u);
    Bytes.append(reinterpret_cast<const char*>(Data), Count);
  }
  std::string Bytes;
};

// Writes bits least significant first, as the decoders read them.
class TBitWriter {
 public:
  void Put(uint32_t Value, unsigned Bits) {
    for (unsigned i = 0; i < Bits; ++i) {
      FAcc |= ((Value >> i) & 1u) << FCount;
      if (++FCount == 8) {
        FOut.push_back(static_cast<char>(FAcc));
        FAcc = 0;
        FCount = 0;
      }
    }
  }
  std::string Finish() {
    std::string s = FOut;
    if (FCount) s.push_back(static_cast<char>(FAcc));
    return s;
  }

 private:
  std::string FOut;
  uint32_t FAcc = 0;
  unsigned FCount = 0;
};

uint32_t Crc(const std::string& s) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

struct TLegacyEntry {
  std::string File, Name;
  uint64_t Offset = 0, CompressedSize = 0, Size = 0;
  int Method = 0;
  uint16_t Flags = 0;
  uint32_t Crc = 0;
};

std::vector<TLegacyEntry> LoadExpected() {
  std::ifstream f(std::string(ZEM_TEST_DATA) + "/interop/legacy/expected.tsv");
  std::vector<TLegacyEntry> rows;
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    TLegacyEntry e;
    std::string flags, crc;
    std::getline(in, e.File, '\t');
    in >> e.Offset >> e.Method >> flags >> e.CompressedSize >> e.Size >> crc;
    in.ignore(1);
    std::getline(in, e.Name);
    e.Flags = static_cast<uint16_t>(std::stoul(flags, nullptr, 16));
    e.Crc = static_cast<uint32_t>(std::stoul(crc, nullptr, 16));
    rows.push_back(e);
  }
  return rows;
}

// The compressed bytes of an entry, found through its local header.
std::string EntryData(const std::string& Archive, const TLegacyEntry& E) {
  auto u16 = [&](size_t at) { return uint8_t(Archive.at(at)) | uint8_t(Archive.at(at + 1)) << 8; };
  if (Archive.compare(E.Offset, 4, "PK\3\4") != 0) throw std::runtime_error("no local header at offset");
  size_t start = E.Offset + 30 + u16(E.Offset + 26) + u16(E.Offset + 28);
  return Archive.substr(start, E.CompressedSize);
}

// Decodes with the decoder the method calls for.
struct TDecoders {
  TShrinkDecoder Shrink;
  TReduceDecoder Reduce;
  TImplodeDecoder Implode;

  TDecodeResult Run(const TLegacyEntry& E, const std::string& Data, size_t Block, TDecodeSink& Sink) {
    TMemorySource src(Data.data(), Data.size(), Block);
    switch (E.Method) {
      case 1:
        return Shrink.Decode(src, Sink);
      case 2:
      case 3:
      case 4:
      case 5:
        return Reduce.Decode(src, Sink, E.Method - 1, E.Size);
      case 6:
        return Implode.Decode(src, Sink, E.Flags, E.CompressedSize, E.Size);
      default:
        throw std::runtime_error("not a legacy method");
    }
  }
};

TEST(LegacyFixtures, EveryEntryMatchesTheManifest) {
  std::vector<TLegacyEntry> rows = LoadExpected();
  ASSERT_GE(rows.size(), 80u);
  TDecoders decoders;  // one set for all entries: state must not leak between them
  std::map<std::string, std::string> archives;
  std::set<std::pair<int, uint16_t>> covered;
  int decoded = 0;
  for (const TLegacyEntry& e : rows) {
    if (e.Method == 0) continue;
    std::string& archive = archives[e.File];
    if (archive.empty()) archive = test::ReadFile(std::string(ZEM_TEST_DATA) + "/interop/legacy/" + e.File);
    std::string data = EntryData(archive, e);
    ASSERT_EQ(data.size(), e.CompressedSize) << e.File << " " << e.Name;
    // Whole blocks, and small odd pieces so refills fall inside codes.
    for (size_t block : {size_t(32768), size_t(7)}) {
      TStringSink sink;
      TDecodeResult r = decoders.Run(e, data, block, sink);
      EXPECT_EQ(r, TDecodeResult::drOk) << e.File << " " << e.Name;
      EXPECT_EQ(sink.Bytes.size(), e.Size) << e.File << " " << e.Name;
      EXPECT_EQ(Crc(sink.Bytes), e.Crc) << e.File << " " << e.Name << " block " << block;
    }
    covered.insert({e.Method, static_cast<uint16_t>(e.Method == 6 ? e.Flags & 6 : 0)});
    ++decoded;
  }
  EXPECT_GE(decoded, 70);
  std::set<std::pair<int, uint16_t>> all = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {6, 2}, {6, 4}, {6, 6}};
  EXPECT_EQ(covered, all);
}

// Cut-off data must end with drInputEnded, never with garbage called success,
// and flipped bits must never lead outside the asked size.
TEST(LegacyFixtures, TruncatedAndDamagedEntriesFailCleanly) {
  TDecoders decoders;
  std::map<std::string, std::string> archives;
  uint32_t seed = 1;
  for (const TLegacyEntry& e : LoadExpected()) {
    if (e.Method == 0 || e.CompressedSize < 64 || e.Size > 200000) continue;
    std::string& archive = archives[e.File];
    if (archive.empty()) archive = test::ReadFile(std::string(ZEM_TEST_DATA) + "/interop/legacy/" + e.File);
    std::string data = EntryData(archive, e);

    std::string cut = data.substr(0, data.size() / 2);
    TStringSink sink;
    TDecodeResult r = decoders.Run(e, cut, 32768, sink);
    if (e.Method == 1) {
      // A shrunk stream has no announced end: it stops where the bytes stop.
      EXPECT_EQ(r, TDecodeResult::drOk) << e.File << " " << e.Name;
      EXPECT_LT(sink.Bytes.size(), e.Size);
    } else {
      EXPECT_EQ(r, TDecodeResult::drInputEnded) << e.File << " " << e.Name;
    }

    for (int round = 0; round < 8; ++round) {
      std::string bad = data;
      std::string noise = test::RandomBytes(4, seed++);
      size_t at = (uint8_t(noise[0]) | uint8_t(noise[1]) << 8 | uint8_t(noise[2]) << 16) % bad.size();
      bad[at] = static_cast<char>(bad[at] ^ (noise[3] | 1));
      TStringSink damaged;
      TDecodeResult rr = decoders.Run(e, bad, 61, damaged);
      if (e.Method != 1) {
        EXPECT_LE(damaged.Bytes.size(), e.Size);
        if (rr == TDecodeResult::drOk) {
          EXPECT_EQ(damaged.Bytes.size(), e.Size);
        }
      }
    }
  }
}

// ---- Shrink ----------------------------------------------------------------

TEST(Shrink, StringsControlCodesAndUndefinedCodes) {
  TShrinkDecoder d;
  TBitWriter w;
  w.Put('a', 9);  // "a"
  w.Put(257, 9);  // not yet defined: "a" + "a"; becomes code 257
  w.Put('b', 9);  // "b"; code 258 = "aab"
  w.Put(256, 9);
  w.Put(1, 9);     // codes are 10 bits from here
  w.Put(258, 10);  // "aab"; 259 = "ba"
  w.Put(259, 10);  // "ba"
  std::string in = w.Finish();
  for (size_t block : {size_t(1), size_t(3), size_t(100)}) {
    TMemorySource src(in.data(), in.size(), block);
    TStringSink sink;
    EXPECT_EQ(d.Decode(src, sink), TDecodeResult::drOk);
    EXPECT_EQ(sink.Bytes, "aaabaabba");
  }
}

TEST(Shrink, PartialClearFreesLeavesOnly) {
  TShrinkDecoder d;
  TBitWriter w;
  w.Put('x', 9);
  w.Put('y', 9);  // 257 = "xy"
  w.Put(257, 9);  // 258 = "yx"
  w.Put('z', 9);  // 259 = "xyz"
  w.Put(256, 9);
  w.Put(2, 9);    // 257 is the prefix of 259 and stays; 258 and 259 are freed
  w.Put(257, 9);  // "xy"; 258 = "z" + "x"
  w.Put(258, 9);  // "zx"
  std::string in = w.Finish();
  TMemorySource src(in.data(), in.size());
  TStringSink sink;
  EXPECT_EQ(d.Decode(src, sink), TDecodeResult::drOk);
  EXPECT_EQ(sink.Bytes, "xyxyzxyzx");
}

TEST(Shrink, CorruptStreamsFailWithoutOverrun) {
  TShrinkDecoder d;
  auto run = [&](const std::string& in, std::string* out = nullptr) {
    TMemorySource src(in.data(), in.size(), 5);
    TStringSink sink;
    TDecodeResult r = d.Decode(src, sink);
    if (out) *out = sink.Bytes;
    return r;
  };
  {  // asks for 14-bit codes
    TBitWriter w;
    w.Put('A', 9);
    unsigned bits = 9;
    for (int i = 0; i < 5; ++i) {
      w.Put(256, bits);
      w.Put(1, bits);
      if (bits < 13) ++bits;
    }
    w.Put(9000, 14);
    std::string out;
    EXPECT_EQ(run(w.Finish(), &out), TDecodeResult::drBadData);
    EXPECT_EQ(out, "A");
  }
  {  // unknown control subcode
    TBitWriter w;
    w.Put('A', 9);
    w.Put(256, 9);
    w.Put(3, 9);
    EXPECT_EQ(run(w.Finish()), TDecodeResult::drBadData);
  }
  {  // first code is no literal
    TBitWriter w;
    w.Put(300, 9);
    EXPECT_EQ(run(w.Finish()), TDecodeResult::drBadData);
  }
  {  // a code that chains through itself after a clear
    TBitWriter w;
    w.Put('x', 9);
    w.Put('y', 9);  // 257 = "xy"
    w.Put(257, 9);  // 258 = "yx"; previous code is now 257, a leaf
    w.Put(256, 9);
    w.Put(2, 9);    // frees 257 and 258
    w.Put('q', 9);  // 257 = (prefix 257, "q"): a chain with no end
    w.Put(257, 9);
    EXPECT_EQ(run(w.Finish()), TDecodeResult::drBadData);
  }
  // Empty data and data shorter than one code produce nothing and succeed.
  std::string out = "unchanged";
  EXPECT_EQ(run("", &out), TDecodeResult::drOk);
  EXPECT_EQ(out, "");
  EXPECT_EQ(run("\x41", &out), TDecodeResult::drOk);
  EXPECT_EQ(out, "");
}

// Filling the table to all 8192 codes goes on without adding more codes;
// the 13-bit codes read back the right strings.
TEST(Shrink, FullTableKeepsDecoding) {
  TShrinkDecoder d;
  TBitWriter w;
  std::string expect;
  unsigned bits = 9;
  w.Put('a', bits);
  expect += 'a';
  for (unsigned code = 257; code < 8192 + 50; ++code) {
    unsigned next = code < 8192 ? code : 'b';  // each new code is the undefined one
    if (code < 8192 && next >= (1u << bits)) {
      w.Put(256, bits);
      w.Put(1, bits);
      ++bits;
    }
    w.Put(next, bits);
  }
  std::string in = w.Finish();
  // "a" then codes 257.. each being "previous + its first byte": lengths 2, 3, ...
  size_t n = 1;
  for (unsigned code = 257; code < 8192; ++code) n += code - 255;
  n += 50;
  TMemorySource src(in.data(), in.size());
  TStringSink sink;
  EXPECT_EQ(d.Decode(src, sink), TDecodeResult::drOk);
  ASSERT_EQ(sink.Bytes.size(), n);
  EXPECT_EQ(sink.Bytes.substr(0, 6), "aaaaaa");
  EXPECT_EQ(sink.Bytes.substr(n - 50), std::string(50, 'b'));
}

// ---- Reduce ----------------------------------------------------------------

// A reduce stream with empty follower sets: every byte is 8 plain bits.
std::string PlainReduce(const std::string& Bytes) {
  TBitWriter w;
  for (int i = 0; i < 256; ++i) w.Put(0, 6);
  for (unsigned char c : Bytes) w.Put(c, 8);
  return w.Finish();
}

TEST(Reduce, DleMachineForEveryFactor) {
  TReduceDecoder d;
  for (int factor = 1; factor <= 4; ++factor) {
    unsigned L = 127u >> (factor - 1);
    // "abc", a literal 144, then a match of 5 at distance 3, then a long
    // match (length field L plus 2 more) at distance 1 with high part 0.
    std::string bytes = "abc";
    bytes += '\x90';
    bytes += '\0';
    bytes += '\x90';
    bytes += static_cast<char>(2);  // length field 2: 5 bytes
    bytes += static_cast<char>(2);  // distance 3
    bytes += '\x90';
    bytes += static_cast<char>(L);
    bytes += static_cast<char>(2);  // extra length
    bytes += static_cast<char>(0);  // distance 1
    std::string want = "abc\x90" "bc\x90" "bc" + std::string(L + 2 + 3, 'c');
    std::string in = PlainReduce(bytes);
    TMemorySource src(in.data(), in.size(), 3);
    TStringSink sink;
    EXPECT_EQ(d.Decode(src, sink, factor, want.size()), TDecodeResult::drOk) << factor;
    EXPECT_EQ(sink.Bytes, want) << factor;
  }
}

TEST(Reduce, DistanceBeforeTheDataReadsZeros) {
  TReduceDecoder d;
  for (int factor = 1; factor <= 4; ++factor) {
    unsigned S = 8u - unsigned(factor), M = (1u << factor) - 1u;
    // One byte of data, then a match of 4 reaching back the largest distance.
    std::string bytes = "X\x90";
    bytes += static_cast<char>(1 | (M << S));
    bytes += '\xFF';
    std::string in = PlainReduce(bytes);
    TMemorySource src(in.data(), in.size());
    TStringSink sink;
    EXPECT_EQ(d.Decode(src, sink, factor, 5), TDecodeResult::drOk);
    EXPECT_EQ(sink.Bytes, std::string("X\0\0\0\0", 5)) << factor;
  }
}

TEST(Reduce, FollowerSetsAndTheirFaults) {
  TReduceDecoder d;
  // Byte 0 (the start state) has followers {'p', 'q', 'r'}; 'q' has {'q'}.
  auto stream = [](unsigned Index) {
    TBitWriter w;
    for (int i = 255; i >= 0; --i) {
      if (i == 0) {
        w.Put(3, 6);
        w.Put('p', 8);
        w.Put('q', 8);
        w.Put('r', 8);
      } else if (i == 'q') {
        w.Put(1, 6);
        w.Put('q', 8);
      } else {
        w.Put(0, 6);
      }
    }
    w.Put(0, 1);
    w.Put(Index, 2);  // index into the set of byte 0 (3 entries: 2 bits)
    w.Put(0, 1);
    w.Put(0, 1);      // 'q' follows 'q' (1 entry: 1 bit)
    w.Put(1, 1);
    w.Put('z', 8);    // a literal outside the set
    return w.Finish();
  };
  std::string good = stream(1);
  {
    TMemorySource src(good.data(), good.size(), 1);
    TStringSink sink;
    EXPECT_EQ(d.Decode(src, sink, 2, 3), TDecodeResult::drOk);
    EXPECT_EQ(sink.Bytes, "qqz");
  }
  {  // index 3 lies past the end of a 3-entry set
    std::string bad = stream(3);
    TMemorySource src(bad.data(), bad.size());
    TStringSink sink;
    EXPECT_EQ(d.Decode(src, sink, 2, 3), TDecodeResult::drBadData);
  }
  {  // asked for more than the data holds
    TMemorySource src(good.data(), good.size());
    TStringSink sink;
    EXPECT_EQ(d.Decode(src, sink, 2, 1000), TDecodeResult::drInputEnded);
    EXPECT_EQ(sink.Bytes.substr(0, 3), "qqz");
    EXPECT_LT(sink.Bytes.size(), 10u);
  }
  {  // not a factor
    TMemorySource src(good.data(), good.size());
    TStringSink sink;
    EXPECT_EQ(d.Decode(src, sink, 5, 3), TDecodeResult::drBadData);
  }
}

// ---- Implode ---------------------------------------------------------------

TEST(Implode, TreesThatDoNotAddUpStop) {
  TImplodeDecoder d;
  auto run = [&](const std::string& Trees, uint16_t Flags) {
    std::string in = Trees + std::string(64, '\x55');
    TMemorySource src(in.data(), in.size());
    TStringSink sink;
    TDecodeResult r = d.Decode(src, sink, Flags, in.size(), 100);
    EXPECT_EQ(sink.Bytes, "");
    return r;
  };
  // 64 lengths of 6 bits each form a complete code: four runs of 16.
  const std::string full64("\x03\xf5\xf5\xf5\xf5", 5);
  // Lengths covering only 48 of the 64 length-tree symbols.
  EXPECT_EQ(run(std::string("\x02\xf5\xf5\xf5", 4) + full64, 0), TDecodeResult::drBadData);
  // Runs running past the 64 symbols.
  EXPECT_EQ(run(std::string("\x04\xf5\xf5\xf5\xf5\xf5", 6) + full64, 0), TDecodeResult::drBadData);
  // The right count, but 64 codes of one bit cannot all exist.
  EXPECT_EQ(run(full64 + std::string("\x03\xf0\xf0\xf0\xf0", 5), 0), TDecodeResult::drBadData);
  // The right count, but 64 codes of 7 bits leave half the code space empty.
  EXPECT_EQ(run(full64 + std::string("\x03\xf6\xf6\xf6\xf6", 5), 0), TDecodeResult::drBadData);
  // A literal tree of 64 symbols where 256 are needed.
  EXPECT_EQ(run(full64 + full64 + full64, 4), TDecodeResult::drBadData);
  // Trees cut short.
  EXPECT_EQ(run(std::string(), 0), TDecodeResult::drBadData);  // 0x55 runs do not add up
  std::string cut = full64.substr(0, 3);
  TMemorySource src(cut.data(), cut.size());
  TStringSink sink;
  EXPECT_EQ(d.Decode(src, sink, 0, 3, 100), TDecodeResult::drInputEnded);
}

// Hand-made stream with 6-bit codes in both trees (code value = 63 - symbol,
// from the counting order), two trees, 4 KB dictionary.
TEST(Implode, LiteralsMatchesAndDistancesBeforeTheData) {
  TImplodeDecoder d;
  auto code = [](TBitWriter& w, unsigned Symbol) {
    unsigned c = 63 - Symbol;  // most significant bit goes first
    for (int b = 5; b >= 0; --b) w.Put((c >> b) & 1u, 1);
  };
  for (uint64_t csize : {uint64_t(100), uint64_t(300000)}) {  // both distance lookup widths
    TBitWriter w;
    for (int t = 0; t < 2; ++t) {
      w.Put(3, 8);
      for (int i = 0; i < 4; ++i) w.Put(0xf5, 8);
    }
    w.Put(1, 1);
    w.Put('k', 8);
    w.Put(0, 1);  // match: distance 1, length 0 + 2
    w.Put(0, 6);
    code(w, 0);
    code(w, 0);
    w.Put(0, 1);  // match: distance (1 << 6 | 4) + 1 = 69 before the data, length 63 + 1 + 2
    w.Put(4, 6);
    code(w, 1);
    code(w, 63);
    w.Put(1, 8);
    std::string in = w.Finish();
    TMemorySource src(in.data(), in.size(), 2);
    TStringSink sink;
    EXPECT_EQ(d.Decode(src, sink, 0, csize, 69), TDecodeResult::drOk);
    EXPECT_EQ(sink.Bytes, "kkk" + std::string(66, '\0'));
  }
}

// The decoders stay usable after the sink raised in the middle of an entry.
TEST(LegacyDecoders, SinkExceptionsPassThroughAndTheDecoderIsReusable) {
  class TThrowingSink : public TDecodeSink {
   public:
    void Put(const uint8_t*, size_t) override { throw std::runtime_error("disk full"); }
  };
  std::vector<TLegacyEntry> rows = LoadExpected();
  TDecoders decoders;
  std::map<std::string, std::string> archives;
  for (const TLegacyEntry& e : rows) {
    if (e.Method == 0 || e.Size < 40000 || e.File == "PKZ110.ZIP") continue;
    std::string& archive = archives[e.File];
    if (archive.empty()) archive = test::ReadFile(std::string(ZEM_TEST_DATA) + "/interop/legacy/" + e.File);
    std::string data = EntryData(archive, e);
    TThrowingSink thrower;
    EXPECT_THROW(decoders.Run(e, data, 1000, thrower), std::runtime_error) << e.File;
    TStringSink sink;
    EXPECT_EQ(decoders.Run(e, data, 1000, sink), TDecodeResult::drOk);
    EXPECT_EQ(Crc(sink.Bytes), e.Crc) << e.File << " " << e.Name;
  }
}

}  // namespace
}  // namespace zem
