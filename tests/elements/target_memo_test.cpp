#include "target_memo.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

ElementHandle skip_to(ElementHandle target) { return mk<SkipToElement>(std::move(target)); }

// Runs long enough for a search over them to be kept, and the targets' texts.
const std::vector<std::string> kPieces = {"a",
                                          "b",
                                          "x",
                                          " ",
                                          "\n",
                                          "\xC3\xA9",
                                          "\xE2\x82\xAC",
                                          "(",
                                          "ab",
                                          "B",
                                          std::string(45, 'a'),
                                          std::string(40, ' '),
                                          repeat("\xC3\xA9", 50)};

// Inside a scope every start gives what it gives outside one, whatever the
// order of the starts (forward as the scans go, backward, at random).
TEST(TargetMemo, AnswersEqualThePlainSearch) {
  std::mt19937 rng(2024);
  GrammarMaker gen(rng, kPieces, {.skip_rich = true});
  for (int g = 0; g < 300; ++g) {
    gen.made.clear();
    const ElementHandle e = gen.make(3);
    for (int t = 0; t < 6; ++t) {
      const std::string text = random_text(rng, rng() % 400, kPieces);
      std::vector<Pos> starts(text.size() + 2);
      for (Pos p = 0; p < starts.size(); ++p) starts[p] = p;
      std::vector<std::string> plain(starts.size());
      for (Pos p : starts) plain[p] = show(e->try_match_at(text, p));
      for (int order = 0; order < 3; ++order) {
        if (order == 1) std::reverse(starts.begin(), starts.end());
        if (order == 2) std::shuffle(starts.begin(), starts.end(), rng);
        const OperationScope scope;
        for (Pos p : starts) {
          ASSERT_EQ(show(e->try_match_at(text, p)), plain[p])
              << "grammar " << g << " order " << order << " @" << p << " '" << text << "'";
          if (p % 7 == 0) {
            const ParseOutcome out = parse_at(*e, text, p);
            ASSERT_EQ(out.ok() ? std::to_string(out.end()) : "none", plain[p]) << g << " @" << p;
          }
        }
      }
    }
  }
}

// An answer is kept for one text and one scope only: an inner scope does
// not see the outer one's answers (the same address may hold another text there), and
// the outer one's hold again once it closes.
TEST(TargetMemo, ScopesKeepOperationsApart) {
  const ElementHandle e = skip_to(mk<LiteralElement>("x"));
  std::string text(100, 'a');
  text[90] = 'x';
  std::string other = text;
  other[90] = 'a';
  other[70] = 'x';
  const OperationScope outer;
  EXPECT_EQ(show(e->try_match_at(text, 0)), "90");
  EXPECT_EQ(show(e->try_match_at(other, 0)), "70");  // another text of the same length
  {
    const OperationScope inner;
    text[90] = 'a';
    text[50] = 'x';
    EXPECT_EQ(show(e->try_match_at(text, 10)), "50");
    text[50] = 'a';
    text[90] = 'x';
  }
  EXPECT_EQ(show(e->try_match_at(text, 20)), "90");
  {
    const OperationScope next;
    text[90] = 'a';
    EXPECT_EQ(show(e->try_match_at(text, 30)), "none");
  }
}

// Stops the run on its second call.
int hook_calls = 0;
bool stop_on_second_call() noexcept { return ++hook_calls == 2; }

// An answer found by a search whose run gave up is not kept (its attempts
// failed untried), and kept answers hold only for the grammar they were
// found under.
TEST(TargetMemo, KeepsNothingFromAGiveUpOrAcrossAGrammarChange) {
  const std::string text = std::string(20000, 'x') + "END";
  const ElementHandle e = skip_to(mk<AndElement>(
      std::vector<ElementHandle>{mk<LiteralElement>("x"), mk<LiteralElement>("END")}));
  {
    const OperationScope scope;
    hook_calls = 0;
    set_interrupt_hook(&stop_on_second_call);
    EXPECT_EQ(show(e->try_match_at(text, 0)), "none");
    set_interrupt_hook(nullptr);
    ASSERT_TRUE(take_too_deep());
    EXPECT_EQ(show(e->try_match_at(text, 0)), "19999");
  }

  Ref<ForwardElement> f = mk<ForwardElement>();
  f->set(mk<LiteralElement>("E"));
  const ElementHandle by_forward = skip_to(f);
  const OperationScope scope;
  EXPECT_EQ(show(by_forward->try_match_at(text, 0)), "20000");
  f->set(mk<LiteralElement>("x"));
  EXPECT_EQ(show(by_forward->try_match_at(text, 10)), "10");
  f->set(mk<LiteralElement>("D"));
  EXPECT_EQ(show(by_forward->try_match_at(text, 0)), "20002");
}

}  // namespace
}  // namespace quernlet
