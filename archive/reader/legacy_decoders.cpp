// Shrink, reduce and implode decoders over a byte source and an output sink.
#include "archive/reader/legacy_decoders.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace zem {

namespace {

constexpr size_t kOutChunk = 32768;

}  // namespace

// ---- Method 1: shrunk ------------------------------------------------------
//
// Design. The string table is the classic prefix/suffix pair per code: a
// code's string is its prefix code's string followed by its suffix byte;
// codes 0..255 stand for themselves and 256 introduces a control subcode.
// A string is recovered by walking the prefix chain onto a stack (the walk
// is bounded by the stack size, so a cyclic chain in crafted data ends as
// drBadData instead of looping). Free codes are kept in a separate flag so
// that a code freed by a partial clear still describes the string it had
// until it is handed out again: the entry added right after a clear may
// take the freed previous code as its prefix. New codes take the lowest
// free code; a full table simply adds nothing, as the encoder expects.

struct TShrinkDecoder::TWork {
  int16_t Prefix[kTableSize];  // -1: the code never had a string
  uint8_t Suffix[kTableSize];
  uint8_t Free[kTableSize];     // 1: may be handed out as a new code
  uint8_t Stack[kTableSize];    // string unwinding; scratch for partial clears
  uint8_t Out[kOutChunk];
};

TShrinkDecoder::TShrinkDecoder() : FWork(std::make_unique<TWork>()) {}
TShrinkDecoder::~TShrinkDecoder() = default;

TDecodeResult TShrinkDecoder::Decode(TDecodeSource& Source, TDecodeSink& Sink) {
  TWork& w = *FWork;
  std::fill(std::begin(w.Prefix), std::end(w.Prefix), int16_t(-1));
  for (unsigned c = 0; c < 256; ++c) w.Suffix[c] = static_cast<uint8_t>(c);
  std::memset(w.Free, 0, sizeof w.Free);
  std::memset(w.Free + kFirstFreeCode, 1, kTableSize - kFirstFreeCode);

  TBitReader in(Source);
  unsigned codeBits = 9;
  unsigned nextFree = kFirstFreeCode;
  int prev = -1;      // previous code, -1 before the first literal
  uint8_t first = 0;  // first byte of the previous code's string
  size_t outLen = 0;

  auto put = [&](const uint8_t* p, size_t n) {
    while (n > 0) {
      size_t k = std::min(n, kOutChunk - outLen);
      std::memcpy(w.Out + outLen, p, k);
      outLen += k;
      p += k;
      n -= k;
      if (outLen == kOutChunk) {
        Sink.Put(w.Out, outLen);
        outLen = 0;
      }
    }
  };
  auto fail = [&]() {
    if (outLen) Sink.Put(w.Out, outLen);
    return TDecodeResult::drBadData;
  };

  for (;;) {
    if (!in.Have(codeBits)) break;
    unsigned code = in.Peek(codeBits);
    in.Drop(codeBits);

    if (code == kControlCode) {
      if (!in.Have(codeBits)) break;
      unsigned sub = in.Peek(codeBits);
      in.Drop(codeBits);
      if (sub == 1) {
        if (codeBits >= kMaxCodeBits) return fail();
        ++codeBits;
      } else if (sub == 2) {
        // Partial clear: free every code that is no other live code's prefix.
        uint8_t* isPrefix = w.Stack;
        std::memset(isPrefix, 0, kTableSize);
        for (unsigned c = kFirstFreeCode; c < kTableSize; ++c)
          if (!w.Free[c] && w.Prefix[c] >= int(kFirstFreeCode)) isPrefix[w.Prefix[c]] = 1;
        for (unsigned c = kFirstFreeCode; c < kTableSize; ++c)
          if (!isPrefix[c]) w.Free[c] = 1;
        nextFree = kFirstFreeCode;
        while (nextFree < kTableSize && !w.Free[nextFree]) ++nextFree;
      } else {
        return fail();
      }
      continue;
    }

    if (prev < 0) {  // the first code is a literal
      if (code > 255) return fail();
      uint8_t b = static_cast<uint8_t>(code);
      put(&b, 1);
      prev = static_cast<int>(code);
      first = b;
      continue;
    }

    // Unwind the string onto the stack, last byte first.
    unsigned sp = kTableSize;
    unsigned c = code;
    if (code >= kFirstFreeCode && w.Free[code]) {
      // Not yet defined: the previous string plus its own first byte.
      w.Stack[--sp] = first;
      c = static_cast<unsigned>(prev);
    }
    while (c >= kFirstFreeCode) {
      if (sp == 0 || w.Prefix[c] < 0) return fail();
      w.Stack[--sp] = w.Suffix[c];
      c = static_cast<unsigned>(w.Prefix[c]);
    }
    if (c == kControlCode || sp == 0) return fail();
    uint8_t head = static_cast<uint8_t>(c);
    w.Stack[--sp] = head;
    put(w.Stack + sp, kTableSize - sp);

    // The previous string plus the first byte of this one becomes a code.
    if (nextFree < kTableSize) {
      w.Prefix[nextFree] = static_cast<int16_t>(prev);
      w.Suffix[nextFree] = head;
      w.Free[nextFree] = 0;
      do ++nextFree;
      while (nextFree < kTableSize && !w.Free[nextFree]);
    }
    prev = static_cast<int>(code);
    first = head;
  }
  if (outLen) Sink.Put(w.Out, outLen);
  return TDecodeResult::drOk;
}

