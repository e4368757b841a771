// src/path2d/elastic_band.hpp: the quadratic program behind elastic band smoothing
#pragma once

#include <optional>
#include <vector>

#include "path2d/options.hpp"
#include "path2d/path2d.hpp"
#include "simple_qp/constraint.hpp"
#include "simple_qp/expressions.hpp"
#include "simple_qp/problem_variables.hpp"
#include "simple_qp/solver.hpp"

namespace korvane {

/// The smoothing problem of one path, with the handles of the smoothed coordinates.
struct ElasticBandProblem {
    simple_qp::ProblemVariables variables;
    simple_qp::QuadraticExpression objective;
    std::vector<simple_qp::Constraint> constraints;
    std::vector<simple_qp::Variable> x;  ///< smoothed x per point
    std::vector<simple_qp::Variable> y;  ///< smoothed y per point
};

/// Minimise the squared second differences of x and y with both end points fixed and every
/// interior point within `max_deviation` of its input, per coordinate (`SquareBounds`) or
/// along its right-hand normal (`OrthogonalBounds`). Fills the path's orientation cache.
ElasticBandProblem elastic_band_problem(const Path2D& path, double max_deviation,
                                        ElasticBandMethod method);

/// Elastic band smoothing of one path stated up to the solve, so that a caller can let go of
/// the path before solving.
struct ElasticBandPlan {
    bool needs_solve = false;      ///< whether `problem` is to be solved
    std::optional<Path2D> answer;  ///< the result when no solve is needed
    ElasticBandProblem problem;
};

/// The plan for smoothing `path`: a path of fewer than two points has itself (copied) as the
/// answer, and a band or point that is not finite has no result; every other path needs its
/// problem solved. Fills the path's orientation cache.
ElasticBandPlan plan_elastic_band(const Path2D& path, double max_deviation,
                                  ElasticBandMethod method);

/// What became of a plan: the smoothed path, or nothing when the solve failed.
struct ElasticBandOutcome {
    std::optional<Path2D> path;
    /// Whether the solve failed with `SolveError::Interrupted`, which a caller may have to pass on.
    bool interrupted = false;
};

/// Carries a plan out: its answer when it needs no solve, else the path `solver` finds.
ElasticBandOutcome solve_elastic_band(ElasticBandPlan& plan, const simple_qp::Solver& solver);

}  // namespace korvane
