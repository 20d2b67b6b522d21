// The grammar operators: `+` builds an And, `|` a MatchFirst, `<<=` and
// Forward.set fill a Forward.
//
// `+` and `|` splice one level: an And operand of `+` (a MatchFirst operand
// of `|`) contributes its children instead of itself, so chains of `+` or
// `|` build one flat node. Children are shared with the operands, never
// copied, and neither operand changes. A left operand that is not of the
// slot's class gets NotImplemented (the interpreter then reports its own
// TypeError); a right operand that is no element gets ValueError, with no
// fall-back to the right operand's reflected operation.
#include <vector>

#include "elements/forward.hpp"
#include "elements/structure.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/interrupt.hpp"
#include "module/slots.hpp"

namespace quernlet {

namespace {

// Appends the children of `obj` when it is of the result's class `C`,
// else `obj` itself as one child. False when it is no element.
template <Cls C, class Kind>
bool append_operand(std::vector<ElementHandle>& children, PyObject* obj) {
  if (is_instance(obj, C)) {
    const auto& exprs = payload_of<Kind>(obj).exprs();
    children.insert(children.end(), exprs.begin(), exprs.end());
    return true;
  }
  ElementHandle handle;
  if (!element_from_py(obj, handle)) return false;
  children.push_back(std::move(handle));
  return true;
}

// Builds `self {op} other` for an operator whose result class is `C`.
// `self` is already known to be an element object.
template <Cls C, class Kind>
PyObject* combine(PyObject* self, PyObject* other, std::string_view failure) noexcept {
  return guarded([&]() -> PyObject* {
    std::vector<ElementHandle> children;
    if (is_instance(self, C)) {
      // And's own `+` and MatchFirst's own `|`: start from the children.
      const auto& exprs = payload_of<Kind>(self).exprs();
      children.reserve(exprs.size() + 1);
      children.assign(exprs.begin(), exprs.end());
    } else {
      children.reserve(2);
      children.push_back(handle_of(self));
    }
    if (!append_operand<C, Kind>(children, other)) return raise_value_error(failure);
    return wrap_element(C, Ref<Kind>::make(std::move(children)));
  });
}

template <Cls Self>
PyObject* add_slot(PyObject* self, PyObject* other) noexcept {
  if (!is_instance(self, Self)) Py_RETURN_NOTIMPLEMENTED;
  return combine<Cls::And, AndElement>(self, other, "Unsupported operand type for +");
}

template <Cls Self>
PyObject* or_slot(PyObject* self, PyObject* other) noexcept {
  if (!is_instance(self, Self)) Py_RETURN_NOTIMPLEMENTED;
  return combine<Cls::MatchFirst, MatchFirstElement>(self, other, "Unsupported operand type for |");
}

constexpr auto kAddSlots = for_each_class([]<Cls C>() -> binaryfunc { return &add_slot<C>; });
// And has no `|`: `(a + b) | c` is the interpreter's TypeError.
constexpr auto kOrSlots =
    for_each_class([]<Cls C>() -> binaryfunc { return C == Cls::And ? nullptr : &or_slot<C>; });

// Replaces the Forward's inner element with `expr`'s. False with ValueError
// when `expr` is no element, or with RuntimeError from a signal handler that
// runs inside a match on this thread (which may hold this Forward's read
// lock, so the write would wait forever); the Forward then keeps its inner
// element. A wait for readers lets other threads run: one of them may be
// inside a match that runs a handler, and needs the interpreter back to
// finish. Without readers nothing waits and the interpreter is kept.
bool set_forward(PyObject* self, PyObject* expr) noexcept {
  ElementHandle inner;
  if (!element_from_py(expr, inner)) {
    raise_value_error(kUnsupportedElement);
    return false;
  }
  if (handlers_run_within_a_match()) [[unlikely]] {
    PyErr_SetString(PyExc_RuntimeError,
                    "Forward.set cannot run in a signal handler that interrupted a parse");
    return false;
  }
  const ForwardElement& forward = payload_of<ForwardElement>(self);
  if (forward.try_set(inner)) return true;
  Py_BEGIN_ALLOW_THREADS;
  forward.set(std::move(inner));
  Py_END_ALLOW_THREADS;
  return true;
}

constexpr const char* kSetParams[] = {"expr"};
constexpr ArgSpec kSetSpec{"Forward", "set", kSetParams, 1, 1};

}  // namespace

binaryfunc add_slot_of(Cls c) noexcept { return kAddSlots[index_of(c)]; }

binaryfunc or_slot_of(Cls c) noexcept { return kOrSlots[index_of(c)]; }

PyObject* forward_ilshift(PyObject* self, PyObject* other) noexcept {
  if (!is_instance(self, Cls::Forward)) Py_RETURN_NOTIMPLEMENTED;
  if (!set_forward(self, other)) return nullptr;
  return Py_NewRef(self);
}

PyObject* forward_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  PyObject* bound[1];
  if (kwnames != nullptr || nargs != 1) {
    if (!bind_vectorcall(kSetSpec, args, nargs, kwnames, bound)) return nullptr;
    args = bound;
  }
  if (!is_instance(self, Cls::Forward)) return raise_conversion_failure(self, "Forward");
  if (!set_forward(self, args[0])) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace quernlet
