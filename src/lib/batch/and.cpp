// And's batch methods.
//
// parse_batch evaluates an item on its own terms: the children in order,
// the first at 0 and each next one where the previous one ended, with no
// whitespace skipped anywhere; every child that covers text gives one token,
// that text, whatever its element class. The result has one entry per item,
// the list of its tokens (empty when the item fails); positions whose items
// are known to be the same object share one list.
//
// A list of one object (a single item included) is evaluated once, its
// tokens each a new `str`, and its list stands at every position. Otherwise
// tokens are kept as indices into a per-call table of distinct texts, so
// equal texts share one `str`, and the Python results are built only after
// every item has been evaluated: all lists are created first, and from then
// on nothing can fail, so references are raised once per text and once per
// result list instead of once per position.
//
// parse_batch_count tests an item exactly as And's try_match_at does (the
// child whitespace rule applies before every child, the first included).
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "batch/paths.hpp"
#include "batch/skeleton.hpp"
#include "elements/structure.hpp"

namespace quernlet {

namespace {

// A slot of TextTable's index: a text and its position in the table.
struct TextIndexSlot {
  static constexpr std::uint32_t kEmpty = UINT32_MAX;
  TextKey key;
  std::uint32_t index = kEmpty;  // position in the table's strs_; kEmpty marks an empty slot

  bool empty() const noexcept { return index == kEmpty; }
};

// The distinct token texts of one call: each text's `str` (one owned
// reference, released with the table) and an index from the text to its
// position. Keys are slices of the items' UTF-8 texts, which the batch's
// references keep alive for the whole call.
class TextTable {
 public:
  // The index of `text`, its `str` made on first sight; -1 with an exception
  // set when the `str` cannot be made.
  std::int64_t index(std::string_view text) {
    const Slot* slot = index_.find_or_insert(text, [&](Slot& empty, std::uint64_t h) {
      py::Object s = py::str(text);
      if (!s) return false;
      strs_.push_back(std::move(s));
      empty =
          Slot{TextKey{text.data(), text.size(), h}, static_cast<std::uint32_t>(strs_.size() - 1)};
      return true;
    });
    return slot ? slot->index : -1;
  }

  PyObject* str(std::uint32_t i) const noexcept { return strs_[i].get(); }
  std::size_t size() const noexcept { return strs_.size(); }

 private:
  using Slot = TextIndexSlot;

  OpenTable<TextKeyTraits<Slot>> index_;
  std::vector<py::Object> strs_;
};

// One evaluated item: its token indices are store[start, start + size).
// A failing item and one that matched without tokens both have size 0.
struct Unit {
  std::size_t start;
  std::size_t size;
};

// The item evaluation over `text`: the children in order from 0, with no
// whitespace skipped; `on_token(start, end)` for each child that covers
// text, which returns false with an exception set when it cannot take it.
// 1 when every child matched, 0 when one failed, -1 on an error.
template <class OnToken>
int walk_children(const AndElement& seq, std::string_view text, OnToken&& on_token) {
  // The children are tried without whitespace between them, which can only
  // narrow the sequence's start bytes; an item they rule out fails at once.
  if (!seq.start_bytes().may_match_at(text, 0)) return 0;
  Pos pos = 0;
  for (const ElementHandle& child : seq.exprs()) {
    const MatchResult m = child->try_match_at(text, pos);
    // A token must not cut a character: such an end fails the item.
    if (!m.matched || m.end < pos || m.end > text.size() || !is_char_boundary(text, m.end))
      return 0;
    if (m.end > pos && !on_token(pos, m.end)) return -1;
    pos = m.end;
  }
  return 1;
}

// Evaluates `items` one at a time into units over one token store.
class Evaluator {
 public:
  explicit Evaluator(const AndElement& seq) noexcept : seq_(seq) {}

  // The index of the new unit for `item`; -1 with an exception set when the
  // item has no UTF-8 view or a token's `str` cannot be made. Throws
  // py::ErrorSet when the item's run gave up (batch::end_if_given_up).
  std::int64_t evaluate(PyObject* item) {
    std::string_view text;
    if (!batch::item_text(item, text)) return -1;
    const std::size_t mark = store_.size();
    const int r = walk_children(seq_, text, [&](Pos start, Pos end) {
      const std::int64_t i = texts_.index(text.substr(start, end - start));
      if (i >= 0) store_.push_back(static_cast<std::uint32_t>(i));
      return i >= 0;
    });
    if (r < 0) return -1;
    batch::end_if_given_up();
    if (r == 0) store_.resize(mark);  // a failing item takes back its earlier tokens
    units_.push_back(Unit{mark, store_.size() - mark});
    return static_cast<std::int64_t>(units_.size() - 1);
  }

  std::size_t unit_count() const noexcept { return units_.size(); }

