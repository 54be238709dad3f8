#include "pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "sizing.hpp"

namespace pool::detail {
namespace {

// A few parts per thread balance a late or preempted thread; more would
// only add claims.
constexpr std::size_t kPartsPerThread = 4;

}  // namespace

// One parallel call: the parts are claimed one at a time by whoever is
// free, the caller included. It is created on the calling thread, which
// is when that thread's floating-point environment is taken.
struct Job {
    explicit Job(std::size_t parts, PartFn work) : parts(parts), work(work) { std::fegetenv(&environment); }

    // A worker computes the job as the caller would: a rounding mode or a
    // flush-to-zero mode set by the caller (or a library it loaded) after
    // the worker was started applies to the job all the same.
    void work_through_as_caller() noexcept {
        std::fenv_t own;
        std::fegetenv(&own);
        std::fesetenv(&environment);
        work_through();
        std::fesetenv(&own);
    }

    void work_through() noexcept {
        for (std::size_t part; (part = next.fetch_add(1, std::memory_order_relaxed)) < parts;) {
            try {
                work(part);
            } catch (...) {
                std::lock_guard lock(error_mutex);
                if (!error) error = std::current_exception();
            }
        }
    }

    const std::size_t parts;
    const PartFn work;
    std::fenv_t environment;
    std::atomic<std::size_t> next{0};
    std::mutex error_mutex;
    std::exception_ptr error;
    // Offered to the workers, who must be waited for.
    bool posted = false;
};

namespace {

class Pool {
public:
    // Starts size - 1 workers (the caller is the last one). If the system
    // refuses a thread, the pool works with those it has, down to none.
    explicit Pool(std::size_t size) {
        for (std::size_t i = 1; i < size; ++i) {
            try {
                std::thread(&Pool::serve, this).detach();
            } catch (const std::system_error&) {
                break;
            }
            ++workers_;
        }
    }

    std::size_t threads() const { return workers_ + 1; }

    // Offers the job to the workers. One job at a time is shared out; a
    // second caller meanwhile (a thread without the interpreter lock, or a
    // call nested in the first) gets no help rather than a wait.
    void post(Job& job) {
        if (workers_ == 0 || in_use_.exchange(true, std::memory_order_acquire)) return;
        job.posted = true;
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            ++generation_;
        }
        wake_.notify_all();
    }

    // The caller takes the parts nobody has claimed yet, then waits for the
    // workers that joined to finish theirs.
    void finish(Job& job) {
        job.work_through();
        if (job.posted) {
            // Once job_ is cleared no worker can join.
            std::unique_lock lock(mutex_);
            job_ = nullptr;
            done_.wait(lock, [&] { return busy_ == 0; });
            lock.unlock();
            in_use_.store(false, std::memory_order_release);
        }
    }

private:
    void serve() {
        std::uint64_t seen = 0;
        for (;;) {
            Job* job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return generation_ != seen; });
                seen = generation_;
                job = job_;
                if (job == nullptr) continue;
                ++busy_;
            }
            job->work_through_as_caller();
            std::lock_guard lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    std::size_t workers_ = 0;
    std::atomic<bool> in_use_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    Job* job_ = nullptr;
    std::uint64_t generation_ = 0;
    std::size_t busy_ = 0;
};

// The pool lives until the process ends and is never destroyed: its
// workers are parked in it. In a child process after fork() those workers
// do not exist and its locks may have been copied in a held state, so the
// child forgets it (leaking the copy) and builds its own on first use.
std::mutex creation_mutex;
Pool* instance = nullptr;

void before_fork() { creation_mutex.lock(); }
void after_fork_in_parent() { creation_mutex.unlock(); }
void after_fork_in_child() {
    instance = nullptr;
    creation_mutex.unlock();
}

Pool& the_pool() {
    static const bool fork_handlers = [] {
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
        return true;
    }();
    (void)fork_handlers;
    std::lock_guard lock(creation_mutex);
    if (instance == nullptr) instance = new Pool(std::max<std::size_t>(1, pool_size()));
    return *instance;
}

}  // namespace

void run(std::size_t parts, PartFn work) {
    Pool& pool = the_pool();
    Job job(parts, work);
    pool.post(job);
    pool.finish(job);
    if (job.error) std::rethrow_exception(job.error);
}

Job* start(std::size_t parts, PartFn work) {
    auto job = std::make_unique<Job>(parts, work);
    the_pool().post(*job);
    return job.release();
}

void finish(Job* started) {
    const std::unique_ptr<Job> job(started);
    the_pool().finish(*job);
    if (job->error) std::rethrow_exception(job->error);
}

Split split(std::size_t n, std::size_t grain) {
    grain = std::max<std::size_t>(grain, 1);
    if (n / 2 < grain) return {n, 1, n};
    const std::size_t threads = the_pool().threads();
    if (threads <= 1) return {n, 1, n};
    const std::size_t wanted = std::min(n / grain, threads * kPartsPerThread);
    const std::size_t step = (n + wanted - 1) / wanted;
    return {n, (n + step - 1) / step, step};
}

}  // namespace pool::detail
