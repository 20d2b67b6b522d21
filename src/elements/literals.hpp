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

// Whether the bytes of `s` stand at `pos`. The length test comes first, so no
// byte past the text is read.
inline bool bytes_at(std::string_view text, Pos pos, std::string_view s) noexcept {
  const std::size_t n = s.size();
  if (text.size() < n || pos > text.size() - n) return false;
  return n == 0 || (text[pos] == s[0] &&
                    (n == 1 || std::memcmp(text.data() + pos + 1, s.data() + 1, n - 1) == 0));
}

// Whether the bytes at `pos` fold to `lowered` (already folded).
inline bool folded_at(std::string_view text, Pos pos, std::string_view lowered) noexcept {
  const std::size_t n = lowered.size();
  if (text.size() < n || pos > text.size() - n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (fold_ascii(static_cast<unsigned char>(text[pos + i])) !=
        static_cast<unsigned char>(lowered[i]))
      return false;
  return true;
}

// The keyword boundary: a match ending at `end` (<= size) is followed by the
// end of the text or by a byte that is not an identifier byte.
inline bool word_ends_at(std::string_view text, Pos end) noexcept {
  return end == text.size() || !kIdentifierBytes[static_cast<unsigned char>(text[end])];
}

// The starts of a text kind matching `s`: its first byte (in both cases when
// `caseless`), or only the empty match when `s` is empty.
StartBytes text_start_bytes(std::string_view s, bool caseless) noexcept;

// Base of the four text kinds (`Kind` supplies `matches_at` and
// `match_len`): a match yields the prebuilt token, a failure the stored
// message at `pos`.
template <class Kind>
class TextKind : public ElementKind<Kind> {
  // One text token holding `s` as written, shared into every result.
  ParseResults tokens_;
  // prefix + "'{s}'" + suffix, with `s` as written.
  SharedString message_;

 protected:
  TextKind(std::string_view s, std::string_view prefix, std::string_view suffix, bool caseless)
      : message_(std::string(prefix) + "'" + std::string(s) + "'" + std::string(suffix)) {
    tokens_.push_back(Token(SharedString(s)));
    this->set_start_bytes(text_start_bytes(s, caseless));
  }

 public:
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const final {
    if (!kind().matches_at(ctx.text, pos)) return ParseOutcome::failure(message_, pos);
    return ParseOutcome::success(pos + kind().match_len(), tokens_);
  }
  MatchResult try_match_at(std::string_view text, Pos pos) const final {
    return kind().matches_at(text, pos) ? matched_at(pos + kind().match_len()) : kNoMatch;
  }

  const ParseResults& tokens() const noexcept { return tokens_; }
  const SharedString& message() const noexcept { return message_; }

 private:
  const Kind& kind() const noexcept { return static_cast<const Kind&>(*this); }
};

// Matches the exact bytes of `s`. An empty `s` matches zero bytes at any
// position up to and including the end of the text, with the empty token.
class LiteralElement final : public TextKind<LiteralElement> {
  // The text to match.
  std::string s_;

 public:
  explicit LiteralElement(std::string_view s) : TextKind(s, "Expected ", "", false), s_(s) {}

  std::string_view s() const noexcept { return s_; }
  std::size_t match_len() const noexcept { return s_.size(); }
  bool matches_at(std::string_view text, Pos pos) const noexcept { return bytes_at(text, pos, s_); }
};

// Matches `s` with ASCII case folding; the token is `s` as written. An empty
// `s` matches zero bytes anywhere, the end of the text included.
class CaselessLiteralElement final : public TextKind<CaselessLiteralElement> {
  // `s` folded byte by byte.
  std::string lowered_;

 public:
  explicit CaselessLiteralElement(std::string_view s);

  std::string_view lowered() const noexcept { return lowered_; }
  std::size_t match_len() const noexcept { return lowered_.size(); }
  bool matches_at(std::string_view text, Pos pos) const noexcept {
    return folded_at(text, pos, lowered_);
  }
};

// Matches the exact bytes of `s` when the byte after them, if any, is not an
// identifier byte. The byte before the match is not looked at. An empty `s`
// matches zero bytes wherever the next byte, if any, is no identifier byte.
class KeywordElement final : public TextKind<KeywordElement> {
  // The text to match.
  std::string s_;

 public:
  explicit KeywordElement(std::string_view s)
      : TextKind(s, "Expected keyword ", "", false), s_(s) {}

  std::string_view s() const noexcept { return s_; }
  std::size_t match_len() const noexcept { return s_.size(); }
  bool matches_at(std::string_view text, Pos pos) const noexcept {
    return bytes_at(text, pos, s_) && word_ends_at(text, pos + s_.size());
  }
};

// Keyword with ASCII case folding; the token is `s` as written.
class CaselessKeywordElement final : public TextKind<CaselessKeywordElement> {
  // `s` folded byte by byte.
  std::string lowered_;

 public:
  explicit CaselessKeywordElement(std::string_view s);

  std::string_view lowered() const noexcept { return lowered_; }
  std::size_t match_len() const noexcept { return lowered_.size(); }
  bool matches_at(std::string_view text, Pos pos) const noexcept {
    return folded_at(text, pos, lowered_) && word_ends_at(text, pos + lowered_.size());
  }
};

// Matches one character of `s`. Characters are matched whole: a member of
// two or more bytes matches exactly that character (its token is all of its
// bytes), never a lone byte of it, and a byte of 0x80 or above never matches
// on its own. The text must be well-formed UTF-8.
class CharElement final : public ElementKind<CharElement> {
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
