// Card tool: backup, format, restore and disk copy.
#include "core/card_ops.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "core/drives.h"
#include "core/image.h"
#include "platform/card_guard.h"
#include "platform/cleanup.h"
#include "archive/format/crc_crypt.h"
#include "platform/drives.h"
#include "platform/file_system.h"
#include "platform/stream.h"
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
  // A link that stays on the card is kept as a link; one that leaves it is
  // left out, reported: a backup never packs what lies outside the card.
  Zip.SetLinkMode(TLinkMode::StoreInside);
}

std::string CardTempDir() {
  const std::string Dir = platform::GetTempPathA();
  if (Dir.empty()) throw EInOutError("The temporary folder cannot be found");
  return Dir;
}

// ---- Operations -------------------------------------------------------------

namespace {

using platform::TCardIdentity;

// The shortest archive: its end record alone.
constexpr int64_t kEndRecordSize = 22;

char DriveOf(const std::string& RootPath) {
  return RootPath.empty() ? '\0'
                          : static_cast<char>(std::toupper(static_cast<unsigned char>(RootPath[0])));
}

// A work file in the temporary folder with a name of its own, removed when
// the object goes (and by the signal handlers while it lives).
class TWorkFile {
 public:
  explicit TWorkFile(const char* Prefix) {
    const std::string Dir = CardTempDir();
    FName = platform::CreateCleanupFileA(Dir, Prefix, kWorkFileExtension);
    if (FName.empty())
      throw EInOutError("A work file cannot be made in " + Dir + ": " +
                        platform::SysErrorMessage(platform::GetLastError()));
    FNative = platform::ToNativePath(FName);
  }
  ~TWorkFile() {
    platform::DeleteFileA(FName.c_str());
    platform::UnregisterCleanupPath(FNative);
  }
  TWorkFile(const TWorkFile&) = delete;
  TWorkFile& operator=(const TWorkFile&) = delete;
  const std::string& Name() const { return FName; }

 private:
  std::string FName, FNative;
};

// The card in Drive, locked for this operation. Raises ECardError when
// the drive holds no card or another operation holds it.
struct TLockedCard {
  explicit TLockedCard(char Drive) {
    const std::optional<TCardIdentity> Found = platform::ResolveCard(Drive);
    if (!Found) throw ECardError(kMsgNoDisk);
    Identity = *Found;
    Lock = std::make_unique<platform::TCardLock>(Identity);
    if (!Lock->Held()) throw ECardError(kMsgCardBusy);
  }
  TCardIdentity Identity;
  std::unique_ptr<platform::TCardLock> Lock;
};

void ShowRestoreError(const std::string& Text) {
  WindowServices().MessageBox(WindowServices().GetActiveWindow(), Text, kTitleError,
                              platform::MB_OK);
}

// Puts a component handler back however the scope is left.
template <class T>
class THandlerScope {
 public:
  THandlerScope(T& Slot, T Value) : FSlot(Slot), FSaved(std::move(Slot)) { FSlot = std::move(Value); }
  ~THandlerScope() { FSlot = std::move(FSaved); }
  THandlerScope(const THandlerScope&) = delete;
  THandlerScope& operator=(const THandlerScope&) = delete;

