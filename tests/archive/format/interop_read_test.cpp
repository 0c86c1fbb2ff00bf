// Central directories of archives written by other zip tools, read with the
// end record search and the central header reader, checked against the
// fixtures' manifest (turned into interop/expected.tsv by make_expected.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "archive/format/zip_records.h"
#include "common/test_support.h"

namespace zem {
namespace {

const std::filesystem::path InteropDir = std::filesystem::path(ZEM_TEST_DATA) / "interop";

using test::FromHex;
using test::SplitTabs;

uint64_t Num(const std::string& S) { return std::stoull(S, nullptr, 0); }

struct TExpectedArchive {
  std::string File;
  uint64_t Base = 0, Total = 0, CdOffset = 0, CdSize = 0, StoredTotal = 0, CommentLen = 0;
  std::string Comment;
  bool Zip64End = false;
  std::vector<std::vector<std::string>> Entries;  // E rows
  std::vector<std::string> Rule;                  // R row, if any
};

std::vector<TExpectedArchive> LoadExpected() {
  std::vector<TExpectedArchive> All;
  std::map<std::string, size_t> ByFile;
  std::stringstream In(test::ReadFile(InteropDir / "expected.tsv"));
  std::string Line;
  while (std::getline(In, Line)) {
    auto C = SplitTabs(Line);
    if (C.empty()) continue;
    if (C[0] == "A") {
      TExpectedArchive A;
      A.File = C[1];
      A.Base = Num(C[2]);
      A.Total = Num(C[3]);
      A.CdOffset = Num(C[4]);
      A.CdSize = Num(C[5]);
      A.StoredTotal = Num(C[6]);
      A.CommentLen = Num(C[7]);
      A.Comment = FromHex(C[8]);
      A.Zip64End = C[9] == "1";
      ByFile[A.File] = All.size();
      All.push_back(A);
    } else if (C[0] == "E") {
      All.at(ByFile.at(C[1])).Entries.push_back(C);
    } else if (C[0] == "R") {
      All.at(ByFile.at(C[1])).Rule = C;
    }
  }
  return All;
}

// What one archive's directory reads as.
struct TReadArchive {
  TEndCentral End;
  std::vector<std::unique_ptr<TZipHeaderInfo>> Entries;  // central order
  std::vector<std::string> Comments;
  int64_t EndOfDirectory = 0;
};

void ReadDirectory(const TExpectedArchive& A, TReadArchive& R) {
  TMemoryStream S(test::ReadFile(InteropDir / A.File));
  ASSERT_TRUE(R.End.FindEndRecord(S));
  S.SetPosition(static_cast<int64_t>(A.Base + R.End.CentralDirOffset()));
  for (uint64_t I = 0; I < R.End.TotalEntries(); ++I) {
    auto E = std::make_unique<TZipHeaderInfo>();
    E->SetOEMConvert(true);
    ASSERT_TRUE(E->ReadCentral(S)) << "entry " << I;
    S.Seek(E->CentralExtraLength(), soCurrent);
    std::string Comment(E->FileCommentLength(), '\0');
    S.ReadBuffer(Comment.data(), static_cast<int64_t>(Comment.size()));
    R.Comments.push_back(Comment);
    R.Entries.push_back(std::move(E));
  }
  R.EndOfDirectory = S.Position();
  if (R.End.HasComment()) {
    std::string Comment(R.End.ZipCommentLength(), '\0');
    S.SetPosition(R.End.ZipCommentPos());
    S.ReadBuffer(Comment.data(), static_cast<int64_t>(Comment.size()));
    R.End.SetZipComment(Comment);
  }
}

void CheckEntry(const std::vector<std::string>& C, const TZipHeaderInfo& E, const std::string& Comment) {
  SCOPED_TRACE(C[1] + " entry " + C[2]);
  std::string Held = E.FullName();
  std::replace(Held.begin(), Held.end(), '\\', '/');
  EXPECT_EQ(Held, FromHex(C[3]));
  EXPECT_EQ(E.FileNameLength(), Num(C[4]));
  EXPECT_EQ(E.FileName().empty(), C[5] == "1");
  EXPECT_EQ(E.UncompressedSize(), Num(C[6]));
  EXPECT_EQ(E.CompressedSize(), Num(C[7]));
  EXPECT_EQ(E.Crc32(), Num("0x" + C[8]));
  EXPECT_EQ(E.CompressionMethod(), Num(C[9]));
  EXPECT_EQ(E.Flags(), Num(C[10]));
  EXPECT_EQ(Comment, FromHex(C[11]));
  EXPECT_EQ(E.RelativeOffset(), Num(C[12]));
  EXPECT_EQ(E.DiskNumberStart(), Num(C[13]));
  EXPECT_EQ(E.VersionMadeBy(), Num(C[14]));
  EXPECT_EQ(E.Zip64Info() != nullptr, C[15] == "1");
}

TEST(InteropReadTest, EveryFixtureDirectoryMatchesItsManifest) {
  const auto All = LoadExpected();
  ASSERT_GE(All.size(), 30u);
  size_t EntriesChecked = 0;
  bool SawZip64Entry = false, SawCp437 = false, SawUtf8Flag = false;
  for (const auto& A : All) {
    if (!A.Rule.empty()) continue;  // the big one has its own test
    SCOPED_TRACE(A.File);
    TReadArchive R;
    ReadDirectory(A, R);
    if (HasFatalFailure()) return;
    EXPECT_EQ(R.End.TotalEntries(), A.Total);
    EXPECT_EQ(R.End.Record().TotalEntries, A.StoredTotal);
    EXPECT_EQ(R.End.CentralDirOffset(), A.CdOffset);
    EXPECT_EQ(R.End.CentralDirSize(), A.CdSize);
    EXPECT_EQ(R.End.ZipCommentLength(), A.CommentLen);
    EXPECT_EQ(R.End.ZipComment().value_or(""), A.Comment);
    EXPECT_EQ(R.End.Zip64EndRecord() != nullptr, A.Zip64End);
    EXPECT_EQ(static_cast<uint64_t>(R.EndOfDirectory), A.Base + A.CdOffset + A.CdSize);
    ASSERT_EQ(R.Entries.size(), A.Entries.size());
    for (const auto& C : A.Entries) {
      const size_t Index = Num(C[2]);
      CheckEntry(C, *R.Entries.at(Index), R.Comments.at(Index));
      ++EntriesChecked;
      SawZip64Entry |= C[15] == "1";
      const std::string Held = FromHex(C[3]);
      SawCp437 |= (Num(C[14]) >> 8) == 0 && (Num(C[10]) & 0x0800) == 0 &&
                  std::any_of(Held.begin(), Held.end(), [](char Ch) { return (Ch & 0x80) != 0; });
      SawUtf8Flag |= (Num(C[10]) & 0x0800) != 0;
    }
    // The directory list takes every entry in physical order.
    TSortedZip List(RefuseDuplicate);
    List.SetOwnsItems(false);
    for (auto& E : R.Entries) List.Add(E.get());
    for (int I = 1; I < List.Count(); ++I)
      EXPECT_LT(List.Items(I - 1)->RelativeOffset(), List.Items(I)->RelativeOffset());
  }
  EXPECT_GT(EntriesChecked, 200u);
  EXPECT_TRUE(SawZip64Entry);
  EXPECT_TRUE(SawCp437);
  EXPECT_TRUE(SawUtf8Flag);
}

// 66000 entries: the end record holds 0xFFFF and the real count comes from
// the Zip64 end record; every name and size follows the manifest's rule.
TEST(InteropReadTest, Zip64EndRecordWithSixtySixThousandEntries) {
  const auto All = LoadExpected();
  auto It = std::find_if(All.begin(), All.end(), [](const TExpectedArchive& A) { return !A.Rule.empty(); });
  ASSERT_NE(It, All.end());
  const TExpectedArchive& A = *It;
  TReadArchive R;
  ReadDirectory(A, R);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(A.Zip64End);
  ASSERT_NE(R.End.Zip64EndRecord(), nullptr);
  EXPECT_EQ(R.End.Record().TotalEntries, 0xFFFF);
  EXPECT_EQ(R.End.Record().EntriesOnThisDisk, 0xFFFF);
  const uint64_t Count = Num(A.Rule[2]);
  EXPECT_EQ(R.End.TotalEntries(), Count);
  EXPECT_EQ(R.End.EntriesOnThisDisk(), Count);
  EXPECT_EQ(R.End.CentralDirOffset(), A.CdOffset);
  EXPECT_EQ(R.End.CentralDirSize(), A.CdSize);
  ASSERT_EQ(R.Entries.size(), Count);

  const std::string NameFormat = A.Rule[3];
  const uint64_t Divisor = Num(A.Rule[4]);
  std::string ContentFormat = A.Rule[5];
  ContentFormat.replace(ContentFormat.find("\\n"), 2, "\n");
  char Buf[64];
  size_t Bad = 0;
  for (uint64_t I = 0; I < Count; ++I) {
    const TZipHeaderInfo& E = *R.Entries[I];
    std::snprintf(Buf, sizeof Buf, NameFormat.c_str(), static_cast<int>(I / Divisor), static_cast<int>(I));
    std::string Held = E.FullName();
    std::replace(Held.begin(), Held.end(), '\\', '/');
    const int Len = std::snprintf(nullptr, 0, ContentFormat.c_str(), static_cast<int>(I));
    if (Held != Buf || E.UncompressedSize() != static_cast<uint64_t>(Len) || E.CompressionMethod() != 0) ++Bad;
  }
  EXPECT_EQ(Bad, 0u);
  for (const auto& C : A.Entries) CheckEntry(C, *R.Entries.at(Num(C[2])), R.Comments.at(Num(C[2])));
  EXPECT_GE(A.Entries.size(), 2u);

  // In archive order the list takes all of them, refusing none.
  TSortedZip List(RefuseDuplicate);
  List.SetOwnsItems(false);
  for (auto& E : R.Entries) List.Add(E.get());
  EXPECT_EQ(static_cast<uint64_t>(List.Count()), Count);
  EXPECT_EQ(List.Items(List.Count() - 1), R.Entries.back().get());
}

}  // namespace
}  // namespace zem
