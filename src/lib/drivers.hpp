// Generic drivers shared by the method bodies: token conversion, the per-call
// text map, the scans behind parse_string / search_string / transform_string /
// search_string_count / matches, results built from match spans, the generic
// method bodies, and the batch skeleton.
//
// Drivers are templates over the element kind (or over a match test), so a
// class's calls are direct calls on a `final` kind and can inline. Every
// function that returns `PyObject*` returns a new reference, or null with an
// exception set; Python references are held in `py::Object` throughout. The
// method skeleton runs every body `guarded`, so a C++ exception (allocation
// failure) never reaches the interpreter.
//
// Runaway recursion: a kind that gives up for lack of stack leaves the
// thread's too-deep flag set (or, from `parse_from_start`, returns a too-deep
// failure); the method skeleton checks the flag after every body and raises
// RecursionError, so scans need not stop early: once the flag is set every
// further attempt through a Forward fails at once.
//
// Long loops poll for signals (interrupt.hpp): the scans once per stride of
// positions, the batch loops once per so many evaluated items, so that
// Ctrl-C ends them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../elements/element.hpp"
#include "../elements/start_scan.hpp"
#include "../elements/word_scan.hpp"  // MatchSpan, the span of every scan
#include "binding.hpp"
#include "interrupt.hpp"
#include "objects.hpp"
#include "open_table.hpp"
#include "operations.hpp"
#include "py.hpp"
#include "text.hpp"

