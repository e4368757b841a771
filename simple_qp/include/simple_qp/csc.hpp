// simple_qp/include/simple_qp/csc.hpp: compressed-sparse-column matrices and their triplet builder
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace simple_qp {

/// An m × n matrix in compressed-sparse-column form, as the solver takes it: the entries of
/// column j are positions colptr[j] .. colptr[j+1]-1 of rowval/nzval, rows ascending.
struct CscMatrix {
    std::size_t m = 0;
    std::size_t n = 0;
    std::vector<std::size_t> colptr;  ///< n + 1 offsets, colptr[0] = 0
    std::vector<std::size_t> rowval;
    std::vector<double> nzval;

    /// The m × n matrix without stored entries.
    static CscMatrix zeros(std::size_t m, std::size_t n);
    /// Number of stored entries (explicit zeros included).
    std::size_t nnz() const noexcept { return nzval.size(); }
    bool operator==(const CscMatrix&) const = default;
};

/// Storage that a caller provides for a matrix in compressed-sparse-column form: column
/// count + 1 offsets, and one row index and one value per entry.
template <class Index>
struct CscStorage {
    std::span<Index> colptr;
    std::span<Index> rowval;
    std::span<double> nzval;
};

/// The storage of `matrix` itself.
inline CscStorage<std::size_t> storage_of(CscMatrix& matrix) {
    return {matrix.colptr, matrix.rowval, matrix.nzval};
}

/// Orders the entries of every column by row; entries with equal rows keep their order. Only
/// the rows and values move. Index is std::size_t, std::int32_t or std::int64_t.
template <class Index>
void sort_rows_within_columns(CscStorage<Index> matrix);

/// Collects (row, column, value) entries and converts them into a `CscMatrix`. The row and
/// column counts start at the given sizes and grow to cover every entry added.
class CscMatrixTripletsBuilder {
public:
    CscMatrixTripletsBuilder(std::size_t rows, std::size_t cols) : m_m(rows), m_n(cols) {}

    /// Makes room for `count` entries.
    void reserve(std::size_t count);
    /// Appends one entry.
    void add_triplet(std::size_t row, std::size_t col, double value) {
        m_rows.push_back(row);
        m_cols.push_back(col);
        m_values.push_back(value);
        if (row >= m_m) m_m = row + 1;
        if (col >= m_n) m_n = col + 1;
    }

    std::size_t rows() const noexcept { return m_m; }
    std::size_t cols() const noexcept { return m_n; }
    std::size_t size() const noexcept { return m_values.size(); }

    /// Sorts the entries by column, then by row; entries sharing a position are summed in the
    /// order they were added. Consumes the builder.
    CscMatrix build() &&;

private:
    std::vector<std::size_t> m_rows;
    std::vector<std::size_t> m_cols;
    std::vector<double> m_values;
    std::size_t m_m;
    std::size_t m_n;
};

}  // namespace simple_qp
