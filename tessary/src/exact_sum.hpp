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
// ExactValue is the exact value read out of a sum (sign, magnitude digits,
// exponent), with the few exact operations the statistics need: products,
// differences, and the quotient by integers rounded once to the nearest
// double (ties to even).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace tessary {

namespace detail {

// TESSARY_PORTABLE_INT128 builds the code of targets without a 128-bit
// integer type (32-bit ARM) anywhere, for its tests.
#if defined(__SIZEOF_INT128__) && !defined(TESSARY_PORTABLE_INT128)
__extension__ typedef unsigned __int128 Uint128;
__extension__ typedef __int128 Int128Native;

// The full product a * b as (high, low) halves.
inline void multiply_wide(std::uint64_t a, std::uint64_t b, std::uint64_t& high, std::uint64_t& low) {
    const Uint128 p = static_cast<Uint128>(a) * b;
    low = static_cast<std::uint64_t>(p);
    high = static_cast<std::uint64_t>(p >> 64);
}
#else
// From 32-bit halves, for targets without a 128-bit integer type.
inline void multiply_wide(std::uint64_t a, std::uint64_t b, std::uint64_t& high, std::uint64_t& low) {
    const std::uint64_t a0 = a & 0xFFFFFFFF, a1 = a >> 32, b0 = b & 0xFFFFFFFF, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
    low = (middle << 32) | (p00 & 0xFFFFFFFF);
    high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}
#endif

}  // namespace detail

// A signed 128-bit integer that only adds: the partial sums of integers and
// of their products on the fixed-point fast paths.
class Int128 {
public:
#if defined(__SIZEOF_INT128__) && !defined(TESSARY_PORTABLE_INT128)
    void add(std::int64_t v) { value_ += v; }
    void add_product(std::int64_t a, std::int64_t b) { value_ += static_cast<detail::Int128Native>(a) * b; }
    // value += v * 2^shift, for |v| * 2^shift < 2^126.
    void add_shifted(std::int64_t v, int shift) {
        value_ += static_cast<detail::Int128Native>(v) * (detail::Int128Native(1) << shift);
    }
    // value += a * b * 2^shift, for |a * b| * 2^shift < 2^126.
    void add_product_shifted(std::int64_t a, std::int64_t b, int shift) {
        value_ += static_cast<detail::Int128Native>(a) * b * (detail::Int128Native(1) << shift);
    }
    bool negative() const { return value_ < 0; }
    // |value| as (high, low) halves.
    void magnitude(std::uint64_t& high, std::uint64_t& low) const {
        const detail::Uint128 m = value_ < 0 ? detail::Uint128(0) - static_cast<detail::Uint128>(value_)
                                             : static_cast<detail::Uint128>(value_);
        low = static_cast<std::uint64_t>(m);
        high = static_cast<std::uint64_t>(m >> 64);
    }

private:
    detail::Int128Native value_ = 0;
#else
    void add(std::int64_t v) { add_halves(v < 0 ? ~std::uint64_t{0} : 0, static_cast<std::uint64_t>(v)); }
    void add_product(std::int64_t a, std::int64_t b) {
        const std::uint64_t ma = a < 0 ? 0 - static_cast<std::uint64_t>(a) : static_cast<std::uint64_t>(a);
        const std::uint64_t mb = b < 0 ? 0 - static_cast<std::uint64_t>(b) : static_cast<std::uint64_t>(b);
        std::uint64_t high, low;
        detail::multiply_wide(ma, mb, high, low);
        if ((a < 0) != (b < 0)) negate(high, low);
        add_halves(high, low);
    }
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
    void add_product_shifted(std::int64_t a, std::int64_t b, int shift) {
        const std::uint64_t ma = a < 0 ? 0 - static_cast<std::uint64_t>(a) : static_cast<std::uint64_t>(a);
        const std::uint64_t mb = b < 0 ? 0 - static_cast<std::uint64_t>(b) : static_cast<std::uint64_t>(b);
        std::uint64_t high, low;
        detail::multiply_wide(ma, mb, high, low);
        if (shift != 0) {
            high = (high << shift) | (low >> (64 - shift));
            low <<= shift;
        }
        if ((a < 0) != (b < 0)) negate(high, low);
        add_halves(high, low);
    }
    bool negative() const { return (high_ >> 63) != 0; }
    void magnitude(std::uint64_t& high, std::uint64_t& low) const {
        high = high_;
        low = low_;
        if (negative()) negate(high, low);
    }

private:
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
#endif
};

