#include "chars.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

// ---------------------------------------------------------------------------
// Word

Ref<WordElement> word(std::string_view init, const char* body) {
  const std::string_view b = body ? body : "";
  return mk<WordElement>(init, body ? &b : nullptr);
}

TEST(Word, MatchesRunsOfWholeCharacters) {
  struct Case {
    const char* init;
    const char* body;  // null: same set as init
    std::string text;
    Pos pos;
    const char* want;
  };
  const Case cases[] = {
      {"abc", nullptr, "abcabd", 0, "5: 'abcab'"},
      {"abc", nullptr, "dab", 0, "@0 Expected W:(abc...)"},
      {"a", "b", "abbba", 0, "4: 'abbb'"},
      {"a", "", "aaa", 0, "1: 'a'"},
      {"", nullptr, "abc", 0, "@0 Expected W:(...)"},
      {"a", "éÿ", "aéÿ€", 0, "5: 'aéÿ'"},
      {"€a", nullptr, "€a", 0, "@0 Expected W:(€a...)"},  // code points >= 256 are in no set
  };
  for (const Case& c : cases) expect_match(*word(c.init, c.body), c.text, c.pos, c.want);
  EXPECT_EQ(show(word("abc", nullptr)->parse_from_start("   abc")), "6: 'abc'");
  // The name keeps whole characters of the first 8 bytes.
  for (const auto& [init, message] : {std::pair{"klmnopqrstuvwxyz", "Expected W:(klmnopqr...)"},
                                      std::pair{"abcdefé", "Expected W:(abcdefé...)"},
                                      std::pair{"abcdefgé", "Expected W:(abcdefg...)"},
                                      std::pair{"abcdef€x", "Expected W:(abcdef...)"}})
    EXPECT_EQ(word(init, nullptr)->message().view(), message);
}

// ---------------------------------------------------------------------------
// Regex

Ref<RegexElement> regex(std::string_view pattern) {
  std::string error;
  auto r = RegexElement::compile(pattern, error);
  EXPECT_TRUE(r) << pattern << ": " << error;
  return r;
}

std::string compile_error(std::string_view pattern) {
  std::string error;
  EXPECT_FALSE(RegexElement::compile(pattern, error)) << pattern;
  return error;
}

TEST(Regex, MatchesAtPosAndNeverCutsACharacter) {
  const std::pair<const char*, std::vector<std::tuple<std::string, Pos, const char*>>> cases[] = {
      {"a+", {{"aaab", 0, "3: 'aaa'"}, {"aaab", 3, "@3 Expected match for /a+/"}}},
      {"a|ab", {{"ab", 0, "1: 'a'"}}},        // leftmost-first, not longest
      {"\\bfoo", {{"xfoo", 1, "4: 'foo'"}}},  // no character before pos
      {"^a|b", {{"xxb", 2, "3: 'b'"}, {"ab", 0, "1: 'a'"}}},
      // A match may not cut a character, nor start inside one.
      {"\\C", {{"é", 0, "@0 Expected match for /\\C/"}, {"é", 1, "@1 Expected match for /\\C/"}}},
      {"\\C\\C", {{"é", 0, "2: 'é'"}}},
  };
  for (const auto& [pattern, rows] : cases)
    for (const auto& [text, pos, want] : rows) expect_match(*regex(pattern), text, pos, want, true);
}

TEST(Regex, ShortcutsOnlyWherePatternMeaningIsCertain) {
  using M = RegexElement::Mode;
  const std::pair<const char*, M> cases[] = {
      {"\\s+", M::kWhitespaceRun}, {"\\s*", M::kGeneral},   {"[abc]", M::kOneByteOfClass},
      {"[a-c]", M::kGeneral},      {"[a^]", M::kGeneral},   {"[\\d]", M::kGeneral},
      {"[a]b]", M::kGeneral},      {"[ab[c]", M::kGeneral}, {"[é]", M::kGeneral},
      {"", M::kGeneral},
  };
  for (const auto& [pattern, mode] : cases) EXPECT_EQ(regex(pattern)->mode(), mode) << pattern;
  // Each shortcut gives the compiled pattern's answer: \s+ on every text of
  // two ASCII bytes (so RE2's \s, without vertical tab), each one-byte class
  // on every ASCII byte and on a wider character.
  const auto agrees = [](const RegexElement& r, const std::string& text) {
    const ParseOutcome out = parse_at(r, text, 0);
    return show(r.try_match_at(text, 0)) == (out.ok() ? std::to_string(out.end()) : "none");
  };
  const auto space_run = regex("\\s+");
  EXPECT_TRUE(agrees(*space_run, " \xC3\xA9"));
  for (int b = 0; b < 128 * 128; ++b)
    ASSERT_TRUE(agrees(*space_run, {static_cast<char>(b >> 7), static_cast<char>(b & 127)})) << b;
  for (int b = 0; b < 128; ++b) {
    std::string error;
    const auto r = RegexElement::compile(std::string("[") + static_cast<char>(b) + "]", error);
    for (int c = 0; r && c <= 128; ++c)
      ASSERT_TRUE(agrees(*r, c < 128 ? std::string(1, static_cast<char>(c)) : "\xC3\xA9")) << b;
  }
}

