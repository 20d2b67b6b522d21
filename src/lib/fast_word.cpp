// Word single-text bodies: whole-text scans over the Word's byte tables (or
// character by character for sets with code points 128..255), with no call
// through the element's operation table.
#include <cstring>
#include <string>
#include <vector>

#include "../elements/word_scan.hpp"
#include "drivers.hpp"
#include "fast_paths.hpp"

namespace quernlet::fast {

namespace {

// Spans are taken from the scan in batches of this many.
constexpr std::size_t kBatch = 256;

// Calls `f(span)` for every word of `text`, in order.
template <class F>
void for_each_word(const WordScanner& scanner, std::string_view text, F&& f) {
  WordCursor cursor(scanner, text);
  MatchSpan batch[kBatch];
  for (std::size_t k; (k = cursor.next(batch, kBatch)) != 0;)
    for (std::size_t i = 0; i < k; ++i) f(batch[i]);
}

std::string_view slice(std::string_view text, MatchSpan span) noexcept {
  return text.substr(span.start, span.end - span.start);
}

// The count and the scan disagreeing would leave unset list slots; they are
// one algorithm, so this is a fault of ours, reported rather than crashed on.
PyObject* raise_scan_mismatch() noexcept {
  PyErr_SetString(PyExc_SystemError, "quernlet: word scan and word count disagree");
  return nullptr;
}

// The `str` of each distinct text of a periodic text's words, in a small
// open-addressing table, with the number of list slots each will fill.
class PeriodStrings {
 public:
  static constexpr std::size_t kSlots = 32;

  // The slot of `text`, made on first sight; -1 when the table is full (the
  // caller then gives up the periodic way) or the `str` cannot be made
  // (`failed()` then tells, with the exception set).
  int slot_of(std::string_view text) {
    const std::uint64_t h = hash_bytes(text);
    for (std::size_t j = 0; j < kSlots; ++j) {
      const std::size_t i = (h + j) & (kSlots - 1);
      Entry& e = entries_[i];
      if (!e.str) {
        if (used_ + 1 == kSlots) return -1;  // keep one slot free so probes end
        e.str = py::str(text);
        if (!e.str) {
          failed_ = true;
          return -1;
        }
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
  void add_uses(int slot, std::uint64_t n) noexcept { entries_[slot].uses += n; }
  bool failed() const noexcept { return failed_; }

  // Gives each `str` the references of the slots it fills, in one step.
  void hand_over_references() noexcept {
    for (Entry& e : entries_)
      if (e.str) batch::add_references(e.str.get(), static_cast<Py_ssize_t>(e.uses));
  }

 private:
  struct Entry {
    std::string_view text;
    std::uint64_t hash = 0;
    py::Object str;
    std::uint64_t uses = 0;
  };
  Entry entries_[kSlots];
  std::size_t used_ = 0;
  bool failed_ = false;
};

// The periodic way of `_search_string_flat`: the words of one period, made
// once and laid out q times, then the tail's words. Null without an
// exception when the way does not apply.
PyObject* flat_periodic(const WordScanner& scanner, std::string_view s, std::size_t p) {
  PeriodStrings strings;
  std::vector<int> period;  // slot of each word of the first period
  bool full = false;
  for_each_word(scanner, s.substr(0, p), [&](MatchSpan w) {
    if (full) return;
    const int slot = strings.slot_of(slice(s, w));
    if (slot < 0) full = true;
    period.push_back(slot);
  });
  if (strings.failed()) return nullptr;
  if (full) return nullptr;

  const std::size_t q = s.size() / p;
  const std::size_t k = period.size();
  if (q * p == s.size()) {
    py::Object one = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(k)));
    if (!one) return nullptr;
    for (std::size_t i = 0; i < k; ++i)
      PyList_SET_ITEM(one.get(), static_cast<Py_ssize_t>(i), Py_NewRef(strings.str(period[i])));
    return PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(q));
  }

  std::vector<int> tail;
  for_each_word(scanner, s.substr(q * p), [&](MatchSpan w) {
    if (full) return;
    const int slot = strings.slot_of(slice(s, {w.start + q * p, w.end + q * p}));
    if (slot < 0) full = true;
    tail.push_back(slot);
  });
  if (strings.failed()) return nullptr;
  if (full) return nullptr;

