#include "positional.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "allocation_counter.hpp"

namespace quernlet {
namespace {

const EmptyElement kEmpty;
const NoMatchElement kNoMatchKind;
const LineStartElement kLineStart;
const LineEndElement kLineEnd;
const StringStartElement kStringStart;
const StringEndElement kStringEnd;
const RestOfLineElement kRestOfLine;

// One attempt at `pos` of `text`: a match ending at `end` with `token` (none
// for the kinds that yield no token), or a failure with `message` at `pos`.
struct Case {
  const Element* kind;
  std::string text;
  Pos pos;
  bool matched;
  Pos end = 0;
  std::optional<std::string> token = std::nullopt;
  const char* message = nullptr;
};

Case ok(const Element& k, std::string text, Pos pos, Pos end,
        std::optional<std::string> token = std::nullopt) {
  return {&k, std::move(text), pos, true, end, std::move(token)};
}
Case fail(const Element& k, std::string text, Pos pos, const char* message) {
  return {&k, std::move(text), pos, false, 0, std::nullopt, message};
}

TEST(PositionalTest, ParseAndMatchTestAgreeOnEveryCase) {
  const std::vector<Case> cases = {
      ok(kEmpty, "", 0, 0),
      ok(kEmpty, "ab", 1, 1),
      ok(kEmpty, "ab", 5, 5),
      fail(kNoMatchKind, "", 0, "NoMatch will never match"),
      fail(kNoMatchKind, "ab", 1, "NoMatch will never match"),
      ok(kLineStart, "", 0, 0),
      ok(kLineStart, "ab", 0, 0),
      ok(kLineStart, "a\nb", 2, 2),
      ok(kLineStart, "a\n", 2, 2),  // after a final line feed
      fail(kLineStart, "a\nb", 1, "Expected start of line"),
      fail(kLineStart, "a\nb", 3, "Expected start of line"),
      fail(kLineStart, "a\n", 3, "Expected start of line"),  // past the end
      ok(kLineEnd, "ab", 2, 2, "\n"),
      ok(kLineEnd, "ab", 7, 7, "\n"),
      ok(kLineEnd, "a\nb", 1, 2, "\n"),
      fail(kLineEnd, "a\nb", 0, "Expected end of line"),
      fail(kLineEnd, "a\r\n", 1, "Expected end of line"),
      ok(kStringStart, "ab", 0, 0),
      ok(kStringStart, "", 0, 0),
      fail(kStringStart, "ab", 1, "Expected start of string"),
      fail(kStringStart, "ab", 3, "Expected start of string"),
      ok(kStringEnd, "ab", 2, 2),
      ok(kStringEnd, "ab", 4, 4),
      ok(kStringEnd, "", 0, 0),
      fail(kStringEnd, "ab", 1, "Expected end of string"),
      ok(kRestOfLine, "ab\ncd", 0, 2, "ab"),
      ok(kRestOfLine, "ab\ncd", 1, 2, "b"),
      ok(kRestOfLine, "ab\ncd", 2, 2, ""),  // at a line feed: empty, no progress
      ok(kRestOfLine, "ab\ncd", 3, 5, "cd"),
      ok(kRestOfLine, "ab\ncd", 5, 5, ""),  // at the end
      ok(kRestOfLine, " \t x\r\n", 0, 5, " \t x\r"),
      fail(kRestOfLine, "ab\ncd", 6, "Expected rest of line"),
      // A start inside a character moves on to the next character boundary.
      ok(kRestOfLine, "x\xC3\xA9\n", 2, 3, ""),
      ok(kRestOfLine,
         "\xC3\xA9"
         "a",
         1, 3, "a"),
      ok(kRestOfLine,
         "\xE2\x82\xAC"
         "b\n",
         1, 4, "b"),
      ok(kRestOfLine, "\xF0\x9F\x98\x80", 3, 4, ""),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case '" << c.text << "' at " << c.pos);
    const long before = testing_support::allocations_on_this_thread();
    const MatchResult m = c.kind->try_match_at(c.text, c.pos);
    EXPECT_EQ(testing_support::allocations_on_this_thread(), before);
    ParseContext ctx{c.text, true};
    const ParseOutcome out = c.kind->parse_impl(ctx, c.pos);
    ASSERT_EQ(m.matched, c.matched);
    ASSERT_EQ(out.ok(), c.matched);
    if (c.matched) {
      EXPECT_EQ(m.end, c.end);
      EXPECT_EQ(out.end(), c.end);
      if (c.token) {
        ASSERT_EQ(out.tokens().size(), 1u);
        EXPECT_EQ(out.tokens()[0].text().view(), *c.token);
      } else {
        EXPECT_TRUE(out.tokens().empty());
      }
    } else {
      EXPECT_EQ(out.message().view(), c.message);
      EXPECT_EQ(out.position(), c.pos);
    }
  }
}

TEST(PositionalTest, StartRule) {
  struct Row {
    const Element* kind;
    std::string text;
    bool matched;
    Pos position = 0;  // of a failure
    std::optional<std::string> token = std::nullopt;
  };
  const std::vector<Row> rows = {
      {&kRestOfLine, "  abc", true, 0, "  abc"},  // no skipping: spaces kept
      {&kRestOfLine, "", true, 0, ""},
      {&kStringStart, "  a", false, 2},
      {&kStringStart, "", true},
      {&kLineStart, " \na", true},  // after the skip, 2 follows a line feed
      {&kLineStart, "  a", false, 2},
      {&kLineStart, "\fa", true},  // form feed is not skipped: still at 0
      {&kLineEnd, " \n\t\r ", true, 0, "\n"},
      {&kLineEnd, "a", false, 0},
      {&kLineEnd, "\va", false, 0},
      {&kStringEnd, " \t\n", true},
      {&kStringEnd, "  x", false, 2},
      {&kNoMatchKind, "   ", false, 3},
      {&kEmpty, "  x", true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "text '" << r.text << "'");
    const ParseOutcome out = r.kind->parse_from_start(r.text);
    ASSERT_EQ(out.ok(), r.matched);
    EXPECT_FALSE(out.too_deep());
    if (!r.matched) {
      EXPECT_EQ(out.position(), r.position);
    } else if (r.token) {
      ASSERT_EQ(out.tokens().size(), 1u);
      EXPECT_EQ(out.tokens()[0].text().view(), *r.token);
    } else {
      EXPECT_TRUE(out.tokens().empty());
    }
  }
}

TEST(PositionalTest, FailuresShareOneMessagePerKind) {
  ParseContext ctx{"ab", true};
  for (const Element* k : std::initializer_list<const Element*>{
           &kNoMatchKind, &kLineStart, &kLineEnd, &kStringStart, &kStringEnd}) {
    const ParseOutcome a = k->parse_impl(ctx, 1);
    const ParseOutcome b = k->parse_impl(ctx, 1);
    ASSERT_FALSE(a.ok());
    EXPECT_EQ(a.message().identity(), b.message().identity());
  }
  const ParseOutcome r = kRestOfLine.parse_impl(ctx, 3);
  EXPECT_EQ(r.message().identity(), kRestOfLine.message().identity());
}

// rest_of_line on random text at every position: its token is whole
// characters, holds no line feed, starts at most three bytes after `pos`
// and ends where the match ends, at a line feed or at the end.
TEST(RestOfLineTest, TokenIsWholeCharactersUpToTheLineFeed) {
  static const char* const alphabet[] = {
      "a", " ", "\n", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::string text;
    for (int i = rng() % 8; i > 0; --i) text += alphabet[rng() % std::size(alphabet)];
    ParseContext ctx{text, true};
    for (Pos pos = 0; pos <= text.size(); ++pos) {
      SCOPED_TRACE(testing::Message() << "'" << text << "' at " << pos);
      const ParseOutcome out = kRestOfLine.parse_impl(ctx, pos);
      const MatchResult m = kRestOfLine.try_match_at(text, pos);
      ASSERT_TRUE(out.ok());
      ASSERT_TRUE(m.matched);
      ASSERT_EQ(out.end(), m.end);
      const std::string_view token = out.tokens()[0].text().view();
      const Pos start = m.end - token.size();
      ASSERT_EQ(text.substr(start, token.size()), token);
      EXPECT_TRUE(start >= pos && start - pos <= 3);
      EXPECT_TRUE(is_char_boundary(text, start));
      EXPECT_EQ(token.find('\n'), std::string_view::npos);
      EXPECT_TRUE(m.end == text.size() || text[m.end] == '\n');
    }
  }
}

}  // namespace
}  // namespace quernlet
