// src/util/large_list.hpp: lists of millions of values, backed by huge pages where granted
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/mman.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older C library headers lack the name
#endif

namespace korvane {

/// A list of n default values. From 1 MiB on, its memory is first advised to be backed by
/// transparent huge pages where the system grants them on request (as NumPy does for its
/// arrays): filling millions of values otherwise spends about half its time in page faults.
/// The advice is a hint; if it is refused nothing changes.
template <class T>
std::vector<T> large_list(std::size_t n) {
    std::vector<T> list;
    list.reserve(n);
    const std::size_t bytes = n * sizeof(T);
    if (bytes >= (std::size_t{1} << 20)) {
        constexpr std::uintptr_t page = 4096;
        const auto begin = reinterpret_cast<std::uintptr_t>(list.data());
        const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
        const std::uintptr_t last = (begin + bytes) & ~(page - 1);
        if (first < last) {
            madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
            // Faulting the pages in with one call is several times cheaper than a trap per page
            // while the list is filled; kernels before 5.14 refuse it and fill as usual.
            madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
        }
    }
    list.resize(n);
    return list;
}

}  // namespace korvane