namespace quernlet {

// ---------------------------------------------------------------------------
// Small helpers.

// A match test: `MatchResult(std::string_view text, Pos pos)`.
template <class Kind>
auto try_match_of(const Kind& kind) noexcept {
  return [&kind](std::string_view text, Pos pos) { return kind.try_match_at(text, pos); };
}

inline PyObject* new_empty_list() noexcept { return PyList_New(0); }

inline PyObject* py_bool(bool b) noexcept { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject* py_count(std::uint64_t n) noexcept { return PyLong_FromUnsignedLongLong(n); }

// A new one-item list that takes over `item`; a null `item` (failure, with
// an exception set) gives null.
inline py::Object list_of(py::Object item) noexcept {
  if (!item) return item;
  py::Object list = py::Object::steal(PyList_New(1));
  if (list) PyList_SET_ITEM(list.get(), 0, item.release());
  return list;
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

// Reports a run that was abandoned for lack of stack. The too-deep flag is
// set again so that the method skeleton, which checks it after the body,
// reports the same RecursionError. A run abandoned on an interrupt raises
// the interrupt's exception instead.
inline PyObject* raise_too_deep() noexcept {
  if (raise_kept_interrupt()) return nullptr;
  note_too_deep();
  PyErr_SetString(PyExc_RecursionError, kTooDeepMessage);
  return nullptr;
}

// A failed generic parse as the ValueError callers see.
inline PyObject* raise_parse_failure(const ParseOutcome& out) {
  if (out.too_deep()) return raise_too_deep();
  std::string text = "ParseException at position ";
  text += std::to_string(out.position());
  text += ": ";
  text += out.message().view();
  return raise_value_error(text);
}

// ---------------------------------------------------------------------------
// Token conversion.

// Makes the `str`s of text tokens. A slice of a non-ASCII text is cut from
// the text's `str` storage (text_slice), so its characters are not decoded
// back from UTF-8; every other text token (an ASCII text's slice, an
// element-defined text, or a slice met behind one already cut, which the
// incremental offsets cannot locate) is decoded from its bytes. Both routes
// give the same `str`, of the narrowest width.
class TokenStrs {
 public:
  // Decodes every token (a text that is no `str` argument of the call).
  TokenStrs() noexcept : offsets_({}) {}
  explicit TokenStrs(const Text& text) noexcept
      : text_(&text), cut_(!text.ascii()), offsets_(text) {}

  py::Object operator()(const Token& token) noexcept {
    const std::string_view bytes = token.text();
    if (cut_ && token.is_slice()) {
      // Integers, as the slice may lie in another buffer than the text.
      const Pos start = reinterpret_cast<std::uintptr_t>(bytes.data()) -
                        reinterpret_cast<std::uintptr_t>(text_->data());
      if (start <= text_->size() && bytes.size() <= text_->size() - start && start >= last_)
        return slice(start, start + bytes.size());
    }
    return py::str(bytes);
  }

  // The byte span [start, end) of the text, as text_slice. A span behind
  // the last one cut is located by counting from the start of the text.
  py::Object slice(Pos start, Pos end) noexcept {
    if (start < last_) return text_slice(*text_, start, end);
    last_ = end;
    return text_slice(*text_, offsets_, start, end);
  }

 private:
  const Text* text_ = nullptr;  // null: decode every token
  bool cut_ = false;            // whether slices are cut from the storage
  CharOffsets offsets_;
  Pos last_ = 0;  // end of the last span cut; offsets are asked in order
};

// The conversion takes the tokens apart as it goes: a list token's array is
// freed as soon as its Python list is complete, while it is still in cache,
// instead of in a second pass over the whole tree afterwards.
namespace detail {

inline py::Object take_token(Token& token, TokenStrs& strs);

inline py::Object take_list(std::span<Token> tokens, TokenStrs& strs) {
  py::Object list = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    py::Object item = take_token(tokens[i], strs);
    if (!item) return item;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

inline py::Object take_token(Token& token, TokenStrs& strs) {
  if (!token.is_list()) return strs(token);
  py::Object list = take_list(token.items(), strs);
  token = Token();
  return list;
}

}  // namespace detail

// A text token becomes a new `str` (made by `strs`), a list token a new
// `list` of converted items (recursively); the token is left in an
// unspecified state. Token texts are whole characters of the input or
// element-defined texts, so the `str` is always valid. Nested lists are
// built with the cyclic collector paused (GcPause).
inline py::Object token_to_py(Token& token, TokenStrs& strs) {
  if (!token.is_list()) return strs(token);
  py::GcPause pause;
  return detail::take_token(token, strs);
}

// The top-level tokens of a parse as a new list; as token_to_py.
inline py::Object results_to_list(ParseResults& tokens, TokenStrs& strs) {
  const std::span<Token> top(tokens.begin(), tokens.size());
  if (std::ranges::none_of(top, &Token::is_list)) return detail::take_list(top, strs);
  py::GcPause pause;
  return detail::take_list(top, strs);
}

// The same for the tokens of a parse of `text`.
inline py::Object results_to_list(ParseResults& tokens, const Text& text) {
  TokenStrs strs(text);
  return results_to_list(tokens, strs);
}

// ---------------------------------------------------------------------------
// TokenTextMap: one Python object per distinct token text within one call.

// Fast non-cryptographic hash of a byte string; values never leave a call.
inline std::uint64_t hash_bytes(std::string_view s) noexcept {
  constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = s.size() * k;
  const char* p = s.data();
  std::size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = (std::rotl(h, 5) ^ w) * k;
  }
  if (n != 0) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (std::rotl(h, 5) ^ w) * k;
  }
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 32);
}

// The key of a byte-string table slot: borrowed bytes (they must outlive the
// table; in the drivers they are slices of the input text) and their hash.
struct TextKey {
  const char* data = nullptr;  // key bytes (borrowed)
  std::size_t size = 0;        // key length
  std::uint64_t hash = 0;      // hash_bytes of the key

