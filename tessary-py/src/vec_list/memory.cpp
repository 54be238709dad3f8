#include "memory.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "../platform.hpp"

namespace tessary_py {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

constexpr std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

#if TESSARY_HAVE_ANONYMOUS_MAPPING
// A mapping of `bytes` (a multiple of kHugePage) starting on a huge-page
// boundary: map one huge page more than needed and unmap the ends.
void* map_aligned(std::size_t bytes) {
    const std::size_t reserved = bytes + kHugePage;
    void* mapped = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = round_up(start, kHugePage);
    const std::size_t head = aligned - start;
    const std::size_t tail = reserved - head - bytes;
    if (head != 0) munmap(mapped, head);
    if (tail != 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    return reinterpret_cast<void*>(aligned);
}

void unmap_aligned(void* memory, std::size_t bytes) noexcept { munmap(memory, bytes); }
#else
// Without anonymous mappings the allocator serves large arrays too, on the
// same boundary.
void* map_aligned(std::size_t bytes) {
    void* memory = nullptr;
    if (posix_memalign(&memory, kHugePage, bytes) != 0) throw std::bad_alloc();
    return memory;
}

void unmap_aligned(void* memory, std::size_t) noexcept { std::free(memory); }
#endif

}  // namespace

void* allocate_elements(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    if (!is_large(bytes)) {
        void* memory = std::malloc(bytes);
        if (memory == nullptr) throw std::bad_alloc();
        return memory;
    }
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    void* memory = map_aligned(round_up(bytes, kHugePage));
#if TESSARY_HAVE_HUGE_PAGE_ADVICE && TESSARY_HAVE_ANONYMOUS_MAPPING
    // Advice only: a kernel without transparent huge pages refuses it, and
    // the mapping then works with ordinary pages.
    madvise(memory, round_up(bytes, kHugePage), MADV_HUGEPAGE);
#endif
    return memory;
}

void release_elements(void* memory, std::size_t bytes) noexcept {
    if (memory == nullptr) return;
    if (!is_large(bytes)) {
        std::free(memory);
    } else {
        unmap_aligned(memory, round_up(bytes, kHugePage));
    }
}

void* resize_small_elements(void* memory, std::size_t bytes) {
    void* resized = std::realloc(memory, bytes);
    if (resized == nullptr) throw std::bad_alloc();
    return resized;
}

}  // namespace tessary_py
