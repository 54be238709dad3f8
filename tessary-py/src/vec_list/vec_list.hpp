// The native side of VecList: an element array shared copy-on-write with
// whatever pinned it (iterators, buffer exports, lists copied from it).
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <utility>

#include "element_array.hpp"

namespace tessary_py {

using Elements = std::shared_ptr<ElementArray>;
using PinnedElements = std::shared_ptr<const ElementArray>;

class VecList {
public:
    VecList() = default;
    // A list of the array's elements (null for no storage at all).
    explicit VecList(Elements elements) : elements_(std::move(elements)) {}

    std::span<const Vec3d> view() const noexcept { return elements_ ? elements_->view() : std::span<const Vec3d>{}; }
    std::size_t size() const noexcept { return elements_ ? elements_->size() : 0; }

    // The array as it is now, kept alive and unchanged for the holder:
    // later changes to the list copy it first.
    PinnedElements pin() const noexcept { return elements_; }

    // The elements to change in place, or an empty span while the array is
    // pinned elsewhere (a change must then go to a new array).
    std::span<Vec3d> unshared() noexcept {
        if (!elements_ || elements_.use_count() != 1) return {};
        return {elements_->slots(), elements_->size()};
    }

    void reserve(std::size_t capacity);
    void append(const Vec3d& v);
    // `added` must stay valid across the call even if it is this list's
    // own array (hold a pin on it).
    void extend(std::span<const Vec3d> added);
    // Gives back capacity beyond the size.
    void shrink_to_fit();

private:
    // An unshared array with room for `capacity`, holding the current
    // elements: the array itself when it already is one, else a copy.
    ElementArray& own(std::size_t capacity);

    // Null for a list that never had storage. Only touched with the
    // interpreter lock held, so its reference count needs no more care.
    Elements elements_;
};

struct VecListIterator {
    PinnedElements snapshot;
    std::size_t cursor = 0;
};

}  // namespace tessary_py
