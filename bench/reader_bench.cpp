// Directory reading of one large archive: time of ReadDirectory and memory
// per entry. Run by reader_bench.py next to other zip listers.
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "archive/reader/arc_unzip.h"
#include "platform/drives.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: reader_bench ARCHIVE [ROUNDS]\n");
    return 2;
  }
  const std::string Name = zem::platform::FromNativePath(argv[1]);
  const int Rounds = argc > 2 ? std::stoi(argv[2]) : 5;
  double Best = 1e30;
  size_t PerEntry = 0;
  int Count = 0;
  for (int R = 0; R < Rounds; ++R) {
    const size_t Before = mallinfo2().uordblks;
    const auto T0 = std::chrono::steady_clock::now();
    zem::TArcUnZip Zip;
    Zip.SetDoProcessMessages(false);
    Zip.SetZipName(Name);
    Zip.ReadDirectory();
    const auto T1 = std::chrono::steady_clock::now();
    Count = Zip.Count();
    if (Count > 0) PerEntry = (mallinfo2().uordblks - Before) / static_cast<size_t>(Count);
    Best = std::min(Best, std::chrono::duration<double>(T1 - T0).count());
  }
  std::printf("entries %d\nbest_seconds %.4f\nbytes_per_entry %zu\n", Count, Best, PerEntry);
  return 0;
}
