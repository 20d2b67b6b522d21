// Byte-level text primitives behind the literal and keyword scans.
//
// `SubstringFinder` finds a fixed byte string; the vectorised kernels (AVX2
// or SSE2 on x86-64, picked once per process from what the processor
// supports) test two prefilter bytes of the needle at 16 or 32 candidate
// positions per step and confirm candidates with a full compare; elsewhere a
// portable memchr-based kernel does the same work. All kernels give the same
// answers; the tests compare each with a plain scan. Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "literals.hpp"

namespace quernlet {

inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// The vectorised kernel families. `kPortable` exists on every platform.
enum class FindKernel : std::uint8_t { kPortable = 0, kSse2 = 1, kAvx2 = 2 };

// The best kernel this processor runs (decided once, then cached).
FindKernel best_find_kernel() noexcept;
// Whether `k` can run here.
bool find_kernel_supported(FindKernel k) noexcept;

// The needle as the kernels read it, built once per finder.
struct PreparedNeedle {
  const unsigned char* bytes = nullptr;
  std::size_t len = 0;
  // Offsets and values of the two prefilter bytes (the needle's rarest
  // bytes by a fixed frequency ranking; the same byte for a one-byte needle).
  std::size_t off1 = 0, off2 = 0;
  unsigned char b1 = 0, b2 = 0;
  // The first min(len, 8) bytes as a little-endian word, and their mask.
  std::uint64_t head = 0, head_mask = 0;
};

// A prepared search for one needle. Holds a view of the needle: the needle's
// bytes must outlive the finder. Cheap to build (a scan of the needle).
class SubstringFinder {
 public:
  explicit SubstringFinder(std::string_view needle,
                           FindKernel kernel = best_find_kernel()) noexcept;

  std::string_view needle() const noexcept {
    return {reinterpret_cast<const char*>(nd_.bytes), nd_.len};
  }

  // Start of the first occurrence that begins at or after `from`, or
  // kNotFound. An empty needle is found at `from` (when `from` <= size).
  std::size_t find(std::string_view haystack, std::size_t from = 0) const noexcept;

  // Number of non-overlapping occurrences, leftmost first, each search
  // resuming where the previous occurrence ended. An empty needle counts
  // once per byte of the haystack.
  std::uint64_t count(std::string_view haystack) const noexcept;

  // The next (up to `cap`, at least 1) non-overlapping occurrences that
  // begin at or after `from`, by the rule of `count`, written to `out`;
  // `from` moves to where the search goes on. Fewer than `cap` means the
  // haystack holds no more.
  std::size_t find_many(std::string_view haystack, std::size_t& from, std::size_t* out,
                        std::size_t cap) const noexcept;

  FindKernel kernel() const noexcept { return kernel_; }
  const PreparedNeedle& prepared() const noexcept { return nd_; }

 private:
  PreparedNeedle nd_;
  FindKernel kernel_;
};

// The next (up to `cap`, at least 1) positions at or after `from` that hold
// byte `b`, in order, written to `out`; `from` moves past the last one
// written. Fewer than `cap` means the text holds no more. The vectorised
// kernels read the positions off each block's compare mask, so dense bytes
// cost no call per occurrence.
std::size_t find_byte_many(std::string_view text, unsigned char b, std::size_t& from,
                           std::size_t* out, std::size_t cap,
                           FindKernel kernel = best_find_kernel()) noexcept;

// Number of bytes of `text` equal to `b`.
std::uint64_t count_byte(std::string_view text, unsigned char b,
                         FindKernel kernel = best_find_kernel()) noexcept;

// The smallest p in 1..1024, below the smaller of the length and 1025, with
// 2p <= length, at which `text` begins with two equal blocks of p bytes; 0
// for texts shorter than 4 bytes or when there is none. Only the first 2p
// bytes are compared: callers that extrapolate check `repeats_with_period`.
std::size_t detect_period(std::string_view text) noexcept;

// True when every byte at k >= p equals the byte at k - p.
inline bool repeats_with_period(std::string_view text, std::size_t p) noexcept {
  return p != 0 && p <= text.size() &&
         std::memcmp(text.data(), text.data() + p, text.size() - p) == 0;
}

// Non-overlapping occurrences of `needle` in `text`, leftmost first; an
// empty needle counts every position 0..n-1 once. On a long text that
// repeats with a short period the count is computed from a few periods
// (`literal_count_periodic`), with the same result as the scan.
std::uint64_t literal_count(std::string_view needle, std::string_view text) noexcept;

// The same count for a text known to repeat with period `p`
// (`repeats_with_period(text, p)`): the scan is run period by period only
// until the state at a period boundary (where the next occurrence may
// start) repeats, then whole cycles are added at once.
std::uint64_t literal_count_periodic(const SubstringFinder& finder, std::string_view text,
                                     std::size_t p) noexcept;

// The counting scan with the Keyword test: matches never overlap, the scan
// resumes at the end of a match (one byte on for an empty keyword), and only
// the byte after a match is checked for an identifier byte.
std::uint64_t keyword_count(const KeywordElement& keyword, std::string_view text) noexcept;

}  // namespace quernlet
