// Word and Regex batch bodies. Both test the element at the start of every
// item (no whitespace skipped, text after the match ignored) and give
// parse_batch as ONE flat list: the token of every matching item, in input
// order, nothing for an item that does not match. So len(parse_batch(x))
// always equals parse_batch_count(x).
//
// A token that covers its whole item is the item object itself; otherwise a
// new `str` of the matched bytes. Both matches end on character boundaries
// (Word tests whole characters when its sets hold code points 128..255, and
// Regex rejects a match that would cut one), so every `str` made is valid.
//
// parse_batch evaluates a periodic list once per position of its first
// period and lays the tokens out by repetition; any other list goes through
// an identity-keyed map that evaluates each distinct object once, until a
// run of distinct objects shows that repeats are rare.
// parse_batch_count is the shared counting skeleton with the test inlined.
#include <bit>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "../elements/chars.hpp"
#include "../elements/regex_run.hpp"
#include "batch_paths.hpp"
#include "drivers.hpp"

namespace quernlet {

namespace {

using batch::Items;

// The token of a match of `len` bytes at the start of `item`, whose UTF-8
// form is `text`: the item itself when the match covers it, else a new `str`.
py::Object token_of(PyObject* item, std::string_view text, std::size_t len) noexcept {
  if (len == text.size()) return py::Object::borrow(item);
  return py::str(text.substr(0, len));
}

// Evaluates one item with `length(text)` (the byte length of the match at
// 0, or -1 for none). `token` receives the token, or stays null when the
// item does not match. False with an exception set when the item has no
// UTF-8 view or the token cannot be made.
template <class Length>
bool evaluate(PyObject* item, Length& length, py::Object& token) {
  std::string_view text;
  if (!py::utf8_view(item, text)) return false;
  const std::int64_t len = length(text);
  if (len < 0) return true;
  token = token_of(item, text, static_cast<std::size_t>(len));
  return static_cast<bool>(token);
}

// Identity-keyed outcomes of one call: item address -> token, or null when
// the item did not match. It keeps one reference to every token it holds,
// released with the map.
class ObjectResultMap {
 public:
  // A value-initialised Entry is an empty slot.
  struct Entry {
    std::uint64_t key;  // the item's address; 0 marks an empty slot
    PyObject* value;    // borrowed from `owned_`; null: no match
  };

  // The entry of `item`, or null when it has none.
  const Entry* find(PyObject* item) const noexcept { return table_.find(key_of(item)); }

  // Enters `item` (not yet in the map) with `token` (may be null).
  void insert(PyObject* item, py::Object token) {
    PyObject* const value = token.get();
    if (value) owned_.push_back(std::move(token));
    const std::uint64_t a = key_of(item);
    table_.find_or_insert(a, [&](Entry& empty, std::uint64_t) {
      empty = Entry{a, value};
      return true;
    });
  }

 private:
  struct Traits {
    using Key = std::uint64_t;
    using Slot = Entry;
    static constexpr std::size_t kFirstCapacity = 64;
    static std::uint64_t hash(std::uint64_t a) noexcept {
      return std::rotl(a * 0xf1357aea2e62a9c5ull, 26);
    }
    static std::uint64_t hash_of(const Entry& e) noexcept { return hash(e.key); }
    static bool holds(const Entry& e, std::uint64_t a, std::uint64_t) noexcept {
      return e.key == a;
    }
    static bool is_empty(const Entry& e) noexcept { return e.key == 0; }
  };

  static std::uint64_t key_of(PyObject* item) noexcept {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(item));
  }

  OpenTable<Traits> table_;
  std::vector<py::Object> owned_;  // one reference per token held
};

// A list of `n` items taken from `at(i)` (borrowed), each given a new
// reference.
template <class At>
PyObject* list_from(std::size_t n, At&& at) noexcept {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(at(i)));
  return list;
}

// A list that repeats its first `p` items to the end (p = cyclic_detection):
// the first period is evaluated position by position, an object met again
// within it sharing its first position's token (p < 128, so a look back is
// cheaper than a map), and its tokens are repeated.
template <class Length>
PyObject* flat_periodic(Items items, std::size_t p, Length& length) {
  constexpr std::uint8_t kNone = 255;
  std::vector<py::Object> tokens;  // the period's tokens in order, one owned reference each
  tokens.reserve(p);
  std::uint8_t index[128];  // per period position: its token's index, or kNone
  for (std::size_t k = 0; k < p; ++k) {
    py::Object token;
    std::size_t seen = 0;
    while (seen < k && items[seen] != items[k]) ++seen;
    if (seen < k) {
      if (index[seen] != kNone) token = tokens[index[seen]];
    } else if (!evaluate(items[k], length, token)) {
      return nullptr;
    }
    index[k] = token ? static_cast<std::uint8_t>(tokens.size()) : kNone;
    if (token) tokens.push_back(std::move(token));
  }
  const std::size_t n = items.size;
  const std::size_t q = n / p;
  const std::size_t t = n - q * p;
  const std::size_t k = tokens.size();

  if (t == 0) {
    if (k == 0) return new_empty_list();
    py::Object period =
        py::Object::steal(list_from(k, [&tokens](std::size_t i) { return tokens[i].get(); }));
    if (!period) return nullptr;
    return PySequence_Repeat(period.get(), static_cast<Py_ssize_t>(q));
  }

  std::vector<PyObject*> period(k);
  for (std::size_t i = 0; i < k; ++i) period[i] = tokens[i].get();
  std::vector<PyObject*> tail;  // the tokens of the first t positions
  for (std::size_t j = 0; j < t; ++j)
    if (index[j] != kNone) tail.push_back(period[index[j]]);
  return batch::fill_periodic(period, q, tail);
}

