#include "target_memo.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "forward.hpp"
#include "literals.hpp"
#include "positional.hpp"
#include "structure.hpp"
#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

ElementHandle lit(std::string_view s) { return mk<LiteralElement>(s); }
ElementHandle skip_to(ElementHandle target) { return mk<SkipToElement>(std::move(target)); }

// Random grammars rich in SkipTo: shared SkipTos and targets, SkipTos in
// targets, and a Forward whose SkipTo searches for a match of its own kind.
class SkipGrammars {
 public:
  explicit SkipGrammars(unsigned seed) : rng_(seed) {}
  ~SkipGrammars() {
    for (const Ref<ForwardElement>& f : forwards_) f->set(nullptr);  // break the cycles
  }

  ElementHandle any(int depth) {
    if (!pool_.empty() && pick(4) == 0) return pool_[pick(pool_.size())];
    ElementHandle e;
    switch (depth > 0 ? pick(6) : 0) {
      case 0:
        e = target();
        break;
      case 1:
        e = skip_to(pick(2) ? any(depth - 1) : target());
        break;
      case 2:
        e = mk<AndElement>(std::vector<ElementHandle>{any(depth - 1), any(depth - 1)});
        break;
      case 3:
        e = mk<MatchFirstElement>(std::vector<ElementHandle>{any(depth - 1), any(depth - 1)});
        break;
      case 4:
        e = mk<OptionalElement>(any(depth - 1));
        break;
      default:
        e = recursive();
    }
    pool_.push_back(e);
    return e;
  }

  std::string text() {
    static const std::vector<std::string> kPieces = {"a",
                                                     "b",
                                                     "x",
                                                     " ",
                                                     "\n",
                                                     "\xC3\xA9",
                                                     "\xE2\x82\xAC",
                                                     "(",
                                                     "ab",
                                                     std::string(45, 'a'),
                                                     std::string(40, ' '),
                                                     repeat("\xC3\xA9", 50)};
    return random_text(rng_, pick(400), kPieces);
  }

  unsigned pick(std::size_t n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
  std::mt19937& rng() { return rng_; }

 private:
  ElementHandle target() {
    switch (pick(6)) {
      case 0:
        return lit("x");
      case 1:
        return mk<KeywordElement>("ab");
      case 2:
        return lit("\xC3\xA9");
      case 3:
        return mk<StringEndElement>();
      case 4:
        return mk<CaselessLiteralElement>("B");
      default:
        return lit("");
    }
  }

  // F <<= "(" + SkipTo(F) | target
  ElementHandle recursive() {
    auto f = mk<ForwardElement>();
    forwards_.push_back(f);
    f->set(mk<MatchFirstElement>(std::vector<ElementHandle>{
        mk<AndElement>(std::vector<ElementHandle>{lit("("), skip_to(f)}), target()}));
    return f;
  }

  std::mt19937 rng_;
  std::vector<ElementHandle> pool_;
  std::vector<Ref<ForwardElement>> forwards_;
};

// Inside a scope every start gives what it gives outside one, whatever the
// order of the starts (forward as the scans go, backward, at random).
TEST(TargetMemo, AnswersEqualThePlainSearch) {
  SkipGrammars gen(2024);
  for (int g = 0; g < 300; ++g) {
    const ElementHandle e = gen.any(3);
    for (int t = 0; t < 6; ++t) {
      const std::string text = gen.text();
      std::vector<Pos> starts(text.size() + 2);
      for (Pos p = 0; p < starts.size(); ++p) starts[p] = p;
      std::vector<std::string> plain(starts.size());
      for (Pos p : starts) plain[p] = show(e->try_match_at(text, p));
      for (int order = 0; order < 3; ++order) {
        if (order == 1) std::reverse(starts.begin(), starts.end());
        if (order == 2) std::shuffle(starts.begin(), starts.end(), gen.rng());
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
  const ElementHandle e = skip_to(lit("x"));
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

}  // namespace
}  // namespace quernlet
