// The batch methods of the 26 classes: parse_batch and parse_batch_count,
// over the batch skeleton of batch/skeleton.hpp (uniform and cyclic lists
// evaluated once per distinct position, identity caches otherwise).
//
// Most classes use the generic per-item steps: parse_impl at 0 for
// parse_batch, the kind's try_match_at at 0 for parse_batch_count (Group
// and Suppress test their child directly, which is the same test). The
// positional classes, Optional and Char count with their test written into
// the skeleton, Suppress.parse_batch only tests its child, and Literal,
// Keyword, Word, Regex and And have bodies of their own (batch/literal.cpp,
// batch/word_regex.cpp, batch/and.cpp).
#include "batch/paths.hpp"
#include "batch/skeleton.hpp"
#include "module/kinds.hpp"
#include "module/operations.hpp"

namespace quernlet {

namespace {

constexpr const char* kParseBatchDoc = "parse_batch($self, inputs)\n--\n\n";
constexpr const char* kParseBatchCountDoc = "parse_batch_count($self, inputs)\n--\n\n";

template <class Kind>
PyObject* parse_batch_body(PyObject* self, PyObject* inputs) {
  const Kind& kind = payload_of<Kind>(self);
  return batch::parse_items(inputs,
                            [&kind](PyObject* item) { return batch::parse_item(kind, item); });
}

// Counts the items on which `element` matches at 0.
template <class Kind>
PyObject* count_with(const Kind& element, PyObject* inputs) {
  return batch::count_items(
      inputs, [&element](std::string_view text) { return matches_at_start(element, text); });
}

template <class Kind>
PyObject* parse_batch_count_body(PyObject* self, PyObject* inputs) {
  return count_with(payload_of<Kind>(self), inputs);
}

// Group and Suppress match exactly where their child does: the child is
// tested through its own operation table.
template <class Kind>
PyObject* parse_batch_count_child(PyObject* self, PyObject* inputs) {
  return count_with(payload_of<Kind>(self).expr(), inputs);
}

// Counts the items that `test(text)` accepts; the test is the kind's
// try_match_at at 0, written out so that nothing is called through an
// operation table. Every evaluated item is still viewed, so a non-str item
// raises even where the test ignores the text.
template <auto Test>
PyObject* count_inline(PyObject*, PyObject* inputs) {
  return batch::count_items(inputs, Test);
}

constexpr auto always = [](std::string_view) { return true; };
constexpr auto never = [](std::string_view) { return false; };
constexpr auto at_end = [](std::string_view text) { return text.empty(); };
constexpr auto at_line_end = [](std::string_view text) { return text.empty() || text[0] == '\n'; };

// Char matches a whole member character at 0, however many bytes it has.
PyObject* char_parse_batch_count(PyObject* self, PyObject* inputs) {
  const CharElement& kind = payload_of<CharElement>(self);
  return batch::count_items(
      inputs, [&kind](std::string_view text) { return kind.match_len_at(text, 0) != 0; });
}

// Every entry is an empty list: the entries of matching items are one shared
// list, each failing item gets its own. The child is tested at 0.
PyObject* suppress_parse_batch(PyObject* self, PyObject* inputs) {
  const Element& child = payload_of<SuppressElement>(self).expr();
  return batch::run([&]() -> PyObject* {
    batch::Batch batch;
    if (!batch::take_batch(inputs, false, batch)) return nullptr;
    const py::Object matched = py::Object::steal(PyList_New(0));
    if (!matched) return nullptr;
    py::ListBuilder out(batch.n);
    if (!out) return nullptr;
    InterruptPoll poll;
    for (std::size_t i = 0; i < batch.n; ++i) {
      PyObject* const item = batch.items[i];
      poll.tick();
      std::string_view text;
      if (!batch::item_text(item, text)) return nullptr;
      const bool hit = matches_at_start(child, text);
      batch::end_if_given_up();
      PyObject* entry = hit ? Py_NewRef(matched.get()) : PyList_New(0);
      if (!entry) return nullptr;
      out.push(entry);
    }
    return out.finish().release();
  });
}

template <Cls C>
constexpr BatchMethods batch_methods_of() {
  using Kind = KindOf<C>;
  ListBody parse = &parse_batch_body<Kind>;
  ListBody count = &parse_batch_count_body<Kind>;
  if constexpr (C == Cls::Group || C == Cls::Suppress) count = &parse_batch_count_child<Kind>;
  if constexpr (C == Cls::Suppress) parse = &suppress_parse_batch;
  if constexpr (C == Cls::LineStart || C == Cls::StringStart || C == Cls::Empty ||
                C == Cls::Optional)
    count = &count_inline<always>;
  if constexpr (C == Cls::NoMatch) count = &count_inline<never>;
  if constexpr (C == Cls::StringEnd) count = &count_inline<at_end>;
  if constexpr (C == Cls::LineEnd) count = &count_inline<at_line_end>;
  if constexpr (C == Cls::Char) count = &char_parse_batch_count;
  return BatchMethods{
      {parse, kParseBatchDoc},
      {count, kParseBatchCountDoc},
  };
}

constexpr auto kBatchMethods = for_each_class([]<Cls C>() { return batch_methods_of<C>(); });

}  // namespace

const BatchMethods& batch_methods(Cls c) noexcept {
  switch (c) {
    case Cls::Literal:
      return literal_batch_methods();
    case Cls::Keyword:
      return keyword_batch_methods();
    case Cls::Word:
      return word_batch_methods();
    case Cls::Regex:
      return regex_batch_methods();
    case Cls::And:
      return and_batch_methods();
    default:
      return kBatchMethods[index_of(c)];
  }
}

}  // namespace quernlet
