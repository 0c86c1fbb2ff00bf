// What the command-line tools show on a terminal while they work: the
// progress line and the texts of sizes and durations, and how much a
// command says (-q, -v).
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace zem {

// How much a command says besides its failures.
enum class TVerbosity { Quiet, Normal, Verbose };

// "0 B", "999 B", "1.23 kB", "45.6 MB", "400 MB": decimal units, three digits.
std::string SizeText(int64_t Bytes);
// "0.4 s", "10.8 s", "2:05", "1:02:03".
std::string DurationText(double Seconds);

// One line on a terminal, redrawn in place (carriage return) at most four
// times a second: percent, bytes done of the total, speed, time left and
// the current file. Disabled, every call does nothing.
class TProgressMeter {
 public:
  TProgressMeter(std::ostream& Err, bool Enabled, int Width);
  bool Enabled() const { return FEnabled; }
  // The total to reach; the clock starts at construction.
  void SetTotal(int64_t Total) { FTotal = Total; }
  void SetFile(const std::string& Name) { FFile = Name; }
  // Done bytes so far; draws the first time, then when a quarter second
  // has passed since the last drawing (or Force).
  void Update(int64_t Done, bool Force = false);
  // Erases the line, so a message can be written; the next Update draws it
  // again.
  void Clear();
  // Time spent waiting for an answer is no working time: Pause erases the
  // line and stops the clock, Resume starts it again.
  void Pause();
  void Resume();
  // Working seconds since construction.
  double Elapsed() const;
  int64_t Done() const { return FDone; }

 private:
  std::ostream& FErr;
  bool FEnabled;
  int FWidth;
  int64_t FTotal = 0;
  int64_t FDone = 0;
  std::string FFile;
  bool FShown = false;
  bool FDrawn = false;
  std::chrono::steady_clock::time_point FStart;
  std::chrono::steady_clock::time_point FLastDraw;
  std::chrono::steady_clock::time_point FPausedAt;
  bool FPaused = false;
};

}  // namespace zem
