// The C library's sin, cos, tan and sincos for the module built with zig
// (.ci/zig.cmake links this file in).
//
// zig's runtime library, compiler_rt, defines these functions itself, as
// weak symbols, with implementations of its own that differ from glibc's
// by one unit in the last place for some arguments. The module needs that
// library on ARM (128-bit long double arithmetic on aarch64 and the EABI
// helpers on armhf, for the C++ runtime), and once it is linked its weak
// definitions take the place of the C library's. The definitions here are
// strong, so they win, and each only calls the C library's function by its
// versioned name, which nothing in the module can define: the module then
// gives what a module built by the system's compiler gives.
#if defined(__x86_64__)
#define TESSARY_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define TESSARY_GLIBC_BASE "GLIBC_2.17"
#elif defined(__arm__)
#define TESSARY_GLIBC_BASE "GLIBC_2.4"
#else
#error "no glibc base version known for this architecture"
#endif

#define TESSARY_FROM_GLIBC(name) __asm__(".symver tessary_glibc_" #name ", " #name "@" TESSARY_GLIBC_BASE)

extern "C" {

double tessary_glibc_sin(double);
double tessary_glibc_cos(double);
double tessary_glibc_tan(double);
void tessary_glibc_sincos(double, double*, double*);
TESSARY_FROM_GLIBC(sin);
TESSARY_FROM_GLIBC(cos);
TESSARY_FROM_GLIBC(tan);
TESSARY_FROM_GLIBC(sincos);

double sin(double x) { return tessary_glibc_sin(x); }
double cos(double x) { return tessary_glibc_cos(x); }
double tan(double x) { return tessary_glibc_tan(x); }
void sincos(double x, double* s, double* c) { tessary_glibc_sincos(x, s, c); }

}
