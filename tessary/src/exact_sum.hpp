// Exact sums of doubles and of products of two doubles, rounded once.
//
// ExactSum keeps a sum without any rounding: the value is a signed integer
// in units of 2^kLowest, held as digits of 32 bits in 64-bit chunks (a
// "small superaccumulator"). Adding places a number's integer mantissa,
// shifted to its exponent, into three chunks (six for the 106-bit product
// of two mantissas); each adds less than 2^32 to a chunk, so a chunk has
// room for 2^31 additions before carries must move up, and they are
// propagated only now and then. Two sums merge exactly, so partial sums over any
// division of the work give the same total: results do not depend on the
// order of the terms, the number of threads or the platform.
//
// The range covers every product of two finite doubles (2^-2148 up to
// 2^2048) summed up to 2^63 times. Special values are counted aside and
// decide the result by one rule: any NaN gives NaN, +inf and -inf together
// give NaN, otherwise an infinity gives itself. A finite exact sum outside
// the range of doubles rounds to the infinity of its sign.
//
// The value read out of a sum is an ExactValue (exact_value.hpp).
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "exact_value.hpp"
#include "int128.hpp"

namespace tessary {

class ExactSum {
public:
    // The weight of the lowest bit of chunk 0: below the lowest bit of a
    // product of two subnormals (2^-2148), on a digit boundary.
    static constexpr int kLowest = -2176;
    static constexpr int kDigitBits = 32;
    // Up to 2^2048 * 2^63 plus the sign, in whole digits.
    static constexpr int kChunks = (2048 + 64 - kLowest) / kDigitBits + 2;

    void add(double v) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
        const int field = static_cast<int>((bits >> 52) & 0x7FF);
        if (field == 0x7FF) {
            note_special(v);
            return;
        }
        std::uint64_t mantissa = bits & kMantissaMask;
        if (mantissa == 0 && field == 0) return;
        if (field != 0) mantissa |= kHiddenBit;
        deposit(mantissa, lowest_bit(field), (bits >> 63) != 0);
    }

    // Adds a * b exactly: the product of the integer mantissas, at the sum
    // of the exponents. inf * 0 counts as a NaN, as IEEE 754 has it.
    void add_product(double a, double b) {
        const std::uint64_t abits = std::bit_cast<std::uint64_t>(a);
        const std::uint64_t bbits = std::bit_cast<std::uint64_t>(b);
        const int afield = static_cast<int>((abits >> 52) & 0x7FF);
        const int bfield = static_cast<int>((bbits >> 52) & 0x7FF);
        if (afield == 0x7FF || bfield == 0x7FF) {
            note_special(a * b);
            return;
        }
        std::uint64_t am = abits & kMantissaMask;
        std::uint64_t bm = bbits & kMantissaMask;
        if (afield != 0) am |= kHiddenBit;
        if (bfield != 0) bm |= kHiddenBit;
        if (am == 0 || bm == 0) return;
        std::uint64_t high, low;
        multiply_wide(am, bm, high, low);
        const bool negative = ((abits ^ bbits) >> 63) != 0;
        const int lowest = lowest_bit(afield) + lowest_bit(bfield);
        deposit(low, lowest, negative);
        if (high != 0) deposit(high, lowest + 64, negative);
    }

    // Adds value * 2^lowest exactly, for lowest within the range (the
    // integer partial sums of the fast paths).
    void add_integer(const Int128& value, int lowest) {
        std::uint64_t high, low;
        value.magnitude(high, low);
        if (low != 0) deposit(low, lowest, value.negative());
        if (high != 0) deposit(high, lowest + 64, value.negative());
    }

    void merge(const ExactSum& other) {
        if (pending_ + other.pending_ >= kCarryEvery) carry();
        for (int k = 0; k < kChunks; ++k) chunks_[k] += other.chunks_[k];
        pending_ += other.pending_ + 1;
        nan_ |= other.nan_;
        positive_infinity_ |= other.positive_infinity_;
        negative_infinity_ |= other.negative_infinity_;
    }

    // Whether a NaN or an infinity was added.
    bool has_special() const { return nan_ || positive_infinity_ || negative_infinity_; }

