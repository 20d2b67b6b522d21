// The text arguments of the single-text methods: where their UTF-8 bytes
// come from, and results built from the caller's own `str`.
//
// Every scan reads UTF-8 bytes, but a `str` keeps its characters in one of
// three fixed widths (one byte for text below U+0100, two below U+10000,
// four otherwise) and makes a UTF-8 copy only when asked, which it then
// keeps for its whole life. So:
//   - an ASCII `str` is its own UTF-8: its bytes are read in place;
//   - a non-ASCII `str` whose UTF-8 copy already exists is read through it;
//   - a short non-ASCII `str` gets the interpreter's copy (cheap to keep,
//     and later calls on the same object find it made);
//   - a long non-ASCII `str` is encoded into a buffer of the call's own,
//     freed when the call ends, so that one search does not leave a hidden
//     copy as large as the text attached to the caller's object; met again
//     in the thread's next call, it gets the interpreter's copy, since
//     encoding it on every call of a series would cost more (encoding runs
//     at about the speed of the interpreter's own, which is 10 to 20 times
//     the time of a count over the bytes).
// Literal's search and replace bodies need no UTF-8 at all: they work on
// the `str`'s storage, and only check that a UTF-8 form exists.
// Results that are pieces of the text (search items, parsed words,
// transform outputs) are copied from the `str`'s own storage, the byte
// offsets of the scan turned into character offsets by counting lead bytes,
// so non-ASCII text is never decoded back from UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "elements/element.hpp"
#include "module/py.hpp"

namespace quernlet {

// A `str` argument as the bodies see it: its UTF-8 bytes (the view every
// scan reads) and the object itself (borrowed for the call).
struct Text : std::string_view {
  PyObject* str = nullptr;

  // Whether the UTF-8 bytes are the `str`'s own storage (an ASCII text):
  // byte offsets are then character offsets.
  bool ascii() const noexcept { return PyUnicode_IS_ASCII(str); }
};

// Non-ASCII texts of at least this many characters are encoded into a
// buffer of the call's own rather than given a UTF-8 copy of their own.
inline constexpr std::size_t kOwnEncodingMinChars = std::size_t{1} << 16;

// Holds the UTF-8 form of one argument for the length of a call.
class TextArgument {
 public:
  // Views `obj` as UTF-8 into `out` (see the file comment). With
  // `storage_only` a non-ASCII text without a ready UTF-8 copy is not
  // encoded at all: `out` then has an empty view and the body reads the
  // `str`'s storage. False with an exception set when `obj` is not a `str`
  // (TypeError naming `arg`) or has no UTF-8 form (the interpreter's
  // UnicodeEncodeError, unchanged).
  bool take(const char* arg, PyObject* obj, Text& out, bool storage_only = false);

 private:
  struct Free {
    void operator()(char* p) const noexcept;
  };
  std::unique_ptr<char, Free> owned_;
};

// False with the interpreter's UnicodeEncodeError set when `str` has no
// UTF-8 form (it holds a lone surrogate); bodies that read the storage of
// a text taken `storage_only` call it to fail as the UTF-8 view would.
bool check_has_utf8_form(PyObject* str) noexcept;

// Character offsets of byte offsets into a UTF-8 text, for byte offsets
// asked in nondecreasing order: each step counts the lead bytes between the
// previous offset and the next, so a whole pass costs one walk of the text.
class CharOffsets {
 public:
  explicit CharOffsets(std::string_view text) noexcept : text_(text) {}

  // The character offset of byte offset `pos` (>= the previous one asked,
  // on a character boundary).
  std::size_t at(Pos pos) noexcept {
    // Gaps between the matches of a dense scan are short: counted inline.
    if (pos - byte_ > 32) return long_step(pos);
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
    for (; byte_ < pos; ++byte_) chars_ += (p[byte_] & 0xC0) != 0x80;
    return chars_;
  }

 private:
  std::size_t long_step(Pos pos) noexcept;

  std::string_view text_;
  Pos byte_ = 0;
  std::size_t chars_ = 0;
};

// The text of the byte span [start, end) of `text` as a new `str`. For a
// non-ASCII text `offsets` (over `text`, asked in order) locates it in the
// `str`'s storage; a span that cuts a character fails like decoding it.
py::Object text_slice(const Text& text, CharOffsets& offsets, Pos start, Pos end) noexcept;

// The text of one span, counting from the start of the text.
py::Object text_slice(const Text& text, Pos start, Pos end) noexcept;

// transform_string's output for a non-ASCII text or replacement: the text
// with byte spans (given in order, never overlapping) replaced by the
// replacement, written straight into a new `str` of the right width from
// the two `str`s' storage.
class StrReplacer {
 public:
  StrReplacer(const Text& text, const Text& replacement) noexcept;

  // False with an exception set when the output cannot be made.
  bool replace(Pos start, Pos end) noexcept;

  // The output as a new `str` (null with an exception set on failure).
  PyObject* finish() noexcept;

 private:
  bool begin_output() noexcept;
  bool reserve(std::size_t more) noexcept;
  template <class In, class Out>
  bool replace_as(std::size_t from, std::size_t to) noexcept;
  template <class In, class Out>
  void copy_text(std::size_t from, std::size_t to) noexcept;

  const Text& text_;
  CharOffsets offsets_;
  PyObject* const replacement_;  // the replacement `str` (borrowed)
  const int text_kind_;          // storage width of the text
  const void* const text_data_;  // the text's storage
  py::Object out_;               // made at the first replacement
  int out_kind_ = 0;             // storage width of `out_`
  void* out_data_ = nullptr;     // `out_`'s storage
  std::size_t capacity_ = 0;     // characters `out_` holds
  std::size_t length_ = 0;       // characters written
  std::size_t last_ = 0;         // characters of the text already handled
  // The replacement in the output's width, made at the first replacement.
  std::unique_ptr<unsigned char[]> replacement_out_;
  std::size_t replacement_length_ = 0;
};

// `str` with every character `from` replaced by `to`, as a new `str`: one
// pass that copies and replaces together (compare and select, vectorised
// by the compiler), into storage as wide as the result needs. A `str`
// without a UTF-8 form (a lone surrogate, noticed in the same pass) fails
// with the interpreter's UnicodeEncodeError, as its UTF-8 view would.
PyObject* replace_char(PyObject* str, Py_UCS4 from, Py_UCS4 to) noexcept;

// The length of `str`'s UTF-8 form, from its storage (it has one).
std::size_t utf8_length(PyObject* str) noexcept;

// A copy of `str` as a new object (never `str` itself).
PyObject* copy_str(PyObject* str) noexcept;

// The smallest `str` holding the same characters as `str` (whose storage
// may be wider than its characters need): `str` itself when it is already,
// else a narrower copy. Takes over `str`.
PyObject* narrowest(py::Object str) noexcept;

}  // namespace quernlet