// After this many distinct objects in a row the map stops taking new ones:
// a list of distinct objects then costs one test per item, not a growing
// table besides.
constexpr std::size_t kMissRun = 32;

// Any other list: each object evaluated once through the map while repeats
// keep turning up, and each item on its own once they stop (an item equal
// to the one before it still shares its token).
template <class Length>
PyObject* flat_fallback(Items items, Length& length) {
  ObjectResultMap map;
  std::vector<py::Object> unmapped;  // tokens of items evaluated outside the map
  std::vector<PyObject*> out;        // the result's tokens, borrowed
  std::size_t misses = 0;
  PyObject* last_item = nullptr;  // the previous item and its token (or null)
  PyObject* last_value = nullptr;
  SigintPoll poll;
  for (std::size_t i = 0; i < items.size; ++i) {
    PyObject* const item = items[i];
    if (item == last_item) {
      if (last_value) out.push_back(last_value);
      continue;
    }
    last_item = item;
    if (const ObjectResultMap::Entry* e = map.find(item)) {
      misses = 0;
      last_value = e->value;
      if (e->value) out.push_back(e->value);
      continue;
    }
    poll.tick();
    py::Object token;
    if (!evaluate(item, length, token)) return nullptr;
    PyObject* const value = token.get();
    last_value = value;
    if (misses < kMissRun) {
      ++misses;
      map.insert(item, std::move(token));
    } else if (value) {
      unmapped.push_back(std::move(token));
    }
    if (value) out.push_back(value);
  }
  return list_from(out.size(), [&out](std::size_t i) { return out[i]; });
}

// parse_batch of both classes over `length(text)`, the byte length of the
// element's match at 0 or -1.
template <class Length>
PyObject* flat_tokens(PyObject* inputs, Length&& length) {
  return batch::with_list_held(inputs, [&]() -> PyObject* {
    const Items items = batch::list_items(inputs);
    if (items.size == 0) return new_empty_list();
    if (const std::size_t p = batch::cyclic_detection(items))
      return flat_periodic(items, p, length);
    return flat_fallback(items, length);
  });
}

// ---------------------------------------------------------------------------
// Word

// The Word's match at 0 decides by its first character alone (min_len 1,
// no upper bound). ASCII-only sets hold no member of 128 or above, so a
// byte test decides for them; otherwise a Latin-1 character is tested whole.
bool word_starts(const WordElement& word, std::string_view text) noexcept {
  if (text.empty()) return false;
  const auto b = static_cast<unsigned char>(text[0]);
  if (b < 0x80 || word.ascii_only()) return word.init_set().has(b);
  unsigned len;
  return word.init_set().has(latin1_at(text, 0, len));
}

PyObject* word_parse_batch(PyObject* self, PyObject* inputs) {
  const WordElement& word = payload_of<WordElement>(self);
  return flat_tokens(inputs, [&word](std::string_view text) -> std::int64_t {
    const Pos end = word.match_end(text, 0);
    return end == 0 ? -1 : static_cast<std::int64_t>(end);
  });
}

PyObject* word_parse_batch_count(PyObject* self, PyObject* inputs) {
  const WordElement& word = payload_of<WordElement>(self);
  return batch::count_items(inputs,
                            [&word](std::string_view text) { return word_starts(word, text); });
}

// ---------------------------------------------------------------------------
// Regex: the compiled pattern anchored on the whole item, whatever the mode.

PyObject* regex_parse_batch(PyObject* self, PyObject* inputs) {
  const RegexElement& regex = payload_of<RegexElement>(self);
  return flat_tokens(inputs,
                     [&regex](std::string_view text) { return utf8_match_length(regex, text, 0); });
}

PyObject* regex_parse_batch_count(PyObject* self, PyObject* inputs) {
  const RegexElement& regex = payload_of<RegexElement>(self);
  return batch::count_items(
      inputs, [&regex](std::string_view text) { return utf8_match_length(regex, text, 0) >= 0; });
}

constexpr const char* kFlatParseBatchDoc =
    "parse_batch($self, inputs)\n--\n\n"
    "Cyclic detection + hash-based cache fallback + bulk INCREF";

constexpr BatchMethods kWordBatchMethods{
    {&word_parse_batch, kFlatParseBatchDoc},
    {&word_parse_batch_count,
     "parse_batch_count($self, inputs)\n--\n\n"
     "Count word matches in batch — uniform + cycle + hash cache"},
};

constexpr BatchMethods kRegexBatchMethods{
    {&regex_parse_batch, kFlatParseBatchDoc},
    {&regex_parse_batch_count,
     "parse_batch_count($self, inputs)\n--\n\n"
     "Count regex matches in batch — uniform + cycle + hash cache"},
};

}  // namespace

const BatchMethods& word_batch_methods() noexcept { return kWordBatchMethods; }
const BatchMethods& regex_batch_methods() noexcept { return kRegexBatchMethods; }

}  // namespace quernlet
