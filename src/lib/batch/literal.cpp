// Literal and Keyword batch bodies.
//
// An item's outcome is one of two answers, so parse_batch hands out one of
// two lists made once per call: M, holding the object's own `str` (the token
// parse_string returns), and E, empty. The match test is the kind's byte
// compare at 0, called directly; neither kind skips whitespace here. A
// uniform list is tested once; otherwise the previous item's outcome is
// reused when the same object follows itself (Keyword's count remembers the
// first 31 distinct objects instead).
//
// The test is a few byte compares and no match runs through the engine, so
// these bodies run no Python code and need no poll: they read the list in
// place (batch::in_place), its items compared by identity. Only making an
// item's UTF-8 form, when it has none yet, reads the whole item: once the
// items a body would encode pass a stretch of characters, it hands the
// batch over, before encoding more, to the batch skeleton, which holds the
// items, counts their encoding and polls. Nothing of the body outlives the
// hand-over, and no Python code ran before it.
#include <optional>

#include "batch/paths.hpp"
#include "batch/skeleton.hpp"
#include "elements/literals.hpp"

namespace quernlet {

namespace {

// Outcome of one item: 1 matched, 0 not matched, -1 no UTF-8 view (error
// set).
template <class Kind>
int outcome_of(const Kind& kind, PyObject* item) noexcept {
  std::string_view text;
  if (!py::utf8_view(item, text)) return -1;
  return kind.matches_at(text, 0) ? 1 : 0;
}

// The characters that the items a body encoded so far held; an item that
// would take them past a stretch is not encoded in place.
class EncodingBudget {
 public:
  bool allows(PyObject* item) noexcept {
    if (!batch::encodes_whole(item)) [[likely]]
      return true;
    encoded_ += static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
    return encoded_ <= kScanStretch;
  }

 private:
  std::size_t encoded_ = 0;
};

// What a body that reads the list in place gives: its result (null with an
// exception set on failure), or nothing when it hands the batch over.
using InPlace = std::optional<PyObject*>;

// The batches as the skeleton runs them, once a body handed one over.
template <class Kind>
PyObject* counted_by_skeleton(const Kind& kind, PyObject* inputs) {
  return batch::count_items(inputs,
                            [&kind](std::string_view text) { return kind.matches_at(text, 0); });
}

template <class Kind>
PyObject* parsed_by_skeleton(const Kind& kind, PyObject* s_obj, PyObject* inputs) {
  const py::Object matched = list_of(py::Object::borrow(s_obj));
  if (!matched) return nullptr;
  const py::Object failed = py::Object::steal(PyList_New(0));
  if (!failed) return nullptr;
  return batch::parse_items(inputs, [&](PyObject* item) -> py::Object {
    std::string_view text;
    if (!batch::item_text(item, text)) return {};
    return py::Object::borrow(kind.matches_at(text, 0) ? matched.get() : failed.get());
  });
}

// parse_batch: every entry is M (a new [s_obj]) or E (a new []). The
// returned list holds the only references to M and E.
template <class Kind>
PyObject* shared_parse_batch(const Kind& kind, PyObject* s_obj, PyObject* inputs) {
  const InPlace done = batch::in_place(inputs, [&](const batch::Items items) -> InPlace {
    const std::size_t n = items.size;
    if (n == 0) return new_empty_list();
    const py::Object matched = list_of(py::Object::borrow(s_obj));
    if (!matched) return nullptr;
    const py::Object failed = py::Object::steal(PyList_New(0));
    if (!failed) return nullptr;

    if (batch::uniform_detection(items)) {
      const int r = outcome_of(kind, items[0]);
      if (r < 0) return nullptr;
      return repeat_list(list_of(py::Object::borrow(r ? matched.get() : failed.get())), n);
    }

    py::Object out = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    EncodingBudget budget;
    PyObject* previous = nullptr;
    int r = 0;
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* const item = items[i];
      if (item != previous) {
        if (!budget.allows(item)) return std::nullopt;
        r = outcome_of(kind, item);
        if (r < 0) return nullptr;
        previous = item;
      }
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i),
                      Py_NewRef(r ? matched.get() : failed.get()));
    }
    return out.release();
  });
  return done ? *done : parsed_by_skeleton(kind, s_obj, inputs);
}

