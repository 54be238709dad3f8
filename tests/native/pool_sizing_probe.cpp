// Command-line face of the pool sizing rules, for tests that need to feed
// them inputs a real process cannot choose (a control group with a quota).
//   probe parse TEXT           -> the count, or "none"
//   probe env NUM RS           -> the requested size, or "default"; "-" is unset
//   probe cgroup ROOT          -> the CPU limit under ROOT, or "none"
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "../../tessary-py/src/pool/sizing.hpp"

namespace {

void print(std::optional<std::size_t> value, const char* otherwise) {
    if (value) {
        std::printf("%zu\n", *value);
    } else {
        std::printf("%s\n", otherwise);
    }
}

const char* variable(const char* text) { return std::strcmp(text, "-") == 0 ? nullptr : text; }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "parse") == 0) {
        print(pool::parse_count(argv[2]), "none");
    } else if (argc == 4 && std::strcmp(argv[1], "env") == 0) {
        print(pool::size_from_environment(variable(argv[2]), variable(argv[3])), "default");
    } else if (argc == 3 && std::strcmp(argv[1], "cgroup") == 0) {
        print(pool::cgroup_cpu_limit(argv[2]), "none");
    } else {
        std::fprintf(stderr, "usage: probe parse TEXT | env NUM RS | cgroup ROOT\n");
        return 2;
    }
    return 0;
}
