// Path and name helpers: separators, names, DOS times, moves, volumes.
#include "archive/support/path_helpers.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <exception>
#include <ctime>
#include <vector>

#include "platform/base.h"
#include "platform/stream.h"
#include "platform/winapi.h"

namespace zem {

using namespace platform;

// ---- Separators and texts ------------------------------------------------

namespace {

char* ReplaceAll(char* Buffer, char From, char To) {
  if (Buffer == nullptr) return Buffer;
  for (char* P = Buffer; *P != '\0'; ++P)
    if (*P == From) *P = To;
  return Buffer;
}

}  // namespace

char* ToSlashes(char* Buffer) { return ReplaceAll(Buffer, '\\', '/'); }
char* ToBackslashes(char* Buffer) { return ReplaceAll(Buffer, '/', '\\'); }

std::string ToSlashes(std::string Text) {
  std::replace(Text.begin(), Text.end(), '\\', '/');
  return Text;
}

std::string ToBackslashes(std::string Text) {
  std::replace(Text.begin(), Text.end(), '/', '\\');
  return Text;
}

std::string RightText(const std::string& Text, int Count) {
  if (Count <= 0) return std::string();
  size_t N = static_cast<size_t>(Count);
  return N >= Text.size() ? Text : Text.substr(Text.size() - N);
}

std::string LeftText(const std::string& Text, int Count) {
  if (Count <= 0) return std::string();
  return Text.substr(0, static_cast<size_t>(Count));
}

bool IsWildcardName(const std::string& Text) {
  return Text.find_first_of("*?<>|") != std::string::npos;
}

int64_t Min64(int64_t A, int64_t B) { return A < B ? A : B; }
int64_t Max64(int64_t A, int64_t B) { return A > B ? A : B; }

int64_t FoundSize64(const TSearchRec& Found) {
  return static_cast<int64_t>((static_cast<uint64_t>(Found.FindData.nFileSizeHigh) << 32) |
                              Found.FindData.nFileSizeLow);
}

int PercentDone(int64_t Done, int64_t Total) {
  if (Total <= 0) return 0;
  // long double holds every int64 product exactly enough for the rounding;
  // nearbyint rounds halves to even in the default rounding mode.
  long double Ratio = static_cast<long double>(Done) * 100.0L / static_cast<long double>(Total);
  long double Rounded = std::nearbyintl(Ratio);
  if (Rounded > 100.0L) return 100;
  if (Rounded < 0.0L) return 0;  // a negative count has no meaning as progress
  return static_cast<int>(Rounded);
}

// ---- Windows-style names ---------------------------------------------------

bool HasDrivePart(const std::string& Name) {
  return Name.size() >= 2 && Name[1] == ':' && std::isalpha(static_cast<unsigned char>(Name[0]));
}

namespace {

// Index of the last separator of Name: the last '\', or the drive colon
// when no '\' follows it; npos when there is none.
size_t LastSeparator(const std::string& Name) {
  size_t Slash = Name.rfind('\\');
  if (Slash != std::string::npos) return Slash;
  return HasDrivePart(Name) ? 1 : std::string::npos;
}

}  // namespace

std::string ExtractFileDrive(const std::string& Name) {
  return HasDrivePart(Name) ? Name.substr(0, 2) : std::string();
}

std::string ExtractFilePath(const std::string& Name) {
  size_t Sep = LastSeparator(Name);
  return Sep == std::string::npos ? std::string() : Name.substr(0, Sep + 1);
}

std::string ExtractFileName(const std::string& Name) {
  size_t Sep = LastSeparator(Name);
  return Sep == std::string::npos ? Name : Name.substr(Sep + 1);
}

std::string ExtractFileExt(const std::string& Name) {
  std::string File = ExtractFileName(Name);
  size_t Dot = File.rfind('.');
  return Dot == std::string::npos ? std::string() : File.substr(Dot);
}

std::string ChangeFileExt(const std::string& Name, const std::string& Ext) {
  size_t Sep = LastSeparator(Name);
  size_t Start = Sep == std::string::npos ? 0 : Sep + 1;
  size_t Dot = Name.rfind('.');
  if (Dot == std::string::npos || Dot < Start) return Name + Ext;
  return Name.substr(0, Dot) + Ext;
}

std::string IncludeTrailingBackslash(const std::string& Name) {
  if (Name.empty() || Name.back() == '\\') return Name;
  return Name + '\\';
}

std::string ExcludeTrailingBackslash(const std::string& Name) {
  if (!Name.empty() && Name.back() == '\\') return Name.substr(0, Name.size() - 1);
  return Name;
}

// ---- Dates and times -------------------------------------------------------

namespace {

struct TDosFields {
  uint32_t Sec2, Min, Hour, Day, Month, Year;  // Year counts from 1980
};

TDosFields SplitDos(int32_t Value) {
  uint32_t V = static_cast<uint32_t>(Value);
  return {V & 0x1F,         (V >> 5) & 0x3F,  (V >> 11) & 0x1F,
          (V >> 16) & 0x1F, (V >> 21) & 0x0F, (V >> 25) & 0x7F};
}

int32_t JoinDos(const TDosFields& F) {
  uint32_t V = F.Sec2 | (F.Min << 5) | (F.Hour << 11) | (F.Day << 16) | (F.Month << 21) |
               (F.Year << 25);
  return static_cast<int32_t>(V);
}

bool IsLeapYear(int Year) { return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0; }

int DaysInMonth(int Year, int Month) {
  static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return Month == 2 && IsLeapYear(Year) ? 29 : Days[Month - 1];
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t Y, int M, int D) {
  Y -= M <= 2;
  const int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const int64_t Yoe = Y - Era * 400;
  const int64_t Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const int64_t Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + Doe - 719468;
}

// 1899-12-30, the day TDateTime counts from, is this many days before 1970.
constexpr int64_t kDateTimeEpochOffset = 25569;

}  // namespace

int32_t NormalizeDosDateTime(int32_t DosDateTime) {
  TDosFields F = SplitDos(DosDateTime);
  bool Valid = F.Sec2 < 30 && F.Min < 60 && F.Hour <= 23 && F.Day >= 1 && F.Month >= 1 &&
               F.Month <= 12 && F.Year < 120;
  if (Valid) return DosDateTime;
  F.Sec2 = std::min<uint32_t>(F.Sec2, 29);
  F.Min = std::min<uint32_t>(F.Min, 59);
  F.Hour = std::min<uint32_t>(F.Hour, 23);
  if (F.Day == 0) F.Day = 1;
  F.Month = std::clamp<uint32_t>(F.Month, 1, 12);
  F.Year = std::min<uint32_t>(F.Year, 119);
  return JoinDos(F);
}

int32_t FileDosDateTime(const std::string& Path) {
  TSearchRec Found;
  if (FindFirst(Path, faAnyFile, Found) != 0) return -1;
  int32_t Time = Found.Time;
  FindClose(Found);
  return Time;
}

TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second,
                         int Millisecond) {
  int64_t Days = DaysFromCivil(Year, Month, Day) + kDateTimeEpochOffset;
  double Fraction = (((Hour * 60.0 + Minute) * 60.0 + Second) * 1000.0 + Millisecond) / 86400000.0;
  return static_cast<double>(Days) + Fraction;
}

