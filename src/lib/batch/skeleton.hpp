// The batch skeleton that every parse_batch and parse_batch_count body runs
// on: the items a call works on, uniform and cyclic lists evaluated once per
// distinct position, identity caches, and the generic per-item step.
//
// Python code runs in the middle of a batch: signal handlers between items
// (the loops poll with an InterruptPoll once per so many evaluated items)
// and within an item's match (the engine's hook), and with them the
// collector and the finalizers it calls. So a batch reads the list only at
// its start, before anything can run, and then works on references of its
// own (HeldItems): its results are those of the items the list held when
// the call began, whatever Python code does to the list meanwhile, and
// every object whose address it compares stays alive. Result lists that
// are filled while Python code may run are kept from the collector until
// they are whole (py::ListBuilder).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "elements/call_scope.hpp"
#include "elements/element.hpp"
#include "module/interrupt.hpp"
#include "module/py.hpp"
#include "single_text/tokens.hpp"

namespace quernlet {

// Whether `kind` matches at 0 of a batch item; an item whose first byte
// starts no match is turned down without running the test.
template <class Kind>
bool matches_at_start(const Kind& kind, std::string_view text) {
  return kind.start_bytes().may_match_at(text, 0) && kind.try_match_at(text, 0).matched;
}

namespace batch {

// A list's storage, read in place as borrowed references (also for list
// subclasses: their overrides of item access and length are not
// consulted). Sound only while no Python code can run: within the list's
// critical section, before a batch holds its items, or in a body that
// neither polls nor matches through the engine (in_place).
struct Items {
  PyObject* const* data;
  std::size_t size;
  PyObject* operator[](std::size_t i) const noexcept { return data[i]; }
};

inline Items list_items(PyObject* list) noexcept {
  return Items{reinterpret_cast<PyListObject*>(list)->ob_item,
               static_cast<std::size_t>(PyList_GET_SIZE(list))};
}

// Runs a batch body once, `guarded`, within the engine's scope for the call
// (without the list arena: items make and drop their lists one after
// another).
template <class F>
PyObject* run(F&& body) noexcept {
  const CallScope engine(false);
  return guarded(body);
}

// Runs `body(items)` over `list`'s storage in place, within the list's
// critical section. Only for bodies that run no Python code (no poll, no
// match through the engine) and throw nothing: the list cannot change under
// them.
template <class Body>
auto in_place(PyObject* list, Body&& body) noexcept {
  std::invoke_result_t<Body&, Items> result;
  Py_BEGIN_CRITICAL_SECTION(list);
  result = body(list_items(list));
  Py_END_CRITICAL_SECTION();
  return result;
}

// Whether making `item`'s UTF-8 view reads all of it: a non-ASCII `str`
// whose UTF-8 form is not made yet.
inline bool encodes_whole(PyObject* item) noexcept {
  return PyUnicode_Check(item) && !PyUnicode_IS_ASCII(item) &&
         reinterpret_cast<const PyCompactUnicodeObject*>(item)->utf8 == nullptr;
}

// An item's UTF-8 text, as py::utf8_view gives it. Making the UTF-8 form of
// an item that has none yet reads all of it, and that counts as a scan of
// its bytes towards the interrupt period: a batch of long items answers
// signals while they are encoded. A give-up there is met by the caller's
// check after the item's match, as any other.
inline bool item_text(PyObject* item, std::string_view& text) noexcept {
  const bool encodes = encodes_whole(item);
  if (!py::utf8_view(item, text)) return false;
  if (encodes) run_scanned(text.size());
  return true;
}

// Ends the batch after an item whose run gave up (a signal handler raised,
// or the stack ran out): every further item would give up at once too. The
// method skeleton reports the give-up, as it does after a finished body.
inline void end_if_given_up() {
  if (run_gave_up()) [[unlikely]]
    throw py::ErrorSet{};
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

// The first items of a list, as a batch works on them. They are read in
// place, from the list's storage, for as long as no Python code runs in the
// call; just before any does (ReadInPlace), the batch takes a reference of
// its own to every one of them and reads them from its own array until it
// ends. So its results are those of the items the list held when the call
// began, whatever Python code does to the list, and every item, with the
// text a match read from it, stays alive until the batch ends: no address
// the batch compares or remembers (its identity caches, the texts of the
// SkipTo memo) can be taken by another object meanwhile. Most batches, in
// which no Python code runs, never pay for the references.
//
// Whether an item may stand at more than one position of the list is read
// from its reference count while the list is read in place (a count of one
// is the list's own reference), and kept with the item when the batch takes
// its references.
class HeldItems final : public ReadInPlace {
 public:
  HeldItems() noexcept = default;
  ~HeldItems() {
    if (held_)
      for (std::size_t i = 0; i < size_; ++i) Py_DECREF(object(items_[i]));
  }

  // Reads `items[0, m)` (m <= items.size), in place until Python code may
  // run, or held at once with `now`. False with MemoryError set when there
  // is no room.
  bool read(Items items, std::size_t m, bool now) noexcept {
    if (m > kInline) {
      // Its pages are touched only if the batch holds its items.
      heap_items_.reset(new (std::nothrow) std::uintptr_t[m]);
      if (!heap_items_) {
        PyErr_NoMemory();
        return false;
      }
      items_ = heap_items_.get();
    }
    list_ = items.data;
    size_ = m;
#ifdef Py_GIL_DISABLED
    // Other threads run Python code all along there.
    now = true;
#endif
    if (now) secure();
    return true;
  }

  std::size_t size() const noexcept { return size_; }
  PyObject* operator[](std::size_t i) const noexcept {
    return held_ ? object(items_[i]) : list_[i];
  }
  // Whether item `i` may stand at another position of the list as well.
  bool may_recur(std::size_t i) const noexcept {
    return held_ ? (items_[i] & kRecurs) != 0 : may_recur_now(list_[i]);
  }

  // Python code is about to run: every item is held, back to front (the
  // items a batch evaluates next are then the ones most likely in cache).
  void secure() noexcept override {
    if (held_) return;
    for (std::size_t i = size_; i-- > 0;) {
      if (i >= kAhead) __builtin_prefetch(list_[i - kAhead], 1);
      PyObject* const o = list_[i];
      items_[i] = reinterpret_cast<std::uintptr_t>(o) | (may_recur_now(o) ? kRecurs : 0);
      Py_INCREF(o);
    }
    held_ = true;
  }

 private:
  static constexpr std::uintptr_t kRecurs = 1;  // objects are aligned: the low bit is free
  static constexpr std::size_t kInline = 128;   // holds any period
  static constexpr std::size_t kAhead = 16;

  static PyObject* object(std::uintptr_t slot) noexcept {
    return reinterpret_cast<PyObject*>(slot & ~kRecurs);
  }

  static bool may_recur_now(PyObject* o) noexcept {
#ifdef Py_GIL_DISABLED
    // References taken by other threads are counted apart there.
    static_cast<void>(o);
    return true;
#else
    return Py_REFCNT(o) != 1;
#endif
  }

  std::uintptr_t inline_items_[kInline];
  std::unique_ptr<std::uintptr_t[]> heap_items_;
  std::uintptr_t* items_ = inline_items_;  // once held: the items, with their flags
  PyObject* const* list_ = nullptr;        // the list's storage, until held
  std::size_t size_ = 0;
  bool held_ = false;
};

// What a batch works on: the list as the call began.
struct Batch {
  std::size_t n = 0;  // the list's length
  // 1: all n >= 1 positions hold one object; p >= 2: the list repeats its
  // first p items to the end, at least twice; 0: neither, or not looked for.
  std::size_t period = 0;
  // Items [0, period), held at once, or all n items when there is no period.
  HeldItems items;
};

// Reads `list` into `batch` within the list's critical section: its length,
// its period when `detect` is set, and its items. False with an exception
// set when there is no room.
inline bool take_batch(PyObject* list, bool detect, Batch& batch) noexcept {
  bool read;
  Py_BEGIN_CRITICAL_SECTION(list);
  const Items items = list_items(list);
  batch.n = items.size;
  if (detect && items.size != 0)
    batch.period = uniform_detection(items) ? 1 : cyclic_detection(items);
  const bool periodic = batch.period != 0;
  read = batch.items.read(items, periodic ? batch.period : items.size, periodic);
  Py_END_CRITICAL_SECTION();
  return read;
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

// parse_batch_count: how many items `test` accepts. `test(std::string_view)`
// gets the item's UTF-8 text and returns whether the element matches at 0.
// Fails (null) when an evaluated item has no UTF-8 view.
template <class Test>
PyObject* count_items(PyObject* inputs, Test&& test) {
  return run([&]() -> PyObject* {
    Batch batch;
    if (!take_batch(inputs, true, batch)) return nullptr;
    const auto evaluate = [&test](PyObject* item) -> bool {
      std::string_view text;
      if (!item_text(item, text)) throw py::ErrorSet{};
      const bool matched = test(text);
      end_if_given_up();
      return matched;
    };

    const std::size_t n = batch.n;
    if (const std::size_t p = batch.period) {
      // Each position of the period is evaluated once: the whole periods
      // count its matches q times over, the tail of t positions its first t.
      const std::size_t t = n % p;
      std::uint64_t period_count = 0;
      std::uint64_t tail_count = 0;
      for (std::size_t k = 0; k < p; ++k) {
        const bool matched = evaluate(batch.items[k]);
        period_count += matched;
        if (k < t) tail_count += matched;
      }
      return py_count(n / p * period_count + tail_count);
    }
    std::uint64_t count = 0;
    PointerCache cache;
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* const item = batch.items[i];
      int slot;
      const PointerCache::State state = cache.find(item, slot);
      if (state != PointerCache::kEmpty) {
        count += state == PointerCache::kMatched;
        continue;
      }
      poll.tick();
      const bool matched = evaluate(item);
      count += matched;
      if (slot >= 0) cache.insert(slot, item, matched);
    }
    return py_count(count);
  });
}

// parse_batch: one result per item, shared between positions whose items are
// known to be the same object. `evaluate(PyObject* item)` returns a new
// result (`py::Object`) or null with an exception set.
template <class Evaluate>
PyObject* parse_items(PyObject* inputs, Evaluate&& evaluate) {
  return run([&]() -> PyObject* {
    Batch batch;
    if (!take_batch(inputs, true, batch)) return nullptr;
    const auto result_of = [&evaluate](PyObject* item) {
      py::Object result = evaluate(item);
      if (!result) throw py::ErrorSet{};
      end_if_given_up();
      return result;
    };

    const std::size_t n = batch.n;
    if (const std::size_t p = batch.period) {
      std::vector<py::Object> results;
      results.reserve(p);
      for (std::size_t k = 0; k < p; ++k) results.push_back(result_of(batch.items[k]));
      return repeat_period(results, n);
    }

    // Fallback: remember only the previous item and its result.
    py::ListBuilder out(n);
    if (!out) return nullptr;
    PyObject* previous = nullptr;
    PyObject* previous_result = nullptr;  // borrowed from `out`
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* const item = batch.items[i];
      if (item == previous) {
        out.push(Py_NewRef(previous_result));
        continue;
      }
      poll.tick();
      py::Object result = result_of(item);
      previous = item;
      previous_result = result.get();
      out.push(result.release());
    }
    return out.finish().release();
  });
}

// The generic per-item step of parse_batch: `parse_impl` at 0 with skip_ws
// set (no whitespace skipped before the element itself); the tokens as a new
// list, or a new empty list when the parse fails.
template <class Kind>
py::Object parse_item(const Kind& kind, PyObject* item) {
  std::string_view text;
  if (!item_text(item, text)) return {};
  if (!kind.start_bytes().may_match_at(text, 0)) return py::Object::steal(PyList_New(0));
  ParseContext ctx{text, true};
  ParseOutcome out = kind.parse_impl(ctx, 0);
  if (!out.ok()) return py::Object::steal(PyList_New(0));
  TokenStrs strs;
  return results_to_list(out.tokens(), strs);
}

}  // namespace batch

}  // namespace quernlet
