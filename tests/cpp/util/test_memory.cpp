// tests/cpp/util/test_memory.cpp: the physical memory limit for large results
#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "util/memory.hpp"

namespace korvane {
namespace {

TEST(RequireMemory, RefusesWhatExceedsPhysicalMemoryAndAcceptsTheRest) {
    const std::size_t limit = physical_memory_bytes();
    ASSERT_GT(limit, std::size_t{0});
    EXPECT_NO_THROW(require_memory(0, 32));
    EXPECT_NO_THROW(require_memory(1000, 32));
    EXPECT_NO_THROW(require_memory(limit / 32, 32));
    EXPECT_THROW(require_memory(limit / 32 + 1, 32), std::bad_alloc);
    // A product beyond the size type is refused, not wrapped round to something small.
    EXPECT_THROW(require_memory(SIZE_MAX / 2, 4), std::bad_alloc);
    EXPECT_THROW(require_memory(SIZE_MAX, SIZE_MAX), std::bad_alloc);
}

}  // namespace
}  // namespace korvane
