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

// Tokens as written by the element and the failure texts; which texts match
// where is left to the random comparison below.
TEST(LiteralKindsTest, TokensAndFailureMessages) {
  check(LiteralElement("abc"), {{"xabc", 1, "4: 'abc'"}, {"xab", 1, "@1 Expected 'abc'"}});
  check(CaselessLiteralElement("Hello"),
        {{"xhElLo", 1, "6: 'Hello'"}, {"Hell", 0, "@0 Expected 'Hello' (caseless)"}});
  // '@' and '[', next to the letters, fold to themselves.
  check(CaselessLiteralElement("@["),
        {{"`[", 0, "@0 Expected '@[' (caseless)"}, {"@{", 0, "@0 Expected '@[' (caseless)"}});
  check(KeywordElement("if"), {{"if$", 0, "2: 'if'"}, {"ifx", 0, "@0 Expected keyword 'if'"}});
  check(
      CaselessKeywordElement("Select"),
      {{"SELECT *", 0, "6: 'Select'"}, {"SELECTED", 0, "@0 Expected keyword 'Select' (caseless)"}});
}

TEST(LiteralTest, ParseSharesThePrebuiltTokenAndMessageAndAllocatesNothing) {
  const LiteralElement lit("abc");
  const long before = allocations_on_this_thread();
  {
    const ParseOutcome out = parse_at(lit, "abc", 0);
    EXPECT_EQ(out.tokens()[0].shared_text().identity(), lit.tokens()[0].shared_text().identity());
    const ParseOutcome fail = parse_at(lit, "xyz", 0);
    EXPECT_EQ(fail.message().identity(), lit.message().identity());
  }
  EXPECT_EQ(allocations_on_this_thread(), before);
  EXPECT_EQ(lit.tokens()[0].shared_text().use_count(), 1u);
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
  // The ends of each identifier range and the bytes just outside them.
  const std::vector<std::string> pieces = {"a", "z", "A", "Z", "0",        "9",
                                           "_", "@", "`", " ", "\xC3\xA9", "\xC3\x89"};
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
        const std::string want =
            ref_match(text, pos, s, k % 2 == 1, k >= 2) ? std::to_string(pos + s.size()) : "none";
        const ParseOutcome out = parse_at(*kinds[k], text, pos);
        ASSERT_EQ(show(kinds[k]->try_match_at(text, pos)), want)
            << "kind " << k << " '" << s << "' in '" << text << "' at " << pos;
        ASSERT_EQ(out.ok() ? std::to_string(out.end()) : "none", want)
            << "parse, kind " << k << " '" << s << "' in '" << text << "' at " << pos;
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
