// Card tool: backup, format, restore and disk copy.
#include "core/card_ops.h"

#include <cctype>
#include <exception>

#include "core/drives.h"
#include "core/image.h"
#include "platform/winapi.h"

namespace zem {

using platform::WindowServices;

// ---- Timer ----------------------------------------------------------------

TTimer::~TTimer() {
  if (FRunning) WindowServices().KillTimer(reinterpret_cast<uintptr_t>(this));
}

void TTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  UpdateTimer();
}

void TTimer::SetInterval(uint32_t Value) {
  if (Value == FInterval) return;
  FInterval = Value;
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  const auto Id = reinterpret_cast<uintptr_t>(this);
  if (FRunning) WindowServices().KillTimer(Id);
  FRunning = FEnabled && FInterval > 0;
  if (FRunning)
    WindowServices().SetTimer(Id, FInterval, [this] {
      if (OnTimer) OnTimer(this);
    });
}

// ---- Configuration ----------------------------------------------------------

int32_t PackLevelForChoice(int32_t Choice) {
  switch (Choice) {
    case kCompressNone:
      return 0;
    case kCompressFast:
      return 6;
    case kCompressHigh:
      return 9;
    default:
      return -1;
  }
}

void ConfigureCardComponent(TArcZip& Zip) {
  Zip.SetStorePaths(true);
  Zip.SetRecurse(true);
  Zip.SetZipAction(zaReplace);
  Zip.SetIncludeHiddenFiles(true);
  Zip.SetIncludeSysFiles(true);
  Zip.SetRecreateDirs(true);
  Zip.SetOverwriteMode(Always);
  Zip.SetDoAll(true);
  Zip.SetReplaceReadOnly(true);
  Zip.SetIncompleteZipMode(izAssumeNotAZip);
  Zip.MultiZipInfo().SetBlockSize(1457600);
}

std::string CardTempDir() {
  const std::string Dir = platform::GetTempPathA();
  if (Dir.empty()) throw EInOutError("The temporary folder cannot be found");
  return Dir;
}

// ---- Operations -------------------------------------------------------------

void BackupCard(const std::string& ArchivePath, const std::string& RootPath, TArcZip& Zip,
                int32_t Choice) {
  Zip.SetZipName(ArchivePath);
  // Zip would rebuild a file already there, keeping entries of files the
  // card no longer has; a backup starts from nothing instead.
  platform::DeleteFileA(ArchivePath.c_str());
  Zip.SetPassword(kCardPassword);
  Zip.SetTempPath(CardTempDir());
  CollectFiles("*.*", RootPath, Zip.FilesList());
  const int32_t Level = PackLevelForChoice(Choice);
  if (Level >= 0) Zip.SetPackLevel(Level);
  Zip.Zip();
  WrapImage(ArchivePath, RootPath.empty() ? '\0' : RootPath[0]);
}

uint32_t FormatCard(char Drive, TTimer& Timer) {
  const auto Index = static_cast<uint8_t>(std::toupper(static_cast<unsigned char>(Drive)) - 'A');
  Timer.SetEnabled(true);
  uint32_t Result;
  try {
    Result = WindowServices().SHFormatDrive(WindowServices().GetActiveWindow(), Index, 0,
                                            platform::SHFMT_OPT_FULL);
  } catch (...) {
    Timer.SetEnabled(false);
    throw;
  }
  Timer.SetEnabled(false);
  return Result;
}

namespace {

void ShowRestoreError(const char* Text) {
  WindowServices().MessageBox(WindowServices().GetActiveWindow(), Text, kTitleError,
                              platform::MB_OK);
}

}  // namespace

TRestoreOutcome RestoreCard(const std::string& ImagePath, const std::string& RootPath, TArcZip& Zip,
                            TTimer& Timer) {
  TRestoreOutcome Outcome;
  Zip.SetPassword(kCardPassword);
  Zip.SetTempPath(CardTempDir());
  Zip.SetZipName(Zip.TempPath() + kTempArchiveName);
  if (UnwrapImage(ImagePath, Zip.ZipName()) != kUnwrapDone) {
    ShowRestoreError(kMsgFileError);
    Outcome.Result = TRestoreResult::NotAnImage;
    return Outcome;
  }
  Zip.SetDestDir(RootPath);
  Zip.ReadDirectory();
  Outcome.Entries = Zip.Count();
  for (int32_t I = 0; I < Outcome.Entries; ++I) Outcome.Need += Zip.EntryUncompressedSize(I);
  const char Drive = RootPath.empty() ? '\0' : RootPath[0];
  const uint64_t Capacity = DriveCapacity(std::string(1, Drive));
  if (Outcome.Need > Capacity) {
    platform::DeleteFileA(Zip.ZipName().c_str());
    ShowRestoreError(kMsgTooSmall);
    Outcome.Result = TRestoreResult::TooSmall;
    return Outcome;
  }
  if (FormatCard(Drive, Timer) != 0) {
    ShowRestoreError(kMsgFormatError);
    Outcome.Result = TRestoreResult::FormatFailed;
    return Outcome;
  }
  // The window drops extraction errors; the outcome keeps them for callers
  // that must tell a partial restore.
  try {
    Outcome.Extracted = Zip.UnZip();
  } catch (const Exception& E) {
    Outcome.ExtractFailed = true;
    Outcome.ExtractError = E.Message();
  } catch (const std::exception& E) {
    Outcome.ExtractFailed = true;
    Outcome.ExtractError = E.what();
  }
  platform::DeleteFileA(Zip.ZipName().c_str());
  return Outcome;
}

TRestoreOutcome DiskCopyCard(const std::string& RootPath, TArcZip& Zip, TTimer& Timer,
                             platform::HWND Window,
                             const std::function<void(int32_t Position)>& SetProgress) {
  const std::string Image = CardTempDir() + kDiskCopyImageName;
  BackupCard(Image, RootPath, Zip, kCompressNone);
  WindowServices().MessageBox(Window, kMsgChangeCard, kTitleNotice, platform::MB_OK);
  const TRestoreOutcome Outcome = RestoreCard(Image, RootPath, Zip, Timer);
  WindowServices().MessageBox(Window, kMsgDiskCopyComplete, kTitleNotice, platform::MB_OK);
  if (SetProgress) SetProgress(0);
  platform::DeleteFileA(Image.c_str());
  return Outcome;
}

}  // namespace zem
