#include "find.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace quernlet {
namespace {

// Plain references the kernels must agree with.

std::size_t plain_find(std::string_view hay, std::string_view needle, std::size_t from) {
  if (from > hay.size()) return kNotFound;
  for (std::size_t p = from; p + needle.size() <= hay.size(); ++p)
    if (hay.compare(p, needle.size(), needle) == 0) return p;
  return kNotFound;
}

std::uint64_t plain_count(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return hay.size();
  std::uint64_t c = 0;
  for (std::size_t p = 0; p + needle.size() <= hay.size();) {
    if (hay.compare(p, needle.size(), needle) == 0) {
      ++c;
      p += needle.size();
    } else {
      ++p;
    }
  }
  return c;
}

// The counting scan with the Keyword test at every position.
std::uint64_t plain_keyword_count(const KeywordElement& k, std::string_view text) {
  std::uint64_t c = 0;
  for (Pos p = 0; p < text.size();) {
    if (k.matches_at(text, p)) {
      ++c;
      p = std::max<Pos>(p + 1, p + k.match_len());
    } else {
      ++p;
    }
  }
  return c;
}

std::size_t plain_period(std::string_view t) {
  if (t.size() < 4) return 0;
  for (std::size_t p = 1; p < std::min<std::size_t>(t.size(), 1025); ++p)
    if (2 * p <= t.size() && t.compare(0, p, t.substr(p, p)) == 0) return p;
  return 0;
}

std::string random_text(std::mt19937& rng, std::size_t n, std::string_view alphabet) {
  std::string s(n, '\0');
  for (char& c : s) c = alphabet[rng() % alphabet.size()];
  return s;
}

std::string repeat(std::string_view unit, std::size_t n) {
  std::string s;
  while (s.size() < n) s.append(unit);
  s.resize(n);
  return s;
}

// Holds a copy of a text at a chosen alignment in a heap block of exactly
// its size, so that a kernel reading past the end trips the sanitizer.
class Placed {
 public:
  Placed(std::string_view text, std::size_t align)
      : block_(std::make_unique<char[]>(align + text.size())) {
    std::memset(block_.get(), 'x', align);
    std::memcpy(block_.get() + align, text.data(), text.size());
    view_ = std::string_view(block_.get() + align, text.size());
  }
  std::string_view view() const { return view_; }

