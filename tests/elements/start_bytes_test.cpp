// Start bytes: on random grammars, every match that any element gives (by
// try_match_at, or by parse_impl with skip_ws either way) must start with a
// byte of its set or be an empty match the set allows; MatchFirst, which
// passes over alternatives by their sets, must answer as trying them all;
// and StartFinder must find what a byte-by-byte loop finds.
#include "start_scan.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

const std::vector<std::string> kPieces = {"a",  "b",  "A", "B",  "i",  "I",  "f", "if",
                                          "IF", "Fi", " ", "\t", "\n", "_",  "1", "\"",
                                          "\\", "é",  "É", "€",  "ab", "fi", "x", "\xEF\xBF\xBD"};

// Fails the test when a match of `e` at `pos` ending at `end` is one that
// the set rules out.
void expect_allowed(const Element& e, std::string_view text, Pos pos, Pos end, const char* how) {
  const StartBytes& s = e.start_bytes();
  if (end == pos) {
    EXPECT_TRUE(s.can_be_empty()) << how << " empty match at " << pos << " of '" << text << "'";
  } else {
    ASSERT_LT(pos, text.size());
    EXPECT_TRUE(s.has(static_cast<unsigned char>(text[pos])))
        << how << " match at " << pos << " of '" << text << "' starts with an excluded byte";
  }
}

// MatchFirst as it would answer trying every alternative in order.
MatchResult every_alternative_tried(const MatchFirstElement& m, std::string_view text, Pos pos) {
  for (const ElementHandle& alt : m.exprs())
    if (const MatchResult r = alt->try_match_at(text, pos); r.matched) return r;
  return kNoMatch;
}
std::string every_alternative_parsed(const MatchFirstElement& m, std::string_view text, Pos pos) {
  std::string last = "@" + std::to_string(pos) + " No match found";
  for (const ElementHandle& alt : m.exprs()) {
    const ParseOutcome out = parse_at(*alt, text, pos);
    if (out.ok()) return show(out);
    last = show(out);
  }
  return last;
}

TEST(StartBytes, EveryMatchStartsWhereTheSetAllows) {
  std::mt19937 rng(20261207);
  GrammarMaker maker(rng, kPieces);
  for (int round = 0; round < 3000; ++round) {
    maker.made.clear();
    maker.make(3);
    for (int t = 0; t < 6; ++t) {
      const std::string text = random_text(rng, rng() % 20, kPieces);
      for (const ElementHandle& e : maker.made) {
        for (Pos pos = 0; pos <= text.size(); ++pos) {
          if (const MatchResult m = e->try_match_at(text, pos); m.matched)
            expect_allowed(*e, text, pos, m.end, "try_match_at");
          for (const bool skip_ws : {true, false})
            if (const ParseOutcome out = parse_at(*e, text, pos, skip_ws); out.ok())
              expect_allowed(*e, text, pos, out.end(), "parse_impl");
          if (const auto* mf = dynamic_cast<const MatchFirstElement*>(e.get())) {
            EXPECT_EQ(show(mf->try_match_at(text, pos)),
                      show(every_alternative_tried(*mf, text, pos)));
            EXPECT_EQ(show(parse_at(*mf, text, pos)), every_alternative_parsed(*mf, text, pos));
          }
        }
      }
      if (HasFailure()) return;
    }
  }
}

TEST(StartFinder, FindsWhatAByteLoopFinds) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    StartBytes set;
    // Sparse sets, dense sets and sets of many high nibbles (inexact tables).
    const int members = round % 3 == 0 ? 3 : round % 3 == 1 ? 40 : 150;
    for (int k = 0; k < members; ++k) set.add(static_cast<unsigned char>(rng()));
    std::string alphabet;
    for (int k = 0; k < 24; ++k) alphabet += static_cast<char>(rng());
    const std::string text = random_bytes(rng, rng() % 300, alphabet);
    const Placed placed(text, rng() % 32);
    for (const bool boundaries : {false, true}) {
      const StartFinder finder(set, boundaries);
      const auto wanted = [&](unsigned char b) {
        return set.has(b) && !(boundaries && (b & 0xC0) == 0x80);
      };
      for (Pos p = 0; p <= text.size(); ++p) {
        Pos q = p;
        while (q < text.size() && !wanted(static_cast<unsigned char>(text[q]))) ++q;
        ASSERT_EQ(finder.next(placed.view(), p), q) << "round " << round << " from " << p;
      }
    }
  }
}

}  // namespace
}  // namespace quernlet
