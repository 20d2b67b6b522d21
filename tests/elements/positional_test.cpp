#include "positional.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
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

using Rows = std::vector<std::tuple<std::string, Pos, const char*>>;  // text, pos, parse

TEST(PositionalTest, ParseAndMatchTestAgreeOnEveryCase) {
  const std::pair<const Element*, Rows> cases[] = {
      {&kEmpty, {{"ab", 5, "5:"}}},
      {&kNever, {{"ab", 1, "@1 NoMatch will never match"}}},
      {&kLineStart,
       {{"", 0, "0:"},
        {"a\nb", 2, "2:"},
        {"a\n", 2, "2:"},  // after a final line feed
        {"a\nb", 1, "@1 Expected start of line"},
        {"a\n", 3, "@3 Expected start of line"}}},  // past the end
      {&kLineEnd,
       {{"ab", 2, "2: '\n'"},
        {"ab", 7, "7: '\n'"},
        {"a\nb", 1, "2: '\n'"},
        {"a\r\n", 1, "@1 Expected end of line"}}},
      {&kStringStart, {{"", 0, "0:"}, {"ab", 1, "@1 Expected start of string"}}},
      {&kStringEnd, {{"ab", 2, "2:"}, {"ab", 4, "4:"}, {"ab", 1, "@1 Expected end of string"}}},
      {&kRestOfLine,
       {{"ab\ncd", 1, "2: 'b'"},
        {"ab\ncd", 2, "2: ''"},  // at a line feed: empty, no progress
        {"ab\ncd", 5, "5: ''"},  // at the end
        {" \t x\r\n", 0, "5: ' \t x\r'"},
        {"ab\ncd", 6, "@6 Expected rest of line"},
        // A start inside a character moves on to the next character boundary.
        {"x\xC3\xA9\n", 2, "3: ''"},
        {"\xE2\x82\xAC\x62\n", 1, "4: 'b'"},  // "€b\n"
        {"\xF0\x9F\x98\x80", 3, "4: ''"}}},
  };
  for (const auto& [kind, rows] : cases)
    for (const auto& [text, pos, want] : rows) expect_match(*kind, text, pos, want);
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
