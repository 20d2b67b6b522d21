#include "word_scan.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

// The word scan by its definition, character by character and by code point.
std::vector<MatchSpan> plain_words(const WordElement& w, std::string_view text) {
  std::vector<MatchSpan> out;
  for (Pos i = 0; i < text.size();) {
    unsigned len = 1;
    if (!w.init_set().has(decode_utf8(text, i, len))) {
      i += len;
      continue;
    }
    Pos e = i + len;
    while (e < text.size() && w.body_set().has(decode_utf8(text, e, len))) e += len;
    out.push_back({i, e});
    i = e;
  }
  return out;
}

struct Sets {
  std::string init;
  const char* body;  // null: same as init
};

WordElement make_word(const Sets& s) {
  std::string_view body = s.body ? s.body : "";
  return WordElement(s.init, s.body ? &body : nullptr);
}

const Sets kAsciiSets[] = {
    {"ab", nullptr}, {"a", "b"},    {"ab", "a"},      {"-0123456789", "0123456789"},
    {"abc", ""},     {"", nullptr}, {"a b", nullptr}, {std::string("a\0", 2), "ab"},
};
const Sets kWideSets[] = {{"a\xc3\xa9", nullptr}, {"\xc3\xbf", "a\xc3\xbf"}, {"a", "\xc3\xa9"}};

// Counts (with and without the period shortcut) and the cursor's spans in
// batches of several sizes, on the byte-table and the vector paths.
void check_all_paths(const WordElement& w, std::string_view text) {
  const std::vector<MatchSpan> want = plain_words(w, text);
  for (FindKernel k : {FindKernel::kPortable, FindKernel::kAvx2}) {
    const WordScanner s(w, k);
    ASSERT_EQ(s.count_plain(text), want.size()) << "kernel " << int(k) << " text '" << text << "'";
    ASSERT_EQ(s.count(text), want.size()) << "kernel " << int(k) << " text '" << text << "'";
    for (std::size_t batch : {1, 3, 64}) {
      std::vector<MatchSpan> got, buf(batch);
      WordCursor cursor(s, text);
      for (std::size_t n; (n = cursor.next(buf.data(), batch)) != 0;)
        got.insert(got.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
      ASSERT_EQ(got, want) << "batch " << batch << " '" << text << "'";
    }
  }
}

TEST(WordScan, SpansAndCountsAgreeWithPlainScan) {
  std::mt19937 rng(41);
  const std::vector<std::string> ascii = {
      "a", "b", "ab", " ", "-", "5", "\n", "bb", std::string(1, '\0')};
  const std::vector<std::string> wide = {"a", "\xc3\xa9", "\xc3\xbf", " ", "\xe2\x82\xac", "b"};
  for (const Sets& sets : kAsciiSets) {
    const WordElement w = make_word(sets);
    for (int round = 0; round < 40; ++round) {
      const std::string text = random_text(rng, rng() % 300, round % 2 ? ascii : wide);
      for (std::size_t align = 0; align < 64; align += 9)
        check_all_paths(w, Placed(text, align).view());
    }
    // Runs that cross the vector path's 64-byte blocks.
    for (std::size_t len : {63, 64, 65, 127, 128, 129})
      for (std::size_t lead = 0; lead < 3; ++lead)
        check_all_paths(w, std::string(lead, ' ') + "b" + std::string(len, 'a') + "bb a");
  }
  for (const Sets& sets : kWideSets) {
    const WordElement w = make_word(sets);
    for (int round = 0; round < 60; ++round)
      check_all_paths(w, random_text(rng, rng() % 200, wide));
  }
}

// Periodic texts whose words touch, cross or avoid the period boundary:
// every path, the count's shortcut and `word_period`'s spans give the plain
// scan's words.
TEST(WordScan, PeriodShortcutsGiveThePlainWords) {
  std::mt19937 rng(43);
  const std::vector<std::string> ascii = {"a", "b", " ", "-", "5", "ab"};
  const std::vector<std::string> wide = {"a", "\xc3\xa9", " ", "\xe2\x82\xac"};
  int taken = 0;
  auto check = [&](const WordElement& w, const std::string& text) {
    check_all_paths(w, text);
    const std::vector<MatchSpan> want = plain_words(w, text);
    std::size_t p = 0;
    if (!word_period(WordScanner(w), text, p)) return;
    ++taken;
    std::vector<MatchSpan> built;
    const std::size_t q = text.size() / p;
    for (std::size_t r = 0; r <= q; ++r) {
      const std::string_view part =
          std::string_view(text).substr(r * p, r < q ? p : std::string::npos);
      for (MatchSpan sp : plain_words(w, part)) built.push_back({sp.start + r * p, sp.end + r * p});
    }
    ASSERT_EQ(built, want) << "text '" << text << "'";
  };
  for (int round = 0; round < 200; ++round) {
    for (const Sets& sets : kAsciiSets) {
      const std::string unit = random_text(rng, 1 + rng() % 8, ascii);
      check(make_word(sets), repeat(unit, unit.size() * (2 + rng() % 30) + rng() % unit.size()));
    }
    for (const Sets& sets : kWideSets) {
      const std::string unit = random_text(rng, 1 + rng() % 8, wide);
      check(make_word(sets), repeat(unit, unit.size() * (2 + rng() % 30)));
    }
  }
  EXPECT_GT(taken, 100);
}

}  // namespace
}  // namespace quernlet
