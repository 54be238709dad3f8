// The harness of the native tests: each group is a function that records
// its checks; main() runs every group and fails when any check failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vec3d.hpp"

namespace native_tests {

class Checks {
public:
    explicit Checks(const char* group) : group_(group) {}

    // Records one check; the first few failures of a group are printed.
    bool expect(bool ok, const std::string& what) {
        ++checks_;
        if (ok) return true;
        if (failures_++ < kShownFailures) std::printf("FAIL %s: %s\n", group_, what.c_str());
        return false;
    }

    std::size_t checks() const { return checks_; }
    std::size_t failures() const { return failures_; }

private:
    static constexpr std::size_t kShownFailures = 10;
    const char* group_;
    std::size_t checks_ = 0;
    std::size_t failures_ = 0;
};

// Bit-for-bit equality of doubles (any NaN equals any NaN: which payload
// survives two NaN operands is the compiler's choice).
inline bool same_bits(double a, double b) {
    if (a != a && b != b) return true;
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

inline bool same_bits(const tessary::Vec3d& a, const tessary::Vec3d& b) {
    return same_bits(a.x, b.x) && same_bits(a.y, b.y) && same_bits(a.z, b.z);
}

// A for_ranges that cuts [0, n) into ranges of 1, 2, 3, ... items and runs
// them last first: a result that depends on how work is cut or in which
// order its ranges run differs from the one SerialRanges gives.
struct ChoppyRanges {
    template <class Body>
    void operator()(std::size_t n, std::size_t, Body&& body) const {
        std::vector<std::size_t> starts;
        for (std::size_t begin = 0, step = 1; begin < n; begin += step++) starts.push_back(begin);
        for (std::size_t r = starts.size(); r-- > 0;) {
            body(starts[r], r + 1 < starts.size() ? starts[r + 1] : n);
        }
    }
};

// Seeded points, uniform in a box.
inline std::vector<tessary::Vec3d> uniform_points(std::size_t n, double lo, double hi, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> coordinate(lo, hi);
    std::vector<tessary::Vec3d> out(n);
    for (tessary::Vec3d& p : out) p = {coordinate(random), coordinate(random), coordinate(random)};
    return out;
}

inline std::string text(const tessary::Vec3d& v) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "(%a, %a, %a)", v.x, v.y, v.z);
    return buffer;
}

// The groups (one file each), and the drivers that feed the core from
// standard input for tests with an oracle of their own (exact_sum_tests).
void kd_tree_tests(Checks& checks);
void exact_sum_tests(Checks& checks);
void moments_tests(Checks& checks);
void align_tests(Checks& checks);
void icp_tests(Checks& checks);
void downsampling_tests(Checks& checks);
void plane_tests(Checks& checks);
void feature_matching_tests(Checks& checks);
int drive_exact_sums();

}  // namespace native_tests
