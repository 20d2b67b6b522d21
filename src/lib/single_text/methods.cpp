// The single-text methods of the 26 classes: parse_string, matches,
// search_string, search_string_count and transform_string (and
// Word._search_string_flat).
//
// Literal, Keyword, Word, Regex and And have tables of their own
// (fast_paths.hpp). Every other class hands its kind to the generic drivers
// of single_text/scans.hpp for parse_string, search_string and transform_string (with
// three small specialised parse_string bodies), and has its own `matches`
// and `search_string_count`: the whole-text or start rule over the kind's
// test, and the counting scan or a closed form that gives the same number
// without scanning.
#include <array>
#include <cstring>

#include "elements/chars.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/positional.hpp"
#include "elements/structure.hpp"
#include "module/operations.hpp"
#include "single_text/fast_paths.hpp"
#include "single_text/scans.hpp"

namespace quernlet {

namespace {

// ---------------------------------------------------------------------------
// Closed forms and shortcuts of search_string_count.

// Number of line-feed bytes.
std::uint64_t count_line_feeds(std::string_view text) noexcept {
  // 1 in each byte of `w` that is a line feed, summed over the word. The
  // test is exact: no carry crosses a byte.
  constexpr auto in_word = [](std::uint64_t count, std::uint64_t w) noexcept {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    const std::uint64_t x = w ^ 0x0A0A0A0A0A0A0A0Aull;
    const std::uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);
    return count + (((zero >> 7) * 0x0101010101010101ull) >> 56);
  };
  return fold_bytes(text, std::uint64_t{0}, in_word,
                    [](std::uint64_t count, unsigned char b) { return count + (b == '\n'); });
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
// any later start either. The search answers interrupts itself.
std::uint64_t count_skip_to(const SkipToElement& kind, std::string_view text) {
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
      next = kind.next_target(text, p, n + 1);
      if (next == kNoTarget) return count;
      known = true;
    }
    ++count;
    p = std::max(p + 1, next);
  }
  return count;
}

// ---------------------------------------------------------------------------
// Generic bodies (beside those of single_text/scans.hpp).

// matches by the start rule over the kind's own test.
template <class Kind>
PyObject* matches_start(PyObject* self, const Text& s) {
  return py_bool(start_rule(s, try_match_of(payload_of<Kind>(self))));
}

template <bool Answer>
PyObject* matches_constant(PyObject*, const Text&) {
  return py_bool(Answer);
}

// search_string_count by the counting scan over the kind's own test.
template <class Kind>
PyObject* count_scan_body(PyObject* self, const Text& s) {
  return py_count(count_matches(payload_of<Kind>(self), s));
}

// ---------------------------------------------------------------------------
// Class-specific bodies.

// The literal kinds' tests, inlined from their headers.
template <class Kind>
auto literal_test(const Kind& kind, std::size_t length) noexcept {
  return [&kind, length](std::string_view text, Pos pos) {
    return kind.matches_at(text, pos) ? matched_at(pos + length) : kNoMatch;
  };
}

PyObject* caseless_literal_count(PyObject* self, const Text& s) {
  const auto& kind = payload_of<CaselessLiteralElement>(self);
  return py_count(count_scan(s, kind.start_bytes(), literal_test(kind, kind.lowered().size())));
}
PyObject* caseless_keyword_count(PyObject* self, const Text& s) {
  const auto& kind = payload_of<CaselessKeywordElement>(self);
  return py_count(count_scan(s, kind.start_bytes(), literal_test(kind, kind.match_len())));
}
PyObject* caseless_literal_matches(PyObject* self, const Text& s) {
  return py_bool(payload_of<CaselessLiteralElement>(self).matches_at(s, 0));
}
PyObject* caseless_keyword_matches(PyObject* self, const Text& s) {
  return py_bool(payload_of<CaselessKeywordElement>(self).matches_at(s, 0));
}

// Char matches whole characters: one of its member characters at 0.
PyObject* char_matches(PyObject* self, const Text& s) {
  return py_bool(!s.empty() && payload_of<CharElement>(self).match_len_at(s, 0) != 0);
}
PyObject* char_count(PyObject* self, const Text& s) {
  return py_count(count_char_members(payload_of<CharElement>(self), s));
}

