#include "positional.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

const EmptyElement kEmpty;
const NoMatchElement kNever;
const LineStartElement kLineStart;
const LineEndElement kLineEnd;
const StringStartElement kStringStart;
const StringEndElement kStringEnd;
const RestOfLineElement kRestOfLine;

struct Case {
  const Element* kind;
  std::string text;
  Pos pos;
  const char* want;  // as `show` writes the parse
};

TEST(PositionalTest, ParseAndMatchTestAgreeOnEveryCase) {
  const Case cases[] = {
      {&kEmpty, "ab", 5, "5:"},
      {&kNever, "ab", 1, "@1 NoMatch will never match"},
      {&kLineStart, "", 0, "0:"},
      {&kLineStart, "a\nb", 2, "2:"},
      {&kLineStart, "a\n", 2, "2:"},  // after a final line feed
      {&kLineStart, "a\nb", 1, "@1 Expected start of line"},
      {&kLineStart, "a\n", 3, "@3 Expected start of line"},  // past the end
      {&kLineEnd, "ab", 2, "2: '\n'"},
      {&kLineEnd, "ab", 7, "7: '\n'"},
      {&kLineEnd, "a\nb", 1, "2: '\n'"},
      {&kLineEnd, "a\r\n", 1, "@1 Expected end of line"},
      {&kStringStart, "", 0, "0:"},
      {&kStringStart, "ab", 1, "@1 Expected start of string"},
      {&kStringEnd, "ab", 2, "2:"},
      {&kStringEnd, "ab", 4, "4:"},
      {&kStringEnd, "ab", 1, "@1 Expected end of string"},
      {&kRestOfLine, "ab\ncd", 1, "2: 'b'"},
      {&kRestOfLine, "ab\ncd", 2, "2: ''"},  // at a line feed: empty, no progress
      {&kRestOfLine, "ab\ncd", 5, "5: ''"},  // at the end
      {&kRestOfLine, " \t x\r\n", 0, "5: ' \t x\r'"},
      {&kRestOfLine, "ab\ncd", 6, "@6 Expected rest of line"},
      // A start inside a character moves on to the next character boundary.
      {&kRestOfLine, "x\xC3\xA9\n", 2, "3: ''"},
      {&kRestOfLine,
       "\xE2\x82\xAC"
       "b\n",
       1, "4: 'b'"},
      {&kRestOfLine, "\xF0\x9F\x98\x80", 3, "4: ''"},
  };
  for (const Case& c : cases) expect_match(*c.kind, c.text, c.pos, c.want);
}

TEST(PositionalTest, StartRule) {
  const std::pair<const Element*, std::vector<std::pair<std::string, const char*>>> cases[] = {
      {&kRestOfLine, {{"  abc", "5: '  abc'"}, {"", "0: ''"}}},  // no skipping
      {&kStringStart, {{"  a", "@2 Expected start of string"}, {"", "0:"}}},
      {&kLineStart, {{" \na", "2:"}, {"  a", "@2 Expected start of line"}, {"\fa", "0:"}}},
      {&kLineEnd, {{" \n\t\r ", "5: '\n'"}, {"\va", "@0 Expected end of line"}}},
      {&kStringEnd, {{" \t\n", "3:"}}},
  };
  for (const auto& [kind, rows] : cases)
    for (const auto& [text, want] : rows) EXPECT_EQ(show(kind->parse_from_start(text)), want);
}

}  // namespace
}  // namespace quernlet
