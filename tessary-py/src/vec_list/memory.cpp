#include "memory.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#include "../platform.hpp"

namespace tessary_py {
namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

constexpr std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

// Gives a mapping (of map_fresh) back to the system.
void return_mapping(void* memory, std::size_t bytes) noexcept;

// The size of the mapping that holds an array of `bytes`: a mapping is
// only ever reused for arrays that get a mapping of the same size.
constexpr std::size_t mapping_bytes(std::size_t bytes) {
    return round_up(bytes, bytes >= kLargeArrayBytes ? kHugePage : kPage);
}

// Released mappings, kept for the next array of their size. The bound
// keeps the memory held for reuse small against the machine: at most four
// mappings, together at most 1 GiB or an eighth of physical memory,
// whichever is less. A release that does not fit pushes out the mappings
// released longest ago. In a child process after fork() the kept mappings
// are copies nobody uses, so the child returns them at once.
class MappingCache {
public:
    MappingCache() : bound_(byte_bound()) {
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    }

    // A kept mapping of exactly `bytes`, the one released last, or nullptr.
    void* take(std::size_t bytes) noexcept {
        std::lock_guard lock(mutex_);
        Kept* best = nullptr;
        for (Kept& kept : kept_) {
            if (kept.memory != nullptr && kept.bytes == bytes && (best == nullptr || kept.age > best->age)) {
                best = &kept;
            }
        }
        if (best == nullptr) return nullptr;
        held_ -= best->bytes;
        return std::exchange(*best, Kept{}).memory;
    }

    // Keeps a mapping of `bytes` for reuse, or returns it to the system
    // when it alone exceeds the bound.
    void keep(void* memory, std::size_t bytes) noexcept {
        if (bytes > bound_) {
            return_mapping(memory, bytes);
            return;
        }
        std::array<Kept, kSlots> evicted{};
        {
            std::lock_guard lock(mutex_);
            for (std::size_t k = 0; count() == kSlots || held_ + bytes > bound_; ++k) {
                evicted[k] = std::exchange(*oldest(), Kept{});
                held_ -= evicted[k].bytes;
            }
            *std::find_if(kept_.begin(), kept_.end(), [](const Kept& kept) { return kept.memory == nullptr; }) =
                Kept{memory, bytes, ++clock_};
            held_ += bytes;
        }
        // Unmapping a large mapping takes a while; nobody waits on the lock
        // for it.
        unmap(evicted);
    }

    // Returns every kept mapping to the system.
    void empty() noexcept {
        std::array<Kept, kSlots> evicted{};
        {
            std::lock_guard lock(mutex_);
            evicted = std::exchange(kept_, {});
            held_ = 0;
        }
        unmap(evicted);
    }

private:
    static constexpr std::size_t kSlots = 4;

    struct Kept {
        void* memory = nullptr;
        std::size_t bytes = 0;
        std::uint64_t age = 0;  // when it was released; larger is later
    };

    static std::size_t byte_bound() {
        constexpr std::size_t kAtMost = std::size_t{1} << 30;
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page <= 0) return kAtMost;
        const auto physical = static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page);
        return static_cast<std::size_t>(std::min<unsigned long long>(kAtMost, physical / 8));
    }

    static void unmap(const std::array<Kept, kSlots>& mappings) noexcept {
        for (const Kept& kept : mappings) {
            if (kept.memory != nullptr) return_mapping(kept.memory, kept.bytes);
        }
    }

    std::size_t count() const noexcept {
        return static_cast<std::size_t>(
            std::count_if(kept_.begin(), kept_.end(), [](const Kept& kept) { return kept.memory != nullptr; }));
    }

    Kept* oldest() noexcept {
        Kept* found = nullptr;
        for (Kept& kept : kept_) {
            if (kept.memory != nullptr && (found == nullptr || kept.age < found->age)) found = &kept;
        }
        return found;
    }

    // Forking with the lock held keeps another thread from being halfway
    // through a change of the table that the child would inherit.
    static void before_fork() noexcept { instance().mutex_.lock(); }
    static void after_fork_in_parent() noexcept { instance().mutex_.unlock(); }
    static void after_fork_in_child() noexcept {
        MappingCache& cache = instance();
        unmap(cache.kept_);
        cache.kept_ = {};
        cache.held_ = 0;
        cache.mutex_.unlock();
    }

public:
    // Never destroyed: arrays may still be released while the process exits.
    static MappingCache& instance() {
        static MappingCache* const cache = new MappingCache();
        return *cache;
    }

private:
    const std::size_t bound_;
    std::mutex mutex_;
    std::array<Kept, kSlots> kept_{};
    std::size_t held_ = 0;
    std::uint64_t clock_ = 0;
};

#if TESSARY_HAVE_ANONYMOUS_MAPPING
// A fresh mapping of `bytes` (a multiple of the page size), or nullptr. A
// large one starts on a huge-page boundary: map one huge page more than
// needed and unmap the ends.
void* map_fresh(std::size_t bytes) {
    if (bytes < kLargeArrayBytes) {
        void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return mapped == MAP_FAILED ? nullptr : mapped;
    }
    const std::size_t reserved = bytes + kHugePage;
    void* mapped = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = round_up(start, kHugePage);
    const std::size_t head = aligned - start;
    const std::size_t tail = reserved - head - bytes;
    if (head != 0) munmap(mapped, head);
    if (tail != 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
#if TESSARY_HAVE_HUGE_PAGE_ADVICE
    // Advice only: a kernel without transparent huge pages refuses it, and
    // the mapping then works with ordinary pages.
    madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

void return_mapping(void* memory, std::size_t bytes) noexcept { munmap(memory, bytes); }
#else
// Without anonymous mappings the allocator serves these arrays too, on the
// same boundaries, and the cache keeps its blocks just the same.
void* map_fresh(std::size_t bytes) {
    void* memory = nullptr;
    return posix_memalign(&memory, bytes < kLargeArrayBytes ? kPage : kHugePage, bytes) == 0 ? memory : nullptr;
}

void return_mapping(void* memory, std::size_t) noexcept { std::free(memory); }
#endif

}  // namespace

void* allocate_elements(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    if (!is_mapped(bytes)) {
        void* memory = std::malloc(bytes);
        if (memory == nullptr) throw std::bad_alloc();
        return memory;
    }
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    const std::size_t size = mapping_bytes(bytes);
    MappingCache& cache = MappingCache::instance();
    if (void* kept = cache.take(size)) return kept;
    if (void* fresh = map_fresh(size)) return fresh;
    // The kept mappings may be what stands in the way.
    cache.empty();
    if (void* fresh = map_fresh(size)) return fresh;
    throw std::bad_alloc();
}

void release_elements(void* memory, std::size_t bytes, std::size_t written) noexcept {
    if (memory == nullptr) return;
    if (!is_mapped(bytes)) {
        std::free(memory);
        return;
    }
    const std::size_t size = mapping_bytes(bytes);
    if (written >= size / 2) {
        MappingCache::instance().keep(memory, size);
    } else {
        return_mapping(memory, size);
    }
}

void* resize_small_elements(void* memory, std::size_t bytes) {
    void* resized = std::realloc(memory, bytes);
    if (resized == nullptr) throw std::bad_alloc();
    return resized;
}

}  // namespace tessary_py
