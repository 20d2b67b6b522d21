// Conversion of Python objects into elements.
#pragma once

#include "module/objects.hpp"

namespace quernlet {

// The element of an object of one of the 26 classes, shared (one new
// reference to the object's payload), never copied. Any other object gives
// false and raises nothing: callers choose the text of the ValueError
// (`kUnsupportedElement` for constructors and Forward.set).
bool element_from_py(PyObject* obj, ElementHandle& out) noexcept;

inline constexpr std::string_view kUnsupportedElement = "Unsupported parser element type";

}  // namespace quernlet
