#include "single_text/text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "module/binding.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quernlet {

namespace {

// The UTF-8 copy the interpreter already made of a non-ASCII `str`, or null.
const char* cached_utf8(PyObject* str, Py_ssize_t& size) noexcept {
  const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(str);
  size = compact->utf8_length;
  return compact->utf8;
}

// Encodes `n` units of one width into `out`, which has room for 4 bytes
// per unit; returns the bytes written, or -1 at a lone surrogate. Runs of
// ASCII are taken eight bytes of input at a time; any other character is
// made without branches as one 4-byte store, of which its length is kept.
template <class Unit>
std::ptrdiff_t encode_utf8(const Unit* s, std::size_t n, unsigned char* out) noexcept {
  constexpr std::size_t kPerWord = 8 / sizeof(Unit);
  constexpr std::uint64_t kHigh = sizeof(Unit) == 1   ? 0x8080808080808080ull
                                  : sizeof(Unit) == 2 ? 0xFF80FF80FF80FF80ull
                                                      : 0xFFFFFF80FFFFFF80ull;
  unsigned char* w = out;
  std::uint32_t surrogates = 0;
  std::size_t i = 0;
  while (i < n) {
    if (i + kPerWord <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & kHigh) == 0) {
        for (std::size_t k = 0; k < kPerWord; ++k) w[k] = static_cast<unsigned char>(s[i + k]);
        w += kPerWord;
        i += kPerWord;
        continue;
      }
    }
    const std::uint32_t c = s[i++];
    surrogates |= (c & 0xFFFFF800u) == 0xD800u;
    const std::uint32_t two = (0xC0 | (c >> 6)) | (0x80 | (c & 0x3F)) << 8;
    const std::uint32_t three =
        (0xE0 | (c >> 12)) | (0x80 | ((c >> 6) & 0x3F)) << 8 | (0x80 | (c & 0x3F)) << 16;
    const std::uint32_t four = (0xF0 | (c >> 18)) | (0x80 | ((c >> 12) & 0x3F)) << 8 |
                               (0x80 | ((c >> 6) & 0x3F)) << 16 | (0x80 | (c & 0x3F)) << 24;
    const std::uint32_t bytes = c < 0x80 ? c : c < 0x800 ? two : c < 0x10000 ? three : four;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(w, &bytes, 4);
    } else {
      for (int k = 0; k < 4; ++k) w[k] = static_cast<unsigned char>(bytes >> (8 * k));
    }
    w += 1 + (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
  }
  if (surrogates != 0) return -1;
  return w - out;
}

#if defined(__x86_64__) || defined(__i386__)
// Eight characters per step: a block of characters below U+0800 becomes
// one- and two-byte sequences at once (each character made in both forms,
// then the unused bytes squeezed out by one shuffle chosen by which
// characters are ASCII).
struct Squeeze {
  std::array<std::array<std::uint8_t, 16>, 256> shuffle{};  // by ASCII mask
  std::array<std::uint8_t, 256> length{};
};

constexpr Squeeze kSqueeze = [] {
  Squeeze t;
  for (int mask = 0; mask < 256; ++mask) {
    int out = 0;
    for (int k = 0; k < 8; ++k) {
      t.shuffle[mask][out++] = static_cast<std::uint8_t>(2 * k);
      if (!(mask >> k & 1)) t.shuffle[mask][out++] = static_cast<std::uint8_t>(2 * k + 1);
    }
    for (int k = out; k < 16; ++k) t.shuffle[mask][k] = 0x80;
    t.length[mask] = static_cast<std::uint8_t>(out);
  }
  return t;
}();

