// ANSI (UTF-8) and OEM (code page 437) conversions and ANSI case mapping.
//
// Code page 437 is a single-byte code page, so both directions run on one
// table of 256 code points built once through iconv (thread-safe static
// initialisation, no descriptors shared between threads afterwards).
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <array>
#include <unordered_map>

#include "platform/winapi.h"

namespace zem::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at Text[I]. On success stores the code point,
// advances I past the sequence and returns true; on an invalid sequence
// (stray continuation, truncation, overlong form, surrogate, beyond U+10FFFF)
// advances I by one byte and returns false.
bool DecodeUtf8(const std::string& Text, size_t& I, char32_t& Cp) {
  auto Byte = [&](size_t K) { return static_cast<unsigned char>(Text[K]); };
  unsigned char B0 = Byte(I);
  if (B0 < 0x80) {
    Cp = B0;
    ++I;
    return true;
  }
  size_t Len;
  char32_t Min;
  if ((B0 & 0xE0) == 0xC0) {
    Len = 2, Cp = B0 & 0x1F, Min = 0x80;
  } else if ((B0 & 0xF0) == 0xE0) {
    Len = 3, Cp = B0 & 0x0F, Min = 0x800;
  } else if ((B0 & 0xF8) == 0xF0) {
    Len = 4, Cp = B0 & 0x07, Min = 0x10000;
  } else {
    ++I;
    return false;
  }
  if (I + Len > Text.size()) {
    ++I;
    return false;
  }
  for (size_t K = 1; K < Len; ++K) {
    unsigned char B = Byte(I + K);
    if ((B & 0xC0) != 0x80) {
      ++I;
      return false;
    }
    Cp = (Cp << 6) | (B & 0x3F);
  }
  if (Cp < Min || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF)) {
    ++I;
    return false;
  }
  I += Len;
  return true;
}

