// Regex single-text bodies: the compiled forms used directly. parse_string
// and matches use the anchored form at one position; search_string,
// search_string_count and transform_string iterate the matches of the
// unanchored form over the whole text.
#include <string>
#include <vector>

#include "../elements/chars.hpp"
#include "../elements/regex_scan.hpp"
#include "drivers.hpp"
#include "fast_paths.hpp"

namespace quernlet::fast {

namespace {

std::vector<MatchSpan> all_matches(const RegexElement& regex, std::string_view s) {
  std::vector<MatchSpan> spans;
  spans.reserve(4);
  RegexMatchIterator it(regex.unanchored(), s);
  for (MatchSpan m; it.next(m);) spans.push_back(m);
  return spans;
}

}  // namespace

PyObject* regex_parse_string(PyObject* self, std::string_view s) {
  const RegexElement& regex = payload_of<RegexElement>(self);
  const Pos p = advance_past_whitespace(s, 0);
  const std::int64_t len = regex.match_length(s, p);
  if (len < 0) return raise_value_error("Expected regex match");
  py::Object token = py::str(s.substr(p, static_cast<std::size_t>(len)));
  if (!token) return nullptr;
  PyObject* list = PyList_New(1);
  if (list) PyList_SET_ITEM(list, 0, token.release());
  return list;
}

PyObject* regex_matches(PyObject* self, std::string_view s) {
  const RegexElement& regex = payload_of<RegexElement>(self);
  const std::size_t n = s.size();
  const Pos p = advance_past_whitespace(s, 0);
  Pos end;
  switch (regex.mode()) {
    case RegexElement::kWhitespaceRun:
      if (p >= n || !is_regex_space(static_cast<unsigned char>(s[p]))) return py_bool(false);
      end = p + 1;
      while (end < n && is_regex_space(static_cast<unsigned char>(s[end]))) ++end;
      break;
    case RegexElement::kOneByteOfClass:
      if (p >= n || !regex.byte_set().has(static_cast<unsigned char>(s[p]))) return py_bool(false);
      end = p + 1;
      break;
    default: {
      const std::int64_t len = regex.match_length(s, p);
      if (len < 0) return py_bool(false);
      end = p + static_cast<Pos>(len);
      break;
    }
  }
  return py_bool(advance_past_whitespace(s, end) == n);
}

PyObject* regex_search_string(PyObject* self, std::string_view s) {
  const std::vector<MatchSpan> spans = all_matches(payload_of<RegexElement>(self), s);
  py::Object result = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!result || spans.empty()) return result.release();
  // Equal texts share one `str`; every match gets a list of its own.
  TokenTextMap strs;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    py::Object str = strs.str(s.substr(spans[i].start, spans[i].end - spans[i].start));
    if (!str) return nullptr;
    PyObject* item = PyList_New(1);
    if (!item) return nullptr;
    PyList_SET_ITEM(item, 0, str.release());
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item);
  }
  return result.release();
}

PyObject* regex_search_string_count(PyObject* self, std::string_view s) {
  return PyLong_FromUnsignedLongLong(regex_count(payload_of<RegexElement>(self).unanchored(), s));
}

PyObject* regex_transform_string(PyObject* self, std::string_view s, std::string_view replacement) {
  const std::vector<MatchSpan> spans = all_matches(payload_of<RegexElement>(self), s);
  if (spans.empty()) return py::str(s).release();
  std::string out;
  out.reserve(s.size());
  Pos last = 0;
  for (const MatchSpan& m : spans) {
    out.append(s.data() + last, m.start - last);
    out.append(replacement);
    last = m.end;
  }
  out.append(s.data() + last, s.size() - last);
  return py::str(out).release();
}

}  // namespace quernlet::fast