bool DosDateTimeToDateTime(int32_t DosDateTime, TDateTime& Value) {
  TDosFields F = SplitDos(DosDateTime);
  int Year = 1980 + static_cast<int>(F.Year);
  if (F.Month < 1 || F.Month > 12 || F.Day < 1 || F.Hour > 23 || F.Min > 59 || F.Sec2 > 29)
    return false;
  if (static_cast<int>(F.Day) > DaysInMonth(Year, static_cast<int>(F.Month))) return false;
  Value = EncodeDateTime(Year, static_cast<int>(F.Month), static_cast<int>(F.Day),
                         static_cast<int>(F.Hour), static_cast<int>(F.Min),
                         static_cast<int>(F.Sec2 * 2));
  return true;
}

TDateTime NowDateTime() {
  long Nanoseconds = 0;
  time_t Seconds = platform::Now(&Nanoseconds);
  int Millis = static_cast<int>(Nanoseconds / 1000000);
  std::tm Local{};
  localtime_r(&Seconds, &Local);
  return EncodeDateTime(Local.tm_year + 1900, Local.tm_mon + 1, Local.tm_mday, Local.tm_hour,
                        Local.tm_min, std::min(Local.tm_sec, 59), Millis);
}

TDateTime PathDateTime(const std::string& Path) {
  int32_t Dos = NormalizeDosDateTime(FileDosDateTime(ExcludeTrailingBackslash(Path)));
  TDateTime Value = 0;
  if (!DosDateTimeToDateTime(Dos, Value)) return NowDateTime();
  return Value;
}

// ---- Files and folders ----------------------------------------------------

void ForceDirs(const std::string& Path) {
  std::string Dir = ExcludeTrailingBackslash(Path);
  if (Dir.size() <= 2 || DirectoryExists(Dir)) return;
  std::string Parent = ExtractFilePath(Dir);
  if (Parent == Dir || Parent.empty()) {
    CreateDirectoryA(Dir.c_str());
    return;
  }
  ForceDirs(Parent);
  CreateDirectoryA(Dir.c_str());
}

