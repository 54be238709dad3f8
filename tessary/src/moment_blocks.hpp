// The fast paths of the exact moments (moments.hpp): blocks of points
// whose coordinates, read as integers in a common unit, sum exactly in
// 64- and 128-bit integers, each block's totals entering the exact sums
// once. Points that do not fit take the exact sums on their own.
//
// The block kernels come twice where the compiler can target AVX2: as
// they are, and compiled for AVX2 (moment_kernels_avx2), for callers that
// choose by the processor they run on. Integer and exact double
// arithmetic, so both give the same sums bit for bit.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "avx2.hpp"
#include "exact_sum.hpp"
#include "int128.hpp"
#include "moments.hpp"
#include "reduction.hpp"
#include "vec3d.hpp"

namespace tessary {
namespace moment_blocks {

static_assert(sizeof(Vec3d) == 3 * sizeof(double) && std::is_standard_layout_v<Vec3d>);

// The first fast path of the exact sums, for clustered coordinates. In a
// block of points, each component is read as an integer in units of 2^L,
// the lowest mantissa bit of the exponent two (one, for the products)
// below the first point's: a value whose exponent lies in a window of five
// from there is its mantissa shifted by at most four bits, below 2^57.
// The integers and (for the covariance) their products are summed exactly,
// and each block's totals enter the exact sums once. Map coordinates (x
// near 5e5, y near 5e6, a ground z), whose values share one or two
// binades, take it always; a block with any other value (outside the
// window, an infinity, a NaN) takes the second path (add_wide_block).
//
// The loops work on four points at a time as twelve independent lanes
// (x y z x | y z x y | z x y z), so that they are vectorised; where the
// processor has AVX2 a second copy is compiled for it. Integer arithmetic
// is exact, so both give the same sums.
inline constexpr std::size_t kLanes = 12;
inline constexpr std::size_t kSumBlock = 128;  // 32 values a lane below 2^57: the lane sums stay below 2^62
// 128 points: every partial sum of products below stays below 2^63.
inline constexpr std::size_t kProductBlock = 128;
inline constexpr int kProductBlockBits = 7;
static_assert(kProductBlock == std::size_t{1} << kProductBlockBits);

// The exponent field that is unit 1, per component.
struct Frame {
    std::int64_t base[3];
};

// The frame of a block from its first point, each unit 2^below below that
// point's lowest mantissa bit; false where such a frame would let a
// subnormal, an infinity or a NaN through (the first point is zero,
// subnormal, huge or not finite), so that the block takes the second path.
inline bool frame_of(const double* first, std::int64_t below, Frame& f) {
    for (std::size_t j = 0; j < 3; ++j) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(first[j]);
        f.base[j] = static_cast<std::int64_t>((bits >> 52) & 0x7FF) - below;
        if (f.base[j] < 1 || f.base[j] + 4 >= 0x7FF) return false;
    }
    return true;
}

// The value as an integer in the frame's units; `bad` gets a non-zero bit
// unless it fits: a zero always, else an exponent field in [base,
// base + 4] (no subnormal: base >= 1, checked with the frame; no infinity
// or NaN: base + 4 < 0x7FF, likewise).
inline std::int64_t fixed(double v, std::int64_t base, std::uint64_t& bad) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    const auto field = static_cast<std::int64_t>((bits >> 52) & 0x7FF);
    const auto shift = static_cast<std::uint64_t>(field - base);
    const std::uint64_t nonzero = (bits << 1) != 0 ? ~std::uint64_t{0} : 0;
    bad |= (shift > 4 ? ~std::uint64_t{0} : 0) & nonzero;
    const std::uint64_t mantissa = ((bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52)) & nonzero;
    const auto magnitude = static_cast<std::int64_t>(mantissa << (shift & 7));
    const std::int64_t flip = -static_cast<std::int64_t>(bits >> 63);
    return (magnitude ^ flip) - flip;
}

