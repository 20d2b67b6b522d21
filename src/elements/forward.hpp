// Forward: a placeholder filled later, through which grammars recurse.
#pragma once

#include <atomic>

#include "element.hpp"

namespace quernlet {

// A reader-writer lock on which readers never wait for a writer that is
// only waiting: a thread that holds the read lock and enters again (a
// recursive grammar) must not queue behind a `set` that waits for that very
// thread. Writers wait until no reader remains; readers wait only while a
// writer holds the lock. Writers may therefore wait long under constant
// reading, which suits a lock written once per grammar change. Waiting
// blocks in the kernel (atomic wait), it does not spin.
class ReentrantSharedLock {
 public:
  // The uncontended read path (no writer, no one to wake) stays inline: a
  // recursive grammar enters its Forwards at every level.
  void lock_shared() noexcept {
    std::int64_t s = state_.load(std::memory_order_relaxed);
    if (s == kWriter || !state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                      std::memory_order_relaxed))
      lock_shared_waiting();
  }
  void unlock_shared() noexcept {
    if (state_.fetch_sub(1, std::memory_order_release) == 1) wake();
  }
  void lock() noexcept;
  // Takes the write lock when no one holds the lock; false otherwise.
  bool try_lock() noexcept {
    std::int64_t s = 0;
    return state_.compare_exchange_strong(s, kWriter, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void unlock() noexcept;

 private:
  void lock_shared_waiting() noexcept;
  void wake() noexcept;

  // Number of readers, or kWriter while a writer holds the lock.
  static constexpr std::int64_t kWriter = -1;
  std::atomic<std::int64_t> state_{0};
};

// Passes every match on to its inner element, read under `lock_`; an unset
// Forward fails with "Forward not initialized" at `pos` (no match for
// `try_match_at`). Every entry first checks the thread's stack and gives up
// when it runs low (see `stack_nearly_exhausted`), so self-reference, left
// recursion and deeply nested input end in a too-deep failure, never in a
// stack overflow. Skips no whitespace itself.
class ForwardElement final : public ElementKind<ForwardElement> {
  // Guards `inner_`: read for matching, written by `set`.
  mutable ReentrantSharedLock lock_;
  // The element matched in this one's place; null until the first `set`.
  mutable ElementHandle inner_;

  // Swaps `inner` in, releases the old element and then the write lock.
  void replace_locked(ElementHandle& inner) const noexcept;

 public:
  ForwardElement() = default;

  ParseOutcome parse_impl(ParseContext& ctx, Pos pos) const override;
  MatchResult try_match_at(std::string_view text, Pos pos) const override;
  ElementClass element_class() const noexcept override { return ElementClass::Complex; }

  // Replaces the inner element under the write lock; the old one is
  // released while the lock is held. A grammar whose inner element reaches
  // this Forward again is a cycle of handles and is never destroyed.
  void set(ElementHandle inner) const noexcept;
  // The same when the lock is free at once; otherwise false, `inner` left
  // as it was, so that a caller may get ready to wait before `set`.
  bool try_set(ElementHandle& inner) const noexcept;
};

}  // namespace quernlet