// The pattern is compiled as written: nothing around it can be closed by
// it or swallowed by it, and errors show it unchanged.
TEST(Regex, CompilesThePatternAsWritten) {
  EXPECT_EQ(compile_error("(a"), "regex parse error:\n    (a\n    ^\nerror: missing ): (a");
  EXPECT_EQ(compile_error("a)|(b"),
            "regex parse error:\n    a)|(b\n    ^\nerror: unexpected ): a)|(b");
  // The caret column counts characters.
  EXPECT_EQ(compile_error("é**"),
            "regex parse error:\n    é**\n     ^^\nerror: bad repetition operator: **");
  EXPECT_EQ(compile_error("[]"), "regex parse error:\n    []\n    ^\nerror: missing ]: []");
  EXPECT_EQ(compile_error("\\pL{1000}"), "Compiled regex exceeds size limit of 8388608 bytes.");

  // \Q runs to the end of the pattern: a literal "a.b".
  const auto quoted = regex("\\Qa.b");
  EXPECT_EQ(show(quoted->try_match_at("xa.b", 1)), "4");
  EXPECT_EQ(show(quoted->try_match_at("axb", 0)), "none");
  // A top-level alternation stays anchored at the position.
  const auto alternation = regex("a|b(c)");
  EXPECT_EQ(show(alternation->try_match_at("xbc", 0)), "none");
  EXPECT_EQ(show(alternation->try_match_at("xbc", 1)), "3");
}

// ---------------------------------------------------------------------------
// QuotedString

TEST(QuotedString, ScanEscapesAndUnquote) {
  struct Case {
    const char* quote;
    const char* esc;  // null: None
    bool multiline, unquote;
    std::string text;
    const char* want;  // tried at 0; failures are "@0" with the message
  };
  const Case cases[] = {
      {"\"", nullptr, false, true, "\"abc\"", "5: 'abc'"},
      {"\"", nullptr, false, false, "\"abc\"x", "5: '\"abc\"'"},
      {"\"", nullptr, false, true, "\"\"", "2: ''"},
      {"\"", nullptr, false, true, "\"ab", "@0"},
      {"\"", nullptr, false, true, "\"", "@0"},  // a quote at the end opens nothing
      {"\"", nullptr, false, true, "\"a\nb\"", "@0"},
      {"\"", nullptr, true, true, "\"a\nb\"", "5: 'a\nb'"},
      {"\"", "\\", false, true, "\"a\\\"b\"", "6: 'a\"b'"},
      {"\"", "\\", false, false, "\"a\\\"b\"", "6: '\"a\\\"b\"'"},
      {"\"", "\\", false, true, "\"a\\\nb\"", "6: 'a\nb'"},
      {"\"", "\\", false, true, "\"a\\\"", "@0"},
      {"\"", "\\", false, true, "\"é\\n\"", "6: 'én'"},
      {"\"", "", false, true, "\"a\\\"", "4: 'a\\'"},
      {"", nullptr, false, true, "\"x\"", "3: 'x'"},
      // Escape equal to quote: a doubled quote is one quote, a single one closes.
      {"'", "'", false, true, "'it''s'", "7: 'it's'"},
      {"'", "'", false, true, "''''", "4: '''"},
      {"'", "'", false, true, "'a'b'", "3: 'a'"},
      {"'", "'", false, true, "'a''", "@0"},
      // Quote and escape are whole characters.
      {"é", nullptr, false, true, "éaêbé", "8: 'aêb'"},
      {"«»", nullptr, false, true, "«ab«", "6: 'ab'"},
      {"\"", "€", false, true, "\"a€\"b\"", "8: 'a\"b'"},
      {"é", "é", false, true, "éaééé", "9: 'aé'"},
  };
  for (const Case& c : cases) {
    const std::string_view esc = c.esc ? c.esc : "";
    auto q = mk<QuotedStringElement>(c.quote, c.esc ? &esc : nullptr, c.multiline, c.unquote);
    const std::string message =
        "Expected quoted string starting with '" + std::string(c.quote) + "'";
    expect_match(*q, c.text, 0, c.want[0] == '@' ? "@0 " + message : c.want);
  }
}

// A token that is the matched text (or an unquoted body without escapes)
// refers into the parsed text and copies nothing, as do its copies; one whose
// text the element made owns it.
TEST(QuotedString, TokensReferToTheTextUnlessUnescaped) {
  const std::string_view esc = "\\";
  auto plain = mk<QuotedStringElement>("\"", &esc, false, true);
  const std::string text = "\"héllo\" \"a\\\"b\"";
  ParseOutcome out = parse_at(*plain, text, 0);
  ASSERT_TRUE(out.ok());
  const Token& token = out.tokens()[0];
  EXPECT_TRUE(token.is_slice());
  EXPECT_EQ(token.text().data(), text.data() + 1);
  EXPECT_EQ(token.text(), "héllo");
  const long before = allocations_on_this_thread();
  const Token copy = token;
  EXPECT_EQ(allocations_on_this_thread(), before);
  EXPECT_EQ(copy.text().data(), token.text().data());

  ParseOutcome escaped = parse_at(*plain, text, 9);
  ASSERT_TRUE(escaped.ok());
  EXPECT_FALSE(escaped.tokens()[0].is_slice());
  EXPECT_EQ(escaped.tokens()[0].text(), "a\"b");

  std::string error;
  auto number = RegexElement::compile("[0-9]+", error);
  const std::string digits = "  123x";
  ParseOutcome n = parse_at(*number, digits, 2);
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(n.tokens()[0].text().data(), digits.data() + 2);
  EXPECT_EQ(n.tokens()[0].text(), "123");
}

}  // namespace
}  // namespace quernlet