// Eight characters below U+0800, one per 16-bit lane, written at `w`
// (which has room for 16 bytes); returns the bytes they take.
[[gnu::target("ssse3")]] inline std::size_t squeeze_block(__m128i v, unsigned char* w) noexcept {
  const __m128i zero = _mm_setzero_si128();
  const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(-0x80)), zero);
  const int mask = _mm_movemask_epi8(_mm_packs_epi16(ascii, zero));
  const __m128i lead = _mm_or_si128(_mm_srli_epi16(v, 6), _mm_set1_epi16(0xC0));
  const __m128i cont = _mm_or_si128(_mm_and_si128(v, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80));
  const __m128i two = _mm_or_si128(lead, _mm_slli_epi16(cont, 8));
  const __m128i both = _mm_or_si128(_mm_and_si128(ascii, v), _mm_andnot_si128(ascii, two));
  _mm_storeu_si128(
      reinterpret_cast<__m128i*>(w),
      _mm_shuffle_epi8(
          both, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSqueeze.shuffle[mask].data()))));
  return kSqueeze.length[mask];
}

// The next eight characters as 16-bit lanes; false when one is U+0800 or
// above.
[[gnu::target("ssse3")]] inline bool narrow_block(const Py_UCS1* s, __m128i& v) noexcept {
  v = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)), _mm_setzero_si128());
  return true;
}

[[gnu::target("ssse3")]] inline bool narrow_block(const Py_UCS2* s, __m128i& v) noexcept {
  v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i wide = _mm_and_si128(v, _mm_set1_epi16(-0x800));
  return _mm_movemask_epi8(_mm_cmpeq_epi16(wide, _mm_setzero_si128())) == 0xFFFF;
}

[[gnu::target("ssse3")]] inline bool narrow_block(const Py_UCS4* s, __m128i& v) noexcept {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4));
  const __m128i wide = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi32(-0x800));
  if (_mm_movemask_epi8(_mm_cmpeq_epi32(wide, _mm_setzero_si128())) != 0xFFFF) return false;
  v = _mm_packs_epi32(a, b);  // every lane below 0x800: no saturation
  return true;
}

// Blocks of eight characters below U+0800 are encoded at once; any other
// block goes through the scalar encoder, which also finds surrogates.
template <class Unit>
[[gnu::target("ssse3")]] std::ptrdiff_t encode_utf8_ssse3(const Unit* s, std::size_t n,
                                                          unsigned char* out) noexcept {
  unsigned char* w = out;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    // The buffer has room for 2 (one-byte text) or more bytes per
    // character, so for 16 from here.
    __m128i v;
    if (narrow_block(s + i, v)) {
      w += squeeze_block(v, w);
      continue;
    }
    const std::ptrdiff_t k = encode_utf8(s + i, 8, w);
    if (k < 0) return -1;
    w += k;
  }
  const std::ptrdiff_t k = encode_utf8(s + i, n - i, w);
  return k < 0 ? -1 : w + k - out;
}
#endif

// The vectorised encoder where the processor has it, else the scalar one.
template <class Unit>
std::ptrdiff_t encode_text(const Unit* s, std::size_t n, unsigned char* out) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) return encode_utf8_ssse3(s, n, out);
#endif
  return encode_utf8(s, n, out);
}

// Number of characters (lead and one-byte bytes) in `bytes`.
std::size_t count_chars(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t continuation = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) continuation += (p[i] & 0xC0) == 0x80;
  return bytes.size() - continuation;
}

// Whether `c` is a surrogate, as 1 or 0 of the unit's own width (so that
// loops accumulating it stay vectorised).
template <class Unit>
Unit surrogate_bit(Unit c) noexcept {
  return static_cast<Unit>((c & 0xF800u) == 0xD800u);
}

// Whether any unit lies in the surrogate range.
template <class Unit>
bool has_surrogate(const Unit* s, std::size_t n) noexcept {
  Unit any = 0;
  for (std::size_t i = 0; i < n; ++i) any |= surrogate_bit(s[i]);
  return any != 0;
}

// Copies `n` characters from storage of width `from` to storage of width
// `to` >= `from` (the characters fit by construction).
template <class From, class To>
void widen(const void* src, void* dst, std::size_t n) noexcept {
  if constexpr (sizeof(From) == sizeof(To)) {
    std::memcpy(dst, src, n * sizeof(To));
  } else {
    const auto* s = static_cast<const From*>(src);
    auto* d = static_cast<To*>(dst);
    for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
  }
}

