// tests/cpp/path2d/test_elastic_band.cpp: the elastic band problem and the smoother around it
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "../simple_qp/reference.hpp"
#include "path2d/elastic_band.hpp"

namespace {

using korvane::ElasticBandMethod;
using korvane::Path2D;
using korvane::Point;
using simple_qp::Cone;
using simple_qp::ConeKind;
using simple_qp::testing::assembled_problem;
using simple_qp::testing::ConicProblem;

// Smoothing as the binding runs it: the plan, then its solve.
std::optional<Path2D> smoothed_elastic_band(const Path2D& path, double max_deviation,
                                            ElasticBandMethod method,
                                            const simple_qp::Solver& solver) {
    korvane::ElasticBandPlan plan = korvane::plan_elastic_band(path, max_deviation, method);
    return korvane::solve_elastic_band(plan, solver).path;
}

std::vector<std::vector<double>> dense(const simple_qp::testing::CscMatrix& a) {
    std::vector<std::vector<double>> out(a.m, std::vector<double>(a.n, 0.0));
    for (std::size_t j = 0; j < a.n; ++j) {
        for (std::size_t k = a.colptr[j]; k < a.colptr[j + 1]; ++k) {
            out[a.rowval[k]][j] = a.nzval[k];
        }
    }
    return out;
}

// Records every assembled problem and answers with a fixed result.
class RecordingSolver final : public simple_qp::Solver {
public:
    explicit RecordingSolver(simple_qp::SolveResult answer) : m_answer(std::move(answer)) {}
    simple_qp::SolveResult solve(simple_qp::ProblemVariables variables,
                                 simple_qp::QuadraticExpression objective,
                                 std::vector<simple_qp::Constraint> constraints) const override {
        problems.push_back(assembled_problem(variables, objective, constraints));
        return m_answer;
    }
    mutable std::vector<ConicProblem> problems;

private:
    simple_qp::SolveResult m_answer;
};

// Solves the equality-constrained problem exactly (dense KKT system) and accepts the answer
// only if it also meets every inequality row: then it is the true optimum.
class EqualityKktSolver final : public simple_qp::Solver {
public:
    simple_qp::SolveResult solve(simple_qp::ProblemVariables variables,
                                 simple_qp::QuadraticExpression objective,
                                 std::vector<simple_qp::Constraint> constraints) const override {
        const ConicProblem p = assembled_problem(variables, objective, constraints);
        const std::size_t n = p.P.n;
        const std::size_t e = p.cones[0].size;
        const auto P = dense(p.P);
        const auto A = dense(p.A);
        const std::size_t size = n + e;
        std::vector<std::vector<double>> k(size, std::vector<double>(size + 1, 0.0));
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j)
                k[i][j] = P[i][j];
            k[i][size] = -p.q[i];
        }
        for (std::size_t r = 0; r < e; ++r) {
            for (std::size_t j = 0; j < n; ++j) {
                k[n + r][j] = A[r][j];
                k[j][n + r] = A[r][j];
            }
            k[n + r][size] = p.b[r];
        }
        for (std::size_t c = 0; c < size; ++c) {
            std::size_t pivot = c;
            for (std::size_t r = c + 1; r < size; ++r) {
                if (std::abs(k[r][c]) > std::abs(k[pivot][c])) pivot = r;
            }
            if (std::abs(k[pivot][c]) < 1e-12) return simple_qp::SolveError::NotSolved;
            std::swap(k[c], k[pivot]);
            for (std::size_t r = 0; r < size; ++r) {
                if (r == c) continue;
                const double f = k[r][c] / k[c][c];
                for (std::size_t j = c; j <= size; ++j)
                    k[r][j] -= f * k[c][j];
            }
        }
        std::vector<double> x(n);
        for (std::size_t i = 0; i < n; ++i)
            x[i] = k[i][size] / k[i][i];
        for (std::size_t r = e; r < A.size(); ++r) {
            double ax = 0.0;
            for (std::size_t j = 0; j < n; ++j)
                ax += A[r][j] * x[j];
            if (ax > p.b[r] + 1e-9) return simple_qp::SolveError::Infeasible;
        }
        return simple_qp::SolvedProblem{std::move(x)};
    }
};

constexpr ElasticBandMethod kMethods[] = {ElasticBandMethod::SquareBounds,
                                          ElasticBandMethod::OrthogonalBounds};

