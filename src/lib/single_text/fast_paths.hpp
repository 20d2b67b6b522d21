// The single-text method tables of the classes with specialised bodies:
// Literal, Keyword, Word, Regex and And. Each is defined beside its bodies
// (single_text/<class>.cpp), with the docstrings; a method a class does not
// specialise takes the generic body of single_text/scans.hpp.
#pragma once

#include "module/operations.hpp"

namespace quernlet::fast {

extern const SingleTextMethods kLiteral;  // literal.cpp
extern const SingleTextMethods kKeyword;  // literal.cpp
extern const SingleTextMethods kWord;     // word.cpp
extern const SingleTextMethods kRegex;    // regex.cpp
extern const SingleTextMethods kAnd;      // and.cpp

// Word._search_string_flat (word.cpp).
extern const Method<TextBody> kWordSearchStringFlat;

}  // namespace quernlet::fast
