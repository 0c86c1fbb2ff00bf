// The overlay drive table and folder drives.
#include "platform/folder_drives.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "platform/file_system.h"

namespace zem::platform {

TOverlayDriveTable::TOverlayDriveTable(std::unique_ptr<TDriveTable> Inner)
    : FInner(std::move(Inner)) {}

void TOverlayDriveTable::AddDrive(const TDriveEntry& Entry) {
  TDriveEntry E = Entry;
  E.Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(E.Letter)));
  std::erase_if(FOwn, [&](const TDriveEntry& O) { return O.Letter == E.Letter; });
  FOwn.push_back(E);
}

std::vector<TDriveEntry> TOverlayDriveTable::Drives() {
  std::vector<TDriveEntry> All;
  if (FInner) All = FInner->Drives();
  for (const TDriveEntry& E : FOwn) {
    std::erase_if(All, [&](const TDriveEntry& O) { return O.Letter == E.Letter; });
    All.push_back(E);
  }
  std::sort(All.begin(), All.end(),
            [](const TDriveEntry& A, const TDriveEntry& B) { return A.Letter < B.Letter; });
  return All;
}

std::optional<TDriveEntry> TOverlayDriveTable::Find(char Letter) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  for (const TDriveEntry& E : FOwn)
    if (E.Letter == Letter) return E;
  if (!FInner) return std::nullopt;
  return FInner->Find(Letter);
}

bool TOverlayDriveTable::SetLabel(char Letter, const std::string& Label) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  for (TDriveEntry& E : FOwn) {
    if (E.Letter != Letter) continue;
    if (!E.HasMedia) return false;
    E.Label = Label;
    return true;
  }
  return FInner && FInner->SetLabel(Letter, Label);
}

namespace {
bool IsOwn(const std::vector<TDriveEntry>& Own, char Letter) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  return std::any_of(Own.begin(), Own.end(), [&](const TDriveEntry& E) { return E.Letter == Letter; });
}
}  // namespace

bool TOverlayDriveTable::MakesFileSystems(char Letter) {
  return !IsOwn(FOwn, Letter) && FInner && FInner->MakesFileSystems(Letter);
}

bool TOverlayDriveTable::MakeFileSystem(const TDriveEntry& Expected, const std::string& FsType,
                                        const std::string& Label) {
  if (IsOwn(FOwn, Expected.Letter) || !FInner)
    return TDriveTable::MakeFileSystem(Expected, FsType, Label);
  const bool Made = FInner->MakeFileSystem(Expected, FsType, Label);
  FLastFailure = FInner->LastFailure();
  return Made;
}

TEjectResult TOverlayDriveTable::Eject(char Letter) {
  if (IsOwn(FOwn, Letter) || !FInner) return TDriveTable::Eject(Letter);
  const TEjectResult Result = FInner->Eject(Letter);
  FLastFailure = FInner->LastFailure();
  return Result;
}

std::string RealFolderPath(const std::string& Path) {
  if (Path.empty()) return std::string();
  std::string Real;
  if (FileSystem().RealPath(Path, Real) != 0) return std::string();
  struct stat St;
  if (FileSystem().Stat(Real, St) != 0 || !S_ISDIR(St.st_mode)) return std::string();
  return Real;
}

TFolderDriveScope::TFolderDriveScope(const std::string& Folder, const std::string& Label) {
  FMountPoint = RealFolderPath(Folder);
  if (FMountPoint.empty()) return;
  const std::vector<TDriveEntry> Present = DriveTable().Drives();
  for (char L = 'D'; L <= 'Z' && FLetter == 0; ++L) {
    if (std::none_of(Present.begin(), Present.end(),
                     [L](const TDriveEntry& E) { return E.Letter == L; }))
      FLetter = L;
  }
  if (FLetter == 0) return;
  // The table in use exists now (DriveTable() made the real one if none
  // was installed); it becomes the overlay's inner table.
  std::unique_ptr<TDriveTable> Inner = InstallDriveTable(nullptr);
  auto Overlay = std::make_unique<TOverlayDriveTable>(std::move(Inner));
  TDriveEntry E;
  E.Letter = FLetter;
  E.MountPoint = FMountPoint;
  E.Type = DRIVE_REMOVABLE;
  E.Label = Label;
  E.FileSystem = "folder";
  Overlay->AddDrive(E);
  InstallDriveTable(std::move(Overlay));
  FInstalled = true;
}

TFolderDriveScope::~TFolderDriveScope() {
  if (!FInstalled) return;
  std::unique_ptr<TDriveTable> Mine = InstallDriveTable(nullptr);
  auto* Overlay = dynamic_cast<TOverlayDriveTable*>(Mine.get());
  std::unique_ptr<TDriveTable> Inner = Overlay ? Overlay->ReleaseInner() : nullptr;
  InstallDriveTable(std::move(Inner));
}

}  // namespace zem::platform
