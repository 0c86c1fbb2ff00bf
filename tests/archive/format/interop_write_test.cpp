// Archives written by hand with the record writers and the traditional
// cipher, checked by other zip readers: unzip tests them with the password
// and Python's zipfile lists and decrypts them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "archive/format/crc_crypt.h"
#include "archive/format/zip_records.h"
#include "common/test_support.h"
#include "platform/winapi.h"

namespace zem {
namespace {

const std::string Password = "Card-Backup#1";

struct TSourceFile {
  std::string Directory, FileName, Data;
  bool IsDirectory = false;
};

// Writes the archive the way the writer does: a provisional local header,
// the encryption header and the encrypted stored data, the local header
// again with the final values, then the central directory and end record.
std::string WriteArchive(const std::vector<TSourceFile>& Files, const std::string& Comment) {
  TMemoryStream Out;
  std::vector<std::unique_ptr<TZipHeaderInfo>> Entries;
  for (const auto& F : Files) {
    auto E = std::make_unique<TZipHeaderInfo>();
    E->SetOEMConvert(true);
    E->SetDirectory(F.Directory);
    E->SetFileName(F.FileName);
    E->SetFileDateTime(0x5B2A6C3Bu);  // 2025-09-10 13:33:54
    E->SetCompressionMethod(0);
    E->SetExternalAttributes(F.IsDirectory ? 0x10 : 0x20);
    E->WriteLocal(Out);
    if (!F.IsDirectory) {
      const uint32_t Crc = Crc32Of(F.Data.data(), F.Data.size());
      TZipCrypt Cipher;
      EXPECT_TRUE(Cipher.WriteEncryptionHeader(Password, Crc, Out));
      std::string Data = F.Data;
      Cipher.EncryptBuffer(Data.data(), Data.size());
      Out.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
      const int64_t End = Out.Position();
      E->SetCrc32(Crc);
      E->SetUncompressedSize(F.Data.size());
      E->SetCompressedSize(F.Data.size() + kEncryptionHeaderSize);
      E->SetFlags(static_cast<uint16_t>(E->Flags() | 0x0001 | 0x0004));
      Out.SetPosition(static_cast<int64_t>(E->RelativeOffset()));
      E->WriteLocal(Out);
      Out.SetPosition(End);
    } else {
      E->SetCrc32(0);
      Out.SetPosition(static_cast<int64_t>(E->RelativeOffset()));
      E->WriteLocal(Out);
      Out.Seek(0, soEnd);
    }
    Entries.push_back(std::move(E));
  }
  TEndCentral End;
  const int64_t CentralStart = Out.Position();
  for (auto& E : Entries) E->WriteCentral(Out, nullptr);
  End.SetTotalEntries(Entries.size());
  End.SetEntriesOnThisDisk(Entries.size());
  End.SetCentralDirOffset(static_cast<uint64_t>(CentralStart));
  End.SetCentralDirSize(static_cast<uint64_t>(Out.Position() - CentralStart));
  End.SetZipComment(Comment);
  End.WriteEndRecord(Out);
  return Out.Data();
}

bool ToolPresent(const std::string& Tool) {
  return std::system(("command -v " + Tool + " >/dev/null 2>&1").c_str()) == 0;
}

using test::RunCommand;

std::vector<TSourceFile> CardFiles() {
  return {
      {"DCIM\\", "", "", true},
      {"DCIM\\100CANON\\", "IMG_0001.JPG", test::RandomBytes(70000, 1)},
      {"DCIM\\100CANON\\", "12:30:05.jpg", test::RandomBytes(3000, 2)},
      {"", "caf\xC3\xA9 \xC3\x9C" "ber.txt", "caf\xC3\xA9\n"},          // café Über.txt: has a CP437 form
      {"Notes\\", "\xC5\x81\xC3\xB3" "d\xC5\xBA.txt", "Lodz\n"},          // Łódź.txt: has none
      {"Notes\\", "\xC5\x81\xC3\xB3" "d\xC5\xBC.txt", "Lodz, other\n"},   // Łódż.txt: must stay distinct
      {"", "empty.dat", ""},
  };
}

TEST(InteropWriteTest, UnzipTestsTheEncryptedArchive) {
  if (!ToolPresent("unzip")) GTEST_SKIP() << "unzip not installed";
  test::TTempDir Dir;
  const auto Path = Dir / "card.zip";
  test::WriteFile(Path, WriteArchive(CardFiles(), "ZEM test archive"));
  int Status = 0;
  const std::string Output = RunCommand("unzip -t -P '" + Password + "' '" + Path.string() + "' 2>&1", Status);
  EXPECT_EQ(Status, 0) << Output;
  EXPECT_NE(Output.find("No errors detected"), std::string::npos) << Output;

  // And a wrong password is noticed, so the data really is encrypted.
  const std::string Wrong = RunCommand("unzip -t -P wrong '" + Path.string() + "' 2>&1", Status);
  EXPECT_NE(Status, 0) << Wrong;
}

TEST(InteropWriteTest, PythonListsAndDecryptsTheArchive) {
  if (!ToolPresent("python3")) GTEST_SKIP() << "python3 not installed";
  test::TTempDir Dir;
  const auto Path = Dir / "card.zip";
  const auto Files = CardFiles();
  test::WriteFile(Path, WriteArchive(Files, "comment"));
  // One line per entry: name (UTF-8 hex), flag bit 11, size, header CRC,
  // and the length and CRC of the contents Python decrypts itself.
  const std::string Script =
      "import sys, zipfile, zlib\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "print(z.comment.decode())\n"
      "for i in z.infolist():\n"
      "    d = b'' if i.is_dir() else z.read(i, pwd=sys.argv[2].encode())\n"
      "    print(i.filename.encode().hex(), (i.flag_bits >> 11) & 1, i.file_size, '%08x' % i.CRC,\n"
      "          len(d), '%08x' % zlib.crc32(d), i.flag_bits & 1)\n";
  test::WriteFile(Dir / "list.py", Script);
  int Status = 0;
  const std::string Output =
      RunCommand("python3 '" + (Dir / "list.py").string() + "' '" + Path.string() + "' '" + Password + "' 2>&1", Status);
  ASSERT_EQ(Status, 0) << Output;

  std::istringstream Lines(Output);
  std::string Line;
  std::getline(Lines, Line);
  EXPECT_EQ(Line, "comment");
  for (const auto& F : Files) {
    ASSERT_TRUE(std::getline(Lines, Line)) << Output;
    std::istringstream Cols(Line);
    std::string NameHex, CrcHex, DataCrcHex;
    int Utf8 = 0, Encrypted = 0;
    uint64_t Size = 0, DataLen = 0;
    Cols >> NameHex >> Utf8 >> Size >> CrcHex >> DataLen >> DataCrcHex >> Encrypted;
    std::string Name = F.Directory + F.FileName;
    for (char& C : Name)
      if (C == '\\') C = '/';
    std::string ExpectedHex;
    char Hex[3];
    for (unsigned char C : Name) {
      std::snprintf(Hex, sizeof Hex, "%02x", C);
      ExpectedHex += Hex;
    }
    SCOPED_TRACE(Name);
    EXPECT_EQ(NameHex, ExpectedHex);
    const bool NeedsUtf8 = Name.find("\xC5") != std::string::npos;
    EXPECT_EQ(Utf8, NeedsUtf8 ? 1 : 0);
    EXPECT_EQ(Size, F.Data.size());
    EXPECT_EQ(DataLen, F.Data.size());
    char Crc[9];
    std::snprintf(Crc, sizeof Crc, "%08x", F.IsDirectory ? 0u : Crc32Of(F.Data.data(), F.Data.size()));
    EXPECT_EQ(CrcHex, Crc);
    EXPECT_EQ(DataCrcHex, Crc);
    EXPECT_EQ(Encrypted, F.IsDirectory ? 0 : 1);
  }
  EXPECT_FALSE(std::getline(Lines, Line)) << "extra entry: " << Line;
}

// What this system writes, it reads back the same way.
TEST(InteropWriteTest, OwnReaderReadsWhatWasWritten) {
  const auto Files = CardFiles();
  TMemoryStream S(WriteArchive(Files, ""));
  TEndCentral End;
  ASSERT_TRUE(End.FindEndRecord(S));
  ASSERT_EQ(End.TotalEntries(), Files.size());
  S.SetPosition(static_cast<int64_t>(End.CentralDirOffset()));
  for (const auto& F : Files) {
    TZipHeaderInfo E;
    E.SetOEMConvert(true);
    ASSERT_TRUE(E.ReadCentral(S));
    EXPECT_EQ(E.Directory(), F.Directory);
    EXPECT_EQ(platform::NameToNative(E.FileName()), F.FileName);
    EXPECT_EQ(E.UncompressedSize(), F.Data.size());
    const int64_t Next = S.Position() + E.CentralExtraLength() + E.FileCommentLength();
    // The local header agrees with the central one.
    S.SetPosition(static_cast<int64_t>(E.RelativeOffset()));
    TZipHeaderInfo L;
    L.SetOEMConvert(true);
    ASSERT_TRUE(L.ReadLocal(S));
    EXPECT_EQ(L.FullName(), E.FullName());
    EXPECT_EQ(L.Flags(), E.Flags());
    EXPECT_EQ(L.Crc32(), E.Crc32());
    EXPECT_EQ(L.CompressedSize(), E.CompressedSize());
    S.SetPosition(Next);
  }
}

}  // namespace
}  // namespace zem
