// The process-wide worker pool: fork-join over contiguous ranges of an
// index space [0, n).
//
// - parallel_for(n, grain, body) runs body(begin, end) over consecutive
//   ranges that cover [0, n) once each and returns when all are done. The
//   calling thread works too. Less than two grains of work runs inline on
//   the caller and never touches the pool: below that, waking a thread
//   costs more than it saves.
// - Background(n, grain, body) offers the same ranges to the workers and
//   returns at once, so the caller can do something else meanwhile; join()
//   has the caller take what is left and wait.
// - parallel_reduce folds per-range results in range order on top of the
//   same ranges, so its answer does not depend on the number of threads.
//
// The pool is created by the first call with work to share, sized once
// (sizing.hpp), and built afresh on first use in a child after fork().
// Each job runs in the floating-point environment (rounding mode,
// flush-to-zero) of the thread that handed it out. Workers run only the
// plain C++ given to them; they never see Python.
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace pool {
namespace detail {

// A borrowed callable run once per part; it must outlive the job.
class PartFn {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cv_t<F>, PartFn>)
    explicit PartFn(F& fn) noexcept
        : target_(&fn), call_([](void* target, std::size_t part) { (*static_cast<F*>(target))(part); }) {}
    void operator()(std::size_t part) const { call_(target_, part); }

private:
    void* target_;
    void (*call_)(void*, std::size_t);
};

// [0, n) cut into `parts` consecutive ranges of `step` elements, the last
// one possibly shorter.
struct Split {
    std::size_t n;
    std::size_t parts;
    std::size_t step;
    std::size_t begin(std::size_t part) const { return part * step; }
    std::size_t end(std::size_t part) const { return part + 1 == parts ? n : (part + 1) * step; }
};

// How a job of n elements is cut: one range below two grains, otherwise a
// few ranges per thread (so that a thread that starts late or is
// preempted does not hold everyone up). Creates the pool when the work is
// to be shared.
Split split(std::size_t n, std::size_t grain);

// One job in flight: its parts are claimed by whoever is free.
struct Job;

// Runs work(0), ..., work(parts - 1) on the caller and the workers;
// rethrows the first exception a part threw once all are done.
void run(std::size_t parts, PartFn work);

// The same in two halves: start offers the parts and returns at once;
// finish has the caller take what is left, waits and rethrows. Every
// started job is finished exactly once.
Job* start(std::size_t parts, PartFn work);
void finish(Job* job);

}  // namespace detail

template <class Body>
void parallel_for(std::size_t n, std::size_t grain, Body&& body) {
    if (n == 0) return;
    const detail::Split cut = detail::split(n, grain);
    if (cut.parts == 1) {
        body(std::size_t{0}, n);
        return;
    }
    auto part = [&](std::size_t k) { body(cut.begin(k), cut.end(k)); };
    detail::run(cut.parts, detail::PartFn(part));
}

// map(begin, end) over the ranges of [0, n), n > 0, folded with
// combine(left, right) in range order.
template <class Map, class Combine>
auto parallel_reduce(std::size_t n, std::size_t grain, Map&& map, Combine&& combine) {
    using T = std::invoke_result_t<Map&, std::size_t, std::size_t>;
    const detail::Split cut = detail::split(n, grain);
    if (cut.parts == 1) return map(std::size_t{0}, n);
    std::vector<std::optional<T>> partial(cut.parts);
    auto part = [&](std::size_t k) { partial[k].emplace(map(cut.begin(k), cut.end(k))); };
    detail::run(cut.parts, detail::PartFn(part));
    T result = std::move(*partial[0]);
    for (std::size_t k = 1; k < cut.parts; ++k) result = combine(std::move(result), std::move(*partial[k]));
    return result;
}

// body(begin, end) over [0, n), offered to the workers while the caller
// goes on; join() (at the latest the destructor) has the caller do what no
// worker took and waits for the rest. `body` must outlive the object.
template <class Body>
class Background {
public:
    Background(std::size_t n, std::size_t grain, Body& body) : body_(body) {
        if (n == 0) return;
        cut_ = detail::split(n, grain);
        job_ = detail::start(cut_.parts, detail::PartFn(*this));
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background() {
        // Only reached unjoined when the caller's own work failed; the
        // workers must be done with `body` before it goes away.
        try {
            join();
        } catch (...) {
        }
    }

    void join() {
        if (job_ != nullptr) detail::finish(std::exchange(job_, nullptr));
    }

    void operator()(std::size_t part) { body_(cut_.begin(part), cut_.end(part)); }

private:
    Body& body_;
    detail::Split cut_{};
    detail::Job* job_ = nullptr;
};

}  // namespace pool
