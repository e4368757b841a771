// tests/cpp/simple_qp/reference.hpp: owned forms of the assembled problem, values of expressions
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "simple_qp/assembly.hpp"
#include "simple_qp/expressions.hpp"

namespace simple_qp::testing {

/// e·e, as the product rule forms it (the objective adds squares without building them).
inline QuadraticExpression square(const AffineExpression& e) {
    return e * e;
}

/// The coefficient stored for v, or nullptr when v has no entry.
inline const double* coefficient_of(const Coefficients& coefficients, Variable v) {
    for (const auto& term : coefficients) {
        if (term.key == v) {
            return &term.value;
        }
    }
    return nullptr;
}

/// An m × n matrix in compressed-sparse-column form: the entries of column j are positions
/// colptr[j] .. colptr[j+1]-1 of rowval/nzval, rows ascending.
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

/// Collects (row, column, value) entries and converts them into a `CscMatrix`. The row and
/// column counts start at the given sizes and grow to cover every entry added.
class CscMatrixTripletsBuilder {
public:
    CscMatrixTripletsBuilder(std::size_t rows, std::size_t cols) : m_m(rows), m_n(cols) {}

    void add_triplet(std::size_t row, std::size_t col, double value);
    std::size_t rows() const noexcept { return m_m; }
    std::size_t cols() const noexcept { return m_n; }

    /// Sorts the entries by column, then by row; entries sharing a position are summed in the
    /// order they were added. Consumes the builder.
    CscMatrix build() &&;

private:
    struct Triplet {
        std::size_t row;
        std::size_t col;
        double value;
    };
    std::vector<Triplet> m_triplets;
    std::size_t m_m;
    std::size_t m_n;
};

/// Which part of the symmetric objective matrix `assembled_problem` keeps.
enum class HessianPart { Full, UpperTriangle };

/// minimise ½·xᵀPx + qᵀx subject to A·x + s = b, s in the cones (listed in A's row order).
struct ConicProblem {
    CscMatrix P;
    std::vector<double> q;
    CscMatrix A;
    std::vector<double> b;
    std::vector<Cone> cones;
};

/// P as the solver receives it (diagonal and upper triangle), at least n × n.
CscMatrix upper_triangle_as_csc(const QuadraticExpression& objective, std::size_t n);
/// P with both triangles: 2·q_aa on the diagonal, q_ab on both sides of it; all-zero n × n
/// when there are no quadratic terms.
CscMatrix quadratic_as_csc(const QuadraticExpression& objective, std::size_t n);
/// The linear coefficients as a dense vector of length n. Throws std::out_of_range for a
/// variable index >= n.
std::vector<double> linear_as_vector(const QuadraticExpression& objective, std::size_t n);
/// The conic form of a problem, written by the layer's own writers, P stored as `part` says.
/// Throws std::out_of_range when an expression names a variable the registry did not issue.
ConicProblem assembled_problem(const ProblemVariables& variables,
                               const QuadraticExpression& objective,
                               const std::vector<Constraint>& constraints,
                               HessianPart part = HessianPart::Full);

/// The value at x, x[i] being the value of the variable with index i; throws
/// std::out_of_range when a variable has no value in x.
double value_at(const AffineExpression& e, std::span<const double> x);
double value_at(const QuadraticExpression& q, std::span<const double> x);

/// Bounds of the variable with index `index`; throws std::out_of_range for an index the
/// registry did not issue.
const VariableBounds& variable_bounds(const ProblemVariables& variables, std::size_t index);

}  // namespace simple_qp::testing