// Sums of one block of kSumBlock points (a multiple of 4) by lane; false
// when a value does not fit the frame.
inline bool lane_sums(const double* flat, std::size_t points, const Frame& f, std::int64_t* sums) {
    std::uint64_t bad[kLanes] = {};
    // Unsigned, so that the sums of values that do not fit (discarded)
    // wrap instead of overflowing.
    std::uint64_t total[kLanes] = {};
    for (std::size_t i = 0; i < 3 * points; i += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            total[l] += static_cast<std::uint64_t>(fixed(flat[i + l], f.base[l % 3], bad[l]));
        }
    }
    std::uint64_t any = 0;
    for (std::size_t l = 0; l < kLanes; ++l) {
        sums[l] = static_cast<std::int64_t>(total[l]);
        any |= bad[l];
    }
    return any == 0;
}

// A block's integers (in the order of the points' components), each taken
// relative to the block's first point, so that clustered points give small
// integers d, |d| < 2^52, and offset by 2^52 to make them non-negative:
// e = d + 2^52 < 2^53, split into e = hi * 2^26 + lo with hi < 2^27 and
// lo < 2^26, one array per component. Products of such halves are exact
// in 64-bit integers (the vectorised unsigned 32 x 32 -> 64 multiply), and
// 128 of them sum below 2^61 (2^63 for the products of hi + lo, below
// 2^28). False when a value lies 2^52 units or more from the first point.
inline constexpr int kHalf = 26;
inline constexpr std::int64_t kOffset = std::int64_t{1} << 52;

inline bool split_block(const std::int64_t* xs, std::uint32_t (*hi)[kProductBlock],
                        std::uint32_t (*lo)[kProductBlock], std::int64_t* first) {
    std::int64_t column[3][kProductBlock];
    for (std::size_t i = 0; i < kProductBlock; ++i) {
        for (std::size_t j = 0; j < 3; ++j) column[j][i] = xs[3 * i + j];
    }
    std::uint64_t bad = 0;
    for (std::size_t j = 0; j < 3; ++j) {
        first[j] = column[j][0];
        for (std::size_t i = 0; i < kProductBlock; ++i) {
            const std::int64_t d = column[j][i] - first[j];
            bad |= (d >= kOffset || d <= -kOffset) ? ~std::uint64_t{0} : 0;
            const auto e = static_cast<std::uint64_t>(d + kOffset);
            hi[j][i] = static_cast<std::uint32_t>(e >> kHalf);
            lo[j][i] = static_cast<std::uint32_t>(e & ((std::uint64_t{1} << kHalf) - 1));
        }
    }
    return bad == 0;
}

// Per entry (xx, xy, xz, yy, yz, zz) the sums of hi*hi', hi*lo' + lo*hi'
// and lo*lo' over the block, and per component the sum of e.
struct ProductSums {
    std::uint64_t hh[6];
    std::uint64_t cross[6];
    std::uint64_t ll[6];
    std::uint64_t e[3];
};

inline void product_sums(const std::uint32_t (*hi)[kProductBlock], const std::uint32_t (*lo)[kProductBlock],
                         ProductSums& out) {
    constexpr int pairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    for (int p = 0; p < 6; ++p) {
        const std::uint32_t* hj = hi[pairs[p][0]];
        const std::uint32_t* hk = hi[pairs[p][1]];
        const std::uint32_t* lj = lo[pairs[p][0]];
        const std::uint32_t* lk = lo[pairs[p][1]];
        std::uint64_t hh = 0, cross = 0, ll = 0;
        for (std::size_t i = 0; i < kProductBlock; ++i) {
            hh += std::uint64_t{hj[i]} * hk[i];
            cross += std::uint64_t{hj[i]} * lk[i] + std::uint64_t{lj[i]} * hk[i];
            ll += std::uint64_t{lj[i]} * lk[i];
        }
        out.hh[p] = hh;
        out.cross[p] = cross;
        out.ll[p] = ll;
    }
    for (int j = 0; j < 3; ++j) {
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < kProductBlock; ++i) total += (std::uint64_t{hi[j][i]} << kHalf) + lo[j][i];
        out.e[j] = total;
    }
}


inline bool sums_plain(const double* flat, std::size_t points, const Frame& f, std::int64_t* sums) {
    return lane_sums(flat, points, f, sums);
}

