// Regex single-text bodies: the compiled pattern used directly. parse_string
// and matches run it anchored at one position; search_string,
// search_string_count and transform_string iterate its unanchored matches
// over the whole text.
#include <vector>

#include "elements/chars.hpp"
#include "elements/regex_run.hpp"
#include "elements/regex_scan.hpp"
#include "single_text/fast_paths.hpp"
#include "single_text/scans.hpp"

namespace quernlet::fast {

namespace {

// Calls `f(span)` for every match of the iteration over `s`. A class run
// scans in one linear pass; one RE2 search can run to the end of the text
// (a pattern whose longer alternative needs a byte that never comes), so
// that iteration ticks.
template <class F>
void for_each_match(const RegexElement& regex, std::string_view s, F&& f) {
  if (const ClassRun* run = regex.run()) return run->for_each(s, f);
  RegexMatchIterator it(regex.re(), regex.bounds(), s);
  InterruptPoll poll;
  for (MatchSpan m;;) {
    poll.tick();
    if (!it.next(m)) return;
    f(m);
  }
}

PyObject* regex_parse_string(PyObject* self, const Text& s) {
  const RegexElement& regex = payload_of<RegexElement>(self);
  const Pos p = advance_past_whitespace(s, 0);
  const std::int64_t len = utf8_match_length(regex, s, p);
  if (len < 0) return raise_value_error("Expected regex match");
  return list_of(text_slice(s, p, p + static_cast<Pos>(len))).release();
}

PyObject* regex_matches(PyObject* self, const Text& s) {
  const RegexElement& regex = payload_of<RegexElement>(self);
  const std::size_t n = s.size();
  const Pos p = advance_past_whitespace(s, 0);
  Pos end;
  switch (regex.mode()) {
    case RegexElement::kWhitespaceRun: {
      // The element's own match, out of line: its counted scan would cost
      // every other kind of pattern here the registers it needs.
      const MatchResult m = regex.try_match_at(s, p);
      if (!m.matched) return py_bool(false);
      end = m.end;
      break;
    }
    case RegexElement::kOneByteOfClass:
      if (p >= n || !regex.byte_set().has(static_cast<unsigned char>(s[p]))) return py_bool(false);
      end = p + 1;
      break;
    default: {
      const std::int64_t len = utf8_match_length(regex, s, p);
      if (len < 0) return py_bool(false);
      end = p + static_cast<Pos>(len);
      break;
    }
  }
  return py_bool(advance_past_whitespace(s, end) == n);
}

// Equal texts share one `str`; every match gets a list of its own. Items
// are made as the matches come, so no array of all spans is held beside
// the result (on a long text of short matches it would be a third of it).
PyObject* regex_search_string(PyObject* self, const Text& s) {
  return text_items_streamed(s, [&](auto&& on_span) {
    for_each_match(payload_of<RegexElement>(self), s,
                   [&](MatchSpan m) { on_span(m.start, m.end); });
  });
}

// The iteration is run here, not inside the engine, so that it ticks.
PyObject* regex_search_string_count(PyObject* self, const Text& s) {
  const RegexElement& regex = payload_of<RegexElement>(self);
  if (const ClassRun* run = regex.run()) return py_count(run->count(s));
  std::uint64_t count = 0;
  for_each_match(regex, s, [&count](MatchSpan) { ++count; });
  return py_count(count);
}

// The replacement is literal, and empty matches get it too.
PyObject* regex_transform_string(PyObject* self, const Text& s, const Text& replacement) {
  return replace_spans(s, replacement, [&](auto&& on_span) {
    for_each_match(payload_of<RegexElement>(self), s,
                   [&](MatchSpan m) { on_span(m.start, m.end); });
  });
}

}  // namespace

constexpr SingleTextMethods kRegex = {
    {&regex_parse_string,
     "parse_string($self, s)\n--\n\n"
     "Fast path \xE2\x80\x94 returns the match in a list directly"},
    {&regex_matches,
     "matches($self, s)\n--\n\n"
     "Zero-allocation match check \xE2\x80\x94 skips leading whitespace, requires full match"},
    {&regex_search_string,
     "search_string($self, s)\n--\n\n"
     "Optimized regex search \xE2\x80\x94 uses find_iter for SIMD-accelerated scanning"},
    {&regex_search_string_count,
     "search_string_count($self, s)\n--\n\n"
     "Count regex matches in text \xE2\x80\x94 uses find_iter for SIMD-accelerated search"},
    {&regex_transform_string,
     "transform_string($self, s, replacement)\n--\n\n"
     "Specialized: uses regex replace_all for efficient in-engine replacement."},
};

}  // namespace quernlet::fast
