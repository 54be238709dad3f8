// A stable sort of 64-bit records by a field of their bits, least
// significant digit first, shared out by a `for_ranges(n, grain, body)`.
//
// Each pass counts the digits of fixed chunks of the records, places each
// chunk's records after those of the chunks before it with the same digit,
// and scatters them. A stable sort has one answer, so neither the chunks
// nor how the ranges were cut can change it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tessary {

inline constexpr std::size_t kRadixChunk = std::size_t{1} << 16;
inline constexpr int kMostRadixDigit = 11;

// Sorts records[0, n) by their bits [low, low + bits), stably, with
// `scratch` (room for n records) as the second buffer; returns whichever
// of the two holds the sorted records. Bits at or above low + bits must be
// zero or equal in every record, and are then ignored.
template <class ForRanges>
std::uint64_t* radix_sort(std::uint64_t* records, std::uint64_t* scratch, std::size_t n, int low, int bits,
                          const ForRanges& for_ranges) {
    if (n < 2 || bits <= 0) return records;
    const int passes = (bits + kMostRadixDigit - 1) / kMostRadixDigit;
    const int width = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << width;
    const std::size_t chunks = (n + kRadixChunk - 1) / kRadixChunk;
    auto chunk_end = [&](std::size_t c) { return std::min(n, (c + 1) * kRadixChunk); };
    // counts[c * buckets + d]: records of chunk c with digit d, then where
    // the first of them goes.
    std::vector<std::size_t> counts(chunks * buckets);
    std::uint64_t* from = records;
    std::uint64_t* to = scratch;
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = low + pass * width;
        const std::uint64_t mask = buckets - 1;
        std::fill(counts.begin(), counts.end(), 0);
        for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c < end; ++c) {
                std::size_t* count = counts.data() + c * buckets;
                for (std::size_t i = c * kRadixChunk; i < chunk_end(c); ++i) ++count[(from[i] >> shift) & mask];
            }
        });
        // A pass whose digit is the same in every record moves nothing.
        bool one_digit = false;
        std::size_t place = 0;
        for (std::size_t d = 0; d < buckets; ++d) {
            const std::size_t before = place;
            for (std::size_t c = 0; c < chunks; ++c) {
                const std::size_t count = counts[c * buckets + d];
                counts[c * buckets + d] = place;
                place += count;
            }
            if (place - before == n) one_digit = true;
        }
        if (one_digit) continue;
        for_ranges(chunks, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c < end; ++c) {
                std::size_t* next = counts.data() + c * buckets;
                for (std::size_t i = c * kRadixChunk; i < chunk_end(c); ++i) {
                    const std::uint64_t record = from[i];
                    to[next[(record >> shift) & mask]++] = record;
                }
            }
        });
        std::swap(from, to);
    }
    return from;
}

}  // namespace tessary
