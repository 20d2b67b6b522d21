// Class-run patterns: regular expressions that a byte-table scan answers
// exactly as RE2 does.
//
// The subset is a sequence of single-character atoms with exactly one of
// them repeated ('*' or '+', greedy): fixed atoms, one run, fixed atoms, as
// in [A-Za-z_][A-Za-z0-9_]*, [0-9]+, \w+ or "[^"\n]*". An atom is a plain
// or escaped ASCII character, '.', \d \w \s \D \W \S, or a bracket class of
// those with ranges and negation. Anything else (flags, groups, anchors,
// alternation, counted or lazy repetition, non-ASCII pattern characters,
// other escapes) is not recognised and stays with RE2.
//
// Why a byte table is exact: every atom of the subset holds either every
// non-ASCII character or none, and decides ASCII characters by their byte.
// In valid UTF-8 the bytes of a non-ASCII character are all 0x80 and
// above, so a run over a table that holds all of those bytes (or none)
// takes whole characters and stops on a character boundary. Fixed atoms
// must hold no non-ASCII character, so they take one byte each.
//
// Why greedy is enough: a match could only need a shorter run if the atom
// after the run could match a byte inside it; the subset requires the two
// to be disjoint (a pattern whose run matches nothing after it takes the
// longest run). A match is never empty: a pattern that could match the
// empty text is not recognised.
//
// Texts must be valid UTF-8 (the UTF-8 form of a Python str). Python-free.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "chars.hpp"
#include "stretch_scan.hpp"
#include "word_scan.hpp"

namespace quernlet {

class ClassRun {
 public:
  using Table = std::array<std::uint8_t, 256>;

  // The class run that `pattern` is, or null when it is outside the subset.
  // `pattern` must be one RE2 compiles.
  static std::unique_ptr<const ClassRun> recognise(std::string_view pattern);
  // The same, and also a lone starred atom (such as a* or [^,]*), which
  // matches the empty text: a run fit only for matches at a position
  // (`match_length`), whose scans would differ from the iteration's.
  static std::unique_ptr<const ClassRun> recognise_anchored(std::string_view pattern);

  ClassRun(std::vector<Table> head, const Table& run, bool at_least_one, std::vector<Table> tail);
  ~ClassRun();

  // End of the match at `pos` (a character boundary), or 0 when none
  // starts there (a match always has end > pos). The run's bytes count
  // towards the interrupt period; a run that gives up finds no match.
  Pos match_end(std::string_view text, Pos pos) const noexcept {
    const Pos end = end_at(text, pos);
    return end == kNoEnd ? 0 : end;
  }

  // Length of the match at `pos` (a character boundary), or -1 when none
  // starts there; the empty match of a lone starred atom included.
  std::int64_t match_length(std::string_view text, Pos pos) const noexcept {
    const Pos end = end_at(text, pos);
    return end == kNoEnd ? -1 : static_cast<std::int64_t>(end - pos);
  }

  // The leftmost match starting at or after `from`, like an unanchored
  // search; false when there is none. Linear over a whole scan: a start
  // whose run was read to its end without a match moves the next try past
  // every start that would read the same run.
  bool find(std::string_view text, Pos from, MatchSpan& match) const noexcept;

  // Number of matches of the scan that restarts each search at the end of
  // the previous match.
  std::uint64_t count(std::string_view text) const noexcept;

  // Calls `f(span)` for every match of the scan of `text`, in order.
  template <class F>
  void for_each(std::string_view text, F&& f) const {
    if (scanner_) return for_each_word(*scanner_, text, f);
    for (MatchSpan m; find(text, m.end, m);) f(m);
  }

  // The bytes a match can start with.
  const Table& first() const noexcept { return first_; }

  // When the pattern is exactly a Word (one start character, then a run,
  // no fixed atoms after it, no non-ASCII member): its scanner, else null.
  const WordScanner* word_scanner() const noexcept { return scanner_.get(); }

 private:
  static constexpr Pos kNoEnd = ~Pos{0};

  static std::unique_ptr<const ClassRun> recognise(std::string_view pattern, bool anchored);

  static std::size_t byte(std::string_view text, Pos p) noexcept {
    return static_cast<unsigned char>(text[p]);
  }
  // End of the match at `pos`, or kNoEnd.
  Pos end_at(std::string_view text, Pos pos) const noexcept {
    const std::size_t n = text.size();
    Pos p = pos;
    for (const Table& t : head_) {
      if (p >= n || !t[byte(text, p)]) return kNoEnd;
      ++p;
    }
    const Pos run_start = p;
    if (!scan_while(text, p, [this](unsigned char b) { return run_[b] != 0; })) return kNoEnd;
    if (at_least_one_ && p == run_start) return kNoEnd;
    if (tail_.empty()) return p;
    const Pos end = tail_end(text, p);
    return end == 0 ? kNoEnd : end;
  }
  // End after the tail atoms from `p`, or 0 when they do not match there.
  Pos tail_end(std::string_view text, Pos p) const noexcept {
    for (const Table& t : tail_) {
      if (p >= text.size() || !t[byte(text, p)]) return 0;
      ++p;
    }
    return p;
  }

  // The fixed atoms before the run, one byte each.
  std::vector<Table> head_;
  // The repeated atom.
  Table run_;
  // '+': the run needs one character.
  bool at_least_one_;
  // The fixed atoms after the run; the first is disjoint from `run_`.
  std::vector<Table> tail_;
  // The bytes a match can start with.
  Table first_;
  // The one byte a match starts with, or -1 when there are several.
  int first_byte_ = -1;
  // The Word form (see word_scanner), kept alive for its scanner.
  Ref<WordElement> word_;
  std::unique_ptr<WordScanner> scanner_;
};

// `regex.match_length(text, pos)` for a valid UTF-8 `text` and a character
// boundary `pos`, through the class run when the pattern is one.
inline std::int64_t utf8_match_length(const RegexElement& regex, std::string_view text, Pos pos) {
  if (const ClassRun* run = regex.anchored_run()) return run->match_length(text, pos);
  return regex.match_length(text, pos);
}

}  // namespace quernlet
