#include "allocation_counter.hpp"

#include <cstdlib>
#include <new>

namespace {
thread_local long allocations = 0;
}

long quernlet::testing_support::allocations_on_this_thread() noexcept { return allocations; }

// Replacements of the global allocation functions. They are kept out of
// line: inlined, GCC takes their malloc/free pairing for a mismatch with
// new/delete. The aligned and nothrow forms are left to the library; the
// engine does not use them.
[[gnu::noinline]] void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t n) { return operator new(n); }
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
