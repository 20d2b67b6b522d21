// The scans over one text behind parse_string / search_string /
// transform_string / search_string_count / matches, the results built from
// their match spans, and the generic single-text drivers and method bodies.
//
// Drivers are templates over the element kind (or over a match test), so a
// class's calls are direct calls on a `final` kind and can inline.
//
// Long scans poll for signals (module/interrupt.hpp) once per stride of
// positions, and loops that build results once per so many items made, so
// that Ctrl-C ends them; the engine counts the work within each attempt.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "elements/element.hpp"
#include "elements/start_scan.hpp"
#include "elements/word_scan.hpp"  // MatchSpan, the span of every scan
#include "module/interrupt.hpp"
#include "module/objects.hpp"
#include "module/operations.hpp"
#include "module/py.hpp"
#include "single_text/text.hpp"
#include "single_text/tokens.hpp"

namespace quernlet {

// ---------------------------------------------------------------------------
// Small helpers.

// A match test: `MatchResult(std::string_view text, Pos pos)`.
template <class Kind>
auto try_match_of(const Kind& kind) noexcept {
  return [&kind](std::string_view text, Pos pos) { return kind.try_match_at(text, pos); };
}

// Folds the bytes of `text` into `acc`: `word(acc, w)` for each eight-byte
// word (four words per step while 32 bytes remain, so the loads and the
// per-word work overlap), then `byte(acc, b)` for the last bytes.
template <class T, class Word, class Byte>
T fold_bytes(std::string_view text, T acc, Word&& word, Byte&& byte) noexcept {
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 32; p += 32, n -= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p, 32);
    acc = word(word(word(word(acc, w[0]), w[1]), w[2]), w[3]);
  }
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    acc = word(acc, w);
  }
  for (; n != 0; --n, ++p) acc = byte(acc, static_cast<unsigned char>(*p));
  return acc;
}

// ---------------------------------------------------------------------------
// Scans over one text.

// Calls `on_match(start, end)` for every non-empty match of the scan that
// search_string and transform_string share: leftmost first, never
// overlapping, resuming at a match's end and one position further after a
// failed or empty attempt. Only character boundaries are tried, so no span
// starts inside a character; a kind started on a boundary ends on one.
// `starts` are the test's starts: positions whose byte cannot start a
// non-empty match are passed over untried (they could only fail or match
// empty), which gives the same matches.
template <class Test, class OnMatch>
void scan_matches(std::string_view text, const StartBytes& starts, Test&& test,
                  OnMatch&& on_match) {
  const Pos n = text.size();
  const StartFinder boundaries(starts, true);
  for (Pos pos = 0;;) {
    for (const Pos stop = InterruptPoll::stride_end(pos, n); pos < stop;) {
      // Position 0 and a match's end are tried whatever their byte is;
      // after them only boundaries are, which `boundaries` alone finds.
      if (!starts.has(static_cast<unsigned char>(text[pos]))) {
        pos = boundaries.next(text, pos + 1);
        continue;
      }
      const MatchResult m = test(text, pos);
      if (m.matched && m.end > pos) {
        on_match(pos, m.end);
        pos = m.end;
      } else {
        pos = boundaries.next(text, pos + 1);
      }
    }
    if (pos >= n) return;
    run_signal_handlers();
  }
}

template <class Test>
std::vector<MatchSpan> collect_spans(std::string_view text, const StartBytes& starts, Test&& test) {
  std::vector<MatchSpan> spans;
  scan_matches(text, starts, test, [&spans](Pos start, Pos end) { spans.push_back({start, end}); });
  return spans;
}

// The counting scan: every byte position below the length is a candidate;
// a match (empty ones included) counts and the scan resumes at the larger
// of its end and the next byte. Allocates nothing beyond what `test` does.
// `starts` are the test's starts: when it cannot match empty, positions
// whose byte starts no match are passed over untried.
template <class Test>
std::uint64_t count_scan(std::string_view text, const StartBytes& starts, Test&& test) {
  const Pos n = text.size();
  std::uint64_t count = 0;
  // An element that can match empty may match anywhere.
  const bool skip = !starts.can_be_empty() && !starts.every_byte();
  const StartFinder candidates(starts, false);
  const auto next = [&](Pos p) { return skip ? candidates.next(text, p) : p; };
  for (Pos p = next(0);;) {
    for (const Pos stop = InterruptPoll::stride_end(p, n); p < stop; p = next(p)) {
      const MatchResult m = test(text, p);
      if (m.matched) {
        ++count;
        p = std::max(p + 1, m.end);
      } else {
        ++p;
      }
    }
    if (p >= n) return count;
    run_signal_handlers();
  }
}