// OneOrMore: only the first repetition decides (after the child's
// whitespace skip); further repetitions cannot change the answer.
PyObject* one_or_more_matches(PyObject* self, const Text& s) {
  const Element& child = payload_of<OneOrMoreElement>(self).expr();
  return py_bool(child.try_match_at(s, skip_before(s, child, 0)).matched);
}

// Group and Suppress test exactly their child.
template <class Kind>
PyObject* wrapper_matches(PyObject* self, const Text& s) {
  return py_bool(whole_text_rule(s, try_match_of(payload_of<Kind>(self).expr())));
}
template <class Kind>
PyObject* wrapper_count(PyObject* self, const Text& s) {
  return py_count(count_matches(payload_of<Kind>(self).expr(), s));
}

PyObject* match_first_count(PyObject* self, const Text& s) {
  if (payload_of<MatchFirstElement>(self).exprs().empty()) return py_count(0);
  return count_scan_body<MatchFirstElement>(self, s);
}

PyObject* exactly_count(PyObject* self, const Text& s) {
  // Zero repetitions match (emptily) at every position.
  if (payload_of<ExactlyElement>(self).count() == 0) return py_count(s.size());
  return count_scan_body<ExactlyElement>(self, s);
}

PyObject* skip_to_count(PyObject* self, const Text& s) {
  return py_count(count_skip_to(payload_of<SkipToElement>(self), s));
}

PyObject* line_end_matches(PyObject*, const Text& s) { return py_bool(s.empty() || s[0] == '\n'); }
PyObject* string_end_matches(PyObject*, const Text& s) { return py_bool(s.empty()); }

PyObject* line_start_count(PyObject*, const Text& s) {
  // A line feed in the last byte starts no line that the scan reaches.
  if (s.size() < 2) return py_count(s.size());
  return py_count(1 + count_line_feeds(s.substr(0, s.size() - 1)));
}
PyObject* line_end_count(PyObject*, const Text& s) { return py_count(count_line_feeds(s)); }
PyObject* string_start_count(PyObject*, const Text& s) { return py_count(s.empty() ? 0 : 1); }
PyObject* zero_count(PyObject*, const Text&) { return py_count(0); }
PyObject* empty_count(PyObject*, const Text& s) { return py_count(s.size()); }
PyObject* rest_of_line_count(PyObject*, const Text& s) { return py_count(count_rest_of_line(s)); }

// MatchFirst.parse_string: the first alternative that parses after the
// leading whitespace; one fixed message when none does.
PyObject* match_first_parse_string(PyObject* self, const Text& s) {
  const Pos start = advance_past_whitespace(s, 0);
  ParseContext ctx{s, true};
  InterruptPoll poll;
  for (const ElementHandle& alternative : payload_of<MatchFirstElement>(self).exprs()) {
    poll.tick();
    if (!alternative->start_bytes().may_match_at(s, start)) continue;
    ParseOutcome out = alternative->parse_impl(ctx, start);
    if (out.ok()) return results_to_list(out.tokens(), s).release();
    if (out.too_deep()) return raise_too_deep();
  }
  return raise_value_error("No match found");
}

// Suppress.parse_string: only the child's match test, after the leading
// whitespace.
PyObject* suppress_parse_string(PyObject* self, const Text& s) {
  const Pos start = advance_past_whitespace(s, 0);
  if (payload_of<SuppressElement>(self).expr().try_match_at(s, start).matched)
    return new_empty_list();
  return raise_value_error("No match (suppressed)");
}

// Optional.parse_string: the generic parse only when the child matches a
// non-empty text where the parse starts (after the leading whitespace).
PyObject* optional_parse_string(PyObject* self, const Text& s) {
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
constexpr SingleTextMethods routed(TextBody matches, TextBody count,
                                   TextBody parse = &parse_string_body<Kind>) {
  return SingleTextMethods{
      {parse, kParseStringDoc},
      {matches, kMatchesDoc},
      {&search_string_body<Kind>, kSearchStringDoc},
      {count, kSearchStringCountDoc},
      kGenericTransform<Kind>,
  };
}

}  // namespace

