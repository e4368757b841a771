// src/path2d/elastic_band.hpp: the quadratic program behind elastic band smoothing
#pragma once

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

/// Solver settings for the smoother: quiet, and tolerances loose enough for geometry in the
/// caller's length unit.
simple_qp::ClarabelSettings elastic_band_settings() noexcept;

}  // namespace korvane