  bool holds(std::string_view key, std::uint64_t h) const noexcept {
    return hash == h && size == key.size() &&
           (key.empty() || std::memcmp(data, key.data(), key.size()) == 0);
  }
};

// Traits of an OpenTable keyed by byte strings: `Slot` has a TextKey `key`
// and says by `empty()` whether it is empty.
template <class S>
struct TextKeyTraits {
  using Key = std::string_view;
  using Slot = S;
  static constexpr std::size_t kFirstCapacity = 16;
  static std::uint64_t hash(std::string_view key) noexcept { return hash_bytes(key); }
  static std::uint64_t hash_of(const Slot& slot) noexcept { return slot.key.hash; }
  static bool holds(const Slot& slot, std::string_view key, std::uint64_t h) noexcept {
    return slot.key.holds(key, h);
  }
  static bool is_empty(const Slot& slot) noexcept { return slot.empty(); }
};

// Map from a byte string to one strong reference. Keys are borrowed (see
// TextKey). Nothing is allocated before the first insertion; every stored
// reference is released with the map.
class TokenTextMap {
 public:
  // The object stored for `key` (a new reference); on the first sight of
  // `key`, the object `make()` returns, which is stored. Null with an
  // exception set when `make` fails (nothing is stored then).
  template <class Make>
  py::Object get_or_insert(std::string_view key, Make&& make) {
    const Slot* slot = table_.find_or_insert(key, [&](Slot& empty, std::uint64_t h) {
      py::Object value = make();
      if (!value) return false;
      empty = Slot{TextKey{key.data(), key.size(), h}, std::move(value)};
      return true;
    });
    return slot ? py::Object::borrow(slot->value.get()) : py::Object();
  }

  // The one `str` of `key` in this call.
  py::Object str(std::string_view key) {
    return get_or_insert(key, [key] { return py::str(key); });
  }

  std::size_t size() const noexcept { return table_.size(); }

 private:
  struct Slot {
    TextKey key;
    py::Object value;  // null marks an empty slot

    bool empty() const noexcept { return !value; }
  };

