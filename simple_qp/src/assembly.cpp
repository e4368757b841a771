// simple_qp/src/assembly.cpp: assembly of P, q, A, b and the cones
#include "simple_qp/assembly.hpp"

#include <algorithm>
#include <stdexcept>
#include <variant>

namespace simple_qp {
namespace {

// Turns the count of column j, kept at starts[j + 1], into offsets: column j then begins at
// starts[j].
void counts_to_starts(std::vector<std::size_t>& starts) {
    for (std::size_t j = 1; j < starts.size(); ++j) {
        starts[j] += starts[j - 1];
    }
}

// A is written in two passes: its layout counts the entries per column first. Writing starts
// with out.colptr[j + 1] at the start of column j; placing an entry advances it, so that it
// ends at the start of column j + 1, which is its final value.
template <class Index>
void start_cursors(const std::vector<std::size_t>& starts, CscStorage<Index> out) {
    out.colptr[0] = 0;
    for (std::size_t j = 0; j + 1 < starts.size(); ++j) {
        out.colptr[j + 1] = static_cast<Index>(starts[j]);
    }
}

// Orders the positions of one column's terms by row, stably, so that a key's terms stay in
// list order. Columns hold a handful of terms, where an insertion sort is quickest; a long
// column would make it quadratic and gets a general sort.
void sort_by_row(std::span<std::size_t> column, const QuadraticTerms& terms) {
    const auto by_row = [&](std::size_t a, std::size_t b) {
        return terms[a].key.first.index < terms[b].key.first.index;
    };
    if (column.size() > 32) {
        std::stable_sort(column.begin(), column.end(), by_row);
        return;
    }
    for (std::size_t i = 1; i < column.size(); ++i) {
        const std::size_t position = column[i];
        std::size_t k = i;
        for (; k > 0 && by_row(position, column[k - 1]); --k) {
            column[k] = column[k - 1];
        }
        column[k] = position;
    }
}

template <class Index>
void place(CscStorage<Index> out, std::size_t row, std::size_t col, double value) {
    const auto at = static_cast<std::size_t>(out.colptr[col + 1]++);
    out.rowval[at] = static_cast<Index>(row);
    out.nzval[at] = value;
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
    for (const VariableRun& run : variables.runs()) {
        const VariableBounds& bounds = run.bounds;
        if (!bounds.upper && !bounds.lower) {
            continue;
        }
        for (std::size_t i = run.first; i < run.first + run.count; ++i) {
            if (bounds.upper) {
                bound(i, 1.0, *bounds.upper);
            }
            if (bounds.lower) {
                bound(i, -1.0, -*bounds.lower);
            }
        }
    }
}

}  // namespace

HessianLayout hessian_layout(const QuadraticExpression& objective, std::size_t n) {
    const QuadraticTerms& terms = objective.quadratic_terms;
    HessianLayout layout;
    layout.size = n;
    for (const auto& term : terms) {
        layout.size = std::max(layout.size, term.key.second.index + 1);
    }
    // The terms' positions column by column (a counting sort, list order within a column),
    // then each column by row.
    std::vector<std::size_t> starts(layout.size + 1, 0);
    for (const auto& term : terms) {
        ++starts[term.key.second.index + 1];
    }
    counts_to_starts(starts);
    layout.order.resize(terms.size());
    {
        std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
        for (std::size_t k = 0; k < terms.size(); ++k) {
            layout.order[next[terms[k].key.second.index]++] = k;
        }
    }
    // One entry of P per run of equal rows, that is per key.
    layout.column_starts.assign(layout.size + 1, 0);
    for (std::size_t j = 0; j < layout.size; ++j) {
        const std::span column(layout.order.data() + starts[j], starts[j + 1] - starts[j]);
        sort_by_row(column, terms);
        for (std::size_t k = 0; k < column.size(); ++k) {
            if (k == 0 || terms[column[k]].key != terms[column[k - 1]].key) {
                ++layout.column_starts[j + 1];
            }
        }
    }
    counts_to_starts(layout.column_starts);
    return layout;
}

template <class Index>
void write_hessian(const QuadraticExpression& objective, const HessianLayout& layout,
                   CscStorage<Index> out) {
    const QuadraticTerms& terms = objective.quadratic_terms;
    std::transform(layout.column_starts.begin(), layout.column_starts.end(), out.colptr.begin(),
                   [](std::size_t start) { return static_cast<Index>(start); });
    // A key's terms are adjacent in `order` and still in list order; summed in that order they
    // give the coefficient exactly as adding them into one accumulator as they came would.
    std::size_t at = 0;
    for (std::size_t k = 0; k < layout.order.size(); ++k) {
        const auto& [key, value] = terms[layout.order[k]];
        if (k > 0 && key == terms[layout.order[k - 1]].key) {
            out.nzval[at - 1] += value;
        } else {
            out.rowval[at] = static_cast<Index>(key.first.index);
            out.nzval[at] = value;
            ++at;
        }
    }
    // ½·xᵀPx must equal Σ q·a·b: a square's coefficient doubles, a product's stands once above
    // the diagonal (the solver mirrors it). The diagonal ends its column.
    for (std::size_t j = 0; j < layout.size; ++j) {
        const std::size_t end = layout.column_starts[j + 1];
        if (end > layout.column_starts[j] && out.rowval[end - 1] == static_cast<Index>(j)) {
            out.nzval[end - 1] = 2.0 * out.nzval[end - 1];
        }
    }
}

std::vector<Cone> ConstraintLayout::cones() const {
    return {Cone{ConeKind::Zero, equality_rows}, Cone{ConeKind::Nonnegative, rows - equality_rows}};
}

ConstraintLayout constraint_layout(const ProblemVariables& variables,
                                   const std::vector<Constraint>& constraints) {
    const std::size_t n = variables.size();
    ConstraintLayout layout;
    layout.column_starts.assign(n + 1, 0);
    for (const Constraint& constraint : constraints) {
        const std::size_t count = row_count(constraint);
        if (std::holds_alternative<Equality>(constraint)) {
            layout.equality_rows += count;
        }
        layout.rows += count;
        const AffineExpression& e = std::visit(
            [](const auto& c) -> const AffineExpression& { return c.expression; }, constraint);
        for (const auto& entry : e.coefficients) {
            if (entry.key.index >= n) {
                throw std::out_of_range(
                    "simple_qp: expression names a variable outside the problem");
            }
            layout.column_starts[entry.key.index + 1] += count;
        }
    }
    for (const VariableRun& run : variables.runs()) {
        const std::size_t count = (run.bounds.upper ? 1 : 0) + (run.bounds.lower ? 1 : 0);
        if (count == 0) {
            continue;
        }
        layout.rows += count * run.count;
        for (std::size_t i = run.first; i < run.first + run.count; ++i) {
            layout.column_starts[i + 1] += count;
        }
    }
    counts_to_starts(layout.column_starts);
    return layout;
}

template <class Index>
void write_constraint_rows(const ProblemVariables& variables,
                           const std::vector<Constraint>& constraints,
                           const ConstraintLayout& layout, CscStorage<Index> a,
                           std::span<double> b) {
    // Rows are generated in increasing order and an expression names each variable once, so
    // every column ends up sorted by row without repeated positions.
    start_cursors(layout.column_starts, a);
    std::size_t r = 0;
    for_each_row(
        variables, constraints,
        [&](const AffineExpression& e, double sign, double rhs) {
            for (const auto& [v, c] : e.coefficients) {
                place(a, r, v.index, sign * c);
            }
            b[r++] = rhs;
        },
        [&](std::size_t i, double value, double rhs) {
            place(a, r, i, value);
            b[r++] = rhs;
        });
}

void write_linear(const QuadraticExpression& objective, std::span<double> q) {
    const Coefficients& linear = objective.affine_part.coefficients;
    for (const auto& entry : linear) {
        if (entry.key.index >= q.size()) {
            throw std::out_of_range("simple_qp: linear term of a variable outside the vector");
        }
    }
    std::fill(q.begin(), q.end(), 0.0);
    for (const auto& [v, c] : linear) {
        q[v.index] += c;
    }
}

template void write_hessian(const QuadraticExpression&, const HessianLayout&,
                            CscStorage<std::size_t>);
template void write_hessian(const QuadraticExpression&, const HessianLayout&,
                            CscStorage<std::int32_t>);
template void write_hessian(const QuadraticExpression&, const HessianLayout&,
                            CscStorage<std::int64_t>);
template void write_constraint_rows(const ProblemVariables&, const std::vector<Constraint>&,
                                    const ConstraintLayout&, CscStorage<std::size_t>,
                                    std::span<double>);
template void write_constraint_rows(const ProblemVariables&, const std::vector<Constraint>&,
                                    const ConstraintLayout&, CscStorage<std::int32_t>,
                                    std::span<double>);
template void write_constraint_rows(const ProblemVariables&, const std::vector<Constraint>&,
                                    const ConstraintLayout&, CscStorage<std::int64_t>,
                                    std::span<double>);

}  // namespace simple_qp