inline bool products_plain(const double* flat, const Frame& f, std::int64_t* first, ProductSums& out) {
    std::int64_t xs[3 * kProductBlock];
    std::uint64_t bad = 0;
    for (std::size_t k = 0; k < 3 * kProductBlock; ++k) xs[k] = fixed(flat[k], f.base[k % 3], bad);
    std::uint32_t hi[3][kProductBlock], lo[3][kProductBlock];
    if (bad != 0 || !split_block(xs, hi, lo, first)) return false;
    product_sums(hi, lo, out);
    return true;
}

// Both block kernels of one build.
struct Kernels {
    bool (*sums)(const double*, std::size_t, const Frame&, std::int64_t*);
    bool (*products)(const double*, const Frame&, std::int64_t*, ProductSums&);
};

inline constexpr Kernels kPlainKernels{&sums_plain, &products_plain};

#if TESSARY_HAVE_AVX2_TWINS
// fixed() on four values at once, lane by lane the same integers.
[[gnu::target("avx2")]] inline __m256i fixed4(__m256d v, __m256i base, __m256i& bad) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i bits = _mm256_castpd_si256(v);
    const __m256i field = _mm256_and_si256(_mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(0x7FF));
    const __m256i shift = _mm256_sub_epi64(field, base);
    const __m256i is_zero = _mm256_cmpeq_epi64(_mm256_slli_epi64(bits, 1), zero);
    const __m256i outside =
        _mm256_or_si256(_mm256_cmpgt_epi64(shift, _mm256_set1_epi64x(4)), _mm256_cmpgt_epi64(zero, shift));
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(is_zero, outside));
    const __m256i mantissa = _mm256_andnot_si256(
        is_zero, _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x((std::int64_t{1} << 52) - 1)),
                                 _mm256_set1_epi64x(std::int64_t{1} << 52)));
    const __m256i magnitude = _mm256_sllv_epi64(mantissa, _mm256_and_si256(shift, _mm256_set1_epi64x(7)));
    const __m256i flip = _mm256_sub_epi64(zero, _mm256_srli_epi64(bits, 63));
    return _mm256_sub_epi64(_mm256_xor_si256(magnitude, flip), flip);
}

// Four points (twelve values) at a time: three vectors whose lanes hold
// the components x y z x | y z x y | z x y z.
struct Bases {
    __m256i lanes[3];
};

[[gnu::target("avx2")]] inline Bases bases_of(const Frame& f) {
    const std::int64_t x = f.base[0], y = f.base[1], z = f.base[2];
    return {{_mm256_setr_epi64x(x, y, z, x), _mm256_setr_epi64x(y, z, x, y), _mm256_setr_epi64x(z, x, y, z)}};
}

[[gnu::target("avx2")]] inline bool sums_avx2(const double* flat, std::size_t points, const Frame& f, std::int64_t* sums) {
    const Bases b = bases_of(f);
    __m256i bad = _mm256_setzero_si256();
    __m256i total[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    for (std::size_t i = 0; i < 3 * points; i += kLanes) {
        for (int v = 0; v < 3; ++v) {
            total[v] = _mm256_add_epi64(total[v], fixed4(_mm256_loadu_pd(flat + i + 4 * v), b.lanes[v], bad));
        }
    }
    for (int v = 0; v < 3; ++v) _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + 4 * v), total[v]);
    return _mm256_testz_si256(bad, bad) != 0;
}

