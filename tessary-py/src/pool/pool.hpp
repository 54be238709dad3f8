// The process-wide worker pool: fork-join over contiguous ranges of an
// index space. The calling thread takes part in the work and returns only
// when every range is done. The pool is created by the first call that has
// enough work to share, sized once (sizing.hpp), and replaced by a fresh one
// on first use in a child process after fork().
//
// Workers run only the plain C++ handed to them; they never see Python.
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace pool {

// A borrowed callable run once per part; it must outlive the call.
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

// Runs work(0), ..., work(parts - 1), spread over the calling thread and
// the workers; rethrows the first exception a part threw once all are done.
void run_parts(std::size_t parts, PartFn work);

// The same, in two halves: start_parts offers the parts to the workers and
// returns at once; finish_parts has the caller take whatever is left, waits
// for the rest and rethrows. Every started job must be finished.
struct Job;
Job* start_parts(std::size_t parts, PartFn work);
void finish_parts(Job* job);

// The number of threads working on a parallel call, the caller included.
// Creates the pool.
std::size_t thread_count();

// [0, n) cut into `parts` consecutive ranges of `step` elements, the last
// one possibly shorter.
struct Split {
    std::size_t n;
    std::size_t parts;
    std::size_t step;
    std::size_t begin(std::size_t part) const { return part * step; }
    std::size_t end(std::size_t part) const { return part + 1 == parts ? n : (part + 1) * step; }
};

// Ranges of at least `grain` elements, a few per thread so that a thread
// that starts late or is preempted does not hold everyone up. Less than two
// grains of work is one range, run on the calling thread without touching
// the pool: below that, waking a thread costs more than it saves.
Split split(std::size_t n, std::size_t grain);

// body(begin, end) for consecutive ranges covering [0, n) once each.
template <class Body>
void parallel_for(std::size_t n, std::size_t grain, Body&& body) {
    const Split cut = split(n, grain);
    if (cut.parts <= 1) {
        if (n != 0) body(std::size_t{0}, n);
        return;
    }
    auto part = [&](std::size_t k) { body(cut.begin(k), cut.end(k)); };
    run_parts(cut.parts, PartFn(part));
}

// map(begin, end) on consecutive ranges covering [0, n), n > 0, folded with
// combine(left, right) in range order, so the result does not depend on how
// many threads there are as long as the fold is associative.
template <class Map, class Combine>
auto parallel_reduce(std::size_t n, std::size_t grain, Map&& map, Combine&& combine) {
    using T = std::invoke_result_t<Map&, std::size_t, std::size_t>;
    const Split cut = split(n, grain);
    if (cut.parts <= 1) return map(std::size_t{0}, n);
    std::vector<std::optional<T>> partial(cut.parts);
    auto part = [&](std::size_t k) { partial[k].emplace(map(cut.begin(k), cut.end(k))); };
    run_parts(cut.parts, PartFn(part));
    T result = std::move(*partial[0]);
    for (std::size_t k = 1; k < cut.parts; ++k) result = combine(std::move(result), std::move(*partial[k]));
    return result;
}

// body(begin, end) over [0, n), started on the workers while the caller
// goes on with something else; join() (at the latest the destructor) has
// the caller do what no worker took and waits for the rest. Without idle
// workers, join() does it all. `body` must outlive the object.
template <class Body>
class Background {
public:
    Background(std::size_t n, std::size_t grain, Body& body) : body_(body) {
        if (n == 0) return;
        cut_ = split(n, grain);
        job_ = start_parts(cut_.parts, PartFn(*this));
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background() {
        // Only reached early when the caller's own work failed; the workers
        // must be done with `body` before it goes away.
        try {
            join();
        } catch (...) {
        }
    }

    void join() {
        if (job_ != nullptr) finish_parts(std::exchange(job_, nullptr));
    }

    void operator()(std::size_t part) { body_(cut_.begin(part), cut_.end(part)); }

private:
    Body& body_;
    Split cut_{};
    Job* job_ = nullptr;
};

}  // namespace pool
