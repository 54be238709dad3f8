// Numbers in rows, as an imported buffer lays them out: any byte strides
// (negative, unaligned or zero included), any real number type (integers
// of every width, float16, float32, float64, long double, bool) in either
// byte order. Each number becomes the double that numpy's astype(float64)
// gives: exact for every integer up to 2**53 and every narrower float,
// nearest beyond. Free of Python, so that the bulk loops can read them on
// the workers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace bind {

// An IEEE 754 half-precision number's bits.
struct Half {
    std::uint16_t bits;
};

namespace detail {

// The double of a half: every half is exactly a double. NaNs keep their
// sign and payload (the top ten bits of the double's fraction), as
// numpy's conversion does, quiet or not.
inline double half_to_double(std::uint16_t h) {
    const std::uint64_t sign = static_cast<std::uint64_t>(h & 0x8000u) << 48;
    const unsigned exponent = (h >> 10) & 0x1Fu;
    const std::uint64_t fraction = h & 0x3FFu;
    if (exponent == 0) {
        // Zero or subnormal: fraction * 2**-24, exact.
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(static_cast<double>(fraction) * 0x1p-24) | sign);
    }
    const std::uint64_t biased = exponent == 0x1F ? 0x7FF : exponent - 15 + 1023;
    return std::bit_cast<double>(sign | biased << 52 | fraction << 42);
}

template <class T>
using Bits = std::conditional_t<sizeof(T) == 2, std::uint16_t,
                                std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;

// std::byteswap comes with C++23.
inline std::uint16_t byteswap(std::uint16_t x) { return __builtin_bswap16(x); }
inline std::uint32_t byteswap(std::uint32_t x) { return __builtin_bswap32(x); }
inline std::uint64_t byteswap(std::uint64_t x) { return __builtin_bswap64(x); }

}  // namespace detail

struct FloatRows {
    enum class Scalar { Double, Float, Half, LongDouble, Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64 };

    const std::byte* first;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t column_stride;
    std::size_t rows;
    Scalar scalar;
    // Stored in the other byte order than the machine's (numpy's '>f8' on
    // a little-endian machine): each number's bytes are reversed first.
    bool swapped = false;

    // Rows of `width` native doubles one after the other: a plain copy
    // reads them.
    bool packed_doubles(std::size_t width) const {
        return scalar == Scalar::Double && !swapped && column_stride == sizeof(double) &&
               row_stride == static_cast<std::ptrdiff_t>(width * sizeof(double));
    }

    // Reads one number of type S (Half for float16), reversing its bytes
    // when Swap, as a double.
    template <class S, bool Swap = false>
    struct Reader {
        static double read(const std::byte* at) {
            if constexpr (std::is_same_v<S, bool>) {
                // Any byte but zero is true, as numpy reads it. (b + 255) >> 8
                // is that bit without a comparison, which compilers turn
                // into a branch that random flags mispredict.
                return static_cast<double>((std::to_integer<unsigned>(*at) + 255u) >> 8);
            } else if constexpr (Swap && sizeof(S) > 1) {
                detail::Bits<S> bits;
                std::memcpy(&bits, at, sizeof bits);
                return convert(std::bit_cast<S>(detail::byteswap(bits)));
            } else {
                S value;
                std::memcpy(&value, at, sizeof value);
                return convert(value);
            }
        }

        static double convert(S value) {
            if constexpr (std::is_same_v<S, Half>) {
                return detail::half_to_double(value.bits);
            } else {
                // Integers round to nearest (ties to even) beyond 2**53, as
                // the processor's conversion and numpy's do.
                return static_cast<double>(value);
            }
        }
    };

    // Calls f(Reader<...>{}) with the reader of this buffer's numbers, so
    // that a loop over many numbers is chosen once.
    template <class F>
    decltype(auto) with_reader(F&& f) const {
        auto pick = [&]<class S>() -> decltype(auto) {
            if constexpr (sizeof(S) > 1 && !std::is_same_v<S, long double>) {
                if (swapped) return f(Reader<S, true>{});
            }
            return f(Reader<S>{});
        };
        switch (scalar) {
            case Scalar::Float: return pick.template operator()<float>();
            case Scalar::Half: return pick.template operator()<Half>();
            case Scalar::LongDouble: return pick.template operator()<long double>();
            case Scalar::Bool: return pick.template operator()<bool>();
            case Scalar::Int8: return pick.template operator()<std::int8_t>();
            case Scalar::UInt8: return pick.template operator()<std::uint8_t>();
            case Scalar::Int16: return pick.template operator()<std::int16_t>();
            case Scalar::UInt16: return pick.template operator()<std::uint16_t>();
            case Scalar::Int32: return pick.template operator()<std::int32_t>();
            case Scalar::UInt32: return pick.template operator()<std::uint32_t>();
            case Scalar::Int64: return pick.template operator()<std::int64_t>();
            case Scalar::UInt64: return pick.template operator()<std::uint64_t>();
            case Scalar::Double: break;
        }
        return pick.template operator()<double>();
    }

    const std::byte* address(std::size_t row, std::size_t column) const {
        return first + static_cast<std::ptrdiff_t>(row) * row_stride +
               static_cast<std::ptrdiff_t>(column) * column_stride;
    }

    // The number at (row, column) as a double.
    double at(std::size_t row, std::size_t column) const {
        return with_reader([&]<class R>(R) { return R::read(address(row, column)); });
    }
};

}  // namespace bind
