#include "regex_scan.hpp"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <random>
#include <string>
#include <vector>

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

std::vector<MatchSpan> iterated(const re2::RE2& re, std::string_view text, bool shortcut = true) {
  std::vector<MatchSpan> out;
  RegexMatchIterator it(re, text, shortcut);
  for (MatchSpan m; it.next(m);) out.push_back(m);
  MatchSpan ignored;
  EXPECT_FALSE(it.next(ignored));
  EXPECT_EQ(regex_count(re, text), out.size());
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

}  // namespace
}  // namespace quernlet
