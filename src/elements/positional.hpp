// Position tests and rest_of_line: Empty, NoMatch, LineStart, LineEnd,
// StringStart, StringEnd and RestOfLine. None but LineEnd and RestOfLine
// consumes text. The six position kinds have no payload; their failures
// carry fixed process-lifetime messages, and `try_match_at` reads at most
// one byte before or at `pos`.
#pragma once

#include "element.hpp"

namespace quernlet {

#define QUERNLET_POSITION_KIND(Name)                                         \
  class Name final : public ElementKind<Name> {                              \
   public:                                                                   \
    Name() noexcept;                                                         \
    ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;      \
    MatchResult try_match_at(std::string_view text, Pos pos) const override; \
  };

// Matches the empty text anywhere.
QUERNLET_POSITION_KIND(EmptyElement)
// Never matches.
QUERNLET_POSITION_KIND(NoMatchElement)
// Matches at 0 and right after a line feed.
QUERNLET_POSITION_KIND(LineStartElement)
// Matches a line feed (consumed) or the end of the text (nothing consumed);
// the token is a line feed either way.
QUERNLET_POSITION_KIND(LineEndElement)
// Matches at 0 only.
QUERNLET_POSITION_KIND(StringStartElement)
// Matches at or past the end of the text.
QUERNLET_POSITION_KIND(StringEndElement)

#undef QUERNLET_POSITION_KIND

// The text from `pos` up to the next line feed (not consumed) or the end.
// Sequences do not skip whitespace before it, and neither does its own
// start rule. A start inside a multi-byte character moves to the next
// character boundary, so the token is always whole characters.
class RestOfLineElement final : public Element {
  // "Expected rest of line": the failure when `pos` lies past the text.
  SharedString message_;

 public:
  RestOfLineElement();

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ParseOutcome parse_from_start(std::string_view text) const override;

  const SharedString& message() const noexcept { return message_; }
};

}  // namespace quernlet
