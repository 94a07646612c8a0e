#pragma once
// The process-wide worker pool behind the parallel parts of "scan".
// Created on first use with one worker per processor this process may run
// on; shared by every radar; never calls into Python. Workers that cannot
// be started (memory or thread limits) are tried again at the next parallel
// job; meanwhile the calling thread does the work the missing ones would
// have done, so a job never fails for want of workers.

#include <cstddef>
#include <functional>

namespace radar {

// Runs task(i) for every i in [0, count) and returns when all are done.
// The calling thread waits. Each index runs exactly once, so a task
// that writes only slot i gives a result independent of scheduling. An
// exception from a task (allocation failure) is rethrown here after the
// other tasks stop.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task);

// Workers in the pool (creating it, or starting missing workers, if needed).
[[nodiscard]] std::size_t pool_size();

// Processors this process may run on; does not create the pool.
[[nodiscard]] std::size_t available_processors();

// A thread's first C++ exception makes the runtime set up thread-local
// storage, which the C library allocates on first use and, when it cannot,
// ends the process. This takes that step now if memory is there, and
// answers false (having touched nothing) when it is not. Every thread that
// may throw (workers, threads that own a radar) calls it before its work.
[[nodiscard]] bool prepare_thread_for_exceptions() noexcept;

}  // namespace radar
