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
// where the previous one ended. The same test as And's `try_match_at`,
// inlined here.
MatchResult children_test(const AndElement& seq, std::string_view s, Pos pos) {
  for (const ElementHandle& child : seq.exprs()) {
    const MatchResult m = child->try_match_at(s, skip_before(s, *child, pos));
    if (!m.matched) return kNoMatch;
    pos = m.end;
  }
  return matched_at(pos);
}

auto children_test_of(const AndElement& seq) noexcept {
  return [&seq](std::string_view s, Pos pos) { return children_test(seq, s, pos); };
}

// Normal and Suppress children are only tested, and a Normal child's token
// is the text it covered; Group and Complex children run a full parse.
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
  return py_bool(whole_text_rule(s, children_test_of(payload_of<AndElement>(self))));
}

// The spans come from the children test (starts on character boundaries
// only); the items from And's own parse at each span's start.
PyObject* and_search_string(PyObject* self, std::string_view s) {
  const AndElement& seq = payload_of<AndElement>(self);
  return search_string_over(seq, s, children_test_of(seq));
}

// Empty matches count too (and move the scan by one byte), unlike in
// search_string.
PyObject* and_search_string_count(PyObject* self, std::string_view s) {
  return py_count(count_scan(s, children_test_of(payload_of<AndElement>(self))));
}

}  // namespace

constexpr SingleTextMethods kAnd = {
    {&and_parse_string,
     "parse_string($self, s)\n--\n\n"
     "Parse using parse_impl for correct multi-token handling.\n"
     "Uses try_match_at fast path for Normal elements, parse_impl for Complex/Suppress/Group."},
    {&and_matches,
     "matches($self, s)\n--\n\n"
     "Zero-allocation match check using try_match_at (no ParseResults)"},
    {&and_search_string,
     "search_string($self, s)\n--\n\n"
     "Search string \xE2\x80\x94 uses parse_impl for correct multi-token results, returns "
     "list-of-lists"},
    {&and_search_string_count, kSearchStringCountDoc},
    kGenericTransform<AndElement>,
};

}  // namespace quernlet::fast
