// tests/cpp/simple_qp/test_assembly.cpp: triplets to CSC, objective and constraint assembly, solve results
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "reference.hpp"
#include "simple_qp/assembly.hpp"
#include "simple_qp/solver.hpp"

namespace {

using simple_qp::AffineExpression;
using simple_qp::Cone;
using simple_qp::ConeKind;
using simple_qp::Constraint;
using simple_qp::Equality;
using simple_qp::Inequality;
using simple_qp::ProblemVariables;
using simple_qp::QuadraticExpression;
using simple_qp::SolveError;
using simple_qp::Variable;
using simple_qp::testing::assembled_problem;
using simple_qp::testing::ConicProblem;
using simple_qp::testing::CscMatrix;
using simple_qp::testing::CscMatrixTripletsBuilder;
using simple_qp::testing::HessianPart;
using simple_qp::testing::linear_as_vector;
using simple_qp::testing::quadratic_as_csc;
using simple_qp::testing::square;
using simple_qp::testing::upper_triangle_as_csc;
using simple_qp::testing::value_at;
using simple_qp::testing::variable_bounds;

// Dense copy of a CSC matrix, checking the storage invariants on the way.
std::vector<std::vector<double>> dense(const CscMatrix& a) {
    EXPECT_EQ(a.colptr.size(), a.n + 1);
    EXPECT_EQ(a.colptr.front(), 0u);
    EXPECT_EQ(a.colptr.back(), a.nnz());
    EXPECT_EQ(a.rowval.size(), a.nnz());
    std::vector<std::vector<double>> out(a.m, std::vector<double>(a.n, 0.0));
    for (std::size_t j = 0; j < a.n; ++j) {
        for (std::size_t k = a.colptr[j]; k < a.colptr[j + 1]; ++k) {
            EXPECT_LT(a.rowval[k], a.m);
            if (k > a.colptr[j]) {
                EXPECT_LT(a.rowval[k - 1], a.rowval[k]) << "rows not strictly ascending";
            }
            out[a.rowval[k]][j] = a.nzval[k];
        }
    }
    return out;
}

// Records the conic form of every problem it is given and answers with a fixed result.
class RecordingSolver final : public simple_qp::Solver {
public:
    explicit RecordingSolver(simple_qp::SolveResult answer) : m_answer(std::move(answer)) {}
    simple_qp::SolveResult solve(ProblemVariables variables, QuadraticExpression objective,
                                 std::vector<Constraint> constraints) const override {
        problems.push_back(assembled_problem(variables, objective, constraints));
        return m_answer;
    }
    mutable std::vector<ConicProblem> problems;

private:
    simple_qp::SolveResult m_answer;
};

TEST(CscMatrixTripletsBuilder, SortsByColumnThenRowAndGrowsToFitEntries) {
    CscMatrixTripletsBuilder builder(2, 2);
    builder.add_triplet(3, 1, 4.0);
    builder.add_triplet(0, 1, 2.0);
    builder.add_triplet(1, 0, 1.0);
    builder.add_triplet(2, 4, 5.0);
    builder.add_triplet(1, 1, 3.0);
    EXPECT_EQ(builder.rows(), 4u);
    EXPECT_EQ(builder.cols(), 5u);
    const CscMatrix a = std::move(builder).build();
    EXPECT_EQ(a.m, 4u);
    EXPECT_EQ(a.n, 5u);
    EXPECT_EQ(a.colptr, (std::vector<std::size_t>{0, 1, 4, 4, 4, 5}));
    EXPECT_EQ(a.rowval, (std::vector<std::size_t>{1, 0, 1, 3, 2}));
    EXPECT_EQ(a.nzval, (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0}));

    const CscMatrix empty = CscMatrixTripletsBuilder(3, 2).build();
    EXPECT_EQ(empty, CscMatrix::zeros(3, 2));
}

TEST(CscMatrixTripletsBuilder, LongColumnsAndRepeatedPositions) {
    // One column far longer than the insertion-sort range, in reverse row order, plus two
    // entries at one position, which are summed.
    CscMatrixTripletsBuilder builder(0, 0);
    const std::size_t rows = 100;
    for (std::size_t r = rows; r-- > 0;) {
        builder.add_triplet(r, 0, static_cast<double>(r));
    }
    builder.add_triplet(7, 0, 0.5);
    const CscMatrix a = std::move(builder).build();
    ASSERT_EQ(a.nnz(), rows);
    const auto d = dense(a);
    for (std::size_t r = 0; r < rows; ++r) {
        EXPECT_EQ(d[r][0], r == 7 ? 7.5 : static_cast<double>(r));
    }
}

