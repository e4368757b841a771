// simple_qp/include/simple_qp/csc.hpp: compressed-sparse-column storage that a caller provides
#pragma once

#include <cstddef>
#include <span>

namespace simple_qp {

/// Storage that a caller provides for a matrix in compressed-sparse-column form, as the solver
/// takes it: column count + 1 offsets, and one row index and one value per entry; the entries
/// of column j are positions colptr[j] .. colptr[j+1]-1, rows ascending.
template <class Index>
struct CscStorage {
    std::span<Index> colptr;
    std::span<Index> rowval;
    std::span<double> nzval;
};

}  // namespace simple_qp
