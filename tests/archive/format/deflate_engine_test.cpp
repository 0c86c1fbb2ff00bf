// The deflate engines: what either writes, both read back exactly, at every
// level, through windows of every size; the level table sends the fast
// levels to ISA-L; and on corrupt or cut input both stop without touching a
// byte outside the windows they were given.
#include "archive/format/deflate_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/test_support.h"

namespace zem {
namespace {

const TDeflateEngine kEngines[] = {TDeflateEngine::deAuto, TDeflateEngine::deZlib};

std::string Sample() {
  std::string S;
  for (int I = 0; I < 6000; ++I) S += "entry " + std::to_string(I * 7919 % 1000) + " of the card log\n";
  return S + test::RandomBytes(70000, 3) + std::string(100000, 'z');
}

// Deflates Data feeding In bytes and taking Out bytes per step. The input
// goes through one buffer, overwritten once the deflater has taken it, as
// the writer's is: the engine must keep what it still needs.
std::string Deflate(TDeflater& D, int Level, const std::string& Data, size_t In, size_t Out) {
  EXPECT_TRUE(D.Init(Level));
  std::string Packed;
  std::vector<uint8_t> Buf(Out), InBuf(In);
  size_t At = 0;
  for (;;) {
    if (D.InputLeft() == 0 && At < Data.size()) {
      const size_t N = std::min(In, Data.size() - At);
      std::fill(InBuf.begin(), InBuf.end(), 0xEE);
      std::copy(Data.begin() + static_cast<std::ptrdiff_t>(At), Data.begin() + static_cast<std::ptrdiff_t>(At + N),
                InBuf.begin());
      D.SetInput(InBuf.data(), N);
      At += N;
    }
    D.SetOutput(Buf.data(), Buf.size());
    const TDeflater::TStatus R = D.Step(At == Data.size());
    EXPECT_NE(R, TDeflater::TStatus::tsFailed);
    Packed.append(reinterpret_cast<char*>(Buf.data()), Buf.size() - D.OutputLeft());
    if (R != TDeflater::TStatus::tsMore) return Packed;
  }
}

// Inflates Packed into windows of Out bytes with a guard band after each;
// returns the output and sets Status to how the stream ended.
std::string Inflate(TInflater& I, const std::string& Packed, size_t Out, TInflater::TStatus& Status) {
  constexpr size_t kGuard = 64;
  std::vector<uint8_t> Buf(Out + kGuard, 0xA5);
  std::string Plain;
  I.Init();
  I.SetInput(reinterpret_cast<const uint8_t*>(Packed.data()), Packed.size());
  for (;;) {
    I.SetOutput(Buf.data(), Out);
    Status = I.Step();
    const size_t Have = Out - I.OutputLeft();
    Plain.append(reinterpret_cast<char*>(Buf.data()), Have);
    for (size_t G = Out; G < Buf.size(); ++G) EXPECT_EQ(Buf[G], 0xA5) << "written past the window";
    if (Status != TInflater::TStatus::tsMore || Have == 0) return Plain;
  }
}

TEST(DeflateEngine, EitherEnginesStreamsReadBackInBothAtEveryLevel) {
  const std::string Data = Sample();
  for (TDeflateEngine Writer : kEngines) {
    TDeflater D(Writer);  // one deflater for every level: its state is reused
    for (int Level = 1; Level <= 9; ++Level) {
      for (auto [In, Out] : {std::pair<size_t, size_t>{65535, 65535}, {997, 61}}) {
        if (In == 997 && Level % 3 != 0) continue;  // small windows on a few levels are enough
        const std::string Packed = Deflate(D, Level, Data, In, Out);
        SCOPED_TRACE(::testing::Message() << D.EngineName() << " level " << Level << " windows " << In);
        EXPECT_LT(Packed.size(), Data.size() / 2);
        for (TDeflateEngine Reader : kEngines) {
          TInflater I(Reader);
          TInflater::TStatus Status;
          EXPECT_EQ(Inflate(I, Packed, Out == 61 ? 61 : 32768, Status), Data) << I.EngineName();
          EXPECT_EQ(Status, TInflater::TStatus::tsEnded) << I.EngineName();
        }
      }
    }
  }
}

TEST(DeflateEngine, FastLevelsGoToIsalAndTheRestToZlib) {
  TDeflater Auto(TDeflateEngine::deAuto), Zlib(TDeflateEngine::deZlib);
  for (int Level = 1; Level <= 9; ++Level) {
    ASSERT_TRUE(Auto.Init(Level));
    ASSERT_TRUE(Zlib.Init(Level));
    const bool Isal = IsalBuiltIn() && Level < kFirstZlibLevel;
    EXPECT_STREQ(Auto.EngineName(), Isal ? "ISA-L" : "zlib") << Level;
    EXPECT_STREQ(Zlib.EngineName(), "zlib") << Level;
  }
  EXPECT_STREQ(TInflater(TDeflateEngine::deAuto).EngineName(), IsalBuiltIn() ? "ISA-L" : "zlib");
  EXPECT_STREQ(TInflater(TDeflateEngine::deZlib).EngineName(), "zlib");
}

// Hostile input: each defect fails on both engines with the engine's name
// in the words, and a stream cut anywhere never counts as ended.
TEST(DeflateEngine, CorruptAndCutStreamsFailOnBothEngines) {
  const std::string Defects[] = {
      std::string("\x07\x00", 2),                  // block type 3
      std::string("\x01\x05\x00\x00\x00hello", 10),  // stored length and its complement disagree
      std::string("\x03\x02\x00", 3),              // a match before any output
      std::string("\x05\xff\xff\xff\xff\xff\xff", 7),  // dynamic block with impossible code lengths
  };
  TDeflater D(TDeflateEngine::deZlib);
  const std::string Plain = Sample();
  const std::string Packed = Deflate(D, 6, Plain, 65535, 65535);
  for (TDeflateEngine Engine : kEngines) {
    TInflater I(Engine);
    SCOPED_TRACE(I.EngineName());
    for (const std::string& Bad : Defects) {
      TInflater::TStatus Status;
      Inflate(I, Bad, 32768, Status);
      EXPECT_EQ(Status, TInflater::TStatus::tsFailed) << Bad.size();
      EXPECT_EQ(I.ErrorText().rfind(std::string(I.EngineName()) + ": ", 0), 0u) << I.ErrorText();
    }
    for (size_t Keep : {size_t(0), size_t(1), Packed.size() / 2, Packed.size() - 1}) {
      TInflater::TStatus Status;
      const std::string Got = Inflate(I, Packed.substr(0, Keep), 32768, Status);
      EXPECT_NE(Status, TInflater::TStatus::tsEnded) << Keep;
      EXPECT_EQ(Got, Plain.substr(0, Got.size())) << Keep;
    }
  }
}

}  // namespace
}  // namespace zem
