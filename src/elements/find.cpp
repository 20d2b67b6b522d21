#include "find.hpp"
#include "simd_target.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUERNLET_X86 1
#else
#define QUERNLET_X86 0
#endif

namespace quernlet {

namespace {

// How common a byte is in typical text (source code and prose, ASCII and
// UTF-8); higher is more common. Only the order matters: the finder tests
// the two rarest bytes of the needle first, which keeps false candidates few.
constexpr std::array<std::uint8_t, 256> kByteRank = [] {
  std::array<std::uint8_t, 256> r{};
  for (int b = 0x80; b < 0xC0; ++b) r[b] = 120;  // continuation bytes
  for (int b = 0xC2; b < 0xF5; ++b) r[b] = 100;  // lead bytes
  for (int b = 'A'; b <= 'Z'; ++b) r[b] = 150;
  for (int b = '0'; b <= '9'; ++b) r[b] = 150;
  r['0'] = 170;
  r['1'] = 165;
  r['2'] = 160;
  const char* by_frequency = "etaoinsrhldcumfpgwybvkxjqz";
  for (int i = 0; by_frequency[i] != 0; ++i)
    r[static_cast<unsigned char>(by_frequency[i])] = static_cast<std::uint8_t>(245 - 4 * i);
  r[' '] = 255;
  r['\n'] = 190;
  r['\t'] = 130;
  r['\r'] = 60;
  const std::pair<char, std::uint8_t> punctuation[] = {
      {'.', 190}, {',', 190}, {'(', 185},  {')', 185}, {'_', 180}, {'=', 180}, {';', 170},
      {'"', 170}, {'-', 170}, {'\'', 165}, {':', 165}, {'/', 160}, {'{', 160}, {'}', 160},
      {'[', 155}, {']', 155}, {'*', 150},  {'<', 140}, {'>', 140}, {'+', 140}, {'#', 140},
      {'!', 130}, {'&', 120}, {'\\', 120}, {'%', 110}, {'|', 110}, {'?', 110}, {'@', 100},
      {'$', 100}, {'^', 80},  {'~', 80},   {'`', 80}};
  for (auto [c, rank] : punctuation) r[static_cast<unsigned char>(c)] = rank;
  return r;
}();

using Needle = PreparedNeedle;

inline std::uint64_t load_u64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Whether the needle occurs at `at`; reads 8 bytes at `at` even for shorter
// needles, so callers guarantee they exist.
inline bool verify_fast(const Needle& nd, const unsigned char* at) noexcept {
  if (((load_u64(at) ^ nd.head) & nd.head_mask) != 0) return false;
  return nd.len <= 8 || std::memcmp(at + 8, nd.bytes + 8, nd.len - 8) == 0;
}

// Whether the needle occurs at `at`; reads only the needle's length.
inline bool verify_safe(const Needle& nd, const unsigned char* at) noexcept {
  return std::memcmp(at, nd.bytes, nd.len) == 0;
}

Needle prepare(std::string_view needle, std::size_t off1, std::size_t off2) noexcept {
  Needle nd{};
  nd.bytes = reinterpret_cast<const unsigned char*>(needle.data());
  nd.len = needle.size();
  nd.off1 = off1;
  nd.off2 = off2;
  nd.b1 = nd.len ? nd.bytes[off1] : 0;
  nd.b2 = nd.len ? nd.bytes[off2] : 0;
  const std::size_t head_len = std::min<std::size_t>(nd.len, 8);
  unsigned char head[8] = {};
  std::memcpy(head, nd.bytes, head_len);
  std::memcpy(&nd.head, head, 8);
  unsigned char mask[8] = {};
  std::memset(mask, 0xFF, head_len);
  std::memcpy(&nd.head_mask, mask, 8);
  return nd;
}

// The portable kernel: memchr on the rarest byte, then the second prefilter
// byte, then a full compare. Same contract as the vectorised
// `scan_occurrences`.
template <class OnMatch>
void scan_occurrences_portable(const Needle& nd, const unsigned char* hay, std::size_t n,
                               std::size_t from, OnMatch&& on_match) {
  const std::size_t len = nd.len;
  std::size_t p = from;
  while (p <= n && n - p >= len) {
    const std::size_t candidates = n - len + 1 - p;
    const void* hit = std::memchr(hay + p + nd.off1, nd.b1, candidates);
    if (hit == nullptr) return;
    const std::size_t c =
        static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - hay) - nd.off1;
    if (hay[c + nd.off2] == nd.b2 && verify_safe(nd, hay + c)) {
      const std::size_t r = on_match(c);
      if (r == kNotFound) return;
      p = r;
    } else {
      p = c + 1;
    }
  }
}

std::size_t find_byte_many_portable(const unsigned char* p, std::size_t n, unsigned char b,
                                    std::size_t& from, std::size_t* out, std::size_t cap) noexcept {
  std::size_t k = 0;
  while (k < cap && from < n) {
    const void* hit = std::memchr(p + from, b, n - from);
    if (hit == nullptr) break;
    out[k++] = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - p);
    from = out[k - 1] + 1;
  }
  if (k < cap) from = n + 1;
  return k;
}

