#include "interrupt.hpp"

namespace quernlet {

int run_sigint_handler() noexcept {
  if (PyErr_CheckSignals() < 0) return -1;
  const py::Object signal = py::Object::steal(PyImport_ImportModule("signal"));
  if (!signal) return -1;
  const py::Object handler =
      py::Object::steal(PyObject_CallMethod(signal.get(), "getsignal", "i", SIGINT));
  if (!handler) return -1;
  // SIG_IGN and SIG_DFL are numbers; None means a handler set outside Python.
  if (!PyCallable_Check(handler.get())) return 0;
  PyObject* const frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());
  const py::Object done = py::Object::steal(
      PyObject_CallFunction(handler.get(), "iO", SIGINT, frame ? frame : Py_None));
  return done ? 0 : -1;
}

}  // namespace quernlet
