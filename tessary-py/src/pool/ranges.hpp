// The worker pool as the core's `for_ranges(n, grain, body)`: the k-d
// tree, the fits and registration share their work out through it, each
// range compiled for AVX2 where the processor has it.
#pragma once

#include <cstddef>

#include "../platform.hpp"
#include "pool.hpp"

namespace tessary_py {

struct PoolRanges {
    template <class Body>
    void operator()(std::size_t n, std::size_t grain, const Body& body) const {
        pool::parallel_for(n, grain, [&](std::size_t begin, std::size_t end) {
            platform::with_avx2([&] { body(begin, end); });
        });
    }
};

}  // namespace tessary_py
