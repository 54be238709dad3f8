// Whether the build carries second copies of its hot loops compiled for
// AVX2 (x86-64 with GCC or clang, unless built for plain POSIX), which
// the module chooses at run time on processors that have it. Each copy
// rounds exactly as the plain one does: the results are the same bits.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(TESSARY_PLAIN_POSIX)
#define TESSARY_HAVE_AVX2_TWINS 1
#include <immintrin.h>
#else
#define TESSARY_HAVE_AVX2_TWINS 0
#endif
