// src/path2d/elastic_band.cpp: elastic band smoothing as one quadratic program
#include "path2d/elastic_band.hpp"

#include <cmath>
#include <optional>
#include <utility>

#include "util/large_list.hpp"

namespace korvane {

using simple_qp::AffineExpression;
using simple_qp::Equality;
using simple_qp::Inequality;

ElasticBandProblem elastic_band_problem(const Path2D& path, double max_deviation,
                                        ElasticBandMethod method) {
    const std::vector<double>& theta = path.orientation();
    const PointView points = path.point_view();
    const std::size_t n = points.size();
    const std::size_t interior = n >= 2 ? n - 2 : 0;
    const double d = max_deviation;

    ElasticBandProblem problem;
    problem.x = problem.variables.add_vector(n, std::nullopt, std::nullopt);
    problem.y = problem.variables.add_vector(n, std::nullopt, std::nullopt);
    const auto& X = problem.x;
    const auto& Y = problem.y;

    // Each square adds one entry per key of its three variables, six: about 6n per coordinate.
    problem.objective.quadratic_terms.reserve(12 * n);
    advise_large(problem.objective.quadratic_terms);
    for (const auto* V : {&X, &Y}) {
        for (std::size_t i = 1; i + 1 < n; ++i) {
            problem.objective.add_square(-(2.0 * (*V)[i]) + (*V)[i + 1] + (*V)[i - 1]);
        }
    }

    auto& constraints = problem.constraints;
    constraints.reserve(4 + 4 * interior);
    advise_large(constraints);
    if (n > 0) {
        constraints.emplace_back(Equality{X[0] - points[0].x});
        constraints.emplace_back(Equality{Y[0] - points[0].y});
        constraints.emplace_back(Equality{X[n - 1] - points[n - 1].x});
        constraints.emplace_back(Equality{Y[n - 1] - points[n - 1].y});
    }
    if (method == ElasticBandMethod::SquareBounds) {
        for (std::size_t i = 1; i + 1 < n; ++i) {
            constraints.emplace_back(Inequality{-d, d, X[i] - points[i].x});
            constraints.emplace_back(Inequality{-d, d, Y[i] - points[i].y});
        }
    } else {
        const auto offsets = problem.variables.add_vector(interior, std::nullopt, std::nullopt);
        for (std::size_t i = 1; i + 1 < n; ++i) {
            const simple_qp::Variable offset = offsets[i - 1];
            const double s = std::sin(theta[i]);
            const double c = std::cos(theta[i]);
            // The point moves by d·offset along (sin θ, −cos θ), the normal right of the heading.
            constraints.emplace_back(Equality{(points[i].x + offset * (s * d)) - X[i]});
            constraints.emplace_back(Equality{(points[i].y + offset * (c * -d)) - Y[i]});
            constraints.emplace_back(Inequality{std::nullopt, 0.0, offset - 1.0});
            constraints.emplace_back(
                Inequality{std::nullopt, 0.0, AffineExpression(-1.0) - offset});
        }
    }
    return problem;
}

ElasticBandPlan plan_elastic_band(const Path2D& path, double max_deviation,
                                  ElasticBandMethod method) {
    (void)path.orientation();
    ElasticBandPlan plan;
    if (path.size() < 2) {
        // Nothing can move: both points of the problem would be fixed ends.
        plan.answer = path;
        return plan;
    }
    // The solver takes an infinite bound or right-hand side as "none" and may then report a
    // solution at its own stand-in for infinity; a non-finite band or point has no meaningful
    // smoothing, so there is no result.
    if (!std::isfinite(max_deviation)) {
        return plan;
    }
    const PointView points = path.point_view();
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (const Point p = points[i]; !std::isfinite(p.x) || !std::isfinite(p.y)) {
            return plan;
        }
    }
    plan.needs_solve = true;
    plan.problem = elastic_band_problem(path, max_deviation, method);
    return plan;
}

ElasticBandOutcome solve_elastic_band(ElasticBandPlan& plan, const simple_qp::Solver& solver) {
    if (!plan.needs_solve) {
        return {std::move(plan.answer)};
    }
    ElasticBandProblem& problem = plan.problem;
    const simple_qp::SolveResult result = solver.solve(
        std::move(problem.variables), std::move(problem.objective), std::move(problem.constraints));
    if (!result.ok()) {
        return {std::nullopt, result.error() == simple_qp::SolveError::Interrupted};
    }
    const std::vector<double> xs = result.value().eval_vec(problem.x);
    const std::vector<double> ys = result.value().eval_vec(problem.y);
    std::vector<Point> smoothed(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) {
        smoothed[i] = Point{xs[i], ys[i]};
    }
    return {Path2D::from_points(std::move(smoothed))};
}

}  // namespace korvane
