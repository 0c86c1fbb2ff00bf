// Shared fixture of the writer tests: a card drive F: on a temporary folder,
// a pump-counting window-services double, a recorder of the expansion's
// events and a builder of small real archives.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/format/zip_records.h"
#include "archive/writer/arc_zip.h"
#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/stream.h"
#include "platform/window_services.h"

namespace zem::test {

class TPumpCounter : public platform::THeadlessWindowServices {
 public:
  void ProcessMessages() override { ++Pumps; }
  int Pumps = 0;
};

// What the expansion reported, in order.
struct TExpansionLog {
  struct TSkip {
    TSkipReason Reason;
    std::string Name;
    int32_t Index;
  };
  std::vector<TSkip> Skips;
  std::vector<std::string> Missing;
  std::vector<std::string> Recursed;

  void Attach(TArcZip& Zip) {
    Zip.OnSkippingFile = [this](TObject*, TSkipReason Reason, const std::string& Name,
                                int32_t Index, bool&) { Skips.push_back({Reason, Name, Index}); };
    Zip.OnNoSuchFile = [this](TObject*, const std::string& Name) { Missing.push_back(Name); };
    Zip.OnRecursingFile = [this](TObject*, const std::string& Name) { Recursed.push_back(Name); };
  }
  std::vector<std::string> SkippedFor(TSkipReason Reason) const {
    std::vector<std::string> Out;
    for (const TSkip& S : Skips)
      if (S.Reason == Reason) Out.push_back(S.Name);
    return Out;
  }
};

// Installs a fake drive table whose F: is the temporary folder Card (a
// removable drive), and the pump counter; restores both afterwards.
class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto Table = std::make_unique<platform::TFakeDriveTable>();
    Table->AddDrive('F', Card.Native(), "CARD", 0, platform::DRIVE_REMOVABLE);
    DriveScope = std::make_unique<platform::TDriveTableScope>(std::move(Table));
    auto Counter = std::make_unique<TPumpCounter>();
    Pumps = Counter.get();
    Previous = platform::InstallWindowServices(std::move(Counter));
  }
  void TearDown() override { platform::InstallWindowServices(std::move(Previous)); }

  // Writes a file below the card; Rel uses '/'.
  void Put(const std::string& Rel, const std::string& Data) const { WriteFile(Card / Rel, Data); }
  void MakeDir(const std::string& Rel) const { std::filesystem::create_directories(Card / Rel); }

  // A real archive of empty stored entries at the Windows-style name Path,
  // Names using '\' as separator.
  static void WriteArchive(const std::string& Path, const std::vector<std::string>& Names) {
    TFileStream Out(Path, fmCreate);
    std::vector<std::unique_ptr<TZipHeaderInfo>> Headers;
    for (const std::string& Name : Names) {
      auto H = std::make_unique<TZipHeaderInfo>();
      const size_t Slash = Name.rfind('\\');
      H->SetDirectory(Slash == std::string::npos ? "" : Name.substr(0, Slash + 1));
      H->SetFileName(Slash == std::string::npos ? Name : Name.substr(Slash + 1));
      H->SetCompressionMethod(0);
      H->SetCrc32(0);
      H->WriteLocal(Out);
      Headers.push_back(std::move(H));
    }
    const int64_t CentralStart = Out.Position();
    for (auto& H : Headers) H->WriteCentral(Out, nullptr);
    TEndCentral End;
    End.SetTotalEntries(Headers.size());
    End.SetEntriesOnThisDisk(Headers.size());
    End.SetCentralDirOffset(static_cast<uint64_t>(CentralStart));
    End.SetCentralDirSize(static_cast<uint64_t>(Out.Position() - CentralStart));
    End.WriteEndRecord(Out);
  }

  TTempDir Card;
  TPumpCounter* Pumps = nullptr;
  std::unique_ptr<platform::TDriveTableScope> DriveScope;
  std::unique_ptr<platform::TWindowServices> Previous;
};

}  // namespace zem::test
