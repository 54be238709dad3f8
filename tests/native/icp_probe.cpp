// Drives the correspondence step of ICP in the core
// (tessary/src/registration.hpp) from standard input, one case a line,
// numbers as hexadecimal doubles; the test compares each answer with a
// brute-force scan.
//   limit nt t.. nm m..  -> correspond of the moved points m onto the
//                           target points t: per point its index (nt for
//                           none) and squared distance, then the count,
//                           fitness and inlier RMSE; then "same" when the
//                           answers started from warm hints (the answers
//                           themselves, and points and leaves out of
//                           place) are the same, else "differ"
// where each point is three numbers.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "registration.hpp"

using tessary::Correspondences;
using tessary::Vec3d;

namespace {

double number() {
    std::string text;
    std::cin >> text;
    return std::stod(text);
}

std::vector<Vec3d> points(std::size_t n) {
    std::vector<Vec3d> out(n);
    for (Vec3d& p : out) {
        p.x = number();
        p.y = number();
        p.z = number();
    }
    return out;
}

bool same(const Correspondences& a, const Correspondences& b) {
    for (std::size_t i = 0; i < a.nearest.size(); ++i) {
        if (a.nearest[i] != b.nearest[i]) return false;
        if (a.found(i) && a.squared[i] != b.squared[i]) return false;
    }
    return true;
}

}  // namespace

int main() {
    std::uint64_t limit;
    while (std::cin >> limit) {
        std::size_t nt, nm;
        std::cin >> nt;
        const std::vector<Vec3d> target = points(nt);
        std::cin >> nm;
        const std::vector<Vec3d> moved = points(nm);
        const tessary::KdTree tree(target);
        Correspondences cold(nm, tree.size());
        const tessary::Matches m = tessary::correspond(tree, moved, limit, cold, tessary::SerialRanges{});
        for (std::size_t i = 0; i < nm; ++i) std::printf("%zu %a\n", cold.nearest[i], cold.found(i) ? cold.squared[i] : 0.0);
        std::printf("%zu %a %a\n", m.count, m.fitness, m.inlier_rmse);
        // Warm starts: the answers themselves, and hints from other
        // points and leaves (a bound that is too wide).
        Correspondences warm = cold;
        tessary::correspond(tree, moved, limit, warm, tessary::SerialRanges{});
        Correspondences wrong(nm, tree.size());
        for (std::size_t i = 0; i < nm && nt != 0; ++i) {
            const std::size_t j = (i * 7919) % nt;
            wrong.nearest[i] = j;
            wrong.points[i] = target[j];
            wrong.leaves[i] = (i * 31) % 97;
        }
        tessary::correspond(tree, moved, limit, wrong, tessary::SerialRanges{});
        std::printf("%s\n", same(cold, warm) && same(cold, wrong) ? "same" : "differ");
    }
    return 0;
}