bool FileExistsAt(const std::string& Path) { return FileExists(Path); }

bool DirExists(const std::string& Path) {
  // The empty name is no directory (one cannot change to it).
  return !Path.empty() && DirectoryExists(Path);
}

std::string CurrentDirOf(int Drive) {
  std::string Current = GetCurrentDirectoryA();
  if (Drive <= 0) return Current;
  char Letter = static_cast<char>('A' + Drive - 1);
  if (HasDrivePart(Current) && std::toupper(static_cast<unsigned char>(Current[0])) == Letter)
    return Current;
  return std::string(1, Letter) + ":\\";
}

namespace {

// Keeps the system's critical-error dialogs off for one scope.
class TErrorModeScope {
 public:
  TErrorModeScope() : FPrevious(SetErrorMode(SEM_FAILCRITICALERRORS)) {}
  ~TErrorModeScope() { SetErrorMode(FPrevious); }

 private:
  uint32_t FPrevious;
};

bool SameDrivePart(const std::string& A, const std::string& B) {
  std::string DA = ExtractFileDrive(A), DB = ExtractFileDrive(B);
  if (DA.size() != DB.size()) return false;
  for (size_t I = 0; I < DA.size(); ++I)
    if (std::toupper(static_cast<unsigned char>(DA[I])) !=
        std::toupper(static_cast<unsigned char>(DB[I])))
      return false;
  return true;
}

}  // namespace

bool RenameOver(const std::string& Source, const std::string& Dest) {
  SetLastError(ERROR_SUCCESS);
  if (!SameDrivePart(Source, Dest)) return false;
  TErrorModeScope Quiet;
  // One rename puts Source in place: Dest is there, old or new, at every
  // moment.
  if (FileExists(Dest)) return ReplaceFileA(Dest.c_str(), Source.c_str());
  return MoveFileA(Source.c_str(), Dest.c_str());
}

void MoveOrCopyFile(const std::string& Source, const std::string& Dest) {
  if (RenameOver(Source, Dest)) return;
  TFileStream In(Source, fmOpenRead | fmShareDenyWrite);
  int64_t Copied = 0;
  std::exception_ptr Failure;
  {
    TFileStream Out(Dest, fmCreate);
    try {
      constexpr int64_t kChunk = 64 * 1024;
      std::vector<char> Buffer(kChunk);
      for (;;) {
        int64_t Got = In.Read(Buffer.data(), kChunk);
        if (Got <= 0) break;
        Out.WriteBuffer(Buffer.data(), Got);
        Copied += Got;
      }
      // A refused read ends the loop as the end of the file would.
      if (In.ReadError() != 0)
        throw EInOutError("Error: Could not copy from " + Source + " -> " + Dest + ": " +
                          SysErrorMessage(In.ReadError()));
    } catch (...) {
      Failure = std::current_exception();
    }
  }
  // A partial or empty copy is not a copy: remove it once it is closed.
  if (Failure || Copied == 0) DeleteFileA(Dest.c_str());
  if (Failure) std::rethrow_exception(Failure);
  if (Copied == 0) throw EInOutError("Error: Could not copy from " + Source + " -> " + Dest);
}

// ---- Character buffers -----------------------------------------------------

std::string PCharToText(const char* Buffer) {
  return Buffer == nullptr ? std::string() : std::string(Buffer);
}

std::unique_ptr<char[]> TextToPChar(const std::string& Text) {
  if (Text.empty()) return nullptr;
  auto Copy = std::make_unique<char[]>(Text.size() + 1);
  std::memcpy(Copy.get(), Text.c_str(), Text.size() + 1);
  return Copy;
}

// ---- Volumes ---------------------------------------------------------------

bool SetVolumeLabelOf(const std::string& RootPath, const std::string& Label) {
  SetVolumeLabelA(RootPath.c_str(), "");
  return SetVolumeLabelA(RootPath.c_str(), Label.c_str());
}

bool IsRemovableDrive(const std::string& RootPath) {
  uint32_t Type = GetDriveTypeA(RootPath.c_str());
  return Type == DRIVE_REMOVABLE || Type == DRIVE_CDROM;
}

std::string VolumeLabelOf(const std::string& RootPath) {
  char Label[14] = {};
  char FileSystem[32] = {};
  uint32_t Serial = 0, MaxComponent = 0, Flags = 0;
  if (!GetVolumeInformationA(RootPath.c_str(), Label, sizeof Label, &Serial, &MaxComponent, &Flags,
                             FileSystem, sizeof FileSystem))
    return std::string();
  Label[sizeof Label - 1] = '\0';
  return Label;
}

