// The constructors of the 25 classes that have one (`tp_new`).
//
// Each binds its arguments, converts them in a fixed order (the first
// failure is raised and nothing is built), builds the payload and moves it
// into a new object of the type the interpreter passed.
#include <cstdint>
#include <string>
#include <vector>

#include <initializer_list>

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/kinds.hpp"
#include "module/slots.hpp"

namespace quernlet {

namespace {

constexpr const char* kTextParam[] = {"s"};
constexpr const char* kWordParams[] = {"init_chars", "body_chars"};
constexpr const char* kRegexParams[] = {"pattern"};
constexpr const char* kQuotedParams[] = {"quote_char", "esc_char", "multiline", "unquote"};
constexpr const char* kListParam[] = {"exprs"};
constexpr const char* kExactlyParams[] = {"expr", "count"};
constexpr const char* kExprParam[] = {"expr"};

template <Cls C, std::size_t N>
constexpr ArgSpec new_spec(const char* const (&params)[N], std::uint8_t required) {
  return {kClassNames[index_of(C)], "__new__", params, static_cast<std::uint8_t>(N), required};
}

template <Cls C>
constexpr ArgSpec no_arg_spec() {
  return {kClassNames[index_of(C)], "__new__", nullptr, 0, 0};
}

// Whether `type` is numpy's boolean scalar type (named `bool_` or `bool`,
// defined in module `numpy`). Looked up by name so numpy need not be
// loaded, or even installed.
bool is_numpy_bool_type(PyTypeObject* type) noexcept {
  py::Object name = py::Object::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_EqualToUTF8(name.get(), "bool_") && !PyUnicode_EqualToUTF8(name.get(), "bool"))
    return false;
  py::Object module = py::Object::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy");
}

// A flag argument: a `bool`, or numpy's boolean through its truth slot.
// 1 or 0, or -1 with an exception set.
int flag_arg(const char* arg, PyObject* obj) noexcept {
  if (obj == Py_True) return 1;
  if (obj == Py_False) return 0;
  PyTypeObject* type = Py_TYPE(obj);
  if (!is_numpy_bool_type(type)) {
    raise_argument_type(arg, obj, "bool");
    return -1;
  }
  const PyNumberMethods* number = type->tp_as_number;
  if (!number || !number->nb_bool) {
    PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                 type->tp_name);
    wrap_argument_error(arg);
    return -1;
  }
  const int truth = number->nb_bool(obj);
  if (truth < 0) wrap_argument_error(arg);
  return truth;
}

// The `count` argument: an unsigned 64-bit integer, through the index
// protocol for objects that are no `int`. Out of range is the interpreter's
// OverflowError, unwrapped.
bool count_arg(PyObject* obj, std::uint64_t& out) noexcept {
  py::Object index;
  if (!PyLong_Check(obj)) {
    index = py::Object::steal(PyNumber_Index(obj));
    if (!index) {
      wrap_argument_error("count");
      return false;
    }
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    wrap_argument_error("count");
    return false;
  }
  out = value;
  return true;
}

// An element argument, shared; ValueError for anything else.
bool expr_arg(PyObject* obj, ElementHandle& out) noexcept {
  if (element_from_py(obj, out)) return true;
  raise_value_error(kUnsupportedElement);
  return false;
}

// An optional text argument: omitted or None gives no text (null).
bool optional_text_arg(const char* arg, PyObject* obj, std::string_view& storage,
                       const std::string_view*& out) noexcept {
  out = nullptr;
  if (!obj || obj == Py_None) return true;
  if (!text_arg(arg, obj, storage)) return false;
  out = &storage;
  return true;
}

// ---------------------------------------------------------------------------

// Literal, Keyword, CaselessLiteral, CaselessKeyword and Char: one text.
template <Cls C>
PyObject* new_text_kind(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr ArgSpec spec = new_spec<C>(kTextParam, 1);
  PyObject* a[1];
  if (!bind_tuple_dict(spec, args, kwargs, a)) return nullptr;
  std::string_view s;
  if (!text_arg("s", a[0], s)) return nullptr;
  return guarded([&]() -> PyObject* {
    ElementHandle payload = Ref<KindOf<C>>::make(s);
    if constexpr (C == Cls::Literal || C == Cls::Keyword) {
      // The text as a ready-made `str`, handed out as every match's token.
      py::Object s_obj = py::str(s);
      if (!s_obj) return nullptr;
      if constexpr (C == Cls::Keyword)
        return new_keyword_object(type, std::move(payload), std::move(s_obj));
      return new_literal_object(type, std::move(payload), std::move(s_obj),
                                "Expected '" + std::string(s) + "'");
    } else {
      return new_element_object(type, std::move(payload));
    }
  });
}

PyObject* new_word(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr ArgSpec spec = new_spec<Cls::Word>(kWordParams, 1);
  PyObject* a[2];
  if (!bind_tuple_dict(spec, args, kwargs, a)) return nullptr;
  std::string_view init_chars, body_storage;
  const std::string_view* body_chars;
  if (!text_arg("init_chars", a[0], init_chars) ||
      !optional_text_arg("body_chars", a[1], body_storage, body_chars))
    return nullptr;
  return guarded(
      [&] { return new_element_object(type, Ref<WordElement>::make(init_chars, body_chars)); });
}

