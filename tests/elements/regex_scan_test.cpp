#include "regex_scan.hpp"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <random>
#include <string>
#include <vector>

namespace quernlet {
namespace {

// The iteration by its definition: the leftmost start at or after `from`
// where the pattern matches (tried anchored at each character boundary,
// with the whole text as context), and the empty-match rule.
std::vector<MatchSpan> plain_matches(const re2::RE2& re, std::string_view text) {
  std::vector<MatchSpan> out;
  const re2::StringPiece whole(text.data(), text.size());
  Pos from = 0;
  bool has_last = false;
  Pos last_end = 0;
  while (from <= text.size()) {
    bool found = false;
    MatchSpan m;
    for (Pos s = from; s <= text.size(); ++s) {
      if (!is_char_boundary(text, s)) continue;
      re2::StringPiece sp;
      if (re.Match(whole, s, text.size(), re2::RE2::ANCHOR_START, &sp, 1)) {
        m = {s, s + sp.size()};
        found = true;
        break;
      }
    }
    if (!found) break;
    if (m.start == m.end && has_last && m.end == last_end) {
      if (m.end >= text.size()) break;
      from = m.end + 1;
      while (from < text.size() && !is_char_boundary(text, from)) ++from;
      continue;
    }
    out.push_back(m);
    has_last = true;
    last_end = m.end;
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
  return out;
}

TEST(RegexMatchIterator, EmptyMatchRule) {
  const re2::RE2 re("(?:a*)");
  EXPECT_EQ(iterated(re, "baaa"), (std::vector<MatchSpan>{{0, 0}, {1, 4}}));
  EXPECT_EQ(regex_count(re, "baaa"), 2u);
  EXPECT_EQ(iterated(re, ""), (std::vector<MatchSpan>{{0, 0}}));
  // Empty matches step over whole characters.
  EXPECT_EQ(iterated(re, "\xc3\xa9"), (std::vector<MatchSpan>{{0, 0}, {2, 2}}));
  const re2::RE2 x("(?:x)");
  EXPECT_EQ(iterated(x, "xx"), (std::vector<MatchSpan>{{0, 1}, {1, 2}}));
}

TEST(RegexMatchIterator, AssertionsSeeTheWholeText) {
  const re2::RE2 caret("(?:^a)");
  EXPECT_EQ(iterated(caret, "aaa"), (std::vector<MatchSpan>{{0, 1}}));
  const re2::RE2 boundary("(?:\\bb)");
  EXPECT_EQ(iterated(boundary, "ab b"), (std::vector<MatchSpan>{{3, 4}}));
}

TEST(RegexMatchIterator, NeverCutsACharacter) {
  const re2::RE2 byte("(?:\\C)");
  for (const MatchSpan& m : iterated(byte, "a\xc3\xa9z\xe2\x82\xac")) {
    EXPECT_TRUE(is_char_boundary("a\xc3\xa9z\xe2\x82\xac", m.start));
    EXPECT_TRUE(is_char_boundary("a\xc3\xa9z\xe2\x82\xac", m.end));
  }
}

TEST(RegexMatchIterator, AgreesWithPlainDefinition) {
  const char* patterns[] = {"a*", "a+", "[a-z]+", "\\d+",    "\\bif\\b",      "x",
                            "",   "^a", "a|ab",   "(?:ab)*", "\xc3\xa9+",     "\\w+",
                            ".",  "$",  "b*?",    "(?m)^",   "if(?:[^a-z]|$)"};
  std::mt19937 rng(53);
  const std::vector<std::string> pieces = {"a", "b", "ab", "if", " ", "1", "\n", "x", "\xc3\xa9"};
  for (const char* p : patterns) {
    const re2::RE2 re(std::string("(?:") + p + ")");
    ASSERT_TRUE(re.ok()) << p;
    for (int round = 0; round < 60; ++round) {
      std::string text;
      const std::size_t n = rng() % 40;
      while (text.size() < n) text += pieces[rng() % pieces.size()];
      ASSERT_EQ(iterated(re, text), plain_matches(re, text)) << "/" << p << "/ on '" << text << "'";
      ASSERT_EQ(regex_count(re, text), plain_matches(re, text).size());
    }
  }
}

TEST(RegexMatchIterator, FreeOfAssertions) {
  const std::pair<std::string_view, bool> cases[] = {
      {"[A-Za-z_][A-Za-z0-9_]*", true},
      {"\"[^\"\\n]*\"", true},
      {"[]^$]+", true},
      {"[^]b]", true},
      {"a\\\\b", true},
      {"\\bif\\b", false},
      {"\\Bx", false},
      {"(?m)^a", false},
      {"a$", false},
      {"\\Aa", false},
      {"a\\z", false},
      {"[a]^", false},
  };
  for (auto [pattern, free] : cases) EXPECT_EQ(free_of_assertions(pattern), free) << pattern;
}

TEST(RegexMatchIterator, DenseShortcutFindsTheSameMatches) {
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
    ASSERT_TRUE(re.ok()) << p;
    for (int round = 0; round < 3; ++round) {
      std::string text;
      while (text.size() < 6000) text += pieces[rng() % pieces.size()];
      const std::vector<MatchSpan> plain = iterated(re, text, false);
      ASSERT_EQ(iterated(re, text), plain) << p;
    }
  }
}

}  // namespace
}  // namespace quernlet
