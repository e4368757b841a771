// src/util/large_list.hpp: lists of millions of values, allocated once and written once
#pragma once

#include <cstddef>
#include <compare>
#include <iterator>
#include <vector>

namespace korvane {

namespace large_list_detail {

/// From 1 MiB on, advises the memory of [data, data + bytes) to be backed by transparent huge
/// pages where the system grants them on request (as NumPy does for its arrays), and faults it
/// in with one call: filling millions of values otherwise spends about half its time in page
/// faults. The advice is a hint; where it is refused or unknown nothing changes.
void advise(const void* data, std::size_t bytes) noexcept;

/// Hands out generate(0), generate(1), ... to the vector's range insertion, which constructs
/// each element from it in place, in order: the list's memory is written exactly once.
template <class T, class Generate>
class GeneratingIterator {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = T;

    GeneratingIterator(Generate* generate, std::size_t i) noexcept : m_generate(generate), m_i(i) {}

    T operator*() const { return (*m_generate)(m_i); }
    T operator[](difference_type k) const {
        return (*m_generate)(m_i + static_cast<std::size_t>(k));
    }
    GeneratingIterator& operator++() noexcept {
        ++m_i;
        return *this;
    }
    GeneratingIterator operator++(int) noexcept {
        GeneratingIterator before = *this;
        ++m_i;
        return before;
    }
    GeneratingIterator& operator--() noexcept {
        --m_i;
        return *this;
    }
    GeneratingIterator operator--(int) noexcept {
        GeneratingIterator before = *this;
        --m_i;
        return before;
    }
    GeneratingIterator& operator+=(difference_type k) noexcept {
        m_i += static_cast<std::size_t>(k);
        return *this;
    }
    GeneratingIterator& operator-=(difference_type k) noexcept {
        m_i -= static_cast<std::size_t>(k);
        return *this;
    }
    friend GeneratingIterator operator+(GeneratingIterator it, difference_type k) noexcept {
        return it += k;
    }
    friend GeneratingIterator operator+(difference_type k, GeneratingIterator it) noexcept {
        return it += k;
    }
    friend GeneratingIterator operator-(GeneratingIterator it, difference_type k) noexcept {
        return it -= k;
    }
    friend difference_type operator-(const GeneratingIterator& a,
                                     const GeneratingIterator& b) noexcept {
        return static_cast<difference_type>(a.m_i) - static_cast<difference_type>(b.m_i);
    }
    friend bool operator==(const GeneratingIterator& a, const GeneratingIterator& b) noexcept {
        return a.m_i == b.m_i;
    }
    friend auto operator<=>(const GeneratingIterator& a, const GeneratingIterator& b) noexcept {
        return a.m_i <=> b.m_i;
    }

private:
    Generate* m_generate;
    std::size_t m_i;
};

}  // namespace large_list_detail

/// Advises the reserved memory of a large list as the lists below are: huge pages where
/// granted, faulted in with one call before the list is filled.
template <class T>
void advise_large(std::vector<T>& list) noexcept {
    large_list_detail::advise(list.data(), list.capacity() * sizeof(T));
}

/// The same for `bytes` of scratch memory at `data`.
inline void advise_large(void* data, std::size_t bytes) noexcept {
    large_list_detail::advise(data, bytes);
}

/// The list [generate(0), ..., generate(n - 1)]: one allocation, huge-page advice for large
/// lists, and every element written once, straight from `generate` (no zero fill first).
/// `generate` is called exactly once per index, in increasing order, so it may carry state
/// from one element to the next (a running sum, a walk along a spline).
template <class T, class Generate>
std::vector<T> generated_list(std::size_t n, Generate generate) {
    std::vector<T> list;
    list.reserve(n);
    large_list_detail::advise(list.data(), n * sizeof(T));
    using Iterator = large_list_detail::GeneratingIterator<T, Generate>;
    list.insert(list.end(), Iterator(&generate, 0), Iterator(&generate, n));
    return list;
}

/// The list of n values written a block at a time: fill(begin, end, out) writes the values
/// of the indices [begin, end) to out[0 .. end - begin), for consecutive blocks of at most
/// `block` indices, so that the work of a block can run as one loop the compiler vectorises.
/// Each block is computed in a small buffer that stays in the first-level cache and appended
/// with one block copy; the list itself is allocated once and written once.
template <class T, std::size_t block = 512, class Fill>
std::vector<T> block_generated_list(std::size_t n, Fill fill) {
    std::vector<T> list;
    list.reserve(n);
    large_list_detail::advise(list.data(), n * sizeof(T));
    T values[block];
    for (std::size_t begin = 0; begin < n; begin += block) {
        const std::size_t end = n - begin < block ? n : begin + block;
        fill(begin, end, values);
        list.insert(list.end(), values, values + (end - begin));
    }
    return list;
}

/// A copy of [first, first + n) in one allocation with huge-page advice: one block copy.
template <class T>
std::vector<T> copied_list(const T* first, std::size_t n) {
    std::vector<T> list;
    list.reserve(n);
    large_list_detail::advise(list.data(), n * sizeof(T));
    if (n != 0) {
        list.insert(list.end(), first, first + n);
    }
    return list;
}

}  // namespace korvane
