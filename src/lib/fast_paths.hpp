// The single-text method tables of the classes with specialised bodies:
// Literal, Keyword, Word, Regex and And. Each is defined beside its bodies
// (fast_<class>.cpp), with the docstrings; a method a class does not
// specialise takes the generic body of drivers.hpp.
#pragma once

#include "operations.hpp"

namespace quernlet::fast {

extern const SingleTextMethods kLiteral;  // fast_literal.cpp
extern const SingleTextMethods kKeyword;  // fast_literal.cpp
extern const SingleTextMethods kWord;     // fast_word.cpp
extern const SingleTextMethods kRegex;    // fast_regex.cpp
extern const SingleTextMethods kAnd;      // fast_and.cpp

// Word._search_string_flat (fast_word.cpp).
extern const Method<TextBody> kWordSearchStringFlat;

}  // namespace quernlet::fast
