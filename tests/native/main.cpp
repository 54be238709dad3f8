// The core's native tests, built by CMake (TESSARY_NATIVE_TESTS) with the
// module's compiler and options:
//   tessary_native_tests              runs every group; exit status 1 when a check failed
//   tessary_native_tests exact-sums   reads cases from standard input (exact_sum_tests.cpp)
#include <cstdio>
#include <cstring>

#include "checks.hpp"

int main(int argc, char** argv) {
    using namespace native_tests;
    if (argc == 2 && std::strcmp(argv[1], "exact-sums") == 0) return drive_exact_sums();
    if (argc != 1) {
        std::fprintf(stderr, "usage: %s [exact-sums]\n", argv[0]);
        return 2;
    }
    struct Group {
        const char* name;
        void (*run)(Checks&);
    };
    const Group groups[] = {
        {"k-d tree", &kd_tree_tests}, {"exact sums", &exact_sum_tests}, {"moments and bounds", &moments_tests},
        {"alignment", &align_tests},  {"ICP steps", &icp_tests},
        {"downsampling", &downsampling_tests}, {"RANSAC planes", &plane_tests},
        {"feature matching", &feature_matching_tests},
    };
    std::size_t failed = 0;
    for (const Group& group : groups) {
        Checks checks(group.name);
        group.run(checks);
        std::printf("%-20s %zu checks, %zu failed\n", group.name, checks.checks(), checks.failures());
        failed += checks.failures();
    }
    std::printf(failed == 0 ? "ok\n" : "FAILED\n");
    return failed == 0 ? 0 : 1;
}
