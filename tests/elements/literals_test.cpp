#include "literals.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "allocation_counter.hpp"

namespace quernlet {
namespace {

using testing_support::allocations_on_this_thread;

ParseOutcome parse_at(const Element& e, std::string_view text, Pos pos) {
  ParseContext ctx{text, true};
  return e.parse_impl(ctx, pos);
}

std::string only_token(const ParseOutcome& out) {
  EXPECT_EQ(out.tokens().size(), 1u);
  return out.tokens().size() == 1 ? std::string(out.tokens()[0].text().view()) : "<none>";
}

// One match attempt: at `pos` of `text`, either a match ending at `end` with
// the token `token`, or a failure at `pos`.
struct Case {
  std::string text;
  Pos pos;
  bool matched;
  Pos end = 0;
};

// Checks every case through both operations, which must agree, and checks
// the token of a match (the matched text when `token` is null) and the
// message and position of a failure.
void check_cases(const Element& e, const std::vector<Case>& cases, const char* token,
                 std::string_view message) {
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "text '" << c.text << "' at " << c.pos);
    const MatchResult m = e.try_match_at(c.text, c.pos);
    const ParseOutcome out = parse_at(e, c.text, c.pos);
    ASSERT_EQ(m.matched, c.matched);
    ASSERT_EQ(out.ok(), c.matched);
    if (c.matched) {
      EXPECT_EQ(m.end, c.end);
      EXPECT_EQ(out.end(), c.end);
      EXPECT_EQ(only_token(out), token ? token : c.text.substr(c.pos, c.end - c.pos));
    } else {
      EXPECT_EQ(out.message().view(), message);
      EXPECT_EQ(out.position(), c.pos);
      EXPECT_FALSE(out.too_deep());
    }
  }
}

TEST(LiteralTest, MatchesExactBytesAtPosition) {
  LiteralElement lit("abc");
  check_cases(lit,
              {{"abcd", 0, true, 3},
               {"xabc", 1, true, 4},
               {"abc", 0, true, 3},
               {"xabc", 0, false},
               {"xab", 1, false},  // would end past the text
               {"abd", 0, false},
               {"ABC", 0, false},
               {"abc", 3, false},
               {"abc", 9, false},
               {"", 0, false}},
              "abc", "Expected 'abc'");
  EXPECT_EQ(lit.first_byte(), 'a');
}

TEST(LiteralTest, EmptyMatchesZeroBytesUpToTheEnd) {
  LiteralElement lit("");
  check_cases(lit,
              {{"", 0, true, 0},
               {"ab", 0, true, 0},
               {"ab", 1, true, 1},
               {"ab", 2, true, 2},
               {"ab", 3, false}},
              "", "Expected ''");
  EXPECT_EQ(lit.first_byte(), 0);
}

TEST(LiteralTest, MatchSharesThePrebuiltTokenAndAllocatesNothing) {
  LiteralElement lit("abc");
  const void* prebuilt = lit.tokens()[0].text().identity();
  const long before = allocations_on_this_thread();
  {
    const ParseOutcome out = parse_at(lit, "abc", 0);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.tokens()[0].text().identity(), prebuilt);
    EXPECT_EQ(lit.tokens()[0].text().use_count(), 2u);
    const ParseOutcome fail = parse_at(lit, "xyz", 0);
    EXPECT_EQ(fail.message().identity(), lit.message().identity());
  }
  EXPECT_EQ(allocations_on_this_thread(), before);
  EXPECT_EQ(lit.tokens()[0].text().use_count(), 1u);
}

TEST(LiteralTest, StartRuleSkipsTheFourWhitespaceBytesOnly) {
  LiteralElement lit("abc");
  ParseOutcome out = lit.parse_from_start("  \tabc");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(only_token(out), "abc");
  struct Fail {
    std::string text;
    Pos position;
  };
  for (const Fail& f : {Fail{"   ", 3}, Fail{"", 0}, Fail{"\fabc", 0}, Fail{"\vabc", 0}}) {
    out = lit.parse_from_start(f.text);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.position(), f.position);
    EXPECT_EQ(out.message().view(), "Expected 'abc'");
  }
}

TEST(CaselessLiteralTest, FoldsAsciiLettersOnlyAndYieldsTheTextAsWritten) {
  CaselessLiteralElement lit("Hello");
  check_cases(lit,
              {{"HELLO", 0, true, 5},
               {"hello world", 0, true, 5},
               {"xhElLo", 1, true, 6},
               {"Hell", 0, false},
               {"Jello", 0, false},
               {"HELLO", 1, false}},
              "Hello", "Expected 'Hello' (caseless)");
  // Bytes above 0x7F are compared exactly: 'É' does not fold to 'é'.
  check_cases(CaselessLiteralElement("\xC3\x89"),
              {{"\xC3\xA9", 0, false}, {"\xC3\x89", 0, true, 2}}, "\xC3\x89",
              "Expected '\xC3\x89' (caseless)");
  // Folding maps '@' and '[' (next to the letters) to themselves.
  check_cases(CaselessLiteralElement("@["), {{"`{", 0, false}, {"@[", 0, true, 2}}, "@[",
              "Expected '@[' (caseless)");
  check_cases(CaselessLiteralElement(""), {{"", 0, true, 0}, {"ab", 2, true, 2}, {"ab", 3, false}},
              "", "Expected '' (caseless)");
}

