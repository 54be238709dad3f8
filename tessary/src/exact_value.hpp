// ExactValue: the exact value read out of an exact sum (sign, magnitude
// digits, exponent), with the few exact operations the statistics need:
// products, differences, and the quotient by integers rounded once to the
// nearest double (ties to even).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace tessary {

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
        std::vector<std::uint32_t> q(4, 0);
        q.insert(q.end(), digits_.begin(), digits_.end());
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

}  // namespace tessary
