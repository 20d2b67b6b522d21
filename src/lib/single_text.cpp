// The single-text methods of the 26 classes: parse_string, matches,
// search_string, search_string_count and transform_string (and
// Word._search_string_flat).
//
// Most bodies hand the class's kind to a generic driver of drivers.hpp;
// `matches` and `search_string_count` have a body per class: the whole-text
// or start rule over the kind's test, and the counting scan or a closed form
// that gives the same number without scanning.
#include <cstring>

#include <array>

#include "../elements/chars.hpp"
#include "../elements/forward.hpp"
#include "../elements/literals.hpp"
#include "../elements/positional.hpp"
#include "../elements/structure.hpp"
#include "drivers.hpp"
#include "fast_paths.hpp"
#include "operations.hpp"

namespace quernlet {

namespace {

// ---------------------------------------------------------------------------
// Docstrings.

constexpr const char* kParseDoc = "parse_string($self, s)\n--\n\n";
constexpr const char* kMatchesDoc = "matches($self, s)\n--\n\n";
constexpr const char* kMatchesFullTextDoc =
    "matches($self, s)\n--\n\n"
    "Zero-allocation match check \xE2\x80\x94 skips leading whitespace, requires full match";
constexpr const char* kSearchDoc = "search_string($self, s)\n--\n\n";
constexpr const char* kCountDoc = "search_string_count($self, s)\n--\n\n";
constexpr const char* kTransformDoc = "transform_string($self, s, replacement)\n--\n\n";

// ---------------------------------------------------------------------------
// Byte counting for the closed forms.

// Number of line-feed bytes, eight bytes per step (four words per block).
std::uint64_t count_line_feeds(std::string_view text) noexcept {
  constexpr std::uint64_t kLineFeeds = 0x0A0A0A0A0A0A0A0Aull;
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  // 1 in each byte of `w` that is a line feed, summed over the word. The
  // test is exact: no carry crosses a byte.
  auto in_word = [](std::uint64_t w) noexcept -> std::uint64_t {
    const std::uint64_t x = w ^ kLineFeeds;
    const std::uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);
    return ((zero >> 7) * kOnes) >> 56;
  };
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t count = 0;
  for (; n >= 32; p += 32, n -= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p, 32);
    count += in_word(w[0]) + in_word(w[1]) + in_word(w[2]) + in_word(w[3]);
  }
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    count += in_word(w);
  }
  for (; n != 0; --n, ++p) count += *p == '\n';
  return count;
}

// Char's count: the member characters of the text. Characters are matched
// whole, so with only one-byte members the byte table decides alone (bytes
// 0x80 and above are never one-byte members); otherwise the text is walked
// character by character.
std::uint64_t count_char_members(const CharElement& kind, std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  if (kind.ascii_only()) {
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      a += kind.byte_member(p[i]);
      b += kind.byte_member(p[i + 1]);
      c += kind.byte_member(p[i + 2]);
      d += kind.byte_member(p[i + 3]);
    }
    for (; i < n; ++i) a += kind.byte_member(p[i]);
    return a + b + c + d;
  }
  std::uint64_t count = 0;
  for (Pos pos = 0; pos < n;) {
    const unsigned len = kind.match_len_at(text, pos);
    if (len != 0) {
      ++count;
      pos += len;
    } else {
      pos = next_char_boundary(text, pos + 1);
    }
  }
  return count;
}

// rest_of_line's count: each line feed is an empty match and each maximal
// run of other bytes one match.
std::uint64_t count_rest_of_line(std::string_view text) noexcept {
  const char* const base = text.data();
  const std::size_t n = text.size();
  std::uint64_t count = 0;
  for (std::size_t p = 0; p < n;) {
    const void* hit = std::memchr(base + p, '\n', n - p);
    if (!hit) return count + 1;
    const std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    count += (lf > p ? 1 : 0) + 1;
    p = lf + 1;
  }
  return count;
}

// SkipTo's count. The match at p ends at the first boundary q >= p where the
// target matches; that q stays the answer for every later start up to q, so
// the target is tried at each position at most once (the plain scan would
// search afresh from every start). No target match from p means none from
// any later start either.
std::uint64_t count_skip_to(const SkipToElement& kind, std::string_view text) {
  const Element& target = kind.expr();
  const Pos n = text.size();
  std::uint64_t count = 0;
  bool known = false;  // `next` holds the first target match at or after the last search start
  Pos next = 0;
  for (Pos p = 0; p < n;) {
    if (!is_char_boundary(text, p)) {  // SkipTo never starts inside a character
      ++p;
      continue;
    }
    if (!known || next < p) {
      Pos q = p;
      for (;; ++q) {
        if (is_char_boundary(text, q) && target.try_match_at(text, q).matched) break;
        if (q == n) return count;
      }
      next = q;
      known = true;
    }
    ++count;
    p = std::max(p + 1, next);
  }
  return count;
}