// The parse_batch_count skeleton of both kinds: an empty list counts 0 and a
// uniform list is tested once; any other list is counted by
// `count_mixed(items)`, which returns the count, null with an exception set,
// or nothing to hand the batch over.
template <class Kind, class CountMixed>
PyObject* count_batch(const Kind& kind, PyObject* inputs, CountMixed&& count_mixed) {
  const InPlace done = batch::in_place(inputs, [&](const batch::Items items) -> InPlace {
    if (items.size == 0) return py_count(0);
    if (batch::uniform_detection(items)) {
      const int r = outcome_of(kind, items[0]);
      if (r < 0) return nullptr;
      return py_count(r ? items.size : 0);
    }
    return count_mixed(items);
  });
  return done ? *done : counted_by_skeleton(kind, inputs);
}

// parse_batch_count with the previous item's outcome remembered.
template <class Kind>
PyObject* count_last_item(const Kind& kind, PyObject* inputs) {
  return count_batch(kind, inputs, [&kind](batch::Items items) -> InPlace {
    std::uint64_t count = 0;
    EncodingBudget budget;
    PyObject* previous = nullptr;
    int r = 0;
    for (std::size_t i = 0; i < items.size; ++i) {
      PyObject* const item = items[i];
      if (item != previous) {
        if (!budget.allows(item)) return std::nullopt;
        r = outcome_of(kind, item);
        if (r < 0) return nullptr;
        previous = item;
      }
      count += static_cast<std::uint64_t>(r);
    }
    return py_count(count);
  });
}

// parse_batch_count with the outcomes of the first 31 distinct objects
// remembered (no period detection).
template <class Kind>
PyObject* count_pointer_cache(const Kind& kind, PyObject* inputs) {
  return count_batch(kind, inputs, [&kind](batch::Items items) -> InPlace {
    std::uint64_t count = 0;
    EncodingBudget budget;
    batch::PointerCache cache;
    for (std::size_t i = 0; i < items.size; ++i) {
      PyObject* const item = items[i];
      int slot;
      const batch::PointerCache::State state = cache.find(item, slot);
      if (state != batch::PointerCache::kEmpty) {
        count += state == batch::PointerCache::kMatched;
        continue;
      }
      if (!budget.allows(item)) return std::nullopt;
      const int r = outcome_of(kind, item);
      if (r < 0) return nullptr;
      count += static_cast<std::uint64_t>(r);
      if (slot >= 0) cache.insert(slot, item, r != 0);
    }
    return py_count(count);
  });
}

PyObject* literal_parse_batch(PyObject* self, PyObject* inputs) {
  return shared_parse_batch(payload_of<LiteralElement>(self),
                            reinterpret_cast<const LiteralObject*>(self)->s_obj.get(), inputs);
}

PyObject* literal_parse_batch_count(PyObject* self, PyObject* inputs) {
  return count_last_item(payload_of<LiteralElement>(self), inputs);
}

PyObject* keyword_parse_batch(PyObject* self, PyObject* inputs) {
  return shared_parse_batch(payload_of<KeywordElement>(self),
                            reinterpret_cast<const KeywordObject*>(self)->s_obj.get(), inputs);
}

PyObject* keyword_parse_batch_count(PyObject* self, PyObject* inputs) {
  return count_pointer_cache(payload_of<KeywordElement>(self), inputs);
}

constexpr BatchMethods kLiteralBatch = {
    {&literal_parse_batch,
     "parse_batch($self, inputs)\n--\n\n"
     "Full raw FFI batch parse \xE2\x80\x94 uniform detection + bulk INCREF, last-ptr fallback"},
    {&literal_parse_batch_count,
     "parse_batch_count($self, inputs)\n--\n\n"
     "Full raw FFI count \xE2\x80\x94 uniform detection + last-ptr fallback"},
};

constexpr BatchMethods kKeywordBatch = {
    {&keyword_parse_batch,
     "parse_batch($self, inputs)\n--\n\n"
     "Specialized parse_batch \xE2\x80\x94 cached PyString + last-pointer cache"},
    {&keyword_parse_batch_count, "parse_batch_count($self, inputs)\n--\n\n"},
};

}  // namespace

const BatchMethods& literal_batch_methods() noexcept { return kLiteralBatch; }
const BatchMethods& keyword_batch_methods() noexcept { return kKeywordBatch; }

}  // namespace quernlet
