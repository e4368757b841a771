// tests/cpp/util/test_worker_pool.cpp: every task once, stopping, and failures of tasks
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "util/worker_pool.hpp"

namespace korvane {
namespace {

TEST(RunTasks, RunsEveryTaskOnceAndStopsOnRequestOrFailure) {
    for (const unsigned workers : {1u, 2u, 8u}) {
        std::vector<std::atomic<int>> runs(1000);
        run_tasks(runs.size(), workers, [&](std::size_t i) { ++runs[i]; });
        for (const auto& count : runs) {
            ASSERT_EQ(count.load(), 1) << workers;
        }
        // Stopped: alone, the caller runs the one task it had taken; helpers may have run more.
        std::atomic<int> ran{0};
        run_tasks(1000, workers, [&](std::size_t) { ++ran; }, [] { return false; });
        EXPECT_TRUE(workers > 1 || ran.load() == 1);
        // A failure ends the job and reaches the caller once every running task has finished.
        std::atomic<int> after{0};
        EXPECT_THROW(run_tasks(1000, workers,
                               [&](std::size_t i) {
                                   if (i == 10) {
                                       throw std::runtime_error("task 10");
                                   }
                                   ++after;
                               }),
                     std::runtime_error);
        EXPECT_TRUE(workers > 1 || after.load() == 10);
    }
}

}  // namespace
}  // namespace korvane
