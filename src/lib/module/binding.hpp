// Argument binding and conversion: the parts of the method-call skeleton
// that every method, constructor, operator slot and module function shares.
//
// Every failure here raises the Python exception that callers see, with the
// exact texts users may match on:
//   "{fn} got an unexpected keyword argument '{name}'"
//   "{fn} got multiple values for argument '{name}'"
//   "{fn} takes {n} positional arguments but {m} was|were given"
//   "{fn} takes from {a} to {b} positional arguments but {m} was|were given"
//   "{fn} missing {n} required positional argument|arguments: {names}"
//   "'{type}' object is not an instance of '{target}'"
//   "argument '{name}': {message}"
// with {fn} "{Class}.{function}()" or, for a module function, "{function}()".
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <new>
#include <string_view>

#include "module/objects.hpp"

namespace quernlet {

inline constexpr std::array<const char*, kClassCount> kClassNames = {
    "Literal",         "Keyword",      "Word",         "Regex",     "And",
    "MatchFirst",      "ZeroOrMore",   "OneOrMore",    "Optional",  "Group",
    "Suppress",        "Forward",      "Combine",      "Exactly",   "CaselessLiteral",
    "CaselessKeyword", "Char",         "StringStart",  "StringEnd", "LineStart",
    "LineEnd",         "rest_of_line", "QuotedString", "Empty",     "NoMatch",
    "SkipTo",
};

constexpr int index_of(Cls c) noexcept { return static_cast<int>(c); }

// ---------------------------------------------------------------------------
// Type cells and the per-class type check.

namespace detail {
// One cell per class: null until the class's type object is built, then
// that type object for the rest of the process.
extern std::array<std::atomic<PyTypeObject*>, kClassCount> type_cells;
}  // namespace detail

// True when `obj` is an object of class `c`. The classes cannot be
// subclassed, so the exact type decides.
inline bool is_instance(PyObject* obj, Cls c) noexcept {
  return Py_TYPE(obj) == detail::type_cells[index_of(c)].load(std::memory_order_acquire);
}

// The shared payload of an object already known to be an element object.
inline const ElementHandle& handle_of(PyObject* obj) noexcept {
  return reinterpret_cast<ElementObject*>(obj)->payload;
}

// ---------------------------------------------------------------------------
// Argument binding.

// The parameters of one callable. Every parameter is positional-or-keyword;
// the first `required` have no default.
struct ArgSpec {
  const char* cls;  // class name, or null for a module function
  const char* func;
  const char* const* params;
  std::uint8_t count;
  std::uint8_t required;
};

// The most parameters any callable of the module takes.
inline constexpr int kMaxParams = 4;

// Binds a vectorcall (`args[0..nargs)` positional, then one value per name
// of `kwnames`) into `out[0..spec.count)`: borrowed references, null for an
// omitted optional parameter. False with TypeError set on a binding fault.
bool bind_vectorcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept;

// The same for a call given as a tuple and a keyword dictionary (tp_new).
bool bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                     PyObject** out) noexcept;

// ---------------------------------------------------------------------------
// Conversion failures.

// Raises TypeError "'{type}' object is not an instance of '{target}'"
// ("'None' is not an instance of '{target}'" for None). Returns null.
PyObject* raise_conversion_failure(PyObject* obj, const char* target) noexcept;

// The same, prefixed with "argument '{arg}': ". Returns null.
PyObject* raise_argument_type(const char* arg, PyObject* obj, const char* target) noexcept;

// Replaces a pending exception of type exactly TypeError with a new
// TypeError "argument '{arg}': {message}" that keeps its cause; any other
// pending exception stays as it is.
void wrap_argument_error(const char* arg) noexcept;

// A `str` argument as its UTF-8 bytes, borrowed from the object. False with
// an exception set when it is not a `str` (TypeError naming `arg`) or has no
// UTF-8 form (the interpreter's UnicodeEncodeError, unchanged).
inline bool text_arg(const char* arg, PyObject* obj, std::string_view& out) noexcept {
  if (!PyUnicode_Check(obj)) [[unlikely]] {
    raise_argument_type(arg, obj, "str");
    return false;
  }
  return py::utf8_view(obj, out);
}

// A `list` (or subclass) argument. False with TypeError naming `arg`.
inline bool list_arg(const char* arg, PyObject* obj) noexcept {
  if (!PyList_Check(obj)) [[unlikely]] {
    raise_argument_type(arg, obj, "list");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The boundary between C++ and the interpreter.

// Runs `f` (which returns a new reference or null with an exception set) so
// that no C++ exception reaches the interpreter: py::ErrorSet keeps the
// exception already set, allocation failure becomes MemoryError, anything
// else SystemError.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const py::ErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quernlet: unexpected internal error");
    return nullptr;
  }
}

// Allocates an object of `type` (an element class using the plain layout)
// holding `payload`. Null with an exception set when allocation fails; the
// payload is then released.
PyObject* new_element_object(PyTypeObject* type, ElementHandle payload) noexcept;

// The same for the Literal and Keyword layouts.
PyObject* new_literal_object(PyTypeObject* type, ElementHandle payload, py::Object s_obj,
                             std::string message) noexcept;
PyObject* new_keyword_object(PyTypeObject* type, ElementHandle payload, py::Object s_obj) noexcept;

}  // namespace quernlet
