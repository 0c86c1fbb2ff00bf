// Replays the whole-reader fuzz body over every archive the tests hold and
// every saved finding: each must be read, scanned and tested without a
// crash, a sanitizer report or an exception outside the component's own.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/test_support.h"
#include "fuzz/unzip_fuzz_body.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

TEST(UnzipFuzzCorpus, EveryArchiveAndFindingRunsCleanly) {
  const fs::path Data = ZEM_TEST_DATA;
  int Runs = 0, Entries = 0;
  for (const char* Group : {"interop", "damaged", "hostile", "fuzz-regressions/unzip"}) {
    if (!fs::is_directory(Data / Group)) continue;
    for (const auto& E : fs::recursive_directory_iterator(Data / Group)) {
      if (!E.is_regular_file()) continue;
      const std::string Bytes = test::ReadFile(E.path());
      SCOPED_TRACE(E.path().string());
      EXPECT_NO_THROW(Entries += fuzz::RunArchiveReader(
                          reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size()));
      ++Runs;
    }
  }
  EXPECT_GT(Runs, 50);
  EXPECT_GT(Entries, 66000);  // the archives were really tested (one holds 66,000 entries)
}

}  // namespace
}  // namespace zem
