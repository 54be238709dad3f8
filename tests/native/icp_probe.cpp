// Drives the steps of ICP in the core (tessary/src/registration.hpp), each
// on its own, from standard input, one case a line, numbers as hexadecimal
// doubles; the test compares each answer with a brute-force oracle.
//   C limit nt t.. nm m..  -> correspond of the moved points m onto the
//                             target points t: per point its index (nt for
//                             none) and squared distance, then the count,
//                             fitness and inlier RMSE; then "same" when the
//                             answers started from warm hints (the answers
//                             themselves, and points and leaves out of
//                             place) are the same, else "differ"
//   E n a.. b.. flags..    -> estimate: the transform (w i j k x y z) of
//                             the pairs a[i] -> b[i] whose flag is 1
//   A update(7) current(7) -> compose(update, current)
// where each point is three numbers and a transform seven.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "registration.hpp"

using tessary::Correspondences;
using tessary::Transform;
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

Transform transform() {
    Transform t;
    t.rotation = {number(), number(), number(), number()};
    t.translation = {number(), number(), number()};
    return t;
}

void print(const Transform& t) {
    std::printf("%a %a %a %a %a %a %a\n", t.rotation.w, t.rotation.i, t.rotation.j, t.rotation.k, t.translation.x,
                t.translation.y, t.translation.z);
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
    std::string kind;
    while (std::cin >> kind) {
        if (kind == "C") {
            std::uint64_t limit;
            std::size_t nt, nm;
            std::cin >> limit >> nt;
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
        } else if (kind == "E") {
            std::size_t n;
            std::cin >> n;
            const std::vector<Vec3d> a = points(n);
            const std::vector<Vec3d> b = points(n);
            Correspondences c(n, 1);
            for (std::size_t i = 0; i < n; ++i) {
                int flag;
                std::cin >> flag;
                c.nearest[i] = flag == 1 ? 0 : 1;
                c.points[i] = b[i];
            }
            print(tessary::estimate(a, c, tessary::SerialRanges{}));
        } else {
            const Transform update = transform();
            const Transform current = transform();
            print(tessary::compose(update, current));
        }
    }
    return 0;
}
