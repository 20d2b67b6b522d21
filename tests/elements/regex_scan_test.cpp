#include "regex_scan.hpp"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "chars.hpp"
#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

// The iteration by its definition: the leftmost start at or after `from`
// where the pattern matches (tried anchored at each character boundary,
// with the whole text as context), and the empty-match rule.
std::vector<MatchSpan> plain_matches(const re2::RE2& re, std::string_view text) {
  std::vector<MatchSpan> out;
  const re2::StringPiece whole(text.data(), text.size());
  for (Pos from = 0; from <= text.size();) {
    Pos s = from;
    re2::StringPiece sp;
    while (s <= text.size() && !(is_char_boundary(text, s) &&
                                 re.Match(whole, s, text.size(), re2::RE2::ANCHOR_START, &sp, 1)))
      ++s;
    if (s > text.size()) break;
    const MatchSpan m{s, s + sp.size()};
    if (m.start == m.end && !out.empty() && m.end == out.back().end) {
      if (m.end >= text.size()) break;
      for (from = m.end + 1; !is_char_boundary(text, from);) ++from;
      continue;
    }
    out.push_back(m);
    from = m.end;
  }
  return out;
}

// With the shortcut where the pattern's bounds allow it, or the plain search.
std::vector<MatchSpan> iterated(const re2::RE2& re, std::string_view text, bool shortcut = true) {
  std::vector<MatchSpan> out;
  RegexMatchIterator it =
      shortcut ? RegexMatchIterator(re, match_bounds(re), text) : RegexMatchIterator(re, text);
  for (MatchSpan m; it.next(m);) out.push_back(m);
  MatchSpan ignored;
  EXPECT_FALSE(it.next(ignored));
  return out;
}

TEST(RegexMatchIterator, EmptyMatchesAssertionsAndCharacters) {
  const re2::RE2 stars("(?:a*)"), caret("(?:^a)"), boundary("(?:\\bb)"), byte("(?:\\C)");
  EXPECT_EQ(iterated(stars, "baaa"), (std::vector<MatchSpan>{{0, 0}, {1, 4}}));
  EXPECT_EQ(iterated(stars, "\xc3\xa9"), (std::vector<MatchSpan>{{0, 0}, {2, 2}}));
  EXPECT_EQ(iterated(caret, "aaa"), (std::vector<MatchSpan>{{0, 1}}));
  EXPECT_EQ(iterated(boundary, "ab b"), (std::vector<MatchSpan>{{3, 4}}));
  EXPECT_EQ(iterated(byte, "a\xc3\xa9z"), (std::vector<MatchSpan>{{0, 1}, {3, 4}}));
}

TEST(RegexMatchIterator, AgreesWithPlainDefinition) {
  const char* patterns[] = {"a*", "a+", "[a-z]+", "\\d+",    "\\bif\\b",      "x",
                            "",   "^a", "a|ab",   "(?:ab)*", "\xc3\xa9+",     "\\w+",
                            ".",  "$",  "b*?",    "(?m)^",   "if(?:[^a-z]|$)"};
  std::mt19937 rng(53);
  const std::vector<std::string> pieces = {"a", "b", "ab", "if", " ", "1", "\n", "x", "\xc3\xa9"};
  for (const char* p : patterns) {
    const re2::RE2 re(std::string("(?:") + p + ")");
    for (int round = 0; round < 60; ++round) {
      const std::string text = random_text(rng, rng() % 40, pieces);
      ASSERT_EQ(iterated(re, text), plain_matches(re, text)) << "/" << p << "/ on '" << text << "'";
    }
  }
}

TEST(RegexMatchIterator, DenseShortcutFindsTheSameMatches) {
  for (std::string_view p : {"[A-Za-z_][A-Za-z0-9_]*", "[]^$]+", "[^]b]", "a\\\\b"})
    EXPECT_TRUE(free_of_assertions(p)) << p;
  for (std::string_view p : {"\\bif\\b", "\\Bx", "(?m)^a", "a$", "\\Aa", "a\\z", "[a]^"})
    EXPECT_FALSE(free_of_assertions(p)) << p;

  const char* patterns[] = {"[A-Za-z_][A-Za-z0-9_]*",
                            "\\d+(?:\\.\\d+)?",
                            "\"[^\"\\n]*\"",
                            "(?i)if|for",
                            "\xc3\xa9+x?",
                            "[a-z]+\\C",
                            "\\Bfor|if",
                            ".",
                            "x*y",
                            "[a-z]+q",
                            "[ -~]\\.5"};
  std::mt19937 rng(59);
  const std::vector<std::string> pieces = {"if ", "for", "x",      "y",        "12", ".5",
                                           " ",   "\n",  "\"ab\"", "\xc3\xa9", "_",  "\""};
  for (const char* p : patterns) {
    const re2::RE2 re(std::string("(?:") + p + ")");
    for (int round = 0; round < 3; ++round) {
      const std::string text = random_text(rng, 6000, pieces);
      ASSERT_EQ(iterated(re, text), iterated(re, text, false)) << p;
    }
  }
}