TEST(ElasticBand, PathsWithoutInteriorFreedomSkipTheSolverBelowTwoPoints) {
    const RecordingSolver solver(simple_qp::SolveError::NotSolved);
    Path2D single = Path2D::from_points({{1.0, 2.0}});
    ASSERT_TRUE(single.add_associated_values({7.0}).ok());
    for (const ElasticBandMethod method : kMethods) {
        for (const double d : {0.5, std::numeric_limits<double>::quiet_NaN()}) {
            const auto empty = smoothed_elastic_band(Path2D::from_points({}), d, method, solver);
            ASSERT_TRUE(empty);
            EXPECT_EQ(empty->size(), 0u);
            const auto one = smoothed_elastic_band(single, d, method, solver);
            ASSERT_TRUE(one);
            EXPECT_EQ(one->points(), single.points());
            EXPECT_EQ(one->associated_values(), single.associated_values());
        }
    }
    EXPECT_TRUE(solver.problems.empty());
    EXPECT_TRUE(single.orientation_cache().has_value());
}

TEST(ElasticBand, NonFiniteInputsHaveNoResult) {
    const RecordingSolver solver(simple_qp::SolvedProblem{});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Path2D path = Path2D::from_points({{0, 0}, {1, 1}, {2, 0}});
    for (const ElasticBandMethod method : kMethods) {
        for (const double d : {nan, inf, -inf}) {
            EXPECT_FALSE(smoothed_elastic_band(path, d, method, solver));
        }
        for (const Point bad : {Point{nan, 0}, Point{0, inf}, Point{-inf, 1}}) {
            // An infinite end point would otherwise be "solved" at the solver's stand-in value.
            const Path2D with_bad = Path2D::from_points({{0, 0}, {1, 1}, bad});
            EXPECT_FALSE(smoothed_elastic_band(with_bad, 0.5, method, solver));
        }
    }
    EXPECT_TRUE(solver.problems.empty());
    EXPECT_TRUE(path.orientation_cache().has_value());
}

TEST(ElasticBand, ThreePointSquareBoundsProblem) {
    const RecordingSolver solver(simple_qp::SolveError::Infeasible);
    const Path2D path = Path2D::from_points({{0, 0}, {1, 1}, {2, 0}});
    EXPECT_FALSE(smoothed_elastic_band(path, 0.5, ElasticBandMethod::SquareBounds, solver));
    ASSERT_EQ(solver.problems.size(), 1u);
    const ConicProblem& p = solver.problems[0];
    // Columns X0 X1 X2 Y0 Y1 Y2; P is twice the Gram matrix of (1, -2, 1) per coordinate.
    const std::vector<std::vector<double>> expected_p = {{2, -4, 2, 0, 0, 0},  {-4, 8, -4, 0, 0, 0},
                                                         {2, -4, 2, 0, 0, 0},  {0, 0, 0, 2, -4, 2},
                                                         {0, 0, 0, -4, 8, -4}, {0, 0, 0, 2, -4, 2}};
    EXPECT_EQ(dense(p.P), expected_p);
    EXPECT_EQ(p.q, std::vector<double>(6, 0.0));
    const std::vector<std::vector<double>> expected_a = {
        {1, 0, 0, 0, 0, 0}, {0, 0, 0, 1, 0, 0},  {0, 0, 1, 0, 0, 0}, {0, 0, 0, 0, 0, 1},
        {0, 1, 0, 0, 0, 0}, {0, -1, 0, 0, 0, 0}, {0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, -1, 0}};
    EXPECT_EQ(dense(p.A), expected_a);
    EXPECT_EQ(p.b, (std::vector<double>{0, 0, 2, 0, 1.5, -0.5, 1.5, -0.5}));
    EXPECT_EQ(p.cones, (std::vector<Cone>{{ConeKind::Zero, 4}, {ConeKind::Nonnegative, 4}}));
}

