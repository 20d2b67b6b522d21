#include "module/binding.hpp"

#include <string>

namespace quernlet {

namespace {

std::string function_name(const ArgSpec& spec) {
  std::string fn;
  if (spec.cls) {
    fn += spec.cls;
    fn += '.';
  }
  fn += spec.func;
  fn += "()";
  return fn;
}

// Error texts are built only on the failure path; an allocation failure
// while building one still leaves an exception set.
template <class F>
bool binding_fault(F&& raise) noexcept {
  try {
    raise();
  } catch (...) {
    PyErr_NoMemory();
  }
  return false;
}

bool too_many_positional(const ArgSpec& spec, Py_ssize_t given) noexcept {
  return binding_fault([&] {
    const std::string fn = function_name(spec);
    const char* verb = given == 1 ? "was" : "were";
    if (spec.required == spec.count) {
      PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", fn.c_str(),
                   int{spec.count}, given, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                   fn.c_str(), int{spec.required}, int{spec.count}, given, verb);
    }
  });
}

// Puts one keyword argument in its parameter's slot.
bool bind_keyword(const ArgSpec& spec, PyObject* name, PyObject* value, PyObject** out) noexcept {
  if (PyUnicode_Check(name)) {
    for (int i = 0; i < spec.count; ++i) {
      if (!PyUnicode_EqualToUTF8(name, spec.params[i])) continue;
      if (out[i]) {
        return binding_fault([&] {
          PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                       function_name(spec).c_str(), spec.params[i]);
        });
      }
      out[i] = value;
      return true;
    }
  }
  return binding_fault([&] {
    PyErr_Format(PyExc_TypeError,
                 PyUnicode_Check(name) ? "%s got an unexpected keyword argument '%U'"
                                       : "%s got an unexpected keyword argument '%S'",
                 function_name(spec).c_str(), name);
  });
}

// Fails with the list of required parameters that got no value.
bool check_required(const ArgSpec& spec, PyObject** out) noexcept {
  int missing[kMaxParams];
  int n = 0;
  for (int i = 0; i < spec.required; ++i)
    if (!out[i]) missing[n++] = i;
  if (n == 0) return true;
  return binding_fault([&] {
    std::string names;
    for (int k = 0; k < n; ++k) {
      if (k > 0) names += n == 2 ? " and " : (k == n - 1 ? ", and " : ", ");
      names += '\'';
      names += spec.params[missing[k]];
      names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s",
                 function_name(spec).c_str(), n, n == 1 ? "argument" : "arguments", names.c_str());
  });
}

}  // namespace

bool bind_vectorcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept {
  if (nargs > spec.count) return too_many_positional(spec, nargs);
  for (int i = 0; i < spec.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (!bind_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_required(spec, out);
}

bool bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                     PyObject** out) noexcept {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > spec.count) return too_many_positional(spec, nargs);
  for (int i = 0; i < spec.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    // A dictionary keeps insertion order, which is the call's keyword order.
    while (PyDict_Next(kwargs, &pos, &name, &value))
      if (!bind_keyword(spec, name, value, out)) return false;
  }
  return check_required(spec, out);
}

namespace {

// Raises "{prefix}'{type}' object is not an instance of '{target}'".
PyObject* raise_not_instance(const char* prefix, PyObject* obj, const char* target) noexcept {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "%s'None' is not an instance of '%s'", prefix, target);
    return nullptr;
  }
  py::Object qualname = py::Object::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "%s'<failed to extract type name>' object is not an instance of '%s'", prefix,
                 target);
    return nullptr;
  }
  PyErr_Format(PyExc_TypeError, "%s'%U' object is not an instance of '%s'", prefix, qualname.get(),
               target);
  return nullptr;
}

}  // namespace

PyObject* raise_conversion_failure(PyObject* obj, const char* target) noexcept {
  return raise_not_instance("", obj, target);
}

PyObject* raise_argument_type(const char* arg, PyObject* obj, const char* target) noexcept {
  std::string prefix;
  try {
    prefix = std::string("argument '") + arg + "': ";
  } catch (...) {
    return PyErr_NoMemory();
  }
  return raise_not_instance(prefix.c_str(), obj, target);
}

void wrap_argument_error(const char* arg) noexcept {
  py::Object exc = py::Object::steal(PyErr_GetRaisedException());
  if (!exc) return;
  if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  py::Object message = py::Object::steal(PyObject_Str(exc.get()));
  if (!message) return;
  py::Object text =
      py::Object::steal(PyUnicode_FromFormat("argument '%s': %U", arg, message.get()));
  if (!text) return;
  py::Object wrapped = py::Object::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!wrapped) return;
  // SetCause takes over the reference that GetCause returns (null clears).
  PyException_SetCause(wrapped.get(), PyException_GetCause(exc.get()));
  PyErr_SetRaisedException(wrapped.release());
}

}  // namespace quernlet
