// A small RAII layer over CPython references.
//
// `Object` owns one strong reference; it is made with `steal` (take over a
// new reference, as returned by most C-API calls) or `borrow` (add one to a
// borrowed reference). Every raw `PyObject*` that the module owns lives in
// an `Object`, so no early return can leak or double-free it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string_view>
#include <utility>

namespace quernlet::py {

// Thrown where a Python exception is already set and the C++ frames up to
// the interpreter boundary must unwind; `guarded` turns it into a null
// result with the exception kept.
struct ErrorSet {};

class Object {
 public:
  Object() noexcept = default;
  static Object steal(PyObject* p) noexcept { return Object(p); }
  static Object borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Object(p);
  }

  Object(const Object& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Object(Object&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  // Takes the new reference before dropping the old one.
  Object& operator=(Object o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Object() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (typically as a return value).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit Object(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new `str` from UTF-8 bytes; null with an exception set when the bytes
// are not valid UTF-8 or memory runs out.
// Short ASCII texts, the usual token, are copied straight into a new
// compact `str`: the general decoder costs several times the copy there.
// One-character texts keep the interpreter's shared objects.
inline Object str(std::string_view s) noexcept {
  constexpr std::size_t kShort = 64;
  if (s.size() > 1 && s.size() <= kShort) {
    unsigned char any_high = 0;
    for (const char c : s) any_high |= static_cast<unsigned char>(c);
    if (any_high < 0x80) {
      Object o = Object::steal(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
      if (o) std::memcpy(PyUnicode_DATA(o.get()), s.data(), s.size());
      return o;
    }
  }
  return Object::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Pauses the interpreter's cyclic garbage collector while it lives, then
// puts back the setting the caller had, on every path out (errors
// included). Building a large nested result makes many lists at once; the
// collector would otherwise traverse them, young and unable to form a cycle
// yet, again and again whenever the interpreter gets a chance to run it in
// the middle of the call. Needs the interpreter attached.
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

// A new list of a known length whose slots are filled in order. Until
// `finish` the collector does not track it, so code that may run while it
// is filled (signal handlers, finalizers) cannot find it with slots unset;
// dropped unfinished, it releases its filled slots and touches no other.
class ListBuilder {
 public:
  explicit ListBuilder(std::size_t n) noexcept
      : list_(Object::steal(PyList_New(static_cast<Py_ssize_t>(n)))) {
    if (list_) PyObject_GC_UnTrack(list_.get());
  }
  ListBuilder(const ListBuilder&) = delete;
  ListBuilder& operator=(const ListBuilder&) = delete;
  ~ListBuilder() {
    if (list_) Py_SET_SIZE(list_.get(), filled_);
  }

  // False (with an exception set) when the list could not be made.
  explicit operator bool() const noexcept { return static_cast<bool>(list_); }
  // Takes over `item` (a new reference) into the next slot.
  void push(PyObject* item) noexcept { PyList_SET_ITEM(list_.get(), filled_++, item); }
  // The whole list, tracked again; every slot must be filled.
  Object finish() noexcept {
    PyObject_GC_Track(list_.get());
    return std::move(list_);
  }
  // The list of the slots filled so far, which may be fewer than it was
  // made with, tracked again; the storage of the others is given back.
  Object finish_filled() noexcept {
    auto* const list = reinterpret_cast<PyListObject*>(list_.get());
    if (filled_ < list->allocated) {
      Py_SET_SIZE(list, filled_);
      if (filled_ == 0) {
        PyMem_Free(list->ob_item);
        list->ob_item = nullptr;
        list->allocated = 0;
      } else if (void* const fit = PyMem_Realloc(
                     list->ob_item, static_cast<std::size_t>(filled_) * sizeof(PyObject*))) {
        list->ob_item = static_cast<PyObject**>(fit);
        list->allocated = filled_;
      }
    }
    return finish();
  }

 private:
  Object list_;
  Py_ssize_t filled_ = 0;
};

// The UTF-8 form of a `str`, borrowed from the object (valid while it
// lives). Returns false with an exception set when it has none.
inline bool utf8_view(PyObject* s, std::string_view& out) noexcept {
  Py_ssize_t n = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &n);
  if (!data) return false;
  out = std::string_view(data, static_cast<std::size_t>(n));
  return true;
}

}  // namespace quernlet::py
