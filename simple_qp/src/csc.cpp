// simple_qp/src/csc.cpp: triplet to compressed-sparse-column conversion
#include "simple_qp/csc.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace simple_qp {

CscMatrix CscMatrix::zeros(std::size_t m, std::size_t n) {
    CscMatrix matrix;
    matrix.m = m;
    matrix.n = n;
    matrix.colptr.assign(n + 1, 0);
    return matrix;
}

void CscMatrixTripletsBuilder::reserve(std::size_t count) {
    m_rows.reserve(count);
    m_cols.reserve(count);
    m_values.reserve(count);
}

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

CscMatrix CscMatrixTripletsBuilder::build() && {
    CscMatrix matrix = CscMatrix::zeros(m_m, m_n);
    const std::size_t count = m_values.size();

    // Counting sort by column keeps the order of addition within a column.
    for (const std::size_t col : m_cols) {
        ++matrix.colptr[col + 1];
    }
    for (std::size_t j = 0; j < m_n; ++j) {
        matrix.colptr[j + 1] += matrix.colptr[j];
    }
    matrix.rowval.resize(count);
    matrix.nzval.resize(count);
    {
        std::vector<std::size_t> next(matrix.colptr.begin(), matrix.colptr.end() - 1);
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t at = next[m_cols[k]]++;
            matrix.rowval[at] = m_rows[k];
            matrix.nzval[at] = m_values[k];
        }
    }
    m_rows = {};
    m_cols = {};
    m_values = {};

    sort_rows_within_columns(storage_of(matrix));
    bool duplicates = false;
    for (std::size_t j = 0; j < m_n; ++j) {
        for (std::size_t k = matrix.colptr[j] + 1; k < matrix.colptr[j + 1]; ++k) {
            duplicates = duplicates || matrix.rowval[k] == matrix.rowval[k - 1];
        }
    }
    if (!duplicates) {
        return matrix;
    }

    // Merge entries that share a position, compacting in place.
    std::size_t out = 0;
    std::size_t begin = 0;
    for (std::size_t j = 0; j < m_n; ++j) {
        const std::size_t end = matrix.colptr[j + 1];
        const std::size_t column_start = out;
        for (std::size_t k = begin; k < end; ++k) {
            if (out > column_start && matrix.rowval[out - 1] == matrix.rowval[k]) {
                matrix.nzval[out - 1] += matrix.nzval[k];
            } else {
                matrix.rowval[out] = matrix.rowval[k];
                matrix.nzval[out] = matrix.nzval[k];
                ++out;
            }
        }
        begin = end;
        matrix.colptr[j + 1] = out;
    }
    matrix.rowval.resize(out);
    matrix.nzval.resize(out);
    return matrix;
}

}  // namespace simple_qp