TEST(ElasticBand, ThreePointOrthogonalBoundsProblem) {
    const RecordingSolver solver(simple_qp::SolveError::NotSolved);
    // The middle heading is atan2(2, 0) = π/2: the normal to the right is (1, 0).
    const Path2D path = Path2D::from_points({{0, 0}, {3, 1}, {0, 2}});
    EXPECT_FALSE(smoothed_elastic_band(path, 0.25, ElasticBandMethod::OrthogonalBounds, solver));
    ASSERT_EQ(solver.problems.size(), 1u);
    const ConicProblem& p = solver.problems[0];
    ASSERT_EQ(p.A.n, 7u);  // X0..2, Y0..2, d1
    const auto a = dense(p.A);
    ASSERT_EQ(a.size(), 8u);
    const double s = std::sin(std::atan2(2.0, 0.0)) * 0.25;
    const double c = std::cos(std::atan2(2.0, 0.0)) * -0.25;
    // x1 + s·d - X1 = 0 and y1 + c·d - Y1 = 0, then d <= 1 and -d <= 1.
    EXPECT_EQ(a[4], (std::vector<double>{0, -1, 0, 0, 0, 0, s}));
    EXPECT_EQ(a[5], (std::vector<double>{0, 0, 0, 0, -1, 0, c}));
    EXPECT_EQ(a[6], (std::vector<double>{0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(a[7], (std::vector<double>{0, 0, 0, 0, 0, 0, -1}));
    EXPECT_EQ(p.b, (std::vector<double>{0, 0, 0, 2, -3, -1, 1, 1}));
    EXPECT_EQ(p.cones, (std::vector<Cone>{{ConeKind::Zero, 6}, {ConeKind::Nonnegative, 2}}));
    EXPECT_EQ(p.P.n, 7u);
}

TEST(ElasticBand, SizesGrowWithThePath) {
    for (std::size_t n = 2; n <= 6; ++n) {
        std::vector<Point> points;
        for (std::size_t i = 0; i < n; ++i)
            points.push_back({double(i), double(i % 2)});
        const Path2D path = Path2D::from_points(points);
        const std::size_t interior = n - 2;
        for (const ElasticBandMethod method : kMethods) {
            SCOPED_TRACE(n);
            const RecordingSolver solver(simple_qp::SolveError::NotSolved);
            (void)smoothed_elastic_band(path, 0.1, method, solver);
            ASSERT_EQ(solver.problems.size(), 1u);
            const ConicProblem& p = solver.problems[0];
            const bool square = method == ElasticBandMethod::SquareBounds;
            const std::size_t variables = square ? 2 * n : 3 * n - 2;
            // Square: two two-sided boxes per interior point; orthogonal: two normal
            // equalities and the two sides of -1 <= d <= 1.
            const std::size_t equalities = square ? 4 : 4 + 2 * interior;
            const std::size_t inequalities = square ? 4 * interior : 2 * interior;
            EXPECT_EQ(p.P.n, variables);
            EXPECT_EQ(p.A.n, variables);
            EXPECT_EQ(p.A.m, equalities + inequalities);
            EXPECT_EQ(p.b.size(), p.A.m);
            EXPECT_EQ(p.cones, (std::vector<Cone>{{ConeKind::Zero, equalities},
                                                  {ConeKind::Nonnegative, inequalities}}));
            // Two squares of three terms per interior point: 3 + 2 + 1 keys each, overlapping.
            EXPECT_EQ(p.P.nnz(), n == 2 ? 0u : 2 * (n + 2 * (n - 1) + 2 * (n - 2)));
        }
    }
}

TEST(ElasticBand, SolutionBecomesANewPath) {
    Path2D path = Path2D::from_points({{0, 0}, {1, 1}, {2, 0}});
    ASSERT_TRUE(path.add_associated_values({1, 2, 3}).ok());
    const RecordingSolver solver(simple_qp::SolvedProblem{{0.0, 1.0, 2.0, 0.0, 0.5, 0.0, 0.9}});
    const auto result =
        smoothed_elastic_band(path, 0.5, ElasticBandMethod::OrthogonalBounds, solver);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->points(), (std::vector<Point>{{0, 0}, {1, 0.5}, {2, 0}}));
    EXPECT_TRUE(result->associated_values().empty());
    EXPECT_FALSE(result->orientation_cache().has_value());
}

TEST(ElasticBand, WideSquareBandStraightensThePath) {
    const std::vector<Point> points = {{0, 0}, {1, 0.3}, {2, -0.2}, {3, 0.4}, {4, 0.1}, {5, 1}};
    const Path2D path = Path2D::from_points(points);
    const auto result =
        smoothed_elastic_band(path, 10.0, ElasticBandMethod::SquareBounds, EqualityKktSolver{});
    ASSERT_TRUE(result);
    ASSERT_EQ(result->size(), points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double t = double(i) / double(points.size() - 1);
        EXPECT_NEAR(result->points()[i].x, 5.0 * t, 1e-9);
        EXPECT_NEAR(result->points()[i].y, 1.0 * t, 1e-9);
    }
}

TEST(ElasticBand, OrthogonalBandMovesPointsAlongTheirNormalsOnly) {
    const std::vector<Point> points = {{0, 0}, {1, 0.2}, {2, -0.1}, {3, 0.25}, {4, 0}, {5, 0.1}};
    const double d = 0.5;
    for (const double deviation : {d, -d}) {
        const Path2D path = Path2D::from_points(points);
        const auto result = smoothed_elastic_band(
            path, deviation, ElasticBandMethod::OrthogonalBounds, EqualityKktSolver{});
        ASSERT_TRUE(result);
        const std::vector<double>& theta = path.orientation();
        bool moved = false;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const double dx = result->points()[i].x - points[i].x;
            const double dy = result->points()[i].y - points[i].y;
            // Displacement parallel to (sin θ, -cos θ) and no longer than the band.
            EXPECT_NEAR(dx * -std::cos(theta[i]) - dy * std::sin(theta[i]), 0.0, 1e-9);
            EXPECT_LE(std::hypot(dx, dy), d + 1e-9);
            moved = moved || std::hypot(dx, dy) > 1e-3;
        }
        EXPECT_TRUE(moved);
        EXPECT_EQ(result->points().front(), points.front());
    }
}

}  // namespace
