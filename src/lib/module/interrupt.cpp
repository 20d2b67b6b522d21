#include "module/interrupt.hpp"

#include <utility>

namespace quernlet {

namespace {

// The calling thread's interrupt state.
struct InterruptState {
  // The exception a handler raised within a match (owned), until the
  // give-up it caused is reported.
  PyObject* kept = nullptr;
  // Inside a batch loop (BatchInterruptScope), and whether the hook has
  // taken a SIGINT there.
  bool in_batch = false;
  bool sigint_noted = false;
  // How many handler runs from inside a match are under way.
  unsigned handlers_within_match = 0;
};

thread_local InterruptState state;

}  // namespace

bool interrupt_hook() noexcept {
  InterruptState& s = state;
  if (s.in_batch) {
    if (!PyOS_InterruptOccurred()) return false;
    s.sigint_noted = true;
    return true;
  }
  ++s.handlers_within_match;
  const int status = PyErr_CheckSignals();
  --s.handlers_within_match;
  if (status == 0) return false;
  // A kept exception is always reported before the next hook can run;
  // one left over anyway is dropped rather than raised by a later call.
  PyObject* const stale = s.kept;
  s.kept = PyErr_GetRaisedException();
  Py_XDECREF(stale);
  return true;
}

bool raise_kept_interrupt() noexcept {
  InterruptState& s = state;
  if (s.kept == nullptr) [[likely]]
    return false;
  take_too_deep();
  PyErr_SetRaisedException(std::exchange(s.kept, nullptr));
  return true;
}

bool handlers_run_within_a_match() noexcept { return state.handlers_within_match != 0; }

void run_signal_handlers() {
  if (raise_kept_interrupt()) throw py::ErrorSet{};
  // A handler may call the module again, so a give-up for lack of stack
  // noted by the interrupted run is kept aside meanwhile: the nested call
  // neither sees it nor takes it. When the run is abandoned, the give-up
  // goes with it and the handler's exception is what the caller sees.
  const bool too_deep = take_too_deep();
  if (PyErr_CheckSignals() < 0) throw py::ErrorSet{};
  if (too_deep) note_too_deep();
}

BatchInterruptScope::BatchInterruptScope() noexcept
    : outer_in_batch_(state.in_batch), outer_noted_(state.sigint_noted) {
  state.in_batch = true;
  state.sigint_noted = false;
}

BatchInterruptScope::~BatchInterruptScope() {
  state.in_batch = outer_in_batch_;
  state.sigint_noted = outer_noted_;
}

bool BatchInterruptScope::sigint_noted() noexcept { return state.sigint_noted; }

bool sigint_arrived() noexcept { return state.sigint_noted || PyOS_InterruptOccurred(); }

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