// The counting scan over `kind`'s own test.
template <class Kind>
std::uint64_t count_matches(const Kind& kind, std::string_view text) {
  return count_scan(text, kind.start_bytes(), try_match_of(kind));
}

// `matches`, whole-text rule: skip leading whitespace, one test there, then
// only whitespace may follow the match.
template <class Test>
bool whole_text_rule(std::string_view text, Test&& test) {
  const MatchResult m = test(text, advance_past_whitespace(text, 0));
  return m.matched && advance_past_whitespace(text, m.end) == text.size();
}

// `matches`, start rule: one test at 0; whatever follows the match is
// ignored.
template <class Test>
bool start_rule(std::string_view text, Test&& test) {
  return test(text, Pos{0}).matched;
}

// ---------------------------------------------------------------------------
// Building results from spans.

// search_string's item for each matched text, asked in the order of the
// text: a new one-item list holding the text, equal texts sharing one `str`,
// which is copied from the text's own storage. The items made count towards
// the interrupt poll, so that a search with many results answers signals
// while it builds them.
class TextItemMaker {
 public:
  explicit TextItemMaker(const Text& text) noexcept : text_(text), offsets_(text) {}

  py::Object item(Pos start, Pos end) {
    poll_.tick();
    return list_of(texts_.get_or_insert(text_.substr(start, end - start),
                                        [&] { return text_slice(text_, offsets_, start, end); }));
  }

 private:
  const Text& text_;
  TokenTextMap texts_;
  CharOffsets offsets_;
  InterruptPoll poll_;
};

// search_string's items for matched texts, one per span. Handlers may run
// while the items are made, so the result is a ListBuilder until full.
inline PyObject* text_items(const Text& text, std::span<const MatchSpan> spans) {
  py::ListBuilder result(spans.size());
  if (!result) return nullptr;
  const py::GcPause pause;
  TextItemMaker items(text);
  for (std::size_t i = 0; i < spans.size(); ++i) {
    py::Object item = items.item(spans[i].start, spans[i].end);
    if (!item) return nullptr;
    result.push(item.release());
  }
  return result.finish().release();
}

// The same, for spans that `scan(on_span)` reports in order, made as they
// come: no array of all spans is kept beside the result.
template <class Scan>
PyObject* text_items_streamed(const Text& text, Scan&& scan) {
  py::Object result = py::Object::steal(PyList_New(0));
  if (!result) return nullptr;
  const py::GcPause pause;
  TextItemMaker items(text);
  bool failed = false;
  scan([&](Pos start, Pos end) {
    if (failed) return;
    py::Object item = items.item(start, end);
    failed = !item || PyList_Append(result.get(), item.get()) != 0;
  });
  return failed ? nullptr : result.release();
}

// search_string's items for parsed tokens: per span the tokens of `kind`'s
// parse at the span's start (no whitespace skipped before the element
// itself). A parse that fails where the match test succeeded gives an empty
// item, not an error. The result list is made once every parse has run:
// signal handlers and finalizers may run within a parse, and must find no
// list with empty slots among the collector's objects.
template <class Kind>
PyObject* parsed_items(const Kind& kind, const Text& text, std::span<const MatchSpan> spans) {
  std::vector<py::Object> items;
  items.reserve(spans.size());
  ParseContext ctx{text, true};
  TokenStrs strs(text);
  InterruptPoll poll;
  for (const MatchSpan& span : spans) {
    poll.tick();
    ParseOutcome out = kind.parse_impl(ctx, span.start);
    items.push_back(out.ok() ? results_to_list(out.tokens(), strs)
                             : py::Object::steal(PyList_New(0)));
    if (!items.back()) return nullptr;
  }
  return list_taking(items).release();
}

// transform_string's output: the text with the spans given to `replace`
// (in order, never overlapping) replaced by `replacement`, taken literally.
// ASCII with ASCII is assembled as bytes (which are then the characters);
// anything else is copied from the two `str`s' storage.
class ReplacedText {
 public:
  ReplacedText(const Text& text, const Text& replacement)
      : text_(text), replacement_(replacement), bytes_(text.ascii() && replacement.ascii()) {
    if (bytes_) out_.reserve(text.size());
  }

