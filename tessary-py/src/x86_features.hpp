// Which x86-64 extensions the processor running the module offers, read
// from the processor itself (CPUID) and from the operating system (XGETBV).
//
// Not __builtin_cpu_supports: that reads a table that the compiler's
// runtime library fills in, and a runtime library may leave it empty (zig's
// compiler_rt, which the release wheels are built with, reports no
// extension at all), which would quietly keep the AVX2 loops from ever
// running. It would also link that library into the module, and with it
// its own sin, cos and tan, which would then be called instead of the C
// library's.
//
// Both AVX2 and FMA use the 256-bit registers, so each needs the operating
// system to save them on a context switch as well as the processor to have
// the instructions.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

namespace tessary_py::x86 {

struct Features {
    bool avx2 = false;
    bool fma = false;
};

inline Features read_features() noexcept {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return {};
    const bool osxsave = (c & bit_OSXSAVE) != 0, avx = (c & bit_AVX) != 0, fma = (c & bit_FMA) != 0;
    if (!osxsave || !avx) return {};
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 0x6) != 0x6) return {};  // SSE and AVX register state
    Features features;
    features.fma = fma;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) features.avx2 = (b & bit_AVX2) != 0;
    return features;
}

}  // namespace tessary_py::x86
#endif
