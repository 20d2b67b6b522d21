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

// [item], holding a new reference to `item`.
PyObject* list_of(PyObject* item) noexcept {
  PyObject* list = PyList_New(1);
  if (list) PyList_SET_ITEM(list, 0, Py_NewRef(item));
  return list;
}

// [[item]] * count: `count` entries that are all one inner list.
PyObject* repeated_singleton(PyObject* item, std::uint64_t count) noexcept {
  if (count == 0) return PyList_New(0);
  py::Object inner = py::Object::steal(list_of(item));
  if (!inner) return nullptr;
  py::Object outer = py::Object::steal(list_of(inner.get()));
  if (!outer) return nullptr;
  return PySequence_Repeat(outer.get(), static_cast<Py_ssize_t>(count));
}

// True when no byte has its high bit set.
bool is_ascii(std::string_view s) noexcept {
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t acc = 0;
  for (; n >= 32; p += 32, n -= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p, 32);
    acc |= w[0] | w[1] | w[2] | w[3];
  }
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    acc |= w;
  }
  for (; n != 0; --n, ++p) acc |= static_cast<unsigned char>(*p);
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

}  // namespace

PyObject* literal_parse_string(PyObject* self, std::string_view s) {
  const LiteralObject& obj = literal_object(self);
  if (!payload_of<LiteralElement>(self).matches_at(s, advance_past_whitespace(s, 0)))
    return raise_value_error(obj.message);
  return list_of(obj.s_obj.get());
}

PyObject* literal_search_string(PyObject* self, std::string_view s) {
  const std::uint64_t c = quernlet::literal_count(payload_of<LiteralElement>(self).s(), s);
  return repeated_singleton(literal_object(self).s_obj.get(), c);
}

PyObject* literal_search_string_count(PyObject* self, std::string_view s) {
  return PyLong_FromUnsignedLongLong(
      quernlet::literal_count(payload_of<LiteralElement>(self).s(), s));
}

PyObject* literal_transform_string(PyObject* self, std::string_view s,
                                   std::string_view replacement) {
  const std::string_view needle = payload_of<LiteralElement>(self).s();
  // An empty literal replaces nothing (it would match between all bytes).
  if (needle.empty()) return py::str(s).release();
  const SubstringFinder finder(needle);
  if (is_ascii(s) && is_ascii(replacement)) return replace_ascii(finder, s, replacement);
  std::string out;
  out.reserve(s.size());
  std::size_t last = 0, from = 0, batch[256];
  for (std::size_t k = 256; k == 256;) {
    k = finder.find_many(s, from, batch, 256);
    for (std::size_t i = 0; i < k; ++i) {
      out.append(s.data() + last, batch[i] - last);
      out.append(replacement);
      last = batch[i] + needle.size();
    }
  }
  out.append(s.data() + last, s.size() - last);
  // A needle that is whole characters only occurs on character boundaries,
  // so the output is valid text.
  return py::str(out).release();
}

PyObject* keyword_parse_string(PyObject* self, std::string_view s) {
  if (!payload_of<KeywordElement>(self).matches_at(s, advance_past_whitespace(s, 0)))
    return raise_value_error("Expected keyword");
  return list_of(keyword_object(self).s_obj.get());
}

PyObject* keyword_search_string(PyObject* self, std::string_view s) {
  const std::uint64_t c = quernlet::keyword_count(payload_of<KeywordElement>(self), s);
  return repeated_singleton(keyword_object(self).s_obj.get(), c);
}

PyObject* keyword_search_string_count(PyObject* self, std::string_view s) {
  return PyLong_FromUnsignedLongLong(quernlet::keyword_count(payload_of<KeywordElement>(self), s));
}

}  // namespace quernlet::fast