    // The special result by the rule above, or 0.0 when none was added.
    double special() const {
        if (nan_ || (positive_infinity_ && negative_infinity_)) return std::numeric_limits<double>::quiet_NaN();
        if (positive_infinity_) return std::numeric_limits<double>::infinity();
        if (negative_infinity_) return -std::numeric_limits<double>::infinity();
        return 0.0;
    }

    // The exact sum rounded to the nearest double, ties to even; +0.0 for
    // an exact zero.
    double round() const;

    // The exact value of the finite part (the special values left out).
    ExactValue value() const;

private:
    static constexpr std::uint64_t kMantissaMask = (std::uint64_t{1} << 52) - 1;
    static constexpr std::uint64_t kHiddenBit = std::uint64_t{1} << 52;
    static constexpr std::uint64_t kDigitMask = 0xFFFFFFFF;
    // Every deposit adds less than 2^32 to a chunk, so 2^30 of them leave
    // room to spare in 63 bits.
    static constexpr std::uint32_t kCarryEvery = std::uint32_t{1} << 30;

    // The weight of the lowest mantissa bit of a number with this exponent
    // field (subnormals share the field 1's).
    static int lowest_bit(int field) { return (field == 0 ? 1 : field) - 1075; }

    // Adds (negative ? -1 : 1) * magnitude * 2^lowest, magnitude < 2^64,
    // as three digits: 64 bits shifted by up to 31 span 95.
    void deposit(std::uint64_t magnitude, int lowest, bool negative) {
        const int position = lowest - kLowest;
        const int chunk = position >> 5;
        const int shift = position & 31;
        const std::uint64_t low = magnitude << shift;
        const std::uint64_t high = shift == 0 ? 0 : magnitude >> (64 - shift);
        const std::int64_t flip = -static_cast<std::int64_t>(negative);
        const auto d0 = static_cast<std::int64_t>(low & kDigitMask);
        const auto d1 = static_cast<std::int64_t>(low >> 32);
        const auto d2 = static_cast<std::int64_t>(high);
        chunks_[chunk] += (d0 ^ flip) - flip;
        chunks_[chunk + 1] += (d1 ^ flip) - flip;
        chunks_[chunk + 2] += (d2 ^ flip) - flip;
        if (++pending_ >= kCarryEvery) carry();
    }

    void note_special(double v) {
        if (std::isnan(v)) {
            nan_ = true;
        } else if (v > 0) {
            positive_infinity_ = true;
        } else {
            negative_infinity_ = true;
        }
    }

    // Moves everything above 32 bits of each chunk into the next one; the
    // value is unchanged.
    void carry() {
        for (int k = 0; k + 1 < kChunks; ++k) {
            const std::int64_t high = chunks_[k] >> kDigitBits;  // arithmetic: floor division
            chunks_[k] -= high * (std::int64_t{1} << kDigitBits);
            chunks_[k + 1] += high;
        }
        pending_ = 0;
    }

    std::array<std::int64_t, kChunks> chunks_{};
    std::uint32_t pending_ = 0;
    bool nan_ = false;
    bool positive_infinity_ = false;
    bool negative_infinity_ = false;
};

inline ExactValue ExactSum::value() const {
    // Carry through every chunk; what is left above the top is the sign.
    std::vector<std::uint32_t> digits(kChunks, 0);
    std::int64_t carry = 0;
    for (int k = 0; k < kChunks; ++k) {
        // chunk + carry cannot overflow: chunks hold less than 2^62 in size.
        const std::int64_t v = chunks_[k] + carry;
        digits[k] = static_cast<std::uint32_t>(v & 0xFFFFFFFF);
        carry = v >> kDigitBits;
    }
    const bool negative = carry < 0;
    if (negative) {
        // The two's complement of the digit string.
        std::uint64_t borrow = 1;
        for (auto& d : digits) {
            const std::uint64_t t = std::uint64_t{static_cast<std::uint32_t>(~d)} + borrow;
            d = static_cast<std::uint32_t>(t);
            borrow = t >> 32;
        }
    }
    return {negative, std::move(digits), kLowest};
}

inline double ExactSum::round() const {
    if (has_special()) return special();
    return value().divided_rounded(1);
}

}  // namespace tessary
