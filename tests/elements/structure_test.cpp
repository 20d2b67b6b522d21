#include "structure.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "literals.hpp"
#include "positional.hpp"

namespace quernlet {
namespace {

// ---------------------------------------------------------------------------
// Test-local leaves, so the combinators are tested on their own.

// Matches the bytes of `s`; the token is one shared string, as literals do.
class Lit final : public Element {
 public:
  explicit Lit(std::string_view s, bool skips_ws = true)
      : s_(s), token_(s), message_("Expected '" + std::string(s) + "'"), skips_ws_(skips_ws) {}
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override {
    if (!try_match_at(ctx.text, pos).matched) return ParseOutcome::failure(message_, pos);
    ParseResults r;
    r.push_back(Token(token_));
    return ParseOutcome::success(pos + s_.size(), std::move(r));
  }
  MatchResult try_match_at(std::string_view text, Pos pos) const override {
    return pos <= text.size() && text.substr(pos).starts_with(s_) ? matched_at(pos + s_.size())
                                                                  : kNoMatch;
  }
  bool skips_whitespace() const noexcept override { return skips_ws_; }
  const SharedString& token() const { return token_; }

 private:
  std::string s_;
  SharedString token_, message_;
  bool skips_ws_;
};

// Matches `n` bytes (any bytes, so it can stop inside a character), or the
// empty text when `n` is 0. No tokens.
class Bytes final : public Element {
 public:
  explicit Bytes(Pos n) : n_(n) {}
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override {
    const MatchResult m = try_match_at(ctx.text, pos);
    return m.matched ? ParseOutcome::success(m.end) : ParseOutcome::failure(message_, pos);
  }
  MatchResult try_match_at(std::string_view text, Pos pos) const override {
    return pos <= text.size() && text.size() - pos >= n_ ? matched_at(pos + n_) : kNoMatch;
  }

 private:
  Pos n_;
  SharedString message_{"Expected bytes"};
};

// Gives up as Forward does when the stack runs low.
class GiveUp final : public Element {
 public:
  ParseOutcome parse_impl(ParseContext&, Pos pos) const override {
    return ParseOutcome::stack_exhausted(pos);
  }
  MatchResult try_match_at(std::string_view, Pos) const override { return kNoMatch; }
};

// Matches `s` and yields a fresh list token, remembering each list's array
// so tests can tell a moved token from a copied one.
class ListLit final : public Element {
 public:
  explicit ListLit(std::string_view s) : lit_(s) {}
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override {
    ParseOutcome out = lit_.parse_impl(ctx, pos);
    if (!out.ok()) return out;
    auto items = std::make_unique<Token[]>(1);
    items[0] = Token(lit_.token());
    arrays.push_back(items.get());
    ParseResults r;
    r.push_back(Token(std::move(items), 1));
    return ParseOutcome::success(out.end(), std::move(r));
  }
  MatchResult try_match_at(std::string_view text, Pos pos) const override {
    return lit_.try_match_at(text, pos);
  }
  mutable std::vector<const Token*> arrays;

 private:
  Lit lit_;
};

// Passes everything to `inner` and records how it was called.
class Spy final : public Element {
 public:
  explicit Spy(ElementHandle inner) : inner_(std::move(inner)) {}
  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override {
    parsed.push_back(pos);
    skip_ws_seen.push_back(ctx.skip_ws);
    return inner_->parse_impl(ctx, pos);
  }
  MatchResult try_match_at(std::string_view text, Pos pos) const override {
    tried.push_back(pos);
    return inner_->try_match_at(text, pos);
  }
  mutable std::vector<Pos> parsed, tried;
  mutable std::vector<bool> skip_ws_seen;

