#include "word_scan.hpp"

#include <cstring>

#include "simd_target.hpp"
#include "stretch_scan.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define QUERNLET_WORD_AVX2 1
#else
#define QUERNLET_WORD_AVX2 0
#endif

namespace quernlet {

namespace {

// Byte masks of one 64-byte block: bit i of `init` / `body` is set when byte
// i may start / continue a word.
struct BlockMasks {
  std::uint64_t init;
  std::uint64_t body;
};

// Word starts and ends of a block from its masks and the in-word state
// before it. With R[i] = "byte i lies in a word", R[i] = I[i] | (R[i-1] &
// B[i]): a carry that enters at a start and runs on through body bytes, so
// one addition computes the carries c[i] = R[i-1] of the whole block.
// A word starts at i when I[i] and not (c[i] & B[i]); it ends at e when
// c[e] and not B[e].
struct BlockWords {
  std::uint64_t starts;
  std::uint64_t ends;
  std::uint64_t carry_out;
};

inline BlockWords block_words(BlockMasks m, std::uint64_t carry_in) noexcept {
  const std::uint64_t a = m.init | m.body;
  const unsigned __int128 sum =
      static_cast<unsigned __int128>(a) + m.init + static_cast<unsigned __int128>(carry_in);
  const std::uint64_t carries = static_cast<std::uint64_t>(sum) ^ a ^ m.init;
  return {m.init & ~(carries & m.body), carries & ~m.body, static_cast<std::uint64_t>(sum >> 64)};
}

#if QUERNLET_WORD_AVX2
QUERNLET_SIMD_BEGIN_AVX2_BMI

// Members of a 32-byte vector: the low nibble selects a bit set of high
// nibbles, the high nibble selects one bit (none for 8..15).
inline std::uint32_t member_mask(__m256i nibble_table, __m256i lo, __m256i hi_bits) {
  const __m256i hit = _mm256_and_si256(_mm256_shuffle_epi8(nibble_table, lo), hi_bits);
  return ~static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(hit, _mm256_setzero_si256())));
}

struct VectorClassifier {
  __m256i init_table, body_table, hi_bit_table, low_nibble;

  VectorClassifier(const std::array<std::uint8_t, 16>& init,
                   const std::array<std::uint8_t, 16>& body) {
    const __m128i i = _mm_loadu_si128(reinterpret_cast<const __m128i*>(init.data()));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(body.data()));
    init_table = _mm256_broadcastsi128_si256(i);
    body_table = _mm256_broadcastsi128_si256(b);
    hi_bit_table = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                    1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
    low_nibble = _mm256_set1_epi8(0x0F);
  }

  BlockMasks classify(const unsigned char* p) const {
    std::uint64_t init = 0, body = 0;
    for (int half = 0; half < 2; ++half) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * half));
      const __m256i lo = _mm256_and_si256(v, low_nibble);
      const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low_nibble);
      const __m256i hi_bits = _mm256_shuffle_epi8(hi_bit_table, hi);
      init |= std::uint64_t{member_mask(init_table, lo, hi_bits)} << (32 * half);
      body |= std::uint64_t{member_mask(body_table, lo, hi_bits)} << (32 * half);
    }
    return {init, body};
  }

  // A block shorter than 64 bytes: bytes past the end belong to no set.
  BlockMasks classify_partial(const unsigned char* p, std::size_t len) const {
    alignas(32) unsigned char buf[64] = {};
    std::memcpy(buf, p, len);
    BlockMasks m = classify(buf);
    const std::uint64_t valid = len >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << len) - 1;
    return {m.init & valid, m.body & valid};
  }
};

// The words that start in t[0, n), with the in-word carry from the bytes
// before (updated); bytes past `n` belong to no word.
std::uint64_t count_vector(const VectorClassifier& cls, const unsigned char* t, std::size_t n,
                           std::uint64_t& carry) {
  std::uint64_t total = 0;
  std::size_t i = 0;
  for (; n - i >= 64; i += 64) {
    const BlockWords w = block_words(cls.classify(t + i), carry);
    total += static_cast<std::uint64_t>(__builtin_popcountll(w.starts));
    carry = w.carry_out;
  }
  if (i < n) {
    const BlockWords w = block_words(cls.classify_partial(t + i, n - i), carry);
    total += static_cast<std::uint64_t>(__builtin_popcountll(w.starts));
    carry = w.carry_out;
  }
  return total;
}

