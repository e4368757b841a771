// src/python/parallel.hpp: work that runs without the interpreter lock, in blocks, on one or
// more of the library's threads, and interruptible by signals between blocks
#pragma once

#include <Python.h>

#include <cstddef>
#include <functional>

namespace korvane::python {

/// The keyword-only `workers` argument: how many threads a call may work on.
struct Workers {
    unsigned count = 1;
};

// What the docstring of every call with workers says of them (literals, to be joined with the
// docstring's own).
#define KORVANE_WORKERS_PARAGRAPH                                                               \
    "From 256 rows on the call works without the interpreter lock, in blocks that `workers`\n"  \
    "threads share (the answers are the same for every number of them), and a signal such as\n" \
    "Ctrl-C ends it within a fraction of a second.\n"
#define KORVANE_WORKERS_PARAM                                                                    \
    ":param workers: Threads to work on, the calling one included (-1: every core the process\n" \
    "    may use)\n"

/// An int: a positive number (more than the cores the process may use counts as that many), or
/// -1 for every one of them; 0 and below -1 are a ValueError.
bool convert(PyObject* obj, Workers& out);

/// Runs `task(i)` for every i in [0, count) without the interpreter lock, on up to
/// `workers.count` threads (the calling one and the library's pool). Between tasks the calling
/// thread takes the lock back about every 25 ms to run pending signal handlers; when one raises
/// (Ctrl-C's KeyboardInterrupt, an alarm's exception), no task is started any more and, once
/// those running have finished, false is returned with that exception set. True once every task
/// has run. Called with the lock held, returns with it held; an exception a task throws
/// propagates once the lock is held again.
bool run_without_lock(std::size_t count, Workers workers,
                      const std::function<void(std::size_t)>& task);

/// run_without_lock over [0, rows) in blocks of at most `block_rows` rows: `block(begin, end)`.
bool run_blocks_without_lock(std::size_t rows, std::size_t block_rows, Workers workers,
                             const std::function<void(std::size_t, std::size_t)>& block);

}  // namespace korvane::python
