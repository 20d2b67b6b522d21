#include "element.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "small_vector.hpp"

namespace quernlet {
namespace {

// Counts live instances, so that every construction is matched by exactly
// one destruction whatever the vector does with its buffer.
struct Tracked {
  static inline int live = 0;
  int value;
  explicit Tracked(int v) : value(v) { ++live; }
  Tracked(const Tracked& o) : value(o.value) { ++live; }
  Tracked(Tracked&& o) noexcept : value(o.value) {
    o.value = -1;
    ++live;
  }
  Tracked& operator=(const Tracked&) = default;
  Tracked& operator=(Tracked&&) = default;
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

TEST(SmallVectorTest, StaysInlineUpToTwoThenMovesToTheHeap) {
  {
    Vec v;
    EXPECT_FALSE(v.on_heap());
    v.push_back(Tracked(1));
    v.push_back(Tracked(2));
    EXPECT_FALSE(v.on_heap());
    v.push_back(Tracked(3));
    EXPECT_TRUE(v.on_heap());
    for (int i = 4; i <= 40; ++i) v.push_back(Tracked(i));
    ASSERT_EQ(v.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(v[i].value, i + 1);
    EXPECT_EQ(Tracked::live, 40);
  }
  EXPECT_EQ(Tracked::live, 0);
}

TEST(SmallVectorTest, AppendMovesEveryElementAndEmptiesTheSource) {
  {
    struct Row {
      std::initializer_list<int> dst, src;
    };
    for (const Row& r : {Row{{}, {}}, Row{{}, {1}}, Row{{1}, {2}}, Row{{1}, {2, 3}},
                         Row{{1, 2}, {3, 4, 5}}, Row{{1, 2, 3}, {4}}, Row{{}, {1, 2, 3}}}) {
      Vec dst = make(r.dst), src = make(r.src);
      std::vector<int> want(r.dst);
      want.insert(want.end(), r.src.begin(), r.src.end());
      dst.append(std::move(src));
      EXPECT_EQ(values(dst), want);
      EXPECT_TRUE(src.empty());
      EXPECT_EQ(Tracked::live, static_cast<int>(want.size()));
    }
  }
  EXPECT_EQ(Tracked::live, 0);
}

TEST(SmallVectorTest, AppendToAnEmptyVectorTakesTheHeapBuffer) {
  Vec dst, src = make({1, 2, 3});
  const Tracked* buffer = src.data();
  dst.append(std::move(src));
  EXPECT_EQ(dst.data(), buffer);
  EXPECT_FALSE(src.on_heap());
}

TEST(SmallVectorTest, MoveAndCopyKeepContentsAndCounts) {
  {
    for (auto init : {std::initializer_list<int>{1}, std::initializer_list<int>{1, 2, 3}}) {
      Vec a = make(init);
      Vec b(std::move(a));
      EXPECT_TRUE(a.empty());
      EXPECT_EQ(values(b), std::vector<int>(init));
      Vec c(b);
      EXPECT_EQ(values(c), values(b));
      Vec d = make({7, 8, 9, 10});
      d = std::move(c);  // releases d's heap buffer, takes c's contents
      EXPECT_EQ(values(d), values(b));
      d = b;
      EXPECT_EQ(values(d), values(b));
      EXPECT_EQ(Tracked::live, 2 * static_cast<int>(init.size()));
    }
  }
  EXPECT_EQ(Tracked::live, 0);
}

// ---------------------------------------------------------------------------

TEST(SharedStringTest, CopiesShareOneCountedBlock) {
  SharedString a("hello");
  EXPECT_EQ(a.use_count(), 1u);
  {
    SharedString b = a;
    EXPECT_EQ(b.identity(), a.identity());
    EXPECT_EQ(a.use_count(), 2u);
    SharedString c = std::move(b);
    EXPECT_EQ(a.use_count(), 2u);
    EXPECT_EQ(b.identity(), nullptr);
    EXPECT_EQ(c.view(), "hello");
  }
  EXPECT_EQ(a.use_count(), 1u);
  a = SharedString("other");
  EXPECT_EQ(a.view(), "other");

  const SharedString empty("");
  EXPECT_EQ(empty.identity(), nullptr);
  EXPECT_EQ(empty.use_count(), 0u);
  EXPECT_EQ(empty.data()[0], '\0');
  EXPECT_TRUE(empty.empty());

  // A fresh copy of the bytes, not a view of them.
  std::string source = "abc";
  const SharedString copy(source);
  source[0] = 'x';
  EXPECT_EQ(copy.view(), "abc");
}

// ---------------------------------------------------------------------------

Token text(std::string_view s) { return Token(SharedString(s)); }

Token list(std::vector<Token> items) {
  auto array = std::make_unique<Token[]>(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) array[i] = std::move(items[i]);
  return Token(items.empty() ? nullptr : std::move(array), items.size());
}

std::string show(const Token& t) {
  if (!t.is_list()) return std::string(t.text().view());
  std::string out = "[";
  for (const Token& item : t.items()) out += (out.size() > 1 ? "," : "") + show(item);
  return out + "]";
}

TEST(TokenTest, CopyIsDeepForListsAndSharesTexts) {
  const Token original = list({text("a"), list({text("b"), text("c")}), list({})});
  const Token copy = original;
  EXPECT_EQ(show(copy), "[a,[b,c],[]]");
  ASSERT_TRUE(copy.is_list());
  // New arrays at every level...
  EXPECT_NE(copy.items().data(), original.items().data());
  EXPECT_NE(copy.items()[1].items().data(), original.items()[1].items().data());
  // ...holding the same strings.
  EXPECT_EQ(copy.items()[0].text().identity(), original.items()[0].text().identity());
  EXPECT_EQ(original.items()[0].text().use_count(), 2u);
  EXPECT_EQ(copy.items()[1].items()[1].text().identity(),
            original.items()[1].items()[1].text().identity());
  // An empty list owns no storage, and neither does its copy.
  EXPECT_TRUE(copy.items()[2].is_list());
  EXPECT_EQ(copy.items()[2].items().data(), nullptr);
}

TEST(TokenTest, AssignmentReplacesAndReleases) {
  Token t = text("x");
  const SharedString& first = t.text();
  const SharedString keep = first;
  EXPECT_EQ(keep.use_count(), 2u);
  t = list({text("y")});
  EXPECT_EQ(keep.use_count(), 1u);
  EXPECT_EQ(show(t), "[y]");
  const Token other = list({text("z"), text("w")});
  t = other;
  t = t;  // self-assignment keeps the value
  EXPECT_EQ(show(t), "[z,w]");
}

// Dropping results that grew past the inline slots, with nested lists and
// shared texts, frees everything: the leak checker of the sanitizer build
// fails the run otherwise.
TEST(ParseResultsTest, DropReleasesEveryTokenAndTheHeapArray) {
  const SharedString shared("shared");
  {
    ParseResults results;
    for (int i = 0; i < 9; ++i) {
      results.push_back(Token(shared));
      results.push_back(list({text("n" + std::to_string(i)), list({Token(shared)})}));
    }
    ParseResults more;
    more.push_back(text("tail"));
    results.append(std::move(more));
    EXPECT_EQ(results.size(), 19u);
    EXPECT_EQ(shared.use_count(), 19u);
    const ParseOutcome outcome = ParseOutcome::success(4, std::move(results));
    EXPECT_EQ(outcome.tokens().size(), 19u);
  }
  EXPECT_EQ(shared.use_count(), 1u);
}

// ---------------------------------------------------------------------------

TEST(WhitespaceTest, SkipsTabLineFeedCarriageReturnAndSpaceOnly) {
  struct Row {
    std::string text;
    Pos from, want;
  };
  for (const Row& r : {Row{"", 0, 0}, Row{" \t\r\nx", 0, 4}, Row{"   ", 0, 3}, Row{"a  b", 1, 3},
                       Row{"\fx", 0, 0}, Row{"\vx", 0, 0}, Row{" \f", 0, 1},
                       Row{"\xC2\xA0x", 0, 0},  // no-break space is not whitespace
                       Row{"ab", 2, 2}, Row{"ab", 5, 5}}) {
    EXPECT_EQ(advance_past_whitespace(r.text, r.from), r.want)
        << "'" << r.text << "' from " << r.from;
  }
}

// Records the position at which it was asked to parse.
class ProbeElement final : public Element {
 public:
  mutable Pos seen = ~Pos{0};
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override {
    EXPECT_TRUE(ctx.skip_ws);
    seen = pos;
    return ParseOutcome::success(pos);
  }
  MatchResult try_match_at(std::string_view, Pos pos) const override { return matched_at(pos); }
};

TEST(StartRuleTest, ParsesAfterTheLeadingWhitespace) {
  struct Row {
    std::string text;
    Pos at;
  };
  for (const Row& r :
       {Row{"", 0}, Row{" \t\r\n", 4}, Row{"  x ", 2}, Row{"\fx", 0}, Row{"\v", 0}}) {
    ProbeElement probe;
    EXPECT_TRUE(probe.parse_from_start(r.text).ok());
    EXPECT_EQ(probe.seen, r.at) << "'" << r.text << "'";
    ProbeElement inlined;
    EXPECT_TRUE(parse_from_start_of(inlined, r.text).ok());
    EXPECT_EQ(inlined.seen, r.at);
  }
}

TEST(StackGuardTest, FlagIsStickyUntilTaken) {
  EXPECT_FALSE(take_too_deep());
  EXPECT_FALSE(stack_nearly_exhausted());  // a shallow frame
  note_too_deep();
  EXPECT_TRUE(stack_nearly_exhausted());
  ProbeElement probe;
  const ParseOutcome out = probe.parse_from_start("  x");
  EXPECT_FALSE(out.ok());
  EXPECT_TRUE(out.too_deep());
  EXPECT_EQ(out.position(), 2u);
  EXPECT_FALSE(take_too_deep());
  EXPECT_FALSE(stack_nearly_exhausted());
}

}  // namespace
}  // namespace quernlet
