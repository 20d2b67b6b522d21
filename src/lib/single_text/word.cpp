// Word single-text bodies: whole-text scans over the Word's byte tables (or
// character by character for sets with code points 128..255), with no call
// through the element's operation table.
#include <span>
#include <vector>

#include "elements/word_scan.hpp"
#include "single_text/fast_paths.hpp"
#include "single_text/scans.hpp"

namespace quernlet::fast {

namespace {

std::string_view slice(std::string_view text, MatchSpan span) noexcept {
  return text.substr(span.start, span.end - span.start);
}

// A new list with one item per word of the scan, in order: `item(span)`
// gives each (a new reference, or null with an exception set). The list is
// made at its final size from the word count; the count and the scan
// disagreeing would leave unset slots, so that fault of ours is reported
// rather than crashed on. Each item counts towards the interrupt poll, and
// the list stays a ListBuilder until full, so handlers that run meanwhile
// never find it with slots unset. A run that gives up while counting or
// scanning is reported as such.
template <class Item>
PyObject* list_of_words(const WordScanner& scanner, std::string_view s, Item&& item) {
  const std::uint64_t count = scanner.count(s);
  if (run_gave_up()) return raise_too_deep();
  py::ListBuilder result(count);
  if (!result) return nullptr;
  if (count == 0) return result.finish().release();
  InterruptPoll poll;
  std::uint64_t filled = 0;
  bool failed = false;
  for_each_word(scanner, s, [&](MatchSpan w) {
    if (failed) return;
    poll.tick();
    py::Object x = filled < count ? item(w) : py::Object();
    if (!x) {
      failed = true;
      return;
    }
    result.push(x.release());
    ++filled;
  });
  if (!failed && filled == count && !run_gave_up()) return result.finish().release();
  if (failed && PyErr_Occurred()) return nullptr;
  if (run_gave_up()) return raise_too_deep();
  PyErr_SetString(PyExc_SystemError, "quernlet: word scan and word count disagree");
  return nullptr;
}

// The `str` of each distinct text of a periodic text's words, in a small
// open-addressing table.
class PeriodStrings {
 public:
  static constexpr std::size_t kSlots = 32;

  // The slot of `text`, made by `make()` on first sight; -1 when the table
  // is full (the caller then gives up the periodic way) or the `str` cannot
  // be made (an exception is then set).
  template <class Make>
  int slot_of(std::string_view text, Make&& make) {
    const std::uint64_t h = hash_bytes(text);
    for (std::size_t j = 0; j < kSlots; ++j) {
      const std::size_t i = (h + j) & (kSlots - 1);
      Entry& e = entries_[i];
      if (!e.str) {
        if (used_ + 1 == kSlots) return -1;  // keep one slot free so probes end
        e.str = make();
        if (!e.str) return -1;
        e.text = text;
        e.hash = h;
        ++used_;
        return static_cast<int>(i);
      }
      if (e.hash == h && e.text == text) return static_cast<int>(i);
    }
    return -1;
  }

  PyObject* str(int slot) const noexcept { return entries_[slot].str.get(); }

 private:
  struct Entry {
    std::string_view text;
    std::uint64_t hash = 0;
    py::Object str;
  };
  Entry entries_[kSlots];
  std::size_t used_ = 0;
};

// The periodic way of `_search_string_flat`: the words of one period, made
// once and laid out q times, then the tail's words. Null without an
// exception when the way does not apply (more distinct texts than the table
// holds), null with one on failure.
PyObject* flat_periodic(const WordScanner& scanner, const Text& s, std::size_t p) {
  PeriodStrings strings;
  CharOffsets offsets(s);
  // Appends the slot of each word of the part of `s` from `at` (to `at` +
  // `size`) to `out`; false when the table is full or a `str` cannot be made.
  auto slots_of_words = [&](std::size_t at, std::size_t size, std::vector<int>& out) {
    bool full = false;
    for_each_word(scanner, s.substr(at, size), [&](MatchSpan w) {
      if (full) return;
      const int slot = strings.slot_of(s.substr(at + w.start, w.end - w.start), [&] {
        return text_slice(s, offsets, at + w.start, at + w.end);
      });
      full = slot < 0;
      if (!full) out.push_back(slot);
    });
    return !full;
  };
  std::vector<int> period;  // slot of each word of the first period
  if (!slots_of_words(0, p, period)) return nullptr;

  const std::size_t q = s.size() / p;
  const std::size_t k = period.size();
  if (q * p == s.size()) {
    py::Object one = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(k)));
    if (!one) return nullptr;
    for (std::size_t i = 0; i < k; ++i)
      PyList_SET_ITEM(one.get(), static_cast<Py_ssize_t>(i), Py_NewRef(strings.str(period[i])));
    return PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(q));
  }

  std::vector<int> tail;  // slot of each word after the last whole period
  if (!slots_of_words(q * p, s.size() - q * p, tail)) return nullptr;

  std::vector<PyObject*> words(k + tail.size());
  for (std::size_t i = 0; i < k; ++i) words[i] = strings.str(period[i]);
  for (std::size_t i = 0; i < tail.size(); ++i) words[k + i] = strings.str(tail[i]);
  const std::span<PyObject* const> all(words);
  return fill_periodic(all.first(k), q, all.subspan(k));
}