std::uint64_t count_byte_portable(const unsigned char* p, std::size_t n, unsigned char b) noexcept {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < n; ++i) total += p[i] == b;
  return total;
}

#if QUERNLET_X86

namespace sse2 {
struct V {
  using reg = __m128i;
  static constexpr std::size_t kWidth = 16;
  static reg splat(unsigned char b) noexcept { return _mm_set1_epi8(static_cast<char>(b)); }
  static reg load(const unsigned char* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static std::uint32_t eq_mask(reg a, reg b) noexcept {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)));
  }
};
#include "find_kernels.inc"
}  // namespace sse2

QUERNLET_SIMD_BEGIN_AVX2
namespace avx2 {
struct V {
  using reg = __m256i;
  static constexpr std::size_t kWidth = 32;
  static reg splat(unsigned char b) noexcept { return _mm256_set1_epi8(static_cast<char>(b)); }
  static reg load(const unsigned char* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static std::uint32_t eq_mask(reg a, reg b) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, b)));
  }
};
#include "find_kernels.inc"
}  // namespace avx2
QUERNLET_SIMD_END

#endif

// Runs the occurrence scan with the chosen kernel.
template <class OnMatch>
void scan_with(FindKernel kernel, const Needle& nd, std::string_view hay, std::size_t from,
               OnMatch&& on_match) {
  const auto* h = reinterpret_cast<const unsigned char*>(hay.data());
  switch (kernel) {
#if QUERNLET_X86
    case FindKernel::kAvx2:
      avx2::scan_occurrences(nd, h, hay.size(), from, on_match);
      return;
    case FindKernel::kSse2:
      sse2::scan_occurrences(nd, h, hay.size(), from, on_match);
      return;
#endif
    default:
      scan_occurrences_portable(nd, h, hay.size(), from, on_match);
      return;
  }
}

}  // namespace

