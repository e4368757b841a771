// simple_qp/src/util.cpp: assembly of P, q, A, b and the cones
#include "simple_qp/util.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <variant>

namespace simple_qp {
namespace {

[[noreturn]] void throw_foreign_variable() {
    throw std::out_of_range("simple_qp: expression names a variable outside the problem");
}

// Matrices are built in place in two passes: entries are counted per column into
// colptr[j + 1], the counts become column starts (each stored one slot late), and placing an
// entry advances colptr[col + 1], which ends as the start of the next column.
std::size_t counts_to_cursors(std::vector<std::size_t>& colptr) {
    std::size_t start = 0;
    for (std::size_t j = 1; j < colptr.size(); ++j) {
        start += std::exchange(colptr[j], start);
    }
    return start;
}

void place(CscMatrix& matrix, std::size_t row, std::size_t col, double value) {
    const std::size_t at = matrix.colptr[col + 1]++;
    matrix.rowval[at] = row;
    matrix.nzval[at] = value;
}

// P from the objective's terms, both triangles or only row <= column. Keys are unique and
// ordered, so no two entries share a position; the matrix grows to cover every index.
CscMatrix hessian_as_csc(const QuadraticExpression& objective, std::size_t n, bool upper) {
    const QuadraticTerms& terms = objective.quadratic_terms;
    if (terms.empty()) {
        return CscMatrix::zeros(n, n);
    }
    std::size_t size = n;
    for (const auto& term : terms) {
        size = std::max(size, term.key.second.index + 1);
    }
    CscMatrix matrix = CscMatrix::zeros(size, size);
    for (const auto& term : terms) {
        ++matrix.colptr[term.key.second.index + 1];
        if (!upper && term.key.first != term.key.second) {
            ++matrix.colptr[term.key.first.index + 1];
        }
    }
    const std::size_t count = counts_to_cursors(matrix.colptr);
    matrix.rowval.resize(count);
    matrix.nzval.resize(count);
    for (const auto& [pair, c] : terms) {
        const std::size_t i = pair.first.index;
        const std::size_t j = pair.second.index;
        // ½·xᵀPx must equal Σ q·a·b: a square's coefficient doubles, a product's is split
        // over the two triangles.
        if (i == j) {
            place(matrix, i, i, 2.0 * c);
        } else {
            place(matrix, i, j, c);
            if (!upper) {
                place(matrix, j, i, c);
            }
        }
    }
    // Within a column the entries follow the terms' insertion order.
    sort_rows_within_columns(matrix);
    return matrix;
}

// Calls row(expression, sign, rhs) for every constraint row and bound(variable, value, rhs)
// for every bound row, in row order: equalities, inequalities (upper row before lower row),
// then the variable bounds.
template <class Row, class Bound>
void for_each_row(const ProblemVariables& variables, const std::vector<Constraint>& constraints,
                  Row&& row, Bound&& bound) {
    for (const Constraint& constraint : constraints) {
        if (const auto* equality = std::get_if<Equality>(&constraint)) {
            row(equality->expression, 1.0, -equality->expression.constant);
        }
    }
    for (const Constraint& constraint : constraints) {
        if (const auto* inequality = std::get_if<Inequality>(&constraint)) {
            const AffineExpression& e = inequality->expression;
            if (inequality->upper) {
                row(e, 1.0, *inequality->upper - e.constant);
            }
            if (inequality->lower) {
                row(e, -1.0, -(*inequality->lower - e.constant));
            }
        }
    }
    const std::vector<VariableBounds>& bounds = variables.bounds();
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        if (bounds[i].upper) {
            bound(i, 1.0, *bounds[i].upper);
        }
        if (bounds[i].lower) {
            bound(i, -1.0, -*bounds[i].lower);
        }
    }
}

}  // namespace

CscMatrix quadratic_as_csc(const QuadraticExpression& objective, std::size_t n) {
    return hessian_as_csc(objective, n, /*upper=*/false);
}

CscMatrix upper_triangle_as_csc(const QuadraticExpression& objective, std::size_t n) {
    return hessian_as_csc(objective, n, /*upper=*/true);
}

std::vector<double> linear_as_vector(const QuadraticExpression& objective, std::size_t n) {
    std::vector<double> q(n, 0.0);
    for (const auto& [v, c] : objective.affine_part.coefficients) {
        q.at(v.index) += c;
    }
    return q;
}

ConicProblem assembled_problem(const ProblemVariables& variables,
                               const QuadraticExpression& objective,
                               const std::vector<Constraint>& constraints,
                               HessianStorage storage) {
    const std::size_t n = variables.size();
    for (const auto& term : objective.quadratic_terms) {
        if (term.key.second.index >= n) {
            throw_foreign_variable();
        }
    }

    // First pass: rows, and entries per column of A. The second pass generates rows in
    // increasing order and an expression names each variable once, so it leaves every column
    // sorted by row without duplicates, and A has one row per entry of b even when an
    // expression has no coefficients.
    ConicProblem problem;
    CscMatrix& A = problem.A;
    A = CscMatrix::zeros(0, n);
    std::size_t equality_rows = 0;
    std::size_t rows = 0;
    for (const Constraint& constraint : constraints) {
        const std::size_t count = row_count(constraint);
        if (std::holds_alternative<Equality>(constraint)) {
            equality_rows += count;
        }
        rows += count;
        const AffineExpression& e =
            std::visit([](const auto& c) -> const AffineExpression& { return c.expression; },
                       constraint);
        for (const auto& entry : e.coefficients) {
            if (entry.key.index >= n) {
                throw_foreign_variable();
            }
            A.colptr[entry.key.index + 1] += count;
        }
    }
    const std::vector<VariableBounds>& bounds = variables.bounds();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t count = (bounds[i].upper ? 1 : 0) + (bounds[i].lower ? 1 : 0);
        rows += count;
        A.colptr[i + 1] += count;
    }
    A.m = rows;
    const std::size_t entries = counts_to_cursors(A.colptr);
    A.rowval.resize(entries);
    A.nzval.resize(entries);

    std::vector<double>& b = problem.b;
    b.resize(rows);
    std::size_t r = 0;
    for_each_row(
        variables, constraints,
        [&](const AffineExpression& e, double sign, double rhs) {
            for (const auto& [v, c] : e.coefficients) {
                place(A, r, v.index, sign * c);
            }
            b[r++] = rhs;
        },
        [&](std::size_t i, double value, double rhs) {
            place(A, r, i, value);
            b[r++] = rhs;
        });

    problem.P = storage == HessianStorage::Full ? quadratic_as_csc(objective, n)
                                                : upper_triangle_as_csc(objective, n);
    problem.q = linear_as_vector(objective, n);
    problem.cones = {Cone{ConeKind::Zero, equality_rows},
                     Cone{ConeKind::Nonnegative, rows - equality_rows}};
    return problem;
}

}  // namespace simple_qp