 private:
  T& FSlot;
  T FSaved;
};

// Reads the directory of Zip's archive and tests every entry (password and
// CRC) without writing anything. False with Outcome.Cause set when the
// archive has no valid end record, cannot be read, or any entry fails.
bool TestArchive(TArcZip& Zip, TRestoreOutcome& Outcome) {
  bool Incomplete = false;
  std::vector<std::string> Failed;
  THandlerScope<TArcUnZip::TInCompleteZipEvent> NoQuestion(
      Zip.OnInCompleteZip, [&](TObject*, TIncompleteZipMode& Mode) {
        Incomplete = true;
        Mode = izAssumeNotAZip;
      });
  THandlerScope<TArcUnZip::TSkippingFileEvent> Collect(
      Zip.OnSkippingFile,
      [&](TObject*, TSkipReason, const std::string& Name, int32_t, bool&) { Failed.push_back(Name); });
  try {
    // An archive too short to hold an end record reads as an empty one; a
    // real empty archive (a card without files) has its end record.
    if (TFileStream(Zip.ZipName(), fmOpenRead).Size() < kEndRecordSize) {
      Outcome.Cause = "the archive is empty: it has no end record";
      return false;
    }
    Zip.ReadDirectory();
    if (Incomplete || Zip.ScanMode()) {
      Outcome.Cause = "the archive has no valid end record";
      return false;
    }
    Outcome.Entries = Zip.Count();
    const int32_t Passed = Outcome.Entries > 0 ? Zip.TestZip() : 0;
    if (Passed < Outcome.Entries) {
      Outcome.Cause = Format("%d of %d files failed their check", Outcome.Entries - Passed,
                             Outcome.Entries);
      if (!Failed.empty()) Outcome.Cause += " (" + Failed.front() + (Failed.size() > 1 ? ", ...)" : ")");
      return false;
    }
  } catch (const EUserCanceled&) {
    throw;
  } catch (const Exception& E) {
    Outcome.Cause = Incomplete ? "the archive has no valid end record" : E.Message();
    return false;
  }
  return true;
}

// The room the archive's entries take on a volume with allocation unit
// Unit: every file rounded up to whole units, and one unit for each folder
// (named by an entry or on the way to one).
uint64_t RoomNeeded(const TArcZip& Zip, uint64_t Unit) {
  uint64_t Need = 0;
  std::set<std::string> Folders;
  for (int32_t I = 0; I < Zip.Count(); ++I) {
    std::string Name = Zip.EntryName(I);
    for (char& C : Name)
      if (C == '/') C = '\\';
    const bool Folder = !Name.empty() && Name.back() == '\\';
    if (Folder) {
      Name.pop_back();
      if (!Name.empty()) Folders.insert(Name);
    } else {
      const uint64_t Size = Zip.EntryUncompressedSize(I);
      Need += (Size + Unit - 1) / Unit * Unit;
    }
    for (size_t At = Name.find('\\'); At != std::string::npos; At = Name.find('\\', At + 1))
      if (At > 0) Folders.insert(Name.substr(0, At));
  }
  return Need + Folders.size() * Unit;
}


// The progress of one step of an operation shown as the part [From, To]
// of the whole, for as long as the object lives.
class TProgressShare {
 public:
  TProgressShare(TArcUnZip& Zip, int32_t From, int32_t To)
      : FScope(Zip.OnTotalPercentDone, Scaled(Zip.OnTotalPercentDone, From, To)) {}

