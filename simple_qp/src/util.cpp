// simple_qp/src/util.cpp: assembly of P, q, A, b and the cones
#include "simple_qp/util.hpp"

#include <stdexcept>
#include <utility>
#include <variant>

namespace simple_qp {

CscMatrix quadratic_as_csc(const QuadraticExpression& objective, std::size_t n) {
    if (objective.quadratic_terms.empty()) {
        return CscMatrix::zeros(n, n);
    }
    CscMatrixTripletsBuilder builder(n, n);
    builder.reserve(2 * objective.quadratic_terms.size());
    for (const auto& [pair, c] : objective.quadratic_terms) {
        const std::size_t i = pair.first.index;
        const std::size_t j = pair.second.index;
        // ½·xᵀPx must equal Σ q·a·b: a square's coefficient doubles, a product's is split
        // over the two triangles.
        if (i == j) {
            builder.add_triplet(i, i, 2.0 * c);
        } else {
            builder.add_triplet(i, j, c);
            builder.add_triplet(j, i, c);
        }
    }
    return std::move(builder).build();
}

std::vector<double> linear_as_vector(const QuadraticExpression& objective, std::size_t n) {
    std::vector<double> q(n, 0.0);
    for (const auto& [v, c] : objective.affine_part.coefficients) {
        q.at(v.index) += c;
    }
    return q;
}

namespace {

[[noreturn]] void throw_foreign_variable() {
    throw std::out_of_range("simple_qp: expression names a variable outside the problem");
}

// Appends `sign`·expression as row `row` of A.
void add_row(CscMatrixTripletsBuilder& builder, std::size_t row, const AffineExpression& e,
             double sign, std::size_t variable_count) {
    for (const auto& [v, c] : e.coefficients) {
        if (v.index >= variable_count) {
            throw_foreign_variable();
        }
        builder.add_triplet(row, v.index, sign * c);
    }
}

}  // namespace

ConicProblem assembled_problem(const ProblemVariables& variables,
                               const QuadraticExpression& objective,
                               const std::vector<Constraint>& constraints) {
    const std::size_t n = variables.size();
    for (const auto& term : objective.quadratic_terms) {
        if (term.key.second.index >= n) {
            throw_foreign_variable();
        }
    }

    // Count rows and entries first so that A is built with one allocation per array and has
    // exactly one row per entry of b, even when an expression has no coefficients.
    std::size_t equality_rows = 0;
    std::size_t rows = 0;
    std::size_t entries = 0;
    for (const Constraint& constraint : constraints) {
        const std::size_t count = row_count(constraint);
        if (std::holds_alternative<Equality>(constraint)) {
            equality_rows += count;
        }
        rows += count;
        std::visit([&](const auto& c) { entries += count * c.expression.coefficients.size(); },
                   constraint);
    }
    for (const VariableBounds& bounds : variables.bounds()) {
        const std::size_t count = (bounds.upper ? 1 : 0) + (bounds.lower ? 1 : 0);
        rows += count;
        entries += count;
    }

    ConicProblem problem;
    problem.P = quadratic_as_csc(objective, n);
    problem.q = linear_as_vector(objective, n);

    CscMatrixTripletsBuilder builder(rows, n);
    builder.reserve(entries);
    std::vector<double>& b = problem.b;
    b.reserve(rows);
    std::size_t r = 0;
    for (const Constraint& constraint : constraints) {
        if (const auto* equality = std::get_if<Equality>(&constraint)) {
            add_row(builder, r++, equality->expression, 1.0, n);
            b.push_back(-equality->expression.constant);
        }
    }
    for (const Constraint& constraint : constraints) {
        if (const auto* inequality = std::get_if<Inequality>(&constraint)) {
            const AffineExpression& e = inequality->expression;
            if (inequality->upper) {
                add_row(builder, r++, e, 1.0, n);
                b.push_back(*inequality->upper - e.constant);
            }
            if (inequality->lower) {
                add_row(builder, r++, e, -1.0, n);
                b.push_back(-(*inequality->lower - e.constant));
            }
        }
    }
    const std::vector<VariableBounds>& bounds = variables.bounds();
    for (std::size_t i = 0; i < n; ++i) {
        if (bounds[i].upper) {
            builder.add_triplet(r++, i, 1.0);
            b.push_back(*bounds[i].upper);
        }
        if (bounds[i].lower) {
            builder.add_triplet(r++, i, -1.0);
            b.push_back(-*bounds[i].lower);
        }
    }

    problem.A = std::move(builder).build();
    problem.cones = {Cone{ConeKind::Zero, equality_rows},
                     Cone{ConeKind::Nonnegative, rows - equality_rows}};
    return problem;
}

}  // namespace simple_qp
