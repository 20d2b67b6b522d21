// Letting long calls answer signals (Ctrl-C above all).
//
// One rule: wherever a call asks, the interpreter's pending signal handlers
// run there and then, in the interpreter's order, each once per signal. A
// handler that returns lets the work go on where it was; one that raises
// (KeyboardInterrupt for Ctrl-C, or whatever a handler of the program's own
// raises) ends the call with its exception.
//
// Two kinds of places ask:
//   - The module's own loops, between matches: scans over the positions of
//     a text poll once per stride of kPeriod positions (`stride_end`), and
//     loops over batch items and over results being built poll once per
//     kPeriod units (InterruptPoll). A raising handler throws py::ErrorSet
//     there, and the frames up to `guarded` unwind and release what they
//     hold.
//   - The engine, in the middle of a match at any depth: it asks its hook
//     (`interrupt_hook`) every few thousand container entries, loop steps,
//     alternatives tried and KiB scanned (element.hpp). A raising handler's
//     exception is kept aside for the thread and the run gives up as for
//     lack of stack; whoever reports that give-up (the method skeleton,
//     `raise_too_deep`, a poll) raises the kept exception instead, through
//     `raise_kept_interrupt`.
//
// Handlers run Python code, and with it the collector and other threads.
// Whatever a call keeps while they run is its own: the text and grammar of
// a single-text call belong to its caller's frame, and a batch holds the
// items it works on (batch/skeleton.hpp). No result list is reachable while
// slots are unset.
//
// A handler that runs in the middle of a match runs on the stack left below
// it. The interpreter sizes its own count of C recursion for a thread's
// whole stack, so while the hook runs handlers that count is capped to what
// the stack left can hold: a handler that recurses deep gets RecursionError
// sooner than at the call site, never a crash. The engine keeps room below
// its floor for them, so the hook can always run handlers.
//
// The handlers run in the middle of a match, while the thread holds the
// read locks of the Forwards it is inside; a handler that set one of them
// would wait for this very thread. So while they run, `Forward.set` refuses
// (`handlers_run_within_a_match`).
#pragma once

#include <cstdint>

#include "elements/element.hpp"
#include "elements/stretch_scan.hpp"
#include "module/binding.hpp"
#include "module/py.hpp"

namespace quernlet {

// Runs the pending signal handlers; throws py::ErrorSet when one raises,
// and also (without running them) when the run gave up on a handler's
// exception, with that exception.
[[gnu::noinline, gnu::cold]] void run_signal_handlers();

// The engine's interrupt hook (installed at module exec).
bool interrupt_hook() noexcept;

// When an interrupt's exception is kept for the thread: drops the give-up,
// sets the exception as the current one and returns true.
bool raise_kept_interrupt() noexcept;

// Whether signal handlers run from inside a match on this thread.
bool handlers_run_within_a_match() noexcept;

// What a call reads in place where Python code could change or free it
// (a batch reads its list's storage). Before any Python code runs on the
// thread in the middle of a call (the pending handlers, the collector and
// its finalizers), every such reader that is registered there is asked to
// take what it reads for its own (`secure`). Most calls run no Python code
// at all, and then pay nothing for that. A reader is registered on its
// thread for its lifetime; readers nest.
class ReadInPlace {
 public:
  ReadInPlace() noexcept;
  ReadInPlace(const ReadInPlace&) = delete;
  ReadInPlace& operator=(const ReadInPlace&) = delete;

  // Takes references of its own to what it reads; called at most once
  // before each run of Python code, from the innermost reader out.
  virtual void secure() noexcept = 0;

 protected:
  ~ReadInPlace();

 private:
  friend void secure_readers() noexcept;
  ReadInPlace* outer_;
};

class InterruptPoll {
 public:
  static constexpr std::uint32_t kPeriod = 1024;

  // A scan over positions may poll once per stride of kPeriod positions
  // instead of ticking: every attempt moves it on by one position at least,
  // and counts its own work in the engine, so the tight loop within a
  // stride carries no counter. The end of the stride from `pos`, at most
  // `n`.
  static std::size_t stride_end(std::size_t pos, std::size_t n) noexcept {
    return stretch_end(pos, n, kPeriod);
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

}  // namespace quernlet
