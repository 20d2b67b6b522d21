// Scanning a whole text for the words of a Word element.
//
// The word scan: from a position, skip to the next character that may start
// a word; the word runs over the following body characters; the scan resumes
// where the word ended, so the character that ended one word may start the
// next. Every span it yields is the Word's own match at that start
// (`WordElement::match_end`), and spans never begin or end inside a
// character.
//
// Words whose sets are ASCII-only are scanned byte by byte through 256-entry
// tables, or 64 bytes at a time with vector classification where the
// processor has AVX2; the words of one block then follow from the block's
// start and body masks with one carry-propagating addition. Words whose sets
// hold code points 128..255 are scanned character by character.
// Python-free.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "chars.hpp"
#include "find.hpp"
#include "stretch_scan.hpp"

namespace quernlet {

// A match: [start, end) in bytes.
struct MatchSpan {
  Pos start = 0;
  Pos end = 0;
  friend bool operator==(const MatchSpan&, const MatchSpan&) = default;
};

class WordScanner {
 public:
  // `kernel` kAvx2 selects the vector path where supported; any other value
  // the byte-table path (for testing one against the other).
  explicit WordScanner(const WordElement& word, FindKernel kernel = best_find_kernel()) noexcept;

  // Number of words of the word scan. A text that repeats with a short
  // period is counted from one period and the tail when no word can run
  // across a period boundary; the result is always the plain count's. The
  // bytes count towards the interrupt period; when the run gives up, the
  // count stops short.
  std::uint64_t count(std::string_view text) const noexcept;
  // The same number without the period shortcut, by the chosen path.
  std::uint64_t count_plain(std::string_view text) const noexcept;

  // Whether a character that continues a word starts at `pos` (< size).
  bool body_at(std::string_view text, Pos pos) const noexcept;

 private:
  friend class WordCursor;

  // The element; it outlives the scanner.
  const WordElement& word_;
  // Byte-path tables: entry b is 1 when byte b may start / continue a word.
  std::array<std::uint8_t, 256> init_{};
  std::array<std::uint8_t, 256> body_{};
  // Vector path: for each low nibble, the bit set of high nibbles 0..7 whose
  // byte is a member (the sets are ASCII-only, so high nibbles 8..15 never).
  std::array<std::uint8_t, 16> init_nibbles_{};
  std::array<std::uint8_t, 16> body_nibbles_{};
  bool vector_ = false;
};

// The word scan over one text, yielding spans in batches so that callers
// need no array of all spans. The text must outlive the cursor.
class WordCursor {
 public:
  WordCursor(const WordScanner& scanner, std::string_view text) noexcept
      : scanner_(scanner), text_(text) {}

  // Writes up to `cap` next spans (cap >= 1) to `out`; returns how many.
  // Zero means the scan is over. The bytes passed over count towards the
  // interrupt period; a run that gives up ends the scan.
  std::size_t next(MatchSpan* out, std::size_t cap) noexcept;

 private:
  std::size_t next_bytes(MatchSpan* out, std::size_t cap) noexcept;
  std::size_t next_chars(MatchSpan* out, std::size_t cap) noexcept;
  std::size_t next_vector(MatchSpan* out, std::size_t cap) noexcept;

  const WordScanner& scanner_;
  std::string_view text_;
  // Where the scan goes on (byte and character paths), or the start of the
  // next unread 64-byte block (vector path).
  Pos pos_ = 0;
  // Vector path: the block whose starts and ends are being handed out, the
  // masks not yet handed out, the in-word carry into the next block, and the
  // start of a word whose end is not yet seen.
  Pos block_ = 0;
  std::uint64_t starts_ = 0, ends_ = 0;
  std::uint64_t carry_ = 0;
  Pos open_start_ = 0;
  // The bytes passed over, towards the interrupt period.
  PassedBytes passed_{0};
  bool open_ = false;
  bool done_ = false;
};

// Calls `f(span)` for every word of the scan of `text`, in order.
template <class F>
void for_each_word(const WordScanner& scanner, std::string_view text, F&& f) {
  constexpr std::size_t kBatch = 256;
  WordCursor cursor(scanner, text);
  MatchSpan batch[kBatch];
  for (std::size_t k; (k = cursor.next(batch, kBatch)) != 0;)
    for (std::size_t i = 0; i < k; ++i) f(batch[i]);
}

// The first period of a text that repeats with period `p`, for building the
// text's words from one period: true, with `p`, when the text repeats with
// the period that `detect_period` finds, the first period holds at least one
// word and no word runs on across the period's end. The words of the text
// are then those of [0, p) repeated, followed by the words of the tail
// [(n / p) * p, n) scanned from a fresh start.
bool word_period(const WordScanner& scanner, std::string_view text, std::size_t& p) noexcept;

}  // namespace quernlet
