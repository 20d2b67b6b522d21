#include "chars.hpp"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace quernlet {
namespace {

using Expect = std::optional<std::pair<Pos, std::string>>;  // end and token; none: no match

// parse_impl and try_match_at must both give `want`; a failure is the
// element's message at `pos`.
void expect_match(const Element& e, std::string_view message, std::string_view text, Pos pos,
                  const Expect& want) {
  SCOPED_TRACE(std::string(text) + " at " + std::to_string(pos));
  ParseContext ctx{text, true};
  ParseOutcome out = e.parse_impl(ctx, pos);
  const MatchResult m = e.try_match_at(text, pos);
  ASSERT_EQ(out.ok(), want.has_value());
  ASSERT_EQ(m.matched, want.has_value());
  if (want) {
    EXPECT_EQ(out.end(), want->first);
    EXPECT_EQ(m.end, want->first);
    ASSERT_EQ(out.tokens().size(), 1u);
    EXPECT_EQ(out.tokens()[0].text().view(), want->second);
  } else {
    EXPECT_EQ(out.position(), pos);
    EXPECT_EQ(out.message().view(), message);
  }
}

Expect at(Pos end, std::string token) { return std::pair{end, std::move(token)}; }

// ---------------------------------------------------------------------------
// Word

Ref<WordElement> word(std::string_view init, const char* body) {
  const std::string_view b = body ? body : "";
  return Ref<WordElement>::make(init, body ? &b : nullptr);
}

TEST(Word, MatchesRunsOfWholeCharacters) {
  struct Case {
    const char* init;
    const char* body;  // null: same set as init
    std::string text;
    Pos pos;
    Expect want;
  };
  const Case cases[] = {
      {"abc", nullptr, "abcabd", 0, at(5, "abcab")},
      {"abc", nullptr, "dab", 0, {}},
      {"abc", nullptr, "abc", 3, {}},
      {"a", "b", "abbba", 0, at(4, "abbb")},
      {"a", "", "aaa", 0, at(1, "a")},
      {"", nullptr, "abc", 0, {}},
      {"é", nullptr, "ééx", 0, at(4, "éé")},
      {"a", "éÿ", "aéÿ€", 0, at(5, "aéÿ")},
      {"€a", nullptr, "€a", 0, {}},  // code points of 256 and above are in no set
      // A byte of a character is never taken for the code point of its value:
      // U+00C3 is the lead byte of 'é', U+00A9 the trail byte of '©'.
      {"Ã", nullptr, "é", 0, {}},
      {"©", nullptr, "©", 1, {}},
      {"a", "©", "aé", 0, at(1, "a")},
  };
  for (const Case& c : cases) {
    auto w = word(c.init, c.body);
    expect_match(*w, w->message().view(), c.text, c.pos, c.want);
  }
  auto w = word("abc", nullptr);
  EXPECT_EQ(w->parse_from_start("   abc").tokens()[0].text().view(), "abc");
  EXPECT_EQ(w->parse_from_start("   ").position(), 3u);
}

TEST(Word, MessageCutsAtACharacterBoundary) {
  const std::pair<const char*, const char*> cases[] = {
      {"abc", "Expected W:(abc...)"},
      {"klmnopqrstuvwxyz", "Expected W:(klmnopqr...)"},
      {"", "Expected W:(...)"},
      {"abcdefé", "Expected W:(abcdefé...)"},
      {"abcdefgé", "Expected W:(abcdefg...)"},
      {"abcdef€x", "Expected W:(abcdef...)"},
  };
  for (const auto& [init, message] : cases)
    EXPECT_EQ(word(init, nullptr)->message().view(), message);
}

// Reference: decode every character and look its code point up.
Pos reference_word_end(const std::set<std::uint32_t>& init, const std::set<std::uint32_t>& body,
                       std::string_view text, Pos pos) {
  if (pos >= text.size() || !is_char_boundary(text, pos)) return 0;
  unsigned len = 1;
  if (!init.count(decode_utf8(text, pos, len))) return 0;
  Pos end = pos + len;
  while (end < text.size() && body.count(decode_utf8(text, end, len))) end += len;
  return end;
}

std::set<std::uint32_t> code_points_below_256(std::string_view chars) {
  std::set<std::uint32_t> out;
  unsigned len = 1;
  for (Pos i = 0; i < chars.size(); i += len) {
    if (const std::uint32_t c = decode_utf8(chars, i, len); c < 256) out.insert(c);
  }
  return out;
}

TEST(Word, AgreesWithDecodingReferenceOnMixedText) {
  const std::vector<std::string> alphabet = {"a", "b", "1", " ", "\x7f", "\u0080",    "é",
                                             "ÿ", "©", "Ã", "Ā", "€",    "\U0001D11E"};
  std::mt19937 rng(20240611);
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng); };
  auto chars = [&](std::size_t max_len) {
    std::string s;
    for (std::size_t k = pick(max_len); k > 0; --k) s += alphabet[pick(alphabet.size() - 1)];
    return s;
  };
  for (int round = 0; round < 400; ++round) {
    const std::string init = chars(5);
    const std::size_t body_kind = pick(2);  // 0: None, 1: empty, 2: random
    const std::string body = body_kind == 1 ? "" : chars(6);
    const std::string_view body_view = body;
    auto w = Ref<WordElement>::make(init, body_kind == 0 ? nullptr : &body_view);
    const auto init_cps = code_points_below_256(init);
    const auto body_cps = body_kind == 0 ? init_cps : code_points_below_256(body);
    for (int t = 0; t < 10; ++t) {
      const std::string text = chars(12);
      for (Pos pos = 0; pos <= text.size(); ++pos) {
        const Pos end = reference_word_end(init_cps, body_cps, text, pos);
        SCOPED_TRACE("init=" + init + " body=" + body);
        expect_match(*w, w->message().view(), text, pos,
                     end ? at(end, text.substr(pos, end - pos)) : Expect{});
        if (HasFatalFailure()) return;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Regex

Ref<RegexElement> regex(std::string_view pattern) {
  std::string error;
  auto r = RegexElement::compile(pattern, error);
  EXPECT_TRUE(r) << pattern << ": " << error;
  return r;
}

std::string compile_error(std::string_view pattern) {
  std::string error;
  EXPECT_FALSE(RegexElement::compile(pattern, error)) << pattern;
  return error;
}

TEST(Regex, MatchesTheRestOfTheTextAsATextOfItsOwn) {
  EXPECT_EQ(regex("a+")->anchored().pattern(), "^(?:a+)");
  EXPECT_EQ(regex("a+")->unanchored().pattern(), "(?:a+)");
  EXPECT_EQ(regex("^ab")->anchored().pattern(), "^ab");
  struct Case {
    const char* pattern;
    std::string text;
    Pos pos;
    Expect want;
  };
  const Case cases[] = {
      {"a+", "aaab", 0, at(3, "aaa")},
      {"a+", "aaab", 3, {}},
      {"a|ab", "ab", 0, at(1, "a")},  // leftmost-first, not longest
      {"\\s*", "x", 0, at(0, "")},
      {"", "abc", 3, at(3, "")},
      {"\\bfoo", "xfoo", 1, at(4, "foo")},  // no character before pos
      {"^a|b", "xxb", 2, at(3, "b")},       // alternation under a leading '^'
      {"b", "ab", 0, {}},
      {"[a-c]", "b", 0, at(1, "b")},
      {"\\C", "é", 0, {}},  // a match may not cut a character...
      {"a\\C?", "aé", 0, {}},
      {"\\C\\C", "é", 0, at(2, "é")},
      {"\\C", "é", 1, {}},  // ...nor start inside one
  };
  for (const Case& c : cases) {
    auto r = regex(c.pattern);
    expect_match(*r, "Expected match for /" + std::string(c.pattern) + "/", c.text, c.pos, c.want);
  }
}

TEST(Regex, ShortcutsOnlyWherePatternMeaningIsCertain) {
  using M = RegexElement::Mode;
  const std::pair<const char*, M> cases[] = {
      {"\\s+", M::kWhitespaceRun},
      {"\\s*", M::kGeneral},
      {"[abc]", M::kOneByteOfClass},
      {"[:alpha:]", M::kOneByteOfClass},
      {"[a-c]", M::kGeneral},
      {"[a^]", M::kGeneral},
      {"[\\d]", M::kGeneral},
      {"[a]b]", M::kGeneral},
      {"[ab[c]", M::kGeneral},
      {"[é]", M::kGeneral},
      {"", M::kGeneral},
  };
  for (const auto& [pattern, mode] : cases) EXPECT_EQ(regex(pattern)->mode(), mode) << pattern;
  const CodePointSet set = regex("[abc]")->byte_set();
  for (unsigned b = 0; b < 256; ++b) EXPECT_EQ(set.has(b), b >= 'a' && b <= 'c') << b;

  // The whitespace run is exactly RE2's \s: no vertical tab.
  RE2 space("\\s");
  for (unsigned b = 0; b < 256; ++b) {
    const char ch = static_cast<char>(b);
    EXPECT_EQ(is_regex_space(static_cast<unsigned char>(b)),
              RE2::FullMatch(re2::StringPiece(&ch, 1), space))
        << b;
  }
}

TEST(Regex, CompileErrors) {
  EXPECT_EQ(compile_error("(a"),
            "regex parse error:\n    ^(?:(a)\n    ^\nerror: missing ): ^(?:(a)");
  // The caret column counts characters.
  EXPECT_EQ(compile_error("é**"),
            "regex parse error:\n    ^(?:é**)\n         ^^\nerror: bad repetition operator: **");
  EXPECT_EQ(compile_error("^ab("), "regex parse error:\n    ^ab(\n    ^\nerror: missing ): ^ab(");
  EXPECT_EQ(compile_error("\\pL{1000}"), "Compiled regex exceeds size limit of 8388608 bytes.");
}

// try_match_at (shortcuts included) and parse_impl against RE2 itself.
TEST(Regex, AgreesWithRe2AtEveryPosition) {
  const char* patterns[] = {"\\s+",  "\\s*",  "[abc]", "[a-c]",  "[^a]",      "[\\d]",
                            "[a]b]", "a|ab",  "^a|b",  "\\bfoo", "[0-9]+",    "",
                            "x*",    "[.\n]", "(?i)A", "o\\b",   "[:alpha:]", "a+$"};
  const std::string alphabet = " \t\n\r\v\f[]-^abcfox019.:";
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> len(0, 16), ch(0, alphabet.size() - 1);
  for (const char* pattern : patterns) {
    auto r = regex(pattern);
    const std::string message = "Expected match for /" + std::string(pattern) + "/";
    RE2 reference(pattern);
    for (int t = 0; t < 300; ++t) {
      std::string text;
      for (std::size_t k = len(rng); k > 0; --k) text += alphabet[ch(rng)];
      for (Pos pos = 0; pos <= text.size(); ++pos) {
        const re2::StringPiece rest(text.data() + pos, text.size() - pos);
        re2::StringPiece m;
        const bool found = reference.Match(rest, 0, rest.size(), RE2::ANCHOR_START, &m, 1);
        SCOPED_TRACE(pattern);
        expect_match(*r, message, text, pos,
                     found ? at(pos + m.size(), std::string(m.data(), m.size())) : Expect{});
        if (HasFatalFailure()) return;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// QuotedString

TEST(QuotedString, ScanEscapesAndUnquote) {
  struct Case {
    const char* quote;
    const char* esc;  // null: None
    bool multiline, unquote;
    std::string text;
    Expect want;  // tried at 0
  };
  const Case cases[] = {
      {"\"", nullptr, false, true, "\"abc\"", at(5, "abc")},
      {"\"", nullptr, false, false, "\"abc\"x", at(5, "\"abc\"")},
      {"\"", nullptr, false, true, "\"\"", at(2, "")},
      {"\"", nullptr, false, true, "\"ab", {}},
      {"\"", nullptr, false, true, "\"", {}},
      {"\"", nullptr, false, true, "\"a\nb\"", {}},
      {"\"", nullptr, true, true, "\"a\nb\"", at(5, "a\nb")},
      {"\"", "\\", false, true, "\"a\\\"b\"", at(6, "a\"b")},
      {"\"", "\\", false, false, "\"a\\\"b\"", at(6, "\"a\\\"b\"")},
      {"\"", "\\", false, true, "\"a\\\nb\"", at(6, "a\nb")},
      {"\"", "\\", false, true, "\"a\\\"", {}},
      {"\"", "\\", false, true, "\"é\\n\"", at(6, "én")},
      {"\"", "", false, true, "\"a\\\"", at(4, "a\\")},
      {"", nullptr, false, true, "\"x\"", at(3, "x")},
      // Escape equal to quote: a doubled quote is one quote, a single one closes.
      {"'", "'", false, true, "'it''s'", at(7, "it's")},
      {"'", "'", false, true, "''''", at(4, "'")},
      {"'", "'", false, true, "'a'b'", at(3, "a")},
      {"'", "'", false, true, "'a''", {}},
      // Quote and escape are whole characters.
      {"é", nullptr, false, true, "éaêbé", at(8, "aêb")},
      {"«»", nullptr, false, true, "«ab«", at(6, "ab")},
      {"\"", "€", false, true, "\"a€\"b\"", at(8, "a\"b")},
      {"é", "é", false, true, "éaééé", at(9, "aé")},
  };
  for (const Case& c : cases) {
    const std::string_view esc = c.esc ? c.esc : "";
    auto q =
        Ref<QuotedStringElement>::make(c.quote, c.esc ? &esc : nullptr, c.multiline, c.unquote);
    expect_match(*q, q->message().view(), c.text, 0, c.want);
  }
}

TEST(QuotedString, MessageShowsTheWholeQuoteText) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"", "Expected quoted string starting with '\"'"},
      {"", "Expected quoted string starting with ''"},
      {"«»", "Expected quoted string starting with '«»'"},
  };
  for (const auto& [quote, message] : cases) {
    auto q = Ref<QuotedStringElement>::make(quote, nullptr, false, true);
    expect_match(*q, message, " x\"", 1, {});
    expect_match(*q, message, " x\"", 2, {});  // a quote at the end opens nothing
  }
}

}  // namespace
}  // namespace quernlet