 private:
  std::unique_ptr<char[]> block_;
  std::string_view view_;
};

std::vector<FindKernel> kernels() {
  std::vector<FindKernel> out;
  for (FindKernel k : {FindKernel::kPortable, FindKernel::kSse2, FindKernel::kAvx2})
    if (find_kernel_supported(k)) out.push_back(k);
  return out;
}

// All occurrences by the counting rule, from the plain scan.
std::vector<std::size_t> plain_occurrences(std::string_view hay, std::string_view needle) {
  std::vector<std::size_t> out;
  for (std::size_t p = 0; p < hay.size() && p + needle.size() <= hay.size();) {
    if (hay.compare(p, needle.size(), needle) == 0) {
      out.push_back(p);
      p += std::max<std::size_t>(needle.size(), 1);
    } else {
      ++p;
    }
  }
  return out;
}

std::vector<std::size_t> batched_occurrences(const SubstringFinder& f, std::string_view hay,
                                             std::size_t cap) {
  std::vector<std::size_t> out, batch(cap);
  std::size_t from = 0;
  for (;;) {
    const std::size_t k = f.find_many(hay, from, batch.data(), cap);
    out.insert(out.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(k));
    if (k < cap) break;
  }
  return out;
}

void expect_agrees(std::string_view hay, std::string_view needle, FindKernel k) {
  const SubstringFinder f(needle, k);
  ASSERT_EQ(f.count(hay), plain_count(hay, needle))
      << "kernel " << int(k) << " needle '" << needle << "' hay '" << hay << "'";
  for (std::size_t cap : {1, 3, 64})
    ASSERT_EQ(batched_occurrences(f, hay, cap), plain_occurrences(hay, needle)) << "cap " << cap;
  for (std::size_t from = 0; from <= hay.size() + 1; from += 1 + from / 7)
    ASSERT_EQ(f.find(hay, from), plain_find(hay, needle, from))
        << "kernel " << int(k) << " from " << from << " needle '" << needle << "'";
}

TEST(SubstringFinder, TableCases) {
  struct Case {
    std::string_view hay, needle;
    std::size_t first;
    std::uint64_t count;
  };
  const Case cases[] = {
      {"", "a", kNotFound, 0},    {"a", "", 0, 1},
      {"abc", "abc", 0, 1},       {"aaaaa", "aa", 0, 2},
      {"xyxyzzzzzz", "xy", 0, 2}, {"ab", "abc", kNotFound, 0},
      {"zzabzab", "ab", 2, 2},    {"ababab", "aba", 0, 1},
      {"héllo é", "é", 1, 2},
  };
  for (FindKernel k : kernels()) {
    for (const Case& c : cases) {
      const SubstringFinder f(c.needle, k);
      EXPECT_EQ(f.find(c.hay), c.first) << c.hay << " / " << c.needle;
      EXPECT_EQ(f.count(c.hay), c.count) << c.hay << " / " << c.needle;
    }
  }
}

TEST(SubstringFinder, RandomTextsEveryAlignment) {
  std::mt19937 rng(7);
  for (FindKernel k : kernels()) {
    for (int round = 0; round < 60; ++round) {
      const std::string_view alphabet = round % 3 == 0   ? "ab"
                                        : round % 3 == 1 ? "abc "
                                                         : "abcdefgh";
      const std::string text = random_text(rng, rng() % 300, alphabet);
      const std::size_t len = 1 + rng() % 20;
      std::string needle = random_text(rng, len, alphabet);
      // Half of the needles are cut from the text, so that they occur.
      if (round % 2 == 0 && text.size() > len)
        needle = text.substr(rng() % (text.size() - len), len);
      for (std::size_t align = 0; align < 64; align += 5) {
        const Placed placed(text, align);
        expect_agrees(placed.view(), needle, k);
      }
    }
  }
}

TEST(SubstringFinder, AdversarialTexts) {
  // Near misses at every position: the prefilter bytes match far more often
  // than the needle does, and occurrences overlap.
  const std::pair<std::string, std::string> cases[] = {
      {std::string(500, 'a'), std::string(17, 'a')},
      {std::string(500, 'a'), std::string(16, 'a') + "b"},
      {repeat("ab", 501), "abababab"},
      {repeat("aab", 400) + "aaab", "aaab"},
      {repeat("abcdefghijklmnop", 200), "ponm"},
      {std::string(100, 'x') + "needle" + std::string(100, 'x'), "needle"},
      {repeat("x\0y", 300), std::string("\0y\0", 3)},
  };
  for (FindKernel k : kernels())
    for (const auto& [text, needle] : cases)
      for (std::size_t align = 0; align < 40; ++align)
        expect_agrees(Placed(text, align).view(), needle, k);
}

TEST(SubstringFinder, MatchesAtTheVeryEnd) {
  for (FindKernel k : kernels()) {
    for (std::size_t n = 2; n < 120; ++n) {
      std::string text(n, '.');
      text.replace(n - 2, 2, "ab");
      const Placed placed(text, n % 32);
      const SubstringFinder f("ab", k);
      EXPECT_EQ(f.find(placed.view()), n - 2);
      EXPECT_EQ(f.count(placed.view()), 1u);
      const SubstringFinder g(std::string_view("b.", 2), k);
      EXPECT_EQ(g.find(placed.view()), kNotFound);
    }
  }
}

TEST(CountByte, KernelsAgreeWithPlainCount) {
  std::mt19937 rng(11);
  for (FindKernel k : kernels()) {
    for (int round = 0; round < 40; ++round) {
      const std::string text = random_text(rng, rng() % 700, "ab\n\xff");
      for (std::size_t align = 0; align < 64; align += 3) {
        const Placed placed(text, align);
        for (unsigned char b : {'a', '\n', '\xff', 'z'})
          ASSERT_EQ(count_byte(placed.view(), b, k),
                    static_cast<std::uint64_t>(std::count(text.begin(), text.end(), char(b))));
      }
    }
  }
}

TEST(DetectPeriod, Examples) {
  const std::pair<std::string_view, std::size_t> cases[] = {
      {"abab", 2}, {"ababx", 2}, {"aaaa", 1}, {"aabb", 1},  {"abcabc", 3},
      {"abcd", 0}, {"aaa", 0},   {"", 0},     {"abcab", 0},
  };
  for (auto [text, p] : cases) EXPECT_EQ(detect_period(text), p) << text;
  // The first repeat must fit below 1025.
  std::mt19937 rng(3);
  const std::string unit = random_text(rng, 1025, "abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(detect_period(unit + unit), 0u);
  const std::string shorter = unit.substr(0, 1024);
  EXPECT_EQ(detect_period(shorter + shorter), plain_period(shorter + shorter));
}

TEST(DetectPeriod, AgreesWithPlainDefinition) {
  std::mt19937 rng(5);
  for (int round = 0; round < 300; ++round) {
    const std::string unit = random_text(rng, 1 + rng() % 40, round % 2 ? "ab" : "abcd");
    std::string text = repeat(unit, rng() % 200);
    if (round % 3 == 0 && !text.empty()) text[rng() % text.size()] = 'z';
    ASSERT_EQ(detect_period(text), plain_period(text)) << text;
    ASSERT_EQ(repeats_with_period(text, detect_period(text)),
              detect_period(text) != 0 && text.substr(detect_period(text)) ==
                                              text.substr(0, text.size() - detect_period(text)));
  }
}

TEST(LiteralCount, PeriodicShortcutEqualsPlainScan) {
  std::mt19937 rng(17);
  const std::string_view needles[] = {"a",   "aa",  "aaa", "ab",  "aba",  "abab",    "ba",
                                      "bab", "abc", "cab", "aab", "abba", "aaaaaaa", "b"};
  for (int round = 0; round < 400; ++round) {
    const std::string unit = random_text(rng, 1 + rng() % 12, round % 2 ? "ab" : "abc");
    const std::string text = repeat(unit, rng() % 400);
    const std::size_t p = detect_period(text);
    if (p == 0 || !repeats_with_period(text, p)) continue;
    for (std::string_view needle : needles) {
      ASSERT_EQ(literal_count_periodic(SubstringFinder(needle), text, p), plain_count(text, needle))
          << "unit '" << unit << "' n " << text.size() << " needle '" << needle << "'";
    }
    // Needles cut from the text, longer than the period included.
    const std::size_t len = 1 + rng() % std::min<std::size_t>(text.size(), 3 * p + 2);
    const std::string needle = text.substr(rng() % (text.size() - len + 1), len);
    ASSERT_EQ(literal_count_periodic(SubstringFinder(needle), text, p), plain_count(text, needle))
        << "unit '" << unit << "' needle '" << needle << "'";
  }
}

TEST(LiteralCount, AgreesWithPlainScanAtEveryLength) {
  std::mt19937 rng(19);
  for (int round = 0; round < 400; ++round) {
    const std::string text = random_text(rng, rng() % 200, "ab");
    const std::string needle = random_text(rng, 1 + rng() % 4, "ab");
    ASSERT_EQ(literal_count(needle, text), plain_count(text, needle)) << needle << " / " << text;
  }
}

TEST(LiteralCount, LongTextsTakeTheShortcutAndAgree) {
  const std::pair<std::string, std::string_view> cases[] = {
      {repeat("if x: ", 100000), "if"},
      {repeat("aab", 70000), "aa"},
      {repeat("a", 50001), "aa"},
      {repeat("ab", 40000) + "ab", "bab"},
      {repeat("hello world ", 30000), "o w"},
      {repeat("xy", 40000) + "zz", "xy"},
  };
  for (const auto& [text, needle] : cases) {
    EXPECT_EQ(literal_count(needle, text), plain_count(text, needle)) << needle;
  }
  EXPECT_EQ(literal_count("", "abc"), 3u);
  EXPECT_EQ(literal_count("", ""), 0u);
  EXPECT_EQ(literal_count("aa", "aaaaa"), 2u);
}

TEST(KeywordCount, AgreesWithTheCountingScan) {
  const std::pair<std::string_view, std::uint64_t> cases[] = {
      {"if x if", 2}, {"xif if", 2}, {"iff", 0}, {"if", 1}, {"if_ if9 if$ ifé", 2}, {"", 0},
  };
  const KeywordElement kw("if");
  for (auto [text, count] : cases) EXPECT_EQ(keyword_count(kw, text), count) << text;

  std::mt19937 rng(23);
  const std::string_view words[] = {"", "i", "if", "aa", "a_", "_"};
  for (std::string_view w : words) {
    const KeywordElement k(w);
    for (int round = 0; round < 200; ++round) {
      const std::string text = random_text(rng, rng() % 200, "if a_.\xc3\xa9");
      for (std::size_t align = 0; align < 40; align += 13)
        ASSERT_EQ(keyword_count(k, Placed(text, align).view()), plain_keyword_count(k, text))
            << "keyword '" << w << "' text '" << text << "'";
    }
  }
}

}  // namespace
}  // namespace quernlet
