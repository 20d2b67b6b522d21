#include "module/convert.hpp"

#include "module/binding.hpp"

namespace quernlet {

namespace {

// The order in which the classes are tried. The classes cannot be subclassed,
// so at most one matches and the order cannot change the result; it puts the
// classes most often composed first.
constexpr Cls kConversionOrder[] = {
    Cls::Literal,         Cls::Word,       Cls::Regex,        Cls::And,       Cls::MatchFirst,
    Cls::Group,           Cls::Suppress,   Cls::ZeroOrMore,   Cls::OneOrMore, Cls::Optional,
    Cls::Keyword,         Cls::Forward,    Cls::Combine,      Cls::Exactly,   Cls::CaselessLiteral,
    Cls::CaselessKeyword, Cls::Char,       Cls::StringStart,  Cls::StringEnd, Cls::LineStart,
    Cls::LineEnd,         Cls::RestOfLine, Cls::QuotedString, Cls::Empty,     Cls::NoMatch,
    Cls::SkipTo,
};
static_assert(std::size(kConversionOrder) == kClassCount);

}  // namespace

bool element_from_py(PyObject* obj, ElementHandle& out) noexcept {
  for (Cls c : kConversionOrder) {
    if (is_instance(obj, c)) {
      // Every layout starts with the payload, so one copy serves all 26.
      out = handle_of(obj);
      return true;
    }
  }
  return false;
}

}  // namespace quernlet
