#pragma once
// The process-wide worker pool behind the parallel state building of
// "scan". Created on first use with one worker per processor this process
// may run on; shared by every radar; never calls into Python.

#include <cstddef>
#include <functional>

namespace radar {

// Runs task(i) for every i in [0, count) and returns when all are done.
// The calling thread waits. Each index runs exactly once, so a task
// that writes only slot i gives a result independent of scheduling. An
// exception from a task (allocation failure) is rethrown here after the
// other tasks stop.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task);

// Workers in the pool (creating it if needed).
[[nodiscard]] std::size_t pool_size();

// Processors this process may run on; does not create the pool.
[[nodiscard]] std::size_t available_processors();

}  // namespace radar
