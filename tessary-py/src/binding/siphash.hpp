// SipHash-1-3: one compression round per 8-byte word, three finalisation
// rounds. Used with the all-zero key so that hashes are the same in every
// process and every run.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

namespace bind {

constexpr std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint64_t> words) {
    std::uint64_t v0 = k0 ^ 0x736f6d6570736575;
    std::uint64_t v1 = k1 ^ 0x646f72616e646f6d;
    std::uint64_t v2 = k0 ^ 0x6c7967656e657261;
    std::uint64_t v3 = k1 ^ 0x7465646279746573;
    auto round = [&] {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    };
    auto compress = [&](std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    };
    // Each word is the little-endian reading of its 8 message bytes.
    for (std::uint64_t m : words) compress(m);
    // The final block carries the message length (whole words only here).
    compress(static_cast<std::uint64_t>(words.size() * 8) << 56);
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace bind
