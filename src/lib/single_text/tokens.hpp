// Python results of the single-text and batch bodies: small result
// helpers, parse failures as Python exceptions, the conversion of tokens
// into Python objects, and TokenTextMap (one Python object per distinct
// token text within one call).
//
// Every function that returns `PyObject*` returns a new reference, or null
// with an exception set; Python references are held in `py::Object`
// throughout. The method skeleton runs every body `guarded`, so a C++
// exception (allocation failure) never reaches the interpreter.
//
// Runaway recursion: a kind that gives up for lack of stack leaves the
// thread's too-deep flag set (or, from `parse_from_start`, returns a too-deep
// failure); the method skeleton checks the flag after every body and raises
// RecursionError, so scans need not stop early: once the flag is set every
// further attempt through a Forward fails at once.
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

#include "elements/element.hpp"
#include "module/binding.hpp"
#include "module/interrupt.hpp"
#include "module/open_table.hpp"
#include "module/py.hpp"
#include "single_text/text.hpp"

namespace quernlet {

// ---------------------------------------------------------------------------
// Small helpers.

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

// A new list that takes over the references of `objects` (left null); null
// with an exception set when it cannot be made.
inline py::Object list_taking(std::span<py::Object> objects) noexcept {
  py::Object list = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(objects.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < objects.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), objects[i].release());
  return list;
}

// `list`'s items `q` times over, as a new list; a null `list` (failure,
// with an exception set) gives null.
inline PyObject* repeat_list(const py::Object& list, std::size_t q) noexcept {
  return list ? PySequence_Repeat(list.get(), static_cast<Py_ssize_t>(q)) : nullptr;
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
// Lists that repeat a period of objects.

// Raises a refcount by `k` in one step (the object-by-object increase of
// the periodic fills).
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

// A new list of `n` items that repeats the results of the first p positions,
// `results` (p >= 1 of them, taken over), to the end: whole periods as one
// repeated list, else filled by `fill_periodic`.
inline PyObject* repeat_period(std::span<py::Object> results, std::size_t n) {
  const std::size_t p = results.size();
  const std::size_t q = n / p;
  const std::size_t t = n - q * p;
  if (t == 0) return repeat_list(list_taking(results), q);
  std::vector<PyObject*> period(p);
  for (std::size_t k = 0; k < p; ++k) period[k] = results[k].get();
  return fill_periodic(period, q, std::span<PyObject* const>(period).first(t));
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

  // Counts one object made towards the interrupt poll of the conversion.
  void tick() { poll_.tick(); }

 private:
  const Text* text_ = nullptr;  // null: decode every token
  bool cut_ = false;            // whether slices are cut from the storage
  CharOffsets offsets_;
  Pos last_ = 0;  // end of the last span cut; offsets are asked in order
  InterruptPoll poll_;
};

// The conversion takes the tokens apart as it goes: a list token's array is
// freed as soon as its Python list is complete, while it is still in cache,
// instead of in a second pass over the whole tree afterwards. Every item
// made counts towards the interrupt poll, so signal handlers may run within
// a long conversion; the lists are ListBuilders until full.
namespace detail {

inline py::Object take_token(Token& token, TokenStrs& strs);

inline py::Object take_list(std::span<Token> tokens, TokenStrs& strs) {
  py::ListBuilder list(tokens.size());
  if (!list) return py::Object();
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    strs.tick();
    py::Object item = take_token(tokens[i], strs);
    if (!item) return item;
    list.push(item.release());
  }
  return list.finish();
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

}  // namespace quernlet
