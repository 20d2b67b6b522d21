// Literal and Keyword single-text bodies.
//
// The token of every match is the element's own text, which the Python
// object keeps as a ready-made `str`: results hand out that one object, and
// search results are counted first and then built by list repetition, so
// no string or list is created per match.
#include <algorithm>
#include <cstring>
#include <string>

#include "elements/find.hpp"
#include "elements/literals.hpp"
#include "single_text/fast_paths.hpp"
#include "single_text/scans.hpp"

namespace quernlet::fast {

namespace {

const LiteralObject& literal_object(PyObject* self) noexcept {
  return *reinterpret_cast<const LiteralObject*>(self);
}

const KeywordObject& keyword_object(PyObject* self) noexcept {
  return *reinterpret_cast<const KeywordObject*>(self);
}

// [[item]] * count: `count` entries that are all one inner list.
PyObject* repeated_singleton(PyObject* item, std::uint64_t count) noexcept {
  if (count == 0) return PyList_New(0);
  return repeat_list(list_of(list_of(py::Object::borrow(item))), count);
}

constexpr std::size_t kShortCopy = 16;

// Copies `n` bytes from `src` to `w` and returns the end of the copy. A
// short piece is copied as one fixed block of kShortCopy bytes where both
// sides have room for it: the bytes past `n` are overwritten by the next
// piece, and the fixed copy costs no call, which on dense matches (a piece
// every few bytes) is most of the work.
inline char* copy_bytes(char* w, const char* w_end, const char* src, const char* src_end,
                        std::size_t n) noexcept {
  if (n <= kShortCopy && w_end - w >= static_cast<std::ptrdiff_t>(kShortCopy) &&
      src_end - src >= static_cast<std::ptrdiff_t>(kShortCopy))
    std::memcpy(w, src, kShortCopy);
  else
    std::memcpy(w, src, n);
  return w + n;
}

// The replacement written straight into a new ASCII `str`: its length is
// known from the count, and ASCII needs no decoding.
PyObject* replace_ascii(const SubstringFinder& finder, std::string_view s,
                        std::string_view replacement) {
  const std::size_t len = finder.needle().size();
  const std::uint64_t count = finder.count(s);
  const unsigned __int128 out_len = static_cast<unsigned __int128>(s.size()) +
                                    static_cast<unsigned __int128>(count) * replacement.size() -
                                    static_cast<unsigned __int128>(count) * len;
  if (out_len > static_cast<unsigned __int128>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  py::Object out = py::Object::steal(PyUnicode_New(static_cast<Py_ssize_t>(out_len), 127));
  if (!out) return nullptr;
  char* w = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get()));
  char* const w_end = w + static_cast<std::size_t>(out_len);
  const char* const s_end = s.data() + s.size();
  // The replacement padded to a whole short copy.
  char padded[kShortCopy] = {};
  std::memcpy(padded, replacement.data(), std::min(replacement.size(), kShortCopy));
  const char* const r = replacement.size() <= kShortCopy ? padded : replacement.data();
  std::size_t last = 0, from = 0, batch[256];
  for (std::size_t k = 256; k == 256;) {
    // Signal handlers run between batches; the output is ours alone.
    if (from != 0) run_signal_handlers();
    k = finder.find_many(s, from, batch, 256);
    for (std::size_t i = 0; i < k; ++i) {
      w = copy_bytes(w, w_end, s.data() + last, s_end, batch[i] - last);
      w = copy_bytes(w, w_end, r, r + kShortCopy, replacement.size());
      last = batch[i] + len;
    }
  }
  std::memcpy(w, s.data() + last, s.size() - last);
  return out.release();
}

PyObject* literal_parse_string(PyObject* self, const Text& s) {
  const LiteralObject& obj = literal_object(self);
  if (!payload_of<LiteralElement>(self).matches_at(s, advance_past_whitespace(s, 0)))
    return raise_value_error(obj.message);
  return list_of(py::Object::borrow(obj.s_obj.get())).release();
}

// The number of occurrences of the literal in `s`. A non-ASCII text
// without a UTF-8 form made is searched in its own storage (the needle's
// characters occur exactly where its UTF-8 bytes do), so it needs none,
// only the check that it could have one. -1 with an exception set when it
// could not.
std::int64_t literal_occurrences(PyObject* self, const Text& s) {
  const std::string_view needle = payload_of<LiteralElement>(self).s();
  // The bytes when they are at hand (an ASCII text, or one whose UTF-8
  // form exists): the vectorised byte search is the quicker count.
  if (s.data() != nullptr) return static_cast<std::int64_t>(literal_count(needle, s));
  if (!check_has_utf8_form(s.str)) return -1;
  // The empty literal is found at every byte of the UTF-8 form.
  if (needle.empty()) return static_cast<std::int64_t>(utf8_length(s.str));
  return PyUnicode_Count(s.str, literal_object(self).s_obj.get(), 0, PY_SSIZE_T_MAX);
}

PyObject* literal_search_string(PyObject* self, const Text& s) {
  const std::int64_t c = literal_occurrences(self, s);
  if (c < 0) return nullptr;
  return repeated_singleton(literal_object(self).s_obj.get(), static_cast<std::uint64_t>(c));
}

PyObject* literal_search_string_count(PyObject* self, const Text& s) {
  const std::int64_t c = literal_occurrences(self, s);
  return c < 0 ? nullptr : py_count(static_cast<std::uint64_t>(c));
}

// One character for another, in one pass; any other non-ASCII case by the
// interpreter's own replace, which gives the same text: the literal's
// occurrences among characters are those among UTF-8 bytes. The output is
// made from the text's own storage either way.
PyObject* literal_transform_string(PyObject* self, const Text& s, const Text& replacement) {
  PyObject* const needle = literal_object(self).s_obj.get();
  if (PyUnicode_GET_LENGTH(needle) == 1 && PyUnicode_GET_LENGTH(replacement.str) == 1)
    return replace_char(s.str, PyUnicode_READ_CHAR(needle, 0),
                        PyUnicode_READ_CHAR(replacement.str, 0));
  if (!s.ascii() && s.data() == nullptr && !check_has_utf8_form(s.str)) return nullptr;
  // An empty literal replaces nothing (it would match between all bytes).
  if (PyUnicode_GET_LENGTH(needle) == 0) return copy_str(s.str);
  if (s.ascii() && replacement.ascii())
    return replace_ascii(SubstringFinder(payload_of<LiteralElement>(self).s()), s, replacement);
  PyObject* out = PyUnicode_Replace(s.str, needle, replacement.str, -1);
  // Nothing replaced: the result is a new object all the same.
  if (out == s.str) {
    py::Object same = py::Object::steal(out);
    return copy_str(s.str);
  }
  return out;
}

PyObject* keyword_parse_string(PyObject* self, const Text& s) {
  if (!payload_of<KeywordElement>(self).matches_at(s, advance_past_whitespace(s, 0)))
    return raise_value_error("Expected keyword");
  return list_of(py::Object::borrow(keyword_object(self).s_obj.get())).release();
}

PyObject* keyword_search_string(PyObject* self, const Text& s) {
  const std::uint64_t c = keyword_count(payload_of<KeywordElement>(self), s);
  return repeated_singleton(keyword_object(self).s_obj.get(), c);
}

PyObject* keyword_search_string_count(PyObject* self, const Text& s) {
  return py_count(keyword_count(payload_of<KeywordElement>(self), s));
}

}  // namespace

