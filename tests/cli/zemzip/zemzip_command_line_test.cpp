// The command-line conventions of zemzip, as one table run in order in one
// folder: help and version, options before and after names, "--", bundled
// short options, -q and -v, password sources, the listing table.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "cli/zemzip/run_zip.h"
#include "common/test_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

struct TLineCase {
  std::vector<std::string> Args;  // @D: the folder; @F/...: a fixture of tests/data/interop
  int Code;
  std::vector<std::string> OutHas, ErrHas;
  std::vector<std::string> OutLacks;
};

std::string Expand(const std::string& Arg, const test::TTempDir& Dir) {
  if (Arg.compare(0, 2, "@D") == 0) return Dir.Native() + Arg.substr(2);
  if (Arg.compare(0, 3, "@F/") == 0) return (fs::path(ZEM_TEST_DATA) / "interop" / Arg.substr(3)).string();
  return Arg;
}

const std::vector<TLineCase> kCases = {
    // Help on standard output, status 0; the exit statuses documented.
    {{"--help"}, 0, {"usage: zemzip COMMAND", "Exit status: 0 success; 1 "}, {}, {}},
    {{"-h"}, 0, {"zemzip COMMAND --help"}, {}, {}},
    {{"add", "--help"}, 0, {"usage: zemzip add", "-e, --encrypt", "visible to other users"}, {}, {}},
    {{"extract", "-o", "-h"}, 0, {"usage: zemzip extract", "[y]es, [n]o, [A]ll, [N]one, [r]ename"}, {}, {}},
    {{"test", "--help"}, 0, {"usage: zemzip test", "--password-file FILE"}, {}, {}},
    {{"list", "--help"}, 0, {"usage: zemzip list", "--tsv"}, {}, {}},
    // Usage errors: status 2, the reason and the usage on standard error.
    {{"frobnicate"}, 2, {}, {"unknown command \"frobnicate\"", "usage: zemzip list"}, {}},
    {{"add", "@D/a.zip", "x", "-Q"}, 2, {}, {"unknown option -Q", "usage: zemzip add"}, {}},
    {{"extract", "@F/zipcrypto/zc_mixed.zip", "-P"}, 2, {}, {"option -P needs a value"}, {}},
    {{"list", "--tsv=yes", "@F/zipcrypto/zc_mixed.zip"}, 2, {}, {"option --tsv takes no value"}, {}},
    {{"test", "-P", "x", "--password-file", "@D/pw", "@F/zipcrypto/zc_mixed.zip"}, 2, {}, {"one way only"}, {}},
    {{"test", "--password-file", "@D/none", "@F/zipcrypto/zc_mixed.zip"}, 2, {}, {"cannot read the password file"}, {}},
    {{"add", "-e", "@D/e.zip", "@D/in"}, 2, {}, {"-e asks the password on a terminal"}, {}},
    {{"add", "--threads", "0", "@D/t.zip", "@D/in"}, 2, {}, {"--threads takes 1 to 64, not 0"}, {}},
    // Options after the names, -x taking its pattern there too.
    {{"add", "@D/a.zip", "@D/in", "-r", "-x", "*.txt", "-9", "--threads", "3"}, 0, {}, {}, {}},
    {{"list", "@D/a.zip", "--tsv", "--sort", "name"}, 0, {"/in/keep.bin\t"}, {}, {".txt"}},
    // --password-file (first line) on add and test; a bundle of short options.
    {{"add", "--password-file", "@D/pw", "-jq", "@D/p.zip", "@D/in/drop.txt"}, 0, {}, {}, {}},
    {{"list", "--tsv", "@D/p.zip"}, 0, {"drop.txt\t5\t", "\tE\t"}, {}, {}},
    {{"test", "--password-file", "@D/pw", "@D/p.zip", "-v"}, 0, {"tested: drop.txt OK", "tested 1 entries, 0 failed"}, {}, {}},
    // Without a password and without a terminal: the entry needs one.
    {{"test", "@F/zipcrypto/zc_mixed.zip"}, 1, {"notes.txt: needs a password", "tested 4 entries, 2 failed"}, {}, {"wrong password"}},
    // -q: no count line; -v: a line per entry; "--" makes "-o" a pattern.
    {{"extract", "-qo", "-P", "Sesame42", "-d", "@D/x", "@F/zipcrypto/zc_mixed.zip"}, 0, {}, {}, {"extracted"}},
    {{"extract", "-o", "@F/zipcrypto/zc_mixed.zip", "-d", "@D/x", "-v", "-P", "Sesame42"}, 0, {"extracted: runs.dat\n", "extracted 4 entries"}, {}, {}},
    {{"extract", "@F/zipcrypto/zc_mixed.zip", "-d", "@D/x", "--", "-o"}, 1, {}, {"no entry matches"}, {}},
    // The table: sizes, ratio, method names, date, CRC, the encrypted mark, totals.
    {{"list", "@F/zipcrypto/zc_mixed.zip"}, 0,
     {"      Size     Packed  Ratio Method    Modified            CRC-32    Name\n",
      "      9000       3432    61% Deflated  2023-04-05 06:07:08 f2617e02 *notes.txt\n",
      "     32000        442    98% Deflated  2023-04-05 06:07:08 4402a2b6  runs.dat\n",
      "         0          0     0% Stored    2023-04-05 06:07:08 00000000  empty.txt\n",
      "     41001       3887    90% ", " 4 entries\n"}, {}, {"\t"}},
    {{"list", "@F/legacy/legacy_shrink.zip"}, 0, {" Shrunk "}, {}, {}},
    {{"list", "@F/legacy/legacy_reduce_f3.zip"}, 0, {" Reduced "}, {}, {}},
    {{"list", "@F/legacy/legacy_implode_8k_3trees.zip"}, 0, {" Imploded "}, {}, {}},
    {{"list", "@F/other_methods/om_7z_lzma.zip"}, 0, {" method 14 "}, {}, {}},
};

TEST(ZemzipCommandLine, TableOfCommandLines) {
  test::TTempDir Dir;
  test::WriteFile(Dir / "pw", "s3cret\nsecond line\n");
  test::WriteFile(Dir / "in/keep.bin", std::string(1000, 'k'));
  test::WriteFile(Dir / "in/drop.txt", "drop\n");
  for (const TLineCase& C : kCases) {
    std::vector<std::string> Args;
    std::string Line;
    for (const std::string& A : C.Args) {
      Args.push_back(Expand(A, Dir));
      Line += " " + A;
    }
    SCOPED_TRACE("zemzip" + Line);
    const test::TZipRun R = test::RunZip(Args);
    EXPECT_EQ(R.Code, C.Code) << R.Out << R.Err;
    for (const std::string& F : C.OutHas) EXPECT_NE(R.Out.find(F), std::string::npos) << F << "\n" << R.Out;
    for (const std::string& F : C.ErrHas) EXPECT_NE(R.Err.find(F), std::string::npos) << F << "\n" << R.Err;
    for (const std::string& F : C.OutLacks) EXPECT_EQ(R.Out.find(F), std::string::npos) << F << "\n" << R.Out;
  }
  // The version is the project's, from the build.
  const test::TZipRun V = test::RunZip({"--version"});
  EXPECT_EQ(V.Code, 0);
  EXPECT_TRUE(std::regex_match(V.Out, std::regex("zemzip [0-9]+\\.[0-9]+(\\.[0-9]+)*\n"))) << V.Out;
}

}  // namespace
}  // namespace zem
