#include "element.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <new>
#include <vector>

#include "sanitizers.hpp"

namespace quernlet {

SharedString::SharedString(std::string_view s) {
  if (s.empty()) return;
  void* raw = ::operator new(offsetof(Block, data) + s.size());
  b_ = static_cast<Block*>(raw);
  new (&b_->refs) std::atomic<std::uint64_t>(1);
  b_->size = s.size();
  std::memcpy(b_->data, s.data(), s.size());
}

SharedString SharedString::immortal(std::string_view s) {
  SharedString out(s);
  // One extra reference that is never released keeps the block alive.
  if (out.b_) out.b_->refs.fetch_add(1, std::memory_order_relaxed);
  return out;
}

void SharedString::destroy() noexcept {
  std::atomic_thread_fence(std::memory_order_acquire);
  b_->refs.~atomic();
  ::operator delete(b_);
}

// Each level of a release costs about a hundred bytes of stack, and several
// hundred address-sanitized; eight levels keep it to a few KiB, little
// enough for the smallest thread stacks, while the release of an ordinary
// grammar rarely queues.
constexpr unsigned kReleaseDepth = 8;

void RefCounted::destroy() const noexcept {
  thread_local unsigned depth = 0;
  thread_local std::vector<const RefCounted*> deferred;
  if (depth >= kReleaseDepth) {
    try {
      deferred.push_back(this);
      return;
    } catch (...) {
      // Out of memory: delete in place and hope the stack holds.
    }
  }
  ++depth;
  delete this;
  if (depth == 1) {
    while (!deferred.empty()) {
      const RefCounted* next = deferred.back();
      deferred.pop_back();
      delete next;
    }
  }
  --depth;
}

Token::Token(const Token& o) : count_(o.count_), form_(o.form_) {
  switch (form_) {
    case Form::Shared:
      new (&shared_) SharedString(o.shared_);
      break;
    case Form::Slice:
      slice_ = o.slice_;
      break;
    case Form::List:
    case Form::ArenaList: {
      form_ = Form::List;
      std::unique_ptr<Token[]> items;
      if (count_ != 0) {
        items = std::make_unique<Token[]>(count_);
        std::copy_n(o.items_, count_, items.get());
      }
      items_ = items.release();
      break;
    }
  }
}

Token& Token::operator=(const Token& o) {
  if (this != &o) *this = Token(o);
  return *this;
}

Token Token::list_of(std::span<Token> tokens) {
  const std::size_t n = tokens.size();
  Token t(nullptr, n);
  if (n == 0) return t;
  if (Token* room = TokenArenaScope::allocate(n)) {
    std::uninitialized_move_n(tokens.begin(), n, room);
    t.items_ = room;
    t.form_ = Form::ArenaList;
  } else {
    auto items = std::make_unique<Token[]>(n);
    std::move(tokens.begin(), tokens.end(), items.get());
    t.items_ = items.release();
  }
  return t;
}

namespace {
constinit thread_local TokenArenaScope* open_arena [[gnu::tls_model("initial-exec")]] = nullptr;
constexpr std::size_t kArenaBlock = 32 * 1024;
}  // namespace

TokenArenaScope::TokenArenaScope() noexcept : outer_(std::exchange(open_arena, this)) {}

TokenArenaScope::~TokenArenaScope() { open_arena = outer_; }

Token* TokenArenaScope::allocate(std::size_t n) {
  TokenArenaScope* const arena = open_arena;
  if (!arena) return nullptr;
  const std::size_t bytes = n * sizeof(Token);
  if (bytes > arena->left_) {
    const std::size_t size = std::max(bytes, kArenaBlock);
    arena->blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
    arena->next_ = arena->blocks_.back().get();
    arena->left_ = size;
  }
  Token* const room = reinterpret_cast<Token*>(arena->next_);
  arena->next_ += bytes;
  arena->left_ -= bytes;
  return room;
}

void TokenArenaScope::give_back(Token* room, std::size_t n) noexcept {
  TokenArenaScope* const arena = open_arena;
  auto* const start = reinterpret_cast<std::byte*>(room);
  if (arena && start + n * sizeof(Token) == arena->next_) {
    arena->next_ = start;
    arena->left_ += n * sizeof(Token);
  }
}

// The room goes back before the items are destroyed, and the items go last
// first: lists inside were made before this one, in order, so each then
// finds its room last in turn.
void Token::drop_arena_list() noexcept {
  TokenArenaScope::give_back(items_, count_);
  for (std::size_t i = count_; i-- > 0;) items_[i].~Token();
}

const SharedString& Token::shared_text() const noexcept {
  static const SharedString empty;
  return form_ == Form::Shared ? shared_ : empty;
}

ParseOutcome ParseOutcome::stack_exhausted(Pos position) noexcept {
  ParseOutcome o = failure(fixed_string<"maximum recursion depth exceeded">(), position);
  o.too_deep_ = true;
  return o;
}

// ---------------------------------------------------------------------------
// Stack guard.

namespace stack_guard {

constinit thread_local ThreadState thread_state [[gnu::tls_model("initial-exec")]];

namespace {

// What the slow paths keep for the thread, apart from the state every entry
// reads: the room for static thread storage that a module loaded at run
// time may take is small.
struct SlowState {
  // How far down the code that the interrupt hook runs may use the stack:
  // the floor keeps room below it for the hook (UINTPTR_MAX until measured).
  std::uintptr_t hook_floor = UINTPTR_MAX;
  // How many searches there are from one timed search to the next, and
  // when the last timed one ended.
  std::uint32_t search_interval = kFirstTimedSearch;
  std::int64_t search_clock = 0;
};
constinit thread_local SlowState slow_state;

}  // namespace

namespace {

// The margin kept free below the floor. Every container checks on entry, so
// below the floor run at most one container's frame, the leaf kinds it
// calls (a regular-expression match, allocation) and the unwinding after a
// give-up, a few KiB in all. An eighth of the stack, at least 16 KiB and at
// most 64 KiB (both scaled for sanitized builds), but never more than half
// of it: on tiny stacks half the depth is a fair price for not overflowing.
constexpr std::size_t kMinMargin = (16u << 10) * kFrameScale;
constexpr std::size_t kMaxMargin = (64u << 10) * kFrameScale;

// The room the floor keeps above that margin for the code the interrupt
// hook runs (signal handlers, finalizers), which may run at the floor
// itself: a Python handler with a few hundred levels of C calls below it.
// The margin stays below the room, for what such code runs between its
// checks of its own depth. Within the half of the stack that margins may
// take, as the margin is.
constexpr std::size_t kHookRoom = (64u << 10) * kFrameScale;

// Where the size is unknown: the stack assumed below the first frame seen.
constexpr std::size_t kUnknownStack = 256u << 10;

// What the main thread may use below the first frame seen when its stack
// has no limit. The stack then grows into free address space until memory
// runs out, so runaway recursion needs a bound of its own; this is the
// depth an ordinary 64 MiB limit would give.
constexpr std::size_t kUnlimitedBudget = 64u << 20;

bool main_thread_without_limit() noexcept {
  if (gettid() != getpid()) return false;
  rlimit limit;
  return getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY;
}

// The floors of a thread's stack: the engine's, and the hook's below it.
struct Floors {
  std::uintptr_t engine;
  std::uintptr_t hook;
};

Floors measure_floors(std::uintptr_t here) noexcept {
  void* base = nullptr;
  std::size_t size = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    if (pthread_attr_getstack(&attr, &base, &size) != 0) size = 0;
    pthread_attr_destroy(&attr);
  }
  const auto low = reinterpret_cast<std::uintptr_t>(base);
  if (size == 0 || here <= low || here - low > size) {
    const std::uintptr_t floor = here > kUnknownStack ? here - kUnknownStack : 1;
    return {floor, floor};
  }
  const std::size_t margin = std::min(std::clamp(size / 8, kMinMargin, kMaxMargin), size / 2);
  const std::size_t reserved = std::min(margin + kHookRoom, std::max(margin, size / 2));
  Floors floors{low + reserved, low + margin};
  if (here > floors.engine && here - floors.engine > kUnlimitedBudget &&
      main_thread_without_limit()) {
    floors.engine = here - kUnlimitedBudget;
  }
  return floors;
}

std::atomic<InterruptHook> interrupt_hook{nullptr};

// The countdown ran out and the run has not given up: asks the hook, when
// there is one, and gives up when it says so. The hook itself decides what
// it can do at this depth.
[[gnu::noinline]] bool interrupted(ThreadState& t) noexcept {
  t.countdown = kInterruptPeriod;
  const InterruptHook hook = interrupt_hook.load(std::memory_order_relaxed);
  if (hook == nullptr || !hook()) return false;
  t.too_deep = true;
  t.limit = UINTPTR_MAX;
  return true;
}

// Measures the floor the first time the thread needs it (`sp` is an address
// of the caller's frame); the limit follows it unless the run has given up.
void measure_once(ThreadState& t, std::uintptr_t sp) noexcept {
  if (t.floor != UINTPTR_MAX) return;
  const Floors floors = measure_floors(sp);
  t.floor = floors.engine;
  slow_state.hook_floor = floors.hook;
  if (!t.too_deep) t.limit = t.floor;
}

}  // namespace

bool exhausted(std::uintptr_t sp) noexcept {
  ThreadState& t = thread_state;
  if (t.too_deep) return true;
  if (sp >= t.limit) return interrupted(t);
  if (t.floor == UINTPTR_MAX) {
    measure_once(t, sp);
    if (sp >= t.floor) return false;
  }
  t.too_deep = true;
  t.limit = UINTPTR_MAX;
  return true;
}

// Searches that took this long from one timed search to the next are slow:
// the hook is asked after each.
constexpr std::int64_t kSlowSearches = 1'000'000;  // nanoseconds

std::int64_t monotonic_ns() noexcept {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

bool search_timed() noexcept {
  ThreadState& t = thread_state;
  SlowState& slow = slow_state;
  const std::int64_t now = monotonic_ns();
  const std::int64_t took = now - slow.search_clock;
  slow.search_clock = now;
  if (t.search_fresh) {
    t.search_fresh = false;
    slow.search_interval = kFirstTimedSearch;
  } else if (took < kSlowSearches) {
    slow.search_interval = std::min(2 * slow.search_interval, kInterruptPeriod);
  } else {
    t.search_countdown = slow.search_interval = 1;
    return t.too_deep || interrupted(t);
  }
  t.search_countdown = slow.search_interval;
  return false;
}

bool period_ended() noexcept {
  ThreadState& t = thread_state;
  if (!t.too_deep) return interrupted(t);
  t.countdown = kInterruptPeriod;
  return true;
}

}  // namespace stack_guard

std::size_t hook_stack_left() noexcept {
  stack_guard::ThreadState& t = stack_guard::thread_state;
  const std::uintptr_t sp = stack_guard::stack_pointer();
  stack_guard::measure_once(t, sp);
  const std::uintptr_t hook_floor = stack_guard::slow_state.hook_floor;
  return sp > hook_floor ? sp - hook_floor : 0;
}

void note_too_deep() noexcept {
  stack_guard::ThreadState& t = stack_guard::thread_state;
  t.too_deep = true;
  t.limit = UINTPTR_MAX;
}

void set_interrupt_hook(InterruptHook hook) noexcept {
  stack_guard::interrupt_hook.store(hook, std::memory_order_relaxed);
}

namespace stack_guard {

bool take_given_up() noexcept {
  ThreadState& t = thread_state;
  t.too_deep = false;
  t.limit = t.floor;
  return true;
}

}  // namespace stack_guard

}  // namespace quernlet
