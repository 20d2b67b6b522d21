#include "structure.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "forward.hpp"
#include "literals.hpp"
#include "positional.hpp"
#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

ElementHandle lit(std::string_view s) { return mk<LiteralElement>(s); }
ElementHandle seq(std::vector<ElementHandle> v) { return mk<AndElement>(std::move(v)); }
ElementHandle alt(std::vector<ElementHandle> v) { return mk<MatchFirstElement>(std::move(v)); }

struct Case {
  ElementHandle el;
  std::string_view text;
  Pos pos;
  bool skip_ws;
  const char* parsed;  // show() of parse_impl
  const char* tried;   // show() of try_match_at
};

TEST(Structure, RulesMessagesAndPositions) {
  const ElementHandle a = lit("a"), b = lit("b"), x = lit("x"), eps = mk<EmptyElement>();
  // Matches the lead byte of a two-byte character and stops inside it.
  const ElementHandle lead = mk<SuppressElement>(lit("\xC3"));
  const Case cases[] = {
      {seq({a, b}), "a b", 0, true, "3: 'a','b'", "3"},
      {seq({a, b}), "a b", 0, false, "@1 Expected 'b'", "3"},
      {seq({a, mk<RestOfLineElement>()}), "a  xy\nq", 0, true, "5: 'a','  xy'", "5"},
      {seq({a}), "  b", 0, true, "@2 Expected 'a'", "none"},
      {seq({}), "  ", 1, true, "1:", "1"},
      {alt({a, lit("ab")}), "ab", 0, true, "1: 'a'", "1"},
      {alt({seq({a, b}), x}), "ax", 0, true, "@0 Expected 'x'", "none"},
      {alt({a}), " a", 0, true, "@0 Expected 'a'", "none"},
      {alt({}), "x", 0, true, "@0 No match found", "none"},
      {mk<OptionalElement>(a), " a", 0, true, "0:", "0"},
      {mk<ZeroOrMoreElement>(a), "a a  b", 0, true, "3: 'a','a'", "3"},
      {mk<ZeroOrMoreElement>(a), "a a", 0, false, "1: 'a'", "3"},
      {mk<ZeroOrMoreElement>(mk<OptionalElement>(x)), "ab", 0, true, "0:", "0"},
      {mk<OneOrMoreElement>(a), "a a b", 0, true, "3: 'a','a'", "3"},
      {mk<OneOrMoreElement>(a), " b", 0, true, "@0 Expected at least one match", "none"},
      {mk<OneOrMoreElement>(mk<OptionalElement>(x)), "  c", 0, true,
       "@0 Expected at least one match", "2"},
      {mk<ExactlyElement>(a, 0), "b", 0, true, "0:", "0"},
      {mk<ExactlyElement>(eps, 2), "  b", 0, true, "@2 No progress in Exactly", "none"},
      {mk<ExactlyElement>(a, 3), "a a", 0, true, "@3 Expected 'a'", "none"},
      {mk<ExactlyElement>(a, 2), "a aa", 0, true, "3: 'a','a'", "3"},
      {mk<GroupElement>(seq({a, b, a})), "aba", 0, true, "3: ['a','b','a']", "3"},
      {mk<GroupElement>(eps), "x", 0, true, "0: []", "0"},
      {mk<SuppressElement>(seq({a, b})), "a b", 0, false, "3:", "3"},
      {mk<SuppressElement>(a), "b", 0, true, "@0 Suppress: no match", "none"},
      {mk<CombineElement>(seq({a, b})), "ab", 0, true, "2: 'ab'", "2"},
      {mk<CombineElement>(seq({a, b})), "a b", 0, true, "@1 Expected 'b'", "none"},
      {mk<CombineElement>(mk<SuppressElement>(seq({a, b}))), "a b", 0, true, "3: 'a b'", "3"},
      {mk<CombineElement>(mk<StringEndElement>()), "ab", 5, true, "5: ''", "5"},
      {mk<SkipToElement>(x), "ab x", 0, true, "3: 'ab '", "3"},
      {mk<SkipToElement>(a), "a", 0, true, "0: ''", "0"},
      {mk<SkipToElement>(mk<NoMatchElement>()), "abc", 1, true, "@1 SkipTo: target not found",
       "none"},
      {mk<SkipToElement>(eps), "ab", 5, true, "@5 SkipTo: target not found", "none"},
      // Spans never cut a character ("\xC3\xA9" is one character).
      {mk<SkipToElement>(lit("\xA9")), "x\xC3\xA9", 0, true, "@0 SkipTo: target not found", "none"},
      {mk<SkipToElement>(lit("\xC3\xA9")), "a\xC3\xA9", 0, true, "1: 'a'", "1"},
      {mk<SkipToElement>(eps), "\xC3\xA9", 1, true, "@1 SkipTo: target not found", "none"},
      {mk<CombineElement>(lead), "\xC3\xA9", 0, true, "@0 Combine: no match", "none"},
      {mk<CombineElement>(eps), "\xC3\xA9", 1, true, "@1 Combine: no match", "none"},
      {mk<CombineElement>(seq({lead, lit("\xA9")})), "\xC3\xA9", 0, true, "2: '\xC3\xA9'", "2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(parse_at(*c.el, c.text, c.pos, c.skip_ws)), c.parsed) << "row " << &c - cases;
    EXPECT_EQ(show(c.el->try_match_at(c.text, c.pos)), c.tried) << "row " << &c - cases;
  }
  EXPECT_EQ(show(mk<GroupElement>(a)->parse_from_start(" \t\r\na")), "5: ['a']");
  EXPECT_EQ(show(mk<SkipToElement>(mk<StringEndElement>())->parse_from_start("  ")), "2: ''");
}

// With the too-deep flag set, a Forward gives up at once; no container may
// take that for an ordinary failure and recover from it.
TEST(Structure, StackGiveUpIsNeverRecovered) {
  const ElementHandle a = lit("a");
  const auto give_up = mk<ForwardElement>();
  give_up->set(a);
  const ElementHandle a_or_give_up = alt({a, give_up});
  for (const ElementHandle& e :
       {alt({give_up, a}), ElementHandle(mk<OptionalElement>(give_up)),
        ElementHandle(mk<ZeroOrMoreElement>(a_or_give_up)),
        ElementHandle(mk<OneOrMoreElement>(a_or_give_up)),
        ElementHandle(mk<ExactlyElement>(a_or_give_up, 5)), seq({a, give_up}),
        ElementHandle(mk<CombineElement>(mk<OptionalElement>(give_up)))}) {
    note_too_deep();
    EXPECT_TRUE(parse_at(*e, "aa", 0).too_deep());
    EXPECT_TRUE(take_too_deep());
  }
}

bool tokens_valid(std::span<const Token> tokens) {
  for (const Token& t : tokens)
    if (t.is_list() ? !tokens_valid(t.items()) : !valid_utf8(t.text())) return false;
  return true;
}

// try_match_at must agree with parse_impl on every grammar whose OneOrMore
// children cannot match the empty text (the one place where they differ),
// and every token must be whole UTF-8 characters.
TEST(Structure, MatchTestAgreesWithParse) {
  const std::vector<std::string> pieces = {"a", "b", " ", "\t", "\xC3\xA9", "ab", "\n"};
  std::mt19937 rng(12345);
  GrammarMaker maker(rng, pieces, {.advancing_repeats = true});
  // Over half the roots are leaves; this many grammars give some 800 that
  // are not.
  for (int g = 0; g < 2000; ++g) {
    const ElementHandle e = maker.make(3);
    maker.made.clear();
    for (int t = 0; t < 25; ++t) {
      const std::string text = random_text(rng, rng() % 8, pieces);
      for (Pos pos = 0; pos <= text.size() + 1; ++pos) {
        const ParseOutcome out = parse_at(*e, text, pos);
        const MatchResult m = e->try_match_at(text, pos);
        ASSERT_EQ(show(m), out.ok() ? std::to_string(out.end()) : "none")
            << g << " '" << text << "' @" << pos << " " << show(out);
        ASSERT_TRUE(!out.ok() || tokens_valid(out.tokens().span())) << g << " " << show(out);
        parse_at(*e, text, pos, false);  // must not crash, leak or change the flag either
      }
    }
  }
}

// Under an open arena scope Group's lists take their arrays from the arena:
// after the first block, parses allocate nothing for them; lists dropped
// last give their room back; a copy outlives the scope; scopes nest.
TEST(TokenArena, GroupListsUnderAScope) {
  const ElementHandle a = lit("a"), b = lit("b");
  const ElementHandle group = mk<GroupElement>(seq({a, mk<GroupElement>(seq({b, a})), b}));
  const std::string text = "abab";
  const std::string want = "4: ['a',['b','a'],'b']";
  const auto allocations_of_a_parse = [&] {
    const long before = allocations_on_this_thread();
    EXPECT_EQ(show(parse_at(*group, text, 0)), want);
    return allocations_on_this_thread() - before;
  };
  const long on_heap = allocations_of_a_parse();
  Token kept;
  {
    TokenArenaScope arena;
    allocations_of_a_parse();  // the first block
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(allocations_of_a_parse(), on_heap - 2);
    kept = parse_at(*group, text, 0).tokens()[0];
    {
      TokenArenaScope inner;
      allocations_of_a_parse();
    }
    EXPECT_EQ(allocations_of_a_parse(), on_heap - 2);
  }
  ParseResults results;
  results.push_back(std::move(kept));
  EXPECT_EQ(show(ParseOutcome::success(4, std::move(results))), want);
}

}  // namespace
}  // namespace quernlet
