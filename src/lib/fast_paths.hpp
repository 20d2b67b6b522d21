// Class-specialised single-text bodies of Literal, Keyword, Word, Regex and
// And, with their docstrings, ready for the method tables of
// single_text.cpp. Each body has the signature the method skeleton calls
// (operations.hpp): it returns a new reference, or null with an exception
// set.
#pragma once

#include <string_view>

#include "operations.hpp"

namespace quernlet::fast {

// Literal (fast_literal.cpp).
PyObject* literal_parse_string(PyObject* self, std::string_view s);
PyObject* literal_search_string(PyObject* self, std::string_view s);
PyObject* literal_search_string_count(PyObject* self, std::string_view s);
PyObject* literal_transform_string(PyObject* self, std::string_view s,
                                   std::string_view replacement);

// Keyword (fast_literal.cpp); its transform_string stays generic.
PyObject* keyword_parse_string(PyObject* self, std::string_view s);
PyObject* keyword_search_string(PyObject* self, std::string_view s);
PyObject* keyword_search_string_count(PyObject* self, std::string_view s);

// Word (fast_word.cpp).
PyObject* word_parse_string(PyObject* self, std::string_view s);
PyObject* word_matches(PyObject* self, std::string_view s);
PyObject* word_search_string(PyObject* self, std::string_view s);
PyObject* word_search_string_count(PyObject* self, std::string_view s);
PyObject* word_transform_string(PyObject* self, std::string_view s, std::string_view replacement);
PyObject* word_search_string_flat(PyObject* self, std::string_view s);

// Regex (fast_regex.cpp).
PyObject* regex_parse_string(PyObject* self, std::string_view s);
PyObject* regex_matches(PyObject* self, std::string_view s);
PyObject* regex_search_string(PyObject* self, std::string_view s);
PyObject* regex_search_string_count(PyObject* self, std::string_view s);
PyObject* regex_transform_string(PyObject* self, std::string_view s, std::string_view replacement);

// And (fast_and.cpp); its transform_string stays generic.
PyObject* and_parse_string(PyObject* self, std::string_view s);
PyObject* and_matches(PyObject* self, std::string_view s);
PyObject* and_search_string(PyObject* self, std::string_view s);
PyObject* and_search_string_count(PyObject* self, std::string_view s);

// The methods with their docstrings (text signature first).

inline constexpr Method<TextBody> kLiteralParseString{
    &literal_parse_string,
    "parse_string($self, s)\n--\n\n"
    "Fast inline parse \xE2\x80\x94 returns a list holding the cached str, no allocation of its "
    "own"};
inline constexpr Method<TextBody> kLiteralSearchString{
    &literal_search_string,
    "search_string($self, s)\n--\n\n"
    "Search string \xE2\x80\x94 cycle-aware count + PySequence_Repeat for optimal list creation"};
inline constexpr Method<TextBody> kLiteralSearchStringCount{
    &literal_search_string_count,
    "search_string_count($self, s)\n--\n\n"
    "Count occurrences \xE2\x80\x94 cycle detection fast path + SIMD memchr fallback"};
inline constexpr Method<TransformBody> kLiteralTransformString{
    &literal_transform_string,
    "transform_string($self, s, replacement)\n--\n\n"
    "Replace all non-overlapping matches with replacement string.\n"
    "Uses SIMD-accelerated memchr::memmem for literal search."};

inline constexpr Method<TextBody> kKeywordParseString{
    &keyword_parse_string,
    "parse_string($self, s)\n--\n\n"
    "Fast keyword parse \xE2\x80\x94 uses try_match_at + cached PyString, zero allocation"};
inline constexpr Method<TextBody> kKeywordSearchString{
    &keyword_search_string,
    "search_string($self, s)\n--\n\n"
    "Search string \xE2\x80\x94 count + PySequence_Repeat (same pattern as Literal)"};
inline constexpr Method<TextBody> kKeywordSearchStringCount{
    &keyword_search_string_count, "search_string_count($self, s)\n--\n\n"};

inline constexpr Method<TextBody> kWordParseString{
    &word_parse_string,
    "parse_string($self, s)\n--\n\n"
    "Fast path \xE2\x80\x94 builds the result list directly, without an intermediate owned "
    "string"};
inline constexpr Method<TextBody> kWordMatches{
    &word_matches, "matches($self, s)\n--\n\nZero-allocation match check via try_match_at"};
inline constexpr Method<TextBody> kWordSearchString{
    &word_search_string,
    "search_string($self, s)\n--\n\n"
    "Optimized Word search_string \xE2\x80\x94 O(1) byte-table scanning, dedup, list-of-lists "
    "output"};
inline constexpr Method<TextBody> kWordSearchStringCount{
    &word_search_string_count,
    "search_string_count($self, s)\n--\n\n"
    "Count word matches in large text \xE2\x80\x94 cycle detection + branchless scan"};
inline constexpr Method<TransformBody> kWordTransformString{
    &word_transform_string,
    "transform_string($self, s, replacement)\n--\n\n"
    "Specialized transform: uses 256-byte lookup tables for direct byte scanning."};
inline constexpr Method<TextBody> kWordSearchStringFlat{
    &word_search_string_flat,
    "_search_string_flat($self, s)\n--\n\n"
    "UNUSED: Original optimized search_string (returns flat list)."};

inline constexpr Method<TextBody> kRegexParseString{
    &regex_parse_string,
    "parse_string($self, s)\n--\n\n"
    "Fast path \xE2\x80\x94 returns the match in a list directly"};
inline constexpr Method<TextBody> kRegexMatches{
    &regex_matches,
    "matches($self, s)\n--\n\n"
    "Zero-allocation match check \xE2\x80\x94 skips leading whitespace, requires full match"};
inline constexpr Method<TextBody> kRegexSearchString{
    &regex_search_string,
    "search_string($self, s)\n--\n\n"
    "Optimized regex search \xE2\x80\x94 uses find_iter for SIMD-accelerated scanning"};
inline constexpr Method<TextBody> kRegexSearchStringCount{
    &regex_search_string_count,
    "search_string_count($self, s)\n--\n\n"
    "Count regex matches in text \xE2\x80\x94 uses find_iter for SIMD-accelerated search"};
inline constexpr Method<TransformBody> kRegexTransformString{
    &regex_transform_string,
    "transform_string($self, s, replacement)\n--\n\n"
    "Specialized: uses regex replace_all for efficient in-engine replacement."};

inline constexpr Method<TextBody> kAndParseString{
    &and_parse_string,
    "parse_string($self, s)\n--\n\n"
    "Parse using parse_impl for correct multi-token handling.\n"
    "Uses try_match_at fast path for Normal elements, parse_impl for Complex/Suppress/Group."};
inline constexpr Method<TextBody> kAndMatches{
    &and_matches,
    "matches($self, s)\n--\n\n"
    "Zero-allocation match check using try_match_at (no ParseResults)"};
inline constexpr Method<TextBody> kAndSearchString{
    &and_search_string,
    "search_string($self, s)\n--\n\n"
    "Search string \xE2\x80\x94 uses parse_impl for correct multi-token results, returns "
    "list-of-lists"};
inline constexpr Method<TextBody> kAndSearchStringCount{&and_search_string_count,
                                                        "search_string_count($self, s)\n--\n\n"};

}  // namespace quernlet::fast
