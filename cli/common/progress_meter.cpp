// The progress line and the texts of sizes and durations.
#include "cli/common/progress_meter.h"

#include <cmath>

#include "platform/base.h"

namespace zem {

std::string SizeText(int64_t Bytes) {
  if (Bytes < 1000) return std::to_string(Bytes) + " B";
  static const char* Units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double Value = static_cast<double>(Bytes) / 1000;
  int U = 0;
  while (Value >= 999.5 && U < 5) {
    Value /= 1000;
    ++U;
  }
  const char* Fmt = Value < 9.995 ? "%.2f %s" : Value < 99.95 ? "%.1f %s" : "%.0f %s";
  return Format(Fmt, Value, Units[U]);
}

std::string DurationText(double Seconds) {
  if (Seconds < 60) return Format("%.1f s", Seconds);
  const long Total = std::lround(Seconds);
  if (Total < 3600) return Format("%ld:%02ld", Total / 60, Total % 60);
  return Format("%ld:%02ld:%02ld", Total / 3600, Total / 60 % 60, Total % 60);
}

TProgressMeter::TProgressMeter(std::ostream& Err, bool Enabled, int Width)
    : FErr(Err), FEnabled(Enabled), FWidth(Width < 20 ? 20 : Width),
      FStart(std::chrono::steady_clock::now()), FLastDraw(FStart) {}

double TProgressMeter::Elapsed() const {
  const auto Now = FPaused ? FPausedAt : std::chrono::steady_clock::now();
  return std::chrono::duration<double>(Now - FStart).count();
}

void TProgressMeter::Pause() {
  Clear();
  if (FPaused) return;
  FPaused = true;
  FPausedAt = std::chrono::steady_clock::now();
}

void TProgressMeter::Resume() {
  if (!FPaused) return;
  FPaused = false;
  FStart += std::chrono::steady_clock::now() - FPausedAt;
}

void TProgressMeter::Update(int64_t Done, bool Force) {
  FDone = Done;
  if (!FEnabled) return;
  const auto Now = std::chrono::steady_clock::now();
  if (FDrawn && !Force && Now - FLastDraw < std::chrono::milliseconds(250)) return;
  FDrawn = true;
  FLastDraw = Now;
  const double Seconds = Elapsed();
  const int Percent = FTotal > 0 ? static_cast<int>(Done * 100 / FTotal) : 0;
  std::string Line = Format("%3d%% ", Percent) + SizeText(Done) + " of " + SizeText(FTotal);
  if (Seconds >= 0.2 && Done > 0) {
    const double Speed = static_cast<double>(Done) / Seconds;
    Line += ", " + SizeText(static_cast<int64_t>(Speed)) + "/s";
    if (FTotal > Done) Line += ", " + DurationText(static_cast<double>(FTotal - Done) / Speed) + " left";
  }
  if (!FFile.empty()) Line += "  " + FFile;
  // One column short of the width, so the terminal never wraps the line.
  const size_t Max = static_cast<size_t>(FWidth - 1);
  if (Line.size() > Max) {
    size_t Cut = Max - 3;
    while (Cut > 0 && (static_cast<unsigned char>(Line[Cut]) & 0xC0) == 0x80) --Cut;
    Line = Line.substr(0, Cut) + "...";
  }
  FErr << '\r' << Line << "\x1b[K" << std::flush;
  FShown = true;
}

void TProgressMeter::Clear() {
  if (!FEnabled || !FShown) return;
  FErr << "\r\x1b[K" << std::flush;
  FShown = false;
}

}  // namespace zem
