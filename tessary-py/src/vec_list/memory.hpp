// Memory for element arrays. Large arrays get a mapping of their own,
// aligned to 2 MiB and marked for transparent huge pages: a fresh large
// array then costs one page fault per 2 MiB instead of one per 4 KiB, and
// its pages are faulted in by whichever workers first write them. Small
// arrays come from the ordinary allocator, which recycles them.
#pragma once

#include <cstddef>

namespace tessary_py {

// Arrays of at least this many bytes are mapped on their own.
inline constexpr std::size_t kLargeArrayBytes = std::size_t{4} << 20;

inline constexpr bool is_large(std::size_t bytes) { return bytes >= kLargeArrayBytes; }

// Uninitialised memory for `bytes` bytes (nullptr for 0); throws
// std::bad_alloc when there is none. Where huge pages are unavailable the
// mapping simply uses ordinary pages.
void* allocate_elements(std::size_t bytes);

// Gives back memory from allocate_elements, with the same byte count.
void release_elements(void* memory, std::size_t bytes) noexcept;

// Resizes a small block in place where the allocator can, keeping its
// contents; both sizes must be small and non-zero. Throws std::bad_alloc,
// leaving the block as it was.
void* resize_small_elements(void* memory, std::size_t bytes);

}  // namespace tessary_py
