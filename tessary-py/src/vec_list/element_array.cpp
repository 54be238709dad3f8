#include "element_array.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "../pool/pool.hpp"
#include "memory.hpp"
#include "vec_list.hpp"

namespace tessary_py {
namespace {

// Copying runs at memory speed, some 2 ns per element into fresh pages:
// a grain is worth about a hundred microseconds of it.
constexpr std::size_t kGrainCopy = 65536;

// The capacity to grow a list of `size` elements to when `needed` do not
// fit: half as much again, so that appending one at a time copies each
// element a bounded number of times. Measured from the size, not from the
// capacity, so that copies of a pinned array do not compound the room.
std::size_t growth(std::size_t size, std::size_t needed) {
    return std::max({needed, size + size / 2, std::size_t{4}});
}

std::size_t checked_sum(std::size_t a, std::size_t b) {
    if (a > std::numeric_limits<std::size_t>::max() - b) throw std::bad_alloc();
    return a + b;
}

}  // namespace

std::size_t element_bytes(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(Vec3d)) throw std::bad_alloc();
    return count * sizeof(Vec3d);
}

void copy_elements(std::span<const Vec3d> from, Vec3d* to) {
    pool::parallel_for(from.size(), kGrainCopy, [&](std::size_t begin, std::size_t end) {
        std::memcpy(to + begin, from.data() + begin, (end - begin) * sizeof(Vec3d));
    });
}

ElementArray::ElementArray(std::size_t capacity)
    : data_(static_cast<Vec3d*>(allocate_elements(element_bytes(capacity)))), capacity_(capacity) {}

ElementArray::~ElementArray() { release_elements(data_, capacity_ * sizeof(Vec3d), size_ * sizeof(Vec3d)); }

void ElementArray::reallocate(std::size_t capacity) {
    if (capacity < size_) capacity = size_;
    const std::size_t old_bytes = capacity_ * sizeof(Vec3d);
    const std::size_t new_bytes = element_bytes(capacity);
    if (data_ != nullptr && new_bytes != 0 && !is_mapped(old_bytes) && !is_mapped(new_bytes)) {
        data_ = static_cast<Vec3d*>(resize_small_elements(data_, new_bytes));
    } else {
        auto* fresh = static_cast<Vec3d*>(allocate_elements(new_bytes));
        try {
            copy_elements(view(), fresh);
        } catch (...) {
            release_elements(fresh, new_bytes, 0);
            throw;
        }
        release_elements(data_, old_bytes, size_ * sizeof(Vec3d));
        data_ = fresh;
    }
    capacity_ = capacity;
}

ElementArray& VecList::own(std::size_t capacity) {
    if (elements_ && elements_.use_count() == 1) {
        if (elements_->capacity() < capacity) elements_->reallocate(capacity);
    } else {
        auto fresh = std::make_shared<ElementArray>(std::max(capacity, size()));
        copy_elements(view(), fresh->slots());
        fresh->set_size(size());
        elements_ = std::move(fresh);
    }
    return *elements_;
}

void VecList::reserve(std::size_t capacity) {
    if (capacity > size()) own(capacity);
}

void VecList::append(const Vec3d& v) {
    const std::size_t n = size();
    const bool fits = elements_ && elements_.use_count() == 1 && n < elements_->capacity();
    ElementArray& array = fits ? *elements_ : own(growth(n, n + 1));
    array.slots()[n] = v;
    array.set_size(n + 1);
}

void VecList::extend(std::span<const Vec3d> added) {
    if (added.empty()) return;
    const std::size_t n = size();
    const std::size_t final_size = checked_sum(n, added.size());
    // A pinned array is copied anyway: the copy gets exactly the room
    // needed, so the call adds no more memory than the final array.
    const bool unshared = elements_ && elements_.use_count() == 1;
    const bool grows = unshared && final_size > elements_->capacity();
    ElementArray& array = own(grows ? growth(n, final_size) : final_size);
    copy_elements(added, array.slots() + n);
    array.set_size(final_size);
}

void VecList::shrink_to_fit() {
    if (!elements_ || elements_.use_count() != 1 || elements_->capacity() == elements_->size()) return;
    if (elements_->size() == 0) {
        elements_.reset();
    } else {
        elements_->reallocate(elements_->size());
    }
}

}  // namespace tessary_py
