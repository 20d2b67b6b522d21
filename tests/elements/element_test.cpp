#include "element.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "positional.hpp"
#include "small_vector.hpp"
#include "test_support.hpp"

namespace quernlet {
namespace {

// Counts live instances, so that every construction is matched by exactly
// one destruction whatever the vector does with its buffer.
struct Tracked {
  static inline int live = 0;
  int value;
  explicit Tracked(int v) : value(v) { ++live; }
  Tracked(const Tracked& o) : value(o.value) { ++live; }
  Tracked(Tracked&& o) noexcept : value(o.value) { ++live; }
  ~Tracked() { --live; }
};

using Vec = SmallVector<Tracked, 2>;

Vec make(std::initializer_list<int> values) {
  Vec v;
  for (int x : values) v.push_back(Tracked(x));
  return v;
}

std::vector<int> values(const Vec& v) {
  std::vector<int> out;
  for (const Tracked& t : v) out.push_back(t.value);
  return out;
}

TEST(SmallVectorTest, AppendMoveAndCopyKeepEveryElementOnce) {
  {
    struct Row {
      std::initializer_list<int> dst, src;
    };
    for (const Row& r : {Row{{}, {}}, Row{{}, {1}}, Row{{1}, {2, 3}}, Row{{1, 2}, {3, 4, 5}},
                         Row{{1, 2, 3}, {4}}, Row{{}, {1, 2, 3}}}) {
      Vec dst = make(r.dst), src = make(r.src);
      const Tracked* src_heap = src.on_heap() ? src.data() : nullptr;
      std::vector<int> want(r.dst);
      want.insert(want.end(), r.src.begin(), r.src.end());
      dst.append(std::move(src));
      EXPECT_EQ(values(dst), want);
      EXPECT_TRUE(src.empty());
      EXPECT_EQ(dst.on_heap(), want.size() > 2);
      // Appending a heap vector to an empty one takes its buffer.
      if (r.dst.size() == 0 && src_heap) {
        EXPECT_EQ(dst.data(), src_heap);
      }
      Vec moved(std::move(dst)), copied(moved), assigned = make({7, 8, 9});
      assigned = copied;
      EXPECT_TRUE(dst.empty());
      EXPECT_EQ(values(moved), want);
      EXPECT_EQ(values(assigned), want);
      EXPECT_EQ(Tracked::live, 3 * static_cast<int>(want.size()));
    }
  }
  EXPECT_EQ(Tracked::live, 0);
}

Token list(std::vector<Token> items) {
  auto array = std::make_unique<Token[]>(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) array[i] = std::move(items[i]);
  return Token(items.empty() ? nullptr : std::move(array), items.size());
}

// Every form assigned over every other, by copy and by move: the old value
// is released exactly once (the sanitizer build sees leaks and double
// frees), the moved-from token is the empty text.
TEST(TokenTest, AssignmentsBetweenForms) {
  const std::string text = "slice";
  const SharedString shared("shared");
  const auto make = [&](int form) {
    switch (form) {
      case 0:
        return Token(shared);
      case 1:
        return Token::slice(text);
      default:
        return list({Token(shared), Token::slice(text), list({Token(shared)})});
    }
  };
  const auto describe = [](const Token& t) {
    return t.is_list() ? "list of " + std::to_string(t.items().size()) : std::string(t.text());
  };
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      Token target = make(a);
      const Token source = make(b);
      target = source;
      EXPECT_EQ(describe(target), describe(source));
      Token moved = make(a);
      moved = std::move(target);
      EXPECT_EQ(describe(moved), describe(source));
      EXPECT_FALSE(target.is_list());
      EXPECT_EQ(target.text(), "");
      Token constructed(std::move(moved));
      EXPECT_EQ(describe(constructed), describe(source));
    }
  }
  EXPECT_EQ(shared.use_count(), 1u);
}

TEST(TokenTest, CopyIsDeepForListsAndSharesTexts) {
  std::string source = "a";
  const SharedString shared(source);
  source[0] = 'x';  // the string holds a copy of the bytes
  EXPECT_EQ(shared.view(), "a");
  EXPECT_EQ(SharedString("").identity(), nullptr);  // the empty string holds no block
  {
    const Token original = list({Token(shared), list({Token(shared)}), list({})});
    const Token copy = original;
    ASSERT_TRUE(copy.is_list());
    EXPECT_NE(copy.items().data(), original.items().data());
    EXPECT_NE(copy.items()[1].items().data(), original.items()[1].items().data());
    EXPECT_EQ(copy.items()[1].items()[0].shared_text().identity(), shared.identity());
    EXPECT_EQ(shared.use_count(), 5u);
    EXPECT_TRUE(copy.items()[2].is_list());
    EXPECT_EQ(copy.items()[2].items().data(), nullptr);  // an empty list owns nothing
    // Results that grew past the inline slots drop every token (the leak
    // checker of the sanitizer build sees the rest).
    ParseResults results;
    for (int i = 0; i < 9; ++i) results.push_back(copy);
    EXPECT_EQ(shared.use_count(), 23u);
  }
  EXPECT_EQ(shared.use_count(), 1u);
}

// The start rule parses where the skip from 0 ends: NoMatch fails where it
// is run, so its failure shows the place.
TEST(WhitespaceTest, SkipsTabLineFeedCarriageReturnAndSpaceOnly) {
  struct Row {
    std::string text;
    Pos from, want;
  };
  const NoMatchElement probe;
  for (const Row& r :
       {Row{"", 0, 0}, Row{" \t\r\n", 0, 4}, Row{"  x ", 0, 2}, Row{"a  b", 1, 3}, Row{"\fx", 0, 0},
        Row{"\v", 0, 0}, Row{"\xC2\xA0x", 0, 0}, Row{"ab", 5, 5}}) {
    EXPECT_EQ(advance_past_whitespace(r.text, r.from), r.want) << "'" << r.text << "'";
    if (r.from > 0) continue;
    const ParseOutcome out = probe.parse_from_start(r.text);
    EXPECT_EQ(out.position(), r.want) << "'" << r.text << "'";
    EXPECT_FALSE(out.too_deep());
  }
}

}  // namespace
}  // namespace quernlet
