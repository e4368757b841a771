// simple_qp/src/csc.cpp: ordering the rows of compressed-sparse-column storage
#include "simple_qp/csc.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace simple_qp {

namespace {

// Stable sort of one column's entries by row; columns are a handful of entries long, where
// insertion sort beats any general sort.
template <class Index>
void sort_column(Index* rows, double* values, std::size_t count,
                 std::vector<std::pair<Index, double>>& scratch) {
    constexpr std::size_t kInsertionLimit = 32;
    if (count <= kInsertionLimit) {
        for (std::size_t i = 1; i < count; ++i) {
            const Index row = rows[i];
            const double value = values[i];
            std::size_t j = i;
            for (; j > 0 && rows[j - 1] > row; --j) {
                rows[j] = rows[j - 1];
                values[j] = values[j - 1];
            }
            rows[j] = row;
            values[j] = value;
        }
        return;
    }
    scratch.clear();
    for (std::size_t i = 0; i < count; ++i) {
        scratch.emplace_back(rows[i], values[i]);
    }
    std::stable_sort(scratch.begin(), scratch.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < count; ++i) {
        rows[i] = scratch[i].first;
        values[i] = scratch[i].second;
    }
}

}  // namespace

template <class Index>
void sort_rows_within_columns(CscStorage<Index> matrix) {
    std::vector<std::pair<Index, double>> scratch;
    for (std::size_t j = 0; j + 1 < matrix.colptr.size(); ++j) {
        const auto begin = static_cast<std::size_t>(matrix.colptr[j]);
        const auto end = static_cast<std::size_t>(matrix.colptr[j + 1]);
        sort_column(matrix.rowval.data() + begin, matrix.nzval.data() + begin, end - begin,
                    scratch);
    }
}

template void sort_rows_within_columns(CscStorage<std::size_t>);
template void sort_rows_within_columns(CscStorage<std::int32_t>);
template void sort_rows_within_columns(CscStorage<std::int64_t>);

}  // namespace simple_qp
