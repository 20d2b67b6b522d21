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
// end), so the engine also asks `interrupt_hook` every few thousand
// container entries within an attempt. Outside a batch it runs the pending
// handlers there and then; when one raises, it keeps the exception aside
// for the thread and the run gives up as for lack of stack. Whoever reports
// that give-up (the method skeleton, `raise_too_deep`, the stride poll)
// raises the kept exception instead, through `raise_kept_interrupt`. Inside
// a batch (a BatchInterruptScope) it only notes a pending SIGINT, which the
// batch loop then treats as its SigintPoll would.
//
// The handlers run in the middle of a match, while the thread holds the
// read locks of the Forwards it is inside; a handler that set one of them
// would wait for this very thread. So while they run, `Forward.set` refuses
// (`handlers_run_within_a_match`).
#pragma once

#include <csignal>
#include <cstdint>

#include "elements/element.hpp"
#include "module/py.hpp"

namespace quernlet {

// Runs the pending signal handlers; throws py::ErrorSet when one raises,
// and also (without running them) when a run gave up on an interrupt, with
// that interrupt's exception.
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

// Thrown by SigintPoll when SIGINT has arrived: the loop unwinds, releasing
// what it holds, to a frame that can run the handler (batch::with_list_held).
struct SigintPending {};

// Marks a batch loop on this thread for its lifetime: the interrupt hook
// runs no Python code and only notes a pending SIGINT, which
// `sigint_noted` then reports. Restores the mode it found, so a batch called
// from a handler within a match, or a match within a batch's handler, each
// see their own.
class BatchInterruptScope {
 public:
  BatchInterruptScope() noexcept;
  ~BatchInterruptScope();
  BatchInterruptScope(const BatchInterruptScope&) = delete;
  BatchInterruptScope& operator=(const BatchInterruptScope&) = delete;

  // Whether the hook took a pending SIGINT during this scope.
  static bool sigint_noted() noexcept;

 private:
  bool outer_in_batch_;
  bool outer_noted_;
};

// Whether SIGINT is pending or was noted by the hook within the batch; the
// pending SIGINT is taken from the interpreter.
bool sigint_arrived() noexcept;

// The batch loops' poll: runs no Python code. The pending SIGINT is taken
// from the interpreter, so the catcher must run its handler
// (run_sigint_handler).
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

// Runs what a SigintPoll took: first every other pending handler, then the
// program's SIGINT handler as the interpreter calls it (with the signal
// number and the current frame). -1 with the exception set when one raises,
// 0 otherwise (also when SIGINT is ignored or left to the system).
int run_sigint_handler() noexcept;

}  // namespace quernlet
