#include "regex_run.hpp"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <random>
#include <string>
#include <vector>

#include "regex_scan.hpp"

namespace quernlet {
namespace {

// clang-format off
const char* const kRecognised[] = {
    "[A-Za-z_][A-Za-z0-9_]*", "[0-9]+", "\\w+", "\\d+", "\"[^\"\\n]*\"", "'[^']*'", "[^,]+", "\\S+",
    "x\\.[a-f]*", "[]a]+", "[^]a;]+;", "[a-]+", "[-a]*=", ".+", "<[^>]+>", "\\W+", "[\\d_]+",
    "a\\s*b", "[\\D]+", "#[^\n]*"};
// clang-format on
const char* const kNotRecognised[] = {
    "[a-z]*",       "(?i)[a-z]+", "[a-z]+?", "^[a-z]+",    "[a-z]+$",  "[a-z]+[0-9]+",
    "a|b+",         "(a)+",       "[é]+",    "é[a]+",      "[a-z]{2}", "\\pL+",
    "[[:alpha:]]+", "\\bx+",      "a[ab]*b", "\\x41+",     "[a-c-e]+", ".*\"",
    "a+b+",         "[a-z]++",    "",        "ab[c-e]*f.?"};

TEST(ClassRun, RecognisesOnlyTheSubset) {
  for (const char* p : kRecognised) EXPECT_TRUE(ClassRun::recognise(p)) << p;
  for (const char* p : kNotRecognised) EXPECT_FALSE(ClassRun::recognise(p)) << p;
  EXPECT_TRUE(ClassRun::recognise("[A-Za-z_][A-Za-z0-9_]*")->word_scanner());
  EXPECT_TRUE(ClassRun::recognise("\\d+")->word_scanner());
  // A negated class holds non-ASCII characters; a delimited run is no Word.
  EXPECT_FALSE(ClassRun::recognise("[^,]+")->word_scanner());
  EXPECT_FALSE(ClassRun::recognise("'[^']*'")->word_scanner());
}

// Random texts over the bytes the patterns care about plus multi-byte
// characters: the match at every character boundary equals RE2's anchored
// match there, and the scan equals the RE2 iteration (spans and count).
TEST(ClassRun, AgreesWithRe2) {
  // Every ASCII byte the patterns name, one at a time, and 2-, 3- and 4-byte characters.
  std::vector<std::string> alphabet = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (char c : std::string_view("abcfxzA_05 \t\n\v\"',;<>=-].#")) alphabet.emplace_back(1, c);
  std::mt19937 rng(11);
  for (const char* pattern : kRecognised) {
    const auto run = ClassRun::recognise(pattern);
    if (!run) continue;
    const re2::RE2 re(pattern);
    ASSERT_TRUE(re.ok()) << pattern;
    for (int round = 0; round < 300; ++round) {
      std::string text;
      const int len = static_cast<int>(rng() % (round < 200 ? 16 : 300));
      for (int i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
      for (Pos pos = 0; pos <= text.size(); ++pos) {
        if (!is_char_boundary(text, pos)) continue;
        re2::StringPiece m;
        const re2::StringPiece rest(text.data() + pos, text.size() - pos);
        const Pos want =
            re.Match(rest, 0, rest.size(), re2::RE2::ANCHOR_START, &m, 1) ? pos + m.size() : 0;
        ASSERT_EQ(run->match_end(text, pos), want) << pattern << " on '" << text << "' @" << pos;
      }
      std::vector<MatchSpan> want, got, word;
      RegexMatchIterator it(re, text);
      for (MatchSpan m; it.next(m);) want.push_back(m);
      for (MatchSpan m; run->find(text, m.end, m);) got.push_back(m);
      ASSERT_EQ(got, want) << pattern << " on '" << text << "'";
      ASSERT_EQ(run->count(text), want.size()) << pattern << " on '" << text << "'";
      if (const WordScanner* scanner = run->word_scanner()) {
        WordCursor cursor(*scanner, text);
        MatchSpan batch[7];
        for (std::size_t k; (k = cursor.next(batch, 7)) != 0;)
          word.insert(word.end(), batch, batch + k);
        ASSERT_EQ(word, want) << pattern << " on '" << text << "'";
      }
    }
  }
}

// A lone starred atom is a run only for matches at a position, where it
// gives RE2's anchored match, the empty one included.
TEST(ClassRun, LoneStarMatchesAsRe2AtEveryPosition) {
  for (const char* pattern : {"[a-z]*", "a*", "[^,]*", ".*", "\\w*", "\\S*"}) {
    EXPECT_FALSE(ClassRun::recognise(pattern)) << pattern;
    const auto run = ClassRun::recognise_anchored(pattern);
    ASSERT_TRUE(run) << pattern;
    const re2::RE2 re(pattern);
    for (const std::string text : {"",
                                   "ab,c d\n\xC3\xA9"
                                   "a",
                                   ",,a", "zz\tq"}) {
      for (Pos pos = 0; pos <= text.size(); pos = next_char_boundary(text, pos + 1)) {
        re2::StringPiece m;
        const re2::StringPiece rest(text.data() + pos, text.size() - pos);
        ASSERT_TRUE(re.Match(rest, 0, rest.size(), re2::RE2::ANCHOR_START, &m, 1));
        EXPECT_EQ(run->match_length(text, pos), static_cast<std::int64_t>(m.size()))
            << pattern << " on '" << text << "' @" << pos;
        if (pos == text.size()) break;
      }
    }
  }
  EXPECT_FALSE(ClassRun::recognise_anchored("a*b*"));
}

// A run that never meets its closing delimiter is read once, not once per
// start: the scan stays linear (checked by its result on a text that would
// take minutes the quadratic way).
TEST(ClassRun, UnclosedRunsStayLinear) {
  const auto run = ClassRun::recognise("a[a-z]*:");
  std::string text(4 << 20, 'a');
  text += ":";
  MatchSpan m;
  ASSERT_TRUE(run->find(text, 0, m));
  EXPECT_EQ(m, (MatchSpan{0, text.size()}));
  text.back() = 'b';
  EXPECT_EQ(run->count(text), 0u);
}

}  // namespace
}  // namespace quernlet