void EncodeUtf8(char32_t Cp, std::string& Out) {
  if (Cp < 0x80) {
    Out += static_cast<char>(Cp);
  } else if (Cp < 0x800) {
    Out += static_cast<char>(0xC0 | (Cp >> 6));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else if (Cp < 0x10000) {
    Out += static_cast<char>(0xE0 | (Cp >> 12));
    Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (Cp >> 18));
    Out += static_cast<char>(0x80 | ((Cp >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  }
}

struct TOemTable {
  std::array<char32_t, 256> ToUnicode{};
  std::unordered_map<char32_t, unsigned char> FromUnicode;

  TOemTable() {
    iconv_t Cd = iconv_open("UTF-8", "CP437");
    for (int B = 0; B < 256; ++B) {
      char32_t Cp = B < 0x80 ? static_cast<char32_t>(B) : kReplacement;
      if (Cd != reinterpret_cast<iconv_t>(-1)) {
        char In = static_cast<char>(B);
        char Buf[8];
        char* InP = &In;
        char* OutP = Buf;
        size_t InLeft = 1, OutLeft = sizeof Buf;
        iconv(Cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(Cd, &InP, &InLeft, &OutP, &OutLeft) != static_cast<size_t>(-1)) {
          std::string Utf(Buf, static_cast<size_t>(OutP - Buf));
          size_t I = 0;
          char32_t Decoded;
          if (!Utf.empty() && DecodeUtf8(Utf, I, Decoded) && I == Utf.size()) Cp = Decoded;
        }
      }
      ToUnicode[static_cast<size_t>(B)] = Cp;
      if (Cp != kReplacement) FromUnicode.emplace(Cp, static_cast<unsigned char>(B));
    }
    if (Cd != reinterpret_cast<iconv_t>(-1)) iconv_close(Cd);
  }
};

const TOemTable& OemTable() {
  static const TOemTable Table;
  return Table;
}

// The UTF-8 character-type locale for case mapping; null when the system
// has none (then only ASCII letters change case).
locale_t Utf8Locale() {
  static const locale_t Loc = [] {
    locale_t L = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (L == static_cast<locale_t>(0)) L = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
    return L;
  }();
  return Loc;
}

template <typename Map>
std::string MapCase(const std::string& Text, Map Fn) {
  std::string Out;
  Out.reserve(Text.size());
  locale_t Loc = Utf8Locale();
  size_t I = 0;
  while (I < Text.size()) {
    size_t Start = I;
    char32_t Cp;
    if (!DecodeUtf8(Text, I, Cp)) {
      Out += Text[Start];  // not UTF-8: left as it is
      continue;
    }
    if (Cp < 0x80) {
      Out += static_cast<char>(Fn(static_cast<wint_t>(Cp), static_cast<locale_t>(0)));
    } else if (Loc != static_cast<locale_t>(0)) {
      EncodeUtf8(static_cast<char32_t>(Fn(static_cast<wint_t>(Cp), Loc)), Out);
    } else {
      Out.append(Text, Start, I - Start);
    }
  }
  return Out;
}

wint_t Upper(wint_t C, locale_t Loc) {
  if (Loc == static_cast<locale_t>(0)) return (C >= 'a' && C <= 'z') ? C - 32 : C;
  return towupper_l(C, Loc);
}

wint_t Lower(wint_t C, locale_t Loc) {
  if (Loc == static_cast<locale_t>(0)) return (C >= 'A' && C <= 'Z') ? C + 32 : C;
  return towlower_l(C, Loc);
}

}  // namespace

std::string AnsiToOem(const std::string& Text, bool* Lossless) {
  const TOemTable& T = OemTable();
  std::string Out;
  Out.reserve(Text.size());
  bool AllConverted = true;
  size_t I = 0;
  while (I < Text.size()) {
    char32_t Cp;
    if (!DecodeUtf8(Text, I, Cp)) {
      Out += '?';
      AllConverted = false;
      continue;
    }
    if (Cp < 0x80) {
      Out += static_cast<char>(Cp);
      continue;
    }
    auto It = T.FromUnicode.find(Cp);
    if (It == T.FromUnicode.end()) {
      Out += '?';
      AllConverted = false;
    } else {
      Out += static_cast<char>(It->second);
    }
  }
  if (Lossless != nullptr) *Lossless = AllConverted;
  return Out;
}

std::string OemToAnsi(const std::string& Text) {
  const TOemTable& T = OemTable();
  std::string Out;
  Out.reserve(Text.size() * 2);
  for (char C : Text) {
    unsigned char B = static_cast<unsigned char>(C);
    if (B < 0x80)
      Out += C;
    else
      EncodeUtf8(T.ToUnicode[B], Out);
  }
  return Out;
}

// ---- Native names ------------------------------------------------------------

namespace {

constexpr char32_t kEscapeBase = 0xF000;

bool EscapedInName(char32_t Cp) {
  switch (Cp) {
    case '\\': case ':': case '*': case '?': case '<': case '>': case '|': case '"':
      return true;
    default:
      return Cp >= kEscapeBase && Cp <= kEscapeBase + 0xFF;
  }
}

void AppendEscaped(unsigned char Byte, std::string& Out) { EncodeUtf8(kEscapeBase + Byte, Out); }

}  // namespace

std::string NameFromNative(const std::string& Native) {
  std::string Out;
  Out.reserve(Native.size());
  size_t I = 0;
  while (I < Native.size()) {
    const size_t Start = I;
    char32_t Cp;
    if (!DecodeUtf8(Native, I, Cp)) {
      AppendEscaped(static_cast<unsigned char>(Native[Start]), Out);  // I moved one byte on
    } else if (EscapedInName(Cp)) {
      for (size_t K = Start; K < I; ++K) AppendEscaped(static_cast<unsigned char>(Native[K]), Out);
    } else {
      Out.append(Native, Start, I - Start);
    }
  }
  return Out;
}

// An escape is the three bytes EF 80..83 xx; nothing else in valid or
// invalid text decodes to U+F000..U+F0FF, so a plain byte scan suffices.
std::string NameToNative(const std::string& Internal) {
  if (!HasEscapes(Internal)) return Internal;
  std::string Out;
  Out.reserve(Internal.size());
  size_t I = 0;
  while (I < Internal.size()) {
    const size_t Start = I;
    char32_t Cp;
    if (DecodeUtf8(Internal, I, Cp) && Cp >= kEscapeBase && Cp <= kEscapeBase + 0xFF)
      Out += static_cast<char>(Cp - kEscapeBase);
    else
      Out.append(Internal, Start, I - Start);
  }
  return Out;
}

bool HasEscapes(const std::string& Internal) {
  for (size_t I = 0; I + 2 < Internal.size(); ++I)
    if (static_cast<unsigned char>(Internal[I]) == 0xEF &&
        (static_cast<unsigned char>(Internal[I + 1]) & 0xFC) == 0x80 &&
        (static_cast<unsigned char>(Internal[I + 2]) & 0xC0) == 0x80)
      return true;
  return false;
}

std::string AnsiUpperCase(const std::string& Text) { return MapCase(Text, Upper); }
std::string AnsiLowerCase(const std::string& Text) { return MapCase(Text, Lower); }
std::string AnsiUpperCaseFileName(const std::string& Text) { return AnsiUpperCase(Text); }
std::string AnsiLowerCaseFileName(const std::string& Text) { return AnsiLowerCase(Text); }

}  // namespace zem::platform
