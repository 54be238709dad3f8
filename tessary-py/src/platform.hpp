// What the module uses beyond plain POSIX threads, files and memory
// mappings, decided in one place. Each facility has a portable fallback;
// defining TESSARY_PLAIN_POSIX (the CMake option of that name) turns them
// all off, so that the fallbacks are built and tested on a machine that has
// the facilities.
#pragma once

#include <sys/mman.h>

// A second copy of the bulk loops compiled for AVX2, chosen at run time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(TESSARY_PLAIN_POSIX)
#define TESSARY_HAVE_AVX2_TWINS 1
#else
#define TESSARY_HAVE_AVX2_TWINS 0
#endif

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
