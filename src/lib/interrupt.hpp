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
#pragma once

#include <csignal>
#include <cstdint>

#include "../elements/element.hpp"
#include "py.hpp"

namespace quernlet {

// Runs the pending signal handlers; throws py::ErrorSet when one raises.
// A handler may call the module again, so a give-up for lack of stack noted
// by the interrupted run is kept aside meanwhile: the nested call neither
// sees it nor takes it. When the run is abandoned, the give-up goes with it
// and the handler's exception is what the caller sees.
[[gnu::noinline, gnu::cold]] inline void run_signal_handlers() {
  const bool too_deep = take_too_deep();
  if (PyErr_CheckSignals() < 0) throw py::ErrorSet{};
  if (too_deep) note_too_deep();
}

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

// The batch loops' poll: runs no Python code. The pending SIGINT is taken
// from the interpreter, so the catcher must run its handler
// (run_sigint_handler).
class SigintPoll {
 public:
  void tick() {
    if (--left_ == 0) [[unlikely]] {
      left_ = InterruptPoll::kPeriod;
      if (PyOS_InterruptOccurred()) throw SigintPending{};
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