TEST(QuadraticAsCsc, FullSymmetricHessianAndLinearVector) {
    ProblemVariables registry;
    const auto x = registry.add_vector(3, std::nullopt, std::nullopt);
    QuadraticExpression q = square(x[0] - 2.0 * x[1] + x[2]);
    q += AffineExpression(x[1]) * 3.0 + 7.0;
    const auto p = dense(quadratic_as_csc(q, 3));
    const std::vector<std::vector<double>> expected = {
        {2.0, -4.0, 2.0}, {-4.0, 8.0, -4.0}, {2.0, -4.0, 2.0}};
    EXPECT_EQ(p, expected);
    EXPECT_EQ(linear_as_vector(q, 3), (std::vector<double>{0.0, 3.0, 0.0}));

    EXPECT_EQ(quadratic_as_csc(QuadraticExpression{}, 4), CscMatrix::zeros(4, 4));
    EXPECT_THROW(linear_as_vector(q, 1), std::out_of_range);
}

TEST(QuadraticAsCsc, HalfQuadraticFormReproducesTheExpression) {
    // ½·xᵀPx + qᵀx + constant must equal the expression's value for any x.
    const std::size_t n = 40;
    ProblemVariables registry;
    const auto x = registry.add_vector(n, std::nullopt, std::nullopt);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::uniform_int_distribution<std::size_t> pick(0, n - 1);
    QuadraticExpression objective;
    for (int k = 0; k < 60; ++k) {
        const AffineExpression e =
            value(rng) * x[pick(rng)] + x[pick(rng)] * value(rng) + value(rng);
        const AffineExpression f = x[pick(rng)] - value(rng);
        objective += e * f;
    }
    std::vector<double> point(n);
    for (double& p : point)
        p = value(rng);

    const auto P = dense(quadratic_as_csc(objective, n));
    const auto q = linear_as_vector(objective, n);
    double form = objective.affine_part.constant;
    for (std::size_t i = 0; i < n; ++i) {
        form += q[i] * point[i];
        for (std::size_t j = 0; j < n; ++j) {
            EXPECT_EQ(P[i][j], P[j][i]);
            form += 0.5 * point[i] * P[i][j] * point[j];
        }
    }
    EXPECT_NEAR(form, value_at(objective, point), 1e-12 * (1.0 + std::abs(form)));
}

