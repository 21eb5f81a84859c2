// The process-wide thread pool: a fixed set of workers, started on first use
// (one per hardware thread), that run the tasks of flat parallel loops. The
// caller of a loop takes part in it, so a loop always finishes even when
// every worker is busy with other callers' loops or the pool has no workers
// at all (for instance in a child process after fork). Loops from several
// threads may run at once; tasks of one loop must not wait for each other.
#pragma once

#include <cstddef>
#include <functional>

namespace vantu {

// P: the number of worker threads of the pool (at least 1). Starts the pool.
std::size_t pool_threads();

// Instances per batch task for `items` instances on a pool of `threads`:
// 1 when items < 4 * threads, else min(items / (4 * threads), 4096). About
// four tasks per thread balance the load; the cap bounds a task's memory.
std::size_t chunk_len(std::size_t items, std::size_t threads);

// The same with the pool's own thread count.
std::size_t chunk_len(std::size_t items);

// Runs body(i) once for every i in [0, n_tasks) on the pool and the calling
// thread, and returns when all of them have finished. If tasks throw, the
// first exception caught is rethrown here after every other task has run.
void parallel_for(std::size_t n_tasks, const std::function<void(std::size_t)>& body);

}  // namespace vantu
