// Byte scans that count towards the interrupt period (element.hpp).
//
// A scan that may cover a whole text goes in stretches of kScanStretch
// bytes and counts each, so that a signal need not wait for the end of a
// text of gigabytes; a short scan costs one compare more than the plain
// loop. Each function reports whether the run must give up: the caller then
// stops at once and answers no match. Python-free.
#pragma once

#include <cstring>
#include <string_view>

#include "element.hpp"

namespace quernlet {

// The end of a stretch from `p`: `len` bytes on, at most `n`.
inline Pos stretch_end(Pos p, Pos n, std::size_t len = kScanStretch) noexcept {
  return n - p > len ? p + len : n;
}

// The part of `scan_while` past its first KiB, from `p`, counted from
// `from`: where the run ends, or kNoPos when the run must give up.
inline constexpr Pos kNoPos = ~Pos{0};
template <class In>
[[gnu::noinline]] Pos scan_while_long(const unsigned char* t, Pos p, Pos n, Pos from,
                                      In& in) noexcept {
  for (;;) {
    const Pos stop = stretch_end(p, n);
    while (p < stop && in(t[p])) ++p;
    if (p < stop || p == n) return run_scanned(p - from) ? kNoPos : p;
    if (run_scanned(p - from)) return kNoPos;
    from = p;
  }
}

// Moves `p` (<= n) over the bytes of `t` for which `in(byte)` holds, up to
// `n`; false when the run must give up (`p` is then meaningless). A run
// shorter than a KiB counts nothing, so it costs no more than the plain
// loop; a longer one goes on out of line (which takes positions by value,
// so that the loop's position stays in a register).
template <class In>
[[gnu::always_inline]] inline bool scan_while(const unsigned char* t, Pos& p, Pos n,
                                              In&& in) noexcept {
  Pos q = p;
  const Pos stop = stretch_end(q, n, kScanBytesPerStep);
  while (q < stop && in(t[q])) ++q;
  // A run that ends the text within its first KiB is done too.
  if (q == stop && stop != n) [[unlikely]] {
    q = scan_while_long(t, q, n, p, in);
    if (q == kNoPos) return false;
  }
  p = q;
  return true;
}

// The bytes a scan passes over in many short pieces (gaps between words,
// failed candidates), counted as one long run would be: once a stretch has
// gone by since the last count.
class PassedBytes {
 public:
  explicit PassedBytes(Pos from) noexcept : counted_(from) {}

  // The scan has reached `p`; true when the run must give up.
  bool reach(Pos p) noexcept {
    if (p - counted_ < kScanStretch) [[likely]]
      return false;
    return count_to(p);
  }
  // Counts everything up to `p`, however little; true when the run must
  // give up.
  bool count_to(Pos p) noexcept {
    const bool stop = run_scanned(p - counted_);
    counted_ = p;
    return stop;
  }

 private:
  Pos counted_;
};

// Calls `f(from, to)` for the consecutive stretches of [0, n), counting
// each after it; false when the run must give up (the rest is not called).
template <class F>
bool by_stretches(std::size_t n, F&& f) {
  for (Pos from = 0; from < n;) {
    const Pos to = stretch_end(from, n);
    f(from, to);
    if (run_scanned(to - from)) return false;
    from = to;
  }
  return true;
}

// The same over a text.
template <class In>
[[gnu::always_inline]] inline bool scan_while(std::string_view text, Pos& p, In&& in) noexcept {
  return scan_while(reinterpret_cast<const unsigned char*>(text.data()), p, text.size(), in);
}

// Sets `p` (<= size) to the first position at or after it that holds byte
// `b`, or to the length; false when the run must give up.
inline bool find_byte_counted(std::string_view text, unsigned char b, Pos& p) noexcept {
  const Pos n = text.size();
  for (;;) {
    const Pos from = p;
    const Pos stop = stretch_end(p, n);
    const void* hit = std::memchr(text.data() + p, b, stop - p);
    if (hit) {
      p = static_cast<Pos>(static_cast<const char*>(hit) - text.data());
      return !run_scanned(p - from);
    }
    p = stop;
    if (run_scanned(stop - from)) return false;
    if (p == n) return true;
  }
}

}  // namespace quernlet
