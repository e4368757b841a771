// src/util/memory.cpp: the physical memory limit for large results
#include "util/memory.hpp"

#include <new>

#include <unistd.h>

namespace korvane {

std::size_t physical_memory_bytes() noexcept {
    static const std::size_t bytes = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) {
            return std::size_t{0};
        }
        return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
    }();
    return bytes;
}

void require_memory(std::size_t count, std::size_t bytes_each) {
    const std::size_t limit = physical_memory_bytes();
    // Unknown memory refuses nothing; the division keeps count * bytes_each from overflowing.
    if (limit != 0 && bytes_each != 0 && count > limit / bytes_each) {
        throw std::bad_alloc();
    }
}

}  // namespace korvane