  // One new list per unit, in unit order. Every list is created before any
  // token is placed, so a failure (null entry returned, exception set)
  // leaves no list holding a reference it does not own.
  bool build(std::vector<py::Object>& lists) const {
    lists.reserve(units_.size());
    for (const Unit& u : units_) {
      lists.push_back(py::Object::steal(PyList_New(static_cast<Py_ssize_t>(u.size))));
      if (!lists.back()) return false;
    }
    std::vector<std::size_t> uses(texts_.size(), 0);
    for (const std::uint32_t i : store_) ++uses[i];
    for (std::size_t i = 0; i < uses.size(); ++i)
      add_references(texts_.str(static_cast<std::uint32_t>(i)), static_cast<Py_ssize_t>(uses[i]));
    for (std::size_t u = 0; u < units_.size(); ++u) {
      const Unit& unit = units_[u];
      for (std::size_t k = 0; k < unit.size; ++k)
        PyList_SET_ITEM(lists[u].get(), static_cast<Py_ssize_t>(k),
                        texts_.str(store_[unit.start + k]));
    }
    return true;
  }

 private:
  const AndElement& seq_;
  TextTable texts_;
  std::vector<std::uint32_t> store_;  // token indices of every unit, unit after unit
  std::vector<Unit> units_;
};

// The unit of each of the first 31 distinct items met in the fallback.
using UnitCache = batch::IdentityMemo<std::uint32_t, UINT32_MAX>;

// The batch (n >= 2) repeats its first p items: those p evaluated, q full
// periods by doubling copies of the first, then the tail of t = n - q*p.
PyObject* periodic(Evaluator& eval, const batch::Batch& batch) {
  for (std::size_t k = 0; k < batch.period; ++k)
    if (eval.evaluate(batch.items[k]) < 0) return nullptr;
  std::vector<py::Object> lists;
  if (!eval.build(lists)) return nullptr;
  return repeat_period(lists, batch.n);
}

// Items met again among the first 31 distinct ones take the unit (and so
// the list) of their first occurrence; every other item is evaluated. The
// items stay held to the end: the table of texts points into them.
PyObject* fallback(Evaluator& eval, const batch::Batch& batch) {
  const std::size_t n = batch.n;
  std::vector<std::size_t> position_unit(n);
  UnitCache cache;
  InterruptPoll poll;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* const item = batch.items[i];
    int slot;
    std::size_t unit = cache.find(item, slot);
    if (unit == UnitCache::kNone) {
      poll.tick();
      const std::int64_t u = eval.evaluate(item);
      if (u < 0) return nullptr;
      unit = static_cast<std::size_t>(u);
      // Inserts happen only for the first 31 units, so the index fits.
      if (slot >= 0) cache.insert(slot, item, static_cast<std::uint32_t>(unit));
    }
    position_unit[i] = unit;
  }
  // From here on no Python code runs: the lists are filled in one go.
  std::vector<py::Object> lists;
  if (!eval.build(lists)) return nullptr;
  py::Object out = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out) return nullptr;
  // From here on nothing can fail. Every unit stands at one position at
  // least; its own reference covers the first.
  std::vector<std::size_t> uses(lists.size(), 0);
  for (std::size_t i = 0; i < n; ++i) {
    ++uses[position_unit[i]];
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), lists[position_unit[i]].get());
  }
  for (std::size_t u = 0; u < lists.size(); ++u) {
    add_references(lists[u].get(), static_cast<Py_ssize_t>(uses[u] - 1));
    lists[u].release();
  }
  return out.release();
}

// A list of one object: `item` evaluated once, outside the table of
// distinct texts (each token a new `str`), its list at all `n` positions.
PyObject* uniform(const AndElement& seq, PyObject* item, std::size_t n) {
  std::string_view text;
  if (!batch::item_text(item, text)) return nullptr;
  std::vector<py::Object> tokens;
  const int r = walk_children(seq, text, [&](Pos start, Pos end) {
    tokens.push_back(py::str(text.substr(start, end - start)));
    return static_cast<bool>(tokens.back());
  });
  if (r < 0) return nullptr;
  batch::end_if_given_up();
  if (r == 0) tokens.clear();
  return repeat_list(list_of(list_taking(tokens)), n);
}

PyObject* and_parse_batch(PyObject* self, PyObject* inputs) {
  const AndElement& seq = payload_of<AndElement>(self);
  return batch::run([&]() -> PyObject* {
    batch::Batch batch;
    if (!batch::take_batch(inputs, true, batch)) return nullptr;
    if (batch.n == 0) return new_empty_list();
    if (batch.period == 1) return uniform(seq, batch.items[0], batch.n);
    // Made after the batch, so dropped before its items.
    Evaluator eval(seq);
    if (batch.period != 0) return periodic(eval, batch);
    return fallback(eval, batch);
  });
}

// The shared counting skeleton. Its uniform step evaluates item 0 once,
// which is exactly what the period 1 of the cyclic step would do, so the
// counts and the evaluations are those of the cyclic-then-cache scheme.
PyObject* and_parse_batch_count(PyObject* self, PyObject* inputs) {
  const AndElement& seq = payload_of<AndElement>(self);
  return batch::count_items(inputs,
                            [&seq](std::string_view text) { return matches_at_start(seq, text); });
}

constexpr BatchMethods kAndBatch = {
    {&and_parse_batch,
     "parse_batch($self, inputs)\n--\n\n"
     "Cyclic detection + hash-based cache fallback + indexed tokens"},
    {&and_parse_batch_count,
     "parse_batch_count($self, inputs)\n--\n\n"
     "Cyclic detection + hash-based pointer cache count"},
};

}  // namespace

const BatchMethods& and_batch_methods() noexcept { return kAndBatch; }

}  // namespace quernlet