// The same sums as products_plain, in registers: each group of four
// points is turned from the lanes x y z x | y z x y | z x y z into one
// vector per component by blends and a permutation, split into halves in
// its 64-bit lanes (the unsigned multiply reads their low 32 bits), and
// multiplied and summed there.
[[gnu::target("avx2")]] inline std::uint64_t sum_lanes(__m256i v) {
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

[[gnu::target("avx2")]] inline bool products_avx2(const double* flat, const Frame& f, std::int64_t* first,
                                           ProductSums& out) {
    // Here the differences come from the doubles themselves: with r the
    // first point's component, d = x - r is exact wherever |d| < 2^51
    // units (a quarter of r's binade or less: Sterbenz's lemma), and so is
    // its scaling to units, a power of two; such integer-valued doubles
    // convert to integers through the bits of 1.5 * 2^52 + d. Values
    // further away, or not finite, fail the block as in the plain kernel
    // (which may accept a block this one refuses: both give the same
    // exact sums). Units finer than 2^-1023 would not scale: tiny
    // coordinates take the second path.
    std::uint64_t first_bad = 0;
    for (std::size_t j = 0; j < 3; ++j) {
        first[j] = fixed(flat[j], f.base[j], first_bad);
        if (f.base[j] < 52) return false;
    }
    const __m256d origin[3] = {_mm256_set1_pd(flat[0]), _mm256_set1_pd(flat[1]), _mm256_set1_pd(flat[2])};
    __m256d scale[3], limit[3];
    for (int j = 0; j < 3; ++j) {
        scale[j] = _mm256_set1_pd(std::ldexp(1.0, static_cast<int>(1075 - f.base[j])));
        limit[j] = _mm256_set1_pd(std::ldexp(1.0, static_cast<int>(51 + f.base[j] - 1075)));
    }
    const __m256d magnitude_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m256d magic = _mm256_set1_pd(0x1.8p52);
    const __m256i magic_bits = _mm256_castpd_si256(magic);
    const __m256i offset = _mm256_set1_epi64x(kOffset);
    const __m256i half_mask = _mm256_set1_epi64x((std::int64_t{1} << kHalf) - 1);
    const __m256i zero = _mm256_setzero_si256();
    __m256i bad = zero;
    // cross = hi*lo' + lo*hi' is summed as (hi + lo)(hi' + lo') less the
    // other two, once at the end: three multiplies a pair, not four.
    __m256i hh[6], both[6], ll[6], e_sum[3];
    for (int p = 0; p < 6; ++p) hh[p] = both[p] = ll[p] = zero;
    for (int j = 0; j < 3; ++j) e_sum[j] = zero;
    constexpr int pairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    for (std::size_t i = 0; i < 3 * kProductBlock; i += kLanes) {
        const __m256d a = _mm256_loadu_pd(flat + i);      // x0 y0 z0 x1
        const __m256d c = _mm256_loadu_pd(flat + i + 4);  // y1 z1 x2 y2
        const __m256d d = _mm256_loadu_pd(flat + i + 8);  // z2 x3 y3 z3
        const __m256d component[3] = {
            _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(a, c, 0b0100), d, 0b0010), _MM_SHUFFLE(1, 2, 3, 0)),
            _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(a, c, 0b1001), d, 0b0100), _MM_SHUFFLE(2, 3, 0, 1)),
            _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(a, c, 0b0010), d, 0b1001), _MM_SHUFFLE(3, 0, 1, 2)),
        };
        __m256i hi[3], lo[3], sum[3];
        for (int j = 0; j < 3; ++j) {
            const __m256d diff = _mm256_sub_pd(component[j], origin[j]);
            const __m256d inside = _mm256_cmp_pd(_mm256_and_pd(diff, magnitude_mask), limit[j], _CMP_LT_OQ);
            bad = _mm256_or_si256(bad, _mm256_andnot_si256(_mm256_castpd_si256(inside), _mm256_set1_epi64x(-1)));
            const __m256d units = _mm256_mul_pd(diff, scale[j]);
            const __m256i integer = _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(units, magic)), magic_bits);
            const __m256i e = _mm256_add_epi64(integer, offset);
            e_sum[j] = _mm256_add_epi64(e_sum[j], e);
            hi[j] = _mm256_srli_epi64(e, kHalf);
            lo[j] = _mm256_and_si256(e, half_mask);
            sum[j] = _mm256_add_epi64(hi[j], lo[j]);  // below 2^28: its products below 2^56
        }
        for (int p = 0; p < 6; ++p) {
            const int j = pairs[p][0], k = pairs[p][1];
            hh[p] = _mm256_add_epi64(hh[p], _mm256_mul_epu32(hi[j], hi[k]));
            both[p] = _mm256_add_epi64(both[p], _mm256_mul_epu32(sum[j], sum[k]));
            ll[p] = _mm256_add_epi64(ll[p], _mm256_mul_epu32(lo[j], lo[k]));
        }
    }
    if (first_bad != 0 || _mm256_testz_si256(bad, bad) == 0) return false;
    for (int p = 0; p < 6; ++p) {
        out.hh[p] = sum_lanes(hh[p]);
        out.ll[p] = sum_lanes(ll[p]);
        out.cross[p] = (sum_lanes(both[p]) - out.hh[p]) - out.ll[p];
    }
    for (int j = 0; j < 3; ++j) out.e[j] = sum_lanes(e_sum[j]);
    return true;
}

