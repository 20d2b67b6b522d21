// The constructors, operator slots and module functions that the type
// builder (module/objects.cpp) and the module (module/module.cpp) install.
#pragma once

#include <span>

#include "module/objects.hpp"

namespace quernlet {

// The class's `tp_new`; null for And, which has no constructor.
newfunc constructor_of(Cls c) noexcept;

// `__add__` of the class (every class).
binaryfunc add_slot_of(Cls c) noexcept;
// `__or__` of the class; null for And.
binaryfunc or_slot_of(Cls c) noexcept;
// Forward's `__ilshift__`.
PyObject* forward_ilshift(PyObject* self, PyObject* other) noexcept;
// Forward.set (METH_FASTCALL | METH_KEYWORDS).
PyObject* forward_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
inline constexpr const char* kForwardSetDoc =
    "set($self, expr)\n--\n\nSet the inner parser expression (the same as <<=).";

// The eight module functions, in the order the module adds them.
std::span<PyMethodDef> module_functions() noexcept;

}  // namespace quernlet
