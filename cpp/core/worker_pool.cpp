#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
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

namespace {

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
    explicit Pool(std::size_t workers) {
        // Workers take no signals: they belong to the interpreter's main thread.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        for (std::size_t i = 0; i < workers; ++i) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // fewer workers than processors still works
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    std::size_t size() const { return threads_.size(); }

    void run(std::size_t count, const std::function<void(std::size_t)>& task) {
        // One job at a time; a concurrent caller does its work alone.
        std::unique_lock<std::mutex> submit(submit_mutex_, std::try_to_lock);
        Job job;
        job.task = &task;
        job.count = count;
        job.chunk = std::max<std::size_t>(1, count / ((threads_.size() + 1) * 8));
        if (!submit.owns_lock() || threads_.empty() || count < 2) {
            job.run();
        } else {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                job_ = &job;
                busy_ = threads_.size();
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
    void work() {
        // Thread-local storage of shared libraries is set up on a thread's
        // first use of it, by allocating. Do that now: otherwise the first
        // exception a worker throws (an allocation failure) would need that
        // memory when there is none, and the C runtime aborts the process.
        try {
            throw std::bad_alloc();
        } catch (const std::bad_alloc&) {
        }
        std::uint64_t seen = 0;
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

    std::vector<std::thread> threads_;
    std::mutex submit_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
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

void forget_pool_in_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_creating.clear();
}

Pool& pool() {
    Pool* current = g_pool.load(std::memory_order_acquire);
    if (current != nullptr) return *current;
    while (g_creating.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    current = g_pool.load(std::memory_order_acquire);
    if (current == nullptr) {
        static const bool registered = [] {
            pthread_atfork(nullptr, nullptr, forget_pool_in_child);
            return true;
        }();
        (void)registered;
        try {
            current = new Pool(available_processors());  // intentionally never deleted
        } catch (...) {
            g_creating.clear(std::memory_order_release);
            throw;
        }
        g_pool.store(current, std::memory_order_release);
    }
    g_creating.clear(std::memory_order_release);
    return *current;
}

}  // namespace

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count == 0) return;
    pool().run(count, task);
}

std::size_t pool_size() { return pool().size(); }

}  // namespace radar
