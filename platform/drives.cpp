// The drive table in use, the fake table for tests, and the translation of
// Windows-style paths to native ones and back.
#include "platform/drives.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

std::optional<TDriveEntry> TDriveTable::Find(char Letter) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  for (TDriveEntry& E : Drives())
    if (E.Letter == Letter) return E;
  return std::nullopt;
}

void TDriveTable::SetOnChange(std::function<void()> Handler) {
  std::lock_guard<std::mutex> Hold(FChangeLock);
  OnChange = std::move(Handler);
}

void TDriveTable::NotifyChange() {
  std::lock_guard<std::mutex> Hold(FChangeLock);
  if (OnChange) OnChange();
}

bool TDriveTable::MakeFileSystem(const TDriveEntry&, const std::string&, const std::string&) {
  FLastFailure.clear();
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

TEjectResult TDriveTable::Eject(char) {
  FLastFailure.clear();
  SetLastError(ERROR_NOT_SUPPORTED);
  return TEjectResult::Failed;
}

bool TDriveTable::Unmount(char) {
  FLastFailure.clear();
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

// ---- Fake table -------------------------------------------------------------

TFakeDriveTable::TFakeDriveTable() {
  TDriveEntry Root;
  Root.Letter = 'C';
  Root.MountPoint = "/";
  Root.Type = DRIVE_FIXED;
  FDrives.push_back(Root);
}

void TFakeDriveTable::AddDrive(char Letter, const std::string& Folder, const std::string& Label,
                               uint64_t Capacity, uint32_t Type, bool HasMedia) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  RemoveDrive(Letter);
  TDriveEntry E;
  E.Letter = Letter;
  E.MountPoint = Folder;
  while (E.MountPoint.size() > 1 && E.MountPoint.back() == '/') E.MountPoint.pop_back();
  E.Type = Type;
  E.Label = Label;
  E.FileSystem = "fake";
  E.HasMedia = HasMedia;
  E.Capacity = Capacity;
  FDrives.push_back(E);
  std::sort(FDrives.begin(), FDrives.end(),
            [](const TDriveEntry& A, const TDriveEntry& B) { return A.Letter < B.Letter; });
}

void TFakeDriveTable::RemoveDrive(char Letter) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  FDrives.erase(std::remove_if(FDrives.begin(), FDrives.end(),
                               [Letter](const TDriveEntry& E) { return E.Letter == Letter; }),
                FDrives.end());
}

std::vector<TDriveEntry> TFakeDriveTable::Drives() { return FDrives; }

bool TFakeDriveTable::SetLabel(char Letter, const std::string& Label) {
  Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(Letter)));
  for (TDriveEntry& E : FDrives) {
    if (E.Letter == Letter && E.HasMedia) {
      E.Label = Label;
      return true;
    }
  }
  return false;
}

// ---- Registry ---------------------------------------------------------------

namespace {
std::unique_ptr<TDriveTable>& Slot() {
  static std::unique_ptr<TDriveTable> Table;
  return Table;
}
}  // namespace

TDriveTable& DriveTable() {
  auto& Table = Slot();
  if (!Table) Table = MakeSystemDriveTable();
  return *Table;
}

std::unique_ptr<TDriveTable> InstallDriveTable(std::unique_ptr<TDriveTable> Table) {
  std::unique_ptr<TDriveTable> Previous = std::move(Slot());
  Slot() = std::move(Table);  // nullptr: the real table is made on next use
  return Previous;
}

// ---- Path translation -------------------------------------------------------

