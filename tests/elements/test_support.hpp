// Helpers shared by the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "element.hpp"

namespace quernlet::testing_support {

// Heap allocations made so far by the calling thread (every `operator new`
// of the test program counts); compare two readings around the code.
long allocations_on_this_thread() noexcept;

template <class T, class... Args>
Ref<T> mk(Args&&... args) {
  return Ref<T>::make(std::forward<Args>(args)...);
}

// `parse_impl` at `pos` on a fresh context; the context's flag must come
// back as it went in.
ParseOutcome parse_at(const Element& e, std::string_view text, Pos pos, bool skip_ws = true);

// "3: 'a',['b']" for a success, "@1 Expected 'b'" for a failure.
std::string show(const ParseOutcome& out);
// "3" for a match, "none" otherwise.
std::string show(const MatchResult& m);

// `parse_impl` at `pos` gives `want` (as `show` writes it) and
// `try_match_at` the same answer, allocating nothing unless `allocates`.
void expect_match(const Element& e, std::string_view text, Pos pos, std::string_view want,
                  bool allocates = false);

// Whether `s` is well-formed UTF-8.
bool valid_utf8(std::string_view s);

// A text of random pieces, at least `min_len` bytes long.
std::string random_text(std::mt19937& rng, std::size_t min_len,
                        const std::vector<std::string>& pieces);
// A text of random bytes of `alphabet`, exactly `n` bytes long.
std::string random_bytes(std::mt19937& rng, std::size_t n, std::string_view alphabet);
// `unit` repeated and cut to exactly `n` bytes.
std::string repeat(std::string_view unit, std::size_t n);

// A copy of a text at a chosen alignment in a heap block of exactly its
// size, so that a kernel reading past the end trips the address sanitizer.
class Placed {
 public:
  Placed(std::string_view text, std::size_t align);
  std::string_view view() const { return view_; }

 private:
  std::unique_ptr<char[]> block_;
  std::string_view view_;
};

}  // namespace quernlet::testing_support