TEST(KeywordTest, RequiresANonIdentifierByteOrTheEndAfterTheMatch) {
  KeywordElement kw("if");
  check_cases(kw,
              {{"if (", 0, true, 2},
               {"if", 0, true, 2},
               {"if$", 0, true, 2},
               {"if-", 0, true, 2},
               {"if\xC3\xA9", 0, true, 2},  // bytes of 0x80 and above end a word
               {"elif", 2, true, 4},        // the byte before is not looked at
               {"ifx", 0, false},
               {"if_", 0, false},
               {"if9", 0, false},
               {"iF", 0, false},
               {"i", 0, false}},
              "if", "Expected keyword 'if'");
}

TEST(KeywordTest, EmptyMatchesZeroBytesBeforeANonIdentifierByte) {
  check_cases(KeywordElement(""),
              {{"", 0, true, 0},
               {"a b", 1, true, 1},
               {"a b", 3, true, 3},
               {"-", 0, true, 0},
               {"a b", 0, false},
               {"a b", 2, false},
               {"a b", 4, false}},
              "", "Expected keyword ''");
  check_cases(CaselessKeywordElement(""), {{"", 0, true, 0}, {"x.", 1, true, 1}, {"x.", 0, false}},
              "", "Expected keyword '' (caseless)");
}

TEST(CaselessKeywordTest, FoldsAndChecksTheBoundary) {
  check_cases(CaselessKeywordElement("select"),
              {{"SELECT *", 0, true, 6}, {"select", 0, true, 6}, {"SELECTED", 0, false}}, "select",
              "Expected keyword 'select' (caseless)");
  check_cases(CaselessKeywordElement("Select"), {{"select", 0, true, 6}, {"selected", 0, false}},
              "Select", "Expected keyword 'Select' (caseless)");
}

TEST(CharTest, MatchesOneSingleByteMember) {
  CharElement plus_minus("+-");
  check_cases(plus_minus, {{"-1", 0, true, 1}, {"1+", 1, true, 2}, {"", 0, false}, {"1", 0, false}},
              nullptr, "Expected one of '+-'");
  EXPECT_TRUE(plus_minus.ascii_only());
  // The empty set never matches, not even a zero byte.
  CharElement none("");
  for (int b = 0; b < 256; ++b) {
    const std::string text(1, static_cast<char>(b));
    EXPECT_FALSE(none.try_match_at(text, 0).matched) << b;
  }
  EXPECT_EQ(parse_at(none, "a", 0).message().view(), "Expected one of ''");
}

TEST(CharTest, MatchesWholeMultiByteCharacters) {
  CharElement e("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");  // a, é, €, 😀
  EXPECT_FALSE(e.ascii_only());
  struct Row {
    std::string text;
    Pos pos;
    unsigned len;
  };
  const std::vector<Row> rows = {
      {"\xC3\xA9", 0, 2},
      {"\xE2\x82\xAC!", 0, 3},
      {"\xF0\x9F\x98\x80", 0, 4},
      {"xa", 1, 1},
      {"\xC3\xBC", 0, 0},      // ü shares é's first byte
      {"\xC3\xA9", 1, 0},      // inside é
      {"\xC3", 0, 0},          // a lone lead byte
      {"\xE2\x82\xAD", 0, 0},  // differs in the last byte only
      {"\xF0\x9F\x98\x81", 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "row at " << r.pos << " of " << r.text.size() << " bytes");
    const MatchResult m = e.try_match_at(r.text, r.pos);
    const ParseOutcome out = parse_at(e, r.text, r.pos);
    ASSERT_EQ(m.matched, r.len != 0);
    ASSERT_EQ(out.ok(), r.len != 0);
    if (r.len != 0) {
      EXPECT_EQ(m.end, r.pos + r.len);
      EXPECT_EQ(out.end(), r.pos + r.len);
      EXPECT_EQ(only_token(out), r.text.substr(r.pos, r.len));
    } else {
      EXPECT_EQ(out.position(), r.pos);
      EXPECT_EQ(out.message().view(), "Expected one of 'a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80'");
    }
  }
  // A member U+FFFD must not match a stray continuation byte (which a lax
  // decoder reads as U+FFFD).
  CharElement replacement("\xEF\xBF\xBD");
  EXPECT_FALSE(replacement.try_match_at("\xC3\xA9", 1).matched);
  EXPECT_TRUE(replacement.try_match_at("\xEF\xBF\xBD", 0).matched);
}

