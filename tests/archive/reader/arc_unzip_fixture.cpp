// Small archive builder for the reader tests.
#include "arc_unzip_fixture.h"

#include "archive/format/crc_crypt.h"

namespace zem::test {

std::string BuildArchive(const std::vector<TPlainEntry>& Entries, const std::string& Comment,
                         std::vector<int64_t>* Offsets) {
  TMemoryStream Out;
  std::vector<std::unique_ptr<TZipHeaderInfo>> Headers;
  for (const TPlainEntry& E : Entries) {
    auto H = std::make_unique<TZipHeaderInfo>();
    H->Clear();
    const size_t Slash = E.Name.rfind('\\');
    H->SetDirectory(Slash == std::string::npos ? "" : E.Name.substr(0, Slash + 1));
    H->SetFileName(Slash == std::string::npos ? E.Name : E.Name.substr(Slash + 1));
    H->SetCompressionMethod(0);
    H->SetVersionNeeded(10);
    H->SetFileDateTime(0x568530E4);  // 2023-04-05 06:07:08
    H->SetCrc32(Crc32Of(E.Data.data(), E.Data.size()));
    H->SetCompressedSize(E.Data.size());
    H->SetUncompressedSize(E.Data.size());
    if (Offsets) Offsets->push_back(Out.Position());
    H->WriteLocal(Out);
    Out.WriteBuffer(E.Data.data(), static_cast<int64_t>(E.Data.size()));
    if (!E.Comment.empty()) H->SetFileComment(E.Comment);
    Headers.push_back(std::move(H));
  }
  const int64_t CentralStart = Out.Position();
  for (auto& H : Headers) H->WriteCentral(Out, nullptr);
  TEndCentral End;
  End.SetTotalEntries(Headers.size());
  End.SetEntriesOnThisDisk(Headers.size());
  End.SetCentralDirOffset(static_cast<uint64_t>(CentralStart));
  End.SetCentralDirSize(static_cast<uint64_t>(Out.Position() - CentralStart));
  if (!Comment.empty()) End.SetZipComment(Comment);
  End.WriteEndRecord(Out);
  return Out.Data();
}

}  // namespace zem::test
