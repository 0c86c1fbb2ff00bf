// Building a directory list: entries added in archive order to a TSortedZip
// in physical (ByNone) order, as the reader does for every central header.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "archive/format/zip_records.h"

namespace {

// Adds N entries with increasing local-header offsets, in that order or
// reversed; only the adding is timed.
void AddEntries(benchmark::State& State, bool Reversed) {
  const int N = static_cast<int>(State.range(0));
  for (auto _ : State) {
    State.PauseTiming();
    std::vector<zem::TZipHeaderInfo*> Entries;
    Entries.reserve(static_cast<size_t>(N));
    for (int I = 0; I < N; ++I) {
      auto* E = new zem::TZipHeaderInfo;
      E->SetRelativeOffset(static_cast<uint64_t>(Reversed ? N - 1 - I : I) * 100);
      Entries.push_back(E);
    }
    auto List = std::make_unique<zem::TSortedZip>(zem::RefuseDuplicate);
    State.ResumeTiming();
    for (auto* E : Entries) List->Add(E);
    benchmark::DoNotOptimize(List->Count());
    State.PauseTiming();
    List.reset();  // owns and frees the entries
    State.ResumeTiming();
  }
  State.SetItemsProcessed(State.iterations() * N);
}

void BM_SortedZipAddInArchiveOrder(benchmark::State& State) { AddEntries(State, false); }
BENCHMARK(BM_SortedZipAddInArchiveOrder)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same entries in reverse order: every insert goes through the binary
// search and shifts the list (for comparison).
void BM_SortedZipAddReversed(benchmark::State& State) { AddEntries(State, true); }
BENCHMARK(BM_SortedZipAddReversed)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
