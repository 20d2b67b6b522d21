#include "start_scan.hpp"

#include <bit>

#include "find.hpp"
#include "simd_target.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUERNLET_START_SCAN_AVX2 1
#else
#define QUERNLET_START_SCAN_AVX2 0
#endif

namespace quernlet {

namespace {

// The scalar pass from `p` (< n).
Pos next_scalar(const StartFinder& f, const unsigned char* s, Pos p, Pos n) noexcept {
  for (; p < n; ++p)
    if (f.has(s[p])) return p;
  return n;
}

#if QUERNLET_START_SCAN_AVX2
QUERNLET_SIMD_BEGIN_AVX2
// 32 bytes per step: each byte's low and high nibble pick a bucket mask
// from the two tables, and a byte whose masks share a bit is a candidate.
Pos next_avx2(const StartFinder& f, const unsigned char* s, Pos p, Pos n, const std::uint8_t* low,
              const std::uint8_t* high) noexcept {
  const __m256i low_t =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low)));
  const __m256i high_t =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(high)));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i zero = _mm256_setzero_si256();
  for (; n - p >= 32; p += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + p));
    const __m256i lo = _mm256_shuffle_epi8(low_t, _mm256_and_si256(v, nibble));
    const __m256i hi =
        _mm256_shuffle_epi8(high_t, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
    auto m = ~static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(lo, hi), zero)));
    for (; m != 0; m &= m - 1) {
      const Pos q = p + static_cast<Pos>(std::countr_zero(m));
      if (f.has(s[q])) return q;
    }
  }
  return p < n ? next_scalar(f, s, p, n) : n;
}
QUERNLET_SIMD_END
#endif

}  // namespace

void StartFinder::build_tables() const noexcept {
  built_ = true;
  // Group the high nibbles by their set of low nibbles; up to eight groups
  // are told apart exactly, and the rest share the last group (a superset).
  std::array<std::uint16_t, 8> groups{};
  unsigned used = 0;
  for (unsigned h = 0; h < 16; ++h) {
    const auto lows = static_cast<std::uint16_t>(bits_[h >> 2] >> ((h & 3) * 16));
    if (lows == 0) continue;
    unsigned g = 0;
    while (g < used && groups[g] != lows) ++g;
    if (g == used) {
      if (used < 8) {
        ++used;
      } else {
        g = 7;
      }
    }
    groups[g] |= lows;
    high_[h] |= static_cast<std::uint8_t>(1u << g);
  }
  for (unsigned g = 0; g < used; ++g)
    for (unsigned l = 0; l < 16; ++l)
      if ((groups[g] >> l) & 1) low_[l] |= static_cast<std::uint8_t>(1u << g);
#if QUERNLET_START_SCAN_AVX2
  vector_ = best_find_kernel() == FindKernel::kAvx2;
#endif
}

Pos StartFinder::next_far(std::string_view text, Pos p) const noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  if (!built_) build_tables();
#if QUERNLET_START_SCAN_AVX2
  if (vector_) return next_avx2(*this, s, p, text.size(), low_.data(), high_.data());
#endif
  return next_scalar(*this, s, p, text.size());
}

}  // namespace quernlet
