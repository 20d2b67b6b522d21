#include "module/interrupt.hpp"

#include <algorithm>
#include <climits>
#include <utility>

#include "elements/sanitizers.hpp"

namespace quernlet {

void secure_readers() noexcept;

namespace {

// The calling thread's interrupt state.
struct State {
  // The exception a handler raised within a match (owned), until the
  // give-up it caused is reported.
  PyObject* kept = nullptr;
  // How many handler runs from inside a match are under way.
  unsigned handlers_within_match = 0;
};
constinit thread_local State state [[gnu::tls_model("initial-exec")]];

// Bytes of stack per unit of the interpreter's count of C recursion, for
// the deepest C recursions a handler is likely to run. Measured on 3.13
// (the stack a 256 KiB thread holds, over the levels it holds before it
// overflows): the `repr` of nested lists took 148 bytes per unit, of nested
// dicts 214, `json.dumps` 163, `pickle.dumps` 90, list comparison 180, and
// a `__repr__` that recurses through Python and C slots alternately 147.
// The figure is half as much again as the largest; the interpreter itself
// is not instrumented in sanitized builds, but the hook's own frames are,
// so it is scaled as they are.
constexpr std::size_t kBytesPerLevel = 320 * stack_guard::kFrameScale;

// Caps the calling thread's count of C recursion, while it lives, at what
// `room` bytes of stack hold, and then gives back what it took: every level
// a handler enters it leaves again, so the count comes back as it was.
class RecursionCap {
 public:
  explicit RecursionCap(std::size_t room) noexcept : thread_(PyThreadState_Get()) {
    const int levels = static_cast<int>(std::min<std::size_t>(room / kBytesPerLevel, INT_MAX));
    if (levels < thread_->c_recursion_remaining) {
      cut_ = thread_->c_recursion_remaining - levels;
      thread_->c_recursion_remaining = levels;
    }
  }
  ~RecursionCap() { thread_->c_recursion_remaining += cut_; }
  RecursionCap(const RecursionCap&) = delete;
  RecursionCap& operator=(const RecursionCap&) = delete;

 private:
  PyThreadState* const thread_;
  int cut_ = 0;
};

// The thread's innermost reader in place.
constinit thread_local ReadInPlace* readers [[gnu::tls_model("initial-exec")]] = nullptr;

// Whether the interpreter has anything for the thread to attend to: the
// low bits of the thread state's eval breaker flag pending signals, a
// collection that is due, and the like (only the version of the
// instrumentation lives in the bits above). Without one, checking the
// signals would run no code.
bool events_pending() noexcept {
  constexpr std::uintptr_t kEventBits = 0xff;
  return (__atomic_load_n(&PyThreadState_Get()->eval_breaker, __ATOMIC_RELAXED) & kEventBits) != 0;
}

// Runs the pending handlers (and the collector, when it is due) with the
// C recursion they may use capped to the stack below the caller, once the
// readers in place have secured what they read.
int check_signals() noexcept {
  if (!events_pending()) [[likely]]
    return 0;
  secure_readers();
  const RecursionCap cap(hook_stack_left());
  return PyErr_CheckSignals();
}

}  // namespace

ReadInPlace::ReadInPlace() noexcept : outer_(std::exchange(readers, this)) {}

ReadInPlace::~ReadInPlace() { readers = outer_; }

void secure_readers() noexcept {
  for (ReadInPlace* r = readers; r != nullptr; r = r->outer_) r->secure();
}

bool interrupt_hook() noexcept {
  State& s = state;
  ++s.handlers_within_match;
  const int status = check_signals();
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
  State& s = state;
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
  if (check_signals() < 0) throw py::ErrorSet{};
  if (too_deep) note_too_deep();
}

}  // namespace quernlet