// ---- Methods 2 to 5: reduced -----------------------------------------------
//
// Design. Bytes come out of the follower-set coding (each byte value has a
// set of up to 63 likely successors, coded by index) and then pass a small
// state machine: DLE (144) escapes either a literal 144 or a match, whose
// length and distance fields are split between the escape's value byte and
// the following byte(s) according to the compression factor. Matches copy
// byte by byte (they may overlap their own output) from a circular window
// that starts out zeroed, so distances reaching before the start of the
// data read zero bytes. The largest distance (4096) is well inside the
// 16384-byte window, which goes to the sink each time it fills.

namespace {

// Bits of a follower index for a set of N entries (N > 0): enough to write
// N - 1, at least one.
constexpr std::array<uint8_t, 64> MakeFollowerIndexBits() {
  std::array<uint8_t, 64> t{};
  t[0] = 8;
  for (unsigned n = 1; n < 64; ++n) {
    uint8_t b = 1;
    while ((1u << b) < n) ++b;
    t[n] = b;
  }
  return t;
}
constexpr std::array<uint8_t, 64> kFollowerIndexBits = MakeFollowerIndexBits();
static_assert(kFollowerIndexBits[1] == 1 && kFollowerIndexBits[2] == 1 && kFollowerIndexBits[3] == 2 &&
              kFollowerIndexBits[5] == 3 && kFollowerIndexBits[9] == 4 && kFollowerIndexBits[63] == 6);

}  // namespace

struct TReduceDecoder::TWork {
  uint8_t Window[kWindowSize];
  uint8_t Followers[256][64];
  uint8_t Count[256];
};

TReduceDecoder::TReduceDecoder() : FWork(std::make_unique<TWork>()) {}
TReduceDecoder::~TReduceDecoder() = default;

