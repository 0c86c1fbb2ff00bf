// TArcUnZip: reaching disk n of a multi-disk archive, the disk prompt, the
// names of split parts and the disk label check.
#include <string>

#include "archive/reader/arc_messages.h"
#include "archive/reader/arc_unzip.h"
#include "platform/window_services.h"

namespace zem {

namespace {

std::string ThreeDigits(int32_t N) { return Format("%3.3d", N); }

}  // namespace

TLFNFileStream* TArcUnZip::OpenDisk(int32_t N) {
  FArchive.reset();
  std::string FName = FZipName;
  if (MultiMode() == mmBlocks) {
    // The last part carries the plain archive name; it is named as the last
    // one whenever its number equals the disk count, also while the
    // directory is read (the count is known from the end record by then).
    TSplitPartType Type = N == 1 ? spFirst : spMiddle;
    if (N == FDiskCount && N > 1) Type = spLast;
    FName = FBaseName;
    NameSplitPart(FName, N, Type);
  } else {
    // Without a handler, mmNone leaves the name as it is: asking again could
    // never change it, so a missing file ends in the open error below.
    const bool AskOnce = MultiMode() == mmNone && !OnGetNextDisk;
    for (;;) {
      RequestNextDisk(N, FName);
      if (!CheckDiskLabels() || FName.empty() || DiskLabelMatches(N)) {
        if (FName.empty()) throw EUserCanceled(LoadZipStr(zsUserCanceledDisk));
        if (FileExistsAt(FName)) break;
      }
      if (AskOnce) break;
    }
  }
  FArchive = std::make_unique<TLFNFileStream>(FName, fmOpenRead | fmShareDenyWrite, false,
                                              static_cast<int>(FStreamBufferSize));
  FCurrentDisk = N - 1;
  FRecordedStamp = StampOf(FName);
  FZipName = FName;
  return FArchive.get();
}

void TArcUnZip::RequestNextDisk(int32_t N, std::string& FName) {
  if (OnGetNextDisk)
    OnGetNextDisk(this, N, FName);
  else
    AskForDisk(N, FName);
}

void TArcUnZip::AskForDisk(int32_t N, std::string& FName) {
  if (MultiMode() != mmSpan) return;
  std::string Text = LoadZipStr(zsInsertDisk);
  Text.replace(Text.find("%d"), 2, std::to_string(N));
  if (Text.size() > 255) Text.resize(255);
  FMessageText = Text;
  if (DoHandleMessage(zsInsertDisk, Text, "", platform::MB_OKCANCEL) == platform::IDCANCEL)
    FName.clear();
}

void TArcUnZip::NameSplitPart(std::string& FName, int32_t N, TSplitPartType SplitType) {
  if (OnFileNameForSplitPart)
    OnFileNameForSplitPart(this, FName, N, SplitType);
  else
    SplitPartName(FName, N, SplitType);
}

void TArcUnZip::SplitPartName(std::string& FName, int32_t N, TSplitPartType SplitType) const {
  if (FBlockMode == bmClassic)
    FName.append(".").append(ThreeDigits(N));
  else if (SplitType == spLast)
    FName += ".zip";
  else
    FName.append(".zip.").append(Format("z%2.2d", N));
}

bool TArcUnZip::DiskLabelMatches(int32_t N) const {
  if (MultiMode() != mmSpan) return true;
  const std::string Root = platform::AnsiUpperCase(LeftText(FZipName, 3));
  const std::string Label = LeftText(VolumeLabelOf(Root), 11);
  return RightText(Label, 3) == ThreeDigits(N);
}

}  // namespace zem
