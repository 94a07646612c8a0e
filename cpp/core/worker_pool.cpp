#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace radar {

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

bool prepare_thread_for_exceptions() noexcept {
    // Below malloc's mmap threshold, so the block freed here stays in this
    // thread's arena and serves the runtime's small allocations just after.
    constexpr std::size_t kProbe = std::size_t{64} << 10;
    void* probe = std::malloc(kProbe);  // NOLINT: a probe, not an owner
    if (probe == nullptr) return false;
    std::free(probe);  // NOLINT
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    return true;
}

namespace {

// Blocks every signal in the calling thread for its lifetime, so that
// threads started meanwhile take none (signals belong to the interpreter's
// main thread); the caller's mask comes back however the scope ends.
class SignalsBlocked {
public:
    SignalsBlocked() noexcept {
        sigset_t all;
        sigfillset(&all);
        blocked_ = pthread_sigmask(SIG_BLOCK, &all, &previous_) == 0;
    }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;
    ~SignalsBlocked() {
        if (blocked_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    [[nodiscard]] bool blocked() const noexcept { return blocked_; }

private:
    sigset_t previous_{};
    bool blocked_ = false;
};

// One batch of work: indices are claimed in chunks from a shared counter.
struct Job {
    const std::function<void(std::size_t)>* task = nullptr;
    std::size_t count = 0;
    std::size_t chunk = 1;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;

    void run() noexcept {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const std::size_t start = next.fetch_add(chunk, std::memory_order_relaxed);
            if (start >= count) return;
            const std::size_t end = std::min(count, start + chunk);
            try {
                for (std::size_t i = start; i < end; ++i) (*task)(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
                return;
            }
        }
    }
};

class Pool {
public:
    explicit Pool(std::size_t wanted) noexcept : wanted_(wanted) {}
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Workers now, after trying to start the missing ones.
    std::size_t size() noexcept {
        std::unique_lock<std::mutex> submit(submit_mutex_, std::try_to_lock);
        if (submit.owns_lock()) top_up();
        return started_.load(std::memory_order_relaxed);
    }

    void run(std::size_t count, const std::function<void(std::size_t)>& task) {
        // One job at a time; a concurrent caller does its work alone.
        std::unique_lock<std::mutex> submit(submit_mutex_, std::try_to_lock);
        Job job;
        job.task = &task;
        job.count = count;
        if (submit.owns_lock()) top_up();
        const std::size_t workers = submit.owns_lock() ? threads_.size() : 0;
        job.chunk = std::max<std::size_t>(1, count / ((workers + 1) * 8));
        if (workers == 0 || count < 2) {
            job.run();
        } else {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                job_ = &job;
                busy_ = workers;
                ++generation_;
            }
            wake_.notify_all();
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] { return busy_ == 0; });
            job_ = nullptr;
        }
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    enum class Start { Pending, Ready, Failed };

    // Starts workers until there are enough or one fails. Called with the
    // submit lock held, so no job is running. Nothing here throws: a worker
    // that cannot start is simply not there, and the next job tries again.
    void top_up() noexcept {
        if (threads_.size() >= wanted_) return;
        try {
            threads_.reserve(wanted_);  // so that keeping a started thread cannot fail
        } catch (const std::bad_alloc&) {
            return;
        }
        const SignalsBlocked blocked;
        if (!blocked.blocked()) return;
        while (threads_.size() < wanted_ && start_worker()) {
        }
    }

    // Starts one worker and waits for it to say whether it can work; a
    // worker that cannot is joined here, before anything else happens.
    bool start_worker() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            start_ = Start::Pending;
        }
        std::thread thread;
        try {
            thread = std::thread([this] { work(); });
        } catch (...) {  // std::system_error (no thread) or std::bad_alloc
            return false;
        }
        Start verdict = Start::Pending;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            started_cv_.wait(lock, [this] { return start_ != Start::Pending; });
            verdict = start_;
        }
        if (verdict == Start::Failed) {
            thread.join();
            return false;
        }
        threads_.push_back(std::move(thread));  // within the reserved capacity
        started_.store(threads_.size(), std::memory_order_relaxed);
        return true;
    }

    void work() noexcept {
        const bool ready = prepare_thread_for_exceptions();
        std::uint64_t seen = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen = generation_;  // jobs before this one are not this worker's
            start_ = ready ? Start::Ready : Start::Failed;
        }
        started_cv_.notify_all();
        if (!ready) return;
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return generation_ != seen; });
                seen = generation_;
                job = job_;
            }
            job->run();
            std::lock_guard<std::mutex> lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    const std::size_t wanted_;
    std::vector<std::thread> threads_;  // changed only under submit_mutex_
    std::atomic<std::size_t> started_{0};
    std::mutex submit_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::condition_variable started_cv_;
    Start start_ = Start::Pending;
    Job* job_ = nullptr;
    std::size_t busy_ = 0;
    std::uint64_t generation_ = 0;
};

// The pool lives until the process ends: it is never destroyed, because
// joining threads during interpreter shutdown can deadlock. After fork()
// the child has none of the parent's workers, so it drops (leaks) the old
// pool and makes a new one on first use.
std::atomic<Pool*> g_pool{nullptr};
std::atomic_flag g_creating = ATOMIC_FLAG_INIT;
bool g_fork_handler = false;  // guarded by g_creating

void forget_pool_in_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_creating.clear();
}

// The pool, or null when it cannot be made now (out of memory); the caller
// then works alone and the next call tries again.
Pool* pool() noexcept {
    Pool* current = g_pool.load(std::memory_order_acquire);
    if (current != nullptr) return current;
    while (g_creating.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    current = g_pool.load(std::memory_order_acquire);
    // Without the fork handler a child would wait on workers it does not
    // have, so no pool is made until the handler is in place.
    if (current == nullptr && !g_fork_handler) {
        g_fork_handler = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    }
    if (current == nullptr && g_fork_handler) {
        current = new (std::nothrow) Pool(available_processors());  // never deleted
        g_pool.store(current, std::memory_order_release);
    }
    g_creating.clear(std::memory_order_release);
    return current;
}

}  // namespace

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count == 0) return;
    if (Pool* workers = pool()) {
        workers->run(count, task);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) task(i);
}

std::size_t pool_size() {
    Pool* workers = pool();
    return workers != nullptr ? workers->size() : 0;
}

}  // namespace radar
