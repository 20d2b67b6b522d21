#include "positional.hpp"

#include "stretch_scan.hpp"

namespace quernlet {

namespace {

bool at_line_start(std::string_view text, Pos pos) noexcept {
  return pos == 0 || (pos - 1 < text.size() && text[pos - 1] == '\n');
}

// Where rest_of_line's token starts and ends, for `pos` <= the length. A
// start inside a multi-byte character moves to the next boundary (never
// past a line feed, which is no continuation byte); the end is the next
// line feed or the length. The search counts towards the interrupt period;
// false when the run must give up.
bool rest_of_line_span(std::string_view text, Pos pos, Pos& start, Pos& end) noexcept {
  start = next_char_boundary(text, pos);
  end = start;
  return find_byte_counted(text, '\n', end);
}

// The starts of a kind that matches only the empty text, when `empty`, or
// never; LineEnd adds the line feed it consumes.
StartBytes empty_only(bool empty) noexcept {
  StartBytes starts;
  starts.set_can_be_empty(empty);
  return starts;
}

}  // namespace

// ---------------------------------------------------------------------------

EmptyElement::EmptyElement() noexcept { set_start_bytes(empty_only(true)); }
NoMatchElement::NoMatchElement() noexcept { set_start_bytes(empty_only(false)); }
LineStartElement::LineStartElement() noexcept { set_start_bytes(empty_only(true)); }
LineEndElement::LineEndElement() noexcept {
  StartBytes starts = empty_only(true);
  starts.add('\n');
  set_start_bytes(starts);
}
StringStartElement::StringStartElement() noexcept { set_start_bytes(empty_only(true)); }
StringEndElement::StringEndElement() noexcept { set_start_bytes(empty_only(true)); }

ParseOutcome EmptyElement::parse_impl(ParseContext&, Pos pos) const {
  return ParseOutcome::success(pos);
}
MatchResult EmptyElement::try_match_at(std::string_view, Pos pos) const { return matched_at(pos); }

ParseOutcome NoMatchElement::parse_impl(ParseContext&, Pos pos) const {
  return ParseOutcome::failure(fixed_string<"NoMatch will never match">(), pos);
}
MatchResult NoMatchElement::try_match_at(std::string_view, Pos) const { return kNoMatch; }

ParseOutcome LineStartElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (at_line_start(ctx.text, pos)) return ParseOutcome::success(pos);
  return ParseOutcome::failure(fixed_string<"Expected start of line">(), pos);
}
MatchResult LineStartElement::try_match_at(std::string_view text, Pos pos) const {
  return at_line_start(text, pos) ? matched_at(pos) : kNoMatch;
}

ParseOutcome LineEndElement::parse_impl(ParseContext& ctx, Pos pos) const {
  const MatchResult m = try_match_at(ctx.text, pos);
  if (!m.matched) return ParseOutcome::failure(fixed_string<"Expected end of line">(), pos);
  return ParseOutcome::success(m.end, Token(fixed_string<"\n">()));
}
MatchResult LineEndElement::try_match_at(std::string_view text, Pos pos) const {
  if (pos >= text.size()) return matched_at(pos);
  return text[pos] == '\n' ? matched_at(pos + 1) : kNoMatch;
}

ParseOutcome StringStartElement::parse_impl(ParseContext&, Pos pos) const {
  if (pos == 0) return ParseOutcome::success(0);
  return ParseOutcome::failure(fixed_string<"Expected start of string">(), pos);
}
MatchResult StringStartElement::try_match_at(std::string_view, Pos pos) const {
  return pos == 0 ? matched_at(0) : kNoMatch;
}

ParseOutcome StringEndElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (pos >= ctx.text.size()) return ParseOutcome::success(pos);
  return ParseOutcome::failure(fixed_string<"Expected end of string">(), pos);
}
MatchResult StringEndElement::try_match_at(std::string_view text, Pos pos) const {
  return pos >= text.size() ? matched_at(pos) : kNoMatch;
}

// ---------------------------------------------------------------------------

// Every byte but the line feed starts a non-empty rest of the line.
RestOfLineElement::RestOfLineElement() : message_("Expected rest of line") {
  constexpr std::uint64_t kAll = ~std::uint64_t{0};
  StartBytes others = StartBytes::of_words({kAll & ~(std::uint64_t{1} << '\n'), kAll, kAll, kAll});
  others.set_can_be_empty(true);
  set_start_bytes(others);
  set_skips_whitespace(false);
}

ParseOutcome RestOfLineElement::parse_impl(ParseContext& ctx, Pos pos) const {
  Pos start, end;
  if (pos > ctx.text.size() || !rest_of_line_span(ctx.text, pos, start, end))
    return ParseOutcome::failure(message_, pos);
  return ParseOutcome::success(end, Token::slice(ctx.text.substr(start, end - start)));
}

MatchResult RestOfLineElement::try_match_at(std::string_view text, Pos pos) const {
  Pos start, end;
  if (pos > text.size() || !rest_of_line_span(text, pos, start, end)) return kNoMatch;
  return matched_at(end);
}

// Leading whitespace belongs to the token, so nothing is skipped.
ParseOutcome RestOfLineElement::parse_from_start(std::string_view text) const {
  ParseContext ctx{text, true};
  return RestOfLineElement::parse_impl(ctx, 0);
}

}  // namespace quernlet
