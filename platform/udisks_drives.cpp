// The UDisks2 drive table and the choice of the machine's table.
//
// Two bus connections: one for method calls, used only under the table's
// lock by the threads that use the table, and one that runs its own event
// loop thread for the daemon's signals. A signal only marks the cached
// drives stale and reports the change; the next Drives() re-reads them.
#include "platform/udisks_drives.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>

#include "platform/winapi.h"

#ifdef ZEM_WITH_UDISKS
#include <sdbus-c++/sdbus-c++.h>
#endif

namespace zem::platform {

std::unique_ptr<TDriveTable> MakeSystemDriveTable() {
  try {
    return std::make_unique<TUDisksDriveTable>();
  } catch (const EDriveServiceUnavailable&) {
    return std::make_unique<TLinuxDriveTable>();
  }
}

#ifndef ZEM_WITH_UDISKS

struct TUDisksDriveTable::TState {};

TUDisksDriveTable::TUDisksDriveTable(const std::string&) {
  throw EDriveServiceUnavailable("this build has no D-Bus client for UDisks2");
}
TUDisksDriveTable::~TUDisksDriveTable() = default;
std::vector<TDriveEntry> TUDisksDriveTable::Drives() { return {}; }
bool TUDisksDriveTable::SetLabel(char, const std::string&) { return false; }
bool TUDisksDriveTable::MakesFileSystems(char) { return false; }
bool TUDisksDriveTable::MakeFileSystem(const TDriveEntry&, const std::string&, const std::string&) {
  return false;
}
TEjectResult TUDisksDriveTable::Eject(char) { return TEjectResult::Failed; }
bool TUDisksDriveTable::Unmount(char) { return false; }

#else

namespace {

constexpr char kService[] = "org.freedesktop.UDisks2";
constexpr char kManagerPath[] = "/org/freedesktop/UDisks2";
constexpr char kObjectManager[] = "org.freedesktop.DBus.ObjectManager";
constexpr char kBlock[] = "org.freedesktop.UDisks2.Block";
constexpr char kFilesystem[] = "org.freedesktop.UDisks2.Filesystem";
constexpr char kPartitionTable[] = "org.freedesktop.UDisks2.PartitionTable";
constexpr char kDrive[] = "org.freedesktop.UDisks2.Drive";

constexpr auto kQueryTimeout = std::chrono::seconds(10);
constexpr auto kMountTimeout = std::chrono::minutes(2);
// Making a file system writes little, but a slow card takes its time.
constexpr auto kFormatTimeout = std::chrono::minutes(15);

using TProps = std::map<std::string, sdbus::Variant>;
using TInterfaces = std::map<std::string, TProps>;
using TObjects = std::map<sdbus::ObjectPath, TInterfaces>;

template <class T>
T Prop(const TProps& Props, const char* Name, T Default = T{}) {
  const auto It = Props.find(Name);
  if (It == Props.end()) return Default;
  try {
    return It->second.get<T>();
  } catch (const sdbus::Error&) {
    return Default;
  }
}

// UDisks2 gives paths as NUL-terminated byte arrays.
std::string Bytes(const std::vector<uint8_t>& B) {
  std::string S(B.begin(), B.end());
  if (const size_t Nul = S.find('\0'); Nul != std::string::npos) S.resize(Nul);
  return S;
}

// One file system as the daemon describes it.
struct TVolume {
  std::string Object;  // the block object's path
  std::string Device;
  std::string Identity;
  std::string Label, FsType;
  std::vector<std::string> MountPoints;
  bool Card = false;  // a volume of a user's card (see the class comment)
  std::string Drive;  // the drive object's path, "" for none (a loop device)
  bool CanPowerOff = false, Ejectable = false;
};

std::vector<TVolume> VolumesOf(const TObjects& Objects) {
  std::vector<TVolume> Out;
  for (const auto& [Path, Interfaces] : Objects) {
    const auto Block = Interfaces.find(kBlock);
    const auto Fs = Interfaces.find(kFilesystem);
    if (Block == Interfaces.end() || Fs == Interfaces.end()) continue;
    const TProps& B = Block->second;
    TVolume V;
    V.Object = Path;
    V.Device = Bytes(Prop<std::vector<uint8_t>>(B, "Device"));
    V.Label = Prop<std::string>(B, "IdLabel");
    V.FsType = Prop<std::string>(B, "IdType");
    const std::string Id = Prop<std::string>(B, "Id");
    V.Identity = (Id.empty() ? V.Device : Id) + " " + Prop<std::string>(B, "IdUUID");
    for (const auto& Point : Prop<std::vector<std::vector<uint8_t>>>(Fs->second, "MountPoints"))
      V.MountPoints.push_back(Bytes(Point));
    std::sort(V.MountPoints.begin(), V.MountPoints.end());
    V.Drive = Prop<sdbus::ObjectPath>(B, "Drive");
    bool Removable = false;
    if (const auto D = Objects.find(sdbus::ObjectPath(V.Drive)); D != Objects.end()) {
      if (const auto Drive = D->second.find(kDrive); Drive != D->second.end()) {
        Removable = Prop<bool>(Drive->second, "Removable") || Prop<bool>(Drive->second, "MediaRemovable");
        V.Ejectable = Prop<bool>(Drive->second, "Ejectable");
        V.CanPowerOff = Prop<bool>(Drive->second, "CanPowerOff");
      }
    } else {
      V.Drive.clear();
    }
    const bool System = Prop<bool>(B, "HintSystem", true) && !Removable && !V.Ejectable;
    V.Card = !System && !Prop<bool>(B, "HintIgnore") && !V.Device.empty() &&
             Interfaces.find(kPartitionTable) == Interfaces.end() &&
             std::find(V.MountPoints.begin(), V.MountPoints.end(), "/") == V.MountPoints.end();
    Out.push_back(std::move(V));
  }
  std::sort(Out.begin(), Out.end(),
            [](const TVolume& A, const TVolume& B) { return A.Device < B.Device; });
  return Out;
}

uint32_t ErrorCodeOf(const sdbus::Error& E) {
  const std::string& Name = E.getName();
  if (Name.find("NotAuthorized") != std::string::npos) return ERROR_ACCESS_DENIED;
  if (Name.find("DeviceBusy") != std::string::npos) return ERROR_SHARING_VIOLATION;
  if (Name.find("NotSupported") != std::string::npos) return ERROR_NOT_SUPPORTED;
  if (Name.find("Timeout") != std::string::npos || Name.find("NoReply") != std::string::npos)
    return ERROR_NOT_READY;
  return ERROR_GEN_FAILURE;
}

}  // namespace

struct TUDisksDriveTable::TState {
  std::unique_ptr<sdbus::IConnection> Calls, Signals;
  std::unique_ptr<sdbus::IProxy> Manager;
  sdbus::Slot Match;
  bool Watching = false;
  std::atomic<bool> Stale{true};
  std::mutex Lock;  // everything below, and the use of Calls
  std::vector<TDriveEntry> Cache;
  std::map<std::string, char> Letters;  // block object -> letter
  std::set<std::string> Held;           // objects keeping their letter while unmounted

