// How many threads the worker pool runs, decided once when it is created.
// No Python here, so the rules can be exercised on their own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pool {

// An unsigned decimal count: an optional leading '+', then one or more
// digits and nothing else, small enough for size_t.
std::optional<std::size_t> parse_count(std::string_view text);

// The size requested by RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS (null
// pointers for unset variables); nullopt asks for the default size.
std::optional<std::size_t> size_from_environment(const char* num_threads, const char* rs_num_cpus);

// The CPU limit of the control group the process runs in: its quota
// divided by its period (rounded down, at least 1), the smallest along the
// path to the hierarchy's root; nullopt when no quota is set. `root` is
// prefixed to every path read ("/" on a real system).
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root);

// The processors the process may run on, lowered to the control group's
// quota; online processors if the affinity set cannot be read; else 1.
std::size_t default_size(const std::string& root);

// The pool size for this process, from its environment and system.
std::size_t pool_size();

}  // namespace pool
