#include "element.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

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

void RefCounted::destroy() const noexcept {
  thread_local unsigned depth = 0;
  thread_local std::vector<const RefCounted*> deferred;
  if (depth >= 128) {
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

Token::Token(const Token& o) : text_(o.text_), count_(o.count_), is_list_(o.is_list_) {
  if (count_ != 0) {
    items_ = std::make_unique<Token[]>(count_);
    std::copy_n(o.items_.get(), count_, items_.get());
  }
}

Token& Token::operator=(const Token& o) {
  if (this != &o) *this = Token(o);
  return *this;
}

ParseOutcome ParseOutcome::stack_exhausted(Pos position) noexcept {
  ParseOutcome o = failure(fixed_string<"maximum recursion depth exceeded">(), position);
  o.too_deep_ = true;
  return o;
}

// ---------------------------------------------------------------------------
// Stack guard.

namespace {

// Lowest stack address the engine may use on this thread; 0 until measured.
thread_local std::uintptr_t stack_floor = 0;
thread_local bool too_deep_flag = false;

#if defined(__SANITIZE_ADDRESS__)
// Address-sanitized frames carry redzones and come out two to three times
// larger, so the same grammar needs that much more stack between checks.
constexpr std::size_t kFrameScale = 2;
#else
constexpr std::size_t kFrameScale = 1;
#endif

// The margin kept free below the last check must hold every frame between
// two Forward entries (the combinators nested inside one level of the
// grammar, a few hundred bytes each) and whatever runs after the give-up
// (alternatives that do not pass through a Forward, unwinding). A quarter
// of the stack, at least 32 KiB and at most 256 KiB (both scaled for
// sanitized builds), but never more than half of it: on tiny stacks
// half the depth is a fair price for not overflowing.
std::uintptr_t measure_stack_floor() noexcept {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  void* base = nullptr;
  std::size_t size = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    if (pthread_attr_getstack(&attr, &base, &size) != 0) size = 0;
    pthread_attr_destroy(&attr);
  }
  const auto low = reinterpret_cast<std::uintptr_t>(base);
  if (size == 0 || here <= low || here - low > size) {
    // Unknown stack: assume a conservative 256 KiB below the current frame.
    return here > (256u << 10) ? here - (256u << 10) : 1;
  }
  const std::size_t margin = std::clamp<std::size_t>(
      size / 4 * kFrameScale, (32u << 10) * kFrameScale, (256u << 10) * kFrameScale);
  return low + std::min(margin, size / 2);
}

}  // namespace

bool stack_nearly_exhausted() noexcept {
  if (too_deep_flag) return true;
  if (stack_floor == 0) stack_floor = measure_stack_floor();
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here >= stack_floor) return false;
  too_deep_flag = true;
  return true;
}

void note_too_deep() noexcept { too_deep_flag = true; }

bool take_too_deep() noexcept { return std::exchange(too_deep_flag, false); }

}  // namespace quernlet
