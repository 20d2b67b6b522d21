#include "find.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quernlet {
namespace {

using namespace testing_support;

// The occurrences by the counting rule (non-overlapping, leftmost first),
// from a plain scan; `keyword` adds the Keyword test.
std::vector<std::size_t> plain_occurrences(std::string_view hay, std::string_view needle,
                                           const KeywordElement* keyword = nullptr) {
  std::vector<std::size_t> out;
  for (std::size_t p = 0; p < hay.size() && p + needle.size() <= hay.size();) {
    if (hay.compare(p, needle.size(), needle) == 0 && (!keyword || keyword->matches_at(hay, p))) {
      out.push_back(p);
      p += std::max<std::size_t>(needle.size(), 1);
    } else {
      ++p;
    }
  }
  return out;
}

std::vector<FindKernel> kernels() {
  std::vector<FindKernel> out;
  for (FindKernel k : {FindKernel::kPortable, FindKernel::kSse2, FindKernel::kAvx2})
    if (find_kernel_supported(k)) out.push_back(k);
  return out;
}

// Everything a batch finder hands out, calling `next(batch, cap)` until a
// batch comes back short.
template <class Next>
std::vector<std::size_t> drain(std::size_t cap, Next next) {
  std::vector<std::size_t> got, batch(cap);
  std::size_t n;
  do {
    n = next(batch.data(), cap);
    got.insert(got.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(n));
  } while (n == cap);
  return got;
}

// `find` from many starts, `count` (`count_byte` for one-byte needles) and
// `find_many` in batches of several sizes, against the plain scan, for every
// kernel and for the text placed at every `align_step`-th alignment.
void expect_agrees(std::string_view text, std::string_view needle, std::size_t align_step) {
  const std::vector<std::size_t> want = plain_occurrences(text, needle);
  for (FindKernel k : kernels()) {
    const SubstringFinder f(needle, k);
    for (std::size_t align = 0; align < 64; align += align_step) {
      SCOPED_TRACE(testing::Message() << "kernel " << int(k) << " align " << align << " needle '"
                                      << needle << "' text '" << text << "'");
      const Placed placed(text, align);
      const std::string_view hay = placed.view();
      ASSERT_EQ(f.count(hay), want.size());
      for (std::size_t cap : {1, 3, 64}) {
        std::size_t from = 0;
        const auto next = [&](std::size_t* out, std::size_t n) {
          return f.find_many(hay, from, out, n);
        };
        ASSERT_EQ(drain(cap, next), want) << "cap " << cap;
      }
      for (std::size_t from = 0; from <= hay.size() + 1; from += 1 + from / 7) {
        const std::size_t at = from <= hay.size() ? hay.find(needle, from) : hay.npos;
        ASSERT_EQ(f.find(hay, from), at == hay.npos ? kNotFound : at) << "from " << from;
      }
    }
  }
}

TEST(SubstringFinder, RandomTextsEveryAlignment) {
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    const std::string_view alphabet = round % 3 == 0 ? "ab" : round % 3 == 1 ? "abc " : "abcdefgh";
    const std::string text = random_bytes(rng, rng() % 300, alphabet);
    const std::size_t len = rng() % 21;
    std::string needle = random_bytes(rng, len, alphabet);
    // Half of the needles are cut from the text, so that they occur.
    if (round % 2 == 0 && text.size() > len) needle = text.substr(rng() % (text.size() - len), len);
    expect_agrees(text, needle, 5);
  }
}

// One-byte positions read off the compare masks, from every start and in
// batches that end inside a block, against the plain scan.
TEST(FindByteMany, AgreesWithPlainScanFromEveryStart) {
  std::mt19937 rng(11);
  for (FindKernel k : kernels()) {
    for (int round = 0; round < 40; ++round) {
      const std::string text = random_bytes(rng, rng() % 200, round % 2 ? "a " : "ab  \xC3");
      const unsigned char b = round % 4 < 2 ? ' ' : 'a';
      for (std::size_t start = 0; start <= text.size() + 1; start += 1 + rng() % 9) {
        std::vector<std::size_t> want;
        for (std::size_t i = start; i < text.size(); ++i)
          if (static_cast<unsigned char>(text[i]) == b) want.push_back(i);
        for (std::size_t cap : {1, 5, 300}) {
          std::size_t from = start;
          const auto next = [&](std::size_t* out, std::size_t n) {
            return find_byte_many(text, b, from, out, n, k);
          };
          ASSERT_EQ(drain(cap, next), want) << "kernel " << int(k) << " start " << start;
          ASSERT_EQ(from, text.size() + 1);
        }
      }
    }
  }
}

