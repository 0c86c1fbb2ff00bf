// Wildcard matching of file names and archive paths against patterns with
// '*', '?' and character sets in angle brackets.
#pragma once

#include <string>

namespace zem {

// Pattern language (both pattern and text are byte strings; only the ASCII
// letters A-Z are folded to lower case, every other byte compares by value):
//   *            any run of bytes, also none
//   ?            exactly one byte
//   <set>        one byte in the set; <!set> or <^set> one byte not in it
//   *<set>       a run of bytes each in the set (not in it when negated)
//   other bytes  themselves
// A set is a run of items up to the next '>': a single byte or a range a-b
// (a range whose end lies below its start contributes nothing).
//
// The matcher keeps two long-standing quirks that callers rely on: a
// trailing run of two or more stars needs at least one byte ("a**" does not
// match "a"), and a star followed only by '?'s needs one byte more than the
// '?'s ("*?" does not match "a"). The pattern that is exactly "*" matches
// everything, the empty text included.

// Outcome codes of a comparison; only wcMatch is a match.
enum TWildcardCode : int {
  wcMatch = 1,          // pattern and text used up together
  wcTextRemains = 2,    // the pattern ended while text remained
  wcPatternRemains = 3, // the text ended while pattern remained, or a star found no way on
  wcSetRejected = 4,    // a set rejected the byte
  wcLiteralDiffers = 5, // a literal byte differed
  wcMalformedSet = 6,   // the pattern ends inside a set, a set is empty, or a range has no end
};

// The code the comparison of Pattern with Text ends with. Never reads
// outside either string and always terminates; work is polynomial in the
// lengths (attempts of the star rule are remembered), and recursion depth is
// bounded by the pattern's length.
TWildcardCode WildcardMatchCode(const std::string& Pattern, const std::string& Text);

// True when Text matches Pattern (the comparison ends with wcMatch).
bool IsMatch(const std::string& Pattern, const std::string& Text);

}  // namespace zem