class ExactValue;

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
        detail::multiply_wide(am, bm, high, low);
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

// sign * magnitude * 2^lowest, magnitude in 32-bit digits, least
// significant first, without leading zero digits.
class ExactValue {
public:
    ExactValue() = default;
    ExactValue(bool negative, std::vector<std::uint32_t> digits, int lowest)
        : negative_(negative), digits_(std::move(digits)), lowest_(lowest) {
        trim();
    }

    bool is_zero() const { return digits_.empty(); }

    // The exact product with a non-negative integer.
    ExactValue times(std::uint64_t factor) const {
        const ExactValue integer(false, {static_cast<std::uint32_t>(factor), static_cast<std::uint32_t>(factor >> 32)}, 0);
        return times(integer);
    }

    // The exact product of two values.
    ExactValue times(const ExactValue& other) const {
        if (is_zero() || other.is_zero()) return {};
        std::vector<std::uint32_t> out(digits_.size() + other.digits_.size(), 0);
        for (std::size_t i = 0; i < digits_.size(); ++i) {
            std::uint64_t carry = 0;
            for (std::size_t j = 0; j < other.digits_.size(); ++j) {
                const std::uint64_t t = std::uint64_t{digits_[i]} * other.digits_[j] + out[i + j] + carry;
                out[i + j] = static_cast<std::uint32_t>(t);
                carry = t >> 32;
            }
            out[i + other.digits_.size()] = static_cast<std::uint32_t>(carry);
        }
        return {negative_ != other.negative_, std::move(out), lowest_ + other.lowest_};
    }

    // The exact difference this - other.
    ExactValue minus(const ExactValue& other) const {
        if (other.is_zero()) return *this;
        if (is_zero()) return {!other.negative_, other.digits_, other.lowest_};
        // Both on the finer of the two grids.
        const int lowest = std::min(lowest_, other.lowest_);
        const std::vector<std::uint32_t> a = aligned(lowest);
        const std::vector<std::uint32_t> b = other.aligned(lowest);
        if (negative_ != other.negative_) return {negative_, add_magnitudes(a, b), lowest};
        if (compare_magnitudes(a, b) >= 0) return {negative_, subtract_magnitudes(a, b), lowest};
        return {!negative_, subtract_magnitudes(b, a), lowest};
    }

    // The value divided by first and then by second (both > 0), rounded
    // once to the nearest double, ties to even: floor(floor(x / a) / b) is
    // floor(x / (a b)), and what either division leaves over only decides
    // the rounding. Beyond the range of doubles: the infinity of the sign.
    double divided_rounded(std::uint64_t first, std::uint64_t second = 1) const {
        if (is_zero()) return 0.0;
        // Four more digits: the quotient keeps at least 64 bits.
        std::vector<std::uint32_t> q(digits_.size() + 4, 0);
        std::copy(digits_.begin(), digits_.end(), q.begin() + 4);
        bool inexact = divide(q, first);
        inexact = divide(q, second) || inexact;
        return round_digits(negative_, q, lowest_ - 128, inexact);
    }

    // The value divided by `divisor` (not zero), rounded once to the
    // nearest double, ties to even: the integer quotient of the two
    // magnitudes, scaled to hold 56 or 57 bits, is taken bit by bit, and
    // what it leaves over only decides the rounding. NaN for a zero divisor.
    double quotient_rounded(const ExactValue& divisor) const;

private:
    void trim() {
        while (!digits_.empty() && digits_.back() == 0) digits_.pop_back();
    }

    std::vector<std::uint32_t> aligned(int lowest) const {
        // Whole digits only: exponents of values read from sums and of
        // their products stay on the 32-bit grid of kLowest, multiples of 32
        // apart.
        const int pad = (lowest_ - lowest) / 32;
        std::vector<std::uint32_t> out(static_cast<std::size_t>(pad), 0);
        out.insert(out.end(), digits_.begin(), digits_.end());
        return out;
    }

