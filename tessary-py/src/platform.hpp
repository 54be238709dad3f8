// What the module uses beyond plain POSIX threads, files and memory
// mappings, and which processor extensions it takes up, decided in one
// place. Each facility has a portable fallback; defining
// TESSARY_PLAIN_POSIX (the CMake option of that name) turns them all off,
// so that the fallbacks are built and tested on a machine that has the
// facilities.
#pragma once

#include <sys/mman.h>

// TESSARY_HAVE_AVX2_TWINS: second copies of the hot loops compiled for
// AVX2, chosen at run time (has_avx2 below).
#include "avx2.hpp"
#include "x86_features.hpp"

// madvise(MADV_HUGEPAGE): Linux's transparent huge pages.
#if defined(MADV_HUGEPAGE) && !defined(TESSARY_PLAIN_POSIX)
#define TESSARY_HAVE_HUGE_PAGE_ADVICE 1
#else
#define TESSARY_HAVE_HUGE_PAGE_ADVICE 0
#endif

// Large element arrays in anonymous mappings of their own.
#if defined(MAP_ANONYMOUS) && !defined(TESSARY_PLAIN_POSIX)
#define TESSARY_HAVE_ANONYMOUS_MAPPING 1
#else
#define TESSARY_HAVE_ANONYMOUS_MAPPING 0
#endif

// sched_getaffinity with dynamically sized CPU sets, and control-group CPU
// quotas read from /proc and /sys.
#if defined(__linux__) && !defined(TESSARY_PLAIN_POSIX)
#define TESSARY_HAVE_LINUX_CPU_LIMITS 1
#else
#define TESSARY_HAVE_LINUX_CPU_LIMITS 0
#endif

namespace tessary_py::platform {

#if TESSARY_HAVE_AVX2_TWINS
// Whether the processor running the module has AVX2, set once while the
// module's static objects are built.
inline const bool has_avx2 = x86::read_features().avx2;

// f(), with everything it calls that can be inlined compiled for AVX2 where
// the processor has it (its lanes round as the scalar instructions do).
// Instrumented builds inline as usual instead: flattening every query body
// into each twin takes the sanitizers' compilers many minutes, and only
// speed depends on it.
#if defined(TESSARY_SANITIZE)
#define TESSARY_AVX2_TWIN [[gnu::target("avx2")]]
#else
#define TESSARY_AVX2_TWIN [[gnu::target("avx2"), gnu::flatten]]
#endif
template <class F>
TESSARY_AVX2_TWIN void run_avx2(const F& f) {
    f();
}

template <class F>
void with_avx2(const F& f) {
    if (has_avx2) {
        run_avx2(f);
    } else {
        f();
    }
}
#else
inline constexpr bool has_avx2 = false;

template <class F>
void with_avx2(const F& f) {
    f();
}
#endif

}  // namespace tessary_py::platform
