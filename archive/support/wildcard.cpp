// Wildcard matching: the comparison loop, the star rule and character sets.
#include "archive/support/wildcard.h"

#include <bitset>
#include <cstdint>
#include <utility>
#include <vector>

namespace zem {

namespace {

// How a comparison proceeds
// -------------------------
// The comparison walks pattern and text together. A star hands the rest of
// the pattern (R) and the rest of the text (S) to the star rule: R's leading
// '*' and '?' are skipped ('?' eating one byte of S each), then every
// position of S whose byte equals R's first byte (or where R starts with a
// set) is tried as the start of a nested comparison of R; bytes passed over
// are absorbed by the star, and must satisfy its set when it has one. When
// S runs out without an attempt, the outer comparison goes on after the star
// as if it had eaten one byte, which then fails on R's first byte.
//
// A nested comparison depends only on where it starts in pattern and text,
// so its code is remembered per (pattern start, text start), and so is the
// outcome of each star's rule: a pattern with many stars over a long text
// costs about (pattern length x text length) steps, not exponential time.
// Nested comparisons always start past the star that made them, so the
// recursion is never deeper than the pattern is long.

// Marks a star rule that made no attempt: the caller goes on after the star.
constexpr int kGoOn = 0;

using TByteSet = std::bitset<256>;

enum class TSetParse { Ok, Empty, Malformed };

// Reads the set whose '<' is at P[Open]: a leading '!' or '^' negates it,
// then items up to the next '>'. On Ok, Set holds the bytes that satisfy the
// set (negation applied) and Close the index of its '>'. Malformed: the
// pattern ends inside the set, or a '-' stands directly before '>' or at the
// end. Empty: the set has no items.
TSetParse ParseSet(const std::string& P, size_t Open, TByteSet& Set, size_t& Close) {
  const size_t n = P.size();
  size_t i = Open + 1;
  bool negated = false;
  if (i < n && (P[i] == '!' || P[i] == '^')) {
    negated = true;
    ++i;
  }
  Set.reset();
  bool anyItem = false;
  while (i < n && P[i] != '>') {
    const auto lo = static_cast<unsigned char>(P[i]);
    if (lo == '-' && (i + 1 >= n || P[i + 1] == '>')) return TSetParse::Malformed;
    if (i + 1 < n && P[i + 1] == '-') {
      if (i + 2 >= n || P[i + 2] == '>') return TSetParse::Malformed;
      const auto hi = static_cast<unsigned char>(P[i + 2]);
      for (unsigned b = lo; b <= hi; ++b) Set.set(b);  // hi < lo adds nothing
      i += 3;
    } else {
      Set.set(lo);
      ++i;
    }
    anyItem = true;
  }
  if (i >= n) return TSetParse::Malformed;
  if (!anyItem) return TSetParse::Empty;
  if (negated) Set.flip();
  Close = i;
  return TSetParse::Ok;
}

class TMatcher {
 public:
  TMatcher(const std::string& Pattern, const std::string& Text) : P(Pattern), T(Text) {}

  // The comparison of P from p with T from t.
  int Compare(size_t p, size_t t) {
    const size_t n = P.size();
    const size_t m = T.size();
    while (p < n) {
      if (t >= m) return (P[p] == '*' && p == n - 1) ? wcMatch : wcPatternRemains;
      const char c = P[p];
      if (c == '*') {
        TByteSet starSet;  // this star's own set, untouched by nested comparisons
        const TByteSet* set = nullptr;
        size_t rest = p;  // R starts at the star itself when it has no set
        if (p + 1 < n && P[p + 1] == '<') {
          size_t close = 0;
          switch (ParseSet(P, p + 1, starSet, close)) {
            case TSetParse::Empty: return wcPatternRemains;
            case TSetParse::Malformed: return wcMalformedSet;
            case TSetParse::Ok: break;
          }
          set = &starSet;
          rest = close + 1;
        }
        const int code = StarRule(p, rest, t, set);
        if (code != kGoOn) return code;
        p = (set != nullptr) ? rest : p + 1;
        ++t;
        continue;
      }
      if (c == '<') {
        TByteSet set;
        size_t close = 0;
        if (ParseSet(P, p, set, close) != TSetParse::Ok) return wcMalformedSet;
        if (!set.test(static_cast<unsigned char>(T[t]))) return wcSetRejected;
        p = close + 1;
        ++t;
        continue;
      }
      if (c != '?' && c != T[t]) return wcLiteralDiffers;
      ++p;
      ++t;
    }
    return t >= m ? wcMatch : wcTextRemains;
  }