 private:
  ElementHandle inner_;
};

template <class T, class... Args>
Ref<T> mk(Args&&... args) {
  return Ref<T>::make(std::forward<Args>(args)...);
}
ElementHandle lit(std::string_view s) { return mk<Lit>(s); }
ElementHandle seq(std::vector<ElementHandle> v) { return mk<AndElement>(std::move(v)); }
ElementHandle alt(std::vector<ElementHandle> v) { return mk<MatchFirstElement>(std::move(v)); }

std::string render(std::span<const Token> tokens) {
  std::string out;
  for (const Token& t : tokens) {
    if (!out.empty()) out += ',';
    out += t.is_list() ? "[" + render(t.items()) + "]" : "'" + std::string(t.text().view()) + "'";
  }
  return out;
}

// "end: 'tok',['tok']" for a success, "@position message" for a failure.
std::string show(const ParseOutcome& o) {
  if (!o.ok()) return "@" + std::to_string(o.position()) + " " + std::string(o.message().view());
  const std::string tokens = render(o.tokens().span());
  return std::to_string(o.end()) + ":" + (tokens.empty() ? "" : " " + tokens);
}

std::string show(const MatchResult& m) { return m.matched ? std::to_string(m.end) : "none"; }

ParseOutcome run(const Element& e, std::string_view text, Pos pos, bool skip_ws = true) {
  ParseContext ctx{text, skip_ws};
  ParseOutcome out = e.parse_impl(ctx, pos);
  EXPECT_EQ(ctx.skip_ws, skip_ws) << "context flag changed";
  return out;
}

// ---------------------------------------------------------------------------

struct Case {
  const char* what;
  ElementHandle el;
  std::string_view text;
  Pos pos;
  bool skip_ws;
  const char* parsed;  // show() of parse_impl
  const char* tried;   // show() of try_match_at
};

TEST(Structure, RulesMessagesAndPositions) {
  const auto a = lit("a"), b = lit("b"), x = lit("x");
  const auto nows_b = mk<Lit>("b", false);
  const auto eps = mk<Bytes>(0);
  const Case cases[] = {
      {"and skips before each child", seq({a, b}), "a b", 0, true, "3: 'a','b'", "3"},
      {"and without skip_ws", seq({a, b}), "a b", 0, false, "@1 Expected 'b'", "3"},
      {"and asks the child", seq({a, nows_b}), "a b", 0, true, "@1 Expected 'b'", "none"},
      {"and skips before the first", seq({a}), "  a", 0, true, "3: 'a'", "3"},
      {"and fails where tried", seq({a}), "  b", 0, true, "@2 Expected 'a'", "none"},
      {"empty and", seq({}), "  ", 1, true, "1:", "1"},
      {"first alternative wins", alt({a, b}), "a", 0, true, "1: 'a'", "1"},
      {"last failure, not furthest", alt({seq({a, b}), x}), "ax", 0, true, "@0 Expected 'x'",
       "none"},
      {"matchfirst skips nothing", alt({a}), " a", 0, true, "@0 Expected 'a'", "none"},
      {"no alternatives", alt({}), "x", 0, true, "@0 No match found", "none"},
      {"optional present", mk<OptionalElement>(a), "a", 0, true, "1: 'a'", "1"},
      {"optional absent", mk<OptionalElement>(a), " a", 0, true, "0:", "0"},
      {"zeroormore leaves trailing ws", mk<ZeroOrMoreElement>(a), "a a  b", 0, true, "3: 'a','a'",
       "3"},
      {"zeroormore without skip_ws", mk<ZeroOrMoreElement>(a), "a a", 0, false, "1: 'a'", "3"},
      {"zeroormore of empty match", mk<ZeroOrMoreElement>(mk<OptionalElement>(x)), "ab", 0, true,
       "0:", "0"},
      {"oneormore", mk<OneOrMoreElement>(a), "a a b", 0, true, "3: 'a','a'", "3"},
      {"oneormore fails at pos", mk<OneOrMoreElement>(a), " b", 0, true,
       "@0 Expected at least one match", "none"},
      {"oneormore empty first match", mk<OneOrMoreElement>(mk<OptionalElement>(x)), "  c", 0, true,
       "@0 Expected at least one match", "2"},
      {"exactly zero", mk<ExactlyElement>(a, 0), "b", 0, true, "0:", "0"},
      {"exactly no progress after ws", mk<ExactlyElement>(eps, 2), "  b", 0, true,
       "@2 No progress in Exactly", "none"},
      {"exactly no progress", mk<ExactlyElement>(eps, 2), "  b", 0, false,
       "@0 No progress in Exactly", "none"},
      {"exactly missing repetition", mk<ExactlyElement>(a, 3), "a a", 0, true, "@3 Expected 'a'",
       "none"},
      {"exactly stops at count", mk<ExactlyElement>(a, 2), "a aa", 0, true, "3: 'a','a'", "3"},
      {"group", mk<GroupElement>(seq({a, b, a})), "aba", 0, true, "3: ['a','b','a']", "3"},
      {"group of nothing", mk<GroupElement>(eps), "x", 0, true, "0: []", "0"},
      {"group of group", mk<GroupElement>(mk<GroupElement>(a)), "a", 0, true, "1: [['a']]", "1"},
      {"group skips nothing", mk<GroupElement>(a), " a", 0, true, "@0 Expected 'a'", "none"},
      {"suppress", mk<SuppressElement>(seq({a, b})), "a b", 0, false, "3:", "3"},
      {"suppress message", mk<SuppressElement>(a), "b", 0, true, "@0 Suppress: no match", "none"},
      {"combine", mk<CombineElement>(seq({a, b})), "ab", 0, true, "2: 'ab'", "2"},
      {"combine clears skip_ws", mk<CombineElement>(seq({a, b})), "a b", 0, true, "@1 Expected 'b'",
       "none"},
      {"combine over suppress", mk<CombineElement>(mk<SuppressElement>(seq({a, b}))), "a b", 0,
       true, "3: 'a b'", "3"},
      {"combine past the end", mk<CombineElement>(mk<StringEndElement>()), "ab", 5, true, "5: ''",
       "5"},
      {"skipto keeps the space", mk<SkipToElement>(x), "ab x", 0, true, "3: 'ab '", "3"},
      {"skipto at pos", mk<SkipToElement>(a), "a", 0, true, "0: ''", "0"},
      {"skipto to the end", mk<SkipToElement>(mk<StringEndElement>()), "ab", 0, true, "2: 'ab'",
       "2"},
      {"skipto not found", mk<SkipToElement>(x), "abc", 1, true, "@1 SkipTo: target not found",
       "none"},
      {"skipto beyond the text", mk<SkipToElement>(eps), "ab", 5, true,
       "@5 SkipTo: target not found", "none"},
      // Spans never cut a character ("\xC3\xA9" is one character).
      {"skipto tries boundaries only", mk<SkipToElement>(lit("\xA9")), "x\xC3\xA9", 0, true,
       "@0 SkipTo: target not found", "none"},
      {"skipto to a wide char", mk<SkipToElement>(lit("\xC3\xA9")), "a\xC3\xA9", 0, true, "1: 'a'",
       "1"},
      {"skipto inside a char", mk<SkipToElement>(eps), "\xC3\xA9", 1, true,
       "@1 SkipTo: target not found", "none"},
      {"combine ending inside", mk<CombineElement>(mk<Bytes>(1)), "\xC3\xA9", 0, true,
       "@0 Combine: no match", "none"},
      {"combine starting inside", mk<CombineElement>(eps), "\xC3\xA9", 1, true,
       "@1 Combine: no match", "none"},
      {"combine child failing inside", mk<CombineElement>(x), "\xC3\xA9", 1, true,
       "@1 Expected 'x'", "none"},
      {"combine whole char", mk<CombineElement>(mk<Bytes>(2)), "\xC3\xA9", 0, true, "2: '\xC3\xA9'",
       "2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(run(*c.el, c.text, c.pos, c.skip_ws)), c.parsed) << c.what;
    EXPECT_EQ(show(c.el->try_match_at(c.text, c.pos)), c.tried) << c.what;
  }
}

TEST(Structure, StartRuleSkipsLeadingWhitespace) {
  EXPECT_EQ(show(mk<GroupElement>(lit("a"))->parse_from_start(" \t\r\na")), "5: ['a']");
  EXPECT_EQ(show(mk<SkipToElement>(mk<StringEndElement>())->parse_from_start("  ")), "2: ''");
}

TEST(Structure, WithEngineLeaves) {
  const ElementHandle a = mk<LiteralElement>("a"), b = mk<LiteralElement>("b");
  const ElementHandle no_match = mk<NoMatchElement>();
  const Case cases[] = {
      {"rest_of_line is not skipped to", seq({a, mk<RestOfLineElement>()}), "a  xy\nq", 0, true,
       "5: 'a','  xy'", "5"},
      {"last literal's failure", alt({a, b}), " c", 1, true, "@1 Expected 'b'", "none"},
      {"exactly of empty", mk<ExactlyElement>(mk<EmptyElement>(), 2), " x", 0, true,
       "@1 No progress in Exactly", "none"},
      {"skipto string end", mk<SkipToElement>(mk<StringEndElement>()), "ab", 0, true, "2: 'ab'",
       "2"},
      {"skipto no match", mk<SkipToElement>(no_match), "ab", 0, true, "@0 SkipTo: target not found",
       "none"},
      {"combine of literals", mk<CombineElement>(seq({a, b})), "a b", 0, true, "@1 Expected 'b'",
       "none"},
      {"continuation byte literal", mk<SkipToElement>(mk<LiteralElement>("\xA9")), "x\xC3\xA9", 0,
       true, "@0 SkipTo: target not found", "none"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(run(*c.el, c.text, c.pos, c.skip_ws)), c.parsed) << c.what;
    EXPECT_EQ(show(c.el->try_match_at(c.text, c.pos)), c.tried) << c.what;
  }
}

TEST(Structure, StackGiveUpIsNeverRecovered) {
  const auto a = lit("a");
  const ElementHandle give_up = mk<GiveUp>();
  const ElementHandle a_or_give_up = alt({a, give_up});
  const ElementHandle cases[] = {
      alt({give_up, a}),
      mk<OptionalElement>(give_up),
      mk<ZeroOrMoreElement>(a_or_give_up),
      mk<OneOrMoreElement>(a_or_give_up),
      mk<OneOrMoreElement>(give_up),
      mk<ExactlyElement>(a_or_give_up, 5),
      seq({a, give_up}),
      mk<GroupElement>(give_up),
      mk<CombineElement>(mk<OptionalElement>(give_up)),
  };
  for (const ElementHandle& e : cases) {
    const ParseOutcome out = run(*e, "aa", 0);
    EXPECT_FALSE(out.ok()) << show(out);
    EXPECT_TRUE(out.too_deep()) << show(out);
  }
}

TEST(Structure, CombineClearsAndRestoresSkipWs) {
  for (const bool skip_ws : {true, false}) {
    for (const std::string_view text : {"a", "b"}) {
      const auto spy = mk<Spy>(lit("a"));
      const CombineElement combine(spy);
      run(combine, text, 0, skip_ws);  // run() checks the flag afterwards
      EXPECT_EQ(spy->skip_ws_seen, std::vector<bool>{false});
    }
  }
  // try_match_at parses on a fresh context of its own.
  const auto spy = mk<Spy>(lit("a"));
  EXPECT_EQ(show(CombineElement(spy).try_match_at("a", 0)), "1");
  EXPECT_EQ(spy->skip_ws_seen, std::vector<bool>{false});
}

TEST(Structure, ChildCalls) {
  // Suppress only match-tests its child.
  auto spy = mk<Spy>(lit("a"));
  run(SuppressElement(spy), "a", 0);
  run(SuppressElement(spy), "b", 0);
  EXPECT_TRUE(spy->parsed.empty());
  EXPECT_EQ(spy->tried, (std::vector<Pos>{0, 0}));

  // SkipTo tries the target at each character boundary, the end included.
  spy = mk<Spy>(lit("z"));
  run(SkipToElement(spy), "a\xC3\xA9 b", 0);
  EXPECT_TRUE(spy->parsed.empty());
  EXPECT_EQ(spy->tried, (std::vector<Pos>{0, 1, 3, 4, 5}));

  // MatchFirst stops at the first success.
  spy = mk<Spy>(lit("a"));
  run(MatchFirstElement({lit("a"), spy}), "a", 0);
  EXPECT_TRUE(spy->parsed.empty());
}

TEST(Structure, TokensAreMovedNotCopied) {
  // A copied list token would own a new array; a moved one keeps its own.
  const auto leaf = mk<ListLit>("a");
  const ElementHandle containers[] = {
      seq({leaf, leaf, leaf}),  // the third token moves the list to the heap
      alt({lit("x"), leaf}),       mk<OptionalElement>(leaf),
      mk<ZeroOrMoreElement>(leaf), mk<OneOrMoreElement>(leaf),
      mk<ExactlyElement>(leaf, 3), mk<GroupElement>(seq({leaf, leaf, leaf})),
  };
  for (const ElementHandle& e : containers) {
    leaf->arrays.clear();
    const ParseOutcome out = run(*e, "aaa", 0);
    ASSERT_TRUE(out.ok()) << show(out);
    std::span<const Token> lists = out.tokens().span();
    if (e->element_class() == ElementClass::Group) lists = lists[0].items();
    std::vector<const Token*> arrays;
    for (const Token& t : lists) arrays.push_back(t.items().data());
    EXPECT_EQ(arrays, leaf->arrays) << show(out);
  }

  // Shared texts: one reference per token held, none left behind.
  const auto a = mk<Lit>("a");
  {
    const ParseOutcome out = run(GroupElement(mk<ZeroOrMoreElement>(a)), "a a a a", 0);
    EXPECT_EQ(show(out), "7: ['a','a','a','a']");
    EXPECT_EQ(a->token().use_count(), 5u);
  }
  EXPECT_EQ(a->token().use_count(), 1u);
}

// ---------------------------------------------------------------------------
// try_match_at must agree with parse_impl on every grammar whose OneOrMore
// children cannot match the empty text (the one place where they differ),
// and every token must be whole UTF-8 characters.

bool valid_utf8(std::string_view s) {
  for (Pos i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const unsigned n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (unsigned k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

bool tokens_valid(std::span<const Token> tokens) {
  for (const Token& t : tokens)
    if (t.is_list() ? !tokens_valid(t.items()) : !valid_utf8(t.text().view())) return false;
  return true;
}

class GrammarGen {
 public:
  explicit GrammarGen(unsigned seed) : rng_(seed) {}

  ElementHandle leaf(bool nonempty) {
    switch (pick(nonempty ? 4 : 7)) {
      case 0:
        return lit("a");
      case 1:
        return lit("ab");
      case 2:
        return mk<Lit>("b", false);
      case 3:
        return mk<Bytes>(1);  // may stop inside a character
      case 4:
        return mk<Bytes>(0);
      case 5:
        return mk<StringEndElement>();
      default:
        return mk<OptionalElement>(lit("b"));
    }
  }

  ElementHandle any(int depth) {
    if (depth == 0) return leaf(false);
    switch (pick(11)) {
      case 0:
        return seq(some(depth));
      case 1:
        return alt(some(depth));
      case 2:
        return mk<OptionalElement>(any(depth - 1));
      case 3:
        return mk<ZeroOrMoreElement>(any(depth - 1));
      case 4:
        return mk<OneOrMoreElement>(leaf(true));
      case 5:
        return mk<ExactlyElement>(any(depth - 1), pick(3));
      case 6:
        return mk<GroupElement>(any(depth - 1));
      case 7:
        return mk<SuppressElement>(any(depth - 1));
      case 8:
        return mk<CombineElement>(any(depth - 1));
      case 9:
        return mk<SkipToElement>(any(depth - 1));
      default:
        return leaf(false);
    }
  }

  std::string text() {
    static constexpr std::string_view kPieces[] = {"a", "b", " ", "\t", "\xC3\xA9", "ab"};
    std::string s;
    for (unsigned n = pick(7); n > 0; --n) s += kPieces[pick(std::size(kPieces))];
    return s;
  }

 private:
  unsigned pick(std::size_t n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
  std::vector<ElementHandle> some(int depth) {
    std::vector<ElementHandle> v;
    for (unsigned n = pick(4); n > 0; --n) v.push_back(any(depth - 1));
    return v;
  }
  std::mt19937 rng_;
};

TEST(Structure, MatchTestAgreesWithParse) {
  GrammarGen gen(12345);
  for (int g = 0; g < 1000; ++g) {
    const ElementHandle e = gen.any(3);
    for (int t = 0; t < 25; ++t) {
      const std::string text = gen.text();
      for (Pos pos = 0; pos <= text.size() + 1; ++pos) {
        const ParseOutcome out = run(*e, text, pos);
        const MatchResult m = e->try_match_at(text, pos);
        ASSERT_EQ(out.ok(), m.matched) << g << " '" << text << "' @" << pos << " " << show(out);
        if (out.ok()) {
          ASSERT_EQ(out.end(), m.end) << g << " '" << text << "' @" << pos;
          ASSERT_TRUE(tokens_valid(out.tokens().span())) << g << " " << show(out);
        }
        run(*e, text, pos, false);  // must not crash or leak either
      }
    }
  }
}

}  // namespace
}  // namespace quernlet