QUERNLET_SIMD_END
#endif

// The branchless state machine over a byte table, from the state `in_word`
// of the bytes before (updated).
std::uint64_t count_bytes(const std::uint8_t* init, const std::uint8_t* body,
                          const unsigned char* t, std::size_t n, unsigned& in_word) noexcept {
  std::uint64_t total = 0;
  unsigned state = in_word;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned b = t[i];
    const unsigned cont = state & body[b];
    total += (cont ^ 1u) & init[b];
    state = cont | init[b];
  }
  in_word = state;
  return total;
}

}  // namespace

WordScanner::WordScanner(const WordElement& word, FindKernel kernel) noexcept : word_(word) {
  init_ = word.init_set().ascii_table();
  body_ = word.body_set().ascii_table();
  for (unsigned b = 0; b < 128; ++b) {
    init_nibbles_[b & 15] |= static_cast<std::uint8_t>(init_[b] << (b >> 4));
    body_nibbles_[b & 15] |= static_cast<std::uint8_t>(body_[b] << (b >> 4));
  }
  vector_ = QUERNLET_WORD_AVX2 && word.ascii_only() && kernel == FindKernel::kAvx2 &&
            find_kernel_supported(FindKernel::kAvx2);
}

bool WordScanner::body_at(std::string_view text, Pos pos) const noexcept {
  if (word_.ascii_only()) return body_[static_cast<unsigned char>(text[pos])] != 0;
  unsigned len = 1;
  return word_.body_set().has(latin1_at(text, pos, len));
}

// The text goes in stretches, each counted towards the interrupt period; a
// run that gives up stops counting (its count is then dropped).
std::uint64_t WordScanner::count_plain(std::string_view text) const noexcept {
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  std::uint64_t total = 0;
#if QUERNLET_WORD_AVX2
  if (vector_) {
    const VectorClassifier cls(init_nibbles_, body_nibbles_);
    std::uint64_t carry = 0;
    by_stretches(text.size(),
                 [&](Pos from, Pos to) { total += count_vector(cls, t + from, to - from, carry); });
    return total;
  }
#endif
  if (word_.ascii_only()) {
    unsigned in_word = 0;
    by_stretches(text.size(), [&](Pos from, Pos to) {
      total += count_bytes(init_.data(), body_.data(), t + from, to - from, in_word);
    });
    return total;
  }
  const std::size_t n = text.size();
  for (Pos pos = 0; pos < n;) {
    // Words count their own bytes; this counts the stretches between them
    // too, and notices a word's give-up.
    const Pos from = pos;
    for (const Pos stop = stretch_end(pos, n); pos < stop;) {
      const Pos end = word_.match_end(text, pos);
      if (end != 0) {
        ++total;
        pos = end;
      } else {
        pos = next_char_boundary(text, pos + 1);
      }
    }
    if (run_scanned(pos - from) || run_gave_up()) break;
  }
  return total;
}

std::uint64_t WordScanner::count(std::string_view text) const noexcept {
  const std::size_t n = text.size();
  if (n == 0) return 0;
  if (word_.ascii_only()) {
    // A period boundary cuts no word when the byte before it or the byte
    // after it (the text's first byte) can be part of no word: the state
    // there is then the fresh state, so every period counts alike.
    const std::size_t p = detect_period(text);
    const auto member = [&](std::size_t i) {
      const auto b = static_cast<unsigned char>(text[i]);
      return (init_[b] | body_[b]) != 0;
    };
    if (p != 0 && !(member(p - 1) && member(0)) && repeats_with_period(text, p)) {
      const std::uint64_t periods = n / p;
      return periods * count_plain(text.substr(0, p)) + count_plain(text.substr(periods * p));
    }
  }
  return count_plain(text);
}

std::size_t WordCursor::next(MatchSpan* out, std::size_t cap) noexcept {
  if (done_ || cap == 0) return 0;
  if (scanner_.vector_) return next_vector(out, cap);
  return scanner_.word_.ascii_only() ? next_bytes(out, cap) : next_chars(out, cap);
}

