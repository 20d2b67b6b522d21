#include "module/interrupt.hpp"

#include <utility>

#include "elements/sanitizers.hpp"

namespace quernlet {

namespace interrupt_detail {
constinit thread_local State state [[gnu::tls_model("initial-exec")]];
}  // namespace interrupt_detail

namespace {

using interrupt_detail::state;

// How much stack a run may have used since its operation was entered for
// the hook to run handlers there. The interpreter sizes its own recursion
// for the thread's whole stack: a handler at the call site of a method may
// recurse to the interpreter's limit, some 10 000 levels of C calls, which
// took 1 to 2 MiB of the 8 MiB a thread usually has when measured (the
// `repr` of a list nested 9 500 deep). Against that a handler run within
// this bound has as good as the stack it would have had at the call site.
// The bound holds some 100 levels of a recursive grammar (about 1.1 KiB of
// stack per level of `F <<= Group('(' + Optional(F) + ')') | Word('a')`),
// so the handlers of most grammars still run in the middle of a match;
// scaled, as the engine's frames are, in sanitized builds.
constexpr std::size_t kHandlerDepth = (128u << 10) * stack_guard::kFrameScale;

// The stack the hook wants above the engine's floor before it runs
// handlers, however near the call's frame: on a small thread stack a
// handler would otherwise run where not even the engine may go on.
constexpr std::size_t kHookRoom = (128u << 10) * stack_guard::kFrameScale;

// Whether handlers may run at the hook's frame.
bool handlers_fit() noexcept {
  const std::uintptr_t entry = state.entry_sp;
  if (entry == 0) return false;
  const std::uintptr_t sp = stack_guard::stack_pointer();
  return sp <= entry && entry - sp <= kHandlerDepth && stack_left() >= kHookRoom;
}

// Whether SIGINT is pending; it stays pending. The interpreter only offers
// to take it (clearing it), so it is put back at once: the handlers then run
// when and in the order the interpreter runs them, and a handler of another
// signal that raises first leaves SIGINT's pending.
bool take_sigint() noexcept {
  if (!PyOS_InterruptOccurred()) return false;
  PyErr_SetInterruptEx(SIGINT);
  return true;
}

}  // namespace

bool interrupt_hook() noexcept {
  interrupt_detail::State& s = state;
  if (!handlers_fit()) {
    if (!take_sigint()) return false;
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
  interrupt_detail::State& s = state;
  if (s.kept == nullptr) [[likely]]
    return false;
  take_too_deep();
  PyErr_SetRaisedException(std::exchange(s.kept, nullptr));
  return true;
}

bool handlers_run_within_a_match() noexcept { return state.handlers_within_match != 0; }

void run_signal_handlers() {
  if (raise_kept_interrupt()) throw py::ErrorSet{};
  if (state.sigint_noted) throw SigintPending{};
  // A handler may call the module again, so a give-up for lack of stack
  // noted by the interrupted run is kept aside meanwhile: the nested call
  // neither sees it nor takes it. When the run is abandoned, the give-up
  // goes with it and the handler's exception is what the caller sees.
  const bool too_deep = take_too_deep();
  if (PyErr_CheckSignals() < 0) throw py::ErrorSet{};
  if (too_deep) note_too_deep();
}

bool sigint_arrived() noexcept { return state.sigint_noted || take_sigint(); }

bool handle_sigint_for_restart() noexcept {
  PyErr_Clear();
  take_too_deep();
  return PyErr_CheckSignals() == 0;
}

}  // namespace quernlet
