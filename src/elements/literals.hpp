// Literal, CaselessLiteral, Keyword, CaselessKeyword and Char.
//
// Everything a match needs (the token list handed out, the failure message,
// the folded text, byte tables) is built once at construction; matching
// compares bytes and copies a ready-made token list, which shares its string.
// Case folding affects only the ASCII letters A to Z. None of these kinds
// reads `skip_ws`; `parse_impl` and `try_match_at` apply the same test, and
// `try_match_at` allocates nothing.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "element.hpp"

namespace quernlet {

// 1 for '0'..'9', 'A'..'Z', 'a'..'z' and '_'; 0 for every other byte (so
// every byte of 0x80 and above is a word boundary).
extern const std::array<std::uint8_t, 256> kIdentifierBytes;

// ASCII-only case fold of one byte.
inline constexpr unsigned char fold_ascii(unsigned char b) noexcept {
  return b >= 'A' && b <= 'Z' ? static_cast<unsigned char>(b + 0x20) : b;
}

// True when the fold of each of the first `lowered.size()` bytes at `p`
// equals the corresponding byte of `lowered` (already folded).
inline bool folded_equal(const char* p, std::string_view lowered) noexcept {
  for (std::size_t i = 0; i < lowered.size(); ++i)
    if (fold_ascii(static_cast<unsigned char>(p[i])) != static_cast<unsigned char>(lowered[i]))
      return false;
  return true;
}

// Matches the exact bytes of `s`. An empty `s` matches zero bytes at any
// position up to and including the end of the text, with the empty token.
class LiteralElement final : public Element {
  // One text token holding `s`, shared into every result.
  ParseResults tokens_;
  // The text to match.
  std::string s_;
  // "Expected '{s}'".
  SharedString message_;
  // First byte of `s`, or 0 when `s` is empty.
  unsigned char first_byte_;

 public:
  explicit LiteralElement(std::string_view s);

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const ParseResults& tokens() const noexcept { return tokens_; }
  std::string_view s() const noexcept { return s_; }
  const SharedString& message() const noexcept { return message_; }
  unsigned char first_byte() const noexcept { return first_byte_; }

  // The length test comes first, so no byte past the text is read.
  bool matches_at(std::string_view text, Pos pos) const noexcept {
    const std::size_t n = s_.size();
    if (text.size() < n || pos > text.size() - n) return false;
    if (n == 0) return true;
    return static_cast<unsigned char>(text[pos]) == first_byte_ &&
           std::memcmp(text.data() + pos + 1, s_.data() + 1, n - 1) == 0;
  }
};

// Matches `s` with ASCII case folding; the token is `s` as written. An empty
// `s` matches zero bytes anywhere, the end of the text included.
class CaselessLiteralElement final : public Element {
  // One text token holding `s` unfolded, shared into every result.
  ParseResults tokens_;
  // `s` folded byte by byte.
  std::string lowered_;
  // "Expected '{s}' (caseless)", with `s` unfolded.
  SharedString message_;

 public:
  explicit CaselessLiteralElement(std::string_view s);

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const ParseResults& tokens() const noexcept { return tokens_; }
  std::string_view lowered() const noexcept { return lowered_; }
  const SharedString& message() const noexcept { return message_; }

  bool matches_at(std::string_view text, Pos pos) const noexcept {
    const std::size_t n = lowered_.size();
    if (text.size() < n || pos > text.size() - n) return false;
    return folded_equal(text.data() + pos, lowered_);
  }
};

// Matches the exact bytes of `s` when the byte after them, if any, is not an
// identifier byte. The byte before the match is not looked at. An empty `s`
// matches zero bytes wherever the next byte, if any, is no identifier byte.
class KeywordElement final : public Element {
  // One text token holding `s`, shared into every result.
  ParseResults tokens_;
  // The text to match.
  std::string s_;
  // "Expected keyword '{s}'".
  SharedString message_;
  // First byte of `s`, or 0 when `s` is empty.
  unsigned char first_byte_;

 public:
  explicit KeywordElement(std::string_view s);

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const ParseResults& tokens() const noexcept { return tokens_; }
  std::string_view s() const noexcept { return s_; }
  const SharedString& message() const noexcept { return message_; }
  std::size_t match_len() const noexcept { return s_.size(); }
  unsigned char first_byte() const noexcept { return first_byte_; }

  bool matches_at(std::string_view text, Pos pos) const noexcept {
    const std::size_t n = s_.size();
    if (text.size() < n || pos > text.size() - n) return false;
    if (n != 0 && (static_cast<unsigned char>(text[pos]) != first_byte_ ||
                   std::memcmp(text.data() + pos + 1, s_.data() + 1, n - 1) != 0))
      return false;
    const Pos end = pos + n;
    return end == text.size() || !kIdentifierBytes[static_cast<unsigned char>(text[end])];
  }
};

// Keyword with ASCII case folding; the token is `s` as written.
class CaselessKeywordElement final : public Element {
  // One text token holding `s` unfolded, shared into every result.
  ParseResults tokens_;
  // `s` folded byte by byte.
  std::string lowered_;
  // "Expected keyword '{s}' (caseless)", with `s` unfolded.
  SharedString message_;

 public:
  explicit CaselessKeywordElement(std::string_view s);

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const ParseResults& tokens() const noexcept { return tokens_; }
  std::string_view lowered() const noexcept { return lowered_; }
  const SharedString& message() const noexcept { return message_; }
  std::size_t match_len() const noexcept { return lowered_.size(); }

  bool matches_at(std::string_view text, Pos pos) const noexcept {
    const std::size_t n = lowered_.size();
    if (text.size() < n || pos > text.size() - n || !folded_equal(text.data() + pos, lowered_))
      return false;
    const Pos end = pos + n;
    return end == text.size() || !kIdentifierBytes[static_cast<unsigned char>(text[end])];
  }
};

// Matches one character of `s`. Characters are matched whole: a member of
// two or more bytes matches exactly that character (its token is all of its
// bytes), never a lone byte of it, and a byte of 0x80 or above never matches
// on its own. The text must be well-formed UTF-8.
class CharElement final : public Element {
  // 1 for each single-byte member (below 0x80); bytes of 0x80 and above are 0.
  std::array<std::uint8_t, 256> member_{};
  // Code points of the members of two or more bytes, sorted, no repeats.
  std::vector<std::uint32_t> wide_;
  // "Expected one of '{s}'".
  SharedString message_;

 public:
  explicit CharElement(std::string_view s);

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const SharedString& message() const noexcept { return message_; }
  // True when every member is a single byte, so `byte_member` decides alone.
  bool ascii_only() const noexcept { return wide_.empty(); }
  bool byte_member(unsigned char b) const noexcept { return member_[b] != 0; }

  // Length in bytes of the member character at `pos`, or 0 when there is
  // none (also when `pos` is at or past the end or inside a character).
  unsigned match_len_at(std::string_view text, Pos pos) const noexcept {
    if (pos >= text.size()) return 0;
    const auto b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) return member_[b];
    return wide_.empty() ? 0 : wide_match_len_at(text, pos);
  }

 private:
  unsigned wide_match_len_at(std::string_view text, Pos pos) const noexcept;
};

}  // namespace quernlet