namespace {

bool IsSep(char C) { return C == '\\' || C == '/'; }

// Appends the components of Path (from index From) to Parts, splitting at
// either separator, dropping empty and "." components and resolving ".."
// without ever climbing above the start of Parts' first element.
void Resolve(std::vector<std::string>& Parts, const std::string& Path, size_t From) {
  std::string Cur;
  auto Flush = [&] {
    if (Cur.empty() || Cur == ".") {
    } else if (Cur == "..") {
      if (!Parts.empty()) Parts.pop_back();
    } else {
      Parts.push_back(Cur);
    }
    Cur.clear();
  };
  for (size_t I = From; I < Path.size(); ++I) {
    if (IsSep(Path[I]))
      Flush();
    else
      Cur += Path[I];
  }
  Flush();
}

std::vector<std::string> Components(const std::string& Path, size_t From) {
  std::vector<std::string> Parts;
  Resolve(Parts, Path, From);
  return Parts;
}

std::string Join(const std::string& Base, const std::vector<std::string>& Parts, char Sep) {
  std::string Out = Base;
  for (const std::string& P : Parts) {
    if (Out.empty() || Out.back() != Sep) Out += Sep;
    Out += P;
  }
  return Out;
}

// The components of a native path: only '/' separates ('\\' is a name
// character there), "." goes, ".." takes the one before it.
std::vector<std::string> NativeComponents(const std::string& Path) {
  std::vector<std::string> Parts;
  size_t Start = 0;
  while (Start <= Path.size()) {
    size_t End = Path.find('/', Start);
    if (End == std::string::npos) End = Path.size();
    const std::string Cur = Path.substr(Start, End - Start);
    if (Cur.empty() || Cur == ".") {
    } else if (Cur == "..") {
      if (!Parts.empty()) Parts.pop_back();
    } else {
      Parts.push_back(Cur);
    }
    Start = End + 1;
  }
  return Parts;
}

// Internal components back to native names, joined below a native base.
std::string JoinNativeNames(const std::string& Base, std::vector<std::string> Parts) {
  for (std::string& P : Parts) P = NameToNative(P);
  return Join(Base, Parts, '/');
}

std::string CurrentNativeDir() {
  std::string Dir;
  if (FileSystem().CurrentFolder(Dir) != 0) return "/";
  return Dir;
}

bool HasDrivePart(const std::string& P) {
  return P.size() >= 2 && P[1] == ':' && std::isalpha(static_cast<unsigned char>(P[0]));
}

}  // namespace

std::string ToNativePath(const std::string& WinPath) {
  if (HasDrivePart(WinPath)) {
    auto Entry = DriveTable().Find(WinPath[0]);
    if (!Entry) return std::string();
    std::string Base = Entry->MountPoint.empty() ? "/" : Entry->MountPoint;
    return JoinNativeNames(Base, Components(WinPath, 2));
  }
  if (!WinPath.empty() && IsSep(WinPath[0])) {
    auto Entry = DriveTable().Find('C');
    std::string Base = (Entry && !Entry->MountPoint.empty()) ? Entry->MountPoint : "/";
    return JoinNativeNames(Base, Components(WinPath, 0));
  }
  // Relative to the current directory; ".." may climb out of it.
  std::vector<std::string> Parts = NativeComponents(CurrentNativeDir());
  for (std::string& P : Parts) P = NameFromNative(P);
  Resolve(Parts, WinPath, 0);
  return JoinNativeNames("/", Parts);
}

std::string FromNativePath(const std::string& NativePath) {
  std::string Abs = NativePath;
  if (Abs.empty() || Abs[0] != '/') Abs = CurrentNativeDir() + "/" + Abs;
  bool TrailingSep = Abs.size() > 1 && Abs.back() == '/';
  std::vector<std::string> Parts = NativeComponents(Abs);

  // The drive whose mount point is the longest leading run of components.
  char Letter = 'C';
  size_t Used = 0;
  for (const TDriveEntry& E : DriveTable().Drives()) {
    std::vector<std::string> Mount = NativeComponents(E.MountPoint);
    if (Mount.empty()) continue;  // "/" is C:, the fallback
    if (Mount.size() > Parts.size() || Mount.size() <= Used) continue;
    if (std::equal(Mount.begin(), Mount.end(), Parts.begin())) {
      Letter = E.Letter;
      Used = Mount.size();
    }
  }
  std::vector<std::string> Rest(Parts.begin() + static_cast<long>(Used), Parts.end());
  for (std::string& P : Rest) P = NameFromNative(P);
  std::string Out = std::string(1, Letter) + ":\\";
  Out = Join(Out, Rest, '\\');
  if (TrailingSep && Out.back() != '\\') Out += '\\';
  return Out;
}

}  // namespace zem::platform
