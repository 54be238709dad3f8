// Points ordered along a Morton (Z-order) curve over a box, so that points
// taken in that order lie close together: queries visit the same nodes and
// leaves of a tree while they are still in cache. The order only ever
// changes which work runs first, never an answer.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "kd_layout.hpp"
#include "vec3d.hpp"

namespace tessary {

// The place of a point on a Morton curve over a box, as a grid of 2^30
// cells (points outside the box, or not finite, take the nearest cell).
class MortonCode {
public:
    MortonCode() = default;
    explicit MortonCode(const NodeBox& box)
        : MortonCode({box.lo[0], box.lo[1], box.lo[2]}, {box.hi[0], box.hi[1], box.hi[2]}) {}
    MortonCode(const std::array<double, 3>& lo, const std::array<double, 3>& hi) {
        for (int a = 0; a < 3; ++a) {
            lo_[a] = lo[a];
            const double side = hi[a] - lo_[a];
            scale_[a] = side > 0.0 && std::isfinite(side) ? 1024.0 / side : 0.0;
        }
    }

    std::uint32_t operator()(const Vec3d& q) const {
        return spread(cell(q.x, 0)) | spread(cell(q.y, 1)) << 1 | spread(cell(q.z, 2)) << 2;
    }

private:
    std::uint32_t cell(double v, int a) const {
        const double c = (v - lo_[a]) * scale_[a];
        return c >= 1023.0 ? 1023 : c >= 0.0 ? static_cast<std::uint32_t>(c) : 0;
    }

    // The 10 bits of v spread to every third bit.
    static std::uint32_t spread(std::uint32_t v) {
        v &= 0x3FF;
        v = (v | (v << 16)) & 0x030000FF;
        v = (v | (v << 8)) & 0x0300F00F;
        v = (v | (v << 4)) & 0x030C30C3;
        v = (v | (v << 2)) & 0x09249249;
        return v;
    }

    double lo_[3] = {0.0, 0.0, 0.0};
    double scale_[3] = {0.0, 0.0, 0.0};
};

// A sort key: a Morton code in the upper 32 bits, a position below.
inline std::uint64_t morton_key(std::uint32_t code, std::size_t position) {
    return std::uint64_t{code} << 32 | position;
}

inline std::size_t position_of(std::uint64_t key) { return static_cast<std::size_t>(key & 0xFFFFFFFF); }

// Sorts keys by their codes (bits 32 to 61, in three stable passes of ten
// bits, so equal codes keep their positions' order), using `spare` as
// much room again; returns where the sorted keys are.
inline std::uint64_t* sort_by_code(std::uint64_t* keys, std::uint64_t* spare, std::size_t n) {
    for (int shift = 32; shift < 62; shift += 10) {
        std::size_t start[1025] = {};
        for (std::size_t i = 0; i < n; ++i) ++start[((keys[i] >> shift) & 1023) + 1];
        for (std::size_t d = 1; d <= 1024; ++d) start[d] += start[d - 1];
        for (std::size_t i = 0; i < n; ++i) spare[start[(keys[i] >> shift) & 1023]++] = keys[i];
        std::swap(keys, spare);
    }
    return keys;
}

}  // namespace tessary
