// Tests of CRC-32 and the traditional cipher, including archives checked by
// an independent zip tool when one is installed.
#include "archive/format/crc_crypt.h"

#include <tuple>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "platform/stream.h"
#include "platform/winapi.h"

namespace zem {
namespace {

const uint8_t* Bytes(const std::string& S) { return reinterpret_cast<const uint8_t*>(S.data()); }

TEST(Crc32, CheckValueEmptyInputAndTable) {
  const std::string digits = "123456789";
  uint32_t c = kCrcPreset;
  for (char ch : digits) c = UpdateCrc(c, static_cast<uint8_t>(ch));
  EXPECT_EQ(~c, 0xCBF43926u);
  EXPECT_EQ(Crc32Of(digits.data(), digits.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32Of(nullptr, 0), 0u);
  EXPECT_EQ(UpdateCrcBuffer(0x12345678u, nullptr, 0), 0x12345678u);
  // Spot checks against the bitwise definition of the polynomial.
  for (uint32_t n : {0u, 1u, 2u, 128u, 200u, 255u}) {
    uint32_t r = n;
    for (int k = 0; k < 8; ++k) r = (r >> 1) ^ ((r & 1) ? 0xEDB88320u : 0u);
    EXPECT_EQ(CrcTable[n], r) << n;
  }
}

TEST(Crc32, BufferUpdatesAgreeWithByteStepsAndSplits) {
  const std::string data = test::RandomBytes(70000, 7);
  uint32_t bytewise = kCrcPreset;
  for (char ch : data) bytewise = UpdateCrc(bytewise, static_cast<uint8_t>(ch));
  EXPECT_EQ(UpdateCrcBuffer(kCrcPreset, data.data(), data.size()), bytewise);

  // The running register of the component, fed in uneven pieces.
  TZipCrypt crypt;
  crypt.SetCrc(0);
  crypt.ResetCrc();
  size_t at = 0;
  for (size_t piece = 1; at < data.size(); piece = piece * 3 + 1) {
    const size_t n = std::min(piece % 9000, data.size() - at);
    crypt.UpdateCrcBuffer(data.data() + at, n);
    at += n;
  }
  EXPECT_EQ(crypt.Crc(), bytewise);
  EXPECT_EQ(crypt.FinalCrc(), ~bytewise);
  EXPECT_EQ(TZipCrypt::UpdateCrc(crypt.Crc(), 0x5A), UpdateCrc(bytewise, 0x5A));
}

TEST(ZipCipher, InitKeys) {
  TZipCrypt crypt;
  crypt.SetKeys(1, 2, 3);
  crypt.InitKeys("");
  EXPECT_EQ(crypt.Key0(), 0x12345678u);
  EXPECT_EQ(crypt.Key1(), 0x23456789u);
  EXPECT_EQ(crypt.Key2(), 0x34567890u);

  // A password is fed byte by byte, the same as UpdateKeys on each byte.
  static const char kRaw[] = "p\xe4ss w\0rd\xff";  // a NUL and high bytes inside
  const std::string password(kRaw, sizeof kRaw - 1);
  TZipCrypt byHand;
  for (char ch : password) byHand.UpdateKeys(static_cast<uint8_t>(ch));
  crypt.InitKeys(password);
  EXPECT_EQ(crypt.Key0(), byHand.Key0());
  EXPECT_EQ(crypt.Key1(), byHand.Key1());
  EXPECT_EQ(crypt.Key2(), byHand.Key2());
  TZipCrypt other;
  other.InitKeys("password");
  EXPECT_NE(crypt.Key2(), other.Key2());
}

TEST(ZipCipher, RoundTripsAndBufferEqualsByteSteps) {
  for (size_t length : {size_t{0}, size_t{1}, size_t{2}, size_t{11}, size_t{12}, size_t{13}, size_t{255},
                        size_t{4096}, size_t{65537}}) {
    const std::string plain = test::RandomBytes(length, static_cast<uint32_t>(length) + 3);
    TZipCrypt enc;
    enc.InitKeys("secret");
    std::string cipher = plain;
    enc.EncryptBuffer(cipher.data(), cipher.size());
    if (length >= 16) {
      EXPECT_NE(cipher, plain);
    }

    // EncryptBuffer is EncryptByte applied to each byte in order.
    TZipCrypt stepwise;
    stepwise.InitKeys("secret");
    std::string byBytes = plain;
    for (char& ch : byBytes) ch = static_cast<char>(stepwise.EncryptByte(static_cast<uint8_t>(ch)));
    EXPECT_EQ(byBytes, cipher);

    // Decrypt in uneven pieces from the same start: the bytes come back and
    // both sides end with the same keys.
    TZipCrypt dec;
    dec.InitKeys("secret");
    std::string back = cipher;
    size_t at = 0;
    for (size_t piece = 1; at < back.size(); piece += 7) {
      const size_t n = std::min(piece, back.size() - at);
      dec.DecryptBuffer(back.data() + at, n);
      at += n;
    }
    EXPECT_EQ(back, plain) << length;
    EXPECT_EQ(dec.Key0(), enc.Key0());
    EXPECT_EQ(dec.Key1(), enc.Key1());
    EXPECT_EQ(dec.Key2(), enc.Key2());
    EXPECT_EQ(stepwise.Key2(), enc.Key2());
  }
}

// Buffers decrypted side by side come out as each would alone, with the
// same keys after, whatever their number and lengths.
TEST(ZipCipher, DecryptLanesEqualsOneDecryptBufferEach) {
  const std::vector<std::vector<size_t>> Groups = {
      {0}, {7}, {0, 0}, {1, 1}, {3, 300}, {300, 3}, {4096, 0, 17}, {65536, 65535, 1, 4000}, {5, 5, 5, 5}};
  for (const std::vector<size_t>& Lengths : Groups) {
    SCOPED_TRACE(::testing::PrintToString(Lengths));
    std::vector<std::string> Data, Alone;
    std::vector<TZipCrypt> One(Lengths.size()), Side(Lengths.size());
    for (size_t K = 0; K < Lengths.size(); ++K) {
      Data.push_back(test::RandomBytes(Lengths[K], static_cast<uint32_t>(K + 5)));
      One[K].InitKeys("key " + std::to_string(K));
      Side[K] = One[K];
      Alone.push_back(Data[K]);
      One[K].DecryptBuffer(Alone[K].data(), Alone[K].size());
    }
    std::vector<TZipCrypt*> Crypts;
    std::vector<uint8_t*> Buffers;
    for (size_t K = 0; K < Lengths.size(); ++K) {
      Crypts.push_back(&Side[K]);
      Buffers.push_back(reinterpret_cast<uint8_t*>(Data[K].data()));
    }
    TZipCrypt::DecryptLanes(Crypts.data(), Buffers.data(), Lengths.data(), Lengths.size());
    for (size_t K = 0; K < Lengths.size(); ++K) {
      EXPECT_EQ(Data[K], Alone[K]) << K;
      EXPECT_EQ(std::make_tuple(Side[K].Key0(), Side[K].Key1(), Side[K].Key2()),
                std::make_tuple(One[K].Key0(), One[K].Key1(), One[K].Key2()))
          << K;
    }
  }
}

TEST(ZipCipher, KeyStreamByteDoesNotAdvance) {
  TZipCrypt crypt;
  crypt.InitKeys("k");
  const uint8_t k = crypt.KeyStreamByte();
  EXPECT_EQ(crypt.KeyStreamByte(), k);
  EXPECT_EQ(crypt.EncryptByte(0x00), k);  // plain 0 shows the key-stream byte
  EXPECT_NE(crypt.Key0(), 0x12345678u);
}

TEST(EncryptionHeader, GeneratorStaysInRange) {
  for (uint32_t seed : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0xDEADBEEFu}) {
    TZipRandom random(seed);
    for (int i = 0; i < 2000; ++i) {
      const uint32_t r = random.Random(32767);
      ASSERT_LT(r, 32767u);
      ASSERT_LE(r >> 7, 255u);
    }
  }
  // The seed advances as a linear congruential generator.
  TZipRandom random(5);
  random.Random(10);
  EXPECT_EQ(random.Seed(), 5u * 0x08088405u + 1u);
}

TEST(EncryptionHeader, CheckBytesAndCrcBytes) {
  const uint32_t crc = 0xA1B2C3D4u;
  TZipCrypt writer;
  const TEncryptionHeader header = writer.MakeEncryptionHeader("pw", crc, 12345);

  TZipCrypt reader;
  const uint8_t check = reader.DecryptHeader("pw", header.data());
  EXPECT_EQ(check, 0xA1);
  EXPECT_EQ(check, PasswordCheckByte(0, 0, crc));
  // Both sides continue with the same key state into the data.
  EXPECT_EQ(reader.Key0(), writer.Key0());
  EXPECT_EQ(reader.Key2(), writer.Key2());
  // Bytes 11 and 12 decrypt to the CRC's two high bytes, lower first; the
  // ten before are the generator's output shifted right by 7.
  TZipCrypt full;
  full.InitKeys("pw");
  TEncryptionHeader plain = header;
  full.DecryptBuffer(plain.data(), plain.size());
  EXPECT_EQ(plain[10], 0xB2);
  EXPECT_EQ(plain[11], 0xA1);
  TZipRandom random(12345);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(plain[i], random.Random(32767) >> 7) << i;

  // A wrong password rarely yields the check byte.
  int passed = 0;
  for (int i = 0; i < 1000; ++i) {
    TZipCrypt wrong;
    if (wrong.DecryptHeader("pw" + std::to_string(i), header.data()) == check) ++passed;
  }
  EXPECT_LT(passed, 20);
}

TEST(EncryptionHeader, OnlyTheLastByteIsChecked) {
  const uint32_t crc = 0x7E000000u;
  const std::string arbitrary = test::RandomBytes(11, 99);
  std::string plain = arbitrary + std::string(1, '\x7E');
  TZipCrypt enc;
  enc.InitKeys("pw");
  enc.EncryptBuffer(plain.data(), plain.size());
  TZipCrypt dec;
  EXPECT_EQ(dec.DecryptHeader("pw", Bytes(plain)), PasswordCheckByte(0, 0, crc));
}

TEST(EncryptionHeader, DataDescriptorFlagChecksTimeHighByte) {
  const uint32_t dateTime = 0x5A21'9C4Eu;  // time 0x9C4E in the low half
  const uint32_t crc = 0x11223344u;
  EXPECT_EQ(PasswordCheckByte(0x0008, dateTime, crc), 0x9C);
  EXPECT_EQ(PasswordCheckByte(0x0009, dateTime, crc), 0x9C);
  EXPECT_EQ(PasswordCheckByte(0x0001, dateTime, crc), 0x11);
  EXPECT_EQ(PasswordCheckByte(0xFFF7, dateTime, crc), 0x11);
}

TEST(EncryptionHeader, SeedComesFromTheClock) {
  TMemoryStream first, again, later;
  TZipCrypt crypt;
  platform::SetFixedClock(true, 0x1'0000'1000LL, 77);
  EXPECT_EQ(EncryptionHeaderSeed(), 0x1000u);  // the counter's low 32 bits
  ASSERT_TRUE(crypt.WriteEncryptionHeader("pw", 0xCAFEBABEu, first));
  ASSERT_TRUE(crypt.WriteEncryptionHeader("pw", 0xCAFEBABEu, again));
  platform::SetFixedClock(true, 0x1'0000'2000LL, 78);
  ASSERT_TRUE(crypt.WriteEncryptionHeader("pw", 0xCAFEBABEu, later));
  platform::SetFixedClock(false);
  ASSERT_EQ(first.Data().size(), kEncryptionHeaderSize);
  EXPECT_EQ(first.Data(), again.Data());  // a fixed clock repeats the header
  EXPECT_NE(first.Data(), later.Data());  // another time gives other bytes

  TZipCrypt expect;
  const TEncryptionHeader made = expect.MakeEncryptionHeader("pw", 0xCAFEBABEu, 0x2000);
  EXPECT_EQ(later.Data(), std::string(made.begin(), made.end()));
  TZipCrypt reader;
  EXPECT_EQ(reader.DecryptHeader("pw", Bytes(later.Data())), 0xCA);
}

// A stream that takes only a few bytes: a full disk.
class TShortStream : public TMemoryStream {
 public:
  int64_t Write(const void* Buffer, int64_t Count) override {
    if (Data().size() >= 5) return 0;
    return TMemoryStream::Write(Buffer, Count);
  }
};

TEST(EncryptionHeader, ShortWriteIsReported) {
  TShortStream out;
  TZipCrypt crypt;
  EXPECT_FALSE(crypt.WriteEncryptionHeader("pw", 1, out));
  EXPECT_EQ(out.Data().size(), 5u);
}

// ---- Interoperability with an independent zip tool -------------------------

void Put16(std::string& S, uint32_t V) {
  S += static_cast<char>(V & 0xFF);
  S += static_cast<char>((V >> 8) & 0xFF);
}
void Put32(std::string& S, uint32_t V) {
  Put16(S, V & 0xFFFF);
  Put16(S, V >> 16);
}
uint32_t Get16(const std::string& S, size_t At) {
  return static_cast<uint8_t>(S[At]) | (static_cast<uint32_t>(static_cast<uint8_t>(S[At + 1])) << 8);
}
uint32_t Get32(const std::string& S, size_t At) { return Get16(S, At) | (Get16(S, At + 2) << 16); }

// One stored, encrypted entry: local header, encryption header and data,
// central header and end record.
std::string MakeEncryptedStoredZip(const std::string& Name, const std::string& Content,
                                   const std::string& Password) {
  const uint32_t crc = Crc32Of(Content.data(), Content.size());
  TZipCrypt crypt;
  const TEncryptionHeader header = crypt.MakeEncryptionHeader(Password, crc, 0x31415926u);
  std::string data = Content;
  crypt.EncryptBuffer(data.data(), data.size());
  const uint32_t dosTime = (12u << 11) | (34u << 5) | 28u;  // 12:34:56
  const uint32_t dosDate = (44u << 9) | (6u << 5) | 11u;     // 2024-06-11
  const uint32_t compressed = static_cast<uint32_t>(data.size() + kEncryptionHeaderSize);

  std::string zip;
  Put32(zip, 0x04034B50u);
  Put16(zip, 20);  // version needed
  Put16(zip, 1);   // encrypted
  Put16(zip, 0);   // stored
  Put16(zip, dosTime);
  Put16(zip, dosDate);
  Put32(zip, crc);
  Put32(zip, compressed);
  Put32(zip, static_cast<uint32_t>(Content.size()));
  Put16(zip, static_cast<uint32_t>(Name.size()));
  Put16(zip, 0);
  zip += Name;
  zip.append(header.begin(), header.end());
  zip += data;

  const uint32_t centralOffset = static_cast<uint32_t>(zip.size());
  Put32(zip, 0x02014B50u);
  Put16(zip, 20);  // made by
  Put16(zip, 20);  // needed
  Put16(zip, 1);
  Put16(zip, 0);
  Put16(zip, dosTime);
  Put16(zip, dosDate);
  Put32(zip, crc);
  Put32(zip, compressed);
  Put32(zip, static_cast<uint32_t>(Content.size()));
  Put16(zip, static_cast<uint32_t>(Name.size()));
  Put16(zip, 0);   // extra
  Put16(zip, 0);   // comment
  Put16(zip, 0);   // disk
  Put16(zip, 0);   // internal attributes
  Put32(zip, 0x20);
  Put32(zip, 0);   // local header offset
  zip += Name;
  const uint32_t centralSize = static_cast<uint32_t>(zip.size()) - centralOffset;

  Put32(zip, 0x06054B50u);
  Put16(zip, 0);
  Put16(zip, 0);
  Put16(zip, 1);
  Put16(zip, 1);
  Put32(zip, centralSize);
  Put32(zip, centralOffset);
  Put16(zip, 0);
  return zip;
}

int RunQuiet(const std::string& Command) { return std::system((Command + " >/dev/null 2>&1").c_str()); }

TEST(ZipCipherPeer, IndependentToolDecryptsOurEntry) {
  if (!std::filesystem::exists("/usr/bin/unzip")) GTEST_SKIP() << "unzip is not installed";
  test::TTempDir dir;
  const std::string content = "Card backup test entry.\n" + test::RandomBytes(3000, 42);
  const auto path = dir / "peer.zip";
  test::WriteFile(path, MakeEncryptedStoredZip("DCIM/a.bin", content, "p4ssw0rd"));

  EXPECT_EQ(RunQuiet("/usr/bin/unzip -t -P p4ssw0rd '" + path.string() + "'"), 0);
  EXPECT_NE(RunQuiet("/usr/bin/unzip -t -P wrong-password '" + path.string() + "'"), 0);
  ASSERT_EQ(RunQuiet("cd '" + dir.Native() + "' && /usr/bin/unzip -o -P p4ssw0rd peer.zip"), 0);
  EXPECT_EQ(test::ReadFile(dir / "DCIM/a.bin"), content);
}

TEST(ZipCipherPeer, WeDecryptTheToolsEntry) {
  if (!std::filesystem::exists("/usr/bin/zip")) GTEST_SKIP() << "zip is not installed";
  test::TTempDir dir;
  const std::string content = test::RandomBytes(5000, 43);
  test::WriteFile(dir / "in.bin", content);
  ASSERT_EQ(RunQuiet("cd '" + dir.Native() + "' && /usr/bin/zip -0 -P 'Se cret' out.zip in.bin"), 0);
  const std::string zip = test::ReadFile(dir / "out.zip");
  ASSERT_GE(zip.size(), 30u);
  ASSERT_EQ(Get32(zip, 0), 0x04034B50u);
  const uint32_t flags = Get16(zip, 6);
  ASSERT_EQ(flags & 1, 1u);
  ASSERT_EQ(Get16(zip, 8), 0u);  // stored
  const uint32_t dateTime = Get16(zip, 10) | (Get16(zip, 12) << 16);
  uint32_t crc = Get32(zip, 14);
  uint32_t compressed = Get32(zip, 18);
  if (flags & 0x0008) {  // sizes and CRC follow in the central header
    const size_t central = zip.rfind(std::string("PK\x01\x02", 4));
    ASSERT_NE(central, std::string::npos);
    crc = Get32(zip, central + 16);
    compressed = Get32(zip, central + 20);
  }
  ASSERT_EQ(compressed, content.size() + kEncryptionHeaderSize);
  const size_t dataAt = 30 + Get16(zip, 26) + Get16(zip, 28);

  TZipCrypt crypt;
  EXPECT_EQ(crypt.DecryptHeader("Se cret", Bytes(zip) + dataAt), PasswordCheckByte(flags, dateTime, crc));
  std::string data = zip.substr(dataAt + kEncryptionHeaderSize, content.size());
  crypt.DecryptBuffer(data.data(), data.size());
  EXPECT_EQ(data, content);
  EXPECT_EQ(Crc32Of(data.data(), data.size()), crc);
}

}  // namespace
}  // namespace zem
