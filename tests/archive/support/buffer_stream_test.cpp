// Tests for the buffered stream: a randomized comparison with a plain model,
// and the cases a model cannot reach (put-back, errors, flush points).
#include "archive/support/buffer_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/test_support.h"

#include <fcntl.h>
#include <unistd.h>

namespace zem {
namespace {

// A memory stream that counts the calls reaching it and can refuse writes
// once a quota of bytes is used up (a full disk).
class TProbeStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  int Reads = 0;
  int Writes = 0;
  int64_t WriteQuota = INT64_MAX;
  int64_t Read(void* Buffer, int64_t Count) override {
    ++Reads;
    return TMemoryStream::Read(Buffer, Count);
  }
  int64_t Write(const void* Buffer, int64_t Count) override {
    ++Writes;
    int64_t Take = std::min(Count, WriteQuota);
    WriteQuota -= Take;
    return Take > 0 ? TMemoryStream::Write(Buffer, Take) : 0;
  }
};

std::string ReadString(TStream& S, int64_t Count) {
  std::string Out(static_cast<size_t>(Count), '\0');
  Out.resize(static_cast<size_t>(S.Read(Out.data(), Count)));
  return Out;
}

template <class E, class F>
std::string MessageOf(F&& Action) {
  try {
    Action();
  } catch (const E& Error) {
    return Error.Message();
  }
  return "<no exception>";
}

// ---- Randomized comparison with a model ------------------------------------

// The model: the content the source must end up with and the position.
struct TModel {
  std::string Data;
  int64_t Pos = 0;
  int64_t Size() const { return std::max<int64_t>(static_cast<int64_t>(Data.size()), Pos); }
  void Write(const std::string& Bytes) {
    if (Bytes.empty()) return;  // an empty write does not extend the content
    if (Data.size() < static_cast<size_t>(Pos) + Bytes.size()) Data.resize(Pos + Bytes.size(), '\0');
    Data.replace(static_cast<size_t>(Pos), Bytes.size(), Bytes);
    Pos += static_cast<int64_t>(Bytes.size());
  }
  std::string Read(int64_t Count) {
    if (Pos >= static_cast<int64_t>(Data.size())) return {};
    std::string Out = Data.substr(static_cast<size_t>(Pos), static_cast<size_t>(Count));
    Pos += static_cast<int64_t>(Out.size());
    return Out;
  }
};

void RunModelSequences(int BufferSize, int Sequences, uint32_t Seed, bool WithinBuffer = false) {
  std::mt19937 Gen(Seed);
  auto Rand = [&](int64_t Lo, int64_t Hi) {  // inclusive
    return std::uniform_int_distribution<int64_t>(Lo, Hi)(Gen);
  };
  // Sizes from 0 to a few buffers, with a bias to header-sized transfers.
  auto RandSize = [&]() -> int64_t {
    switch (Rand(0, 3)) {
      case 0: return Rand(0, 4);
      case 1: return Rand(0, BufferSize);
      case 2: return Rand(BufferSize - 1, BufferSize + 1);
      default: return Rand(0, 3 * BufferSize + 3);
    }
  };
  for (int Seq = 0; Seq < Sequences; ++Seq) {
    std::string Initial = test::RandomBytes(static_cast<size_t>(Rand(0, 2 * BufferSize)), Gen());
    TProbeStream Source(Initial);
    TModel Model{Initial, 0};
    std::string Trace;
    {
      TS_BufferStream S(&Source, BufferSize);
      S.SetSeekWithinBuffer(WithinBuffer);
      bool LastReadDelivered = false;
      for (int Step = 0; Step < 40; ++Step) {
        int Op = static_cast<int>(Rand(0, 9));
        bool ReadNow = false;
        if (Op <= 2) {
          int64_t N = RandSize();
          Trace += " R" + std::to_string(N);
          std::string Expected = Model.Read(N);
          ASSERT_EQ(ReadString(S, N), Expected) << Trace;
          // A read cut short by the end tried a refill that emptied the
          // buffer; only a read that got all it asked for can be put back.
          ReadNow = N > 0 && static_cast<int64_t>(Expected.size()) == N;
        } else if (Op <= 5) {
          std::string Bytes = test::RandomBytes(static_cast<size_t>(RandSize()), Gen());
          Trace += " W" + std::to_string(Bytes.size());
          ASSERT_EQ(S.Write(Bytes.data(), static_cast<int64_t>(Bytes.size())),
                    static_cast<int64_t>(Bytes.size()))
              << Trace;
          Model.Write(Bytes);
        } else if (Op <= 8) {
          int Origin = static_cast<int>(Rand(0, 2));
          int64_t Offset;
          int64_t Target;
          if (Origin == soBeginning) {
            Target = Offset = Rand(0, Model.Size() + BufferSize / 2);
          } else if (Origin == soCurrent) {
            Offset = Rand(-Model.Pos, Model.Size() - Model.Pos + 3);
            Target = Model.Pos + Offset;
          } else {
            int64_t Back = Rand(0, Model.Size());
            Offset = Rand(0, 1) ? Back : -Back;
            Target = Model.Size() - Back;
          }
          Trace += " S" + std::to_string(Offset) + "/" + std::to_string(Origin);
          ASSERT_EQ(S.Seek(Offset, Origin), Target) << Trace;
          Model.Pos = Target;
        } else if (LastReadDelivered) {
          // Putting back the byte just read leaves the content unchanged.
          Trace += " P";
          S.PutBack(static_cast<uint8_t>(Model.Data[static_cast<size_t>(Model.Pos - 1)]));
          --Model.Pos;
        } else {
          Trace += " Z";
          ASSERT_EQ(S.Size(), Model.Size()) << Trace;
        }
        LastReadDelivered = ReadNow;
        ASSERT_EQ(S.Position(), Model.Pos) << Trace;
      }
    }
    ASSERT_EQ(Source.Data(), Model.Data) << "buffer " << BufferSize << ":" << Trace;
  }
}

TEST(BufferStreamModel, TinyBuffers) {
  RunModelSequences(7, 1500, 1);
  RunModelSequences(16, 1500, 2);
}

TEST(BufferStreamModel, MediumAndArchiveBuffers) {
  RunModelSequences(100, 1000, 3);
  RunModelSequences(8192, 300, 4);
}

TEST(BufferStreamModel, SeeksWithinTheReadBuffer) {
  RunModelSequences(7, 1500, 5, true);
  RunModelSequences(100, 1000, 6, true);
}

// ---- Cases a model cannot reach ----------------------------------------------

TEST(BufferStream, PendingWritesAndFlushPoints) {
  TProbeStream Source;
  TS_BufferStream S(&Source, 16);
  int Flushed = 0;
  S.OnBufferFlushed = [&](TS_BufferStream* Sender) {
    EXPECT_EQ(Sender, &S);
    ++Flushed;
  };
  ASSERT_EQ(S.Write("0123456789", 10), 10);
  EXPECT_EQ(S.State(), TS_BufferStream::BufferWriting);
  EXPECT_TRUE(S.HasWritten());
  EXPECT_EQ(S.Seek(0, soCurrent), 10);
  EXPECT_EQ(S.Seek(10, soBeginning), 10);
  EXPECT_TRUE(Source.Data().empty()) << "asking the position must leave writes pending";
  EXPECT_EQ(Flushed, 0);
  // From the end: pending bytes past the source's end count; the sign does not.
  EXPECT_EQ(S.Seek(-4, soEnd), 6);
  EXPECT_EQ(Source.Data(), "0123456789");
  EXPECT_EQ(Flushed, 1);
  EXPECT_EQ(S.Seek(4, soEnd), 6);
  EXPECT_EQ(S.Seek(0, soBeginning), 0);
  EXPECT_EQ(ReadString(S, 10), "0123456789");

  // Topping the buffer up to exactly BufferSize flushes once inside Write.
  TProbeStream Big(std::string(64, '.'));
  TS_BufferStream B(&Big, 16);
  int BigFlushes = 0;
  B.OnBufferFlushed = [&](TS_BufferStream*) { ++BigFlushes; };
  B.Write("abc", 3);
  B.Write("defghijklmnop", 13);
  EXPECT_EQ(BigFlushes, 1);
  EXPECT_EQ(Big.Writes, 1);
  EXPECT_EQ(Big.Data().substr(0, 17), "abcdefghijklmnop.");
  EXPECT_EQ(B.State(), TS_BufferStream::BufferEmpty);
  // A following read comes from the source, not from the stale buffer.
  Big.Data()[16] = 'X';
  EXPECT_EQ(ReadString(B, 2), "X.");
}

TEST(BufferStream, ReadingThenWriting) {
  // Read 5 of 100 buffered bytes, then write 3: they land at 5..7.
  std::string Content = test::RandomBytes(300, 11);
  TProbeStream Source(Content);
  {
    TS_BufferStream S(&Source, 100);
    EXPECT_EQ(ReadString(S, 5), Content.substr(0, 5));
    EXPECT_EQ(S.Write("xyz", 3), 3);
    EXPECT_EQ(S.Position(), 8);
    EXPECT_EQ(ReadString(S, 2), Content.substr(8, 2));
  }
  EXPECT_EQ(Source.Data(), Content.substr(0, 5) + "xyz" + Content.substr(8));

  // Reading to the end, then writing, appends.
  TProbeStream Tail("abc");
  {
    TS_BufferStream S(&Tail, 7);
    EXPECT_EQ(ReadString(S, 10), "abc");
    EXPECT_EQ(ReadString(S, 10), "");
    EXPECT_EQ(S.Write("de", 2), 2);
    EXPECT_EQ(S.Position(), 5);
  }
  EXPECT_EQ(Tail.Data(), "abcde");
}

TEST(BufferStream, PutBack) {
  std::string Content = test::RandomBytes(200, 5);
  TProbeStream Source(Content);
  TS_BufferStream S(&Source, 16);
  const std::string Overflow = "\x10Putback overflow";
  EXPECT_EQ(MessageOf<EStreamError>([&] { S.PutBack('a'); }), Overflow) << "fresh stream";
  ASSERT_TRUE(S.FillBuffer());
  EXPECT_EQ(MessageOf<EStreamError>([&] { S.PutBack('a'); }), Overflow) << "right after a refill";
  EXPECT_EQ(ReadString(S, 1), Content.substr(0, 1));
  S.PutBack('Q');
  EXPECT_EQ(S.Position(), 0);
  EXPECT_EQ(ReadString(S, 3), "Q" + Content.substr(1, 2));

  // After a large read that went straight to the source.
  S.Seek(10, soBeginning);
  EXPECT_EQ(MessageOf<EStreamError>([&] { S.PutBack('a'); }), Overflow) << "after a seek";
  EXPECT_EQ(ReadString(S, 100), Content.substr(10, 100));
  S.PutBack('R');
  S.PutBack('S');
  EXPECT_EQ(S.Position(), 108);
  EXPECT_EQ(ReadString(S, 3), "SR" + Content.substr(110, 1));

  // Over pending writes it would drop a written byte: refused.
  S.Write("w", 1);
  EXPECT_EQ(MessageOf<EStreamError>([&] { S.PutBack('a'); }), Overflow) << "while writing";
  S.Seek(0, soBeginning);
  EXPECT_EQ(Source.Data()[111], 'w');
}

TEST(BufferStream, SeeksWithinTheReadBufferReadNothingAgain) {
  std::string Content = test::RandomBytes(200, 7);
  TProbeStream Source(Content);
  TS_BufferStream S(&Source, 64);
  S.SetSeekWithinBuffer(true);
  EXPECT_EQ(ReadString(S, 30), Content.substr(0, 30));
  ASSERT_EQ(Source.Reads, 1);
  S.Seek(5, soBeginning);
  EXPECT_EQ(ReadString(S, 10), Content.substr(5, 10));
  S.Seek(40, soBeginning);
  EXPECT_EQ(ReadString(S, 24), Content.substr(40, 24));
  EXPECT_EQ(Source.Reads, 1) << "every seek landed in the 64 bytes read first";
  // Going back is no licence to put back what was read before the seek.
  S.Seek(50, soBeginning);
  EXPECT_EQ(MessageOf<EStreamError>([&] { S.PutBack('a'); }), "\x10Putback overflow");
  // A put-back byte is not served again after a seek back over it.
  EXPECT_EQ(ReadString(S, 1), Content.substr(50, 1));
  S.PutBack('Q');
  S.Seek(60, soBeginning);
  S.Seek(50, soBeginning);
  EXPECT_EQ(ReadString(S, 2), Content.substr(50, 2));
}

TEST(BufferStream, SeekErrors) {
  TProbeStream Source("0123456789");
  TS_BufferStream S(&Source, 8);
  ReadString(S, 3);
  for (int Origin : {3, -1}) {
    try {
      S.Seek(0, Origin);
      ADD_FAILURE() << "no exception for origin " << Origin;
    } catch (const EStreamError&) {
      ADD_FAILURE() << "the base exception class is expected";
    } catch (const Exception& Error) {
      EXPECT_EQ(Error.Message(), "\x18Invalid seek origin (" + std::to_string(Origin) + ")");
    }
    EXPECT_EQ(S.Position(), 3);
  }

  // A flush that fails inside a seek.
  TProbeStream Full;
  Full.WriteQuota = 0;
  TS_BufferStream W(&Full, 8);
  EXPECT_EQ(W.Write("abc", 3), 3);
  EXPECT_EQ(MessageOf<Exception>([&] { W.Seek(0, soBeginning); }), "\nSeek error");
}

TEST(BufferStream, RefusedWritesAreReported) {
  // The source takes 20 bytes, then refuses.
  TProbeStream Source;
  Source.WriteQuota = 20;
  TS_BufferStream S(&Source, 16);
  EXPECT_EQ(S.Write("0123456789", 10), 10);
  // Completing the buffer flushes 16 bytes: fine.
  EXPECT_EQ(S.Write("abcdef", 6), 6);
  EXPECT_EQ(S.Write("ghijk", 5), 5);
  // This chunk fills the buffer again and its flush fails: a short count,
  // even though the chunk was the last one asked for.
  EXPECT_LT(S.Write("lmnopqrstuv", 11), 11);
  // A large write passing straight through reports what the source took.
  TProbeStream Small;
  Small.WriteQuota = 40;
  TS_BufferStream P(&Small, 16);
  std::string Bulk(100, 'b');
  EXPECT_EQ(P.Write(Bulk.data(), 100), 40);
  // Close tells whether the last pending bytes arrived.
  P.Write("x", 1);
  EXPECT_FALSE(P.Close());
  TProbeStream Room;
  TS_BufferStream Q(&Room, 16);
  Q.Write("x", 1);
  EXPECT_TRUE(Q.Close());
  EXPECT_EQ(Room.Data(), "x");
}

TEST(BufferStream, LargeTransfersPassThrough) {
  const int Size = 8192;
  std::string Content = test::RandomBytes(10 * Size + 5, 9);
  TProbeStream Source(Content);
  TS_BufferStream S(&Source, Size);
  int Filled = 0;
  S.OnBufferFilled = [&](TS_BufferStream*) { ++Filled; };
  // Header-sized reads: one refill for many reads.
  for (int I = 0; I < 100; ++I) ASSERT_EQ(ReadString(S, 30), Content.substr(I * 30, 30));
  EXPECT_EQ(Source.Reads, 1);
  EXPECT_EQ(Filled, 1);
  // A bulk read takes what is buffered, then one source call for the rest.
  std::string Bulk = ReadString(S, 5 * Size);
  EXPECT_EQ(Bulk, Content.substr(3000, 5 * Size));
  EXPECT_EQ(Source.Reads, 2);
  // Flushing while reading drops the read-ahead but keeps the position.
  const int At = 3000 + 5 * Size;
  EXPECT_EQ(ReadString(S, 10), Content.substr(At, 10));
  S.FlushBuffer();
  EXPECT_EQ(S.Position(), At + 10);
  EXPECT_EQ(ReadString(S, 10), Content.substr(At + 10, 10));

  TProbeStream Out;
  TS_BufferStream W(&Out, Size);
  for (int I = 0; I < 100; ++I) W.Write("0123456789", 10);
  EXPECT_EQ(Out.Writes, 0) << "small writes stay in the buffer";
  std::string Payload = test::RandomBytes(4 * Size, 10);
  W.Write(Payload.data(), static_cast<int64_t>(Payload.size()));
  EXPECT_EQ(Out.Writes, 2) << "fill and flush once, then one call for the rest";
  EXPECT_EQ(Out.Data().size(), 1000 + Payload.size());
  EXPECT_EQ(Out.Data().substr(1000), Payload);
}

TEST(BufferStream, SyncOnCloseFlushesTheHandleOnlyAfterWrites) {
  test::TTempDir Dir;
  std::string Name = (Dir / "out.bin").string();
  int Fd = ::open(Name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(Fd, 0);
  {
    THandleStream File(Fd);
    TS_BufferStream S(&File, 16);
    S.SetSyncOnClose(true);
    S.Write("hello", 5);
    EXPECT_TRUE(S.Close());
    EXPECT_EQ(test::ReadFile(Dir / "out.bin"), "hello");
  }
  ::close(Fd);

  // A pipe cannot be flushed by the system: the attempt shows in Close.
  int Pipe[2];
  ASSERT_EQ(::pipe(Pipe), 0);
  {
    THandleStream End(Pipe[1]);
    TS_BufferStream Quiet(&End, 16);
    Quiet.Write("a", 1);
    EXPECT_TRUE(Quiet.Close()) << "no OS flush without SyncOnClose";
    TS_BufferStream Unwritten(&End, 16);
    Unwritten.SetSyncOnClose(true);
    EXPECT_TRUE(Unwritten.Close()) << "no OS flush when nothing was written";
    TS_BufferStream Synced(&End, 16);
    Synced.SetSyncOnClose(true);
    Synced.Write("b", 1);
    EXPECT_FALSE(Synced.Close());
    EXPECT_TRUE(Synced.Close()) << "flushed once; nothing written since";
  }
  ::close(Pipe[0]);
  ::close(Pipe[1]);
}

}  // namespace
}  // namespace zem
