#include "regex_scan.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "stretch_scan.hpp"

namespace quernlet {

namespace {

// Texts shorter than this keep to the unanchored search.
constexpr std::size_t kShortcutMinLength = 4096;
// Candidates tried anchored before one unanchored search.
constexpr int kCandidateTries = 4;

// The texts that decide an empty match at the start of a text. An empty
// match there depends only on the assertions it passes, and those read
// only the byte after it (the text before it is the start of the text):
// the end of the text, a line feed, a word byte, any other byte.
constexpr std::string_view kEmptyContexts[] = {"", "\n", "a", "0", "_", " ", "\t", "\xC3\xA9"};

}  // namespace

MatchBounds match_bounds(const re2::RE2& re) {
  std::string min, max;
  MatchBounds bounds;
  // Every matching string s has min <= s <= max, so a non-empty one begins
  // with a byte between their first bytes. An empty bound says nothing:
  // an empty max is "no upper bound" (and also what RE2 returns for some
  // patterns that do match, like \b), an empty min allows the empty
  // string. A bound cut to its first byte would be rounded up; longer
  // bounds keep the first byte exact.
  if (!re.PossibleMatchRange(&min, &max, 8) || max.empty()) return bounds;
  bounds.bounded = true;
  bounds.min_empty = min.empty();
  bounds.lo = min.empty() ? 0 : static_cast<unsigned char>(min[0]);
  bounds.hi = static_cast<unsigned char>(max[0]);
  return bounds;
}

StartBytes regex_start_bytes(const re2::RE2& re, const MatchBounds& bounds) {
  // The bounds are not trusted about the empty match itself: a match that
  // ends before an assertion is bounded by the byte that the assertion read
  // (x?\b gives min "x" yet matches empty before "a").
  if (!bounds.bounded) return StartBytes::anything();
  StartBytes starts;
  for (unsigned b = bounds.lo; b <= bounds.hi; ++b) starts.add(static_cast<unsigned char>(b));
  // An empty range of the whole context asks for an empty match before it;
  // the assertions still see the context's bytes. Without assertions what
  // follows cannot matter, and the first context decides.
  const bool context_free = free_of_assertions(re.pattern());
  for (const std::string_view context : kEmptyContexts) {
    const re2::StringPiece text(context.data(), context.size());
    if (re.Match(text, 0, 0, re2::RE2::ANCHOR_BOTH, nullptr, 0)) {
      starts.set_can_be_empty(true);
      break;
    }
    if (context_free) break;
  }
  return starts;
}

bool free_of_assertions(std::string_view pattern) noexcept {
  bool in_class = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      if (++i >= pattern.size()) break;
      const char e = pattern[i];
      if (!in_class && (e == 'b' || e == 'B' || e == 'A' || e == 'z')) return false;
      continue;
    }
    if (in_class) {
      if (c == ']') in_class = false;
      continue;
    }
    if (c == '^' || c == '$') return false;
    if (c == '[') {
      in_class = true;
      // A ']' right after '[' or '[^' is a member, not the end.
      if (i + 1 < pattern.size() && pattern[i + 1] == '^') ++i;
      if (i + 1 < pattern.size() && pattern[i + 1] == ']') ++i;
    }
  }
  return true;
}

RegexMatchIterator::RegexMatchIterator(const re2::RE2& re, std::string_view text) noexcept
    : re_(re), text_(text) {}

RegexMatchIterator::RegexMatchIterator(const re2::RE2& re, const MatchBounds& bounds,
                                       std::string_view text) noexcept
    : RegexMatchIterator(re, text) {
  // A non-empty lower bound also rules out empty matches.
  if (!bounds.bounded || bounds.min_empty || text.size() < kShortcutMinLength ||
      !free_of_assertions(re.pattern()))
    return;
  shortcut_ = true;
  lo_ = bounds.lo;
  hi_ = bounds.hi;
}

bool RegexMatchIterator::next(MatchSpan& match) noexcept {
  const std::size_t n = text_.size();
  const re2::StringPiece whole(text_.data(), n);
  if (shortcut_ && !done_) {
    // No match starts before the first candidate that matches anchored, so
    // that match is the leftmost one. A few failed candidates hand over to
    // the unanchored search, from after them.
    const auto* t = reinterpret_cast<const unsigned char*>(text_.data());
    for (int tries = 0; tries < kCandidateTries && from_ < n; ++tries) {
      Pos c = from_;
      const bool scanned = lo_ == hi_ ? find_byte_counted(text_, lo_, c)
                                      : scan_while(t, c, n, [lo = lo_, hi = hi_](unsigned char b) {
                                          return b < lo || b > hi;
                                        });
      if (!scanned || c >= n) {
        done_ = true;
        return false;
      }
      if (!is_char_boundary(text_, c)) {
        from_ = next_char_boundary(text_, c + 1);
        continue;
      }
      re2::StringPiece found;
      const bool matched = re_.Match(whole, c, n, re2::RE2::ANCHOR_START, &found, 1);
      // A run that gives up ends the scan.
      if (run_search(matched ? found.size() : 0)) {
        done_ = true;
        return false;
      }
      if (matched) {
        const Pos end = c + found.size();
        if (end > c && is_char_boundary(text_, end)) {
          last_end_ = from_ = end;
          has_last_ = true;
          ++hits_;
          match = {c, end};
          return true;
        }
        // A match that cuts a character: the general loop passes it over.
        from_ = c;
        break;
      }
      from_ = next_char_boundary(text_, c + 1);
    }
    // Candidates that mostly fail cost more than they save.
    if (++misses_ > 16 && misses_ * 4 > hits_) shortcut_ = false;
  }
  while (!done_) {
    // One search cannot be cut short: it counts as a search over the bytes
    // it passed over, the whole rest when it found nothing, and a run that
    // gives up ends the scan.
    re2::StringPiece found;
    if (from_ > n || !re_.Match(whole, from_, n, re2::RE2::UNANCHORED, &found, 1)) {
      if (from_ < n) run_search(n - from_);
      break;
    }
    const Pos start = static_cast<Pos>(found.data() - text_.data());
    const Pos end = start + found.size();
    if (run_search(end - from_)) break;
    if (!is_char_boundary(text_, start) || !is_char_boundary(text_, end)) {
      if (start >= n) break;
      from_ = next_char_boundary(text_, start + 1);
      continue;
    }
    if (start == end && has_last_ && end == last_end_) {
      if (end >= n) break;
      from_ = next_char_boundary(text_, end + 1);
      continue;
    }
    has_last_ = true;
    last_end_ = end;
    from_ = end;
    match = {start, end};
    return true;
  }
  done_ = true;
  return false;
}

}  // namespace quernlet