std::size_t WordCursor::next_bytes(MatchSpan* out, std::size_t cap) noexcept {
  const auto* t = reinterpret_cast<const unsigned char*>(text_.data());
  const std::size_t n = text_.size();
  const auto& init = scanner_.init_;
  const auto& body = scanner_.body_;
  std::size_t k = 0;
  Pos i = pos_;
  while (k < cap) {
    // A run that gives up ends the scan.
    if (!scan_while(t, i, n, [&init](unsigned char b) { return init[b] == 0; }) || i >= n) {
      done_ = true;
      break;
    }
    Pos e = i + 1;
    if (!scan_while(t, e, n, [&body](unsigned char b) { return body[b] != 0; })) {
      done_ = true;
      break;
    }
    out[k++] = {i, e};
    i = e;
  }
  // Many short words and gaps count as one long run does (whose stretches
  // counted on their own too).
  if (passed_.reach(i)) done_ = true;
  pos_ = i;
  return k;
}

std::size_t WordCursor::next_chars(MatchSpan* out, std::size_t cap) noexcept {
  const std::size_t n = text_.size();
  std::size_t k = 0;
  Pos i = pos_;
  while (k < cap && i < n) {
    const Pos e = scanner_.word_.match_end(text_, i);
    if (e != 0) {
      out[k++] = {i, e};
      i = e;
    } else {
      i = next_char_boundary(text_, i + 1);
    }
    // Words count their own bytes; this counts the stretches between them
    // too, and notices a word's give-up. A run that gives up ends the scan.
    if (passed_.reach(i) || run_gave_up()) {
      done_ = true;
      break;
    }
  }
  if (i >= n) done_ = true;
  pos_ = i;
  return k;
}

std::size_t WordCursor::next_vector(MatchSpan* out, std::size_t cap) noexcept {
#if QUERNLET_WORD_AVX2
  const auto* t = reinterpret_cast<const unsigned char*>(text_.data());
  const std::size_t n = text_.size();
  std::size_t k = 0;
  // Built per batch: a batch holds many spans, and this keeps the vector
  // registers out of the cursor's layout.
  const VectorClassifier cls(scanner_.init_nibbles_, scanner_.body_nibbles_);
  while (k < cap) {
    if (open_) {
      if (ends_ != 0) {
        out[k++] = {open_start_, block_ + static_cast<Pos>(__builtin_ctzll(ends_))};
        ends_ &= ends_ - 1;
        open_ = false;
        continue;
      }
    } else if (starts_ != 0) {
      open_start_ = block_ + static_cast<Pos>(__builtin_ctzll(starts_));
      starts_ &= starts_ - 1;
      open_ = true;
      continue;
    }
    // This block is used up: read the next one.
    if (pos_ >= n) {
      if (open_) {
        out[k++] = {open_start_, n};
        open_ = false;
      }
      done_ = true;
      break;
    }
    if (passed_.reach(pos_)) {  // a run that gives up ends the scan
      done_ = true;
      break;
    }
    const BlockMasks m =
        n - pos_ >= 64 ? cls.classify(t + pos_) : cls.classify_partial(t + pos_, n - pos_);
    const BlockWords w = block_words(m, carry_);
    block_ = pos_;
    starts_ = w.starts;
    // An end at a position past the text is no end: the text's end closes
    // the word instead.
    ends_ = n - pos_ >= 64 ? w.ends : w.ends & ((std::uint64_t{1} << (n - pos_)) - 1);
    carry_ = w.carry_out;
    pos_ += 64;
  }
  return k;
#else
  (void)out;
  (void)cap;
  return 0;
#endif
}

bool word_period(const WordScanner& scanner, std::string_view text, std::size_t& p) noexcept {
  p = detect_period(text);
  if (p == 0 || !repeats_with_period(text, p)) return false;
  WordCursor cursor(scanner, text.substr(0, p));
  MatchSpan batch[64];
  MatchSpan last{};
  bool any = false;
  for (std::size_t k; (k = cursor.next(batch, 64)) != 0;) {
    last = batch[k - 1];
    any = true;
  }
  // The scan of [0, p) cut the last word at p; if the text goes on with a
  // body character there, the word really runs into the next period.
  if (!any) return false;
  return !(last.end == p && scanner.body_at(text, p));
}

}  // namespace quernlet