TDecodeResult TReduceDecoder::Decode(TDecodeSource& Source, TDecodeSink& Sink, int Factor,
                                     uint64_t UncompressedSize) {
  if (Factor < 1 || Factor > 4) return TDecodeResult::drBadData;
  if (UncompressedSize == 0) return TDecodeResult::drOk;
  TWork& w = *FWork;
  const unsigned lengthMask = 0x7Fu >> (Factor - 1);   // L: 127, 63, 31, 15
  const unsigned distShift = 8u - unsigned(Factor);    // S: 7, 6, 5, 4
  const unsigned distMask = (1u << Factor) - 1u;       // M: 1, 3, 7, 15
  constexpr unsigned kMask = kWindowSize - 1;

  TBitReader in(Source);
  for (int i = 255; i >= 0; --i) {
    unsigned n = in.Take(6);
    w.Count[i] = static_cast<uint8_t>(n);
    for (unsigned j = 0; j < n; ++j) w.Followers[i][j] = static_cast<uint8_t>(in.Take(8));
  }
  if (in.Overrun()) return TDecodeResult::drInputEnded;

  std::memset(w.Window, 0, sizeof w.Window);
  unsigned pos = 0;
  uint64_t produced = 0;
  auto emit = [&](uint8_t b) {
    w.Window[pos++] = b;
    ++produced;
    if (pos == kWindowSize) {
      Sink.Put(w.Window, kWindowSize);
      pos = 0;
    }
  };
  auto finish = [&](TDecodeResult r) {
    if (pos) Sink.Put(w.Window, pos);
    return r;
  };

  uint8_t last = 0;
  int state = 0;
  unsigned value = 0, length = 0;
  while (produced < UncompressedSize) {
    unsigned n = w.Count[last];
    unsigned c;
    if (n == 0) {
      c = in.Take(8);
    } else if (in.Take(1)) {
      c = in.Take(8);
    } else {
      unsigned index = in.Take(kFollowerIndexBits[n]);
      if (in.Overrun()) return finish(TDecodeResult::drInputEnded);
      if (index >= n) return finish(TDecodeResult::drBadData);
      c = w.Followers[last][index];
    }
    if (in.Overrun()) return finish(TDecodeResult::drInputEnded);
    last = static_cast<uint8_t>(c);

    switch (state) {
      case 0:
        if (c != kDLE)
          emit(static_cast<uint8_t>(c));
        else
          state = 1;
        break;
      case 1:
        if (c == 0) {
          emit(kDLE);
          state = 0;
        } else {
          value = c;
          length = c & lengthMask;
          state = length == lengthMask ? 2 : 3;
        }
        break;
      case 2:
        length += c;
        state = 3;
        break;
      default: {
        unsigned distance = ((value >> distShift) & distMask) * 256 + c + 1;
        uint64_t count = std::min<uint64_t>(length + 3, UncompressedSize - produced);
        unsigned from = (pos - distance) & kMask;
        for (uint64_t k = 0; k < count; ++k) {
          uint8_t b = w.Window[from];
          from = (from + 1) & kMask;
          emit(b);
        }
        state = 0;
        break;
      }
    }
  }
  return finish(TDecodeResult::drOk);
}

// ---- Method 6: imploded ----------------------------------------------------
//
// Design. Up to three Shannon-Fano trees come first, each as run-length
// coded bit lengths. Codes are assigned as the published algorithm does:
// symbols sorted by (bit length, value), code values counted up from zero
// starting at the longest, highest entry. Codes are read most significant
// bit first out of an LSB-first bit stream, so each code is bit-reversed
// into a two-level lookup table: a root table of 9 (literal), 7 (length) or
// 7/8 (distance) bits whose entries either give the symbol or point to a
// subtable indexed by the remaining bits. Only complete prefix codes are
// accepted, which guarantees every table entry is filled and keeps the
// subtables small; the space reserved per table is checked anyway.

