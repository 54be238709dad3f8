// Random numbers as a pure function of a counter: draw(seed, stream,
// trial, draw) hashes its four words with SplitMix64's finaliser, so that
// the k-th draw of trial t is the same whichever thread computes it, in
// whatever order, and on any platform (64-bit integer arithmetic only).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessary {

// SplitMix64's output function: a bijection of 64-bit words that mixes
// every input bit into every output bit.
constexpr std::uint64_t splitmix_finalise(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// The word of (seed, stream, trial, draw): each word is added to the hash
// of those before it with a distinct odd multiple of the golden ratio, and
// the sum finalised again.
constexpr std::uint64_t counter_word(std::uint64_t seed, std::uint64_t stream, std::uint64_t trial,
                                     std::uint64_t draw) {
    constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15u;
    std::uint64_t h = splitmix_finalise(seed + kGolden);
    h = splitmix_finalise(h + (stream + 1) * 0xD1B54A32D192ED03u);
    h = splitmix_finalise(h + (trial + 1) * 0xAEF17502108EF2D9u);
    return splitmix_finalise(h + (draw + 1) * kGolden);
}

// floor(word * m / 2^64): an integer below m, m > 0, from the high half of
// the 128-bit product (taken in 32-bit halves, so that 32-bit targets give
// the same). Its bias is below m / 2^64.
constexpr std::uint64_t below(std::uint64_t word, std::uint64_t m) {
    const std::uint64_t a_lo = word & 0xFFFFFFFFu, a_hi = word >> 32;
    const std::uint64_t b_lo = m & 0xFFFFFFFFu, b_hi = m >> 32;
    const std::uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo, lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
    const std::uint64_t cross = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + lo_hi;
    return hi_hi + (hi_lo >> 32) + (cross >> 32);
}

// Three distinct indices below n (n >= 3), uniform over the ordered
// triples: the first below n, the second below n - 1 and the third below
// n - 2, each moved past those already taken.
constexpr std::array<std::size_t, 3> distinct_triple(std::uint64_t seed, std::uint64_t stream, std::uint64_t trial,
                                                     std::size_t n) {
    const auto m = static_cast<std::uint64_t>(n);
    const std::uint64_t a = below(counter_word(seed, stream, trial, 0), m);
    std::uint64_t b = below(counter_word(seed, stream, trial, 1), m - 1);
    std::uint64_t c = below(counter_word(seed, stream, trial, 2), m - 2);
    b += b >= a ? 1 : 0;
    const std::uint64_t low = a < b ? a : b, high = a < b ? b : a;
    c += c >= low ? 1 : 0;
    c += c >= high ? 1 : 0;
    return {static_cast<std::size_t>(a), static_cast<std::size_t>(b), static_cast<std::size_t>(c)};
}

}  // namespace tessary
