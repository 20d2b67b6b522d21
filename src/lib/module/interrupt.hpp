// Letting long calls answer signals (Ctrl-C above all).
//
// A loop that may run long polls once per kPeriod units of work: match
// attempts, or positions of a scan (`stride_end`), or evaluated items of a
// batch. A poll runs the interpreter's pending signal handlers; when one
// raises (KeyboardInterrupt for Ctrl-C, or whatever a handler of the
// program's own raises), the poll throws py::ErrorSet, the frames up to
// `guarded` unwind and release what they hold, and the call returns null
// with that exception.
//
// The period bounds how long a signal waits: kPeriod attempts. An attempt
// may itself scan to the end of the text (a sequence whose first child runs
// to the end and whose second then fails), about 0.6 ns per byte, so at
// 1024 a 200 000-character text answers within about 0.1 s, while a check
// (a few nanoseconds) every 1024 attempts costs nothing measurable even on
// the cheapest tests. Pure byte scans (memchr-style, byte tables) do not
// tick: they cover a whole text in milliseconds.
//
// A tick that runs handlers runs Python code, and with it the collector and
// other threads. The scans over one text hold nothing Python code could
// take from them (the text and the grammar belong to the caller), so they
// use InterruptPoll. The batch loops read a list's items as borrowed
// references and cache them by identity, which Python code could free or
// change, so they use SigintPoll, which only notices Ctrl-C and leaves the
// handler to run once the loop has let go of the list; other signals wait
// until the call returns.
//
// A single attempt may itself run long (a grammar that backtracks without
// end, one long repetition), so the engine also asks `interrupt_hook` every
// few thousand container entries and loop steps within an attempt. What it
// may do there depends on where the run stands:
//   - Within a single-text call, near the call's own frame (the run has
//     used at most kHandlerDepth of stack since the method was entered), it
//     runs the pending handlers there and then, with about the stack they
//     would have had at the call site. When one raises, it keeps the
//     exception aside for the thread and the run gives up as for lack of
//     stack; whoever reports that give-up (the method skeleton,
//     `raise_too_deep`, the stride poll) raises the kept exception instead,
//     through `raise_kept_interrupt`.
//   - Deeper in a single-text call, or anywhere in a batch, it runs no
//     Python code: it only notes a pending SIGINT, which gives the run up.
//     The call's skeleton then runs the handlers once the run has unwound
//     (a stride poll that meets the give-up throws SigintPending to get
//     there) and, when they return, starts the call over from scratch.
//     Other handlers stay pending until a poll near the call's frame, or
//     until the call returns to the interpreter.
// SIGINT is taken from the interpreter only to be put back at once
// (`take_sigint`), so that the handlers then run in the interpreter's own
// order and one that raises leaves the others pending, as in plain Python.
//
// The handlers run in the middle of a match, while the thread holds the
// read locks of the Forwards it is inside; a handler that set one of them
// would wait for this very thread. So while they run, `Forward.set` refuses
// (`handlers_run_within_a_match`).
#pragma once

#include <csignal>
#include <cstdint>

#include "elements/element.hpp"
#include "module/binding.hpp"
#include "module/py.hpp"

namespace quernlet {

// Runs the pending signal handlers; throws py::ErrorSet when one raises,
// and also (without running them) when a run gave up on an interrupt, with
// that interrupt's exception. Throws SigintPending when the run gave up on
// a SIGINT the hook noted.
[[gnu::noinline, gnu::cold]] void run_signal_handlers();

// The engine's interrupt hook (installed at module exec).
bool interrupt_hook() noexcept;

// When an interrupt's exception is kept for the thread: drops the give-up,
// sets the exception as the current one and returns true.
bool raise_kept_interrupt() noexcept;

// Whether signal handlers run from inside a match on this thread.
bool handlers_run_within_a_match() noexcept;

class InterruptPoll {
 public:
  static constexpr std::uint32_t kPeriod = 1024;

  // A scan over positions may poll once per stride of kPeriod positions
  // instead of ticking: every attempt moves it on by one position at least,
  // so no more attempts run between two polls, and the tight loop within a
  // stride carries no counter. The end of the stride from `pos`, at most `n`.
  static std::size_t stride_end(std::size_t pos, std::size_t n) noexcept {
    return n - pos > kPeriod ? pos + kPeriod : n;
  }

