#include "forward.hpp"

#include "target_memo.hpp"

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

namespace {

// The read locks the calling thread holds, first taken outermost first, with
// how often each is held. A recursive grammar enters the same Forward at
// every level of nesting; while the thread already holds its read lock, no
// writer can get in, so the inner entries only count here instead of
// touching the shared lock word. Locks past the last slot are taken and
// released every time.
struct HeldReads {
  static constexpr unsigned kSlots = 4;
  const ReentrantSharedLock* lock[kSlots];
  std::size_t count[kSlots];
  unsigned n;
};
constinit thread_local HeldReads held_reads [[gnu::tls_model("initial-exec")]] = {};

// The address passes through an empty asm, so no check (the sanitizers'
// null check) is fused with the instruction the linker may rewrite.
[[gnu::always_inline]] inline HeldReads& held() noexcept {
  HeldReads* h = &held_reads;
  asm("" : "+r"(h));
  return *h;
}

// Holds `lock` for reading for its lifetime. Entries are strictly nested on
// a thread, so a lock whose first entry ends is always the last one recorded.
class ReadGuard {
 public:
  explicit ReadGuard(ReentrantSharedLock& lock) noexcept : lock_(lock) {
    HeldReads& h = held();
    for (unsigned i = 0; i < h.n; ++i) {
      if (h.lock[i] == &lock) {
        ++h.count[i];
        slot_ = i;
        return;
      }
    }
    lock.lock_shared();
    if (h.n < HeldReads::kSlots) {
      slot_ = h.n++;
      h.lock[slot_] = &lock;
      h.count[slot_] = 1;
    }
  }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
  ~ReadGuard() {
    if (slot_ != kUnrecorded) {
      HeldReads& h = held();
      if (--h.count[slot_] != 0) return;
      --h.n;
    }
    lock_.unlock_shared();
  }

 private:
  static constexpr unsigned kUnrecorded = HeldReads::kSlots;
  ReentrantSharedLock& lock_;
  unsigned slot_ = kUnrecorded;
};

}  // namespace

ParseOutcome ForwardElement::parse_impl(ParseContext& ctx, Pos pos) const {
  if (stack_nearly_exhausted()) return ParseOutcome::stack_exhausted(pos);
  ReadGuard guard(lock_);
  if (!inner_) return ParseOutcome::failure(fixed_string<"Forward not initialized">(), pos);
  return inner_->parse_impl(ctx, pos);
}

MatchResult ForwardElement::try_match_at(std::string_view text, Pos pos) const {
  if (stack_nearly_exhausted()) return kNoMatch;
  ReadGuard guard(lock_);
  return inner_ ? inner_->try_match_at(text, pos) : kNoMatch;
}

void ForwardElement::set(ElementHandle inner) const noexcept {
  lock_.lock();
  replace_locked(inner);
}

bool ForwardElement::try_set(ElementHandle& inner) const noexcept {
  if (!lock_.try_lock()) return false;
  replace_locked(inner);
  return true;
}

void ForwardElement::replace_locked(ElementHandle& inner) const noexcept {
  std::swap(inner_, inner);
  note_grammar_change();
  // The old inner element (now in `inner`) is released here, under the
  // lock: no reader can still be using it, and when this was its last
  // reference it is destroyed before any reader sees the new one.
  inner = nullptr;
  lock_.unlock();
}

}  // namespace quernlet