void copy_chars(int from_kind, const void* src, std::size_t from, int to_kind, void* dst,
                std::size_t at, std::size_t n) noexcept {
  const auto* s = static_cast<const unsigned char*>(src) + from * from_kind;
  auto* d = static_cast<unsigned char*>(dst) + at * to_kind;
  switch (from_kind * 8 + to_kind) {
    case 1 * 8 + 1:
      return widen<Py_UCS1, Py_UCS1>(s, d, n);
    case 1 * 8 + 2:
      return widen<Py_UCS1, Py_UCS2>(s, d, n);
    case 1 * 8 + 4:
      return widen<Py_UCS1, Py_UCS4>(s, d, n);
    case 2 * 8 + 2:
      return widen<Py_UCS2, Py_UCS2>(s, d, n);
    case 2 * 8 + 4:
      return widen<Py_UCS2, Py_UCS4>(s, d, n);
    default:
      return widen<Py_UCS4, Py_UCS4>(s, d, n);
  }
}

// Whether a character of storage `kind` at or above `floor` occurs.
template <class Unit>
bool any_at_least(const void* data, std::size_t n, std::uint32_t floor) noexcept {
  const auto* s = static_cast<const Unit*>(data);
  constexpr std::size_t kBlock = 256;
  for (std::size_t i = 0; i < n; i += kBlock) {
    bool any = false;
    for (std::size_t k = i, e = std::min(n, i + kBlock); k < e; ++k) any |= s[k] >= floor;
    if (any) return true;
  }
  return false;
}

// `dst[i]` = `src[i]`, or `to` where `src[i]` is `from`. Returns whether a
// surrogate was copied (looked for in the same pass).
template <class In, class Out>
bool copy_replacing(const void* src, void* dst, std::size_t n, In from, Out to) noexcept {
  const auto* s = static_cast<const In*>(src);
  auto* d = static_cast<Out*>(dst);
  In surrogates = 0;
  for (std::size_t i = 0; i < n; ++i) {
    d[i] = s[i] == from ? to : static_cast<Out>(s[i]);
    if constexpr (sizeof(In) > 1) surrogates |= surrogate_bit(s[i]);
  }
  return surrogates != 0;
}

template <class In>
bool copy_replacing_into(int out_kind, const void* src, void* dst, std::size_t n, In from,
                         Py_UCS4 to) noexcept {
  switch (out_kind) {
    case PyUnicode_1BYTE_KIND:
      return copy_replacing<In, Py_UCS1>(src, dst, n, from, static_cast<Py_UCS1>(to));
    case PyUnicode_2BYTE_KIND:
      return copy_replacing<In, Py_UCS2>(src, dst, n, from, static_cast<Py_UCS2>(to));
    default:
      return copy_replacing<In, Py_UCS4>(src, dst, n, from, to);
  }
}

// Number of units of at least `floor`.
template <class Unit>
std::size_t count_at_least(const void* data, std::size_t n, std::uint32_t floor) noexcept {
  const auto* s = static_cast<const Unit*>(data);
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += s[i] >= floor;
  return count;
}

// The largest value of the storage class that holds `c`.
Py_UCS4 class_max(Py_UCS4 c) noexcept {
  return c < 0x80 ? 0x7F : c < 0x100 ? 0xFF : c < 0x10000 ? 0xFFFF : 0x10FFFF;
}

}  // namespace

PyObject* replace_char(PyObject* str, Py_UCS4 from, Py_UCS4 to) noexcept {
  const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  const Py_UCS4 text_max = PyUnicode_MAX_CHAR_VALUE(str);
  // A character wider than the storage does not occur; neither does one
  // that a wider replacement would have to make room for, unless found.
  if (from > text_max || (class_max(to) > text_max &&
                          PyUnicode_FindChar(str, from, 0, static_cast<Py_ssize_t>(n), 1) < 0))
    return check_has_utf8_form(str) ? copy_str(str) : nullptr;
  py::Object out = py::Object::steal(
      PyUnicode_New(static_cast<Py_ssize_t>(n), std::max(text_max, class_max(to))));
  if (!out) return nullptr;
  void* dst = PyUnicode_DATA(out.get());
  const int out_kind = PyUnicode_KIND(out.get());
  const bool surrogates =
      kind == PyUnicode_1BYTE_KIND
          ? copy_replacing_into(out_kind, data, dst, n, static_cast<Py_UCS1>(from), to)
      : kind == PyUnicode_2BYTE_KIND
          ? copy_replacing_into(out_kind, data, dst, n, static_cast<Py_UCS2>(from), to)
          : copy_replacing_into(out_kind, data, dst, n, static_cast<Py_UCS4>(from), to);
  // A text without a UTF-8 form fails as its UTF-8 view would.
  if (surrogates) {
    std::string_view unused;
    if (!py::utf8_view(str, unused)) return nullptr;
  }
  // Replacing the text's widest characters by narrower ones may narrow it.
  if (class_max(to) < text_max && class_max(from) == text_max) return narrowest(std::move(out));
  return out.release();
}

