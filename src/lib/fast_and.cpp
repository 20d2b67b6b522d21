// And single-text bodies: the children are walked here, each asked for its
// whitespace flag and, in parse_string, its element class, so that only
// Group and Complex children run a full parse.
#include <string>
#include <vector>

#include "../elements/structure.hpp"
#include "drivers.hpp"
#include "fast_paths.hpp"

namespace quernlet::fast {

namespace {

// The children test at `pos`: each child after its own whitespace skip,
// where the previous one ended. The same test as And's `try_match_at`.
MatchResult children_test(const AndElement& seq, std::string_view s, Pos pos) {
  for (const ElementHandle& child : seq.exprs()) {
    const MatchResult m = child->try_match_at(s, skip_before(s, *child, pos));
    if (!m.matched) return kNoMatch;
    pos = m.end;
  }
  return matched_at(pos);
}

}  // namespace

PyObject* and_parse_string(PyObject* self, std::string_view s) {
  const AndElement& seq = payload_of<AndElement>(self);
  ParseContext ctx{s, true};
  std::vector<py::Object> items;
  items.reserve(seq.exprs().size());
  Pos pos = advance_past_whitespace(s, 0);
  for (const ElementHandle& child : seq.exprs()) {
    const Pos start = skip_before(s, *child, pos);
    switch (child->element_class()) {
      case ElementClass::Group:
      case ElementClass::Complex: {
        ParseOutcome out = child->parse_impl(ctx, start);
        if (!out.ok()) return raise_parse_failure(out);
        pos = out.end();
        for (const Token& token : out.tokens()) {
          items.push_back(token_to_py(token));
          if (!items.back()) return nullptr;
        }
        break;
      }
      case ElementClass::Normal: {
        const MatchResult m = child->try_match_at(s, start);
        // The token is the covered text, so it must not cut a character.
        if (!m.matched || !is_char_boundary(s, m.end)) return raise_value_error("Expected match");
        pos = m.end;
        if (m.end > start) {
          items.push_back(py::str(s.substr(start, m.end - start)));
          if (!items.back()) return nullptr;
        }
        break;
      }
      case ElementClass::Suppress:
        if (const MatchResult m = child->try_match_at(s, start); m.matched) {
          pos = m.end;
          break;
        }
        return raise_value_error("Expected match");
    }
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i].release());
  return list;
}

PyObject* and_matches(PyObject* self, std::string_view s) {
  const MatchResult m =
      children_test(payload_of<AndElement>(self), s, advance_past_whitespace(s, 0));
  return py_bool(m.matched && advance_past_whitespace(s, m.end) == s.size());
}

PyObject* and_search_string(PyObject* self, std::string_view s) {
  const AndElement& seq = payload_of<AndElement>(self);
  if (s.empty()) return PyList_New(0);
  // Starts are tried on character boundaries only, so no item's text can
  // begin inside a character.
  std::vector<Span> spans;
  for (Pos start = 0; start < s.size();) {
    const MatchResult m = children_test(seq, s, start);
    if (m.matched && m.end > start) {
      spans.push_back({start, m.end});
      start = m.end;
    } else {
      start = next_char_boundary(s, start + 1);
    }
  }
  py::Object result = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!result || spans.empty()) return result.release();
  ParseContext ctx{s, true};
  for (std::size_t i = 0; i < spans.size(); ++i) {
    ParseOutcome out = seq.parse_impl(ctx, spans[i].start);
    if (out.too_deep()) return raise_too_deep();
    py::Object item = out.ok() ? results_to_list(out.tokens()) : py::Object::steal(PyList_New(0));
    if (!item) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return result.release();
}

PyObject* and_search_string_count(PyObject* self, std::string_view s) {
  const AndElement& seq = payload_of<AndElement>(self);
  std::uint64_t count = 0;
  for (Pos start = 0; start < s.size();) {
    const MatchResult m = children_test(seq, s, start);
    if (m.matched) {
      ++count;
      start = std::max(start + 1, m.end);
    } else {
      ++start;
    }
  }
  return PyLong_FromUnsignedLongLong(count);
}

}  // namespace quernlet::fast
