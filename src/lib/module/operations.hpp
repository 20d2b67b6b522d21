// The operation bodies behind every class's Python methods.
//
// The method-call skeleton (module/objects.cpp) binds the arguments, checks the
// class of `self`, takes the UTF-8 views and then calls a body from these
// tables; a body returns a new reference, or null with an exception set.
// After every body the skeleton checks the engine's too-deep flag and turns
// a run that gave up for lack of stack into RecursionError.
#pragma once

#include <string_view>

#include "module/objects.hpp"
#include "single_text/text.hpp"

namespace quernlet {

using TextBody = PyObject* (*)(PyObject* self, const Text& s);
using TransformBody = PyObject* (*)(PyObject* self, const Text& s, const Text& replacement);
using ListBody = PyObject* (*)(PyObject* self, PyObject* inputs);

// Each method's doc is its full docstring, text signature included
// ("parse_string($self, s)\n--\n\n..." ).
// With `storage_only`, the body reads a non-ASCII `s` from the `str`'s own
// storage: a text without a ready UTF-8 copy reaches it with an empty view
// (see TextArgument::take).
template <class Body>
struct Method {
  Body body;
  const char* doc;
  bool storage_only = false;
};

struct SingleTextMethods {
  Method<TextBody> parse_string;
  Method<TextBody> matches;
  Method<TextBody> search_string;
  Method<TextBody> search_string_count;
  Method<TransformBody> transform_string;
};

struct BatchMethods {
  Method<ListBody> parse_batch;
  Method<ListBody> parse_batch_count;
};

// Defined by the single-text operations (single_text/methods.cpp).
const SingleTextMethods& single_text_methods(Cls c) noexcept;
// Word._search_string_flat.
const Method<TextBody>& word_search_string_flat() noexcept;
// Defined by the batch operations (batch/methods.cpp).
const BatchMethods& batch_methods(Cls c) noexcept;

}  // namespace quernlet
