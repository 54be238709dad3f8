// The storage of a VecList: one contiguous array of core vectors with
// room to grow, allocated by allocate_elements (a mapping of its own when large).
#pragma once

#include <cstddef>
#include <span>

#include "vec3d.hpp"

namespace tessary_py {

using tessary::Vec3d;

class ElementArray {
public:
    // Room for `capacity` elements, none set yet: whoever fills the slots
    // is the first to touch their memory.
    explicit ElementArray(std::size_t capacity);
    ~ElementArray();
    ElementArray(const ElementArray&) = delete;
    ElementArray& operator=(const ElementArray&) = delete;

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::span<const Vec3d> view() const noexcept { return {data_, size_}; }
    // Every slot, set or not.
    Vec3d* slots() noexcept { return data_; }

    // The first `size` slots are set (they must have been written).
    void set_size(std::size_t size) noexcept { size_ = size; }

    // Changes the capacity (not below the size), keeping the elements.
    void reallocate(std::size_t capacity);

private:
    Vec3d* data_;
    std::size_t size_ = 0;
    std::size_t capacity_;
};

// Bytes of `count` elements; throws std::bad_alloc past the address space.
std::size_t element_bytes(std::size_t count);

// Copies elements, sharing large copies out over the worker pool so that
// fresh pages are faulted in by several threads at once.
void copy_elements(std::span<const Vec3d> from, Vec3d* to);

}  // namespace tessary_py
