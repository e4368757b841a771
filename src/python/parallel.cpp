// src/python/parallel.cpp: the `workers` argument, and blocks of work run without the lock
#include "python/parallel.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

#include "python/ref.hpp"
#include "util/worker_pool.hpp"

namespace korvane::python {

namespace {

// How often a call working without the lock looks for pending signals: often enough that a
// Ctrl-C reaches the caller well within a fifth of a second, rarely enough to cost nothing.
constexpr auto kSignalInterval = std::chrono::milliseconds(25);

}  // namespace

bool convert(PyObject* obj, Workers& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
        return false;
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow < 0 || (overflow == 0 && (value == 0 || value < -1))) {
        PyErr_Format(PyExc_ValueError,
                     "workers must be a positive number of threads, or -1 for every core the "
                     "process may use (got %R)",
                     index.get());
        return false;
    }
    const unsigned cores = usable_cores();
    out.count =
        overflow > 0 || value == -1 ? cores : static_cast<unsigned>(std::min<long>(value, cores));
    return true;
}

bool run_without_lock(std::size_t count, Workers workers,
                      const std::function<void(std::size_t)>& task) {
    bool interrupted = false;
    auto last_check = std::chrono::steady_clock::now();
    PyThreadState* state = PyEval_SaveThread();
    const auto keep_going = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_check < kSignalInterval) {
            return true;
        }
        last_check = now;
        PyEval_RestoreThread(state);
        interrupted = PyErr_CheckSignals() < 0;
        state = PyEval_SaveThread();
        return !interrupted;
    };
    // Nothing may leave without the lock: a failure is carried past taking it back.
    std::exception_ptr failure;
    try {
        run_tasks(count, workers.count, task, keep_going);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) {
        std::rethrow_exception(failure);
    }
    return !interrupted;
}

bool run_blocks_without_lock(std::size_t rows, std::size_t block_rows, Workers workers,
                             const std::function<void(std::size_t, std::size_t)>& block) {
    const std::size_t blocks = rows == 0 ? 0 : (rows - 1) / block_rows + 1;
    return run_without_lock(blocks, workers, [&](std::size_t i) {
        block(i * block_rows, std::min(rows, (i + 1) * block_rows));
    });
}

}  // namespace korvane::python