inline constexpr Kernels kAvx2Kernels{&sums_avx2, &products_avx2};
#endif

// The lowest-bit weight of the frame's unit for lane (component) j.
inline int unit_exponent(const Frame& f, std::size_t j) { return static_cast<int>(f.base[j]) - 1075; }

inline bool add_sums_block(const double* flat, std::size_t points, const Kernels& kernels, Moments& m) {
    Frame f;
    std::int64_t lanes[kLanes];
    if (!frame_of(flat, 2, f) || !kernels.sums(flat, points, f, lanes)) return false;
    for (std::size_t j = 0; j < 3; ++j) {
        Int128 total;
        for (std::size_t l = j; l < kLanes; l += 3) total.add(lanes[l]);
        m.sums[j].add_integer(total, unit_exponent(f, j));
    }
    m.count += points;
    return true;
}

inline bool add_products_block(const double* flat, const Kernels& kernels, Moments& m) {
    // Units of half the first point's lowest bit: values from half its
    // binade up to eight times it.
    Frame f;
    std::int64_t first[3];
    ProductSums s;
    if (!frame_of(flat, 1, f) || !kernels.products(flat, f, first, s)) return false;
    // In integer units, x = first + d and d = e - 2^52, so with n points
    //   sum x = n first + sum e - n 2^52,
    //   sum d d' = sum e e' - 2^52 (sum e + sum e') + n 2^104,
    //   sum x x' = n first first' + first sum d' + first' sum d + sum d d',
    // and sum e e' = 2^52 hh + 2^26 cross + ll.
    constexpr auto n = static_cast<std::int64_t>(kProductBlock);
    std::int64_t d[3];
    for (std::size_t j = 0; j < 3; ++j) {
        d[j] = static_cast<std::int64_t>(s.e[j]) - (n << 52);  // |sum d| < 2^59
        Int128 total;
        total.add_product(first[j], n);
        total.add(d[j]);
        m.sums[j].add_integer(total, unit_exponent(f, j));
    }
    for (std::size_t j = 0; j < 3; ++j) {
        for (std::size_t k = j; k < 3; ++k) {
            const std::size_t p = Moments::product_index(j, k);
            Int128 total;
            total.add_product_shifted(first[j], first[k], kProductBlockBits);
            total.add_product(first[j], d[k]);
            total.add_product(first[k], d[j]);
            total.add_shifted(static_cast<std::int64_t>(s.hh[p]), 2 * kHalf);
            total.add_shifted(static_cast<std::int64_t>(s.cross[p]), kHalf);
            total.add(static_cast<std::int64_t>(s.ll[p]));
            total.add_shifted(-(static_cast<std::int64_t>(s.e[j]) + static_cast<std::int64_t>(s.e[k])), 52);
            total.add_shifted(1, 104 + kProductBlockBits);
            m.products[p].add_integer(total, unit_exponent(f, j) + unit_exponent(f, k));
        }
    }
    m.count += kProductBlock;
    return true;
}

// The second path, for points that are not clustered (a cloud around the
// origin, say): a few points at a time, each component in units of the
// lowest mantissa bit eight binades below the largest value's, so that
// every value within those binades is an integer below 2^61 and 16
// products of two of them sum below 2^126 in 128-bit integers. A point
// with a component smaller than that (or not finite) takes the exact sums
// on its own. Scalar code: the 128-bit products have no vector form.
inline constexpr std::size_t kWideBlock = 16;
inline constexpr int kWideBinades = 8;

