// Python element objects: the 26 classes, their object layouts, type
// objects and the method-call skeleton shared by every method.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "elements/element.hpp"
#include "module/py.hpp"

namespace quernlet {

// The 26 classes, in the order the module adds them.
enum class Cls : std::uint8_t {
  Literal,
  Keyword,
  Word,
  Regex,
  And,
  MatchFirst,
  ZeroOrMore,
  OneOrMore,
  Optional,
  Group,
  Suppress,
  Forward,
  Combine,
  Exactly,
  CaselessLiteral,
  CaselessKeyword,
  Char,
  StringStart,
  StringEnd,
  LineStart,
  LineEnd,
  RestOfLine,
  QuotedString,
  Empty,
  NoMatch,
  SkipTo,
};
inline constexpr int kClassCount = 26;

// `{f.operator()<C>()...}` over the 26 classes in the order of `Cls`: the
// per-class tables (slots, entry points, method bodies) are built from one
// template each instead of being listed by hand.
template <class F>
constexpr auto for_each_class(F f) {
  return [&f]<std::size_t... I>(std::index_sequence<I...>) {
    return std::array{f.template operator()<static_cast<Cls>(I)>()...};
  }
  (std::make_index_sequence<kClassCount>{});
}

// Every element object: the Python header and one shared reference to the
// element payload. The class fixes the payload's kind. The C++ members are
// constructed in place after `tp_alloc` and destroyed by `tp_dealloc`;
// objects are complete when they become visible and never change after.
struct ElementObject {
  PyObject_HEAD
      // The element this object stands for; shared with every grammar using it.
      ElementHandle payload;
};

// Keyword: also the keyword text as a ready-made `str`, handed out as the
// token of every match.
struct KeywordObject : ElementObject {
  // The keyword text as a `str` equal to the constructor's `s`.
  py::Object s_obj;
};

// Literal: also its text as a ready-made `str` and its failure text.
struct LiteralObject : ElementObject {
  // The literal text as a `str` equal to the constructor's `s`.
  py::Object s_obj;
  // "Expected '{s}'": the failure text of `parse_string`.
  std::string message;
};

// The class's type object (built once per process, never freed). Null with
// an exception set only when it cannot be built.
PyTypeObject* type_object(Cls c) noexcept;

// The payload of an object already checked to be of a class whose kind is
// `Kind`.
template <class Kind>
const Kind& payload_of(PyObject* self) noexcept {
  return static_cast<const Kind&>(*reinterpret_cast<ElementObject*>(self)->payload);
}

// Wraps a freshly built payload into a new object of class `c`'s type (not
// for Literal and Keyword, whose objects carry more). Null with an
// exception set on failure; the payload is then released.
PyObject* wrap_element(Cls c, ElementHandle payload) noexcept;

// The RecursionError text of a run abandoned for lack of stack.
inline constexpr const char* kTooDeepMessage = "maximum recursion depth exceeded while matching";

// Raises ValueError with `text`; returns null for the caller to return.
PyObject* raise_value_error(std::string_view text) noexcept;

}  // namespace quernlet
