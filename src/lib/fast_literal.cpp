// Literal and Keyword single-text bodies.
//
// The token of every match is the element's own text, which the Python
// object keeps as a ready-made `str`: results hand out that one object, and
// search results are counted first and then built by list repetition, so
// no string or list is created per match.
#include <cstring>
#include <string>

#include "../elements/find.hpp"
#include "../elements/literals.hpp"
#include "drivers.hpp"
#include "fast_paths.hpp"

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
  py::Object outer = list_of(list_of(py::Object::borrow(item)));
  if (!outer) return nullptr;
  return PySequence_Repeat(outer.get(), static_cast<Py_ssize_t>(count));
}

// True when no byte has its high bit set.
bool is_ascii(std::string_view s) noexcept {
  const std::uint64_t acc = fold_bytes(
      s, std::uint64_t{0}, [](std::uint64_t a, std::uint64_t w) { return a | w; },
      [](std::uint64_t a, unsigned char b) { return a | b; });
  return (acc & 0x8080808080808080ull) == 0;
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
  PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(out_len), 127);
  if (!out) return nullptr;
  char* w = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out));
  std::size_t last = 0, from = 0, batch[256];
  for (std::size_t k = 256; k == 256;) {
    k = finder.find_many(s, from, batch, 256);
    for (std::size_t i = 0; i < k; ++i) {
      std::memcpy(w, s.data() + last, batch[i] - last);
      w += batch[i] - last;
      std::memcpy(w, replacement.data(), replacement.size());
      w += replacement.size();
      last = batch[i] + len;
    }
  }
  std::memcpy(w, s.data() + last, s.size() - last);
  return out;
}

PyObject* literal_parse_string(PyObject* self, const Text& s) {
  const LiteralObject& obj = literal_object(self);
  if (!payload_of<LiteralElement>(self).matches_at(s, advance_past_whitespace(s, 0)))
    return raise_value_error(obj.message);
  return list_of(py::Object::borrow(obj.s_obj.get())).release();
}

PyObject* literal_search_string(PyObject* self, const Text& s) {
  const std::uint64_t c = literal_count(payload_of<LiteralElement>(self).s(), s);
  return repeated_singleton(literal_object(self).s_obj.get(), c);
}

PyObject* literal_search_string_count(PyObject* self, const Text& s) {
  return py_count(literal_count(payload_of<LiteralElement>(self).s(), s));
}

PyObject* literal_transform_string(PyObject* self, const Text& s, const Text& replacement) {
  const std::string_view needle = payload_of<LiteralElement>(self).s();
  // An empty literal replaces nothing (it would match between all bytes).
  if (needle.empty()) return py::str(s).release();
  const SubstringFinder finder(needle);
  if (is_ascii(s) && is_ascii(replacement)) return replace_ascii(finder, s, replacement);
  // A needle that is whole characters only occurs on character boundaries,
  // so the output is valid text.
  ReplacedText out(s, replacement);
  std::size_t from = 0, batch[256];
  for (std::size_t k = 256; k == 256;) {
    k = finder.find_many(s, from, batch, 256);
    for (std::size_t i = 0; i < k; ++i) out.replace(batch[i], batch[i] + needle.size());
  }
  return out.finish();
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
     "creation"},
    {&literal_search_string_count,
     "search_string_count($self, s)\n--\n\n"
     "Count occurrences \xE2\x80\x94 cycle detection fast path + SIMD memchr fallback"},
    {&literal_transform_string,
     "transform_string($self, s, replacement)\n--\n\n"
     "Replace all non-overlapping matches with replacement string.\n"
     "Uses SIMD-accelerated memchr::memmem for literal search."},
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