TEST(AssembledProblem, RowOrderRightHandSidesAndCones) {
    ProblemVariables registry;
    const Variable x = registry.add_vector(1, std::nullopt, std::nullopt)[0];
    const Variable y = registry.add_vector(1, -1.0, 2.0)[0];  // bound rows last
    const Variable z = registry.add_vector(1, std::nullopt, std::nullopt)[0];
    const std::vector<Constraint> constraints = {
        Inequality{-0.5, 0.5, x - 3.0},                               // two rows, upper first
        Equality{x - 3.0},                                            // first row of all
        Inequality{std::nullopt, 4.0, 2.0 * z},                       // upper only
        Inequality{std::nullopt, std::nullopt, AffineExpression(z)},  // no rows at all
        Equality{y + z - 1.0},
        Inequality{1.0, std::nullopt, z + 0.5},  // lower only
    };
    const ConicProblem p = assembled_problem(registry, QuadraticExpression{}, constraints);

    const std::vector<std::vector<double>> expected_a = {
        {1, 0, 0},   // x - 3 = 0
        {0, 1, 1},   // y + z - 1 = 0
        {1, 0, 0},   // x <= 3.5
        {-1, 0, 0},  // -x <= -2.5
        {0, 0, 2},   // 2z <= 4
        {0, 0, -1},  // -z <= -0.5
        {0, 1, 0},   // y <= 2
        {0, -1, 0},  // -y <= 1
    };
    EXPECT_EQ(dense(p.A), expected_a);
    EXPECT_EQ(p.b, (std::vector<double>{3.0, 1.0, 3.5, -2.5, 4.0, -0.5, 2.0, 1.0}));
    EXPECT_EQ(p.cones, (std::vector<Cone>{{ConeKind::Zero, 2}, {ConeKind::Nonnegative, 6}}));
    EXPECT_EQ(p.P, CscMatrix::zeros(3, 3));
    EXPECT_EQ(p.q, (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(AssembledProblem, ConeSizesAtTheExtremes) {
    ProblemVariables registry;
    const auto x = registry.add_vector(2, std::nullopt, std::nullopt);
    const ConicProblem only_equalities = assembled_problem(
        registry, QuadraticExpression{}, {Equality{x[0] - 1.0}, Equality{x[1] - x[0]}});
    EXPECT_EQ(only_equalities.cones,
              (std::vector<Cone>{{ConeKind::Zero, 2}, {ConeKind::Nonnegative, 0}}));

    const ConicProblem nothing = assembled_problem(registry, QuadraticExpression{}, {});
    EXPECT_EQ(nothing.cones, (std::vector<Cone>{{ConeKind::Zero, 0}, {ConeKind::Nonnegative, 0}}));
    EXPECT_EQ(nothing.A.m, 0u);
    EXPECT_EQ(nothing.A.n, 2u);
    EXPECT_TRUE(nothing.b.empty());
}

TEST(AssembledProblem, ExplicitZeroCoefficientAddsNothingWrong) {
    ProblemVariables registry;
    const auto x = registry.add_vector(2, std::nullopt, std::nullopt);
    // x0 - x0 + x1 - 2 = 0: the cancelled entry may be stored, but only as a zero.
    const ConicProblem p =
        assembled_problem(registry, QuadraticExpression{}, {Equality{(x[1] + x[0]) - x[0] - 2.0}});
    EXPECT_EQ(dense(p.A), (std::vector<std::vector<double>>{{0.0, 1.0}}));
    EXPECT_EQ(p.b, (std::vector<double>{2.0}));
}

TEST(AssembledProblem, ForeignVariablesAreABug) {
    ProblemVariables registry;
    registry.add_vector(2, std::nullopt, std::nullopt);
    const Variable stranger{5};
    EXPECT_THROW(assembled_problem(registry, QuadraticExpression{}, {Equality{stranger - 1.0}}),
                 std::out_of_range);
    EXPECT_THROW(assembled_problem(registry, square(AffineExpression(stranger)), {}),
                 std::out_of_range);
}

TEST(Solve, RecordingSolverSeesTheAssembledProblem) {
    ProblemVariables registry;
    const auto x = registry.add_vector(2, std::nullopt, 10.0);
    QuadraticExpression objective = square(x[0] - x[1]);
    const RecordingSolver solver(simple_qp::SolvedProblem{{1.5, -2.5}});
    simple_qp::SolveResult result =
        solver.solve(registry, objective, {Inequality{-1.0, 1.0, AffineExpression(x[1])}});
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().eval_vec(std::vector<Variable>{x[1], x[0], x[1]}),
              (std::vector<double>{-2.5, 1.5, -2.5}));
    EXPECT_THROW(result.value().eval_vec(std::vector<Variable>{Variable{2}}), std::out_of_range);

    ASSERT_EQ(solver.problems.size(), 1u);
    const ConicProblem& p = solver.problems[0];
    EXPECT_EQ(dense(p.P), (std::vector<std::vector<double>>{{2.0, -2.0}, {-2.0, 2.0}}));
    EXPECT_EQ(p.b, (std::vector<double>{1.0, 1.0, 10.0, 10.0}));
    EXPECT_EQ(p.cones, (std::vector<Cone>{{ConeKind::Zero, 0}, {ConeKind::Nonnegative, 4}}));
}

// The conic form built the plain way: every entry through a triplet list, P from the full
// symmetric pattern, bound rows variable by variable.
ConicProblem reference_problem(const ProblemVariables& variables,
                               const QuadraticExpression& objective,
                               const std::vector<Constraint>& constraints) {
    const std::size_t n = variables.size();
    ConicProblem p;
    CscMatrixTripletsBuilder hessian(n, n);
    for (const auto& [pair, c] : objective.quadratic_terms) {
        if (pair.first == pair.second) {
            hessian.add_triplet(pair.first.index, pair.first.index, 2.0 * c);
        } else {
            hessian.add_triplet(pair.first.index, pair.second.index, c);
            hessian.add_triplet(pair.second.index, pair.first.index, c);
        }
    }
    p.P = objective.quadratic_terms.empty() ? CscMatrix::zeros(n, n) : std::move(hessian).build();
    p.q.assign(n, 0.0);
    for (const auto& [v, c] : objective.affine_part.coefficients)
        p.q[v.index] += c;

    std::size_t rows = 0;
    for (const Constraint& c : constraints)
        rows += simple_qp::row_count(c);
    CscMatrixTripletsBuilder a(rows, n);
    std::size_t r = 0;
    const auto add_row = [&](const AffineExpression& e, double sign) {
        for (const auto& [v, c] : e.coefficients)
            a.add_triplet(r, v.index, sign * c);
        ++r;
    };
    for (const Constraint& c : constraints) {
        if (const auto* eq = std::get_if<Equality>(&c)) {
            add_row(eq->expression, 1.0);
            p.b.push_back(-eq->expression.constant);
        }
    }
    const std::size_t equalities = r;
    for (const Constraint& c : constraints) {
        if (const auto* in = std::get_if<Inequality>(&c)) {
            if (in->upper) {
                add_row(in->expression, 1.0);
                p.b.push_back(*in->upper - in->expression.constant);
            }
            if (in->lower) {
                add_row(in->expression, -1.0);
                p.b.push_back(-(*in->lower - in->expression.constant));
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const simple_qp::VariableBounds& bounds = variable_bounds(variables, i);
        if (bounds.upper) {
            a.add_triplet(r++, i, 1.0);
            p.b.push_back(*bounds.upper);
        }
        if (bounds.lower) {
            a.add_triplet(r++, i, -1.0);
            p.b.push_back(-*bounds.lower);
        }
    }
    p.A = std::move(a).build();
    p.A.m = r;
    p.cones = {{ConeKind::Zero, equalities}, {ConeKind::Nonnegative, r - equalities}};
    return p;
}

std::vector<std::uint64_t> bits(const std::vector<double>& values) {
    std::vector<std::uint64_t> out;
    for (const double v : values)
        out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}

// Bit-for-bit equality, so that 0.0 and -0.0 differ.
void expect_same_matrix(const CscMatrix& a, const CscMatrix& b) {
    EXPECT_EQ(a.m, b.m);
    EXPECT_EQ(a.n, b.n);
    EXPECT_EQ(a.colptr, b.colptr);
    EXPECT_EQ(a.rowval, b.rowval);
    EXPECT_EQ(bits(a.nzval), bits(b.nzval));
}

TEST(AssembledProblem, MatchesPlainTripletAssemblyOnRandomProblems) {
    std::mt19937 rng(23);
    std::uniform_real_distribution<double> value(-4.0, 4.0);
    std::uniform_int_distribution<int> coin(0, 3);
    const auto coefficient = [&] {
        const int k = coin(rng);
        return k == 0 ? 0.0 : k == 1 ? -0.0 : value(rng);
    };
    const auto side = [&]() -> std::optional<double> {
        if (coin(rng) == 0) return std::nullopt;
        return value(rng);
    };
    for (int trial = 0; trial < 30; ++trial) {
        SCOPED_TRACE(trial);
        ProblemVariables registry;
        std::vector<Variable> x;
        for (int group = 1 + coin(rng); group > 0; --group) {
            // Groups of one size or another, some empty, some bounded.
            const auto more = registry.add_vector(static_cast<std::size_t>(coin(rng) * 7), side(),
                                                  coin(rng) < 2 ? side() : std::nullopt);
            x.insert(x.end(), more.begin(), more.end());
        }
        if (x.empty()) x = registry.add_vector(3, std::nullopt, std::nullopt);
        std::uniform_int_distribution<std::size_t> pick(0, x.size() - 1);
        const auto expression = [&] {
            AffineExpression e(coefficient());
            for (int k = coin(rng) + coin(rng); k > 0; --k)
                e += x[pick(rng)] * coefficient();
            return e;
        };

        QuadraticExpression objective;
        for (int k = coin(rng) * 12; k > 0; --k) {
            if (coin(rng) == 0) {
                objective += expression() * expression();
            } else {
                objective.add_square(expression());
            }
        }
        std::vector<Constraint> constraints;
        for (int k = coin(rng) * 15; k > 0; --k) {
            if (coin(rng) == 0) {
                constraints.emplace_back(Equality{expression()});
            } else {
                constraints.emplace_back(Inequality{side(), side(), expression()});
            }
        }

        const ConicProblem expected = reference_problem(registry, objective, constraints);
        const ConicProblem full = assembled_problem(registry, objective, constraints);
        expect_same_matrix(full.P, expected.P);
        expect_same_matrix(full.A, expected.A);
        EXPECT_EQ(bits(full.q), bits(expected.q));
        EXPECT_EQ(bits(full.b), bits(expected.b));
        EXPECT_EQ(full.cones, expected.cones);

        // The upper-triangle form is exactly the full P without its entries below the diagonal.
        const ConicProblem upper =
            assembled_problem(registry, objective, constraints, HessianPart::UpperTriangle);
        CscMatrix filtered = CscMatrix::zeros(expected.P.m, expected.P.n);
        for (std::size_t j = 0; j < expected.P.n; ++j) {
            for (std::size_t k = expected.P.colptr[j]; k < expected.P.colptr[j + 1]; ++k) {
                if (expected.P.rowval[k] <= j) {
                    filtered.rowval.push_back(expected.P.rowval[k]);
                    filtered.nzval.push_back(expected.P.nzval[k]);
                }
            }
            filtered.colptr[j + 1] = filtered.rowval.size();
        }
        expect_same_matrix(upper.P, filtered);
        expect_same_matrix(upper.A, expected.A);
        expect_same_matrix(upper_triangle_as_csc(objective, registry.size()), filtered);
    }
}

TEST(AssembledProblem, WritesNarrowIndexStorageLikeWideStorage) {
    // The adapter writes 32-bit indices straight into its arrays; they must hold the same
    // matrix as the std::size_t form.
    ProblemVariables registry;
    const auto x = registry.add_vector(4, -1.0, 1.0);
    QuadraticExpression objective;
    objective.add_square(x[3] - 2.0 * x[1] + x[0]);
    objective += (x[2] + 1.0) * (x[0] - 0.5);
    const std::vector<Constraint> constraints = {Equality{x[1] - x[3] + 2.0},
                                                 Inequality{-1.0, 4.0, x[2] * 3.0 + x[0]}};

    const ConicProblem wide =
        assembled_problem(registry, objective, constraints, HessianPart::UpperTriangle);
    const simple_qp::HessianLayout hessian = simple_qp::hessian_layout(objective, 4);
    std::vector<std::int32_t> colptr(5), rowval(hessian.entries());
    std::vector<double> nzval(hessian.entries());
    simple_qp::write_hessian(objective, hessian,
                             simple_qp::CscStorage<std::int32_t>{colptr, rowval, nzval});
    EXPECT_EQ(std::vector<std::size_t>(colptr.begin(), colptr.end()), wide.P.colptr);
    EXPECT_EQ(std::vector<std::size_t>(rowval.begin(), rowval.end()), wide.P.rowval);
    EXPECT_EQ(nzval, wide.P.nzval);

    const simple_qp::ConstraintLayout rows = simple_qp::constraint_layout(registry, constraints);
    EXPECT_EQ(rows.cones(), wide.cones);
    std::vector<std::int64_t> a_colptr(5), a_rowval(rows.entries());
    std::vector<double> a_nzval(rows.entries()), b(rows.rows);
    const simple_qp::CscStorage<std::int64_t> a{a_colptr, a_rowval, a_nzval};
    simple_qp::write_constraint_rows(registry, constraints, rows, a, std::span<double>(b));
    EXPECT_EQ(std::vector<std::size_t>(a_colptr.begin(), a_colptr.end()), wide.A.colptr);
    EXPECT_EQ(std::vector<std::size_t>(a_rowval.begin(), a_rowval.end()), wide.A.rowval);
    EXPECT_EQ(a_nzval, wide.A.nzval);
    EXPECT_EQ(b, wide.b);
}

}  // namespace