// ---------------------------------------------------------------------------
// Generic bodies.

template <class Kind>
PyObject* parse_string_body(PyObject* self, std::string_view s) {
  return parse_string_generic(payload_of<Kind>(self), s);
}

template <class Kind>
PyObject* search_string_body(PyObject* self, std::string_view s) {
  return search_string_generic(payload_of<Kind>(self), s);
}

template <class Kind>
PyObject* transform_string_body(PyObject* self, std::string_view s, std::string_view replacement) {
  return transform_string_generic(payload_of<Kind>(self), s, replacement);
}

// matches by the whole-text rule over the kind's own test.
template <class Kind>
PyObject* matches_whole_text(PyObject* self, std::string_view s) {
  return py_bool(whole_text_rule(s, try_match_of(payload_of<Kind>(self))));
}

// matches by the start rule over the kind's own test.
template <class Kind>
PyObject* matches_start(PyObject* self, std::string_view s) {
  return py_bool(start_rule(s, try_match_of(payload_of<Kind>(self))));
}

template <bool Answer>
PyObject* matches_constant(PyObject*, std::string_view) {
  return py_bool(Answer);
}

// search_string_count by the counting scan over the kind's own test.
template <class Kind>
PyObject* count_scan_body(PyObject* self, std::string_view s) {
  return PyLong_FromUnsignedLongLong(count_scan(s, try_match_of(payload_of<Kind>(self))));
}

PyObject* py_count(std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); }

// ---------------------------------------------------------------------------
// Class-specific bodies.

// The literal kinds' tests, inlined from their headers.
template <class Kind>
auto literal_test(const Kind& kind, std::size_t length) noexcept {
  return [&kind, length](std::string_view text, Pos pos) {
    return kind.matches_at(text, pos) ? matched_at(pos + length) : kNoMatch;
  };
}

PyObject* caseless_literal_count(PyObject* self, std::string_view s) {
  const auto& kind = payload_of<CaselessLiteralElement>(self);
  return py_count(count_scan(s, literal_test(kind, kind.lowered().size())));
}
PyObject* caseless_keyword_count(PyObject* self, std::string_view s) {
  const auto& kind = payload_of<CaselessKeywordElement>(self);
  return py_count(count_scan(s, literal_test(kind, kind.match_len())));
}
PyObject* caseless_literal_matches(PyObject* self, std::string_view s) {
  return py_bool(payload_of<CaselessLiteralElement>(self).matches_at(s, 0));
}
PyObject* caseless_keyword_matches(PyObject* self, std::string_view s) {
  return py_bool(payload_of<CaselessKeywordElement>(self).matches_at(s, 0));
}

// Char matches whole characters: one of its member characters at 0.
PyObject* char_matches(PyObject* self, std::string_view s) {
  return py_bool(!s.empty() && payload_of<CharElement>(self).match_len_at(s, 0) != 0);
}
PyObject* char_count(PyObject* self, std::string_view s) {
  return py_count(count_char_members(payload_of<CharElement>(self), s));
}

// OneOrMore: only the first repetition decides (after the child's
// whitespace skip); further repetitions cannot change the answer.
PyObject* one_or_more_matches(PyObject* self, std::string_view s) {
  const Element& child = payload_of<OneOrMoreElement>(self).expr();
  return py_bool(child.try_match_at(s, skip_before(s, child, 0)).matched);
}

// Group and Suppress test exactly their child.
template <class Kind>
PyObject* wrapper_matches(PyObject* self, std::string_view s) {
  return py_bool(whole_text_rule(s, try_match_of(payload_of<Kind>(self).expr())));
}
template <class Kind>
PyObject* wrapper_count(PyObject* self, std::string_view s) {
  return py_count(count_scan(s, try_match_of(payload_of<Kind>(self).expr())));
}

PyObject* match_first_count(PyObject* self, std::string_view s) {
  if (payload_of<MatchFirstElement>(self).exprs().empty()) return py_count(0);
  return count_scan_body<MatchFirstElement>(self, s);
}

PyObject* exactly_count(PyObject* self, std::string_view s) {
  // Zero repetitions match (emptily) at every position.
  if (payload_of<ExactlyElement>(self).count() == 0) return py_count(s.size());
  return count_scan_body<ExactlyElement>(self, s);
}