  TObjects Objects() {
    TObjects Out;
    Manager->callMethod("GetManagedObjects")
        .onInterface(kObjectManager)
        .withTimeout(kQueryTimeout)
        .storeResultsTo(Out);
    return Out;
  }
  std::unique_ptr<sdbus::IProxy> Proxy(const std::string& Object) {
    return sdbus::createProxy(*Calls, kService, Object);
  }
  void Reload();
  // The card volume under Letter as the daemon has it now, if any.
  std::optional<TVolume> CardAt(char Letter);
};

void TUDisksDriveTable::TState::Reload() {
  Stale = false;  // a signal from now on marks the new reading stale again
  const std::vector<TVolume> Volumes = VolumesOf(Objects());
  std::map<std::string, const TVolume*> Present;
  for (const TVolume& V : Volumes)
    if (V.Card && !V.MountPoints.empty()) Present[V.Object] = &V;
  std::erase_if(Letters, [&](const auto& L) { return !Present.count(L.first) && !Held.count(L.first); });

  std::vector<TDriveEntry> Drives;
  {
    const std::vector<TDriveEntry> Local = TLinuxDriveTable().Drives();
    TDriveEntry System;
    if (!Local.empty() && Local.front().Letter == 'C') System = Local.front();
    System.Letter = 'C';
    System.MountPoint = "/";
    System.Type = DRIVE_FIXED;
    Drives.push_back(System);
  }
  for (const TVolume& V : Volumes) {
    if (!Present.count(V.Object)) continue;
    auto Known = Letters.find(V.Object);
    if (Known == Letters.end()) {
      char Free = 0;
      for (char L = 'D'; L <= 'Z' && Free == 0; ++L) {
        if (std::none_of(Letters.begin(), Letters.end(), [L](const auto& E) { return E.second == L; }))
          Free = L;
      }
      if (Free == 0) continue;  // more cards than letters
      Known = Letters.emplace(V.Object, Free).first;
    }
    TDriveEntry E;
    E.Letter = Known->second;
    E.MountPoint = V.MountPoints.front();
    E.Type = DRIVE_REMOVABLE;
    E.Label = V.Label;
    E.FileSystem = V.FsType;
    E.Device = V.Device;
    E.Identity = V.Identity;
    Drives.push_back(E);
  }
  std::sort(Drives.begin(), Drives.end(),
            [](const TDriveEntry& A, const TDriveEntry& B) { return A.Letter < B.Letter; });
  Cache = std::move(Drives);
}

std::optional<TVolume> TUDisksDriveTable::TState::CardAt(char Letter) {
  Reload();
  for (const auto& [Object, L] : Letters) {
    if (L != Letter) continue;
    for (TVolume& V : VolumesOf(Objects()))
      if (V.Object == Object && V.Card) return V;
  }
  return std::nullopt;
}

TUDisksDriveTable::TUDisksDriveTable(const std::string& BusAddress) : F(std::make_unique<TState>()) {
  try {
    auto Connect = [&] {
      return BusAddress.empty() ? sdbus::createSystemBusConnection()
                                : sdbus::createSessionBusConnectionWithAddress(BusAddress);
    };
    F->Calls = Connect();
    F->Signals = Connect();
    F->Manager = sdbus::createProxy(*F->Calls, kService, kManagerPath);
    F->Objects();  // UDisks2 answers (or is started by the bus)
  } catch (const sdbus::Error& E) {
    throw EDriveServiceUnavailable("UDisks2 is not available: " + E.getMessage());
  }
}

TUDisksDriveTable::~TUDisksDriveTable() {
  if (F->Watching) F->Signals->leaveEventLoop();
  F->Match.reset();
}

std::vector<TDriveEntry> TUDisksDriveTable::Drives() {
  std::lock_guard<std::mutex> Hold(F->Lock);
  if (!F->Watching) {
    // Every signal of the daemon: objects added and removed, properties
    // (mount points, labels) changed.
    F->Match = F->Signals->addMatch(std::string("type='signal',sender='") + kService + "'",
                                    [this](sdbus::Message&) {
                                      F->Stale = true;
                                      NotifyChange();
                                    });
    F->Signals->enterEventLoopAsync();
    F->Watching = true;
    F->Stale = true;
  }
  try {
    if (F->Stale) F->Reload();
  } catch (const sdbus::Error&) {
    // The daemon went away: the cards are gone with it until it is back.
    F->Stale = true;
    std::erase_if(F->Cache, [](const TDriveEntry& E) { return E.Letter != 'C'; });
  }
  return F->Cache;
}

bool TUDisksDriveTable::MakesFileSystems(char Letter) {
  const std::optional<TDriveEntry> E = Find(Letter);
  return E && E->Letter != 'C';
}

bool TUDisksDriveTable::SetLabel(char Letter, const std::string& Label) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  std::lock_guard<std::mutex> Hold(F->Lock);
  FLastFailure.clear();
  try {
    const std::optional<TVolume> V = F->CardAt(Letter);
    if (!V) {
      SetLastError(ERROR_INVALID_DRIVE);
      return false;
    }
    const auto Block = F->Proxy(V->Object);
    auto Relabel = [&] {
      Block->callMethod("SetLabel")
          .onInterface(kFilesystem)
          .withTimeout(kMountTimeout)
          .withArguments(Label, TProps{});
    };
    try {
      Relabel();
    } catch (const sdbus::Error&) {
      // Some file systems (exFAT) take a new label only while unmounted:
      // the card is unmounted for it and mounted again, keeping its letter.
      if (V->MountPoints.empty()) throw;
      F->Held.insert(V->Object);
      Block->callMethod("Unmount").onInterface(kFilesystem).withTimeout(kMountTimeout).withArguments(TProps{});
      std::optional<sdbus::Error> Failed;
      try {
        Relabel();
      } catch (const sdbus::Error& E) {
        Failed = E;
      }
      std::string MountPoint;
      Block->callMethod("Mount")
          .onInterface(kFilesystem)
          .withTimeout(kMountTimeout)
          .withArguments(TProps{})
          .storeResultsTo(MountPoint);
      F->Held.erase(V->Object);
      if (Failed) throw *Failed;
    }
    F->Stale = true;
    return true;
  } catch (const sdbus::Error& E) {
    F->Held.clear();
    FLastFailure = E.getMessage();
    SetLastError(ErrorCodeOf(E));
    F->Stale = true;
    return false;
  }
}

