#include "literals.hpp"

#include <algorithm>

namespace quernlet {

const std::array<std::uint8_t, 256> kIdentifierBytes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int b = '0'; b <= '9'; ++b) t[b] = 1;
  for (int b = 'A'; b <= 'Z'; ++b) t[b] = 1;
  for (int b = 'a'; b <= 'z'; ++b) t[b] = 1;
  t['_'] = 1;
  return t;
}();

namespace {

SharedString quoted_message(std::string_view prefix, std::string_view s, std::string_view suffix) {
  std::string m;
  m.reserve(prefix.size() + s.size() + suffix.size() + 2);
  m.append(prefix).append("'").append(s).append("'").append(suffix);
  return SharedString(m);
}

ParseResults one_token(std::string_view s) {
  ParseResults r;
  r.push_back(Token(SharedString(s)));
  return r;
}

std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(fold_ascii(static_cast<unsigned char>(c)));
  return out;
}

// The outcome shared by the four text kinds: a copy of the prebuilt tokens
// (no string is allocated), or the stored message at `pos`.
template <class Kind>
ParseOutcome text_outcome(const Kind& kind, std::string_view text, Pos pos, std::size_t len) {
  if (kind.matches_at(text, pos)) return ParseOutcome::success(pos + len, kind.tokens());
  return ParseOutcome::failure(kind.message(), pos);
}

template <class Kind>
MatchResult text_match(const Kind& kind, std::string_view text, Pos pos, std::size_t len) noexcept {
  return kind.matches_at(text, pos) ? matched_at(pos + len) : kNoMatch;
}

}  // namespace

// ---------------------------------------------------------------------------

LiteralElement::LiteralElement(std::string_view s)
    : tokens_(one_token(s)),
      s_(s),
      message_(quoted_message("Expected ", s, "")),
      first_byte_(s.empty() ? 0 : static_cast<unsigned char>(s[0])) {}

ParseOutcome LiteralElement::parse_impl(ParseContext& ctx, Pos pos) const {
  return text_outcome(*this, ctx.text, pos, s_.size());
}

MatchResult LiteralElement::try_match_at(std::string_view text, Pos pos) const {
  return text_match(*this, text, pos, s_.size());
}

ParseOutcome LiteralElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

// ---------------------------------------------------------------------------

CaselessLiteralElement::CaselessLiteralElement(std::string_view s)
    : tokens_(one_token(s)),
      lowered_(folded(s)),
      message_(quoted_message("Expected ", s, " (caseless)")) {}

ParseOutcome CaselessLiteralElement::parse_impl(ParseContext& ctx, Pos pos) const {
  return text_outcome(*this, ctx.text, pos, lowered_.size());
}

MatchResult CaselessLiteralElement::try_match_at(std::string_view text, Pos pos) const {
  return text_match(*this, text, pos, lowered_.size());
}

ParseOutcome CaselessLiteralElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

// ---------------------------------------------------------------------------

KeywordElement::KeywordElement(std::string_view s)
    : tokens_(one_token(s)),
      s_(s),
      message_(quoted_message("Expected keyword ", s, "")),
      first_byte_(s.empty() ? 0 : static_cast<unsigned char>(s[0])) {}

ParseOutcome KeywordElement::parse_impl(ParseContext& ctx, Pos pos) const {
  return text_outcome(*this, ctx.text, pos, s_.size());
}

MatchResult KeywordElement::try_match_at(std::string_view text, Pos pos) const {
  return text_match(*this, text, pos, s_.size());
}

ParseOutcome KeywordElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

// ---------------------------------------------------------------------------

CaselessKeywordElement::CaselessKeywordElement(std::string_view s)
    : tokens_(one_token(s)),
      lowered_(folded(s)),
      message_(quoted_message("Expected keyword ", s, " (caseless)")) {}

ParseOutcome CaselessKeywordElement::parse_impl(ParseContext& ctx, Pos pos) const {
  return text_outcome(*this, ctx.text, pos, lowered_.size());
}

MatchResult CaselessKeywordElement::try_match_at(std::string_view text, Pos pos) const {
  return text_match(*this, text, pos, lowered_.size());
}

ParseOutcome CaselessKeywordElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

// ---------------------------------------------------------------------------

CharElement::CharElement(std::string_view s) : message_(quoted_message("Expected one of ", s, "")) {
  for (Pos i = 0; i < s.size();) {
    unsigned len = 1;
    const std::uint32_t c = decode_utf8(s, i, len);
    if (len == 1) {
      // A lone byte of 0x80 or above is no character and can never match.
      if (c < 0x80) member_[c] = 1;
    } else {
      wide_.push_back(c);
    }
    i += len;
  }
  std::sort(wide_.begin(), wide_.end());
  wide_.erase(std::unique(wide_.begin(), wide_.end()), wide_.end());
}

unsigned CharElement::wide_match_len_at(std::string_view text, Pos pos) const noexcept {
  unsigned len = 1;
  const std::uint32_t c = decode_utf8(text, pos, len);
  // Length 1 here means a continuation byte or a cut-off character: `pos`
  // is not the start of a whole character.
  if (len == 1) return 0;
  return std::binary_search(wide_.begin(), wide_.end(), c) ? len : 0;
}

ParseOutcome CharElement::parse_impl(ParseContext& ctx, Pos pos) const {
  const unsigned len = match_len_at(ctx.text, pos);
  if (len == 0) return ParseOutcome::failure(message_, pos);
  ParseResults tokens;
  tokens.push_back(Token(SharedString(ctx.text.substr(pos, len))));
  return ParseOutcome::success(pos + len, std::move(tokens));
}

MatchResult CharElement::try_match_at(std::string_view text, Pos pos) const {
  const unsigned len = match_len_at(text, pos);
  return len == 0 ? kNoMatch : matched_at(pos + len);
}

ParseOutcome CharElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

}  // namespace quernlet