PyObject* new_regex(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr ArgSpec spec = new_spec<Cls::Regex>(kRegexParams, 1);
  PyObject* a[1];
  if (!bind_tuple_dict(spec, args, kwargs, a)) return nullptr;
  std::string_view pattern;
  if (!text_arg("pattern", a[0], pattern)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::string error;
    Ref<RegexElement> payload = RegexElement::compile(pattern, error);
    if (!payload) return raise_value_error(error);
    return new_element_object(type, std::move(payload));
  });
}

PyObject* new_quoted_string(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr ArgSpec spec = new_spec<Cls::QuotedString>(kQuotedParams, 0);
  PyObject* a[4];
  if (!bind_tuple_dict(spec, args, kwargs, a)) return nullptr;
  std::string_view quote_char = "\"";
  if (a[0] && !text_arg("quote_char", a[0], quote_char)) return nullptr;
  std::string_view esc_storage;
  const std::string_view* esc_char;
  if (!optional_text_arg("esc_char", a[1], esc_storage, esc_char)) return nullptr;
  const int multiline = a[2] ? flag_arg("multiline", a[2]) : 0;
  if (multiline < 0) return nullptr;
  const int unquote = a[3] ? flag_arg("unquote", a[3]) : 1;
  if (unquote < 0) return nullptr;
  return guarded([&] {
    return new_element_object(
        type, Ref<QuotedStringElement>::make(quote_char, esc_char, multiline != 0, unquote != 0));
  });
}

PyObject* new_match_first(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr ArgSpec spec = new_spec<Cls::MatchFirst>(kListParam, 1);
  PyObject* a[1];
  if (!bind_tuple_dict(spec, args, kwargs, a)) return nullptr;
  PyObject* list = a[0];
  if (!list_arg("exprs", list)) return nullptr;
  return guarded([&]() -> PyObject* {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    std::vector<ElementHandle> exprs;
    exprs.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      // A new reference: the list may be changed by another thread meanwhile.
      py::Object item = py::Object::steal(PyList_GetItemRef(list, i));
      if (!item) return nullptr;
      ElementHandle handle;
      if (!element_from_py(item.get(), handle))
        return raise_value_error("Unsupported expression type at index " + std::to_string(i));
      exprs.push_back(std::move(handle));
    }
    return new_element_object(type, Ref<MatchFirstElement>::make(std::move(exprs)));
  });
}

PyObject* new_exactly(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr ArgSpec spec = new_spec<Cls::Exactly>(kExactlyParams, 2);
  PyObject* a[2];
  if (!bind_tuple_dict(spec, args, kwargs, a)) return nullptr;
  // The count is converted first, so a call with both wrong reports it.
  std::uint64_t count;
  if (!count_arg(a[1], count)) return nullptr;
  ElementHandle expr;
  if (!expr_arg(a[0], expr)) return nullptr;
  return guarded(
      [&] { return new_element_object(type, Ref<ExactlyElement>::make(std::move(expr), count)); });
}

// Optional, ZeroOrMore, OneOrMore, Group, Suppress, Combine and SkipTo.
template <Cls C>
PyObject* new_wrapper(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr ArgSpec spec = new_spec<C>(kExprParam, 1);
  PyObject* a[1];
  if (!bind_tuple_dict(spec, args, kwargs, a)) return nullptr;
  ElementHandle expr;
  if (!expr_arg(a[0], expr)) return nullptr;
  return guarded([&] { return new_element_object(type, Ref<KindOf<C>>::make(std::move(expr))); });
}

// Forward, rest_of_line and the position kinds: no argument. Every call
// builds a payload of its own.
template <Cls C>
PyObject* new_no_arg(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static constexpr ArgSpec spec = no_arg_spec<C>();
  if (!bind_tuple_dict(spec, args, kwargs, nullptr)) return nullptr;
  return guarded([&] { return new_element_object(type, Ref<KindOf<C>>::make()); });
}

template <Cls C>
constexpr newfunc constructor_for() {
  constexpr auto any_of = [](std::initializer_list<Cls> cs) {
    for (Cls c : cs)
      if (c == C) return true;
    return false;
  };
  using enum Cls;
  if constexpr (C == And)
    return nullptr;  // made only by `+`
  else if constexpr (C == Word)
    return &new_word;
  else if constexpr (C == Regex)
    return &new_regex;
  else if constexpr (C == QuotedString)
    return &new_quoted_string;
  else if constexpr (C == MatchFirst)
    return &new_match_first;
  else if constexpr (C == Exactly)
    return &new_exactly;
  else if constexpr (any_of({Literal, Keyword, CaselessLiteral, CaselessKeyword, Char}))
    return &new_text_kind<C>;
  else if constexpr (any_of({Optional, ZeroOrMore, OneOrMore, Group, Suppress, Combine, SkipTo}))
    return &new_wrapper<C>;
  else
    return &new_no_arg<C>;
}

constexpr auto kConstructors = for_each_class([]<Cls C>() { return constructor_for<C>(); });

}  // namespace

newfunc constructor_of(Cls c) noexcept { return kConstructors[index_of(c)]; }

}  // namespace quernlet
