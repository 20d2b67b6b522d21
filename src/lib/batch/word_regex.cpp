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
// an identity-keyed map that evaluates each distinct object once.
// parse_batch_count is the shared counting skeleton with the test inlined.
#include <bit>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "batch/paths.hpp"
#include "batch/skeleton.hpp"
#include "elements/chars.hpp"
#include "elements/regex_run.hpp"

namespace quernlet {

namespace {

// The token of a match of `len` bytes at the start of `item`, whose UTF-8
// form is `text`: the item itself when the match covers it, else a new `str`.
py::Object token_of(PyObject* item, std::string_view text, std::size_t len) noexcept {
  if (len == text.size()) return py::Object::borrow(item);
  return py::str(text.substr(0, len));
}

// Evaluates one item with `length(text)` (the byte length of the match at
// 0, or -1 for none). `token` receives the token, or stays null when the
// item does not match. False with an exception set when the item has no
// UTF-8 view or the token cannot be made, and false when the item's run
// gave up (the method skeleton reports that).
template <class Length>
bool evaluate(PyObject* item, Length& length, py::Object& token) {
  std::string_view text;
  if (!batch::item_text(item, text)) return false;
  const std::int64_t len = length(text);
  if (run_gave_up()) [[unlikely]]
    return false;
  if (len < 0) return true;
  token = token_of(item, text, static_cast<std::size_t>(len));
  return static_cast<bool>(token);
}

// Identity-keyed outcomes of one call: item address -> token, or null when
// the item did not match. Entries are two words and never removed; the
// tokens are borrowed from the results kept so far (flat_fallback), which
// hold one reference per token kept, so every token entered here is held
// there at least once.
class ObjectResultMap {
 public:
  // A value-initialised Entry is an empty slot.
  struct Entry {
    std::uint64_t key;  // the item's address; 0 marks an empty slot
    PyObject* value;    // the item's token (borrowed); null: no match
  };

  std::size_t size() const noexcept { return table_.size(); }

  // The entry of `item`; on its first sight, `make(PyObject*& token)` gives
  // the token (null for no match) and it is entered. Null when `make`
  // returns false (nothing is entered then).
  template <class Make>
  const Entry* find_or_make(PyObject* item, Make&& make) {
    const std::uint64_t a = key_of(item);
    return table_.find_or_insert(a, [&](Entry& empty, std::uint64_t) {
      PyObject* token = nullptr;
      if (!make(token)) return false;
      empty = Entry{a, token};
      return true;
    });
  }

  // Room for `entries` entries in all, made at once.
  void reserve(std::size_t entries) { table_.reserve(entries); }

  // A lookup of `item` is coming: its slot is fetched meanwhile.
  void prefetch(PyObject* item) const noexcept { table_.prefetch(key_of(item)); }

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
};

// A batch that repeats its first `p` items (p = its period): each position
// of the first period is evaluated on its own (an object met twice within
// it is evaluated twice), and its tokens are repeated.
template <class Length>
PyObject* flat_periodic(const batch::Batch& batch, Length& length) {
  constexpr std::uint8_t kNone = 255;
  const std::size_t p = batch.period;
  std::vector<py::Object> tokens;  // the period's tokens in order, one owned reference each
  tokens.reserve(p);
  std::uint8_t index[128];  // per period position: its token's index, or kNone
  for (std::size_t k = 0; k < p; ++k) {
    py::Object token;
    if (!evaluate(batch.items[k], length, token)) return nullptr;
    index[k] = token ? static_cast<std::uint8_t>(tokens.size()) : kNone;
    if (token) tokens.push_back(std::move(token));
  }
  const std::size_t n = batch.n;
  const std::size_t q = n / p;
  const std::size_t t = n - q * p;
  const std::size_t k = tokens.size();

  if (t == 0) {
    if (k == 0) return new_empty_list();
    return repeat_list(list_taking(tokens), q);
  }

  std::vector<PyObject*> period(k);
  for (std::size_t i = 0; i < k; ++i) period[i] = tokens[i].get();
  std::vector<PyObject*> tail;  // the tokens of the first t positions
  for (std::size_t j = 0; j < t; ++j)
    if (index[j] != kNone) tail.push_back(period[index[j]]);
  return fill_periodic(period, q, tail);
}

// The entries a batch's identity map may come to hold, judged at item
// `first`, the first that may recur: as many as the rest of the list holds
// such items, in the share that the next few show, up to a bound.
inline std::size_t entries_expected(const batch::HeldItems& items, std::size_t first) {
  constexpr std::size_t kSample = 32;
  constexpr std::size_t kBound = std::size_t{1} << 20;
  const std::size_t rest = items.size() - first;
  const std::size_t sample = std::min(rest, kSample);
  std::size_t recurring = 0;
  for (std::size_t j = first; j < first + sample; ++j) recurring += items.may_recur(j);
  return std::min(rest / sample * recurring, kBound);
}

// Any other batch: each distinct object evaluated once, the same object
// always giving the same token. Objects that stand at one position only
// (HeldItems::may_recur) are evaluated without an entry, so a list of
// distinct objects costs no table; the table's slots are fetched a few
// items ahead, as a lookup in a large one is a cache miss. The items keep
// the result's tokens in order (HeldItems::push_result).
template <class Length>
PyObject* flat_fallback(batch::Batch& batch, Length& length) {
  constexpr std::size_t kAhead = 16;
  const std::size_t n = batch.n;
  batch::HeldItems& items = batch.items;
  ObjectResultMap map;
  py::ListBuilder out(n);
  if (!out) return nullptr;
  PyObject* last_item = nullptr;  // the previous item and its token (or null)
  PyObject* last_value = nullptr;
  InterruptPoll poll;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* const item = items[i];
    if (item == last_item) {
      if (last_value) out.push(Py_NewRef(last_value));
      continue;
    }
    last_item = item;
    if (i + kAhead < n && items.may_recur(i + kAhead)) map.prefetch(items[i + kAhead]);
    poll.tick();
    py::Object token;
    const auto make = [&](PyObject*& value) {
      if (!evaluate(item, length, token)) return false;
      value = token.get();
      return true;
    };
    if (items.may_recur(i)) {
      if (map.size() == 0) map.reserve(entries_expected(items, i));
      const ObjectResultMap::Entry* e = map.find_or_make(item, make);
      if (!e) return nullptr;
      last_value = e->value;
    } else if (!make(last_value)) {
      return nullptr;
    }
    // A new token is taken over; a mapped one gets a reference of its own.
    if (token)
      out.push(token.release());
    else if (last_value)
      out.push(Py_NewRef(last_value));
  }
  return out.finish_filled().release();
}

// parse_batch of both classes over `length(text)`, the byte length of the
// element's match at 0 or -1.
template <class Length>
PyObject* flat_tokens(PyObject* inputs, Length&& length) {
  return batch::run([&]() -> PyObject* {
    batch::Batch batch;
    if (!batch::take_batch(inputs, true, batch)) return nullptr;
    if (batch.n == 0) return new_empty_list();
    if (batch.period != 0) return flat_periodic(batch, length);
    return flat_fallback(batch, length);
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
