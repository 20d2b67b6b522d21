// Word, Regex and QuotedString: the character-level kinds.
//
// All three work on UTF-8 bytes with byte offsets, and none of them starts or
// ends a match inside a character: sets and quote characters are tested on
// whole characters, and a regular-expression match that would end inside a
// character counts as no match. A match never starts at a byte that
// continues a character.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "element.hpp"
#include "stretch_scan.hpp"

namespace re2 {
class RE2;
}

namespace quernlet {

class ClassRun;

// A set of code points 0..255; value c is bit c % 64 of word c / 64.
struct CodePointSet {
  std::array<std::uint64_t, 4> words{};

  void add(std::uint32_t c) noexcept { words[c >> 6] |= std::uint64_t{1} << (c & 63); }
  // Any value may be asked; 256 and above are never members.
  bool has(std::uint32_t c) const noexcept {
    return c < 256 && ((words[c >> 6] >> (c & 63)) & 1) != 0;
  }
  // True when no member is 128 or above, so a byte test decides membership.
  bool ascii_only() const noexcept { return words[2] == 0 && words[3] == 0; }
  // The members below 128 as a 256-entry byte table (bytes 0x80 and above
  // are never members here: they start or continue multi-byte characters).
  std::array<std::uint8_t, 256> ascii_table() const noexcept;
  // Adds the code points below 256 of every character of UTF-8 `chars`.
  static CodePointSet of(std::string_view chars) noexcept;
};

// The code point of the character at `pos` (< size) when it is below 256,
// with its byte length in `len`; otherwise 256 (a wider character, or a byte
// that continues one), which no `CodePointSet` holds, with `len` 1.
inline std::uint32_t latin1_at(std::string_view text, Pos pos, unsigned& len) noexcept {
  const auto b = static_cast<unsigned char>(text[pos]);
  len = 1;
  if (b < 0x80) return b;
  // Code points 0x80..0xFF are exactly the two-byte forms led by C2 or C3.
  if ((b == 0xC2 || b == 0xC3) && pos + 1 < text.size()) {
    const auto c = static_cast<unsigned char>(text[pos + 1]);
    if ((c & 0xC0) == 0x80) {
      len = 2;
      return ((b & 0x1Fu) << 6) | (c & 0x3Fu);
    }
  }
  return 256;
}

// A run of one character of `init_set` followed by characters of `body_set`,
// taken greedily. Characters are tested whole by code point, so a run never
// ends inside a character; code points of 256 and above are in no set.
class WordElement final : public ElementKind<WordElement> {
  // "Expected W:({init_chars up to byte 8, cut back to a character}...)".
  SharedString message_;
  // Allowed first characters.
  CodePointSet init_set_;
  // Allowed following characters.
  CodePointSet body_set_;
  // Both sets ASCII-only: bytes decide, and bytes 0x80 and above never match.
  bool ascii_only_;

 public:
  // `body_chars` null means: the same set as `init_chars`.
  WordElement(std::string_view init_chars, const std::string_view* body_chars);

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;

  const SharedString& message() const noexcept { return message_; }
  const CodePointSet& init_set() const noexcept { return init_set_; }
  const CodePointSet& body_set() const noexcept { return body_set_; }
  // Always 1 and 0 (no upper bound).
  std::uint64_t min_len() const noexcept { return 1; }
  std::uint64_t max_len() const noexcept { return 0; }
  // True when both sets are ASCII-only: then every byte is tested on its own
  // (the sets' `ascii_table`s are exact) and no character needs decoding.
  bool ascii_only() const noexcept { return ascii_only_; }

  // End of the word at `pos`, or 0 when none starts there (a match always
  // has end > pos, so 0 is unambiguous). Every path that matches a Word must
  // give this end. The run's bytes count towards the interrupt period; a run
  // that gives up finds no word.
  Pos match_end(std::string_view text, Pos pos) const noexcept {
    const std::size_t n = text.size();
    if (pos >= n) return 0;
    if (ascii_only_) {
      if (!init_set_.has(static_cast<unsigned char>(text[pos]))) return 0;
      Pos end = pos + 1;
      const bool whole =
          scan_while(text, end, [this](unsigned char b) { return body_set_.has(b); });
      return whole ? end : 0;
    }
    return latin1_match_end(text, pos);
  }

 private:
  // Inline, as the ASCII path is: a scan over many short words calls no
  // function per word.
  Pos latin1_match_end(std::string_view text, Pos pos) const noexcept {
    const std::size_t n = text.size();
    unsigned len = 1;
    if (!init_set_.has(latin1_at(text, pos, len))) return 0;
    Pos end = pos + len;
    // A word shorter than a KiB counts nothing; a longer one goes on in
    // stretches, each counted towards the interrupt period.
    const Pos first = stretch_end(end, n, kScanBytesPerStep);
    while (end < first && body_set_.has(latin1_at(text, end, len))) end += len;
    if (end < first) [[likely]]
      return end;
    return long_latin1_end(text, pos, end);
  }
  // The word's end once it runs on past `end`, counted from `from`.
  [[gnu::noinline]] Pos long_latin1_end(std::string_view text, Pos from, Pos end) const noexcept;
};

// Tab, line feed, form feed, carriage return and space: the bytes of RE2's
// \s, and so of a whitespace-run Regex (vertical tab is not among them).
inline constexpr bool is_regex_space(unsigned char b) noexcept {
  return b == ' ' || b == '\t' || b == '\n' || b == '\f' || b == '\r';
}

// RE2's bounds on the strings a pattern matches, cut to their first bytes:
// every non-empty match begins with a byte in [lo, hi]. `min_empty` is
// true when the lower bound is the empty string (lo is then 0), which
// leaves room for an empty match. Nothing is known when `bounded` is false.
struct MatchBounds {
  bool bounded = false;
  bool min_empty = true;
  unsigned char lo = 0, hi = 0xFF;
};

// A regular expression matched at a position (RE2, UTF-8, leftmost-first).
// A match at `pos` is the pattern's match anchored at the start of
// text[pos..] taken as a text of its own: '^' and \b see no character
// before `pos`.
class RegexElement final : public ElementKind<RegexElement> {
 public:
  // Shortcuts that give exactly the compiled pattern's answer:
  // kWhitespaceRun is the pattern \s+ (a run of `is_regex_space` bytes);
  // kOneByteOfClass is a bracket class of plain ASCII characters (one byte
  // of `byte_set`); kGeneral asks RE2.
  enum Mode : std::uint64_t { kWhitespaceRun = 0, kOneByteOfClass = 1, kGeneral = 2 };

