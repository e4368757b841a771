// simple_qp/include/simple_qp/assembly.hpp: assembly of P, q, A, b and the cones
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "simple_qp/constraint.hpp"
#include "simple_qp/csc.hpp"
#include "simple_qp/expressions.hpp"
#include "simple_qp/problem_variables.hpp"

namespace simple_qp {

// The solver's form: minimise ½·xᵀPx + qᵀx subject to A·x + s = b, s in the cones (listed in
// A's row order). Each matrix is first laid out, then written into storage the caller provides.

/// The two cone kinds the layer states: rows that hold with equality, rows with A·x <= b.
enum class ConeKind { Zero, Nonnegative };

/// A run of consecutive rows of A belonging to one cone.
struct Cone {
    ConeKind kind;
    std::size_t size;
    bool operator==(const Cone&) const = default;
};

/// Where the entries of P go, worked out before anything is written.
struct HessianLayout {
    /// Rows and columns: n, or more when a term names a larger index.
    std::size_t size = 0;
    /// size + 1 offsets, the last one the entry count.
    std::vector<std::size_t> column_starts;
    /// Positions in the objective's product terms, by column, then row, then list position.
    std::vector<std::size_t> order;
    std::size_t entries() const noexcept { return column_starts.back(); }
};

/// Counts the entries of P per column: one per key of the product terms. P is symmetric, and
/// only its diagonal and the entries above it are stored: all the solver reads.
HessianLayout hessian_layout(const QuadraticExpression& objective, std::size_t n);

/// Writes P as laid out by `hessian_layout(objective, n)`: each key's terms summed in
/// list order, 2·q_aa on the diagonal, q_ab above it (row a, column b), rows ascending within
/// each column. Index is std::size_t, std::int32_t or std::int64_t.
template <class Index>
void write_hessian(const QuadraticExpression& objective, const HessianLayout& layout,
                   CscStorage<Index> out);

/// Where the rows of A and b go, counted before anything is written.
struct ConstraintLayout {
    std::size_t rows = 0;           ///< rows of A and entries of b
    std::size_t equality_rows = 0;  ///< the first rows, those of the zero cone
    /// Variable count + 1 offsets, the last one the entry count.
    std::vector<std::size_t> column_starts;
    std::size_t entries() const noexcept { return column_starts.back(); }
    /// Zero cone over the equality rows, nonnegative cone over the rest, both always listed.
    std::vector<Cone> cones() const;
};

/// Counts the rows of A and its entries per column. Rows: every equality in list order; then
/// every inequality in list order, its upper row (expr <= upper) before its lower row
/// (-expr <= -lower); then per variable its upper and lower bound rows. Throws
/// std::out_of_range when an expression names a variable the registry did not issue.
ConstraintLayout constraint_layout(const ProblemVariables& variables,
                                   const std::vector<Constraint>& constraints);

/// Writes A and b as laid out by `constraint_layout(variables, constraints)`; `b` has one
/// entry per row. Index is std::size_t, std::int32_t or std::int64_t.
template <class Index>
void write_constraint_rows(const ProblemVariables& variables,
                           const std::vector<Constraint>& constraints,
                           const ConstraintLayout& layout, CscStorage<Index> a,
                           std::span<double> b);

/// Writes the linear coefficients of the objective into q (one entry per variable); the
/// constant is dropped. Throws std::out_of_range, before writing, for a variable index
/// >= q.size().
void write_linear(const QuadraticExpression& objective, std::span<double> q);

}  // namespace simple_qp