PyObject* skip_to_count(PyObject* self, std::string_view s) {
  return py_count(count_skip_to(payload_of<SkipToElement>(self), s));
}

PyObject* line_end_matches(PyObject*, std::string_view s) {
  return py_bool(s.empty() || s[0] == '\n');
}
PyObject* string_end_matches(PyObject*, std::string_view s) { return py_bool(s.empty()); }

PyObject* line_start_count(PyObject*, std::string_view s) {
  // A line feed in the last byte starts no line that the scan reaches.
  if (s.size() < 2) return py_count(s.size());
  return py_count(1 + count_line_feeds(s.substr(0, s.size() - 1)));
}
PyObject* line_end_count(PyObject*, std::string_view s) { return py_count(count_line_feeds(s)); }
PyObject* string_start_count(PyObject*, std::string_view s) { return py_count(s.empty() ? 0 : 1); }
PyObject* zero_count(PyObject*, std::string_view) { return py_count(0); }
PyObject* empty_count(PyObject*, std::string_view s) { return py_count(s.size()); }
PyObject* rest_of_line_count(PyObject*, std::string_view s) {
  return py_count(count_rest_of_line(s));
}

// MatchFirst.parse_string: the first alternative that parses after the
// leading whitespace; one fixed message when none does.
PyObject* match_first_parse_string(PyObject* self, std::string_view s) {
  const Pos start = advance_past_whitespace(s, 0);
  ParseContext ctx{s, true};
  for (const ElementHandle& alternative : payload_of<MatchFirstElement>(self).exprs()) {
    ParseOutcome out = alternative->parse_impl(ctx, start);
    if (out.ok()) return results_to_list(out.tokens()).release();
    if (out.too_deep()) return raise_too_deep();
  }
  return raise_value_error("No match found");
}

// Suppress.parse_string: only the child's match test, after the leading
// whitespace.
PyObject* suppress_parse_string(PyObject* self, std::string_view s) {
  const Pos start = advance_past_whitespace(s, 0);
  if (payload_of<SuppressElement>(self).expr().try_match_at(s, start).matched)
    return new_empty_list();
  return raise_value_error("No match (suppressed)");
}

// Optional.parse_string: the generic parse only when the child matches a
// non-empty text where the parse starts (after the leading whitespace).
PyObject* optional_parse_string(PyObject* self, std::string_view s) {
  const OptionalElement& kind = payload_of<OptionalElement>(self);
  const Pos start = advance_past_whitespace(s, 0);
  const MatchResult m = kind.expr().try_match_at(s, start);
  if (!m.matched || m.end <= start) return new_empty_list();
  return parse_string_generic(kind, s);
}

// ---------------------------------------------------------------------------
// Routing.

// A class on the generic parse/search/transform drivers with its own
// matches and count bodies.
template <class Kind>
constexpr SingleTextMethods routed(TextBody matches, const char* matches_doc, TextBody count,
                                   TextBody parse = &parse_string_body<Kind>) {
  return SingleTextMethods{
      {parse, kParseDoc},
      {matches, matches_doc},
      {&search_string_body<Kind>, kSearchDoc},
      {count, kCountDoc},
      {&transform_string_body<Kind>, kTransformDoc},
  };
}

}  // namespace

