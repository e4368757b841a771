// simple_qp/include/simple_qp/util.hpp: assembly of a symbolic problem into the solver's conic form
#pragma once

#include <cstddef>
#include <vector>

#include "simple_qp/constraint.hpp"
#include "simple_qp/csc.hpp"
#include "simple_qp/expressions.hpp"
#include "simple_qp/problem_variables.hpp"

namespace simple_qp {

/// The two cone kinds the layer states: rows that hold with equality, rows with A·x <= b.
enum class ConeKind { Zero, Nonnegative };

/// A run of consecutive rows of A belonging to one cone.
struct Cone {
    ConeKind kind;
    std::size_t size;
    bool operator==(const Cone&) const = default;
};

/// Which part of the symmetric objective matrix P is stored.
enum class HessianStorage {
    Full,           ///< both triangles
    UpperTriangle,  ///< the diagonal and the entries above it: all the solver reads
};

/// minimise ½·xᵀPx + qᵀx subject to A·x + s = b, s in the cones (listed in A's row order).
struct ConicProblem {
    CscMatrix P;
    std::vector<double> q;
    CscMatrix A;
    std::vector<double> b;
    std::vector<Cone> cones;
};

/// The full symmetric Hessian of the quadratic terms (2·q_aa on the diagonal, q_ab on both
/// sides of it), at least n × n; all-zero n × n when there are no quadratic terms.
CscMatrix quadratic_as_csc(const QuadraticExpression& objective, std::size_t n);

/// The diagonal and upper triangle of `quadratic_as_csc(objective, n)`, entry for entry.
CscMatrix upper_triangle_as_csc(const QuadraticExpression& objective, std::size_t n);

/// The linear coefficients as a dense vector of length n; the constant is dropped. Throws
/// std::out_of_range for a variable index >= n.
std::vector<double> linear_as_vector(const QuadraticExpression& objective, std::size_t n);

/// The conic form of a problem. Rows of A: every equality in list order; then every
/// inequality in list order, its upper row (expr <= upper) before its lower row
/// (-expr <= -lower); then per variable its upper and lower bound rows. Cones: zero cone over
/// the equality rows, nonnegative cone over the rest, both listed even when empty. P is stored
/// as `storage` says. Throws std::out_of_range when an expression names a variable the
/// registry did not issue.
ConicProblem assembled_problem(const ProblemVariables& variables,
                               const QuadraticExpression& objective,
                               const std::vector<Constraint>& constraints,
                               HessianStorage storage = HessianStorage::Full);

}  // namespace simple_qp
