#include "positional.hpp"

namespace quernlet {

namespace {

// Fixed messages and the line-feed token live for the whole process, so a
// failure or a LineEnd match shares them instead of allocating.
enum class Fixed { kNoMatch, kLineStart, kLineEnd, kStringStart, kStringEnd, kLineFeed };

const SharedString& fixed(Fixed which) {
  static const SharedString texts[] = {
      SharedString::immortal("NoMatch will never match"),
      SharedString::immortal("Expected start of line"),
      SharedString::immortal("Expected end of line"),
      SharedString::immortal("Expected start of string"),
      SharedString::immortal("Expected end of string"),
      SharedString::immortal("\n"),
  };
  return texts[static_cast<int>(which)];
}

bool at_line_start(std::string_view text, Pos pos) noexcept {
  return pos == 0 || (pos - 1 < text.size() && text[pos - 1] == '\n');
}

// Where rest_of_line's token starts and ends, for `pos` <= the length. A
// start inside a multi-byte character moves to the next boundary (never
// past a line feed, which is no continuation byte); the end is the next
// line feed or the length.
std::pair<Pos, Pos> rest_of_line_span(std::string_view text, Pos pos) noexcept {
  while (!is_char_boundary(text, pos)) ++pos;
  const Pos found = text.find('\n', pos);
  return {pos, found == std::string_view::npos ? text.size() : found};
}

}  // namespace

// ---------------------------------------------------------------------------

ParseOutcome EmptyElement::parse_impl(ParseContext&, Pos pos) const {
  return ParseOutcome::success(pos);
}
MatchResult EmptyElement::try_match_at(std::string_view, Pos pos) const { return matched_at(pos); }
ParseOutcome EmptyElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

ParseOutcome NoMatchElement::parse_impl(ParseContext&, Pos pos) const {
  return ParseOutcome::failure(fixed(Fixed::kNoMatch), pos);
}
MatchResult NoMatchElement::try_match_at(std::string_view, Pos) const { return kNoMatch; }
ParseOutcome NoMatchElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

ParseOutcome LineStartElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (at_line_start(ctx.text, pos)) return ParseOutcome::success(pos);
  return ParseOutcome::failure(fixed(Fixed::kLineStart), pos);
}
MatchResult LineStartElement::try_match_at(std::string_view text, Pos pos) const {
  return at_line_start(text, pos) ? matched_at(pos) : kNoMatch;
}
ParseOutcome LineStartElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

ParseOutcome LineEndElement::parse_impl(ParseContext& ctx, Pos pos) const {
  const MatchResult m = try_match_at(ctx.text, pos);
  if (!m.matched) return ParseOutcome::failure(fixed(Fixed::kLineEnd), pos);
  ParseResults tokens;
  tokens.push_back(Token(fixed(Fixed::kLineFeed)));
  return ParseOutcome::success(m.end, std::move(tokens));
}
MatchResult LineEndElement::try_match_at(std::string_view text, Pos pos) const {
  if (pos >= text.size()) return matched_at(pos);
  return text[pos] == '\n' ? matched_at(pos + 1) : kNoMatch;
}
ParseOutcome LineEndElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

ParseOutcome StringStartElement::parse_impl(ParseContext&, Pos pos) const {
  if (pos == 0) return ParseOutcome::success(0);
  return ParseOutcome::failure(fixed(Fixed::kStringStart), pos);
}
MatchResult StringStartElement::try_match_at(std::string_view, Pos pos) const {
  return pos == 0 ? matched_at(0) : kNoMatch;
}
ParseOutcome StringStartElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

ParseOutcome StringEndElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (pos >= ctx.text.size()) return ParseOutcome::success(pos);
  return ParseOutcome::failure(fixed(Fixed::kStringEnd), pos);
}
MatchResult StringEndElement::try_match_at(std::string_view text, Pos pos) const {
  return pos >= text.size() ? matched_at(pos) : kNoMatch;
}
ParseOutcome StringEndElement::parse_from_start(std::string_view text) const {
  return parse_from_start_of(*this, text);
}

// ---------------------------------------------------------------------------

RestOfLineElement::RestOfLineElement() : message_("Expected rest of line") {}

ParseOutcome RestOfLineElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (pos > ctx.text.size()) return ParseOutcome::failure(message_, pos);
  const auto [start, end] = rest_of_line_span(ctx.text, pos);
  ParseResults tokens;
  tokens.push_back(Token(SharedString(ctx.text.substr(start, end - start))));
  return ParseOutcome::success(end, std::move(tokens));
}

MatchResult RestOfLineElement::try_match_at(std::string_view text, Pos pos) const {
  if (pos > text.size()) return kNoMatch;
  return matched_at(rest_of_line_span(text, pos).second);
}

// Leading whitespace belongs to the token, so nothing is skipped.
ParseOutcome RestOfLineElement::parse_from_start(std::string_view text) const {
  ParseContext ctx{text, true};
  return RestOfLineElement::parse_impl(ctx, 0);
}

}  // namespace quernlet
