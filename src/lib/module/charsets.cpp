// The module functions: seven constant character sets and one_of.
#include <array>
#include <string_view>
#include <vector>

#include "elements/literals.hpp"
#include "elements/structure.hpp"
#include "module/binding.hpp"
#include "module/slots.hpp"

namespace quernlet {

namespace {

constexpr std::string_view kAlphas = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kAlphanums =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view kNums = "0123456789";
constexpr std::string_view kPrintables =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
constexpr std::string_view kHexnums = "0123456789abcdefABCDEF";
constexpr std::string_view kAlphasUpper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view kAlphasLower = "abcdefghijklmnopqrstuvwxyz";
static_assert(kPrintables.size() == 94);

// Each call returns a new `str`.
template <const std::string_view& Chars>
PyObject* charset(PyObject*, PyObject*) noexcept {
  return py::str(Chars).release();
}

// The characters with the Unicode White_Space property: they separate the
// words of one_of (a wider set than the four whitespace bytes of matching).
constexpr bool is_unicode_white_space(std::uint32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

constexpr const char* kOneOfParams[] = {"strs"};
constexpr ArgSpec kOneOfSpec{nullptr, "one_of", kOneOfParams, 1, 1};

PyObject* one_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* bound[1];
  if (kwnames != nullptr || nargs != 1) {
    if (!bind_vectorcall(kOneOfSpec, args, nargs, kwnames, bound)) return nullptr;
    args = bound;
  }
  std::string_view text;
  if (!text_arg("strs", args[0], text)) return nullptr;
  return guarded([&]() -> PyObject* {
    // Words are maximal runs without white space, kept in order, duplicates
    // included: an earlier word that is a prefix of a later one wins.
    std::vector<ElementHandle> words;
    std::size_t start = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
      unsigned len = 0;
      const std::uint32_t c = decode_utf8(text, pos, len);
      if (is_unicode_white_space(c)) {
        if (pos > start)
          words.push_back(Ref<LiteralElement>::make(text.substr(start, pos - start)));
        start = pos + len;
      }
      pos += len;
    }
    if (pos > start) words.push_back(Ref<LiteralElement>::make(text.substr(start, pos - start)));
    if (words.empty()) return raise_value_error("one_of requires at least one string");
    return wrap_element(Cls::MatchFirst, Ref<MatchFirstElement>::make(std::move(words)));
  });
}

template <class F>
PyCFunction as_cfunction(F f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Records for PyCMethod_New, which keeps pointing at them. No METH_STATIC:
// with it the interpreter hides the module and `__self__` reads None.
std::array<PyMethodDef, 8> functions = {{
    {"alphas", as_cfunction(&charset<kAlphas>), METH_NOARGS, "alphas()\n--\n\n"},
    {"alphanums", as_cfunction(&charset<kAlphanums>), METH_NOARGS, "alphanums()\n--\n\n"},
    {"nums", as_cfunction(&charset<kNums>), METH_NOARGS, "nums()\n--\n\n"},
    {"printables", as_cfunction(&charset<kPrintables>), METH_NOARGS, "printables()\n--\n\n"},
    {"hexnums", as_cfunction(&charset<kHexnums>), METH_NOARGS, "hexnums()\n--\n\n"},
    {"alphas_upper", as_cfunction(&charset<kAlphasUpper>), METH_NOARGS, "alphas_upper()\n--\n\n"},
    {"alphas_lower", as_cfunction(&charset<kAlphasLower>), METH_NOARGS, "alphas_lower()\n--\n\n"},
    {"one_of", as_cfunction(&one_of), METH_FASTCALL | METH_KEYWORDS,
     "one_of(strs)\n--\n\nCreate a MatchFirst from a space-separated string of literal "
     "alternatives,\nfor example one_of(\"+ - * /\")."},
}};

}  // namespace

std::span<PyMethodDef> module_functions() noexcept { return functions; }

}  // namespace quernlet