const SingleTextMethods& single_text_methods(Cls c) noexcept {
  static constexpr SingleTextMethods kMatchFirst = routed<MatchFirstElement>(
      &matches_whole_text<MatchFirstElement>, &match_first_count, &match_first_parse_string);
  static constexpr SingleTextMethods kZeroOrMore =
      routed<ZeroOrMoreElement>(&matches_constant<true>, &count_scan_body<ZeroOrMoreElement>);
  static constexpr SingleTextMethods kOneOrMore =
      routed<OneOrMoreElement>(&one_or_more_matches, &count_scan_body<OneOrMoreElement>);
  static constexpr SingleTextMethods kOptional =
      routed<OptionalElement>(&matches_whole_text<OptionalElement>,
                              &count_scan_body<OptionalElement>, &optional_parse_string);
  static constexpr SingleTextMethods kGroup =
      routed<GroupElement>(&wrapper_matches<GroupElement>, &wrapper_count<GroupElement>);
  static constexpr SingleTextMethods kSuppress = routed<SuppressElement>(
      &wrapper_matches<SuppressElement>, &wrapper_count<SuppressElement>, &suppress_parse_string);
  static constexpr SingleTextMethods kForward =
      routed<ForwardElement>(&matches_whole_text<ForwardElement>, &count_scan_body<ForwardElement>);
  static constexpr SingleTextMethods kCombine =
      routed<CombineElement>(&matches_start<CombineElement>, &count_scan_body<CombineElement>);
  static constexpr SingleTextMethods kExactly =
      routed<ExactlyElement>(&matches_whole_text<ExactlyElement>, &exactly_count);
  static constexpr SingleTextMethods kCaselessLiteral =
      routed<CaselessLiteralElement>(&caseless_literal_matches, &caseless_literal_count);
  static constexpr SingleTextMethods kCaselessKeyword =
      routed<CaselessKeywordElement>(&caseless_keyword_matches, &caseless_keyword_count);
  static constexpr SingleTextMethods kChar = routed<CharElement>(&char_matches, &char_count);
  static constexpr SingleTextMethods kStringStart =
      routed<StringStartElement>(&matches_constant<true>, &string_start_count);
  static constexpr SingleTextMethods kStringEnd =
      routed<StringEndElement>(&string_end_matches, &zero_count);
  static constexpr SingleTextMethods kLineStart =
      routed<LineStartElement>(&matches_constant<true>, &line_start_count);
  static constexpr SingleTextMethods kLineEnd =
      routed<LineEndElement>(&line_end_matches, &line_end_count);
  static constexpr SingleTextMethods kRestOfLine =
      routed<RestOfLineElement>(&matches_constant<true>, &rest_of_line_count);
  static constexpr SingleTextMethods kQuotedString = routed<QuotedStringElement>(
      &matches_whole_text<QuotedStringElement>, &count_scan_body<QuotedStringElement>);
  static constexpr SingleTextMethods kEmpty =
      routed<EmptyElement>(&matches_constant<true>, &empty_count);
  static constexpr SingleTextMethods kNoMatch =
      routed<NoMatchElement>(&matches_constant<false>, &zero_count);
  static constexpr SingleTextMethods kSkipTo =
      routed<SkipToElement>(&matches_start<SkipToElement>, &skip_to_count);

  // In the order of `Cls`.
  static constexpr std::array<const SingleTextMethods*, kClassCount> kByClass = {
      &fast::kLiteral,   &fast::kKeyword, &fast::kWord,   &fast::kRegex, &fast::kAnd,
      &kMatchFirst,      &kZeroOrMore,    &kOneOrMore,    &kOptional,    &kGroup,
      &kSuppress,        &kForward,       &kCombine,      &kExactly,     &kCaselessLiteral,
      &kCaselessKeyword, &kChar,          &kStringStart,  &kStringEnd,   &kLineStart,
      &kLineEnd,         &kRestOfLine,    &kQuotedString, &kEmpty,       &kNoMatch,
      &kSkipTo,
  };
  return *kByClass[index_of(c)];
}

const Method<TextBody>& word_search_string_flat() noexcept { return fast::kWordSearchStringFlat; }

}  // namespace quernlet