bool TUDisksDriveTable::MakeFileSystem(const TDriveEntry& Expected, const std::string& FsType,
                                       const std::string& Label) {
  std::lock_guard<std::mutex> Hold(F->Lock);
  FLastFailure.clear();
  auto Refuse = [&](uint32_t Code, std::string Why) {
    FLastFailure = std::move(Why);
    SetLastError(Code);
    return false;
  };
  if (FsType != "vfat" && FsType != "exfat")
    return Refuse(ERROR_INVALID_PARAMETER, "no new file system of type \"" + FsType + "\"");
  std::string Step = "checking the card";
  std::string Object;
  try {
    const std::optional<TVolume> V = F->CardAt(Expected.Letter);
    if (!V || V->Device != Expected.Device)
      return Refuse(ERROR_INVALID_DRIVE, Expected.Device + " is not the card in drive " +
                                             std::string(1, Expected.Letter) + ":");
    if (V->Identity != Expected.Identity)
      return Refuse(ERROR_INVALID_DRIVE, "the card in drive " + std::string(1, Expected.Letter) +
                                             ": has changed");
    Object = V->Object;
    F->Held.insert(Object);
    const auto Block = F->Proxy(Object);
    if (!V->MountPoints.empty()) {
      Step = "unmounting the card";
      Block->callMethod("Unmount").onInterface(kFilesystem).withTimeout(kMountTimeout).withArguments(TProps{});
    }
    Step = "making the new file system";
    TProps Options;
    Options["label"] = sdbus::Variant(Label);
    Block->callMethod("Format")
        .onInterface(kBlock)
        .withTimeout(kFormatTimeout)
        .withArguments(FsType, Options);
    Step = "mounting the new file system";
    std::string MountPoint;
    Block->callMethod("Mount")
        .onInterface(kFilesystem)
        .withTimeout(kMountTimeout)
        .withArguments(TProps{})
        .storeResultsTo(MountPoint);
    F->Held.erase(Object);
    F->Stale = true;
    return true;
  } catch (const sdbus::Error& E) {
    if (!Object.empty()) F->Held.erase(Object);
    F->Stale = true;
    FLastFailure = Step + ": " + E.getMessage();
    SetLastError(ErrorCodeOf(E));
    return false;
  }
}