 private:
  static TArcUnZip::TPercentDoneEvent Scaled(TArcUnZip::TPercentDoneEvent Outer, int32_t From,
                                             int32_t To) {
    if (!Outer) return nullptr;
    return [Outer, From, To](TObject* Sender, int32_t Percent) {
      Outer(Sender, From + (To - From) * std::clamp(Percent, 0, 100) / 100);
    };
  }
  THandlerScope<TArcUnZip::TPercentDoneEvent> FScope;
};

// Reads every file the restore wrote back from the card (out of the page
// cache; the card's file system was synced whole before, so the files are
// not synced one by one) and checks it against its entry's CRC. Returns one line
// per file that differs or cannot be read; reports its progress as
// From..100 of the whole through Zip's OnTotalPercentDone.
std::vector<std::string> VerifyRestored(TArcZip& Zip, const std::string& RootPath, int32_t From) {
  std::string Base = RootPath;
  if (Base.empty() || Base.back() != '\\') Base += '\\';
  uint64_t Total = 0, Done = 0;
  for (int32_t I = 0; I < Zip.Count(); ++I) Total += Zip.EntryUncompressedSize(I);
  auto Report = [&] {
    if (Zip.OnTotalPercentDone)
      Zip.OnTotalPercentDone(&Zip, From + static_cast<int32_t>((100 - From) * (Total == 0 ? 1.0 : static_cast<double>(Done) / static_cast<double>(Total))));
  };
  // While one file is read, the small files after it are asked for from
  // the device already (dropped from the page cache, then read ahead), so
  // that the device has several requests at a time instead of one wait
  // per file. Large files bring their own read-ahead as they are read.
  constexpr int32_t kAheadFiles = 64;
  constexpr uint64_t kAheadBytes = uint64_t{16} << 20, kAheadFileMax = uint64_t{4} << 20;
  auto Aheadable = [](const TZipHeaderInfo& E) {
    return !E.FileName().empty() && !E.IsSymLink() && E.UncompressedSize() <= kAheadFileMax;
  };
  std::vector<char> Asked(static_cast<size_t>(Zip.Count()), 0);
  int32_t Next = 0, InFlight = 0;
  uint64_t InFlightBytes = 0;
  auto AskAhead = [&] {
    for (; Next < Zip.Count() && InFlight < kAheadFiles; ++Next) {
      const TZipHeaderInfo& E = Zip.EntryHeader(Next);
      if (!Aheadable(E)) continue;
      if (InFlight > 0 && InFlightBytes + E.UncompressedSize() > kAheadBytes) break;
      if (platform::PrefetchFromDevice(platform::ToNativePath(Base + E.FullName()), /*VolumeSynced=*/true) != 0)
        continue;
      Asked[static_cast<size_t>(Next)] = 1;
      ++InFlight;
      InFlightBytes += E.UncompressedSize();
    }
  };
  std::vector<std::string> Differ;
  for (int32_t I = 0; I < Zip.Count(); ++I) {
    const TZipHeaderInfo& E = Zip.EntryHeader(I);
    if (E.FileName().empty()) continue;  // a folder entry
    AskAhead();
    const bool Prefetched = Asked[static_cast<size_t>(I)] != 0;
    if (Prefetched) {
      --InFlight;
      InFlightBytes -= E.UncompressedSize();
    }
    const std::string Native = platform::ToNativePath(Base + E.FullName());
    if (E.IsSymLink()) {
      // A link's data is its target: the link on the card must say it.
      std::string Target;
      platform::TFileInfo Info;
      if (!platform::GetLinkInfo(Base + E.FullName(), Target, Info))
        Differ.push_back(Native + ": the symbolic link is not on the card");
      else if (Target.size() != E.UncompressedSize() ||
               ~UpdateCrcBuffer(0xFFFFFFFFu, Target.data(), Target.size()) != E.Crc32())
        Differ.push_back(Native + ": the symbolic link on the card points elsewhere than in the backup");
      Done += E.UncompressedSize();
      continue;
    }
    uint32_t Crc = 0xFFFFFFFFu;
    uint64_t Size = 0;
    bool Synced = false;
    const int Error = platform::ReadFromDevice(
        Native,
        [&](const void* Data, size_t Count) {
          Crc = UpdateCrcBuffer(Crc, Data, Count);
          Size += Count;
          Done += Count;
          Report();
        },
        &Synced, /*VolumeSynced=*/true, Prefetched);
    Crc = ~Crc;
    if (Error != 0)
      Differ.push_back(Native + (Synced ? ": cannot be read back from the card: "
                                        : ": cannot be flushed to the card: ") +
                       platform::SysErrorMessage(platform::ErrnoToWinError(Error)));
    else if (Size != E.UncompressedSize() || Crc != E.Crc32())
      Differ.push_back(Native + ": differs from the backup when read back from the card");
  }
  Done = Total;  // files that could not be read count as done
  Report();
  return Differ;
}

void ShowIncomplete(const std::vector<std::string>& Lines) {
  std::string Text = kMsgJobIncomplete;
  for (const std::string& Line : Lines) Text += "\n" + Line;
  WindowServices().MessageBox(WindowServices().GetActiveWindow(), Text, kTitleError,
                              platform::MB_OK);
}

}  // namespace

