// src/util/large_list.cpp: the memory advice for lists of millions of values
#include "util/large_list.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older C library headers lack the name
#endif
#endif

namespace korvane::large_list_detail {

void advise(const void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= (std::size_t{1} << 20)) {
        constexpr std::uintptr_t page = 4096;
        const auto begin = reinterpret_cast<std::uintptr_t>(data);
        const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
        const std::uintptr_t last = (begin + bytes) & ~(page - 1);
        if (first < last) {
            madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
            // Kernels before 5.14 refuse this and fill page by page as usual.
            madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
        }
    }
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace korvane::large_list_detail