std::size_t utf8_length(PyObject* str) noexcept {
  const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  const void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      return n + count_at_least<Py_UCS1>(data, n, 0x80);
    case PyUnicode_2BYTE_KIND:
      return n + count_at_least<Py_UCS2>(data, n, 0x80) + count_at_least<Py_UCS2>(data, n, 0x800);
    default:
      return n + count_at_least<Py_UCS4>(data, n, 0x80) + count_at_least<Py_UCS4>(data, n, 0x800) +
             count_at_least<Py_UCS4>(data, n, 0x10000);
  }
}

void TextArgument::Free::operator()(char* p) const noexcept { std::free(p); }

bool TextArgument::take(const char* arg, PyObject* obj, Text& out, bool storage_only) {
  if (!PyUnicode_Check(obj)) [[unlikely]] {
    raise_argument_type(arg, obj, "str");
    return false;
  }
  out.str = obj;
  Py_ssize_t size = 0;
  if (PyUnicode_IS_ASCII(obj)) {
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return false;
    static_cast<std::string_view&>(out) = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  if (const char* data = cached_utf8(obj, size)) {
    static_cast<std::string_view&>(out) = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj));
  if (storage_only) {
    static_cast<std::string_view&>(out) = std::string_view();
    return true;
  }
  if (n < kOwnEncodingMinChars) return py::utf8_view(obj, out);

  // The same long text twice in a row (as when several operations run over
  // one text) keeps the interpreter's copy from then on: encoding it on
  // every call would cost more than the copy's memory is worth. Address and
  // length are only a hint; a new object that happens to match merely gets
  // its copy.
  thread_local const PyObject* last_encoded = nullptr;
  thread_local std::size_t last_length = 0;
  if (obj == last_encoded && n == last_length) return py::utf8_view(obj, out);
  last_encoded = obj;
  last_length = n;

  const int kind = PyUnicode_KIND(obj);
  const void* data = PyUnicode_DATA(obj);
  // Pages of the buffer that the encoding does not reach are never touched.
  owned_.reset(static_cast<char*>(std::malloc(n * (kind == 1 ? 2 : kind == 2 ? 3 : 4) + 4)));
  if (!owned_) {
    PyErr_NoMemory();
    return false;
  }
  auto* w = reinterpret_cast<unsigned char*>(owned_.get());
  const std::ptrdiff_t len =
      kind == PyUnicode_1BYTE_KIND   ? encode_text(static_cast<const Py_UCS1*>(data), n, w)
      : kind == PyUnicode_2BYTE_KIND ? encode_text(static_cast<const Py_UCS2*>(data), n, w)
                                     : encode_text(static_cast<const Py_UCS4*>(data), n, w);
  // A lone surrogate: the interpreter's own view reports it.
  if (len < 0) return py::utf8_view(obj, out);
  static_cast<std::string_view&>(out) =
      std::string_view(owned_.get(), static_cast<std::size_t>(len));
  return true;
}

bool check_has_utf8_form(PyObject* str) noexcept {
  Py_ssize_t size;
  if (PyUnicode_IS_ASCII(str) || cached_utf8(str, size)) return true;
  const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  const void* data = PyUnicode_DATA(str);
  bool bad = false;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_2BYTE_KIND:
      bad = has_surrogate(static_cast<const Py_UCS2*>(data), n);
      break;
    case PyUnicode_4BYTE_KIND:
      bad = has_surrogate(static_cast<const Py_UCS4*>(data), n);
      break;
    default:
      break;
  }
  if (!bad) return true;
  std::string_view unused;
  return py::utf8_view(str, unused);
}