    static int compare_magnitudes(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
        const std::size_t n = std::max(a.size(), b.size());
        for (std::size_t i = n; i-- > 0;) {
            const std::uint32_t x = i < a.size() ? a[i] : 0;
            const std::uint32_t y = i < b.size() ? b[i] : 0;
            if (x != y) return x < y ? -1 : 1;
        }
        return 0;
    }

    static std::vector<std::uint32_t> add_magnitudes(const std::vector<std::uint32_t>& a,
                                                     const std::vector<std::uint32_t>& b) {
        std::vector<std::uint32_t> out(std::max(a.size(), b.size()) + 1, 0);
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i + 1 < out.size(); ++i) {
            carry += std::uint64_t{i < a.size() ? a[i] : 0u} + (i < b.size() ? b[i] : 0u);
            out[i] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        out.back() = static_cast<std::uint32_t>(carry);
        return out;
    }

    // a - b for a >= b.
    static std::vector<std::uint32_t> subtract_magnitudes(const std::vector<std::uint32_t>& a,
                                                          const std::vector<std::uint32_t>& b) {
        std::vector<std::uint32_t> out(a.size(), 0);
        std::int64_t borrow = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            std::int64_t t = std::int64_t{a[i]} - (i < b.size() ? b[i] : 0u) - borrow;
            borrow = t < 0;
            if (t < 0) t += std::int64_t{1} << 32;
            out[i] = static_cast<std::uint32_t>(t);
        }
        return out;
    }

    // digits /= divisor in place; whether a remainder was left. A digit at
    // a time below 2^32; bit by bit above (more than 2^32 points).
    static bool divide(std::vector<std::uint32_t>& digits, std::uint64_t divisor) {
        if (divisor == 1) return false;
        std::uint64_t remainder = 0;
        if (divisor <= 0xFFFFFFFF) {
            for (std::size_t i = digits.size(); i-- > 0;) {
                const std::uint64_t t = (remainder << 32) | digits[i];
                digits[i] = static_cast<std::uint32_t>(t / divisor);
                remainder = t % divisor;
            }
            return remainder != 0;
        }
        for (std::size_t i = digits.size(); i-- > 0;) {
            std::uint32_t quotient = 0;
            for (int b = 31; b >= 0; --b) {
                const bool overflow = (remainder >> 63) != 0;
                remainder = (remainder << 1) | ((digits[i] >> b) & 1u);
                quotient <<= 1;
                if (overflow || remainder >= divisor) {
                    remainder -= divisor;
                    quotient |= 1u;
                }
            }
            digits[i] = quotient;
        }
        return remainder != 0;
    }

    // sign * (digits * 2^lowest + something strictly between 0 and one unit
    // of the lowest digit when `inexact`) rounded to the nearest double.
    static double round_digits(bool negative, const std::vector<std::uint32_t>& digits, int lowest, bool inexact);

    bool negative_ = false;
    std::vector<std::uint32_t> digits_;
    int lowest_ = 0;
};

inline double ExactValue::round_digits(bool negative, const std::vector<std::uint32_t>& digits, int lowest,
                                       bool inexact) {
    std::size_t top = digits.size();
    while (top > 0 && digits[top - 1] == 0) --top;
    if (top == 0) return negative ? -0.0 : 0.0;  // only reached with an exact zero
    // The bit position (from the lowest digit's bit 0) of the leading one.
    const long msb = static_cast<long>(top - 1) * 32 + (31 - std::countl_zero(digits[top - 1]));
    const long exponent = msb + lowest;  // the leading one weighs 2^exponent
    const double signed_infinity = negative ? -std::numeric_limits<double>::infinity()
                                            : std::numeric_limits<double>::infinity();
    if (exponent > 1023) return signed_infinity;
    // The weight of the last bit kept: 53 bits, or fewer below the normal
    // range where the spacing of doubles is 2^-1074.
    const long keep_lowest = std::max(exponent - 52, -1074L);
    const long cut = keep_lowest - lowest;  // bits of `digits` below the kept ones
    auto bit = [&](long position) -> unsigned {
        if (position < 0) return 0;
        const auto index = static_cast<std::size_t>(position / 32);
        return index < digits.size() ? (digits[index] >> (position % 32)) & 1u : 0u;
    };
    std::uint64_t kept = 0;
    for (long p = msb; p >= cut && p >= 0; --p) kept = (kept << 1) | bit(p);
    if (cut < 0) kept <<= -cut;  // cannot happen for the callers' grids, kept for safety
    bool sticky = inexact;
    unsigned round_bit = 0;
    if (cut > 0) {
        round_bit = bit(cut - 1);
        for (long p = cut - 2; p >= 0 && !sticky; --p) {
            // Below a tiny value's last kept bit, p may start above the
            // digits; there every digit is zero.
            const auto index = static_cast<std::size_t>(p / 32);
            if ((p % 32) == 31 && (index >= digits.size() || digits[index] == 0)) {
                p -= 31;  // a whole zero digit
                continue;
            }
            sticky = bit(p) != 0;
        }
    }
    if (round_bit && (sticky || (kept & 1))) ++kept;
    // kept may have grown to 2^53, still exact as a double.
    const double magnitude = std::ldexp(static_cast<double>(kept), static_cast<int>(keep_lowest));
    if (std::isinf(magnitude)) return signed_infinity;
    return negative ? -magnitude : magnitude;
}