std::string UniqueTempFile(const std::string& Directory) {
  std::string Name;
  if (GetTempFileNameA(Directory, "DOV", 0, Name) == 0) return std::string();
  return Name;
}

uint32_t ClusterSize(const std::string& RootPath) {
  uint32_t SectorsPerCluster = 0, BytesPerSector = 0, FreeClusters = 0, TotalClusters = 0;
  if (!GetDiskFreeSpaceA(RootPath.c_str(), &SectorsPerCluster, &BytesPerSector, &FreeClusters,
                         &TotalClusters))
    RaiseLastOSError();
  return SectorsPerCluster * BytesPerSector;
}

// ---- Symbolic links -----------------------------------------------------------

namespace {

// The named components of a native path ("" and "." dropped; ".." kept).
std::vector<std::string> NativeComponents(const std::string& Path) {
  std::vector<std::string> Parts;
  size_t Start = 0;
  while (Start <= Path.size()) {
    size_t End = Path.find('/', Start);
    if (End == std::string::npos) End = Path.size();
    std::string Part = Path.substr(Start, End - Start);
    if (!Part.empty() && Part != ".") Parts.push_back(std::move(Part));
    Start = End + 1;
  }
  return Parts;
}

// Whether Parts starts with Prefix.
bool StartsWithParts(const std::vector<std::string>& Parts, const std::vector<std::string>& Prefix) {
  return Parts.size() >= Prefix.size() && std::equal(Prefix.begin(), Prefix.end(), Parts.begin());
}

}  // namespace

bool LinkTargetInside(const std::string& Root, const std::string& LinkPath, const std::string& Target) {
  if (Target.empty()) return false;
  const std::vector<std::string> RootParts = NativeComponents(Root);
  std::vector<std::string> Place;  // where the target starts, below Root
  if (Target[0] != '/') {
    const std::vector<std::string> LinkParts = NativeComponents(LinkPath);
    if (LinkParts.size() <= RootParts.size() || !StartsWithParts(LinkParts, RootParts)) return false;
    if (std::find(LinkParts.begin(), LinkParts.end(), "..") != LinkParts.end()) return false;
    Place.assign(LinkParts.begin() + static_cast<long>(RootParts.size()), LinkParts.end() - 1);
  }
  std::vector<std::string> Steps = NativeComponents(Target);
  if (Target[0] == '/') {
    if (!StartsWithParts(Steps, RootParts)) return false;
    Steps.erase(Steps.begin(), Steps.begin() + static_cast<long>(RootParts.size()));
  }
  bool Named = false;
  for (const std::string& Step : Steps) {
    if (Step == "..") {
      if (Named || Place.empty()) return false;
      Place.pop_back();
    } else {
      Named = true;
      Place.push_back(Step);
    }
  }
  return true;
}

// ---- Name forms ------------------------------------------------------------

std::string& OemRoundTrip(std::string& Text) {
  bool Lossless = false;
  std::string Oem = AnsiToOem(Text, &Lossless);
  if (Lossless) Text = OemToAnsi(Oem);
  return Text;
}

std::string ShortPathOf(const std::string& Path) {
  std::string P = Path;
  if (HasDrivePart(P) && P.size() > 2 && P[2] != '\\') P.insert(2, "\\");
  bool Trailing = !P.empty() && P.back() == '\\';
  if (Trailing) P.pop_back();
  if (P.empty()) return Trailing ? "\\" : std::string();

  std::string Result;
  size_t Pos = 0;
  if (HasDrivePart(P)) {
    Result = P.substr(0, 2) + "\\";
    Pos = P.size() > 2 ? 3 : 2;
  } else if (!P.empty() && P[0] == '\\') {
    Result = "\\";
    Pos = 1;
  }
  while (Pos < P.size()) {
    size_t End = P.find('\\', Pos);
    if (End == std::string::npos) End = P.size();
    std::string Component = P.substr(Pos, End - Pos);
    Pos = End + 1;
    if (Component.empty()) continue;
    TSearchRec Found;
    std::string Short;
    if (FindFirst(Result + Component, faAnyFile, Found) == 0) {
      Short = Found.FindData.cAlternateFileName;
      FindClose(Found);
    }
    Result += (Short.empty() ? Component : Short) + "\\";
  }
  if (!Trailing && !Result.empty() && Result.back() == '\\') Result.pop_back();
  return Result;
}

}  // namespace zem
