// And single-text bodies. parse_string walks the children itself, asking
// each for its whitespace flag and element class, so that only Group and
// Complex children run a full parse; the other bodies use And's own test
// (a direct call on the final kind).
#include <string>
#include <vector>

#include "elements/structure.hpp"
#include "single_text/fast_paths.hpp"
#include "single_text/scans.hpp"

namespace quernlet::fast {

namespace {

// Normal and Suppress children are only tested, and a Normal child's token
// is the text it covered; Group and Complex children run a full parse.
PyObject* and_parse_string(PyObject* self, const Text& s) {
  const AndElement& seq = payload_of<AndElement>(self);
  ParseContext ctx{s, true};
  std::vector<py::Object> items;
  items.reserve(seq.exprs().size());
  TokenStrs strs(s);
  Pos pos = advance_past_whitespace(s, 0);
  for (const ElementHandle& child : seq.exprs()) {
    const Pos start = skip_before(s, *child, pos);
    switch (child->element_class()) {
      case ElementClass::Group:
      case ElementClass::Complex: {
        ParseOutcome out = child->parse_impl(ctx, start);
        if (!out.ok()) return raise_parse_failure(out);
        pos = out.end();
        for (Token& token : out.tokens()) {
          items.push_back(token_to_py(token, strs));
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
          items.push_back(strs.slice(start, m.end));
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
  return list_taking(items).release();
}

// Empty matches count too (and move the scan by one byte), unlike in
// search_string.
PyObject* and_search_string_count(PyObject* self, const Text& s) {
  return py_count(count_matches(payload_of<AndElement>(self), s));
}

}  // namespace

constexpr SingleTextMethods kAnd = {
    {&and_parse_string,
     "parse_string($self, s)\n--\n\n"
     "Parse using parse_impl for correct multi-token handling.\n"
     "Uses try_match_at fast path for Normal elements, parse_impl for Complex/Suppress/Group."},
    {&matches_whole_text<AndElement>,
     "matches($self, s)\n--\n\n"
     "Zero-allocation match check using try_match_at (no ParseResults)"},
    {&search_string_body<AndElement>,
     "search_string($self, s)\n--\n\n"
     "Search string \xE2\x80\x94 uses parse_impl for correct multi-token results, returns "
     "list-of-lists"},
    {&and_search_string_count, kSearchStringCountDoc},
    kGenericTransform<AndElement>,
};

}  // namespace quernlet::fast