bool find_kernel_supported(FindKernel k) noexcept {
  switch (k) {
    case FindKernel::kPortable:
      return true;
#if QUERNLET_X86
    case FindKernel::kSse2:
      return __builtin_cpu_supports("sse2");
    case FindKernel::kAvx2:
      return __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

FindKernel best_find_kernel() noexcept {
  static const FindKernel best = [] {
    if (find_kernel_supported(FindKernel::kAvx2)) return FindKernel::kAvx2;
    if (find_kernel_supported(FindKernel::kSse2)) return FindKernel::kSse2;
    return FindKernel::kPortable;
  }();
  return best;
}

SubstringFinder::SubstringFinder(std::string_view needle, FindKernel kernel) noexcept
    : kernel_(find_kernel_supported(kernel) ? kernel : FindKernel::kPortable) {
  const auto rank = [&](std::size_t i) { return kByteRank[static_cast<unsigned char>(needle[i])]; };
  std::size_t off1 = 0;
  for (std::size_t i = 1; i < needle.size(); ++i)
    if (rank(i) < rank(off1)) off1 = i;
  std::size_t off2 = off1;
  for (std::size_t i = 0; i < needle.size(); ++i) {
    if (i == off1) continue;
    if (off2 == off1 || rank(i) < rank(off2)) off2 = i;
  }
  nd_ = prepare(needle, off1, off2);
}

std::size_t SubstringFinder::find(std::string_view haystack, std::size_t from) const noexcept {
  const std::size_t n = haystack.size();
  const std::size_t len = nd_.len;
  if (from > n || n - from < len) return kNotFound;
  if (len == 0) return from;
  if (len == 1) {
    const void* hit = std::memchr(haystack.data() + from, nd_.bytes[0], n - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - haystack.data())
               : kNotFound;
  }
  std::size_t found = kNotFound;
  scan_with(kernel_, nd_, haystack, from, [&](std::size_t c) {
    found = c;
    return kNotFound;
  });
  return found;
}

std::uint64_t SubstringFinder::count(std::string_view haystack) const noexcept {
  const std::size_t len = nd_.len;
  if (len == 0) return haystack.size();
  if (len == 1) return count_byte(haystack, nd_.bytes[0], kernel_);
  std::uint64_t total = 0;
  scan_with(kernel_, nd_, haystack, 0, [&](std::size_t c) {
    ++total;
    return c + len;
  });
  return total;
}

std::size_t SubstringFinder::find_many(std::string_view haystack, std::size_t& from,
                                       std::size_t* out, std::size_t cap) const noexcept {
  const std::size_t n = haystack.size();
  const std::size_t len = nd_.len;
  std::size_t k = 0;
  if (len == 1) return find_byte_many(haystack, nd_.bytes[0], from, out, cap, kernel_);
  if (len == 0) {
    while (k < cap) {
      const std::size_t m = from < n ? from : kNotFound;
      if (m == kNotFound) {
        from = n + 1;
        break;
      }
      out[k++] = m;
      from = m + 1;
    }
    return k;
  }
  bool full = false;
  scan_with(kernel_, nd_, haystack, from, [&](std::size_t c) {
    out[k++] = c;
    from = c + len;
    if (k < cap) return c + len;
    full = true;
    return kNotFound;
  });
  if (!full) from = n + 1;
  return k;
}

std::size_t find_byte_many(std::string_view text, unsigned char b, std::size_t& from,
                           std::size_t* out, std::size_t cap, FindKernel kernel) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  if (from >= n) {
    from = n + 1;
    return 0;
  }
  switch (find_kernel_supported(kernel) ? kernel : FindKernel::kPortable) {
#if QUERNLET_X86
    case FindKernel::kAvx2:
      return avx2::find_byte_many_kernel(p, n, b, from, out, cap);
    case FindKernel::kSse2:
      return sse2::find_byte_many_kernel(p, n, b, from, out, cap);
#endif
    default:
      return find_byte_many_portable(p, n, b, from, out, cap);
  }
}

std::uint64_t count_byte(std::string_view text, unsigned char b, FindKernel kernel) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  switch (find_kernel_supported(kernel) ? kernel : FindKernel::kPortable) {
#if QUERNLET_X86
    case FindKernel::kAvx2:
      return avx2::count_byte_kernel(p, text.size(), b);
    case FindKernel::kSse2:
      return sse2::count_byte_kernel(p, text.size(), b);
#endif
    default:
      return count_byte_portable(p, text.size(), b);
  }
}

std::size_t detect_period(std::string_view text) noexcept {
  const std::size_t n = text.size();
  if (n < 4) return 0;
  const std::size_t w = std::min<std::size_t>(n, 1025);
  const char* s = text.data();
  // Candidates are the positions below w that repeat the first byte.
  for (std::size_t p = 1; p < w;) {
    const void* hit = std::memchr(s + p, s[0], w - p);
    if (hit == nullptr) return 0;
    p = static_cast<std::size_t>(static_cast<const char*>(hit) - s);
    if (2 * p > n) return 0;
    if (std::memcmp(s, s + p, p) == 0) return p;
    ++p;
  }
  return 0;
}

namespace {

// Below this length a periodic text is scanned directly: the period test
// and the cycle bookkeeping would cost more than they save.
constexpr std::size_t kPeriodicMinLength = 1 << 14;
// Below this length a plain scan is quicker than preparing a finder.
constexpr std::size_t kShortText = 64;
// Periods simulated before the shortcut gives up looking for a cycle and
// lets the plain scan finish the text.
constexpr std::size_t kMaxSimulatedPeriods = 64;

}  // namespace