template <bool Products>
void add_wide_block(const Vec3d* points, std::size_t count, Moments& m) {
    const double* flat = reinterpret_cast<const double*>(points);
    std::int64_t base[3] = {0, 0, 0};
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            const auto field = static_cast<std::int64_t>((std::bit_cast<std::uint64_t>(flat[3 * i + j]) >> 52) & 0x7FF);
            base[j] = std::max(base[j], field);
        }
    }
    for (std::int64_t& b : base) b = std::max<std::int64_t>(b - kWideBinades, 1);
    Int128 sums[3];
    Int128 products[6];
    std::uint64_t taken = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t x[3];
        bool fits = true;
        for (std::size_t j = 0; j < 3; ++j) {
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(flat[3 * i + j]);
            const auto field = static_cast<std::int64_t>((bits >> 52) & 0x7FF);
            const std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
            if (field == 0x7FF) {
                fits = false;
                x[j] = 0;
            } else if (field == 0 || field < base[j]) {
                // Below the units: fits only as a zero, or as a subnormal
                // where the units are the subnormals' own (base 1).
                fits = fits && field == 0 && (mantissa == 0 || base[j] == 1);
                x[j] = static_cast<std::int64_t>(mantissa);
            } else {
                x[j] = static_cast<std::int64_t>((mantissa | (std::uint64_t{1} << 52)) << (field - base[j]));
            }
            if (bits >> 63) x[j] = -x[j];
        }
        if (!fits) {
            m.add(points[i], Products);
            continue;
        }
        ++taken;
        for (std::size_t j = 0; j < 3; ++j) sums[j].add(x[j]);
        if constexpr (Products) {
            products[0].add_product(x[0], x[0]);
            products[1].add_product(x[0], x[1]);
            products[2].add_product(x[0], x[2]);
            products[3].add_product(x[1], x[1]);
            products[4].add_product(x[1], x[2]);
            products[5].add_product(x[2], x[2]);
        }
    }
    for (std::size_t j = 0; j < 3; ++j) m.sums[j].add_integer(sums[j], static_cast<int>(base[j]) - 1075);
    if constexpr (Products) {
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = j; k < 3; ++k) {
                const std::size_t p = Moments::product_index(j, k);
                m.products[p].add_integer(products[p], static_cast<int>(base[j] + base[k]) - 2150);
            }
        }
    }
    m.count += taken;
}

template <bool Products>
void add_range(std::span<const Vec3d> points, const Kernels& kernels, Moments& m) {
    constexpr std::size_t block = Products ? kProductBlock : kSumBlock;
    static_assert(block % kWideBlock == 0);
    const double* flat = reinterpret_cast<const double*>(points.data());
    std::size_t start = 0;
    for (; start + block <= points.size(); start += block) {
        const double* at = flat + 3 * start;
        const bool done = Products ? add_products_block(at, kernels, m) : add_sums_block(at, block, kernels, m);
        if (done) continue;
        for (std::size_t i = start; i < start + block; i += kWideBlock) {
            add_wide_block<Products>(points.data() + i, kWideBlock, m);
        }
    }
    for (; start < points.size(); start += kWideBlock) {
        add_wide_block<Products>(points.data() + start, std::min(kWideBlock, points.size() - start), m);
    }
}

}  // namespace moment_blocks

// Points per chunk of the exact moments: at least kMomentsChunk, a whole
// number of blocks, and few enough chunks that their partial sums (some
// ten kilobytes each) stay small. Exact partial sums merge exactly, so
// the chunks may be cut anyhow.
inline constexpr std::size_t kMomentsChunk = 16384;
inline constexpr std::size_t kMostMomentChunks = 256;

// The exact sums of the points (with Products, of their products too),
// their blocks summed by `kernels` (moment_blocks::kPlainKernels, or
// kAvx2Kernels where the processor has AVX2), in chunks shared out by
// for_ranges.
template <bool Products, class ForRanges>
Moments moments_of(std::span<const Vec3d> points, const moment_blocks::Kernels& kernels, const ForRanges& for_ranges) {
    if (points.empty()) return {};
    constexpr std::size_t block = moment_blocks::kProductBlock;
    const std::size_t spread = (points.size() + kMostMomentChunks - 1) / kMostMomentChunks;
    const std::size_t chunk = std::max(kMomentsChunk, (spread + block - 1) / block * block);
    return combine_in_chunks<Moments>(
        points.size(), chunk,
        [&](std::size_t begin, std::size_t end) {
            Moments m;
            moment_blocks::add_range<Products>(points.subspan(begin, end - begin), kernels, m);
            return m;
        },
        [](Moments left, const Moments& right) {
            left.merge(right);
            return left;
        },
        for_ranges, 1);
}

}  // namespace tessary