namespace {

struct TSfEntry {
  uint16_t Value;  // symbol, or subtable offset when Sub != 0
  uint8_t Bits;    // bits the entry consumes; 0 marks an unused entry
  uint8_t Sub;     // width of the subtable this root entry points to
};

constexpr unsigned kMaxSfBits = 16;
constexpr size_t kLiteralTableSize = 512 + 8192;
constexpr size_t kSmallTableSize = 256 + 8192;

unsigned ReverseBits(unsigned Code, unsigned Len) {
  unsigned r = 0;
  for (unsigned i = 0; i < Len; ++i) {
    r = (r << 1) | (Code & 1u);
    Code >>= 1;
  }
  return r;
}

// Builds the lookup table of a tree of N symbols with the given bit lengths
// (1..16). Returns drBadData for an over-subscribed or incomplete code and
// drNoMemory when the subtables would not fit Capacity entries.
TDecodeResult BuildSfTable(const uint8_t* Lengths, unsigned N, unsigned RootBits, TSfEntry* Table,
                           size_t Capacity) {
  unsigned count[kMaxSfBits + 1] = {};
  for (unsigned s = 0; s < N; ++s) ++count[Lengths[s]];
  int32_t left = 1;
  for (unsigned len = 1; len <= kMaxSfBits; ++len) {
    left = left * 2 - int32_t(count[len]);
    if (left < 0) return TDecodeResult::drBadData;
  }
  if (left != 0) return TDecodeResult::drBadData;

  // Symbols by (length, value); codes are counted from the last one back.
  uint16_t order[256];
  for (unsigned s = 0; s < N; ++s) order[s] = static_cast<uint16_t>(s);
  std::stable_sort(order, order + N, [&](uint16_t a, uint16_t b) { return Lengths[a] < Lengths[b]; });
  uint16_t codes[256];
  uint32_t code = 0, increment = 0;
  unsigned lastLen = 0;
  for (int i = int(N) - 1; i >= 0; --i) {
    unsigned len = Lengths[order[i]];
    code += increment;
    if (len != lastLen) {
      lastLen = len;
      increment = 1u << (16 - len);
    }
    codes[order[i]] = static_cast<uint16_t>(ReverseBits((code >> (16 - len)) & ((1u << len) - 1u), len));
  }

  const unsigned rootSize = 1u << RootBits;
  const unsigned rootMask = rootSize - 1;
  std::fill(Table, Table + rootSize, TSfEntry{0, 0, 0});
  // Widest code below each root slot decides that slot's subtable width.
  uint8_t slotMax[512] = {};
  for (unsigned s = 0; s < N; ++s)
    if (Lengths[s] > RootBits) {
      uint8_t& m = slotMax[codes[s] & rootMask];
      m = std::max<uint8_t>(m, Lengths[s]);
    }
  size_t used = rootSize;
  for (unsigned slot = 0; slot < rootSize; ++slot) {
    if (!slotMax[slot]) continue;
    unsigned sub = slotMax[slot] - RootBits;
    if (used + (size_t(1) << sub) > Capacity) return TDecodeResult::drNoMemory;
    Table[slot] = TSfEntry{static_cast<uint16_t>(used), static_cast<uint8_t>(RootBits), static_cast<uint8_t>(sub)};
    std::fill(Table + used, Table + used + (size_t(1) << sub), TSfEntry{0, 0, 0});
    used += size_t(1) << sub;
  }
  for (unsigned s = 0; s < N; ++s) {
    unsigned len = Lengths[s], r = codes[s];
    if (len <= RootBits) {
      for (unsigned k = r; k < rootSize; k += 1u << len)
        Table[k] = TSfEntry{static_cast<uint16_t>(s), static_cast<uint8_t>(len), 0};
    } else {
      const TSfEntry& link = Table[r & rootMask];
      unsigned rest = len - RootBits, subSize = 1u << link.Sub;
      for (unsigned k = r >> RootBits; k < subSize; k += 1u << rest)
        Table[link.Value + k] = TSfEntry{static_cast<uint16_t>(s), static_cast<uint8_t>(rest), 0};
    }
  }
  return TDecodeResult::drOk;
}

// Reads one stored tree: a count byte, then (run - 1, length - 1) nibble
// pairs that must cover exactly N symbols.
TDecodeResult ReadSfLengths(TBitReader& In, unsigned N, uint8_t* Lengths) {
  unsigned bytes = In.Take(8) + 1;
  unsigned k = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    unsigned b = In.Take(8);
    unsigned run = (b >> 4) + 1, len = (b & 15) + 1;
    if (In.Overrun()) return TDecodeResult::drInputEnded;
    if (k + run > N) return TDecodeResult::drBadData;
    std::memset(Lengths + k, int(len), run);
    k += run;
  }
  if (In.Overrun()) return TDecodeResult::drInputEnded;
  return k == N ? TDecodeResult::drOk : TDecodeResult::drBadData;
}

// One symbol through a table built by BuildSfTable.
inline bool DecodeSf(TBitReader& In, const TSfEntry* Table, unsigned RootBits, unsigned& Symbol) {
  In.Need(kMaxSfBits);
  TSfEntry e = Table[In.Peek(RootBits)];
  if (e.Sub) {
    In.Drop(RootBits);
    e = Table[e.Value + In.Peek(e.Sub)];
  }
  if (e.Bits == 0) return false;
  In.Drop(e.Bits);
  Symbol = e.Value;
  return true;
}

}  // namespace

