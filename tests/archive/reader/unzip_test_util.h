// Helpers of the extraction tests: SHA-256 of extracted files, a builder of
// hand-made archives with any method, flags and sizes, and shell commands.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <zlib.h>

#include "archive/format/crc_crypt.h"

namespace zem::test {

// SHA-256 (FIPS 180-4) of Data, as lower-case hex.
inline std::string Sha256Hex(const std::string& Data) {
  static constexpr std::array<uint32_t, 64> K = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  uint32_t H[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::string M = Data;
  const uint64_t Bits = static_cast<uint64_t>(Data.size()) * 8;
  M.push_back(static_cast<char>(0x80));
  while (M.size() % 64 != 56) M.push_back('\0');
  for (int I = 7; I >= 0; --I) M.push_back(static_cast<char>(Bits >> (I * 8)));
  auto Rot = [](uint32_t X, int N) { return (X >> N) | (X << (32 - N)); };
  for (size_t Block = 0; Block < M.size(); Block += 64) {
    uint32_t W[64];
    for (int I = 0; I < 16; ++I) {
      const auto* P = reinterpret_cast<const uint8_t*>(M.data() + Block + 4 * I);
      W[I] = (uint32_t(P[0]) << 24) | (uint32_t(P[1]) << 16) | (uint32_t(P[2]) << 8) | P[3];
    }
    for (int I = 16; I < 64; ++I) {
      const uint32_t S0 = Rot(W[I - 15], 7) ^ Rot(W[I - 15], 18) ^ (W[I - 15] >> 3);
      const uint32_t S1 = Rot(W[I - 2], 17) ^ Rot(W[I - 2], 19) ^ (W[I - 2] >> 10);
      W[I] = W[I - 16] + S0 + W[I - 7] + S1;
    }
    uint32_t A = H[0], B = H[1], C = H[2], D = H[3], E = H[4], F = H[5], G = H[6], Hh = H[7];
    for (int I = 0; I < 64; ++I) {
      const uint32_t T1 = Hh + (Rot(E, 6) ^ Rot(E, 11) ^ Rot(E, 25)) + ((E & F) ^ (~E & G)) + K[I] + W[I];
      const uint32_t T2 = (Rot(A, 2) ^ Rot(A, 13) ^ Rot(A, 22)) + ((A & B) ^ (A & C) ^ (B & C));
      Hh = G;
      G = F;
      F = E;
      E = D + T1;
      D = C;
      C = B;
      B = A;
      A = T1 + T2;
    }
    H[0] += A, H[1] += B, H[2] += C, H[3] += D, H[4] += E, H[5] += F, H[6] += G, H[7] += Hh;
  }
  std::string Hex;
  char Buf[9];
  for (uint32_t V : H) {
    std::snprintf(Buf, sizeof Buf, "%08x", V);
    Hex += Buf;
  }
  return Hex;
}

// Raw deflate (no zlib header) of Data at Level.
inline std::string Deflate(const std::string& Data, int Level = 6) {
  z_stream Z{};
  deflateInit2(&Z, Level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string Out(deflateBound(&Z, Data.size()) + 16, '\0');
  Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
  Z.avail_in = static_cast<uInt>(Data.size());
  Z.next_out = reinterpret_cast<Bytef*>(Out.data());
  Z.avail_out = static_cast<uInt>(Out.size());
  deflate(&Z, Z_FINISH);
  Out.resize(Z.total_out);
  deflateEnd(&Z);
  return Out;
}

// One entry of a hand-made archive. Data is written as given (already
// compressed for methods other than 0); Crc and Size describe the
// uncompressed contents.
struct TRawEntry {
  std::string Name;  // '/' separated, as stored
  std::string Data;
  uint16_t Method = 0;
  uint16_t Flags = 0;
  uint32_t Crc = 0;
  uint64_t Size = 0;
  uint32_t DosTime = 0x568530e4;  // 2023-04-05 06:07:08
  uint32_t ExternalAttributes = 0x20;
  std::string Password;  // non-empty: encrypted (bit 0), header checked by the CRC
};

// A stored entry holding Text.
inline TRawEntry StoredEntry(const std::string& Name, const std::string& Text) {
  TRawEntry E;
  E.Name = Name;
  E.Data = Text;
  E.Crc = Crc32Of(Text.data(), Text.size());
  E.Size = Text.size();
  return E;
}

// The bytes of a single-disk archive of Entries.
inline std::string BuildRawArchive(const std::vector<TRawEntry>& Entries) {
  auto U16 = [](std::string& S, uint32_t V) {
    S.push_back(static_cast<char>(V & 0xFF));
    S.push_back(static_cast<char>((V >> 8) & 0xFF));
  };
  auto U32 = [&U16](std::string& S, uint32_t V) {
    U16(S, V & 0xFFFF);
    U16(S, V >> 16);
  };
  std::string Out, Central;
  for (const TRawEntry& E : Entries) {
    std::string Body = E.Data;
    uint16_t Flags = E.Flags;
    if (!E.Password.empty()) {
      Flags |= 1;
      TZipCrypt Crypt;
      const TEncryptionHeader H = Crypt.MakeEncryptionHeader(E.Password, E.Crc, 12345);
      Crypt.EncryptBuffer(Body.data(), Body.size());
      Body.insert(0, reinterpret_cast<const char*>(H.data()), H.size());
    }
    const uint32_t Offset = static_cast<uint32_t>(Out.size());
    for (std::string* S : {&Out, &Central}) {
      const bool IsCentral = S == &Central;
      U32(*S, IsCentral ? 0x02014b50 : 0x04034b50);
      if (IsCentral) U16(*S, 20);
      U16(*S, 20);
      U16(*S, Flags);
      U16(*S, E.Method);
      U32(*S, E.DosTime);
      U32(*S, E.Crc);
      U32(*S, static_cast<uint32_t>(Body.size()));
      U32(*S, static_cast<uint32_t>(E.Size));
      U16(*S, static_cast<uint32_t>(E.Name.size()));
      U16(*S, 0);
      if (IsCentral) {
        U16(*S, 0);
        U16(*S, 0);
        U16(*S, 0);
        U32(*S, E.ExternalAttributes);
        U32(*S, Offset);
      }
      *S += E.Name;
      if (!IsCentral) *S += Body;
    }
  }
  const uint32_t CentralOffset = static_cast<uint32_t>(Out.size());
  Out += Central;
  U32(Out, 0x06054b50);
  U16(Out, 0);
  U16(Out, 0);
  U16(Out, static_cast<uint32_t>(Entries.size()));
  U16(Out, static_cast<uint32_t>(Entries.size()));
  U32(Out, static_cast<uint32_t>(Central.size()));
  U32(Out, CentralOffset);
  U16(Out, 0);
  return Out;
}

// Runs a shell command; true when it exits with status 0.
inline bool Shell(const std::string& Command) { return std::system(Command.c_str()) == 0; }

}  // namespace zem::test
