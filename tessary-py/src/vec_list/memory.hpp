// Memory for element arrays. Arrays of 1 MiB and more get a mapping of
// their own, and from 4 MiB on it is aligned to 2 MiB and marked for
// transparent huge pages: a fresh large array then costs one page fault per
// 2 MiB instead of one per 4 KiB, faulted in by whichever workers first
// write it. Smaller arrays come from the ordinary allocator.
//
// A fresh mapping is zeroed by the kernel page by page as it is first
// written, which costs more than the bulk operation that fills it; so a
// few released mappings are kept and handed to the next array of the same
// size (see memory.cpp).
#pragma once

#include <cstddef>

namespace tessary_py {

// Arrays of at least this many bytes are mapped on their own.
inline constexpr std::size_t kMappedArrayBytes = std::size_t{1} << 20;
// ... and from this size on, on huge pages.
inline constexpr std::size_t kLargeArrayBytes = std::size_t{4} << 20;

inline constexpr bool is_mapped(std::size_t bytes) { return bytes >= kMappedArrayBytes; }

// Uninitialised memory for `bytes` bytes (nullptr for 0); throws
// std::bad_alloc when there is none. Where huge pages are unavailable the
// mapping simply uses ordinary pages.
void* allocate_elements(std::size_t bytes);

// Gives back memory from allocate_elements, with the same byte count, of
// which the first `written` bytes were ever written. A mapping written for
// less than half is returned to the system rather than kept: it was a
// reservation that was never filled, and keeping it would hold address
// space that saves few page faults.
void release_elements(void* memory, std::size_t bytes, std::size_t written) noexcept;

// Resizes a block from the ordinary allocator in place where it can,
// keeping its contents; both sizes must be below kMappedArrayBytes and
// non-zero. Throws std::bad_alloc, leaving the block as it was.
void* resize_small_elements(void* memory, std::size_t bytes);

}  // namespace tessary_py
