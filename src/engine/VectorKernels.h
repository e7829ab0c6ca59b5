#pragma once
// Kernels with an AVX2 build beside the portable one, chosen at run time: the
// plug-in ships for every x86-64 processor, and most of them have AVX2.
// ZEQ_AVX2_KERNELS is 1 where the compiler can build such kernels
// (__attribute__((target("avx2"))) on x86-64); the sources that use it define
// nothing else. Both builds of a kernel perform the same operations without
// fused multiply-adds, so the choice never changes a value.

#if !defined(ZEQ_AVX2_KERNELS)
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZEQ_AVX2_KERNELS 1
#else
#define ZEQ_AVX2_KERNELS 0
#endif
#endif

#if ZEQ_AVX2_KERNELS
#include <immintrin.h>
#endif

namespace zeq {
namespace detail {

// True when this processor runs AVX2 code.
inline bool haveAvx2() {
#if ZEQ_AVX2_KERNELS
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
#else
  return false;
#endif
}

}  // namespace detail
}  // namespace zeq
