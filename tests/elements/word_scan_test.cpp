#include "word_scan.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace quernlet {
namespace {

// The word scan by its definition, character by character and by code point.
std::vector<MatchSpan> plain_words(const WordElement& w, std::string_view text) {
  std::vector<MatchSpan> out;
  const auto cp_at = [&](Pos p, unsigned& len) { return decode_utf8(text, p, len); };
  for (Pos i = 0; i < text.size();) {
    unsigned len = 1;
    if (!w.init_set().has(cp_at(i, len))) {
      i += len;
      continue;
    }
    Pos e = i + len;
    while (e < text.size() && w.body_set().has(cp_at(e, len))) e += len;
    out.push_back({i, e});
    i = e;
  }
  return out;
}

std::vector<MatchSpan> cursor_words(const WordScanner& s, std::string_view text,
                                    std::size_t batch) {
  std::vector<MatchSpan> out;
  WordCursor cursor(s, text);
  std::vector<MatchSpan> buf(batch);
  for (std::size_t k; (k = cursor.next(buf.data(), batch)) != 0;)
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(k));
  EXPECT_EQ(cursor.next(buf.data(), batch), 0u);
  return out;
}

std::string random_text(std::mt19937& rng, std::size_t n, const std::vector<std::string>& pieces) {
  std::string s;
  while (s.size() < n) s += pieces[rng() % pieces.size()];
  return s;
}

std::string repeat(std::string_view unit, std::size_t times) {
  std::string s;
  for (std::size_t i = 0; i < times; ++i) s.append(unit);
  return s;
}

// A heap block of exactly the text's size at a chosen alignment.
class Placed {
 public:
  Placed(std::string_view text, std::size_t align)
      : block_(std::make_unique<char[]>(align + text.size())) {
    std::memcpy(block_.get() + align, text.data(), text.size());
    view_ = std::string_view(block_.get() + align, text.size());
  }
  std::string_view view() const { return view_; }

 private:
  std::unique_ptr<char[]> block_;
  std::string_view view_;
};

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

void check_all_paths(const WordElement& w, std::string_view text) {
  const std::vector<MatchSpan> want = plain_words(w, text);
  for (FindKernel k : {FindKernel::kPortable, FindKernel::kAvx2}) {
    const WordScanner s(w, k);
    ASSERT_EQ(s.count_plain(text), want.size()) << "kernel " << int(k) << " text '" << text << "'";
    ASSERT_EQ(s.count(text), want.size()) << "kernel " << int(k) << " text '" << text << "'";
    for (std::size_t batch : {1, 3, 64})
      ASSERT_EQ(cursor_words(s, text, batch), want) << "batch " << batch << " '" << text << "'";
  }
}

TEST(WordScan, TableCases) {
  const struct {
    Sets sets;
    std::string_view text;
    std::uint64_t count;
  } cases[] = {
      {{"ab", "a"}, "ab", 2},
      {{"ab", "a"}, "aab", 2},
      {{"-0123456789", "0123456789"}, "-5", 1},
      {{"-0123456789", "0123456789"}, "5-5-5-5-", 5},
      {{"abxyz", nullptr}, "ab ab ab ", 3},
      {{"abxyz", nullptr}, "ab ab x y z", 5},
      {{"a", nullptr}, "aaaa", 1},
      {{"a", nullptr}, "", 0},
      {{"a\xc3\xa9", nullptr}, "\xc3\xa9t\xc3\xa9 a\xc3\xa9", 3},
      {{"a", nullptr}, "\xc3\xa1\x61", 1},
  };
  for (const auto& c : cases) {
    const WordElement w = make_word(c.sets);
    for (FindKernel k : {FindKernel::kPortable, FindKernel::kAvx2})
      EXPECT_EQ(WordScanner(w, k).count(c.text), c.count) << c.sets.init << " / " << c.text;
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
  }
  for (const Sets& sets : kWideSets) {
    const WordElement w = make_word(sets);
    for (int round = 0; round < 60; ++round)
      check_all_paths(w, random_text(rng, rng() % 200, wide));
  }
}

TEST(WordScan, LongRunsCrossBlocks) {
  const WordElement w = make_word({"ab", "a"});
  for (std::size_t len : {63, 64, 65, 127, 128, 129, 200}) {
    for (std::size_t lead = 0; lead < 3; ++lead) {
      const std::string text = std::string(lead, ' ') + "b" + std::string(len, 'a') + "bb a";
      check_all_paths(w, text);
    }
  }
}

TEST(WordScan, PeriodShortcutNeverChangesTheCount) {
  // Units whose words touch, cross or avoid the period boundary.
  std::mt19937 rng(43);
  const std::vector<std::string> pieces = {"a", "b", " ", "-", "5", "ab"};
  for (const Sets& sets : kAsciiSets) {
    const WordElement w = make_word(sets);
    for (int round = 0; round < 300; ++round) {
      const std::string unit = random_text(rng, 1 + rng() % 9, pieces);
      const std::string text = repeat(unit, 2 + rng() % 40) + unit.substr(0, rng() % unit.size());
      for (FindKernel k : {FindKernel::kPortable, FindKernel::kAvx2})
        ASSERT_EQ(WordScanner(w, k).count(text), plain_words(w, text).size())
            << sets.init << " unit '" << unit << "'";
    }
  }
}

TEST(WordScan, WordPeriodGivesTheTextsWords) {
  std::mt19937 rng(47);
  const std::vector<std::string> ascii = {"a", "b", " ", "-", "ab", "5"};
  const std::vector<std::string> wide = {"a", "\xc3\xa9", " ", "\xe2\x82\xac"};
  int taken = 0;
  auto check = [&](const WordElement& w, const std::string& text) {
    const WordScanner s(w);
    std::size_t p = 0;
    if (!word_period(s, text, p)) return;
    ++taken;
    std::vector<MatchSpan> built;
    const std::vector<MatchSpan> period = plain_words(w, std::string_view(text).substr(0, p));
    const std::size_t q = text.size() / p;
    for (std::size_t r = 0; r < q; ++r)
      for (MatchSpan sp : period) built.push_back({sp.start + r * p, sp.end + r * p});
    for (MatchSpan sp : plain_words(w, std::string_view(text).substr(q * p)))
      built.push_back({sp.start + q * p, sp.end + q * p});
    ASSERT_EQ(built, plain_words(w, text)) << "text '" << text << "'";
  };
  for (const Sets& sets : kAsciiSets) {
    const WordElement w = make_word(sets);
    for (int round = 0; round < 200; ++round) {
      const std::string unit = random_text(rng, 1 + rng() % 8, ascii);
      check(w, repeat(unit, 2 + rng() % 30) + unit.substr(0, rng() % unit.size()));
    }
  }
  for (const Sets& sets : kWideSets) {
    const WordElement w = make_word(sets);
    for (int round = 0; round < 200; ++round) {
      const std::string unit = random_text(rng, 1 + rng() % 8, wide);
      check(w, repeat(unit, 2 + rng() % 30));
    }
  }
  EXPECT_GT(taken, 100);
}

}  // namespace
}  // namespace quernlet