std::size_t CharOffsets::long_step(Pos pos) noexcept {
  chars_ += count_chars(text_.substr(byte_, pos - byte_));
  byte_ = pos;
  return chars_;
}

py::Object text_slice(const Text& text, CharOffsets& offsets, Pos start, Pos end) noexcept {
  // The interpreter hands back the `str` itself for its whole text; a token
  // is a new `str` (one character keeps the interpreter's shared object).
  if (start == 0 && end == text.size() && end != 0) {
    if (PyUnicode_GET_LENGTH(text.str) == 1)
      return py::Object::steal(PyUnicode_FromOrdinal(PyUnicode_READ_CHAR(text.str, 0)));
    return py::Object::steal(copy_str(text.str));
  }
  if (text.ascii())
    return py::Object::steal(PyUnicode_Substring(text.str, static_cast<Py_ssize_t>(start),
                                                 static_cast<Py_ssize_t>(end)));
  // A span that cuts a character cannot be located in the storage; decoding
  // its bytes reports it.
  if (!is_char_boundary(text, start) || !is_char_boundary(text, end))
    return py::str(text.substr(start, end - start));
  const std::size_t from = offsets.at(start);
  const std::size_t to = offsets.at(end);
  return py::Object::steal(
      PyUnicode_Substring(text.str, static_cast<Py_ssize_t>(from), static_cast<Py_ssize_t>(to)));
}

py::Object text_slice(const Text& text, Pos start, Pos end) noexcept {
  CharOffsets offsets(text);
  return text_slice(text, offsets, start, end);
}

PyObject* copy_str(PyObject* str) noexcept {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
  PyObject* out = PyUnicode_New(n, PyUnicode_MAX_CHAR_VALUE(str));
  if (!out) return nullptr;
  std::memcpy(PyUnicode_DATA(out), PyUnicode_DATA(str),
              static_cast<std::size_t>(n) * PyUnicode_KIND(str));
  return out;
}

PyObject* narrowest(py::Object str) noexcept {
  const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str.get()));
  const void* data = PyUnicode_DATA(str.get());
  bool needed;
  switch (PyUnicode_KIND(str.get())) {
    case PyUnicode_1BYTE_KIND:
      needed = PyUnicode_IS_ASCII(str.get()) || any_at_least<Py_UCS1>(data, n, 0x80);
      break;
    case PyUnicode_2BYTE_KIND:
      needed = any_at_least<Py_UCS2>(data, n, 0x100);
      break;
    default:
      needed = any_at_least<Py_UCS4>(data, n, 0x10000);
      break;
  }
  if (needed) return str.release();
  return PyUnicode_FromKindAndData(PyUnicode_KIND(str.get()), data, static_cast<Py_ssize_t>(n));
}

// ---------------------------------------------------------------------------
// StrReplacer

StrReplacer::StrReplacer(const Text& text, const Text& replacement) noexcept
    : text_(text),
      offsets_(text),
      replacement_(replacement.str),
      text_kind_(PyUnicode_KIND(text.str)),
      text_data_(PyUnicode_DATA(text.str)) {}

// The output, as wide as the text and the replacement together, with room
// for the text and one replacement; and the replacement in its width.
bool StrReplacer::begin_output() noexcept {
  const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text_.str));
  replacement_length_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(replacement_));
  const Py_UCS4 maxchar =
      std::max(PyUnicode_MAX_CHAR_VALUE(text_.str), PyUnicode_MAX_CHAR_VALUE(replacement_));
  out_ =
      py::Object::steal(PyUnicode_New(static_cast<Py_ssize_t>(n + replacement_length_), maxchar));
  if (!out_) return false;
  out_kind_ = PyUnicode_KIND(out_.get());
  out_data_ = PyUnicode_DATA(out_.get());
  capacity_ = n + replacement_length_;
  replacement_out_.reset(new unsigned char[replacement_length_ * out_kind_ + 1]);
  copy_chars(PyUnicode_KIND(replacement_), PyUnicode_DATA(replacement_), 0, out_kind_,
             replacement_out_.get(), 0, replacement_length_);
  return true;
}