 private:
  // Row value of a star rule that made no attempt (codes are 1..6, 0 unknown).
  static constexpr uint8_t kNoAttempt = 7;

  // The star rule for the star at P[Star], with R = P from r and S = T from
  // t; Set is the star's set or null. Returns kGoOn when no attempt was made
  // and R is not empty.
  //
  // Over the positions of S the rule is a suffix recurrence: at pos, a
  // matching attempt gives 1, a byte the set refuses gives 3, and otherwise
  // the outcome is that of pos + 1 (or, when no attempt follows, this
  // position's attempt code). Outcomes are remembered per star and position,
  // so each position is walked once however often the star is reached.
  int StarRule(size_t Star, size_t r, size_t t, const TByteSet* Set) {
    const size_t n = P.size();
    const size_t m = T.size();
    size_t i = r;
    size_t s = t;
    while (i < n && (P[i] == '*' || P[i] == '?')) {
      if (P[i] == '?') ++s;  // s stays below n + m: no overflow
      ++i;
    }
    if (s >= m) return wcPatternRemains;
    if (i > r && i == n) return wcMatch;  // a trailing star takes all the rest

    std::vector<uint8_t>& row = Row(FStarMemo, Star, m + 1);
    // Walk forward to a known outcome or an early end, then fill back.
    std::vector<std::pair<size_t, uint8_t>> pending;  // position, attempt code (0: none)
    size_t pos = s;
    while (pos < m && row[pos] == 0) {
      uint8_t code = 0;
      if (i < n && (P[i] == T[pos] || P[i] == '<')) code = static_cast<uint8_t>(Attempt(i, pos));
      if (code == wcMatch) {
        row[pos] = wcMatch;
        break;
      }
      if (Set != nullptr && !Set->test(static_cast<unsigned char>(T[pos]))) {
        row[pos] = wcPatternRemains;
        break;
      }
      pending.emplace_back(pos, code);
      ++pos;
    }
    if (pos == m && row[m] == 0) row[m] = (i == n) ? uint8_t{wcMatch} : kNoAttempt;
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
      const uint8_t rest = row[it->first + 1];
      row[it->first] = (rest == kNoAttempt && it->second != 0) ? it->second : rest;
    }
    return row[s] == kNoAttempt ? kGoOn : row[s];
  }

  // A nested comparison, remembered by its start positions.
  int Attempt(size_t p, size_t t) {
    std::vector<uint8_t>& row = Row(FAttemptMemo, p, T.size());
    if (row[t] == 0) {
      const uint8_t code = static_cast<uint8_t>(Compare(p, t));
      // Nested work only adds rows for later pattern positions; FAttemptMemo
      // is sized once, so this row has not moved.
      row[t] = code;
    }
    return row[t];
  }

  // The memo row for pattern position p, made on first use.
  std::vector<uint8_t>& Row(std::vector<std::vector<uint8_t>>& Memo, size_t p, size_t Size) {
    if (Memo.empty()) Memo.resize(P.size() + 1);
    if (Memo[p].empty()) Memo[p].assign(Size, 0);
    return Memo[p];
  }

  const std::string& P;
  const std::string& T;
  // Per pattern position: the code of the comparison started there from each
  // text position (nested attempts), and the outcome of the star rule of the
  // star there from each text position. 0 while unknown.
  std::vector<std::vector<uint8_t>> FAttemptMemo;
  std::vector<std::vector<uint8_t>> FStarMemo;
};

std::string FoldLetters(std::string S) {
  for (char& c : S)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return S;
}

}  // namespace

TWildcardCode WildcardMatchCode(const std::string& Pattern, const std::string& Text) {
  const std::string p = FoldLetters(Pattern);
  if (p == "*") return wcMatch;
  const std::string t = FoldLetters(Text);
  TMatcher matcher(p, t);
  return static_cast<TWildcardCode>(matcher.Compare(0, 0));
}

bool IsMatch(const std::string& Pattern, const std::string& Text) {
  return WildcardMatchCode(Pattern, Text) == wcMatch;
}

}  // namespace zem