constexpr SingleTextMethods kLiteral = {
    {&literal_parse_string,
     "parse_string($self, s)\n--\n\n"
     "Fast inline parse \xE2\x80\x94 returns a list holding the cached str, no allocation of "
     "its own"},
    {&matches_whole_text<LiteralElement>,
     "matches($self, s)\n--\n\n"
     "Zero-allocation match check \xE2\x80\x94 skips leading whitespace, requires full match"},
    {&literal_search_string,
     "search_string($self, s)\n--\n\n"
     "Search string \xE2\x80\x94 cycle-aware count + PySequence_Repeat for optimal list "
     "creation",
     true},
    {&literal_search_string_count,
     "search_string_count($self, s)\n--\n\n"
     "Count occurrences \xE2\x80\x94 cycle detection fast path + SIMD memchr fallback",
     true},
    {&literal_transform_string,
     "transform_string($self, s, replacement)\n--\n\n"
     "Replace all non-overlapping matches with replacement string.\n"
     "Uses SIMD-accelerated memchr::memmem for literal search.",
     true},
};

constexpr SingleTextMethods kKeyword = {
    {&keyword_parse_string,
     "parse_string($self, s)\n--\n\n"
     "Fast keyword parse \xE2\x80\x94 uses try_match_at + cached PyString, zero allocation"},
    {&matches_whole_text<KeywordElement>, kMatchesDoc},
    {&keyword_search_string,
     "search_string($self, s)\n--\n\n"
     "Search string \xE2\x80\x94 count + PySequence_Repeat (same pattern as Literal)"},
    {&keyword_search_string_count, kSearchStringCountDoc},
    kGenericTransform<KeywordElement>,
};

}  // namespace quernlet::fast
