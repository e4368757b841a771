// src/util/memory.cpp: the physical memory limit for large results
#include "util/memory.hpp"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace korvane {

std::size_t physical_memory_bytes() noexcept {
    static const std::size_t bytes = [] {
#if defined(_WIN32)
        MEMORYSTATUSEX status{};
        status.dwLength = sizeof status;
        return GlobalMemoryStatusEx(&status) ? static_cast<std::size_t>(status.ullTotalPhys)
                                             : std::size_t{0};
#else
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) {
            return std::size_t{0};
        }
        return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
#endif
    }();
    return bytes;
}

void require_memory(std::size_t count, std::size_t bytes_each) {
    const std::size_t limit = physical_memory_bytes();
    // Unknown memory refuses nothing; the division keeps count * bytes_each from overflowing.
    if (limit != 0 && bytes_each != 0 && count > limit / bytes_each) {
        const std::string asked = count > ~std::size_t{0} / bytes_each
                                      ? std::to_string(count) + " * " + std::to_string(bytes_each)
                                      : std::to_string(count * bytes_each);
        throw MemoryLimitExceeded("cannot allocate " + asked + " bytes for " +
                                  std::to_string(count) + " entries: the machine has " +
                                  std::to_string(limit) + " bytes of memory");
    }
}

}  // namespace korvane
