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

std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(fold_ascii(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

StartBytes text_start_bytes(std::string_view s, bool caseless) noexcept {
  StartBytes starts;
  if (s.empty()) {
    starts.set_can_be_empty(true);
    return starts;
  }
  const auto first = static_cast<unsigned char>(s[0]);
  starts.add(first);
  if (caseless) {
    // Folding maps only A..Z, so a folded first byte a..z also matches its capital.
    const unsigned char folded = fold_ascii(first);
    starts.add(folded);
    if (folded >= 'a' && folded <= 'z') starts.add(static_cast<unsigned char>(folded - 0x20));
  }
  return starts;
}

CaselessLiteralElement::CaselessLiteralElement(std::string_view s)
    : TextKind(s, "Expected ", " (caseless)", true), lowered_(folded(s)) {}

CaselessKeywordElement::CaselessKeywordElement(std::string_view s)
    : TextKind(s, "Expected keyword ", " (caseless)", true), lowered_(folded(s)) {}

// ---------------------------------------------------------------------------

CharElement::CharElement(std::string_view s)
    : message_("Expected one of '" + std::string(s) + "'") {
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
  StartBytes starts;
  for (int b = 0; b < 0x80; ++b)
    if (member_[b]) starts.add(static_cast<unsigned char>(b));
  for (const std::uint32_t c : wide_) starts.add_char(c);
  set_start_bytes(starts);
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
  return ParseOutcome::success(pos + len, Token::slice(ctx.text.substr(pos, len)));
}

MatchResult CharElement::try_match_at(std::string_view text, Pos pos) const {
  const unsigned len = match_len_at(text, pos);
  return len == 0 ? kNoMatch : matched_at(pos + len);
}

}  // namespace quernlet
