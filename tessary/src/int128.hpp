// A signed 128-bit integer that only adds, and the full 64 x 64-bit
// product: the partial sums of integers and of their products on the
// fixed-point fast paths of the exact sums.
//
// Targets without a native 128-bit type (32-bit ARM) use the portable
// forms, written with 64-bit halves; they are defined everywhere, so that
// their tests run on every machine against the native forms.
#pragma once

#include <cstdint>

namespace tessary {

// The full product a * b as (high, low) halves, from 32-bit halves.
inline void multiply_wide_portable(std::uint64_t a, std::uint64_t b, std::uint64_t& high, std::uint64_t& low) {
    const std::uint64_t a0 = a & 0xFFFFFFFF, a1 = a >> 32, b0 = b & 0xFFFFFFFF, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
    low = (middle << 32) | (p00 & 0xFFFFFFFF);
    high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}

// The 128-bit sum as a pair of 64-bit halves (two's complement).
class PortableInt128 {
public:
    void add(std::int64_t v) { add_halves(v < 0 ? ~std::uint64_t{0} : 0, static_cast<std::uint64_t>(v)); }
    void add_product(std::int64_t a, std::int64_t b) {
        std::uint64_t high, low;
        multiply_wide_portable(magnitude_of(a), magnitude_of(b), high, low);
        if ((a < 0) != (b < 0)) negate(high, low);
        add_halves(high, low);
    }
    // value += v * 2^shift, for |v| * 2^shift < 2^126.
    void add_shifted(std::int64_t v, int shift) {
        const std::uint64_t sign = v < 0 ? ~std::uint64_t{0} : 0;
        if (shift >= 64) {
            add_halves(static_cast<std::uint64_t>(v) << (shift - 64), 0);
        } else if (shift == 0) {
            add_halves(sign, static_cast<std::uint64_t>(v));
        } else {
            add_halves((sign << shift) | (static_cast<std::uint64_t>(v) >> (64 - shift)),
                       static_cast<std::uint64_t>(v) << shift);
        }
    }
    // value += a * b * 2^shift, for |a * b| * 2^shift < 2^126.
    void add_product_shifted(std::int64_t a, std::int64_t b, int shift) {
        std::uint64_t high, low;
        multiply_wide_portable(magnitude_of(a), magnitude_of(b), high, low);
        if (shift != 0) {
            high = (high << shift) | (low >> (64 - shift));
            low <<= shift;
        }
        if ((a < 0) != (b < 0)) negate(high, low);
        add_halves(high, low);
    }
    bool negative() const { return (high_ >> 63) != 0; }
    // |value| as (high, low) halves.
    void magnitude(std::uint64_t& high, std::uint64_t& low) const {
        high = high_;
        low = low_;
        if (negative()) negate(high, low);
    }

private:
    static std::uint64_t magnitude_of(std::int64_t v) {
        return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    }
    static void negate(std::uint64_t& high, std::uint64_t& low) {
        low = ~low + 1;
        high = ~high + (low == 0 ? 1 : 0);
    }
    void add_halves(std::uint64_t high, std::uint64_t low) {
        const std::uint64_t sum = low_ + low;
        high_ = high_ + high + (sum < low_ ? 1 : 0);
        low_ = sum;
    }
    std::uint64_t high_ = 0;
    std::uint64_t low_ = 0;
};

#if defined(__SIZEOF_INT128__)
#define TESSARY_HAVE_NATIVE_INT128 1
__extension__ typedef unsigned __int128 NativeUint128;
__extension__ typedef __int128 NativeInt128Value;

inline void multiply_wide(std::uint64_t a, std::uint64_t b, std::uint64_t& high, std::uint64_t& low) {
    const NativeUint128 p = static_cast<NativeUint128>(a) * b;
    low = static_cast<std::uint64_t>(p);
    high = static_cast<std::uint64_t>(p >> 64);
}

// PortableInt128's operations on the native type.
class Int128 {
public:
    void add(std::int64_t v) { value_ += v; }
    void add_product(std::int64_t a, std::int64_t b) { value_ += static_cast<NativeInt128Value>(a) * b; }
    void add_shifted(std::int64_t v, int shift) {
        value_ += static_cast<NativeInt128Value>(v) * (NativeInt128Value(1) << shift);
    }
    void add_product_shifted(std::int64_t a, std::int64_t b, int shift) {
        value_ += static_cast<NativeInt128Value>(a) * b * (NativeInt128Value(1) << shift);
    }
    bool negative() const { return value_ < 0; }
    void magnitude(std::uint64_t& high, std::uint64_t& low) const {
        const NativeUint128 m = value_ < 0 ? NativeUint128(0) - static_cast<NativeUint128>(value_)
                                           : static_cast<NativeUint128>(value_);
        low = static_cast<std::uint64_t>(m);
        high = static_cast<std::uint64_t>(m >> 64);
    }

private:
    NativeInt128Value value_ = 0;
};
#else
#define TESSARY_HAVE_NATIVE_INT128 0
inline void multiply_wide(std::uint64_t a, std::uint64_t b, std::uint64_t& high, std::uint64_t& low) {
    multiply_wide_portable(a, b, high, low);
}
using Int128 = PortableInt128;
#endif

}  // namespace tessary