// Start bytes of general patterns: every match RE2 finds at the start of a
// text begins where the set allows, and the element that rejects by the set
// answers as RE2 does everywhere.
TEST(RegexStartBytes, HoldForEveryMatchAndKeepTheAnswers) {
  // clang-format off
  const char* patterns[] = {
      "foo|bar|baz", "-?\\d+(?:\\.\\d+)?", "(?:0x)?[0-9a-f]+", "(?i)select|from", "(?i)^k",
      "(?i)k+", "[\xc3\xa9-\xc3\xbc]x|\\d", "[^a-z]+", "^abc", "\\bif\\b", "x?\\b", "\\B.", "a*",
      "(?m)$", "$", "", "(?:a|)b?", "\\S+\\s*", "[[:upper:]][a-z]*", "\\pL+", "(?s).", "\\C",
      "[a-z]+(?:_[a-z]+)*", "(?U)a+b", "\xc3\xa9+|\xc3\xbc", "\\x{212A}", "a{2,3}|\\Q.*\\E",
      "[\\x{100}-\\x{10FFFF}]+", "(?:if|else)\\b|\\w", "\\s*", "a|ab", "[a]b]", "(a|b)*c"};
  const std::vector<std::string> pieces = {
      "a", "b", "k", "K", "\xe2\x84\xaa", "\xc3\xa9", "\xc3\xbc", "0", "7", "x", "_", " ", "\n",
      "if", "foo", "-", "ABC", "abc", ".*", "0x", "\t", "sElEcT", "\xf0\x9f\x98\x80", "\xff", "\x80",
      "\v", "\r", "]", "c"};
  // clang-format on
  std::mt19937 rng(4111);
  for (const char* p : patterns) {
    std::string error;
    const Ref<RegexElement> element = RegexElement::compile(p, error);
    ASSERT_TRUE(element) << p << ": " << error;
    const StartBytes& starts = element->start_bytes();
    const re2::RE2& re = element->re();
    for (int round = 0; round < 150; ++round) {
      const std::string text = random_text(rng, rng() % 12, pieces);
      for (Pos pos = 0; pos <= text.size(); ++pos) {
        if (!is_char_boundary(text, pos)) continue;
        const re2::StringPiece rest(text.data() + pos, text.size() - pos);
        re2::StringPiece found;
        std::int64_t want = -1;
        if (re.Match(rest, 0, rest.size(), re2::RE2::ANCHOR_START, &found, 1)) {
          if (found.empty())
            EXPECT_TRUE(starts.can_be_empty()) << "/" << p << "/ at " << pos << " of '" << text;
          else
            EXPECT_TRUE(starts.has(static_cast<unsigned char>(text[pos])))
                << "/" << p << "/ at " << pos << " of '" << text << "'";
          if (is_char_boundary(text, pos + found.size()))
            want = static_cast<std::int64_t>(found.size());
        }
        ASSERT_EQ(element->match_length(text, pos), want)
            << "/" << p << "/ at " << pos << " of '" << text << "'";
      }
    }
  }
}

// The sets are narrow enough to reject: bytes no match starts with are out,
// and the empty match only where an assertion or option allows it.
TEST(RegexStartBytes, RuleOutWhatCannotStartAMatch) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"[a-z]+(?:_[a-z]+)*", "_ 0A{", false},
      {"foo|bar", "a g", false},
      {"(?i)select", "0 \n", false},
      {"x?\\b", "y ", true},
      {"\\d*", "a:", true},
      {"\xc3\xa9+", "\xc2\xc4z", false}};
  for (const auto& [pattern, out, empty] : cases) {
    std::string error;
    const StartBytes starts = RegexElement::compile(pattern, error)->start_bytes();
    for (const char* b = out; *b; ++b)
      EXPECT_FALSE(starts.has(static_cast<unsigned char>(*b))) << pattern << " " << *b;
    EXPECT_EQ(starts.can_be_empty(), empty) << pattern;
  }
}

}  // namespace
}  // namespace quernlet
