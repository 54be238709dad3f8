#include "sizing.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include "../platform.hpp"

namespace pool {
namespace {

// Digits only, no sign; nullopt on anything else or on overflow.
std::optional<std::size_t> parse_digits(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> found;
    for (;;) {
        const std::size_t start = text.find_first_not_of(" \t\n");
        if (start == std::string_view::npos) return found;
        text.remove_prefix(start);
        const std::size_t end = std::min(text.find_first_of(" \t\n"), text.size());
        found.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
}

// The one word of a file such as cpu.cfs_period_us; nullopt otherwise.
std::optional<std::size_t> single_count(const std::string& text) {
    const std::vector<std::string_view> found = words(text);
    return found.size() == 1 ? parse_digits(found[0]) : std::nullopt;
}

// Mount points in mountinfo write space, tab, newline and backslash as \ooo.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const std::string_view code = text.substr(i + 1, 3);
            if (std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>((code[0] - '0') * 64 + (code[1] - '0') * 8 + (code[2] - '0'));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// quota / period, rounded down and at least 1; nullopt for no limit.
std::optional<std::size_t> limit_of(std::optional<std::size_t> quota, std::optional<std::size_t> period) {
    if (!quota || !period || *period == 0) return std::nullopt;
    return std::max<std::size_t>(1, *quota / *period);
}

// cgroup v2: "max 100000" or "150000 100000".
std::optional<std::size_t> v2_limit(const std::string& directory) {
    const std::optional<std::string> text = read_file(directory + "/cpu.max");
    if (!text) return std::nullopt;
    const std::vector<std::string_view> found = words(*text);
    if (found.size() != 2) return std::nullopt;
    return limit_of(parse_digits(found[0]), parse_digits(found[1]));
}

// cgroup v1: cpu.cfs_quota_us is -1 when unlimited.
std::optional<std::size_t> v1_limit(const std::string& directory) {
    const std::optional<std::string> quota = read_file(directory + "/cpu.cfs_quota_us");
    const std::optional<std::string> period = read_file(directory + "/cpu.cfs_period_us");
    if (!quota || !period) return std::nullopt;
    return limit_of(single_count(*quota), single_count(*period));
}

struct Mount {
    std::string root;   // the hierarchy path mounted there
    std::string point;  // where it is mounted
};

// The mount of the cgroup2 hierarchy (`v1_controller` empty) or of the v1
// hierarchy that carries that controller.
std::optional<Mount> find_mount(const std::string& mountinfo, std::string_view v1_controller) {
    for (const std::string_view line : split(mountinfo, '\n')) {
        // "id parent dev root point options [tags...] - type source super-options"
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const std::vector<std::string_view> head = split(line.substr(0, dash), ' ');
        const std::vector<std::string_view> tail = split(line.substr(dash + 3), ' ');
        if (head.size() < 5 || tail.size() < 3) continue;
        if (v1_controller.empty()) {
            if (tail[0] != "cgroup2") continue;
        } else {
            const std::vector<std::string_view> options = split(tail[2], ',');
            if (tail[0] != "cgroup" || std::find(options.begin(), options.end(), v1_controller) == options.end()) {
                continue;
            }
        }
        return Mount{unescape(head[3]), unescape(head[4])};
    }
    return std::nullopt;
}

// The smallest limit on the way from the process's group up to the mount.
template <class Limit>
std::optional<std::size_t> walk_up(const std::string& prefix, const Mount& mount, std::string_view path,
                                   Limit limit) {
    std::string relative;
    if (mount.root == "/") {
        relative = path == "/" ? "" : std::string(path);
    } else if (path == mount.root) {
        relative = "";
    } else if (path.starts_with(mount.root) && path.size() > mount.root.size() && path[mount.root.size()] == '/') {
        relative = path.substr(mount.root.size());
    }
    const std::string top = prefix + mount.point;
    std::string directory = top + relative;
    std::optional<std::size_t> smallest;
    for (;;) {
        if (const std::optional<std::size_t> here = limit(directory)) {
            smallest = smallest ? std::min(*smallest, *here) : *here;
        }
        if (directory.size() <= top.size()) return smallest;
        directory.resize(directory.rfind('/'));
    }
}

std::optional<std::size_t> smaller(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

}  // namespace

std::optional<std::size_t> parse_count(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    return parse_digits(text);
}

std::optional<std::size_t> size_from_environment(const char* num_threads, const char* rs_num_cpus) {
    if (num_threads != nullptr) {
        if (const std::optional<std::size_t> count = parse_count(num_threads)) {
            // An explicit 0 asks for the default and skips the second variable.
            if (*count == 0) return std::nullopt;
            return count;
        }
    }
    if (rs_num_cpus != nullptr) {
        if (const std::optional<std::size_t> count = parse_count(rs_num_cpus); count && *count != 0) return count;
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root) {
    const std::optional<std::string> groups = read_file(root + "/proc/self/cgroup");
    const std::optional<std::string> mountinfo = read_file(root + "/proc/self/mountinfo");
    if (!groups || !mountinfo) return std::nullopt;
    std::optional<std::size_t> limit;
    // "hierarchy-id:controllers:path"; cgroup v2 is "0::path". A hybrid
    // system may have both kinds; only one of them carries the cpu controller.
    for (const std::string_view line : split(*groups, '\n')) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            if (const std::optional<Mount> mount = find_mount(*mountinfo, "")) {
                limit = smaller(limit, walk_up(root, *mount, path, v2_limit));
            }
        } else {
            const std::vector<std::string_view> names = split(controllers, ',');
            if (std::find(names.begin(), names.end(), "cpu") == names.end()) continue;
            if (const std::optional<Mount> mount = find_mount(*mountinfo, "cpu")) {
                limit = smaller(limit, walk_up(root, *mount, path, v1_limit));
            }
        }
    }
    return limit;
}

std::size_t default_size(const std::string& root) {
#if TESSARY_HAVE_LINUX_CPU_LIMITS
    // The affinity mask may be wider than cpu_set_t on very large machines.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 16); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        const int status = sched_getaffinity(0, bytes, set);
        const int count = status == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (status == 0) {
            if (count <= 0) break;
            const auto affinity = static_cast<std::size_t>(count);
            const std::optional<std::size_t> limit = cgroup_cpu_limit(root);
            return limit ? std::min(affinity, *limit) : affinity;
        }
        if (errno != EINVAL) break;
    }
#else
    static_cast<void>(root);
#endif
#if defined(_SC_NPROCESSORS_ONLN)
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
#else
    return 1;
#endif
}

std::size_t pool_size() {
    if (const std::optional<std::size_t> requested =
            size_from_environment(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"))) {
        return *requested;
    }
    return default_size("");
}

}  // namespace pool