  OpenTable<TextKeyTraits<Slot>> table_;
};

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

// Whether `kind` matches at 0 of a batch item; an item whose first byte
// starts no match is turned down without running the test.
template <class Kind>
bool matches_at_start(const Kind& kind, std::string_view text) {
  return kind.start_bytes().may_match_at(text, 0) && kind.try_match_at(text, 0).matched;
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
// which is copied from the text's own storage.
class TextItemMaker {
 public:
  explicit TextItemMaker(const Text& text) noexcept : text_(text), offsets_(text) {}

  py::Object item(Pos start, Pos end) {
    return list_of(texts_.get_or_insert(text_.substr(start, end - start),
                                        [&] { return text_slice(text_, offsets_, start, end); }));
  }

 private:
  const Text& text_;
  TokenTextMap texts_;
  CharOffsets offsets_;
};

// search_string's items for matched texts, one per span.
inline PyObject* text_items(const Text& text, std::span<const MatchSpan> spans) {
  py::Object result = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!result) return nullptr;
  const py::GcPause pause;
  TextItemMaker items(text);
  for (std::size_t i = 0; i < spans.size(); ++i) {
    py::Object item = items.item(spans[i].start, spans[i].end);
    if (!item) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return result.release();
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
// item, not an error.
template <class Kind>
PyObject* parsed_items(const Kind& kind, const Text& text, std::span<const MatchSpan> spans) {
  py::Object result = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!result) return nullptr;
  ParseContext ctx{text, true};
  TokenStrs strs(text);
  for (std::size_t i = 0; i < spans.size(); ++i) {
    ParseOutcome out = kind.parse_impl(ctx, spans[i].start);
    py::Object item =
        out.ok() ? results_to_list(out.tokens(), strs) : py::Object::steal(PyList_New(0));
    if (!item) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return result.release();
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

  // False with an exception set when the output cannot be made.
  bool replace(Pos start, Pos end) {
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

// ---------------------------------------------------------------------------
// The batch skeleton.
//
// Items are read in place from the list's storage, as borrowed references,
// and compared by identity. That is sound because a call holds the list's
// critical section (a no-op under the GIL, where nothing else runs) and runs
// no Python code: creating lists and `str`s never runs the collector
// synchronously, and no item is released by the module. So the loops poll
// with a SigintPoll, which runs no Python code: on Ctrl-C the body is left,
// and the handler runs once the list is let go (see with_list_held).

namespace batch {

struct Items {
  PyObject* const* data;
  std::size_t size;
  PyObject* operator[](std::size_t i) const noexcept { return data[i]; }
};

// The list's own storage (also for list subclasses: their overrides of item
// access and length are not consulted).
inline Items list_items(PyObject* list) noexcept {
  return Items{reinterpret_cast<PyListObject*>(list)->ob_item,
               static_cast<std::size_t>(PyList_GET_SIZE(list))};
}

// Runs `body()` while holding `list`'s critical section; `guarded`, so no
// C++ exception can leave the section unbalanced. A body left on Ctrl-C
// (SigintPending), or one whose match gave up on Ctrl-C, has released
// everything; its result is dropped and the SIGINT handler then runs
// outside it, and when the handler raises (KeyboardInterrupt) so does the
// call. A handler that returns lets the body start again from scratch, on
// the list as it is then.
template <class F>
PyObject* with_list_held([[maybe_unused]] PyObject* list, F&& body) noexcept {
  for (;;) {
    py::Object result;
    bool interrupted = false;
    {
      const BatchInterruptScope batch_mode;
      Py_BEGIN_CRITICAL_SECTION(list);
      result = py::Object::steal(guarded([&]() -> PyObject* {
        try {
          return body();
        } catch (const SigintPending&) {
          interrupted = true;
          return nullptr;
        }
      }));
      Py_END_CRITICAL_SECTION();
      interrupted = interrupted || batch_mode.sigint_noted();
    }
    if (!interrupted) return result.release();
    // The abandoned run goes with its give-up, and with an error it met
    // after giving up: a run from scratch meets it again.
    if (!result) PyErr_Clear();
    result = py::Object();
    take_too_deep();
    if (run_sigint_handler() < 0) return nullptr;
  }
}

// True when every item is the same object as item 0 (n >= 1). Compared in
// blocks of four, then one at a time.
inline bool uniform_detection(Items items) noexcept {
  const std::size_t n = items.size;
  PyObject* const first = items[0];
  std::size_t i = 1;
  for (; i + 3 < n; i += 4) {
    if ((items[i] != first) | (items[i + 1] != first) | (items[i + 2] != first) |
        (items[i + 3] != first))
      return false;
  }
  for (; i < n; ++i)
    if (items[i] != first) return false;
  return true;
}

// The period p (1..127) of a list that repeats its first p items to the
// end, at least twice; 0 when there is none. Only the first recurrence of
// item 0 below index 128 is tried.
inline std::size_t cyclic_detection(Items items) noexcept {
  const std::size_t n = items.size;
  const std::size_t limit = std::min<std::size_t>(n, 128);
  std::size_t p = 0;
  for (std::size_t k = 1; k < limit; ++k) {
    if (items[k] == items[0]) {
      p = k;
      break;
    }
  }
  if (p == 0 || n < 2 * p) return 0;
  for (std::size_t k = p; k < n; ++k)
    if (items[k] != items[k - p]) return 0;
  return p;
}

// Identity-keyed memo of the first 31 distinct items, each with a `Value`,
// on the stack. Key 0 marks an empty slot (no object lives at address 0).
template <class Value, Value Missing>
class IdentityMemo {
 public:
  static constexpr Value kNone = Missing;

  // The value stored for `item`, or kNone; `slot` receives where to insert
  // it (-1 when no insertion may happen any more).
  Value find(PyObject* item, int& slot) const noexcept {
    const auto a = reinterpret_cast<std::uintptr_t>(item);
    const std::size_t h = ((a >> 4) ^ (a >> 12)) & 31;
    slot = -1;
    for (std::size_t j = 0; j < 32; ++j) {
      const std::size_t s = (h + j) & 31;
      if (keys_[s] == a) return values_[s];
      if (keys_[s] == 0) {
        if (inserted_ < 31) slot = static_cast<int>(s);
        return kNone;
      }
    }
    return kNone;
  }

  void insert(int slot, PyObject* item, Value value) noexcept {
    keys_[slot] = reinterpret_cast<std::uintptr_t>(item);
    values_[slot] = value;
    ++inserted_;
  }

 private:
  std::uintptr_t keys_[32] = {};
  Value values_[32] = {};
  unsigned inserted_ = 0;
};

// The first 31 distinct items' match outcomes.
class PointerCache {
 public:
  enum State : std::uint8_t { kEmpty = 0, kMatched = 1, kNotMatched = 2 };

  // The state stored for `item`, or kEmpty; `slot` as in IdentityMemo::find.
  State find(PyObject* item, int& slot) const noexcept { return memo_.find(item, slot); }

  void insert(int slot, PyObject* item, bool matched) noexcept {
    memo_.insert(slot, item, matched ? kMatched : kNotMatched);
  }

 private:
  IdentityMemo<State, kEmpty> memo_;
};

// Raises a refcount by `k` in one step (the result-by-result increase of the
// cyclic fill).
inline void add_references(PyObject* o, Py_ssize_t k) noexcept {
#ifdef Py_GIL_DISABLED
  for (; k > 0; --k) Py_INCREF(o);
#else
  if (k > 0) Py_SET_REFCNT(o, Py_REFCNT(o) + k);
#endif
}

// A new list of `q` copies of `period` followed by `tail`; every slot holds a
// reference of its own (the caller keeps its references). The slots take the
// pointers first (one period, doubled up to q periods, then the tail), so
// nothing can fail once the list exists; each period position then raises its
// object by q in one step and each tail slot by one.
inline PyObject* fill_periodic(std::span<PyObject* const> period, std::size_t q,
                               std::span<PyObject* const> tail) noexcept {
  const std::size_t full = q * period.size();
  PyObject* const out = PyList_New(static_cast<Py_ssize_t>(full + tail.size()));
  if (!out || full + tail.size() == 0) return out;
  PyObject** slots = reinterpret_cast<PyListObject*>(out)->ob_item;
  std::copy(period.begin(), period.end(), slots);
  for (std::size_t filled = period.size(); filled < full;) {
    const std::size_t chunk = std::min(filled, full - filled);
    std::memcpy(slots + filled, slots, chunk * sizeof(PyObject*));
    filled += chunk;
  }
  std::copy(tail.begin(), tail.end(), slots + full);
  for (PyObject* const o : period) add_references(o, static_cast<Py_ssize_t>(q));
  for (PyObject* const o : tail) add_references(o, 1);
  return out;
}

// parse_batch_count: how many items `test` accepts. `test(std::string_view)`
// gets the item's UTF-8 text and returns whether the element matches at 0.
// Fails (null) when an evaluated item has no UTF-8 view.
template <class Test>
PyObject* count_items(PyObject* inputs, Test&& test) {
  return with_list_held(inputs, [&]() -> PyObject* {
    const Items items = list_items(inputs);
    const std::size_t n = items.size;
    if (n == 0) return PyLong_FromLong(0);

    // 1 matched, 0 not matched, -1 error set.
    auto evaluate = [&test](PyObject* item) -> int {
      std::string_view text;
      if (!py::utf8_view(item, text)) return -1;
      return test(text) ? 1 : 0;
    };

    std::uint64_t count = 0;
    if (uniform_detection(items)) {
      const int r = evaluate(items[0]);
      if (r < 0) return nullptr;
      return PyLong_FromUnsignedLongLong(r ? n : 0);
    }
    if (const std::size_t p = cyclic_detection(items)) {
      std::uint64_t c = 0;
      for (std::size_t k = 0; k < p; ++k) {
        const int r = evaluate(items[k]);
        if (r < 0) return nullptr;
        c += static_cast<std::uint64_t>(r);
      }
      const std::size_t q = n / p;
      count = q * c;
      for (std::size_t k = q * p; k < n; ++k) {
        const int r = evaluate(items[k]);
        if (r < 0) return nullptr;
        count += static_cast<std::uint64_t>(r);
      }
      return PyLong_FromUnsignedLongLong(count);
    }
    PointerCache cache;
    SigintPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* const item = items[i];
      int slot;
      const PointerCache::State state = cache.find(item, slot);
      if (state != PointerCache::kEmpty) {
        count += state == PointerCache::kMatched;
        continue;
      }
      poll.tick();
      const int r = evaluate(item);
      if (r < 0) return nullptr;
      count += static_cast<std::uint64_t>(r);
      if (slot >= 0) cache.insert(slot, item, r != 0);
    }
    return PyLong_FromUnsignedLongLong(count);
  });
}

// parse_batch: one result per item, shared between positions whose items are
// known to be the same object. `evaluate(PyObject* item)` returns a new
// result (`py::Object`) or null with an exception set.
template <class Evaluate>
PyObject* parse_items(PyObject* inputs, Evaluate&& evaluate) {
  return with_list_held(inputs, [&]() -> PyObject* {
    const Items items = list_items(inputs);
    const std::size_t n = items.size;
    if (n == 0) return new_empty_list();

    if (uniform_detection(items)) {
      py::Object r = evaluate(items[0]);
      if (!r) return nullptr;
      py::Object one = py::Object::steal(PyList_New(1));
      if (!one) return nullptr;
      PyList_SET_ITEM(one.get(), 0, r.release());
      return PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(n));
    }

    if (const std::size_t p = cyclic_detection(items)) {
      std::vector<py::Object> results;
      results.reserve(p);
      for (std::size_t k = 0; k < p; ++k) {
        results.push_back(evaluate(items[k]));
        if (!results.back()) return nullptr;
      }
      const std::size_t q = n / p;
      const std::size_t t = n - q * p;
      if (t == 0) {
        py::Object period = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(p)));
        if (!period) return nullptr;
        for (std::size_t k = 0; k < p; ++k)
          PyList_SET_ITEM(period.get(), static_cast<Py_ssize_t>(k), results[k].release());
        return PySequence_Repeat(period.get(), static_cast<Py_ssize_t>(q));
      }
      std::vector<PyObject*> period(p);
      for (std::size_t k = 0; k < p; ++k) period[k] = results[k].get();
      return fill_periodic(period, q, std::span<PyObject* const>(period).first(t));
    }

    // Fallback: remember only the previous item and its result.
    py::Object out = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    PyObject* previous = nullptr;
    PyObject* previous_result = nullptr;  // borrowed from `out`
    SigintPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* const item = items[i];
      if (item == previous) {
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(previous_result));
        continue;
      }
      poll.tick();
      py::Object r = evaluate(item);
      if (!r) return nullptr;
      previous = item;
      previous_result = r.get();
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), r.release());
    }
    return out.release();
  });
}

// The generic per-item step of parse_batch: `parse_impl` at 0 with skip_ws
// set (no whitespace skipped before the element itself); the tokens as a new
// list, or a new empty list when the parse fails.
template <class Kind>
py::Object parse_item(const Kind& kind, PyObject* item) {
  std::string_view text;
  if (!py::utf8_view(item, text)) return {};
  if (!kind.start_bytes().may_match_at(text, 0)) return py::Object::steal(PyList_New(0));
  ParseContext ctx{text, true};
  ParseOutcome out = kind.parse_impl(ctx, 0);
  if (!out.ok()) return py::Object::steal(PyList_New(0));
  TokenStrs strs;
  return results_to_list(out.tokens(), strs);
}

}  // namespace batch

}  // namespace quernlet
