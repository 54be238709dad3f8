// The native side of VecList: a contiguous array of core vectors, shared
// copy-on-write with the iterators taken from it.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "../../../tessary/src/vec3d.hpp"

namespace tessary_py {

using tessary::Vec3d;

// Leaves new elements uninitialised: every result array is written in full
// by its map, so zeroing it first would be one more pass over the memory.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

    template <class U, class... A>
    void construct(U* at, A&&... args) {
        if constexpr (sizeof...(A) == 0) {
            ::new (static_cast<void*>(at)) U;
        } else {
            ::new (static_cast<void*>(at)) U(std::forward<A>(args)...);
        }
    }
};

using Elements = std::vector<Vec3d, DefaultInitAllocator<Vec3d>>;

class VecList {
public:
    VecList() = default;
    explicit VecList(Elements elements)
        : elements_(elements.empty() ? nullptr : std::make_shared<Elements>(std::move(elements))) {}

    std::span<const Vec3d> view() const {
        if (!elements_) return {};
        return {elements_->data(), elements_->size()};
    }
    std::size_t size() const { return elements_ ? elements_->size() : 0; }

    // The array to change in place. While an iterator shares it, it is
    // copied first, so the iterator keeps what it was given.
    Elements& modify() {
        if (!elements_) {
            elements_ = std::make_shared<Elements>();
        } else if (elements_.use_count() > 1) {
            auto own = std::make_shared<Elements>();
            own->reserve(elements_->size() + elements_->size() / 2 + 1);
            own->assign(elements_->begin(), elements_->end());
            elements_ = std::move(own);
        }
        return *elements_;
    }

    // The array as it is now, for an iterator; later changes to the list
    // never reach it.
    std::shared_ptr<const Elements> snapshot() const { return elements_; }

private:
    // Null for an empty list that never had storage. Only ever touched with
    // the interpreter lock held, so the reference count needs no more care.
    std::shared_ptr<Elements> elements_;
};

struct VecListIterator {
    std::shared_ptr<const Elements> snapshot;
    std::size_t cursor = 0;
};

}  // namespace tessary_py
