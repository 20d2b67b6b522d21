// Passing over the positions of a text where no match can start.
//
// A `StartFinder` holds an element's `StartBytes` in the forms a scan reads:
// the exact bit set, and two 16-entry nibble tables for a vectorised pass
// over long stretches (AVX2 where the processor has it). The tables may
// accept a byte outside the set when the set is irregular; every candidate
// is confirmed on the bit set, so the answer is always exact. Python-free.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "element.hpp"

namespace quernlet {

class StartFinder {
 public:
  // `boundaries_only`: bytes that continue a character (0x80..0xBF) are
  // never starts, for scans that try only character boundaries.
  StartFinder(const StartBytes& starts, bool boundaries_only) noexcept : bits_(starts.bits()) {
    if (boundaries_only) bits_[2] = 0;  // 0x80..0xBF
  }

  // Whether the byte `b` is a start.
  bool has(unsigned char b) const noexcept { return ((bits_[b >> 6] >> (b & 63)) & 1) != 0; }

  // The first position q >= p below the length whose byte is a start, or
  // the length.
  Pos next(std::string_view text, Pos p) const noexcept {
    const Pos n = text.size();
    // Dense sets mostly stop within a few bytes; the rest goes in bulk.
    const Pos near = p + 8 < n ? p + 8 : n;
    for (; p < near; ++p)
      if (has(static_cast<unsigned char>(text[p]))) return p;
    return p < n ? next_far(text, p) : n;
  }

 private:
  Pos next_far(std::string_view text, Pos p) const noexcept;
  // Builds the nibble tables, on the first pass in bulk (short texts never
  // need them).
  void build_tables() const noexcept;

  // Byte b is bit b % 64 of word b / 64.
  std::array<std::uint64_t, 4> bits_;
  // A byte is a candidate when low_[b & 15] & high_[b >> 4] is not zero.
  mutable std::array<std::uint8_t, 16> low_{};
  mutable std::array<std::uint8_t, 16> high_{};
  mutable bool built_ = false;
  mutable bool vector_ = false;  // whether next_far uses the vector pass
};

}  // namespace quernlet
