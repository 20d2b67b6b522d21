// Counts the heap allocations of the calling thread, for tests that hold an
// operation to allocating nothing. The count covers every `operator new` of
// the test program (the replacement is process-wide); compare two readings
// taken on the same thread around the code under test.
#pragma once

namespace quernlet::testing_support {

long allocations_on_this_thread() noexcept;

}  // namespace quernlet::testing_support