struct TImplodeDecoder::TWork {
  uint8_t Window[kWindowSize];
  uint8_t Lengths[256];
  TSfEntry Literal[kLiteralTableSize];
  TSfEntry Length[kSmallTableSize];
  TSfEntry Distance[kSmallTableSize];
};

TImplodeDecoder::TImplodeDecoder() : FWork(std::make_unique<TWork>()) {}
TImplodeDecoder::~TImplodeDecoder() = default;

TDecodeResult TImplodeDecoder::Decode(TDecodeSource& Source, TDecodeSink& Sink, uint16_t Flags,
                                      uint64_t CompressedSize, uint64_t UncompressedSize) {
  if (UncompressedSize == 0) return TDecodeResult::drOk;
  TWork& w = *FWork;
  const bool threeTrees = (Flags & kFlagThreeTrees) != 0;
  const unsigned lowDistBits = (Flags & kFlag8KDictionary) ? 7 : 6;
  const unsigned minMatch = threeTrees ? 3 : 2;
  constexpr unsigned kLiteralRoot = 9, kLengthRoot = 7;
  const unsigned distRoot = CompressedSize > kWideDistanceLookupSize ? 8 : 7;
  constexpr unsigned kMask = kWindowSize - 1;

  TBitReader in(Source);
  TDecodeResult r;
  if (threeTrees) {
    if ((r = ReadSfLengths(in, 256, w.Lengths)) != TDecodeResult::drOk) return r;
    if ((r = BuildSfTable(w.Lengths, 256, kLiteralRoot, w.Literal, kLiteralTableSize)) != TDecodeResult::drOk)
      return r;
  }
  if ((r = ReadSfLengths(in, 64, w.Lengths)) != TDecodeResult::drOk) return r;
  if ((r = BuildSfTable(w.Lengths, 64, kLengthRoot, w.Length, kSmallTableSize)) != TDecodeResult::drOk) return r;
  if ((r = ReadSfLengths(in, 64, w.Lengths)) != TDecodeResult::drOk) return r;
  if ((r = BuildSfTable(w.Lengths, 64, distRoot, w.Distance, kSmallTableSize)) != TDecodeResult::drOk) return r;

  std::memset(w.Window, 0, sizeof w.Window);
  unsigned pos = 0;
  uint64_t produced = 0;
  auto finish = [&](TDecodeResult result) {
    if (pos) Sink.Put(w.Window, pos);
    return result;
  };

  while (produced < UncompressedSize) {
    if (in.Take(1)) {
      unsigned lit;
      if (threeTrees) {
        if (!DecodeSf(in, w.Literal, kLiteralRoot, lit)) return finish(TDecodeResult::drBadData);
      } else {
        lit = in.Take(8);
      }
      if (in.Overrun()) return finish(TDecodeResult::drInputEnded);
      w.Window[pos++] = static_cast<uint8_t>(lit);
      ++produced;
      if (pos == kWindowSize) {
        Sink.Put(w.Window, kWindowSize);
        pos = 0;
      }
      continue;
    }
    unsigned low = in.Take(lowDistBits), high, length;
    if (!DecodeSf(in, w.Distance, distRoot, high)) return finish(TDecodeResult::drBadData);
    if (!DecodeSf(in, w.Length, kLengthRoot, length)) return finish(TDecodeResult::drBadData);
    if (length == 63) length += in.Take(8);
    if (in.Overrun()) return finish(TDecodeResult::drInputEnded);
    length += minMatch;
    unsigned distance = ((high << lowDistBits) | low) + 1;
    uint64_t count = std::min<uint64_t>(length, UncompressedSize - produced);
    unsigned from = (pos - distance) & kMask;
    produced += count;
    while (count > 0) {
      // Copy up to the end of the window or of the source run, whichever
      // comes first; byte by byte, as a match may overlap its own output.
      unsigned n = static_cast<unsigned>(std::min<uint64_t>(count, kWindowSize - std::max(pos, from)));
      for (unsigned k = 0; k < n; ++k) w.Window[pos + k] = w.Window[from + k];
      pos = (pos + n) & kMask;
      from = (from + n) & kMask;
      count -= n;
      if (pos == 0) Sink.Put(w.Window, kWindowSize);
    }
  }
  return finish(TDecodeResult::drOk);
}

}  // namespace zem
