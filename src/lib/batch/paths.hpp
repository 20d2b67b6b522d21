// The class-specific batch methods of Literal, Keyword, Word, Regex and And,
// each defined beside its bodies; batch/methods.cpp puts them into the per-class
// table and serves every other class itself.
#pragma once

#include "module/operations.hpp"

namespace quernlet {

const BatchMethods& literal_batch_methods() noexcept;
const BatchMethods& keyword_batch_methods() noexcept;
const BatchMethods& word_batch_methods() noexcept;
const BatchMethods& regex_batch_methods() noexcept;
const BatchMethods& and_batch_methods() noexcept;

}  // namespace quernlet
