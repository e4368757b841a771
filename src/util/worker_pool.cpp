// src/util/worker_pool.cpp: the pool's threads, the jobs they help with, and a fresh pool in a
// forked child
#include "util/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace korvane {

namespace {

/// One call's tasks, worked on by its caller and by the pool threads that joined it.
struct Job {
    Job(std::size_t count, const std::function<void(std::size_t)>& task)
        : count(count), task(task) {}

    std::size_t count;
    const std::function<void(std::size_t)>& task;
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;  // the first; written under `failure_mutex`
    std::mutex failure_mutex;
    unsigned helpers = 0;  // pool threads inside work(), under the pool's mutex

    void stop() noexcept { next.store(count, std::memory_order_relaxed); }

    /// Runs one task; false when none was left.
    bool work_one() noexcept {
        const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
        if (i >= count) {
            return false;
        }
        try {
            task(i);
        } catch (...) {
            const std::lock_guard lock(failure_mutex);
            if (!failure) {
                failure = std::current_exception();
            }
            stop();
        }
        return true;
    }
};

/// The threads and the jobs waiting for help. Allocated once and never destroyed: its threads
/// outlive every static destructor.
struct Pool {
    std::mutex mutex;
    std::condition_variable wake;  // a job asks for help
    std::condition_variable left;  // a helper left a job
    std::deque<Job*> requests;     // one entry per helper a job still waits for
    unsigned threads = 0;
    unsigned busy = 0;  // threads inside a job

    void serve() {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return !requests.empty(); });
            Job* job = requests.front();
            requests.pop_front();
            ++job->helpers;
            ++busy;
            lock.unlock();
            while (job->work_one()) {
            }
            lock.lock();
            --busy;
            --job->helpers;
            left.notify_all();
        }
    }
};

std::atomic<Pool*> the_pool{nullptr};
std::once_flag fork_handlers;

Pool& pool() {
    Pool* current = the_pool.load(std::memory_order_acquire);
    if (current == nullptr) {
        // The fork handlers keep a child from waiting for threads it does not have: it starts a
        // pool of its own (the parent's, whose mutex the fork may have caught held, is left).
        std::call_once(fork_handlers, [] {
            pthread_atfork([] { the_pool.load()->mutex.lock(); },
                           [] { the_pool.load()->mutex.unlock(); },
                           [] { the_pool.store(new Pool()); });
        });
        Pool* fresh = new Pool();
        if (!the_pool.compare_exchange_strong(current, fresh)) {
            delete fresh;
        } else {
            current = fresh;
        }
    }
    return *current;
}

}  // namespace

unsigned usable_cores() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

void run_tasks(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& task,
               const std::function<bool()>& keep_going) {
    Job job(count, task);
    const std::size_t wanted = std::min<std::size_t>(workers, count);
    Pool* helping = nullptr;
    if (wanted > 1) {
        helping = &pool();
        const std::lock_guard lock(helping->mutex);
        const unsigned limit = usable_cores() - 1;
        for (std::size_t k = 1; k < wanted; ++k) {
            helping->requests.push_back(&job);
            if (helping->threads - helping->busy < helping->requests.size() &&
                helping->threads < limit) {
                // A thread the system refuses is one helper less, not a failure.
                try {
                    std::thread([helping] { helping->serve(); }).detach();
                    ++helping->threads;
                } catch (const std::system_error&) {
                }
            }
        }
        helping->wake.notify_all();
    }
    while (job.work_one()) {
        if (keep_going && !keep_going()) {
            job.stop();
        }
    }
    if (helping != nullptr) {
        std::unique_lock lock(helping->mutex);
        std::erase(helping->requests, &job);
        helping->left.wait(lock, [&] { return job.helpers == 0; });
    }
    if (job.failure) {
        std::rethrow_exception(job.failure);
    }
}

}  // namespace korvane
