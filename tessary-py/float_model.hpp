// Every result of the module must agree to the last bit with the documented
// evaluation order of its formula: each product and each sum rounded on its
// own, in the written order, with IEEE 754 signed zeros, infinities and NaN.
// CMakeLists.txt includes this header ahead of every translation unit
// (-include), so that options which would change results cannot slip in
// through CXXFLAGS, a toolchain file or a per-file option:
//
// - what the compiler announces with a macro is refused here, with the
//   reason;
// - under clang, what it does not announce (reassociation, reciprocals,
//   ignored signed zeros, approximate functions, contraction within an
//   expression) is switched off for the whole translation unit by pragmas;
// - what no macro shows and no pragma reliably undoes (GCC contracting under
//   -ffp-contract=fast, clang's code generator fusing under
//   -ffp-contract=fast) is found at configuration time by a probe compiled
//   with the module's final options (float_model_probe.cpp).
#pragma once

#if defined(__FAST_MATH__)
#error "tessary_py must not be built with -ffast-math or -Ofast: they reorder, contract and drop signed zeros and NaN, and results must agree to the last bit"
#endif

#if defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__
#error "tessary_py must not be built with -ffinite-math-only: infinities and NaN are valid values and results must agree to the last bit"
#endif

#if defined(__ASSOCIATIVE_MATH__) || defined(__RECIPROCAL_MATH__) || defined(__NO_SIGNED_ZEROS__)
#error "tessary_py must not be built with -funsafe-math-optimizations, -fassociative-math, -freciprocal-math or -fno-signed-zeros: they change the evaluation order or the rounding, and results must agree to the last bit"
#endif

// Arithmetic carried out in a wider format (x87, -mfpmath=387) rounds twice.
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "tessary_py must be built to evaluate double arithmetic in double precision (FLT_EVAL_METHOD 0, for example SSE2 rather than x87): wider intermediates round twice, and results must agree to the last bit"
#endif

#if defined(__clang__)
// Precise semantics for everything that follows, then no contraction even
// within one expression (clang's default for C++ is to contract there).
#pragma float_control(precise, on)
#pragma clang fp contract(off)
#endif
