// Iterating the non-overlapping matches of a regular expression over a text.
//
// Each search runs on the whole text from a start position, so assertions
// (^, \b, lookbehind-like context) see the real text before the start. A
// match is reported leftmost-first; the next search starts at its end. An
// empty match that ends where the previous reported match ended is not
// reported: the search is repeated from the next character boundary. So the
// pattern a* over "baaa" yields [0,0) and [1,4) and nothing at 4. Spans
// always lie on character boundaries: a match that would cut a character
// (possible only with byte-level escapes) is passed over, and the search
// goes on from the character after its start.
//
// Dense matches: the next characters that can begin a match (by the range of
// first bytes RE2 computes for the pattern's matches) are tried with one
// anchored match each, a few of them before falling back to the unanchored
// search, which costs two automaton passes (end, then start). The shortcut is taken
// only for patterns without anchors or boundary assertions and without
// empty matches, where a match's existence at a position does not depend on
// the text around it; it finds the same matches. Python-free.
#pragma once

#include <cstdint>
#include <string_view>

#include "chars.hpp"
#include "word_scan.hpp"

namespace re2 {
class RE2;
}

namespace quernlet {

// Asks RE2 for the bounds of `re`'s matches; takes a few microseconds.
MatchBounds match_bounds(const re2::RE2& re);

class RegexMatchIterator {
 public:
  // `re` and `text` must outlive the iterator. This one keeps to the
  // unanchored search (for testing the shortcut against it).
  RegexMatchIterator(const re2::RE2& re, std::string_view text) noexcept;
  // With the dense-match shortcut where `bounds` (those of `re`) allow it.
  RegexMatchIterator(const re2::RE2& re, const MatchBounds& bounds, std::string_view text) noexcept;

  // The next match, or false when there is none.
  bool next(MatchSpan& match) noexcept;

 private:
  const re2::RE2& re_;
  std::string_view text_;
  // Where the next search starts.
  Pos from_ = 0;
  // End of the last reported match, when there is one.
  Pos last_end_ = 0;
  bool has_last_ = false;
  bool done_ = false;
  // The dense-match shortcut: whether it is on, and the first-byte range of
  // every match.
  bool shortcut_ = false;
  unsigned char lo_ = 0, hi_ = 0xFF;
  // Matches found by the shortcut, and times it handed over to the
  // unanchored search; the shortcut is dropped when it mostly hands over.
  std::uint64_t hits_ = 0, misses_ = 0;
};

// True when `pattern` has no anchor (^, $, \A, \z) or word-boundary
// assertion (\b, \B) outside a character class: whether it matches at a
// position then depends only on the text from that position on.
bool free_of_assertions(std::string_view pattern) noexcept;

// What a match of `re` anchored at the start of a text (the way
// RegexElement matches at a position) can begin with: the first bytes
// allowed by RE2's bounds on every matching string, and the empty match
// when RE2 finds one in any of the contexts an empty match can depend on.
// Over-approximates; every byte and the empty match when RE2 gives no bound.
// `bounds` are those of `re`.
StartBytes regex_start_bytes(const re2::RE2& re, const MatchBounds& bounds);

}  // namespace quernlet
