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
//       `farthest`: true when taken at once (a count needs no more);
//   void offer_leaf(const std::uint64_t* keys, std::size_t count)
//       a leaf's keys at once, for a finite query (a count needs no
//       indices);
//   void offer(std::uint64_t key, std::size_t index, std::size_t place, const Vec3d& point)
//       in place of the three-argument offer, to keep the point's
//       coordinates too (a neighbourhood for a fit);
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
#include <span>
#include <vector>

#include "neighbour.hpp"
#include "vec3d.hpp"

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

// The best k of what is offered, by rank (key, then index), among those
// with a key at most `limit`: held in a buffer of up to about twice k,
// where an offer is appended while it precedes the k-th best held (the
// threshold) and the buffer is cut back to its best k, by a selection,
// whenever it fills. So an offer costs a comparison and a store, where
// keeping k in order would move half of them each time. k =
// kEveryMember keeps every offer within the limit.
inline constexpr std::size_t kEveryMember = std::numeric_limits<std::size_t>::max();

template <class Member>
class BestK {
public:
    BestK(std::vector<Member>& buffer, std::size_t k, std::uint64_t limit)
        : buffer_(buffer), k_(k), room_(k == kEveryMember ? kEveryMember : std::max(2 * k, k + 16)),
          threshold_{kNoPoint, limit} {
        buffer_.clear();
    }

    std::uint64_t bound() const { return threshold_.key; }
    // The k-th best held once k are, else {kNoPoint, limit}.
    const Neighbour& threshold() const { return threshold_; }
    bool takes(std::uint64_t key, std::size_t index) const { return precedes(key, index, threshold_); }
    void take(const Member& member) {
        buffer_.push_back(member);
        if (buffer_.size() == room_) cut();
    }


    // The best k (or all, if fewer), nearest first.
    std::span<const Member> finish() {
        if (buffer_.size() > k_) cut();
        std::sort(buffer_.begin(), buffer_.end(), by_rank);
        return buffer_;
    }

private:
    static bool by_rank(const Member& a, const Member& b) { return precedes(a.key, a.index, {b.index, b.key}); }

    void cut() {
        const auto kth = buffer_.begin() + static_cast<std::ptrdiff_t>(k_ - 1);
        std::nth_element(buffer_.begin(), kth, buffer_.end(), by_rank);
        threshold_ = {kth->index, kth->key};
        buffer_.resize(k_);
    }

    std::vector<Member>& buffer_;
    std::size_t k_;
    std::size_t room_;
    Neighbour threshold_;
};

// The k nearest with a key at most `limit` (k >= 1), nearest first after
// finish(); no more than the tree's points (`none`, its size), and any
// slots of k beyond those found are missing(). A few are kept in order by
// insertion, which costs least while k is small; more in BestK's buffer.
class NearestKResult {
public:
    NearestKResult(std::vector<Neighbour>& buffer, std::size_t k, std::size_t none, std::uint64_t limit,
                   std::size_t skip)
        : best_(buffer, k, limit), slots_(buffer), k_(k), wanted_(std::min(k, none)), none_(none), skip_(skip),
          inserted_(wanted_ <= kMostInserted) {
        if (!inserted_) {
            worst_ = &best_.threshold();
            return;
        }
        slots_.assign(wanted_, Neighbour{none, limit});
        // With no slot to fill (no points) nothing precedes the worst.
        worst_ = wanted_ == 0 ? &kNothing : &slots_[wanted_ - 1];
    }
    // worst_ may point into the result itself.
    NearestKResult(const NearestKResult&) = delete;
    NearestKResult& operator=(const NearestKResult&) = delete;
    NearestKResult(std::vector<Neighbour>& buffer, std::size_t k, std::size_t none, std::uint64_t limit)
        : NearestKResult(buffer, k, none, limit, kNoPoint) {}

    std::uint64_t bound() const { return worst_->key; }
    void offer(std::uint64_t key, std::size_t index, std::size_t) {
        if (index == skip_) return;
        if (!inserted_) {
            if (best_.takes(key, index)) best_.take({index, key});
            return;
        }
        if (!precedes(key, index, *worst_)) return;
        std::size_t slot = wanted_ - 1;
        for (; slot > 0 && precedes(key, index, slots_[slot - 1]); --slot) slots_[slot] = slots_[slot - 1];
        slots_[slot] = {index, key};
    }

    // The answers found, nearest first.
    std::span<const Neighbour> finish() {
        if (!inserted_) return best_.finish();
        std::size_t found = 0;
        while (found < wanted_ && slots_[found].index != none_) ++found;
        return {slots_.data(), found};
    }
    Neighbour missing() const { return {none_, kInfinityKey}; }

    // The answers in order into out[0, k), the missing ones after them.
    void finish(Neighbour* out) {
        const std::span<const Neighbour> found = finish();
        std::copy(found.begin(), found.end(), out);
        std::fill(out + found.size(), out + k_, missing());
    }

private:
    static constexpr std::size_t kMostInserted = 16;
    static constexpr Neighbour kNothing{0, 0};

    BestK<Neighbour> best_;
    std::vector<Neighbour>& slots_;
    std::size_t k_;
    std::size_t wanted_;
    std::size_t none_;
    std::size_t skip_;
    bool inserted_;
    const Neighbour* worst_ = nullptr;
};

// A neighbourhood: the k nearest with a key at most `limit` (every point
// within it for k = kEveryMember), with their coordinates, for a fit over
// them.
class NeighbourhoodResult {
public:
    struct Member {
        std::uint64_t key;
        std::size_t index;
        Vec3d point;
    };

    // A query with a NaN or infinite coordinate (`finite` false) has no
    // neighbourhood: every point is at a NaN or infinite distance from it.
    NeighbourhoodResult(std::vector<Member>& members, std::size_t k, std::uint64_t limit, std::size_t skip,
                        bool finite = true)
        : best_(members, k, finite ? limit : 0), skip_(skip), finite_(finite) {}

    std::uint64_t bound() const { return best_.bound(); }
    void offer(std::uint64_t key, std::size_t index, std::size_t, const Vec3d& point) {
        if (best_.takes(key, index) && index != skip_ && finite_) best_.take({key, index, point});
    }

    // The members, nearest first, then by index.
    std::span<const Member> finish() { return best_.finish(); }

private:
    BestK<Member> best_;
    std::size_t skip_;
    bool finite_;
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
    // A leaf's squared distances at once, for a finite query (whose own
    // point is never skipped, but taken off at the end).
    void offer_leaf(const std::uint64_t* bits, std::size_t count) {
        std::size_t within = 0;
        for (std::size_t i = 0; i < count; ++i) within += bits[i] <= limit_;
        count_ += within;
    }
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