  void tick() {
    if (--left_ == 0) [[unlikely]] {
      left_ = kPeriod;
      run_signal_handlers();
    }
  }

 private:
  std::uint32_t left_ = kPeriod;
};

// Thrown where a loop meets a pending SIGINT that it must not handle
// itself: the loop unwinds, releasing what it holds, to the call's skeleton,
// which runs the handlers and starts the call over when they return
// (`run_call`, batch::with_list_held).
struct SigintPending {};

namespace interrupt_detail {

// The calling thread's interrupt state.
struct State {
  // The exception a handler raised within a match (owned), until the
  // give-up it caused is reported.
  PyObject* kept = nullptr;
  // The stack pointer at the entry of the innermost operation that may run
  // handlers within its matches (0 where none may: outside operations, and
  // in batches).
  std::uintptr_t entry_sp = 0;
  // Whether the hook took a SIGINT within the innermost operation (its run
  // then gave up).
  bool sigint_noted = false;
  // How many handler runs from inside a match are under way.
  unsigned handlers_within_match = 0;
};
extern constinit thread_local State state [[gnu::tls_model("initial-exec")]];

}  // namespace interrupt_detail

// Marks one operation on this thread for its lifetime: a single-text call
// (`handlers` true: the hook may run handlers near the frame that opens
// the scope) or a batch (the hook only notes SIGINT). Restores what it
// found, so a call made from a handler within a match, or a match within
// such a call, each see their own.
class InterruptScope {
 public:
  explicit InterruptScope(bool handlers) noexcept
      : outer_sp_(interrupt_detail::state.entry_sp),
        outer_noted_(interrupt_detail::state.sigint_noted) {
    interrupt_detail::State& s = interrupt_detail::state;
    s.entry_sp = handlers ? stack_guard::stack_pointer() : 0;
    s.sigint_noted = false;
  }
  ~InterruptScope() {
    interrupt_detail::State& s = interrupt_detail::state;
    s.entry_sp = outer_sp_;
    s.sigint_noted = outer_noted_;
  }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  // Whether the hook took a pending SIGINT during this scope.
  static bool sigint_noted() noexcept { return interrupt_detail::state.sigint_noted; }

 private:
  std::uintptr_t outer_sp_;
  bool outer_noted_;
};

// Whether SIGINT is pending, or was taken by the hook within the innermost
// operation. A pending SIGINT is left pending for the interpreter.
bool sigint_arrived() noexcept;

// The batch loops' poll: runs no Python code. On SIGINT it throws
// SigintPending.
class SigintPoll {
 public:
  void tick() {
    if (--left_ == 0) [[unlikely]] {
      left_ = InterruptPoll::kPeriod;
      if (sigint_arrived()) throw SigintPending{};
    }
  }

 private:
  std::uint32_t left_ = InterruptPoll::kPeriod;
};

// Runs `f()` as `guarded` does; a run left on SIGINT (SigintPending) gives
// null, with no exception set, and sets `interrupted`.
template <class F>
PyObject* guarded_against_sigint(F&& f, bool& interrupted) noexcept {
  return guarded([&]() -> PyObject* {
    try {
      return f();
    } catch (const SigintPending&) {
      interrupted = true;
      return nullptr;
    }
  });
}

// Whether a run given up on a SIGINT (SigintPending, or one the hook noted)
// may start over: runs the pending handlers, SIGINT's among them, after
// dropping the run's give-up and the error it may have left. False with the
// exception set when a handler raises.
bool handle_sigint_for_restart() noexcept;

// Runs an operation until a run of it is not given up on SIGINT.
// `attempt(interrupted)` opens the run's scopes, runs the body
// (`guarded_against_sigint`), sets `interrupted` when the run was given up
// on SIGINT, and returns the body's result (a new reference or null). A
// given-up run's result is dropped once its scopes have closed; the handlers
// then run, and when they return the next attempt starts from scratch.
template <class Attempt>
PyObject* restart_after_sigint(Attempt&& attempt) noexcept {
  for (;;) {
    bool interrupted = false;
    py::Object result = py::Object::steal(attempt(interrupted));
    if (!interrupted) [[likely]]
      return result.release();
    result = py::Object();
    if (!handle_sigint_for_restart()) return nullptr;
  }
}

}  // namespace quernlet
