// The process-wide work-stealing pool (oneTBB underneath, hidden behind this
// header so algorithm files compile without it).
//
// Size: RAYON_NUM_THREADS (a positive integer), else RAYON_RS_NUM_CPUS, else the
// logical CPU count. Created lazily on first use, never torn down. The calling
// thread takes part in every job. If a task throws, the job is cancelled, the
// caller waits until every running task has stopped, and then the first
// exception is rethrown on the calling thread with its original type.
#pragma once

#include <cstddef>
#include <functional>

namespace tarsel::pool {

// Number of threads in the pool, the calling thread included.
std::size_t size();

// Index of the current thread within the pool, in [0, size()); use it to pick a
// per-thread scratch buffer allocated before the job. Outside a job it is 0.
std::size_t worker_index();

// Run body(lo, hi) over disjoint sub-ranges that cover [begin, end). Ranges are
// split adaptively (halving) down to `grain` elements.
void parallel_for(std::size_t begin, std::size_t end, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace tarsel::pool