const SingleTextMethods& single_text_methods(Cls c) noexcept {
  // Literal, Keyword, Word, Regex and And take their class-specific bodies
  // from fast_paths.hpp, and the generic ones here where they have none.
  static constexpr SingleTextMethods kLiteral = {
      fast::kLiteralParseString,
      {&matches_whole_text<LiteralElement>, kMatchesFullTextDoc},
      fast::kLiteralSearchString,
      fast::kLiteralSearchStringCount,
      fast::kLiteralTransformString};
  static constexpr SingleTextMethods kKeyword = {
      fast::kKeywordParseString,
      {&matches_whole_text<KeywordElement>, kMatchesDoc},
      fast::kKeywordSearchString,
      fast::kKeywordSearchStringCount,
      {&transform_string_body<KeywordElement>, kTransformDoc}};
  static constexpr SingleTextMethods kWord = {fast::kWordParseString, fast::kWordMatches,
                                              fast::kWordSearchString, fast::kWordSearchStringCount,
                                              fast::kWordTransformString};
  static constexpr SingleTextMethods kRegex = {
      fast::kRegexParseString, fast::kRegexMatches, fast::kRegexSearchString,
      fast::kRegexSearchStringCount, fast::kRegexTransformString};
  static constexpr SingleTextMethods kAnd = {fast::kAndParseString,
                                             fast::kAndMatches,
                                             fast::kAndSearchString,
                                             fast::kAndSearchStringCount,
                                             {&transform_string_body<AndElement>, kTransformDoc}};
  static constexpr SingleTextMethods kMatchFirst =
      routed<MatchFirstElement>(&matches_whole_text<MatchFirstElement>, kMatchesDoc,
                                &match_first_count, &match_first_parse_string);
  static constexpr SingleTextMethods kZeroOrMore = routed<ZeroOrMoreElement>(
      &matches_constant<true>, kMatchesDoc, &count_scan_body<ZeroOrMoreElement>);
  static constexpr SingleTextMethods kOneOrMore = routed<OneOrMoreElement>(
      &one_or_more_matches, kMatchesDoc, &count_scan_body<OneOrMoreElement>);
  static constexpr SingleTextMethods kOptional =
      routed<OptionalElement>(&matches_whole_text<OptionalElement>, kMatchesDoc,
                              &count_scan_body<OptionalElement>, &optional_parse_string);
  static constexpr SingleTextMethods kGroup = routed<GroupElement>(
      &wrapper_matches<GroupElement>, kMatchesDoc, &wrapper_count<GroupElement>);
  static constexpr SingleTextMethods kSuppress =
      routed<SuppressElement>(&wrapper_matches<SuppressElement>, kMatchesDoc,
                              &wrapper_count<SuppressElement>, &suppress_parse_string);
  static constexpr SingleTextMethods kForward = routed<ForwardElement>(
      &matches_whole_text<ForwardElement>, kMatchesDoc, &count_scan_body<ForwardElement>);
  static constexpr SingleTextMethods kCombine = routed<CombineElement>(
      &matches_start<CombineElement>, kMatchesDoc, &count_scan_body<CombineElement>);
  static constexpr SingleTextMethods kExactly =
      routed<ExactlyElement>(&matches_whole_text<ExactlyElement>, kMatchesDoc, &exactly_count);
  static constexpr SingleTextMethods kCaselessLiteral = routed<CaselessLiteralElement>(
      &caseless_literal_matches, kMatchesDoc, &caseless_literal_count);
  static constexpr SingleTextMethods kCaselessKeyword = routed<CaselessKeywordElement>(
      &caseless_keyword_matches, kMatchesDoc, &caseless_keyword_count);
  static constexpr SingleTextMethods kChar =
      routed<CharElement>(&char_matches, kMatchesDoc, &char_count);
  static constexpr SingleTextMethods kStringStart =
      routed<StringStartElement>(&matches_constant<true>, kMatchesDoc, &string_start_count);
  static constexpr SingleTextMethods kStringEnd =
      routed<StringEndElement>(&string_end_matches, kMatchesDoc, &zero_count);
  static constexpr SingleTextMethods kLineStart =
      routed<LineStartElement>(&matches_constant<true>, kMatchesDoc, &line_start_count);
  static constexpr SingleTextMethods kLineEnd =
      routed<LineEndElement>(&line_end_matches, kMatchesDoc, &line_end_count);
  static constexpr SingleTextMethods kRestOfLine =
      routed<RestOfLineElement>(&matches_constant<true>, kMatchesDoc, &rest_of_line_count);
  static constexpr SingleTextMethods kQuotedString = routed<QuotedStringElement>(
      &matches_whole_text<QuotedStringElement>, kMatchesDoc, &count_scan_body<QuotedStringElement>);
  static constexpr SingleTextMethods kEmpty =
      routed<EmptyElement>(&matches_constant<true>, kMatchesDoc, &empty_count);
  static constexpr SingleTextMethods kNoMatch =
      routed<NoMatchElement>(&matches_constant<false>, kMatchesDoc, &zero_count);
  static constexpr SingleTextMethods kSkipTo =
      routed<SkipToElement>(&matches_start<SkipToElement>, kMatchesDoc, &skip_to_count);

  // In the order of `Cls`.
  static constexpr std::array<const SingleTextMethods*, kClassCount> kByClass = {
      &kLiteral,         &kKeyword,    &kWord,         &kRegex,     &kAnd,
      &kMatchFirst,      &kZeroOrMore, &kOneOrMore,    &kOptional,  &kGroup,
      &kSuppress,        &kForward,    &kCombine,      &kExactly,   &kCaselessLiteral,
      &kCaselessKeyword, &kChar,       &kStringStart,  &kStringEnd, &kLineStart,
      &kLineEnd,         &kRestOfLine, &kQuotedString, &kEmpty,     &kNoMatch,
      &kSkipTo,
  };
  return *kByClass[index_of(c)];
}

const Method<TextBody>& word_search_string_flat() noexcept { return fast::kWordSearchStringFlat; }

}  // namespace quernlet
