// The element kind behind each class, for the tables that are built per
// class from one template (constructors, batch methods).
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>

#include "elements/chars.hpp"
#include "elements/forward.hpp"
#include "elements/literals.hpp"
#include "elements/positional.hpp"
#include "elements/structure.hpp"
#include "module/objects.hpp"

namespace quernlet {

namespace detail {
// In the order of `Cls`.
using Kinds =
    std::tuple<LiteralElement, KeywordElement, WordElement, RegexElement, AndElement,
               MatchFirstElement, ZeroOrMoreElement, OneOrMoreElement, OptionalElement,
               GroupElement, SuppressElement, ForwardElement, CombineElement, ExactlyElement,
               CaselessLiteralElement, CaselessKeywordElement, CharElement, StringStartElement,
               StringEndElement, LineStartElement, LineEndElement, RestOfLineElement,
               QuotedStringElement, EmptyElement, NoMatchElement, SkipToElement>;
static_assert(std::tuple_size_v<Kinds> == kClassCount);
}  // namespace detail

template <Cls C>
using KindOf = std::tuple_element_t<static_cast<std::size_t>(C), detail::Kinds>;

static_assert(std::is_same_v<KindOf<Cls::RestOfLine>, RestOfLineElement>);
static_assert(std::is_same_v<KindOf<Cls::SkipTo>, SkipToElement>);

}  // namespace quernlet
