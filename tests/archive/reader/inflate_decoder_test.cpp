// Tests of the raw inflate decoder on both engines and replay of the saved
// decoder fuzz inputs.
#include "archive/reader/inflate_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/test_support.h"
#include "fuzz/decoder_fuzz_body.h"

namespace zem {
namespace {

class TStringSink : public TDecodeSink {
 public:
  void Put(const uint8_t* Data, size_t Count) override {
    ASSERT_GT(Count, 0u);
    ASSERT_LE(Count, TInflateDecoder::kOutSize);
    Bytes.append(reinterpret_cast<const char*>(Data), Count);
    ++Calls;
  }
  std::string Bytes;
  int Calls = 0;
};

// Raw deflate (no zlib header) of Data at the given level.
std::string RawDeflate(const std::string& Data, int Level) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, Level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&zs, Data.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
  zs.avail_in = static_cast<uInt>(Data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string SampleData() {
  std::string s;
  for (int i = 0; i < 4000; ++i) s += "line " + std::to_string(i * 7919 % 1000) + " of the sample text\n";
  return s + test::RandomBytes(50000, 7);
}

// Each test runs on ISA-L's inflate (where built in) and on zlib's.
class Inflate : public ::testing::TestWithParam<TDeflateEngine> {};

INSTANTIATE_TEST_SUITE_P(Engines, Inflate, ::testing::Values(TDeflateEngine::deAuto, TDeflateEngine::deZlib),
                         [](const auto& Info) { return Info.param == TDeflateEngine::deZlib ? "zlib" : "auto"; });

TEST_P(Inflate, RoundTripInBlocksOfEverySize) {
  TInflateDecoder d(GetParam());  // reused across calls
  std::string plain = SampleData();
  for (int level : {0, 1, 6, 9}) {
    std::string packed = RawDeflate(plain, level);
    for (size_t block : {size_t(1), size_t(13), size_t(32768)}) {
      if (block == 1 && level != 6) continue;  // one byte at a time once is enough
      TMemorySource src(packed.data(), packed.size(), block);
      TStringSink sink;
      ASSERT_EQ(d.Decode(src, sink), TDecodeResult::drOk) << level << " " << block;
      EXPECT_EQ(sink.Bytes, plain) << level << " " << block;
      EXPECT_GE(sink.Calls, int(plain.size() / TInflateDecoder::kOutSize));
    }
  }
}

TEST_P(Inflate, EmptyStreamAndTrailingBytes) {
  TInflateDecoder d(GetParam());
  std::string packed = RawDeflate("", 6) + "trailing junk";
  TMemorySource src(packed.data(), packed.size());
  TStringSink sink;
  EXPECT_EQ(d.Decode(src, sink), TDecodeResult::drOk);
  EXPECT_EQ(sink.Bytes, "");
  EXPECT_EQ(sink.Calls, 0);
}

// A stream that has not ended when the bytes run out fails instead of
// offering the engine the same bytes again and again.
TEST_P(Inflate, CutStreamsEndWithInputEnded) {
  TInflateDecoder d(GetParam());
  std::string plain = SampleData();
  std::string packed = RawDeflate(plain, 9);
  for (size_t keep : {size_t(0), size_t(1), packed.size() / 3, packed.size() - 1}) {
    TMemorySource src(packed.data(), keep, 1000);
    TStringSink sink;
    EXPECT_EQ(d.Decode(src, sink), TDecodeResult::drInputEnded) << keep;
    EXPECT_LT(sink.Bytes.size(), plain.size());
    EXPECT_EQ(sink.Bytes, plain.substr(0, sink.Bytes.size())) << "what was produced is right";
  }
}

// The engine's own words, after its name.
TEST_P(Inflate, CorruptStreamsReportTheEnginesErrors) {
  TInflateDecoder d(GetParam());
  const bool zlib = std::string(d.EngineName()) == "zlib";
  // Block type 3 does not exist.
  const std::string badType("\x07\x00", 2);
  TMemorySource src(badType.data(), badType.size());
  TStringSink sink;
  EXPECT_EQ(d.Decode(src, sink), TDecodeResult::drBadData);
  EXPECT_EQ(d.ErrorText(), zlib ? "zlib: invalid block type" : "ISA-L: invalid block header");
  // A stored block whose length check does not match.
  const std::string badStored("\x01\x05\x00\x00\x00hello", 10);
  TMemorySource src2(badStored.data(), badStored.size());
  EXPECT_EQ(d.Decode(src2, sink), TDecodeResult::drBadData);
  // A fixed-code block whose first symbol is a match: nothing to copy from.
  const std::string tooFar("\x03\x02\x00", 3);
  TMemorySource src3(tooFar.data(), tooFar.size());
  EXPECT_EQ(d.Decode(src3, sink), TDecodeResult::drBadData);
  EXPECT_EQ(d.ErrorText(), zlib ? "zlib: invalid distance too far back" : "ISA-L: invalid distance too far back");
  EXPECT_EQ(sink.Bytes, "");
}

TEST_P(Inflate, SinkExceptionReleasesTheStream) {
  class TThrowingSink : public TDecodeSink {
   public:
    void Put(const uint8_t*, size_t) override { throw std::runtime_error("disk full"); }
  };
  TInflateDecoder d(GetParam());
  std::string plain = SampleData();
  std::string packed = RawDeflate(plain, 6);
  for (int i = 0; i < 3; ++i) {  // leaks would show under the sanitizers
    TMemorySource src(packed.data(), packed.size());
    TThrowingSink thrower;
    EXPECT_THROW(d.Decode(src, thrower), std::runtime_error);
  }
  TMemorySource src(packed.data(), packed.size());
  TStringSink sink;
  EXPECT_EQ(d.Decode(src, sink), TDecodeResult::drOk);
  EXPECT_EQ(sink.Bytes, plain);
}

// Every input the fuzz targets once tripped over runs cleanly (the bodies
// abort on a broken promise; the sanitizers catch the rest).
TEST(DecoderFuzzRegressions, SavedInputsReplay) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(ZEM_TEST_DATA) / "fuzz-regressions";
  struct TGroup {
    const char* Folder;
    void (*Body)(const uint8_t*, size_t);
  };
  const TGroup groups[] = {{"shrink", fuzz::FuzzShrinkOne},
                           {"reduce", fuzz::FuzzReduceOne},
                           {"implode", fuzz::FuzzImplodeOne},
                           {"deflate", fuzz::FuzzInflateOne}};
  int replayed = 0;
  for (const TGroup& g : groups) {
    fs::path dir = root / g.Folder;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    for (const auto& item : fs::directory_iterator(dir)) {
      if (!item.is_regular_file() || item.path().filename().string()[0] == '.') continue;
      std::string bytes = test::ReadFile(item.path());
      SCOPED_TRACE(item.path().string());
      g.Body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace zem
