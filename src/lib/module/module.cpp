// The module entry: multi-phase initialisation of `quernlet`.
//
// `PyInit_quernlet` only hands over the definition; `module_exec` fills each
// new module object with the 26 classes, the eight functions and
// `__version__`, listing every name in `__all__` in the order added. The
// type objects are built once per process and shared by every module object.
#include "module/binding.hpp"
#include "module/interrupt.hpp"
#include "module/slots.hpp"

namespace quernlet {

namespace {

// Adds `value` under `name` and appends `name` to `__all__` (created when
// missing). A failure leaves whatever was added before it in place.
int add_name(PyObject* module, PyObject* name, PyObject* value) noexcept {
  PyObject* raw = nullptr;
  const int found = PyObject_GetOptionalAttrString(module, "__all__", &raw);
  py::Object all = py::Object::steal(raw);
  if (found < 0) return -1;
  if (found == 0) {
    all = py::Object::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    raise_conversion_failure(all.get(), "list");
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int add_classes(PyObject* module) noexcept {
  for (int i = 0; i < kClassCount; ++i) {
    PyTypeObject* type = type_object(static_cast<Cls>(i));
    if (!type) return -1;
    py::Object name = py::str(kClassNames[i]);
    if (!name || add_name(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) return -1;
  }
  return 0;
}

int add_functions(PyObject* module) noexcept {
  for (PyMethodDef& def : module_functions()) {
    py::Object module_name = py::Object::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    py::Object function =
        py::Object::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return -1;
    py::Object name = py::Object::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
      raise_conversion_failure(name.get(), "str");
      return -1;
    }
    if (add_name(module, name.get(), function.get()) < 0) return -1;
  }
  return 0;
}

int add_version(PyObject* module) noexcept {
  py::Object name = py::str("__version__");
  py::Object version = py::str("0.2.0");
  if (!name || !version) return -1;
  return add_name(module, name.get(), version.get());
}

int module_exec(PyObject* module) noexcept {
  if (!module) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return -1;
  }
  if (!PyModule_Check(module)) {
    raise_conversion_failure(module, "module");
    return -1;
  }
  if (add_classes(module) < 0 || add_functions(module) < 0 || add_version(module) < 0) return -1;
  set_interrupt_hook(&interrupt_hook);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quernlet", "quernlet module", 0,       nullptr,
    module_slots,          nullptr,    nullptr,           nullptr,
};

}  // namespace

}  // namespace quernlet

PyMODINIT_FUNC PyInit_quernlet(void) { return PyModuleDef_Init(&quernlet::module_def); }
