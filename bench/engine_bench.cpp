// The deflate engines side by side on real files: for each file set, the
// archive ratio and the speed of every PackLevel through zlib and through
// ISA-L's levels, the inflate speed of both engines, and how well the
// first-block trial of the writer predicts what deflate saves on a file.
//
//   engine_bench FILE...
//
// Prints one table row per engine and level over all files together, then
// one row per file for the trial. Read the files from the page cache (run
// twice) and note the machine's load next to the figures.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/format/deflate_engine.h"

namespace {

using namespace zem;
using Clock = std::chrono::steady_clock;

std::string Load(const char* Path) {
  std::ifstream F(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(F), std::istreambuf_iterator<char>());
}

// Deflates Data whole at Level and returns the stream.
std::string Deflate(TDeflater& D, int Level, const std::string& Data) {
  std::string Out(Data.size() + Data.size() / 8 + 1024, '\0');
  if (!D.Init(Level)) std::abort();
  D.SetInput(reinterpret_cast<const uint8_t*>(Data.data()), Data.size());
  D.SetOutput(reinterpret_cast<uint8_t*>(Out.data()), Out.size());
  TDeflater::TStatus R;
  do R = D.Step(true);
  while (R == TDeflater::TStatus::tsMore);
  if (R != TDeflater::TStatus::tsEnded) std::abort();
  Out.resize(Out.size() - D.OutputLeft());
  return Out;
}

double Inflate(TInflater& I, const std::string& Packed, size_t Size) {
  std::string Out(Size, '\0');
  const auto T0 = Clock::now();
  I.Init();
  I.SetInput(reinterpret_cast<const uint8_t*>(Packed.data()), Packed.size());
  I.SetOutput(reinterpret_cast<uint8_t*>(Out.data()), Out.size());
  while (I.Step() == TInflater::TStatus::tsMore) {
  }
  return std::chrono::duration<double>(Clock::now() - T0).count();
}

}  // namespace

int main(int Argc, char** Argv) {
  std::vector<std::string> Files;
  uint64_t Total = 0;
  for (int I = 1; I < Argc; ++I) {
    Files.push_back(Load(Argv[I]));
    Total += Files.back().size();
  }
  std::printf("%zu files, %.1f MB; ISA-L %s\n", Files.size(), Total / 1e6, IsalBuiltIn() ? "built in" : "absent");
  std::printf("%-6s %-5s %6s %9s %8s %10s %10s\n", "engine", "level", "isal", "MB out", "ratio", "deflate s",
              "inflate s");
  struct TCase {
    TDeflateEngine Engine;
    int Level;
  };
  std::vector<TCase> Cases;
  for (int L : {1, 2, 3, 4, 5, 6, 7, 8, 9}) Cases.push_back({TDeflateEngine::deZlib, L});
  for (int L = 1; L < kFirstZlibLevel; ++L) Cases.push_back({TDeflateEngine::deAuto, L});
  for (const TCase& C : Cases) {
    TDeflater D(C.Engine);
    TInflater Zi(TDeflateEngine::deZlib);
    TInflater Ii(TDeflateEngine::deAuto);
    uint64_t Out = 0;
    double Seconds = 0, InflZ = 0, InflI = 0;
    for (const std::string& F : Files) {
      const auto T0 = Clock::now();
      const std::string P = Deflate(D, C.Level, F);
      Seconds += std::chrono::duration<double>(Clock::now() - T0).count();
      Out += P.size();
      if (C.Level == 6) {
        InflZ += Inflate(Zi, P, F.size());
        InflI += Inflate(Ii, P, F.size());
      }
    }
    std::printf("%-6s %-5d %6s %9.2f %8.4f %10.3f", D.EngineName(), C.Level, "", Out / 1e6,
                Total ? double(Out) / double(Total) : 0.0, Seconds);
    if (C.Level == 6)
      std::printf("  zlib %.3f ISA-L %.3f", InflZ, InflI);
    std::printf("\n");
  }
  // The trial: the first 65535 bytes at level 1, against the whole file at
  // level 6.
  std::printf("\n%-40s %10s %12s %12s\n", "file", "size", "trial ratio", "L6 ratio");
  TDeflater Trial(TDeflateEngine::deAuto), Full(TDeflateEngine::deAuto);
  for (size_t I = 0; I < Files.size(); ++I) {
    const std::string& F = Files[I];
    const std::string Head = F.substr(0, 65535);
    const double T = Head.empty() ? 1.0 : double(Deflate(Trial, 1, Head).size()) / double(Head.size());
    const double W = F.empty() ? 1.0 : double(Deflate(Full, 6, F).size()) / double(F.size());
    std::printf("%-40.40s %10zu %12.4f %12.4f\n", Argv[I + 1], F.size(), T, W);
  }
  return 0;
}
