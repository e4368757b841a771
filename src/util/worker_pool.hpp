// src/util/worker_pool.hpp: the library's own threads, shared by every call that takes more
// than one worker, and the number of cores the process may use
#pragma once

#include <cstddef>
#include <functional>

namespace korvane {

/// The number of cores the process may run on (its affinity mask), at least 1.
unsigned usable_cores() noexcept;

/// Runs `task(i)` for every i in [0, count), each once, on the calling thread and on up to
/// `workers - 1` threads of the library's pool (started when first needed, kept for the
/// process, never more than usable_cores() - 1 of them; a task only waits for a thread that is
/// idle). Tasks are taken in index order. After each task it ran, the calling thread asks
/// `keep_going()`: once that says false, no task is taken any more. Returns when every task
/// taken has finished; the first exception a task threw then propagates (the tasks not yet
/// taken are not run).
void run_tasks(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& task,
               const std::function<bool()>& keep_going = {});

}  // namespace korvane
