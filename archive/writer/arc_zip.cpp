// TArcZip: construction, copying, the consistent path settings, the
// attribute mask and the mirrored multi-volume accessors.
#include "archive/writer/arc_zip.h"

#include <algorithm>

#include "platform/cpu_features.h"
#include "platform/winapi.h"

namespace zem {

// ---- TMultiZipInfo ---------------------------------------------------------------

void TMultiZipInfo::Assign(const TPersistent* Source) {
  const auto* Src = dynamic_cast<const TMultiZipInfo*>(Source);
  if (Src == nullptr) {
    TPersistent::Assign(Source);
    return;
  }
  FMultiMode = Src->FMultiMode;
  FBlockSize = Src->FBlockSize;
  FFirstBlockSize = Src->FFirstBlockSize;
  FSaveOnFirstDisk = Src->FSaveOnFirstDisk;
  FSaveZipInfoOnFirstDisk = Src->FSaveZipInfoOnFirstDisk;
  FCheckDiskLabels = Src->FCheckDiskLabels;
  FWriteDiskLabels = Src->FWriteDiskLabels;
}

// ---- Construction, copying ---------------------------------------------------------

TArcZip::TArcZip(TComponent* AOwner)
    : TArcUnZip(AOwner), FMultiZipInfo(std::make_unique<TMultiZipInfo>()) {
  // The mask starts with every bit and the Include defaults then take out
  // hidden and system files: 0x39.
  FAttributes = 0x3F;
  SetIncludeHiddenFiles(false);
  SetIncludeSysFiles(false);
  SetIncludeReadOnlyFiles(true);
  SetIncludeArchiveFiles(true);
  // The reader's copies start in step with MultiZipInfo.
  TArcUnZip::SetMultiMode(FMultiZipInfo->MultiMode());
  TArcUnZip::SetCheckDiskLabels(FMultiZipInfo->CheckDiskLabels());
}

TArcZip::~TArcZip() {
  FMultiZipInfo.reset();
  FExcludeList.clear();
  FNoCompressList.clear();
}

void TArcZip::Assign(const TPersistent* Source) {
  TArcUnZip::Assign(Source);
  const auto* Src = dynamic_cast<const TArcZip*>(Source);
  if (Src == nullptr) return;
  FPackLevel = Src->FPackLevel;
  FRecurse = Src->FRecurse;
  FDispose = Src->FDispose;
  FStorePaths = Src->FStorePaths;
  FRelativePaths = Src->FRelativePaths;
  FStoreVolumes = Src->FStoreVolumes;
  FZipAction = Src->FZipAction;
  FMultiZipInfo->Assign(Src->FMultiZipInfo.get());
  // Keep the reader's copies in step with the copied settings.
  TArcUnZip::SetMultiMode(FMultiZipInfo->MultiMode());
  TArcUnZip::SetCheckDiskLabels(FMultiZipInfo->CheckDiskLabels());
  FStore83Names = Src->FStore83Names;
  FTempPath = Src->FTempPath;
  FSkipIfArchiveBitNotSet = Src->FSkipIfArchiveBitNotSet;
  FResetArchiveBitOnZip = Src->FResetArchiveBitOnZip;
  FExcludeList = Src->FExcludeList;
  FNoCompressList = Src->FNoCompressList;
  FAddDirEntriesOnRecurse = Src->FAddDirEntriesOnRecurse;
  FHostSystem = Src->FHostSystem;
  FNameConvention = Src->FNameConvention;
  FLinkMode = Src->FLinkMode;
  FLinkRoot = Src->FLinkRoot;
  OnStartZip = Src->OnStartZip;
  OnStartZipInfo = Src->OnStartZipInfo;
  OnEndZip = Src->OnEndZip;
  OnDisposeFile = Src->OnDisposeFile;
  OnDeleteEntry = Src->OnDeleteEntry;
  OnNoSuchFile = Src->OnNoSuchFile;
  OnZipComplete = Src->OnZipComplete;
  OnUpdate = Src->OnUpdate;
}

void TArcZip::Loaded() {
  TArcUnZip::Loaded();
  SetCheckDiskLabels(FMultiZipInfo->CheckDiskLabels());
  SetMultiMode(FMultiZipInfo->MultiMode());
}

void TArcZip::SetZipName(const std::string& Value) {
  if (IsDesigning() || Value != ZipName())
    TArcUnZip::SetZipName(Value);
}

// ---- Multi-volume accessors ------------------------------------------------------------

TMultiMode TArcZip::MultiMode() const { return FMultiZipInfo->MultiMode(); }

void TArcZip::SetMultiMode(TMultiMode Value) {
  FMultiZipInfo->SetMultiMode(Value);
  TArcUnZip::SetMultiMode(Value);
}

bool TArcZip::CheckDiskLabels() const { return FMultiZipInfo->CheckDiskLabels(); }

void TArcZip::SetCheckDiskLabels(bool Value) {
  FMultiZipInfo->SetCheckDiskLabels(Value);
  TArcUnZip::SetCheckDiskLabels(Value);
}

// ---- Path settings -----------------------------------------------------------------------

void TArcZip::SetStorePaths(bool Value) {
  if (Value == FStorePaths) return;
  FStorePaths = Value;
  if (!Value) {
    SetStoreVolumes(false);
    SetRelativePaths(false);
  }
}

void TArcZip::SetStoreVolumes(bool Value) {
  if (Value == FStoreVolumes) return;
  FStoreVolumes = Value;
  if (Value) SetStorePaths(true);
}

void TArcZip::SetRelativePaths(bool Value) {
  if (Value == FRelativePaths) return;
  FRelativePaths = Value;
  if (Value) {
    SetStorePaths(true);
    SetRecurse(true);
  }
}


void TArcZip::SetAttributeBit(uint8_t Bit, bool Value) {
  if (Value)
    FAttributes = static_cast<uint8_t>(FAttributes | Bit);
  else
    FAttributes = static_cast<uint8_t>(FAttributes & ~Bit);
}

TStoredPathSettings TArcZip::PathSettings() const {
  TStoredPathSettings S;
  S.StorePaths = FStorePaths;
  S.RelativePaths = FRelativePaths;
  S.StoreVolumes = FStoreVolumes;
  S.RootDir = RootDir();
  S.RelativePathList = RelativePathList();
  return S;
}

std::string TArcZip::EntryDirectoryFor(const std::string& FileName) const {
  return EntryStoredPath(FileName, PathSettings());
}

std::string TArcZip::ComparingDirectoryFor(const std::string& FileName) const {
  return ComparingStoredPath(FileName, PathSettings());
}

}  // namespace zem