PyObject* word_parse_string(PyObject* self, const Text& s) {
  const WordElement& word = payload_of<WordElement>(self);
  const Pos i = advance_past_whitespace(s, 0);
  const Pos end = word.match_end(s, i);
  if (end == 0) return raise_value_error("Expected word");
  return list_of(text_slice(s, i, end)).release();
}

PyObject* word_matches(PyObject* self, const Text& s) {
  const WordElement& word = payload_of<WordElement>(self);
  const Pos i = advance_past_whitespace(s, 0);
  Pos end = word.match_end(s, i);
  if (end == 0) return py_bool(false);
  if (word.max_len() != 0 && end - i > word.max_len()) end = i + word.max_len();
  if (end - i < word.min_len()) return py_bool(false);
  return py_bool(advance_past_whitespace(s, end) == s.size());
}

PyObject* word_search_string(PyObject* self, const Text& s) {
  const WordScanner scanner(payload_of<WordElement>(self));
  // Equal texts share one inner list (and the one `str` in it).
  TokenTextMap lists;
  CharOffsets offsets(s);
  return list_of_words(scanner, s, [&](MatchSpan w) {
    return lists.get_or_insert(slice(s, w),
                               [&] { return list_of(text_slice(s, offsets, w.start, w.end)); });
  });
}

PyObject* word_search_string_count(PyObject* self, const Text& s) {
  return py_count(WordScanner(payload_of<WordElement>(self)).count(s));
}

PyObject* word_transform_string(PyObject* self, const Text& s, const Text& replacement) {
  const WordScanner scanner(payload_of<WordElement>(self));
  return replace_spans(s, replacement, [&](auto&& on_span) {
    for_each_word(scanner, s, [&](MatchSpan w) { on_span(w.start, w.end); });
  });
}

PyObject* word_search_string_flat(PyObject* self, const Text& s) {
  const WordScanner scanner(payload_of<WordElement>(self));
  std::size_t p = 0;
  if (word_period(scanner, s, p)) {
    PyObject* result = flat_periodic(scanner, s, p);
    if (result || PyErr_Occurred()) return result;
    // More distinct texts than the period table holds: the general way.
  }
  TokenTextMap strs;
  CharOffsets offsets(s);
  return list_of_words(scanner, s, [&](MatchSpan w) {
    return strs.get_or_insert(slice(s, w), [&] { return text_slice(s, offsets, w.start, w.end); });
  });
}

}  // namespace

constexpr SingleTextMethods kWord = {
    {&word_parse_string,
     "parse_string($self, s)\n--\n\n"
     "Fast path \xE2\x80\x94 builds the result list directly, without an intermediate owned "
     "string"},
    {&word_matches, "matches($self, s)\n--\n\nZero-allocation match check via try_match_at"},
    {&word_search_string,
     "search_string($self, s)\n--\n\n"
     "Optimized Word search_string \xE2\x80\x94 O(1) byte-table scanning, dedup, list-of-lists "
     "output"},
    {&word_search_string_count,
     "search_string_count($self, s)\n--\n\n"
     "Count word matches in large text \xE2\x80\x94 cycle detection + branchless scan"},
    {&word_transform_string,
     "transform_string($self, s, replacement)\n--\n\n"
     "Specialized transform: uses 256-byte lookup tables for direct byte scanning."},
};

constexpr Method<TextBody> kWordSearchStringFlat{
    &word_search_string_flat,
    "_search_string_flat($self, s)\n--\n\n"
    "UNUSED: Original optimized search_string (returns flat list)."};

}  // namespace quernlet::fast
