// The batch skeleton that every parse_batch and parse_batch_count body runs
// on: the list's items read in place, uniform and cyclic lists evaluated
// once per distinct position, identity caches, bulk reference counts, and
// the generic per-item step.
//
// Long loops poll for Ctrl-C (module/interrupt.hpp) once per so many
// evaluated items.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
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
// everything; its result is dropped and the handlers then run outside it,
// and when one raises (KeyboardInterrupt) so does the call. Handlers that
// return let the body start again from scratch, on the list as they left
// it, with a new engine scope: nothing the abandoned run remembered (such as
// a SkipTo search it gave up) reaches the new one.
template <class F>
PyObject* with_list_held([[maybe_unused]] PyObject* list, F&& body) noexcept {
  return restart_after_sigint([&](bool& interrupted) {
    const InterruptScope batch_mode(false);
    const CallScope engine(false);
    PyObject* result;
    Py_BEGIN_CRITICAL_SECTION(list);
    result = guarded_against_sigint(body, interrupted);
    Py_END_CRITICAL_SECTION();
    interrupted |= batch_mode.sigint_noted();
    return result;
  });
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
      return repeat_list(list_of(evaluate(items[0])), n);
    }

    if (const std::size_t p = cyclic_detection(items)) {
      std::vector<py::Object> results;
      results.reserve(p);
      for (std::size_t k = 0; k < p; ++k) {
        results.push_back(evaluate(items[k]));
        if (!results.back()) return nullptr;
      }
      return repeat_period(results, n);
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