TEjectResult TUDisksDriveTable::Eject(char Letter) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  std::lock_guard<std::mutex> Hold(F->Lock);
  FLastFailure.clear();
  bool Unmounted = false;
  try {
    const std::optional<TVolume> V = F->CardAt(Letter);
    if (!V) {
      SetLastError(ERROR_INVALID_DRIVE);
      return TEjectResult::Failed;
    }
    if (!V->MountPoints.empty()) {
      F->Proxy(V->Object)
          ->callMethod("Unmount")
          .onInterface(kFilesystem)
          .withTimeout(kMountTimeout)
          .withArguments(TProps{});
    }
    Unmounted = true;
    F->Stale = true;
    const char* Method = V->CanPowerOff ? "PowerOff" : V->Ejectable ? "Eject" : nullptr;
    if (V->Drive.empty() || Method == nullptr) return TEjectResult::Unmounted;
    F->Proxy(V->Drive)->callMethod(Method).onInterface(kDrive).withTimeout(kMountTimeout).withArguments(TProps{});
    return TEjectResult::PoweredOff;
  } catch (const sdbus::Error& E) {
    F->Stale = true;
    FLastFailure = (Unmounted ? "the card is unmounted, but the drive was not powered off: "
                              : std::string()) +
                   E.getMessage();
    SetLastError(ErrorCodeOf(E));
    return Unmounted ? TEjectResult::Unmounted : TEjectResult::Failed;
  }
}

bool TUDisksDriveTable::Unmount(char Letter) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  std::lock_guard<std::mutex> Hold(F->Lock);
  FLastFailure.clear();
  try {
    const std::optional<TVolume> V = F->CardAt(Letter);
    if (!V) {
      SetLastError(ERROR_INVALID_DRIVE);
      return false;
    }
    if (!V->MountPoints.empty())
      F->Proxy(V->Object)
          ->callMethod("Unmount")
          .onInterface(kFilesystem)
          .withTimeout(kMountTimeout)
          .withArguments(TProps{});
    F->Stale = true;
    return true;
  } catch (const sdbus::Error& E) {
    F->Stale = true;
    FLastFailure = E.getMessage();
    SetLastError(ErrorCodeOf(E));
    return false;
  }
}

#endif  // ZEM_WITH_UDISKS

}  // namespace zem::platform