 private:
  // Which shortcut `try_match_at` takes.
  Mode mode_ = kGeneral;
  // kOneByteOfClass: the class members, all below 128; empty otherwise.
  CodePointSet byte_set_;
  // The pattern exactly as written, compiled once: run with
  // RE2::ANCHOR_START on the rest of a text to match at a position, and
  // unanchored to search.
  std::unique_ptr<re2::RE2> re_;
  // RE2's first-byte bounds on the pattern's matches, asked for once here;
  // unbounded for a class run, whose scans do not search with RE2.
  MatchBounds bounds_;
  // The pattern as a byte-table scan, when it is one (regex_run.hpp).
  std::unique_ptr<const ClassRun> run_;
  // Without `run_`: the byte-table run of a lone starred atom (a*, [^,]*),
  // which serves matches at a position only (`anchored_run`).
  std::unique_ptr<const ClassRun> star_run_;
  // "Expected match for /{pattern}/".
  SharedString message_;

  // `match_length` past its first-byte test: RE2 run at `pos`. Out of line,
  // so that the many attempts turned down by their first byte stay cheap.
  [[gnu::noinline]] std::int64_t searched_length(std::string_view text, Pos pos) const;

  // Only `compile` makes elements.
  class Key {
    friend class RegexElement;
    Key() = default;
  };

 public:
  explicit RegexElement(Key) noexcept;
  ~RegexElement() override;

  // Compiles `pattern`; on failure returns null and sets `error` to the
  // text to raise: "regex parse error:" with the pattern as written and
  // RE2's explanation, or "Compiled regex exceeds size limit of {} bytes.".
  static Ref<RegexElement> compile(std::string_view pattern, std::string& error);

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;

  Mode mode() const noexcept { return mode_; }
  const CodePointSet& byte_set() const noexcept { return byte_set_; }
  const re2::RE2& re() const noexcept { return *re_; }
  const MatchBounds& bounds() const noexcept { return bounds_; }
  // Null when the pattern is not a class run. Exact on valid UTF-8 only.
  const ClassRun* run() const noexcept { return run_.get(); }
  // Null when the pattern is no byte-table run even at a position. Exact on
  // valid UTF-8 only.
  const ClassRun* anchored_run() const noexcept { return run_ ? run_.get() : star_run_.get(); }
  const SharedString& message() const noexcept { return message_; }

  // Length of the anchored match at `pos`, or -1 when there is none,
  // when `pos` is inside a character, or when the match would end inside
  // one. Ignores `mode`.
  std::int64_t match_length(std::string_view text, Pos pos) const;
};

// A quoted text: an opening quote character, a body, and the next unescaped
// quote character. Quote and escape are whole characters (one or more bytes);
// an escape takes the whole character after it. When the escape is the quote
// character itself, a doubled quote stands for one quote and a single quote
// closes the text.
class QuotedStringElement final : public ElementKind<QuotedStringElement> {
  // "Expected quoted string starting with '{quote_char as given}'".
  SharedString message_;
  // The first character of quote_char, or "\"" when it is empty.
  std::string quote_;
  // The first character of esc_char; empty: no escape.
  std::string esc_;
  // Whether a line feed may appear in the body.
  bool multiline_;
  // Whether the token is the body with escapes resolved (else the whole match).
  bool unquote_;

 public:
  // `esc_char` null or empty: no escape character.
  QuotedStringElement(std::string_view quote_char, const std::string_view* esc_char, bool multiline,
                      bool unquote);

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;

  const SharedString& message() const noexcept { return message_; }

  // End just after the closing quote, or 0 when no quoted text starts at pos
  // (or the run gave up: the body's bytes count towards the interrupt period).
  Pos match_end(std::string_view text, Pos pos) const noexcept;

 private:
  static constexpr Pos kOpen = ~Pos{0};

  // Reads the body from `i` (moved on) up to `stop`: the end after the
  // closing quote, 0 when the text can hold none, or kOpen when the body
  // goes on past `stop`.
  Pos close_within(std::string_view text, Pos& i, Pos stop) const noexcept;

  // Both test the first byte before comparing the rest: the scan asks at
  // every byte of the string, and the answer is nearly always no.
  bool quote_at(std::string_view text, Pos i) const noexcept {
    return i < text.size() && text[i] == quote_[0] && text.substr(i, quote_.size()) == quote_;
  }
  bool esc_at(std::string_view text, Pos i) const noexcept {
    return !esc_.empty() && i < text.size() && text[i] == esc_[0] &&
           text.substr(i, esc_.size()) == esc_;
  }
};

}  // namespace quernlet
