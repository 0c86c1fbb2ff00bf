// ANSI (UTF-8) and OEM (code page 437) conversions and case mapping.
#include <gtest/gtest.h>

#include <set>

#include "platform/winapi.h"

namespace zem::platform {
namespace {

TEST(CodePages, EveryOemByteRoundTrips) {
  std::set<std::string> Seen;
  for (int B = 0; B < 256; ++B) {
    std::string Oem(1, static_cast<char>(B));
    std::string Ansi = OemToAnsi(Oem);
    ASSERT_FALSE(Ansi.empty()) << B;
    EXPECT_TRUE(Seen.insert(Ansi).second) << "two bytes give the same character at " << B;
    bool Lossless = false;
    EXPECT_EQ(AnsiToOem(Ansi, &Lossless), Oem) << B;
    EXPECT_TRUE(Lossless) << B;
  }
  // Well-known places of the code page.
  EXPECT_EQ(OemToAnsi("\x81"), "ü");
  EXPECT_EQ(OemToAnsi("\x9C"), "£");
  EXPECT_EQ(OemToAnsi("\xE1"), "ß");
  EXPECT_EQ(OemToAnsi("\xC9"), "╔");
  EXPECT_EQ(OemToAnsi("M\x81ller.txt"), "Müller.txt");
}

TEST(CodePages, CharactersWithoutAnOemFormAreLossy) {
  bool Lossless = true;
  EXPECT_EQ(AnsiToOem("日本.jpg", &Lossless), "??.jpg");
  EXPECT_FALSE(Lossless);
  EXPECT_EQ(AnsiToOem("Müller.txt", &Lossless), "M\x81ller.txt");
  EXPECT_TRUE(Lossless);
  EXPECT_EQ(AnsiToOem("€", &Lossless), "?");
  EXPECT_FALSE(Lossless);
  // Bytes that are not UTF-8 (stray, truncated, overlong) count as lossy.
  for (const char* Bad : {"a\xFF" "b", "a\xC3", "a\xC0\xAF" "b", "\xED\xA0\x80"}) {
    EXPECT_EQ(AnsiToOem(Bad, &Lossless).find_first_not_of("ab?"), std::string::npos) << Bad;
    EXPECT_FALSE(Lossless) << Bad;
  }
  EXPECT_EQ(AnsiToOem("plain"), "plain");
}

TEST(CodePages, CaseMappingIsMultiByteAware) {
  EXPECT_EQ(AnsiUpperCase("é"), "É");
  EXPECT_EQ(AnsiUpperCase("dcim/ä.jpg"), "DCIM/Ä.JPG");
  EXPECT_EQ(AnsiLowerCase("ÄÖÜ ABC"), "äöü abc");
  EXPECT_EQ(AnsiUpperCaseFileName("привет.txt"), "ПРИВЕТ.TXT");
  EXPECT_EQ(AnsiLowerCaseFileName("日本.JPG"), "日本.jpg");
  EXPECT_EQ(AnsiUpperCase("a\xFFz\xC3"), "A\xFFZ\xC3");  // not UTF-8: kept
}

}  // namespace
}  // namespace zem::platform
