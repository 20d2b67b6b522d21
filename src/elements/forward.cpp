#include "forward.hpp"

#include <mutex>
#include <shared_mutex>

namespace quernlet {

// Readers and the writer all wait on `state_` itself. Only the transitions
// that can unblock someone notify: the last reader leaving (a writer may be
// waiting for 0) and the writer leaving (readers and writers wait for it).
// A waiter re-reads the state after every wake-up, so a missed value (the
// count passing through 0 and back) costs at most another wait until the
// next notifying transition.

void ReentrantSharedLock::lock_shared_waiting() noexcept {
  std::int64_t s = state_.load(std::memory_order_relaxed);
  for (;;) {
    if (s == kWriter) {
      state_.wait(kWriter, std::memory_order_relaxed);
      s = state_.load(std::memory_order_relaxed);
    } else if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
      return;
    }
  }
}

void ReentrantSharedLock::wake() noexcept { state_.notify_all(); }

void ReentrantSharedLock::lock() noexcept {
  std::int64_t s = 0;
  while (!state_.compare_exchange_weak(s, kWriter, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
    if (s != 0) state_.wait(s, std::memory_order_relaxed);
    s = 0;
  }
}

void ReentrantSharedLock::unlock() noexcept {
  state_.store(0, std::memory_order_release);
  state_.notify_all();
}

ParseOutcome ForwardElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_nearly_exhausted()) return ParseOutcome::stack_exhausted(pos);
  std::shared_lock guard(lock_);
  if (!inner_) return ParseOutcome::failure(fixed_string<"Forward not initialized">(), pos);
  return inner_->parse_impl(ctx, pos);
}

MatchResult ForwardElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_nearly_exhausted()) return kNoMatch;
  std::shared_lock guard(lock_);
  return inner_ ? inner_->try_match_at(text, pos) : kNoMatch;
}

void ForwardElement::set(ElementHandle inner) const {
  std::lock_guard guard(lock_);
  std::swap(inner_, inner);
  // The old inner element (now in `inner`) is released here, under the
  // lock: no reader can still be using it, and when this was its last
  // reference it is destroyed before any reader sees the new one.
  inner = nullptr;
}

}  // namespace quernlet
