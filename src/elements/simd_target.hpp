// Compiling a stretch of a file for a wider instruction set than the rest,
// so that its kernels can be chosen at run time. GCC and clang spell this
// differently; between BEGIN and END every function, member functions and
// lambdas included, gets the target.
#pragma once

#if defined(__clang__)
#define QUERNLET_SIMD_BEGIN_AVX2 \
  _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define QUERNLET_SIMD_BEGIN_AVX2_BMI \
  _Pragma("clang attribute push(__attribute__((target(\"avx2,bmi\"))), apply_to = function)")
#define QUERNLET_SIMD_END _Pragma("clang attribute pop")
#else
#define QUERNLET_SIMD_BEGIN_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define QUERNLET_SIMD_BEGIN_AVX2_BMI _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,bmi\")")
#define QUERNLET_SIMD_END _Pragma("GCC pop_options")
#endif
