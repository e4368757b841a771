// src/util/worker_pool.cpp: the pool's threads, the jobs they help with, and a fresh pool in a
// forked child
#include "util/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <mutex>

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
    // Plain POSIX conditions: the C++ library's condition_variable would bring thread-exit
    // machinery whose calls the portable builds cannot bind to old symbol versions.
    pthread_cond_t wake = PTHREAD_COND_INITIALIZER;  // a job asks for help
    pthread_cond_t left = PTHREAD_COND_INITIALIZER;  // a helper left a job

    void wait(pthread_cond_t& condition) { pthread_cond_wait(&condition, mutex.native_handle()); }
    std::deque<Job*> requests;  // one entry per helper a job still waits for
    unsigned threads = 0;
    unsigned busy = 0;  // threads inside a job

    void serve() {
        std::unique_lock lock(mutex);
        for (;;) {
            while (requests.empty()) {
                wait(wake);
            }
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
            pthread_cond_broadcast(&left);
        }
    }
};

std::atomic<Pool*> the_pool{nullptr};

Pool& pool() {
    Pool* current = the_pool.load(std::memory_order_acquire);
    if (current == nullptr) {
        Pool* fresh = new Pool();
        if (!the_pool.compare_exchange_strong(current, fresh)) {
            delete fresh;
            return *current;
        }
        // A forked child has none of the parent's threads, and the fork may have caught the
        // mutex held: the child starts a pool of its own.
        pthread_atfork([] { the_pool.load()->mutex.lock(); },
                       [] { the_pool.load()->mutex.unlock(); }, [] { the_pool.store(new Pool()); });
        current = fresh;
    }
    return *current;
}

void* serve(void* pool) {
    static_cast<Pool*>(pool)->serve();
    return nullptr;
}

/// Starts one more thread of `pool`; false when the system refuses it (one helper less, not a
/// failure). Plain POSIX threads: the portable builds bind these calls to old symbol versions.
bool start_thread(Pool& pool) noexcept {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, serve, &pool) != 0) {
        return false;
    }
    pthread_detach(thread);
    return true;
}

}  // namespace

unsigned usable_cores() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
    return static_cast<unsigned>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
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
                helping->threads += start_thread(*helping) ? 1 : 0;
            }
        }
        pthread_cond_broadcast(&helping->wake);
    }
    while (job.work_one()) {
        if (keep_going && !keep_going()) {
            job.stop();
        }
    }
    if (helping != nullptr) {
        std::unique_lock lock(helping->mutex);
        std::erase(helping->requests, &job);
        while (job.helpers != 0) {
            helping->wait(helping->left);
        }
    }
    if (job.failure) {
        std::rethrow_exception(job.failure);
    }
}

}  // namespace korvane