TEST(CharTest, ScanCountsOneMatchPerCharacter) {
  CharElement e("\xC3\xA9");                                     // é
  const std::string text = "\xC3\xA9\xC3\xBC\xC3\xA9x\xC3\xA9";  // é ü é x é
  int count = 0;
  for (Pos p = 0; p < text.size(); ++p) count += e.try_match_at(text, p).matched;
  EXPECT_EQ(count, 3);
}

// Plain reference matchers over std::string, for comparison with the kinds.
std::string fold(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}
bool ident(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool ref_match(const std::string& text, Pos pos, const std::string& s, bool caseless,
               bool keyword) {
  if (pos > text.size() || text.size() - pos < s.size()) return false;
  const std::string piece = text.substr(pos, s.size());
  if (caseless ? fold(piece) != fold(s) : piece != s) return false;
  return !keyword || pos + s.size() == text.size() || !ident(text[pos + s.size()]);
}

// Random texts and patterns over a small alphabet that hits case folding,
// identifier boundaries and multi-byte characters.
std::string random_text(std::mt19937& rng, std::size_t max_pieces) {
  static const char* const pieces[] = {"a", "b", "A",        "B",        "_",
                                       " ", "-", "\xC3\xA9", "\xC3\x89", "1"};
  std::string out;
  const std::size_t n = rng() % (max_pieces + 1);
  for (std::size_t i = 0; i < n; ++i) out += pieces[rng() % std::size(pieces)];
  return out;
}

TEST(LiteralKindsTest, AgreeWithPlainReferenceOnRandomTexts) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 300; ++round) {
    const std::string s = random_text(rng, 3);
    const std::string text = random_text(rng, 12);
    const LiteralElement lit(s);
    const CaselessLiteralElement clit(s);
    const KeywordElement kw(s);
    const CaselessKeywordElement ckw(s);
    for (Pos pos = 0; pos <= text.size() + 1; ++pos) {
      const long before = allocations_on_this_thread();
      const MatchResult got[] = {lit.try_match_at(text, pos), clit.try_match_at(text, pos),
                                 kw.try_match_at(text, pos), ckw.try_match_at(text, pos)};
      ASSERT_EQ(allocations_on_this_thread(), before);
      SCOPED_TRACE(testing::Message() << "'" << s << "' in '" << text << "' at " << pos);
      const bool want[] = {
          ref_match(text, pos, s, false, false), ref_match(text, pos, s, true, false),
          ref_match(text, pos, s, false, true), ref_match(text, pos, s, true, true)};
      for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(got[k].matched, want[k]) << "kind " << k;
        if (want[k]) {
          ASSERT_EQ(got[k].end, pos + s.size());
        }
      }
    }
  }
}

// Decodes well-formed UTF-8 into (start, length) of each character.
std::vector<std::pair<Pos, unsigned>> characters(const std::string& text) {
  std::vector<std::pair<Pos, unsigned>> out;
  for (Pos p = 0; p < text.size();) {
    const auto b = static_cast<unsigned char>(text[p]);
    const unsigned len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    out.emplace_back(p, len);
    p += len;
  }
  return out;
}

TEST(CharTest, AgreesWithPerCharacterReferenceOnRandomTexts) {
  static const char* const alphabet[] = {
      "a", "b", "\n", "\xC3\xA9", "\xC3\xBC", "\xE2\x82\xAC", "\xE2\x82\xAD", "\xF0\x9F\x98\x80"};
  std::mt19937 rng(99);
  for (int round = 0; round < 200; ++round) {
    std::string set, text;
    std::vector<std::string> members;
    for (int i = rng() % 4; i > 0; --i) {
      members.push_back(alphabet[rng() % std::size(alphabet)]);
      set += members.back();
    }
    for (int i = rng() % 10; i > 0; --i) text += alphabet[rng() % std::size(alphabet)];
    const CharElement e(set);
    std::vector<unsigned> want(text.size() + 1, 0);
    for (auto [start, len] : characters(text))
      for (const std::string& m : members)
        if (text.compare(start, len, m) == 0) want[start] = len;
    const long before = allocations_on_this_thread();
    for (Pos pos = 0; pos <= text.size(); ++pos) {
      const MatchResult m = e.try_match_at(text, pos);
      ASSERT_EQ(m.matched ? m.end - pos : 0, want[pos]) << "set '" << set << "' at " << pos;
    }
    ASSERT_EQ(allocations_on_this_thread(), before);
    for (Pos pos = 0; pos <= text.size(); ++pos) {
      const ParseOutcome out = parse_at(e, text, pos);
      ASSERT_EQ(out.ok(), want[pos] != 0);
      if (out.ok()) {
        ASSERT_EQ(only_token(out), text.substr(pos, want[pos]));
      }
    }
  }
}

}  // namespace
}  // namespace quernlet
