// Card tool: drive listing, labels, capacities and their printed sizes, and the
// collection of card files.
#include "core/drives.h"

#include <iterator>

#include "platform/base.h"
#include "platform/winapi.h"

namespace zem {

namespace {

namespace pf = zem::platform;

// Size of the label buffer handed to the volume query (260 characters + NUL).
constexpr uint32_t kLabelBufferSize = 261;

// Search filter for card walks: read-only, hidden, system, directory and
// archive; everything but volume labels.
constexpr int32_t kCollectFilter =
    pf::faReadOnly | pf::faHidden | pf::faSysFile | pf::faDirectory | pf::faArchive;

// Keeps critical-error dialogs off while a drive that may have no medium is
// queried, and puts the previous mode back however the scope is left.
class TErrorModeScope {
 public:
  explicit TErrorModeScope(uint32_t Mode) : FPrevious(pf::SetErrorMode(Mode)) {}
  ~TErrorModeScope() { pf::SetErrorMode(FPrevious); }
  TErrorModeScope(const TErrorModeScope&) = delete;
  TErrorModeScope& operator=(const TErrorModeScope&) = delete;

 private:
  uint32_t FPrevious;
};

std::string RootPath(char Drive) { return std::string(1, Drive) + ":\\"; }

}  // namespace

std::string DriveLabel(char Drive) {
  TErrorModeScope Scope(pf::SEM_FAILCRITICALERRORS);
  char Buffer[kLabelBufferSize] = {};
  std::string Label;
  const std::string Root = RootPath(Drive);
  if (pf::GetVolumeInformationA(Root.c_str(), Buffer, kLabelBufferSize, nullptr, nullptr,
                                nullptr, nullptr, 0)) {
    Buffer[kLabelBufferSize - 1] = '\0';
    Label = Buffer;
  }
  if (static_cast<unsigned char>(Drive) >= 0x61)
    return pf::AnsiLowerCaseFileName(Label);
  return pf::AnsiUpperCaseFileName(Label);
}

void ListRemovableDrives(std::vector<std::string>& List) {
  for (char Letter = 'C'; Letter <= 'Z'; ++Letter) {
    const std::string Root = RootPath(Letter);
    if (pf::GetDriveTypeA(Root.c_str()) != pf::DRIVE_REMOVABLE) continue;
    const std::string Drive(1, Letter);
    List.push_back(Format("%s (%s:)", DriveLabel(Letter).c_str(), Drive.c_str()));
  }
}

void FillDriveList(TDriveListControl& List) {
  List.Clear();
  std::vector<std::string> Captions;
  ListRemovableDrives(Captions);
  for (const std::string& Caption : Captions) List.AddItem(Caption);
}

std::string DriveLetterOf(const std::string& Caption, std::string Result) {
  // Zero-based index i of ":)" is the 1-based position p = i + 1; the caption
  // qualifies when p >= 3 and "(" stands at p - 2, that is at index i - 2.
  const size_t I = Caption.find(":)");
  if (I != std::string::npos && I >= 2 && Caption[I - 2] == '(')
    return std::string(1, Caption[I - 1]);
  return Result;
}

uint64_t DriveCapacity(const std::string& Drive) {
  if (Drive.empty()) return 0;
  const std::string Path = Drive.substr(0, 1) + ":";
  uint32_t SectorsPerCluster = 0, BytesPerSector = 0, FreeClusters = 0, TotalClusters = 0;
  if (!pf::GetDiskFreeSpaceA(Path.c_str(), &SectorsPerCluster, &BytesPerSector, &FreeClusters,
                             &TotalClusters))
    return 0;
  return static_cast<uint64_t>(TotalClusters) * BytesPerSector * SectorsPerCluster;
}

void CollectFiles(const std::string& Mask, const std::string& Dir,
                  std::vector<std::string>& List, TCardWalk* Walk) {
  std::string Base = Dir;
  if (Base.empty() || Base.back() != '\\') Base += '\\';
  pf::TSearchRec F;
  if (const int Rc = pf::FindFirst(Base + Mask, kCollectFilter, F); Rc != 0) {
    // No match is an empty root; anything else kept the folder from us.
    if (Walk != nullptr && Rc != static_cast<int>(pf::ERROR_FILE_NOT_FOUND) &&
        Rc != static_cast<int>(pf::ERROR_NO_MORE_FILES))
      Walk->LeftOut.emplace_back(Base, "the folder cannot be read: " +
                                           pf::SysErrorMessage(static_cast<uint32_t>(Rc)));
    return;
  }
  bool Empty = true;
  do {
    if (F.Name == "." || F.Name == "..") continue;
    Empty = false;
    if ((F.Attr & pf::faDirectory) != 0)
      CollectFiles(Mask, Base + F.Name, List, Walk);
    else
      List.push_back(Base + F.Name);
  } while (pf::FindNext(F) == 0);
  const uint32_t End = pf::GetLastError();
  pf::FindClose(F);
  if (Walk == nullptr) return;
  // The search ended early, or passed over names it could not look at.
  if (End != pf::ERROR_NO_MORE_FILES && End != pf::ERROR_SUCCESS)
    Walk->LeftOut.emplace_back(Base, "not every entry of the folder can be read: " +
                                         pf::SysErrorMessage(End));
  // A drive root ("F:\\") is the card itself, never an entry.
  if (Empty && Walk->EmptyFolders && Base.size() > 3) List.push_back(Base);
}

std::string HumanSize(uint64_t Bytes) {
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  if (Bytes < 1000) return Format("%llu B", static_cast<unsigned long long>(Bytes));
  double Value = static_cast<double>(Bytes) / 1000.0;
  size_t Unit = 0;
  // Move up while the value would print as 1000.0 or more in this unit.
  while (Value >= 999.95 && Unit + 1 < std::size(kUnits)) {
    Value /= 1000.0;
    ++Unit;
  }
  return Format("%.1f %s", Value, kUnits[Unit]);
}

}  // namespace zem