TEST(SubstringFinder, AdversarialTexts) {
  // Near misses at every position: the prefilter bytes match far more often
  // than the needle does, and occurrences overlap; matches at the very end.
  const std::pair<std::string, std::string> cases[] = {
      {std::string(500, 'a'), std::string(17, 'a')},
      {std::string(500, 'a'), std::string(16, 'a') + "b"},
      {repeat("ab", 501), "abababab"},
      {repeat("aab", 400) + "aaab", "aaab"},
      {repeat("abcdefghijklmnop", 200), "ponm"},
      {repeat(std::string_view("x\0y", 3), 300), std::string("\0y\0", 3)},
      {std::string(100, '.') + "ab", "ab"},
      {std::string(100, '.') + "ab", "b."},
      {"h\xC3\xA9llo \xC3\xA9", "\xC3\xA9"},
  };
  for (const auto& [text, needle] : cases) expect_agrees(text, needle, 1);
}

std::size_t plain_period(std::string_view t) {
  if (t.size() < 4) return 0;
  for (std::size_t p = 1; p < std::min<std::size_t>(t.size(), 1025); ++p)
    if (2 * p <= t.size() && t.substr(0, p) == t.substr(p, p)) return p;
  return 0;
}

TEST(DetectPeriod, AgreesWithPlainDefinition) {
  for (auto [text, p] : std::vector<std::pair<std::string, std::size_t>>{
           {"ababx", 2}, {"aabb", 1}, {"abcabc", 3}, {"aaa", 0}, {"abcab", 0}})
    EXPECT_EQ(detect_period(text), p) << text;
  std::mt19937 rng(5);
  // The first repeat must fit below 1025.
  const std::string unit = random_bytes(rng, 1025, "abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(detect_period(unit + unit), 0u);
  EXPECT_EQ(detect_period(unit.substr(1) + unit.substr(1)), 1024u);
  for (int round = 0; round < 300; ++round) {
    std::string text =
        repeat(random_bytes(rng, 1 + rng() % 40, round % 2 ? "ab" : "abcd"), rng() % 200);
    if (round % 3 == 0 && !text.empty()) text[rng() % text.size()] = 'z';
    ASSERT_EQ(detect_period(Placed(text, 0).view()), plain_period(text)) << text;
  }
}

TEST(LiteralCount, PeriodicShortcutEqualsPlainScan) {
  std::mt19937 rng(17);
  const std::string_view needles[] = {"a",   "aa",  "aaa", "ab",  "aba",  "abab",    "ba",
                                      "bab", "abc", "cab", "aab", "abba", "aaaaaaa", "b"};
  for (int round = 0; round < 400; ++round) {
    const std::string unit = random_bytes(rng, 1 + rng() % 12, round % 2 ? "ab" : "abc");
    const std::string text = repeat(unit, rng() % 400);
    const std::size_t p = detect_period(text);
    if (p == 0 || !repeats_with_period(text, p)) continue;
    // Needles cut from the text, longer than the period included.
    const std::size_t len = 1 + rng() % std::min<std::size_t>(text.size(), 3 * p + 2);
    std::vector<std::string_view> all(std::begin(needles), std::end(needles));
    const std::string cut = text.substr(rng() % (text.size() - len + 1), len);
    all.push_back(cut);
    for (std::string_view needle : all)
      ASSERT_EQ(literal_count_periodic(SubstringFinder(needle), text, p),
                plain_occurrences(text, needle).size())
          << "unit '" << unit << "' n " << text.size() << " needle '" << needle << "'";
  }
}

TEST(LiteralCount, LongPeriodicTextsAgreeWithPlainScan) {
  for (const auto& [text, needle] : std::vector<std::pair<std::string, std::string_view>>{
           {repeat("if x: ", 100000), "if"},
           {repeat("a", 50001), "aa"},
           {repeat("ab", 80002), "bab"},
           {repeat("hello world ", 360000), "o w"},
           {repeat("xy", 80000) + "zz", "xy"}})
    EXPECT_EQ(literal_count(needle, text), plain_occurrences(text, needle).size()) << needle;
  EXPECT_EQ(literal_count("", "abc"), 3u);
}

TEST(KeywordCount, AgreesWithTheCountingScan) {
  std::mt19937 rng(23);
  for (std::string_view w : {"", "i", "if", "aa", "a_", "_"}) {
    const KeywordElement k(w);
    for (int round = 0; round < 200; ++round) {
      const std::string text = random_bytes(rng, rng() % 200, "if a_.\xc3\xa9");
      const std::size_t want = plain_occurrences(text, w, &k).size();
      for (std::size_t align = 0; align < 40; align += 13)
        ASSERT_EQ(keyword_count(k, Placed(text, align).view()), want)
            << "keyword '" << w << "' text '" << text << "'";
    }
  }
}

}  // namespace
}  // namespace quernlet