std::uint64_t literal_count_periodic(const SubstringFinder& finder, std::string_view text,
                                     std::size_t p) noexcept {
  const std::size_t n = text.size();
  const std::size_t len = finder.needle().size();
  if (len == 0) return n;
  // The state of the scan where period k begins is e: the first position,
  // relative to k * p, at which an occurrence may start (e < len, as the
  // previous occurrence ended there). Because the text repeats, what the
  // scan does within period k depends on e alone, as long as the period's
  // candidates and their bytes, [k*p, (k+1)*p + len - 1), lie in the text.
  const std::size_t window = p + len - 1;
  if (p == 0 || n < window + p) return finder.count(text);
  const std::string_view first = text.substr(0, window);
  // Periods 0 .. simulatable-1 can be scanned on `first` in place of themselves.
  const std::uint64_t simulatable = (n - len + 1) / p;

  struct Seen {
    std::uint64_t period = 0;
    std::uint64_t total = 0;
  };
  std::vector<Seen> seen;  // by state e, as first visited (until the jump)
  std::vector<bool> visited;
  std::uint64_t k = 0, total = 0;
  std::size_t e = 0;
  bool jumped = false;
  while (k < simulatable) {
    if (!jumped) {
      if (e < visited.size() && visited[e]) {
        const std::uint64_t cycle = k - seen[e].period;
        const std::uint64_t per_cycle = total - seen[e].total;
        const std::uint64_t cycles = (simulatable - k) / cycle;
        total += cycles * per_cycle;
        k += cycles * cycle;
        jumped = true;
        if (k >= simulatable) break;
      } else if (k >= kMaxSimulatedPeriods) {
        break;  // no cycle soon enough: finish with the plain scan
      } else {
        if (e >= visited.size()) {
          visited.resize(e + 1, false);
          seen.resize(e + 1);
        }
        visited[e] = true;
        seen[e] = {k, total};
      }
    }
    std::size_t pos = e;
    for (;;) {
      const std::size_t m = finder.find(first, pos);
      if (m == kNotFound) break;
      ++total;
      pos = m + len;
    }
    e = std::max(pos, p) - p;
    ++k;
  }
  // The rest of the text, from where the scan stands, by the plain scan.
  for (std::size_t pos = static_cast<std::size_t>(k) * p + e;;) {
    const std::size_t m = finder.find(text, pos);
    if (m == kNotFound) break;
    ++total;
    pos = m + len;
  }
  return total;
}

std::uint64_t literal_count(std::string_view needle, std::string_view text) noexcept {
  if (needle.empty()) return text.size();
  if (text.size() < kShortText) {
    std::uint64_t total = 0;
    for (std::size_t p = 0; p + needle.size() <= text.size();) {
      if (std::memcmp(text.data() + p, needle.data(), needle.size()) == 0) {
        ++total;
        p += needle.size();
      } else {
        ++p;
      }
    }
    return total;
  }
  const SubstringFinder finder(needle);
  if (text.size() >= kPeriodicMinLength) {
    const std::size_t p = detect_period(text);
    if (p != 0 && repeats_with_period(text, p)) return literal_count_periodic(finder, text, p);
  }
  return finder.count(text);
}

std::uint64_t keyword_count(const KeywordElement& keyword, std::string_view text) noexcept {
  const std::size_t n = text.size();
  const std::size_t len = keyword.match_len();
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  if (len == 0) {
    // An empty keyword matches at every position before a non-identifier byte.
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += kIdentifierBytes[t[i]] == 0;
    return total;
  }
  if (n < kShortText) {
    std::uint64_t total = 0;
    for (std::size_t p = 0; p < n;) {
      if (keyword.matches_at(text, p)) {
        ++total;
        p += len;
      } else {
        ++p;
      }
    }
    return total;
  }
  const SubstringFinder finder(keyword.s());
  if (len == 1) {
    // Every occurrence is a candidate on its own; no overlap is possible.
    std::uint64_t total = 0;
    for (std::size_t pos = 0;;) {
      const std::size_t m = finder.find(text, pos);
      if (m == kNotFound) break;
      total += m + 1 == n || kIdentifierBytes[t[m + 1]] == 0;
      pos = m + 1;
    }
    return total;
  }
  std::uint64_t total = 0;
  scan_with(finder.kernel(), finder.prepared(), text, 0, [&](std::size_t c) {
    const std::size_t end = c + len;
    if (end == n || kIdentifierBytes[t[end]] == 0) {
      ++total;
      return end;
    }
    return c + 1;
  });
  return total;
}

}  // namespace quernlet
