// What the engine needs to know of the sanitizers a build runs under.
#pragma once

#include <cstddef>

// GCC announces AddressSanitizer with a macro, clang only through
// __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define QUERNLET_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUERNLET_ADDRESS_SANITIZER 1
#endif
#endif

namespace quernlet::stack_guard {

// Address-sanitized frames carry redzones and come out two to three times
// larger, and so does whatever runs below the floor: stack sizes reckoned
// in bytes are scaled by this.
#if defined(QUERNLET_ADDRESS_SANITIZER)
inline constexpr std::size_t kFrameScale = 2;
#else
inline constexpr std::size_t kFrameScale = 1;
#endif

}  // namespace quernlet::stack_guard
