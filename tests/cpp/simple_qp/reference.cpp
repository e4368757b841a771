// tests/cpp/simple_qp/reference.cpp: owned forms of the assembled problem, values of expressions
#include "reference.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <utility>

namespace simple_qp::testing {
namespace {

CscStorage<std::size_t> storage_of(CscMatrix& matrix) {
    return {matrix.colptr, matrix.rowval, matrix.nzval};
}

CscMatrix matrix_for(std::size_t m, std::size_t n, std::size_t entries) {
    CscMatrix matrix = CscMatrix::zeros(m, n);
    matrix.rowval.resize(entries);
    matrix.nzval.resize(entries);
    return matrix;
}

}  // namespace

CscMatrix CscMatrix::zeros(std::size_t m, std::size_t n) {
    CscMatrix matrix;
    matrix.m = m;
    matrix.n = n;
    matrix.colptr.assign(n + 1, 0);
    return matrix;
}

void CscMatrixTripletsBuilder::add_triplet(std::size_t row, std::size_t col, double value) {
    m_triplets.push_back(Triplet{row, col, value});
    m_m = std::max(m_m, row + 1);
    m_n = std::max(m_n, col + 1);
}

CscMatrix CscMatrixTripletsBuilder::build() && {
    std::stable_sort(m_triplets.begin(), m_triplets.end(), [](const Triplet& a, const Triplet& b) {
        return std::pair(a.col, a.row) < std::pair(b.col, b.row);
    });
    CscMatrix matrix = CscMatrix::zeros(m_m, m_n);
    const Triplet* previous = nullptr;
    for (const Triplet& t : m_triplets) {
        if (previous != nullptr && previous->row == t.row && previous->col == t.col) {
            matrix.nzval.back() += t.value;
        } else {
            matrix.rowval.push_back(t.row);
            matrix.nzval.push_back(t.value);
            ++matrix.colptr[t.col + 1];
        }
        previous = &t;
    }
    std::partial_sum(matrix.colptr.begin(), matrix.colptr.end(), matrix.colptr.begin());
    m_triplets = {};
    return matrix;
}

CscMatrix upper_triangle_as_csc(const QuadraticExpression& objective, std::size_t n) {
    const HessianLayout layout = hessian_layout(objective, n);
    CscMatrix matrix = matrix_for(layout.size, layout.size, layout.entries());
    write_hessian(objective, layout, storage_of(matrix));
    return matrix;
}

CscMatrix quadratic_as_csc(const QuadraticExpression& objective, std::size_t n) {
    const CscMatrix upper = upper_triangle_as_csc(objective, n);
    CscMatrixTripletsBuilder full(upper.m, upper.n);
    for (std::size_t j = 0; j < upper.n; ++j) {
        for (std::size_t k = upper.colptr[j]; k < upper.colptr[j + 1]; ++k) {
            full.add_triplet(upper.rowval[k], j, upper.nzval[k]);
            if (upper.rowval[k] != j) {
                full.add_triplet(j, upper.rowval[k], upper.nzval[k]);
            }
        }
    }
    return std::move(full).build();
}

std::vector<double> linear_as_vector(const QuadraticExpression& objective, std::size_t n) {
    std::vector<double> q(n);
    write_linear(objective, q);
    return q;
}

ConicProblem assembled_problem(const ProblemVariables& variables,
                               const QuadraticExpression& objective,
                               const std::vector<Constraint>& constraints, HessianPart part) {
    const std::size_t n = variables.size();
    ConicProblem problem;
    problem.P = part == HessianPart::Full ? quadratic_as_csc(objective, n)
                                          : upper_triangle_as_csc(objective, n);
    if (problem.P.n != n) {
        throw std::out_of_range("objective names a variable outside the problem");
    }
    problem.q = linear_as_vector(objective, n);
    const ConstraintLayout layout = constraint_layout(variables, constraints);
    problem.A = matrix_for(layout.rows, n, layout.entries());
    problem.b.resize(layout.rows);
    write_constraint_rows(variables, constraints, layout, storage_of(problem.A),
                          std::span<double>(problem.b));
    problem.cones = layout.cones();
    return problem;
}

double value_at(const AffineExpression& e, std::span<const double> x) {
    double value = e.constant;
    for (const auto& [v, c] : e.coefficients) {
        if (v.index >= x.size()) {
            throw std::out_of_range("no value");
        }
        value += c * x[v.index];
    }
    return value;
}

double value_at(const QuadraticExpression& q, std::span<const double> x) {
    double value = value_at(q.affine_part, x);
    for (const auto& [pair, c] : q.quadratic_terms) {
        if (pair.second.index >= x.size()) {
            throw std::out_of_range("no value");
        }
        value += c * x[pair.first.index] * x[pair.second.index];
    }
    return value;
}

const VariableBounds& variable_bounds(const ProblemVariables& variables, std::size_t index) {
    // Runs are contiguous and in index order: the first one ending after `index` holds it.
    for (const VariableRun& run : variables.runs()) {
        if (index < run.first + run.count) {
            return run.bounds;
        }
    }
    throw std::out_of_range("no such variable");
}

}  // namespace simple_qp::testing