TBackupOutcome BackupCard(const std::string& ArchivePath, const std::string& RootPath, TArcZip& Zip,
                          int32_t Choice) {
  const TLockedCard Card(DriveOf(RootPath));
  TBackupOutcome Outcome;
  auto LeaveOut = [&](const std::string& Name, const std::string& Reason) {
    Outcome.LeftOut.push_back(platform::ToNativePath(Name) + ": " + Reason);
  };
  Zip.SetZipName(ArchivePath);
  // Zip would rebuild a file already there, keeping entries of files the
  // card no longer has; a backup starts from nothing instead.
  if (!platform::DeleteFileA(ArchivePath.c_str())) {
    const uint32_t Error = platform::GetLastError();
    if (platform::FileExists(ArchivePath))
      throw EImageNotReplaced(Format("%s cannot be replaced: %s",
                                     platform::ToNativePath(ArchivePath).c_str(),
                                     platform::SysErrorMessage(Error).c_str()));
  }
  Zip.SetPassword(kCardPassword);
  Zip.SetTempPath(CardTempDir());
  Zip.SetLinkRoot(RootPath);
  TCardWalk Walk;
  Walk.EmptyFolders = true;
  CollectFiles("*.*", RootPath, Zip.FilesList(), &Walk);
  for (const auto& [Name, Reason] : Walk.LeftOut) LeaveOut(Name, Reason);
  const int32_t Level = PackLevelForChoice(Choice);
  if (Level >= 0) Zip.SetPackLevel(Level);
  // Zip's OnZipComplete says the job is complete: it waits for the image's
  // test.
  auto CompleteChained = Zip.OnZipComplete;
  std::optional<std::pair<TObject*, int32_t>> Zipped;
  {
    auto SkipChained = Zip.OnSkippingFile;
    THandlerScope<TArcUnZip::TSkippingFileEvent> Skips(
        Zip.OnSkippingFile,
        [&](TObject* Sender, TSkipReason Reason, const std::string& Name, int32_t Index, bool& Retry) {
          LeaveOut(Name, Zip.SkipCause().empty() ? "could not be packed" : Zip.SkipCause());
          if (SkipChained) SkipChained(Sender, Reason, Name, Index, Retry);
        });
    auto GoneChained = Zip.OnNoSuchFile;
    THandlerScope<TArcZip::TNoSuchFileEvent> Gone(Zip.OnNoSuchFile,
                                                  [&](TObject* Sender, const std::string& Name) {
                                                    LeaveOut(Name, "vanished before it was read");
                                                    if (GoneChained) GoneChained(Sender, Name);
                                                  });
    THandlerScope<TArcZip::TZipCompleteEvent> Complete(
        Zip.OnZipComplete, [&](TObject* Sender, int32_t Count) { Zipped.emplace(Sender, Count); });
    const TProgressShare Share(Zip, 0, 80);
    Zip.Zip();
  }
  // A card whose every file failed leaves no archive to wrap: the list of
  // what was left out says why.
  const bool ZipLeftOut = Outcome.LeftOut.size() > Walk.LeftOut.size();
  if (ZipLeftOut && !platform::FileExists(ArchivePath)) {
    Outcome.TestFailure = "no image was written: no file of the card could be packed";
  } else {
    WrapImage(ArchivePath, DriveOf(RootPath));
    try {
      // The image as written, read back whole by a component of its own
      // (Zip keeps the directory of what it wrote).
      const TWorkFile Check(kTempArchivePrefix);
      const TImageArchive InPlace(ArchivePath, Check.Name());
      TArcZip Checker;
      ConfigureCardComponent(Checker);
      Checker.SetThreads(Zip.Threads());
      Checker.SetPassword(kCardPassword);
      Checker.SetDoProcessMessages(Zip.DoProcessMessages());
      if (auto Outer = Zip.OnTotalPercentDone)
        Checker.OnTotalPercentDone = [Outer](TObject* Sender, int32_t Percent) {
          Outer(Sender, 80 + 20 * std::clamp(Percent, 0, 100) / 100);
        };
      TRestoreOutcome Tested;
      Checker.SetZipName(Check.Name());
      if (!InPlace.IsImage())
        Outcome.TestFailure = "the image was not written as an image";
      else if (!TestArchive(Checker, Tested))
        Outcome.TestFailure = "the image failed its test: " + Tested.Cause;
    } catch (const EUserCanceled&) {
      // Cancelled before the image passed its test: no image is kept.
      platform::DeleteFileA(ArchivePath.c_str());
      throw;
    }
  }
  if (!Outcome.Complete()) {
    std::vector<std::string> Lines;
    if (!Outcome.LeftOut.empty())
      Lines.push_back(Format("%d files or folders were left out:", static_cast<int>(Outcome.LeftOut.size())));
    Lines.insert(Lines.end(), Outcome.LeftOut.begin(), Outcome.LeftOut.end());
    if (!Outcome.TestFailure.empty()) Lines.push_back(Outcome.TestFailure);
    ShowIncomplete(Lines);
  } else if (Zipped && CompleteChained) {
    CompleteChained(Zipped->first, Zipped->second);
  }
  return Outcome;
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

uint32_t FormatCardAlone(char Drive, TTimer& Timer) {
  if (!platform::ResolveCard(Drive)) return platform::SHFMT_NOFORMAT;
  const TLockedCard Card(Drive);
  const platform::TCardPin Pin(Card.Identity);
  return FormatCard(Drive, Timer);
}

TRestoreOutcome RestoreCard(const std::string& ImagePath, const std::string& RootPath, TArcZip& Zip,
                            TTimer& Timer) {
  TRestoreOutcome Outcome;
  auto Fail = [&](TRestoreResult Result, const std::string& Text, const std::string& Cause) {
    Outcome.Result = Result;
    if (Outcome.Cause.empty()) Outcome.Cause = Cause;
    std::string Shown = Outcome.Cause.empty() || Outcome.Cause == Text ? Text : Text + "\n" + Outcome.Cause;
    if (!Outcome.Removal.empty()) Shown += "\n" + Outcome.Removal;
    ShowRestoreError(Shown);
    return Outcome;
  };
  const char Drive = DriveOf(RootPath);
  const TLockedCard Card(Drive);
  const std::string Why =
      platform::ErasureRefusal(Card.Identity.MountPoint, platform::ToNativePath(ImagePath));
  if (!Why.empty()) throw ECardError(std::string(kMsgCardRefused) + ": " + Why + ".");
  platform::TCardPin Pin(Card.Identity);
  // Whether drive Drive still shows the card this restore started on.
  auto StillThere = [&] {
    const std::optional<TCardIdentity> Now = platform::ResolveCard(Drive);
    return Now && Now->SameCard(Card.Identity);
  };

  // The archive is read inside the image, in place: a name of this run's
  // own opens as the archive for as long as the restore lasts.
  const TWorkFile Archive(kTempArchivePrefix);
  Zip.SetPassword(kCardPassword);
  Zip.SetTempPath(CardTempDir());
  Zip.SetZipName(Archive.Name());
  const TImageArchive InPlace(ImagePath, Zip.ZipName());
  if (!InPlace.IsImage()) return Fail(TRestoreResult::NotAnImage, kMsgFileError, "");
  Zip.SetDestDir(RootPath);
  auto Cancelled = [&](const std::string& Text) {
    Outcome.Result = TRestoreResult::Cancelled;
    WindowServices().MessageBox(WindowServices().GetActiveWindow(),
                                Outcome.Removal.empty() ? Text : Text + "\n" + Outcome.Removal,
                                kTitleMessage, platform::MB_OK);
    return Outcome;
  };
  // The progress: the test to 30%, the extraction to 80%, the read-back to 100%.
  std::optional<TProgressShare> Share(std::in_place, Zip, 0, 30);
  try {
    if (!TestArchive(Zip, Outcome)) return Fail(TRestoreResult::Damaged, kMsgImageDamaged, "");
  } catch (const EUserCanceled&) {
    return Cancelled(kMsgRestoreCancelled);
  }
  Share.reset();

  uint64_t Unit = 0;
  if (!platform::CardRoom(Drive, Outcome.Room, Unit))
    return Fail(TRestoreResult::CardChanged, kMsgCardChanged,
                platform::SysErrorMessage(platform::GetLastError()));
  Outcome.Need = RoomNeeded(Zip, Unit);
  if (Outcome.Need > Outcome.Room)
    return Fail(TRestoreResult::TooSmall, kMsgTooSmall,
                Format("the files need %s, the card offers %s", HumanSize(Outcome.Need).c_str(),
                       HumanSize(Outcome.Room).c_str()));

  if (!StillThere()) return Fail(TRestoreResult::CardChanged, kMsgCardChanged, "");
  const bool NewFileSystem = platform::DriveTable().MakesFileSystems(Drive);
  platform::SetLastError(platform::ERROR_SUCCESS);
  const uint32_t Formatted = FormatCard(Drive, Timer);
  if (Formatted == platform::SHFMT_CANCEL) return Cancelled(kMsgRestoreCancelled);
  if (Formatted != 0) {
    const uint32_t Error = platform::GetLastError();
    const std::string Failure = platform::DriveTable().LastFailure();
    if (!NewFileSystem && !StillThere())
      return Fail(TRestoreResult::CardChanged, kMsgCardChanged, "");
    // A refusal touches nothing; a format that began and stopped may have
    // erased part of the card.
    std::string Cause;
    if (Formatted == platform::SHFMT_ERROR && Error != platform::ERROR_SUCCESS &&
        Error != platform::ERROR_INVALID_DRIVE && Error != platform::ERROR_NOT_READY &&
        Error != platform::ERROR_INVALID_PARAMETER)
      Cause = std::string(kMsgFormatPartial) + ": " + platform::SysErrorMessage(Error) +
              (Failure.empty() ? "" : ": " + Failure);
    return Fail(TRestoreResult::FormatFailed, kMsgFormatError, Cause);
  }
  // A new file system is a new volume on the same device: the pin follows
  // it. An emptied card must be the very same.
  const std::optional<TCardIdentity> After = platform::ResolveCard(Drive);
  const bool Same = After && (NewFileSystem ? !After->Device.empty() &&
                                                  After->Device == Card.Identity.Device
                                            : After->SameCard(Card.Identity));
  if (!Same) return Fail(TRestoreResult::CardChanged, kMsgCardChanged, "");
  Pin.Update(*After);

  // The entries written whole, for an extraction that stops part way.
  int32_t Written = 0;
  auto Chained = Zip.OnEndUnZip;
  THandlerScope<TArcUnZip::TEndUnZipEvent> CountWritten(
      Zip.OnEndUnZip, [&](TObject* Sender, int32_t I, const std::string& Name) {
        ++Written;
        if (Chained) Chained(Sender, I, Name);
      });
  bool UserCancelled = false;
  Share.emplace(Zip, 30, 80);
  try {
    Outcome.Extracted = Zip.UnZip();
  } catch (const EUserCanceled& E) {
    UserCancelled = Outcome.ExtractFailed = true;
    Outcome.ExtractError = E.Message();
  } catch (const Exception& E) {
    Outcome.ExtractFailed = true;
    Outcome.ExtractError = E.Message();
  } catch (const std::exception& E) {
    Outcome.ExtractFailed = true;
    Outcome.ExtractError = E.what();
  }
  // Files a worker had put in place when the run stopped are on the card
  // too, whole, though their ends were never raised.
  if (Outcome.ExtractFailed) Outcome.Extracted = Written + Zip.PlacedUnreported();
  const std::optional<TCardIdentity> End = platform::ResolveCard(Drive);
  if (!End || !End->SameCard(*After))
    return Fail(TRestoreResult::CardChanged, kMsgCardChanged,
                Format("%d of %d files were restored before", Outcome.Extracted, Outcome.Entries));
  Share.reset();
  // From here on the card holds what this restore wrote. Everything is
  // flushed to it before anything is said of it, and, where the drive
  // table can, it is unmounted at the end, failed or not, so it can be
  // pulled.
  const int FlushError = platform::SyncVolume(After->MountPoint);
  auto Release = [&] {
    platform::TDriveTable& Table = platform::DriveTable();
    if (Table.Unmount(Drive)) {
      Outcome.Unmounted = true;
      Outcome.Removal = kMsgCardUnmounted;
    } else if (platform::GetLastError() != platform::ERROR_NOT_SUPPORTED) {
      const std::string Reason = Table.LastFailure().empty()
                                  ? platform::SysErrorMessage(platform::GetLastError())
                                  : Table.LastFailure();
      Outcome.Removal = Format(kMsgCardStillMounted, Reason.c_str());
    }
  };
  if (UserCancelled) {
    Release();
    return Cancelled(Format(kMsgRestoreStopped, Outcome.Extracted, Outcome.Entries));
  }
  if (Outcome.ExtractFailed || Outcome.Extracted < Outcome.Entries) {
    Release();
    return Fail(TRestoreResult::Incomplete,
                Format(kMsgNotRestored, Outcome.Entries - Outcome.Extracted, Outcome.Entries),
                Outcome.ExtractFailed ? Outcome.ExtractError : "");
  }
  if (FlushError != 0) {
    Release();
    return Fail(TRestoreResult::Incomplete, kMsgNotFlushed,
                "the card did not take what was written to it: " +
                    platform::SysErrorMessage(platform::ErrnoToWinError(FlushError)));
  }
  // What the card gives back, not what the page cache kept: a card that
  // drops or garbles writes (a fake capacity, a worn card) shows here.
  // A cancel during the read-back leaves every file on the card, unchecked.
  try {
    Outcome.Differ = VerifyRestored(Zip, RootPath, 80);
  } catch (const EUserCanceled&) {
    Release();
    return Cancelled(Format(kMsgRestoreStopped, Outcome.Extracted, Outcome.Entries) +
                     std::string(" ") + kMsgNotReadBack);
  }
  Release();
  if (!Outcome.Differ.empty()) {
    std::string Cause = Format("%d files differ from the backup on the card:",
                               static_cast<int>(Outcome.Differ.size()));
    for (const std::string& Line : Outcome.Differ) Cause += "\n" + Line;
    return Fail(TRestoreResult::Incomplete,
                Format(kMsgNotRestored, static_cast<int>(Outcome.Differ.size()), Outcome.Entries),
                Cause);
  }
  return Outcome;
}

TRestoreOutcome DiskCopyCard(const std::string& RootPath, TArcZip& Zip, TTimer& Timer,
                             platform::HWND Window,
                             const std::function<void(int32_t Position)>& SetProgress) {
  struct TResetProgress {
    const std::function<void(int32_t)>& Set;
    ~TResetProgress() {
      if (Set) Set(0);
    }
  } Reset{SetProgress};
  // The card read, told apart from the one written: formatting it would
  // leave its files only in the work image, which goes at the end.
  const std::optional<TCardIdentity> Source = platform::ResolveCard(DriveOf(RootPath));
  const TWorkFile Image(kDiskCopyImagePrefix);
  const TBackupOutcome Backup = BackupCard(Image.Name(), RootPath, Zip, kCompressNone);
  if (!Backup.Complete()) {
    // Shown already; a copy that would lack files is not made.
    TRestoreOutcome Stopped;
    Stopped.Result = TRestoreResult::Incomplete;
    Stopped.Cause = Backup.TestFailure.empty()
                        ? Format("%d files or folders of the card could not be read",
                                 static_cast<int>(Backup.LeftOut.size()))
                        : Backup.TestFailure;
    return Stopped;
  }
  if (WindowServices().MessageBox(Window, kMsgChangeCard, kTitleNotice, platform::MB_OKCANCEL) ==
      platform::IDCANCEL) {
    WindowServices().MessageBox(Window, kMsgDiskCopyCancelled, kTitleNotice, platform::MB_OK);
    TRestoreOutcome Outcome;
    Outcome.Result = TRestoreResult::Cancelled;
    return Outcome;
  }
  if (const std::optional<TCardIdentity> Target = platform::ResolveCard(DriveOf(RootPath));
      Source && Target &&
      (Target->SameCard(*Source) ||
       (!Source->VolumeId.empty() && Target->Device == Source->Device &&
        Target->VolumeId == Source->VolumeId))) {
    WindowServices().MessageBox(Window, kMsgDiskCopySameCard, kTitleError, platform::MB_OK);
    TRestoreOutcome Outcome;
    Outcome.Result = TRestoreResult::SameCard;
    Outcome.Cause = kMsgDiskCopySameCard;
    return Outcome;
  }
  const TRestoreOutcome Outcome = RestoreCard(Image.Name(), RootPath, Zip, Timer);
  if (Outcome.Complete())
    WindowServices().MessageBox(Window,
                                Outcome.Removal.empty() ? std::string(kMsgDiskCopyComplete)
                                                        : kMsgDiskCopyComplete + ("\n" + Outcome.Removal),
                                kTitleNotice, platform::MB_OK);
  return Outcome;
}

}  // namespace zem