bool StrReplacer::reserve(std::size_t more) noexcept {
  if (length_ + more <= capacity_) return true;
  const std::size_t grown = std::max(length_ + more, capacity_ + capacity_ / 2);
  if (grown > static_cast<std::size_t>(PY_SSIZE_T_MAX / 4)) {
    PyErr_NoMemory();
    return false;
  }
  PyObject* p = out_.release();
  const bool ok = PyUnicode_Resize(&p, static_cast<Py_ssize_t>(grown)) == 0;
  out_ = py::Object::steal(p);
  if (!ok) return false;
  out_data_ = PyUnicode_DATA(out_.get());
  capacity_ = grown;
  return true;
}

// Text characters [from, to) appended (room reserved).
template <class In, class Out>
void StrReplacer::copy_text(std::size_t from, std::size_t to) noexcept {
  const In* s = static_cast<const In*>(text_data_) + from;
  Out* d = static_cast<Out*>(out_data_) + length_;
  const std::size_t n = to - from;
  if constexpr (sizeof(In) == sizeof(Out)) {
    if (n > 16) {
      std::memcpy(d, s, n * sizeof(Out));
      length_ += n;
      return;
    }
  }
  for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
  length_ += n;
}

template <class In, class Out>
bool StrReplacer::replace_as(std::size_t from, std::size_t to) noexcept {
  if (!reserve(from - last_ + replacement_length_)) return false;
  copy_text<In, Out>(last_, from);
  const Out* r = reinterpret_cast<const Out*>(replacement_out_.get());
  Out* d = static_cast<Out*>(out_data_) + length_;
  for (std::size_t i = 0; i < replacement_length_; ++i) d[i] = r[i];
  length_ += replacement_length_;
  last_ = to;
  return true;
}

bool StrReplacer::replace(Pos start, Pos end) noexcept {
  const bool ascii = text_.ascii();
  // A span that cuts a character cannot be located in the storage;
  // decoding its bytes reports it, as for a search item.
  if (!ascii && (!is_char_boundary(text_, start) || !is_char_boundary(text_, end))) {
    const py::Object bytes = py::str(text_.substr(start, end - start));
    if (!bytes) return false;
    PyErr_SetString(PyExc_SystemError, "quernlet: a match cuts a character");
    return false;
  }
  const std::size_t from = ascii ? start : offsets_.at(start);
  const std::size_t to = ascii ? end : offsets_.at(end);
  if (!out_ && !begin_output()) return false;
  switch (text_kind_ * 8 + out_kind_) {
    case 1 * 8 + 1:
      return replace_as<Py_UCS1, Py_UCS1>(from, to);
    case 1 * 8 + 2:
      return replace_as<Py_UCS1, Py_UCS2>(from, to);
    case 1 * 8 + 4:
      return replace_as<Py_UCS1, Py_UCS4>(from, to);
    case 2 * 8 + 2:
      return replace_as<Py_UCS2, Py_UCS2>(from, to);
    case 2 * 8 + 4:
      return replace_as<Py_UCS2, Py_UCS4>(from, to);
    default:
      return replace_as<Py_UCS4, Py_UCS4>(from, to);
  }
}

PyObject* StrReplacer::finish() noexcept {
  if (!out_) return copy_str(text_.str);
  const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text_.str));
  if (!reserve(n - last_)) return nullptr;
  copy_chars(text_kind_, text_data_, last_, out_kind_, out_data_, length_, n - last_);
  length_ += n - last_;
  PyObject* p = out_.release();
  if (PyUnicode_Resize(&p, static_cast<Py_ssize_t>(length_)) != 0) return nullptr;
  py::Object out = py::Object::steal(p);
  // Only a text wider than the replacement can lose, with the replaced
  // spans, every character that made it that wide.
  if (PyUnicode_MAX_CHAR_VALUE(text_.str) <= PyUnicode_MAX_CHAR_VALUE(replacement_))
    return out.release();
  return narrowest(std::move(out));
}

}  // namespace quernlet