  const std::size_t total = q * k + tail.size();
  py::Object out = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(total)));
  if (!out) return nullptr;
  // Nothing below can fail: the slots are filled with borrowed pointers and
  // every `str` then receives the references of its slots at once.
  PyObject** slots = reinterpret_cast<PyListObject*>(out.get())->ob_item;
  for (std::size_t i = 0; i < k; ++i) {
    slots[i] = strings.str(period[i]);
    strings.add_uses(period[i], q);
  }
  for (std::size_t filled = k; filled < q * k;) {
    const std::size_t chunk = std::min(filled, q * k - filled);
    std::memcpy(slots + filled, slots, chunk * sizeof(PyObject*));
    filled += chunk;
  }
  for (std::size_t i = 0; i < tail.size(); ++i) {
    slots[q * k + i] = strings.str(tail[i]);
    strings.add_uses(tail[i], 1);
  }
  strings.hand_over_references();
  return out.release();
}

}  // namespace

PyObject* word_parse_string(PyObject* self, std::string_view s) {
  const WordElement& word = payload_of<WordElement>(self);
  const Pos i = advance_past_whitespace(s, 0);
  const Pos end = word.match_end(s, i);
  if (end == 0) return raise_value_error("Expected word");
  py::Object token = py::str(s.substr(i, end - i));
  if (!token) return nullptr;
  PyObject* list = PyList_New(1);
  if (list) PyList_SET_ITEM(list, 0, token.release());
  return list;
}

PyObject* word_matches(PyObject* self, std::string_view s) {
  const WordElement& word = payload_of<WordElement>(self);
  const Pos i = advance_past_whitespace(s, 0);
  Pos end = word.match_end(s, i);
  if (end == 0) return py_bool(false);
  if (word.max_len() != 0 && end - i > word.max_len()) end = i + word.max_len();
  if (end - i < word.min_len()) return py_bool(false);
  return py_bool(advance_past_whitespace(s, end) == s.size());
}

PyObject* word_search_string(PyObject* self, std::string_view s) {
  const WordScanner scanner(payload_of<WordElement>(self));
  const std::uint64_t count = scanner.count(s);
  py::Object result = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!result || count == 0) return result.release();
  // Equal texts share one inner list (and the one `str` in it).
  TokenTextMap lists;
  std::uint64_t filled = 0;
  bool failed = false;
  for_each_word(scanner, s, [&](MatchSpan w) {
    if (failed || filled == count) {
      failed = true;
      return;
    }
    const std::string_view text = slice(s, w);
    py::Object item = lists.get_or_insert(text, [text]() -> py::Object {
      py::Object str = py::str(text);
      if (!str) return str;
      py::Object list = py::Object::steal(PyList_New(1));
      if (list) PyList_SET_ITEM(list.get(), 0, str.release());
      return list;
    });
    if (!item) {
      failed = true;
      return;
    }
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(filled++), item.release());
  });
  if (failed && PyErr_Occurred()) return nullptr;
  if (failed || filled != count) return raise_scan_mismatch();
  return result.release();
}

PyObject* word_search_string_count(PyObject* self, std::string_view s) {
  return PyLong_FromUnsignedLongLong(WordScanner(payload_of<WordElement>(self)).count(s));
}

PyObject* word_transform_string(PyObject* self, std::string_view s, std::string_view replacement) {
  const WordScanner scanner(payload_of<WordElement>(self));
  std::string out;
  out.reserve(s.size());
  Pos last = 0;
  for_each_word(scanner, s, [&](MatchSpan w) {
    out.append(s.data() + last, w.start - last);
    out.append(replacement);
    last = w.end;
  });
  out.append(s.data() + last, s.size() - last);
  return py::str(out).release();
}

PyObject* word_search_string_flat(PyObject* self, std::string_view s) {
  const WordScanner scanner(payload_of<WordElement>(self));
  std::size_t p = 0;
  if (word_period(scanner, s, p)) {
    PyObject* result = flat_periodic(scanner, s, p);
    if (result || PyErr_Occurred()) return result;
    // More distinct texts than the period table holds: the general way.
  }
  const std::uint64_t count = scanner.count(s);
  py::Object result = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!result || count == 0) return result.release();
  TokenTextMap strs;
  std::uint64_t filled = 0;
  bool failed = false;
  for_each_word(scanner, s, [&](MatchSpan w) {
    if (failed || filled == count) {
      failed = true;
      return;
    }
    py::Object str = strs.str(slice(s, w));
    if (!str) {
      failed = true;
      return;
    }
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(filled++), str.release());
  });
  if (failed && PyErr_Occurred()) return nullptr;
  if (failed || filled != count) return raise_scan_mismatch();
  return result.release();
}

}  // namespace quernlet::fast
