// Built and run when the module is configured, with the module's own final
// options (CMakeLists.txt): tells whether those options let the compiler fuse
// a multiplication and an addition into one rounding.
//
// No macro announces contraction, so it is observed: the probe computes
// a * b + c where the fused and the separately rounded results differ. A
// compiler only contracts for a processor that has fused multiply-add
// instructions. On x86 they are not in the base instruction set, so they
// are enabled for this one function and the probe runs only where the
// processor has them; elsewhere the probe has the instruction set the build
// targets. The options are then what decides, as they would in the module
// built for a processor with the instructions.
//
// Exit status: 0 rounded separately, 10 fused, 20 this processor cannot tell
// (no fused multiply-add), anything else a probe that went wrong.
#include "float_model.hpp"
#include "src/x86_features.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define TESSARY_X86 1
#define TESSARY_FMA_TARGET __attribute__((target("fma")))
#else
#define TESSARY_X86 0
#define TESSARY_FMA_TARGET
#endif

// Read at run time, so that nothing is folded at compile time.
volatile double a_in = 1.0 + 0x1p-27;
volatile double b_in = 1.0 - 0x1p-27;
volatile double c_in = -1.0;

TESSARY_FMA_TARGET __attribute__((noinline)) double product_plus(double a, double b, double c) { return a * b + c; }

// The probe itself allocates nothing; a sanitizer build's leak check at exit
// would only measure the sandbox it runs in.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

int main() {
#if TESSARY_X86
    if (!tessary_py::x86::read_features().fma) return 20;
#endif
    // a * b is exactly 1 - 2^-54, which rounds to 1: rounded separately the
    // result is 0, fused it is -2^-54.
    const double result = product_plus(a_in, b_in, c_in);
    if (result == 0.0) return 0;
    if (result == -0x1p-54) return 10;
    return 30;
}
