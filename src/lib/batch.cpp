// The batch methods of the 26 classes: parse_batch and parse_batch_count,
// over the batch skeleton of drivers.hpp (uniform and cyclic lists evaluated
// once per distinct position, identity caches otherwise).
//
// Here every class uses the generic per-item steps: parse_impl at 0 for
// parse_batch, the kind's try_match_at at 0 for parse_batch_count (Group
// and Suppress test their child directly, which is the same test).
#include "drivers.hpp"
#include "kinds.hpp"
#include "operations.hpp"

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
      inputs, [&element](std::string_view text) { return element.try_match_at(text, 0).matched; });
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

template <Cls C>
constexpr BatchMethods batch_methods_of() {
  using Kind = KindOf<C>;
  ListBody count = &parse_batch_count_body<Kind>;
  if constexpr (C == Cls::Group || C == Cls::Suppress) count = &parse_batch_count_child<Kind>;
  return BatchMethods{
      {&parse_batch_body<Kind>, kParseBatchDoc},
      {count, kParseBatchCountDoc},
  };
}

constexpr auto kBatchMethods = for_each_class([]<Cls C>() { return batch_methods_of<C>(); });

}  // namespace

const BatchMethods& batch_methods(Cls c) noexcept { return kBatchMethods[index_of(c)]; }

}  // namespace quernlet
