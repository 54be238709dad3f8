// The questions a k-d tree answers, each a small result type that the
// tree's one search (KdTree::search) feeds. A result type has
//
//   std::uint64_t bound() const
//       the largest key a point may have and still count: the search skips
//       every box whose nearest key is above it, and offers only points
//       whose key is at most it (so a point at an equal distance with a
//       lower index is never missed);
//   void offer(std::uint64_t key, std::size_t index, std::size_t place)
//       a point with key <= bound(): its index in the points the tree was
//       built from, and its place in the tree's order (KdTree::point_at),
//       or kAside for a point kept aside for a non-finite coordinate;
//
// and may have
//
//   bool offer_all(std::uint64_t farthest, std::size_t count)
//       a whole node of `count` points none farther than the key
//       `farthest`: true when taken at once (a count needs no more).
//
// A new question is a new type here; the search is not written again.
//
// Each result may leave out one index (`skip`; kNoPoint for none): a query
// asked for a point of the tree itself, without that point.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "neighbour.hpp"

namespace tessary {

// The place of a point kept aside, which has none in the tree's order.
inline constexpr std::size_t kAside = std::numeric_limits<std::size_t>::max();
// An index no point has: nothing to leave out.
inline constexpr std::size_t kNoPoint = std::numeric_limits<std::size_t>::max();

// The nearest point with a key at most `limit`.
class NearestResult {
public:
    // `none`: the index that stands for no answer (the tree's size).
    NearestResult(std::size_t none, std::uint64_t limit, std::size_t skip)
        : best_{none, limit}, none_(none), skip_(skip) {}
    NearestResult(std::size_t none, std::uint64_t limit) : NearestResult(none, limit, kNoPoint) {}

    std::uint64_t bound() const { return best_.key; }
    void offer(std::uint64_t key, std::size_t index, std::size_t place) {
        if (!precedes(key, index, best_) || index == skip_) return;
        best_ = {index, key};
        place_ = place;
    }

    // The answer, or {none, kInfinityKey}.
    Neighbour answer() const { return found() ? best_ : Neighbour{none_, kInfinityKey}; }
    bool found() const { return best_.index != none_; }
    // The answer's place in the tree's order, or kAside.
    std::size_t place() const { return place_; }

private:
    Neighbour best_;
    std::size_t none_;
    std::size_t skip_;
    std::size_t place_ = kAside;
};

// The k nearest with a key at most `limit`, in order, into slots[0, k);
// slots beyond those found are {none, kInfinityKey} after finish().
class NearestKResult {
public:
    // No more answers than points (`none`, the tree's size): the other
    // slots are missing ones from the start. k >= 1.
    NearestKResult(Neighbour* slots, std::size_t k, std::size_t none, std::uint64_t limit, std::size_t skip)
        : slots_(slots), wanted_(std::min(k, none)), none_(none), skip_(skip), heap_(wanted_ > kMostInserted) {
        std::fill(slots + wanted_, slots + k, Neighbour{none, kInfinityKey});
        std::fill(slots, slots + wanted_, Neighbour{none, limit});
        // With no slot to fill (no points) nothing precedes the worst.
        worst_ = wanted_ == 0 ? &kNothing : heap_ ? slots : slots + wanted_ - 1;
    }

    NearestKResult(Neighbour* slots, std::size_t k, std::size_t none, std::uint64_t limit)
        : NearestKResult(slots, k, none, limit, kNoPoint) {}

    std::uint64_t bound() const { return worst_->key; }
    void offer(std::uint64_t key, std::size_t index, std::size_t) {
        if (!precedes(key, index, *worst_) || index == skip_) return;
        if (heap_) {
            std::pop_heap(slots_, slots_ + wanted_, by_rank);
            slots_[wanted_ - 1] = {index, key};
            std::push_heap(slots_, slots_ + wanted_, by_rank);
            return;
        }
        std::size_t slot = wanted_ - 1;
        for (; slot > 0 && precedes(key, index, slots_[slot - 1]); --slot) slots_[slot] = slots_[slot - 1];
        slots_[slot] = {index, key};
    }

    // Puts the answers in order and marks the missing ones.
    void finish() {
        if (heap_) std::sort_heap(slots_, slots_ + wanted_, by_rank);
        for (std::size_t slot = 0; slot < wanted_; ++slot) {
            if (slots_[slot].index == none_) slots_[slot].key = kInfinityKey;
        }
    }

private:
    // The most answers kept in order by insertion; more go to a heap whose
    // top is the worst of them, sorted at the end.
    static constexpr std::size_t kMostInserted = 32;
    static constexpr Neighbour kNothing{0, 0};
    static bool by_rank(const Neighbour& a, const Neighbour& b) { return precedes(a, b); }

    Neighbour* slots_;
    std::size_t wanted_;
    std::size_t none_;
    std::size_t skip_;
    bool heap_;
    const Neighbour* worst_;
};

// How many points have a key at most `limit` (a within_key). Whole nodes
// are counted at once, so the point to leave out of a finite query's
// count, which lies within any radius of it, is taken off at the end
// (`less`) instead of skipped.
class CountResult {
public:
    CountResult(std::uint64_t limit, std::size_t skip, std::size_t less) : limit_(limit), skip_(skip), less_(less) {}
    explicit CountResult(std::uint64_t limit) : CountResult(limit, kNoPoint, 0) {}

    std::uint64_t bound() const { return limit_; }
    void offer(std::uint64_t, std::size_t index, std::size_t) { count_ += index != skip_; }
    bool offer_all(std::uint64_t farthest, std::size_t count) {
        if (farthest > limit_) return false;
        count_ += count;
        return true;
    }

    std::size_t count() const { return count_ - less_; }

private:
    std::uint64_t limit_;
    std::size_t skip_;
    std::size_t less_;
    std::size_t count_ = 0;
};

// The points with a key at most `limit`, appended to `found` and put in
// order by finish().
class RadiusResult {
public:
    RadiusResult(std::vector<Neighbour>& found, std::uint64_t limit, std::size_t skip)
        : found_(found), start_(found.size()), limit_(limit), skip_(skip) {}
    RadiusResult(std::vector<Neighbour>& found, std::uint64_t limit) : RadiusResult(found, limit, kNoPoint) {}

    std::uint64_t bound() const { return limit_; }
    void offer(std::uint64_t key, std::size_t index, std::size_t) {
        if (index != skip_) found_.push_back({index, key});
    }

    void finish() {
        std::sort(found_.begin() + static_cast<std::ptrdiff_t>(start_), found_.end(),
                  [](const Neighbour& a, const Neighbour& b) { return precedes(a, b); });
    }

private:
    std::vector<Neighbour>& found_;
    std::size_t start_;
    std::uint64_t limit_;
    std::size_t skip_;
};

}  // namespace tessary