  // False with an exception set when the output cannot be made. The spans
  // replaced count towards the interrupt poll.
  bool replace(Pos start, Pos end) {
    poll_.tick();
    if (!bytes_) return chars_.replace(start, end);
    out_.append(text_.data() + last_, start - last_);
    out_.append(replacement_);
    last_ = end;
    return true;
  }

  // The result as a new `str`.
  PyObject* finish() {
    if (!bytes_) return chars_.finish();
    out_.append(text_.data() + last_, text_.size() - last_);
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(out_.size()), 127);
    if (str) std::memcpy(PyUnicode_1BYTE_DATA(str), out_.data(), out_.size());
    return str;
  }

 private:
  const Text& text_;
  const Text& replacement_;
  const bool bytes_;
  std::string out_;
  Pos last_ = 0;  // end of the text already handled
  StrReplacer chars_{text_, replacement_};
  InterruptPoll poll_;
};

// Replaces every span that `scan(on_span)` reports, in order; stops at the
// first span the output cannot take.
template <class Scan>
PyObject* replace_spans(const Text& text, const Text& replacement, Scan&& scan) {
  ReplacedText out(text, replacement);
  bool failed = false;
  scan([&](Pos start, Pos end) { failed = failed || !out.replace(start, end); });
  return failed ? nullptr : out.finish();
}

// ---------------------------------------------------------------------------
// Generic single-text drivers.

template <class Kind>
PyObject* parse_string_generic(const Kind& kind, const Text& text) {
  ParseOutcome out = kind.parse_from_start(text);
  if (!out.ok()) return raise_parse_failure(out);
  return results_to_list(out.tokens(), text).release();
}

// The scan over `test` (the kind's own match test, or one inlined from it);
// the items are the matched texts for a Normal kind, else the tokens of a
// parse at each match.
template <class Kind, class Test>
PyObject* search_string_over(const Kind& kind, const Text& text, Test&& test) {
  if (text.empty()) return new_empty_list();
  const std::vector<MatchSpan> spans = collect_spans(text, kind.start_bytes(), test);
  if (kind.element_class() == ElementClass::Normal) return text_items(text, spans);
  return parsed_items(kind, text, spans);
}

template <class Kind>
PyObject* search_string_generic(const Kind& kind, const Text& text) {
  return search_string_over(kind, text, try_match_of(kind));
}

// Every non-empty match replaced by `replacement`, taken literally.
template <class Kind>
PyObject* transform_string_generic(const Kind& kind, const Text& text, const Text& replacement) {
  return replace_spans(text, replacement, [&](auto&& on_span) {
    scan_matches(text, kind.start_bytes(), try_match_of(kind), on_span);
  });
}

// ---------------------------------------------------------------------------
// Generic method bodies over the class's own kind, with the docstrings of
// the methods that have no text of their own (the text signature alone).

inline constexpr const char* kParseStringDoc = "parse_string($self, s)\n--\n\n";
inline constexpr const char* kMatchesDoc = "matches($self, s)\n--\n\n";
inline constexpr const char* kSearchStringDoc = "search_string($self, s)\n--\n\n";
inline constexpr const char* kSearchStringCountDoc = "search_string_count($self, s)\n--\n\n";
inline constexpr const char* kTransformStringDoc =
    "transform_string($self, s, replacement)\n--\n\n";

template <class Kind>
PyObject* parse_string_body(PyObject* self, const Text& s) {
  return parse_string_generic(payload_of<Kind>(self), s);
}

template <class Kind>
PyObject* search_string_body(PyObject* self, const Text& s) {
  return search_string_generic(payload_of<Kind>(self), s);
}

template <class Kind>
PyObject* transform_string_body(PyObject* self, const Text& s, const Text& replacement) {
  return transform_string_generic(payload_of<Kind>(self), s, replacement);
}

// matches by the whole-text rule over the kind's own test.
template <class Kind>
PyObject* matches_whole_text(PyObject* self, const Text& s) {
  return py_bool(whole_text_rule(s, try_match_of(payload_of<Kind>(self))));
}

template <class Kind>
inline constexpr Method<TransformBody> kGenericTransform{&transform_string_body<Kind>,
                                                         kTransformStringDoc};

}  // namespace quernlet
