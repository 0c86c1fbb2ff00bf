// Shared fixture of the archive reader tests: a fake drive table, a
// recording window-services double, fixture paths and small archive
// builders.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/format/zip_records.h"
#include "archive/reader/arc_unzip.h"
#include "common/test_support.h"
#include "platform/drives.h"
#include "platform/window_services.h"

namespace zem::test {

// Records every message box and pump call and answers from a script.
class TRecordingServices : public platform::THeadlessWindowServices {
 public:
  struct TBox {
    std::string Text, Caption;
    uint32_t Flags;
  };
  std::vector<TBox> Boxes;
  std::vector<int> Answers;  // consumed in order; IDOK once used up
  int Pumps = 0;
  std::vector<platform::TFileDialogOptions> OpenDialogs;
  std::string OpenAnswer;  // empty: the dialog is cancelled
  std::string FolderAnswer;
  std::string FolderStart;

  int MessageBox(platform::HWND, const std::string& Text, const std::string& Caption,
                 uint32_t Flags) override {
    Boxes.push_back({Text, Caption, Flags});
    if (Answers.empty()) return platform::IDOK;
    const int A = Answers.front();
    Answers.erase(Answers.begin());
    return A;
  }
  void ProcessMessages() override { ++Pumps; }
  bool GetOpenFileName(const platform::TFileDialogOptions& Options, std::string& FileName) override {
    OpenDialogs.push_back(Options);
    if (OpenAnswer.empty()) return false;
    FileName = OpenAnswer;
    return true;
  }
  bool SelectFolder(const std::string&, std::string& Folder) override {
    FolderStart = Folder;
    if (FolderAnswer.empty()) return false;
    Folder = FolderAnswer;
    return true;
  }
};

// Installs a fake drive table (C: is "/", F: a removable temporary folder)
// and the recording services; restores both afterwards.
class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto Table = std::make_unique<platform::TFakeDriveTable>();
    Table->AddDrive('F', Card.Native(), "CARD", 0, platform::DRIVE_REMOVABLE);
    Drives = Table.get();
    DriveScope = std::make_unique<platform::TDriveTableScope>(std::move(Table));
    auto Rec = std::make_unique<TRecordingServices>();
    Services = Rec.get();
    Previous = platform::InstallWindowServices(std::move(Rec));
  }
  void TearDown() override { platform::InstallWindowServices(std::move(Previous)); }

  // Windows-style name of a fixture below tests/data/interop.
  static std::string Interop(const std::string& Rel) {
    return platform::FromNativePath((std::filesystem::path(ZEM_TEST_DATA) / "interop" / Rel).string());
  }
  static std::filesystem::path InteropNative(const std::string& Rel) {
    return std::filesystem::path(ZEM_TEST_DATA) / "interop" / Rel;
  }
  // Windows-style name of a file in the temporary folder (on C:).
  std::string Temp(const std::string& Rel) const { return platform::FromNativePath((Dir / Rel).string()); }
  // Copies a fixture into the temporary folder; returns its Windows-style name.
  std::string CopyFixture(const std::string& Rel, const std::string& As) const {
    WriteFile(Dir / As, ReadFile(InteropNative(Rel)));
    return Temp(As);
  }

  TTempDir Dir;
  TTempDir Card;
  platform::TFakeDriveTable* Drives = nullptr;
  TRecordingServices* Services = nullptr;
  std::unique_ptr<platform::TDriveTableScope> DriveScope;
  std::unique_ptr<platform::TWindowServices> Previous;
};

// One stored entry for hand-made archives.
struct TPlainEntry {
  std::string Name;  // with '\' as separator
  std::string Data;
  std::string Comment;
};

// Bytes of a single-disk archive of stored entries with the given archive
// comment; Offsets receives each local header's position.
std::string BuildArchive(const std::vector<TPlainEntry>& Entries, const std::string& Comment = "",
                         std::vector<int64_t>* Offsets = nullptr);

}  // namespace zem::test