inline double ExactValue::quotient_rounded(const ExactValue& divisor) const {
    if (divisor.is_zero()) return std::numeric_limits<double>::quiet_NaN();
    if (is_zero()) return 0.0;
    // The magnitudes as integers without their low zero digits:
    // value = n * 2^scale / d.
    auto significant = [](const std::vector<std::uint32_t>& digits, std::size_t& dropped) {
        dropped = 0;
        while (digits[dropped] == 0) ++dropped;
        return std::vector<std::uint32_t>(digits.begin() + static_cast<std::ptrdiff_t>(dropped), digits.end());
    };
    std::size_t dropped_n, dropped_d;
    std::vector<std::uint32_t> n = significant(digits_, dropped_n);
    std::vector<std::uint32_t> d = significant(divisor.digits_, dropped_d);
    long scale = (static_cast<long>(lowest_) + 32 * static_cast<long>(dropped_n)) -
                 (static_cast<long>(divisor.lowest_) + 32 * static_cast<long>(dropped_d));
    auto bits = [](const std::vector<std::uint32_t>& digits) {
        return static_cast<long>(digits.size()) * 32 - std::countl_zero(digits.back());
    };
    auto shift_left = [](std::vector<std::uint32_t>& digits, long by) {
        const auto whole = static_cast<std::size_t>(by / 32);
        const int part = static_cast<int>(by % 32);
        digits.insert(digits.begin(), whole, 0u);
        if (part == 0) return;
        std::uint32_t carry = 0;
        for (std::uint32_t& digit : digits) {
            const std::uint32_t next = digit >> (32 - part);
            digit = (digit << part) | carry;
            carry = next;
        }
        if (carry != 0) digits.push_back(carry);
    };
    // n * 2^s has 56 more bits than d, so that 2^55 <= n * 2^s / d < 2^57
    // (d is shifted instead when s < 0).
    const long s = bits(d) - bits(n) + 56;
    if (s >= 0) {
        shift_left(n, s);
    } else {
        shift_left(d, -s);
    }
    scale -= s;
    std::uint64_t quotient = 0;
    std::vector<std::uint32_t> remainder;
    for (long position = bits(n) - 1; position >= 0; --position) {
        // remainder = 2 * remainder + the next bit of n
        std::uint32_t carry = (n[static_cast<std::size_t>(position / 32)] >> (position % 32)) & 1u;
        for (std::uint32_t& digit : remainder) {
            const std::uint32_t next = digit >> 31;
            digit = (digit << 1) | carry;
            carry = next;
        }
        if (carry != 0) remainder.push_back(carry);
        quotient <<= 1;
        if (compare_magnitudes(remainder, d) >= 0) {
            remainder = subtract_magnitudes(remainder, d);
            while (!remainder.empty() && remainder.back() == 0) remainder.pop_back();
            quotient |= 1u;
        }
    }
    const std::vector<std::uint32_t> digits{static_cast<std::uint32_t>(quotient), static_cast<std::uint32_t>(quotient >> 32)};
    return round_digits(negative_ != divisor.negative_, digits, static_cast<int>(scale), !remainder.empty());
}

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
