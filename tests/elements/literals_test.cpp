#include "literals.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

struct Case {
  std::string text;
  Pos pos;
  std::string want;  // as `show` writes the parse
};

void check(const Element& e, const std::vector<Case>& cases) {
  for (const Case& c : cases) expect_match(e, c.text, c.pos, c.want);
}

TEST(LiteralTest, MatchesExactBytesAndFailsWhereTried) {
  check(LiteralElement("abc"), {{"abcd", 0, "3: 'abc'"},
                                {"xabc", 1, "4: 'abc'"},
                                {"xabc", 0, "@0 Expected 'abc'"},
                                {"xab", 1, "@1 Expected 'abc'"},  // would end past the text
                                {"ABC", 0, "@0 Expected 'abc'"},
                                {"abc", 9, "@9 Expected 'abc'"}});
  // Empty: zero bytes anywhere up to the end.
  check(LiteralElement(""), {{"ab", 2, "2: ''"}, {"ab", 3, "@3 Expected ''"}});
}

TEST(CaselessLiteralTest, FoldsAsciiLettersOnlyAndYieldsTheTextAsWritten) {
  check(CaselessLiteralElement("Hello"), {{"HELLO", 0, "5: 'Hello'"},
                                          {"xhElLo", 1, "6: 'Hello'"},
                                          {"Hell", 0, "@0 Expected 'Hello' (caseless)"}});
  check(CaselessLiteralElement("\xC3\x89"), {{"\xC3\xA9", 0, "@0 Expected '\xC3\x89' (caseless)"}});
  // '@' and '[', next to the letters, fold to themselves.
  check(CaselessLiteralElement("@["),
        {{"`[", 0, "@0 Expected '@[' (caseless)"}, {"@{", 0, "@0 Expected '@[' (caseless)"}});
  check(CaselessLiteralElement(""), {{"ab", 2, "2: ''"}});
}

TEST(KeywordTest, RequiresANonIdentifierByteOrTheEndAfterTheMatch) {
  check(KeywordElement("if"), {{"if (", 0, "2: 'if'"},
                               {"if$", 0, "2: 'if'"},
                               {"if\xC3\xA9", 0, "2: 'if'"},  // 0x80 and above end a word
                               {"elif", 2, "4: 'if'"},        // the byte before is not looked at
                               {"ifx", 0, "@0 Expected keyword 'if'"},
                               {"if_", 0, "@0 Expected keyword 'if'"},
                               {"if9", 0, "@0 Expected keyword 'if'"}});
  check(KeywordElement(""),
        {{"a b", 1, "1: ''"}, {"a b", 3, "3: ''"}, {"a b", 0, "@0 Expected keyword ''"}});
  check(
      CaselessKeywordElement("Select"),
      {{"SELECT *", 0, "6: 'Select'"}, {"SELECTED", 0, "@0 Expected keyword 'Select' (caseless)"}});
  check(CaselessKeywordElement(""),
        {{"x.", 1, "1: ''"}, {"x.", 0, "@0 Expected keyword '' (caseless)"}});
}

TEST(LiteralTest, ParseSharesThePrebuiltTokenAndMessageAndAllocatesNothing) {
  const LiteralElement lit("abc");
  const long before = allocations_on_this_thread();
  {
    const ParseOutcome out = parse_at(lit, "abc", 0);
    EXPECT_EQ(out.tokens()[0].text().identity(), lit.tokens()[0].text().identity());
    const ParseOutcome fail = parse_at(lit, "xyz", 0);
    EXPECT_EQ(fail.message().identity(), lit.message().identity());
  }
  EXPECT_EQ(allocations_on_this_thread(), before);
  EXPECT_EQ(lit.tokens()[0].text().use_count(), 1u);
  EXPECT_EQ(show(lit.parse_from_start(" \t\nabc")), "6: 'abc'");
  EXPECT_EQ(show(lit.parse_from_start("\fabc")), "@0 Expected 'abc'");
}

// Plain reference over std::string for the four text kinds.
bool ref_match(const std::string& text, Pos pos, const std::string& s, bool caseless,
               bool keyword) {
  const auto fold = [](std::string t) {
    for (char& c : t)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return t;
  };
  if (pos > text.size() || text.size() - pos < s.size()) return false;
  const std::string piece = text.substr(pos, s.size());
  if (caseless ? fold(piece) != fold(s) : piece != s) return false;
  const Pos end = pos + s.size();
  return !keyword || end == text.size() ||
         !(std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_');
}

TEST(LiteralKindsTest, AgreeWithPlainReferenceOnRandomTexts) {
  const std::vector<std::string> pieces = {"a", "b", "A",        "B",        "_",
                                           " ", "-", "\xC3\xA9", "\xC3\x89", "1"};
  std::mt19937 rng(1234);
  for (int round = 0; round < 300; ++round) {
    const std::string s = random_text(rng, rng() % 4, pieces);
    const std::string text = random_text(rng, rng() % 14, pieces);
    const LiteralElement lit(s);
    const CaselessLiteralElement clit(s);
    const KeywordElement kw(s);
    const CaselessKeywordElement ckw(s);
    const Element* kinds[] = {&lit, &clit, &kw, &ckw};
    for (Pos pos = 0; pos <= text.size() + 1; ++pos) {
      for (int k = 0; k < 4; ++k) {
        const bool want = ref_match(text, pos, s, k % 2 == 1, k >= 2);
        ASSERT_EQ(show(kinds[k]->try_match_at(text, pos)),
                  want ? std::to_string(pos + s.size()) : "none")
            << "kind " << k << " '" << s << "' in '" << text << "' at " << pos;
      }
    }
  }
}

TEST(CharTest, MatchesWholeCharactersOnly) {
  check(CharElement("+-"), {{"-1", 0, "1: '-'"}, {"", 0, "@0 Expected one of '+-'"}});
  check(CharElement(""), {{std::string(1, '\0'), 0, "@0 Expected one of ''"}});
  const std::string set = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, é, €, 😀
  const std::string fail = " Expected one of '" + set + "'";
  check(CharElement(set), {{"\xC3\xA9", 0, "2: '\xC3\xA9'"},
                           {"\xE2\x82\xAC!", 0, "3: '\xE2\x82\xAC'"},
                           {"\xF0\x9F\x98\x80", 0, "4: '\xF0\x9F\x98\x80'"},
                           {"\xC3\xBC", 0, "@0" + fail},  // ü shares é's first byte
                           {"\xC3\xA9", 1, "@1" + fail},  // inside é
                           {"\xE2\x82\xAD", 0, "@0" + fail}});
  // A lax decoder reads a stray continuation byte as U+FFFD.
  check(CharElement("\xEF\xBF\xBD"), {{"\xC3\xA9", 1, "@1 Expected one of '\xEF\xBF\xBD'"}});
}

}  // namespace
}  // namespace quernlet
