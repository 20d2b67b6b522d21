// The batch methods of the 26 classes: parse_batch and parse_batch_count,
// over the batch skeleton of drivers.hpp (uniform and cyclic lists evaluated
// once per distinct position, identity caches otherwise).
//
// Here every class uses the generic per-item steps: parse_impl at 0 for
// parse_batch, the kind's try_match_at at 0 for parse_batch_count (Group
// and Suppress test their child directly, which is the same test).
#include <array>

#include "../elements/chars.hpp"
#include "../elements/forward.hpp"
#include "../elements/literals.hpp"
#include "../elements/positional.hpp"
#include "../elements/structure.hpp"
#include "drivers.hpp"
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

template <class Kind>
constexpr BatchMethods generic_batch(ListBody count = &parse_batch_count_body<Kind>) {
  return BatchMethods{
      {&parse_batch_body<Kind>, kParseBatchDoc},
      {count, kParseBatchCountDoc},
  };
}

}  // namespace

const BatchMethods& batch_methods(Cls c) noexcept {
  static constexpr BatchMethods kLiteral = generic_batch<LiteralElement>();
  static constexpr BatchMethods kKeyword = generic_batch<KeywordElement>();
  static constexpr BatchMethods kWord = generic_batch<WordElement>();
  static constexpr BatchMethods kRegex = generic_batch<RegexElement>();
  static constexpr BatchMethods kAnd = generic_batch<AndElement>();
  static constexpr BatchMethods kMatchFirst = generic_batch<MatchFirstElement>();
  static constexpr BatchMethods kZeroOrMore = generic_batch<ZeroOrMoreElement>();
  static constexpr BatchMethods kOneOrMore = generic_batch<OneOrMoreElement>();
  static constexpr BatchMethods kOptional = generic_batch<OptionalElement>();
  static constexpr BatchMethods kGroup =
      generic_batch<GroupElement>(&parse_batch_count_child<GroupElement>);
  static constexpr BatchMethods kSuppress =
      generic_batch<SuppressElement>(&parse_batch_count_child<SuppressElement>);
  static constexpr BatchMethods kForward = generic_batch<ForwardElement>();
  static constexpr BatchMethods kCombine = generic_batch<CombineElement>();
  static constexpr BatchMethods kExactly = generic_batch<ExactlyElement>();
  static constexpr BatchMethods kCaselessLiteral = generic_batch<CaselessLiteralElement>();
  static constexpr BatchMethods kCaselessKeyword = generic_batch<CaselessKeywordElement>();
  static constexpr BatchMethods kChar = generic_batch<CharElement>();
  static constexpr BatchMethods kStringStart = generic_batch<StringStartElement>();
  static constexpr BatchMethods kStringEnd = generic_batch<StringEndElement>();
  static constexpr BatchMethods kLineStart = generic_batch<LineStartElement>();
  static constexpr BatchMethods kLineEnd = generic_batch<LineEndElement>();
  static constexpr BatchMethods kRestOfLine = generic_batch<RestOfLineElement>();
  static constexpr BatchMethods kQuotedString = generic_batch<QuotedStringElement>();
  static constexpr BatchMethods kEmpty = generic_batch<EmptyElement>();
  static constexpr BatchMethods kNoMatch = generic_batch<NoMatchElement>();
  static constexpr BatchMethods kSkipTo = generic_batch<SkipToElement>();

  // In the order of `Cls`.
  static constexpr std::array<const BatchMethods*, kClassCount> kByClass = {
      &kLiteral,         &kKeyword,    &kWord,         &kRegex,     &kAnd,
      &kMatchFirst,      &kZeroOrMore, &kOneOrMore,    &kOptional,  &kGroup,
      &kSuppress,        &kForward,    &kCombine,      &kExactly,   &kCaselessLiteral,
      &kCaselessKeyword, &kChar,       &kStringStart,  &kStringEnd, &kLineStart,
      &kLineEnd,         &kRestOfLine, &kQuotedString, &kEmpty,     &kNoMatch,
      &kSkipTo,
  };
  return *kByClass[index_of(c)];
}

}  // namespace quernlet
