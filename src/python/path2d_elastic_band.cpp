// src/python/path2d_elastic_band.cpp: elastic band smoothing, solved by Clarabel
#include "path2d/elastic_band.hpp"
#include "python/clarabel_solver.hpp"
#include "python/path2d_type.hpp"
#include "python/results.hpp"

namespace korvane::python {

namespace {

constexpr char smoothed_path_elastic_band_doc[] =
    "smoothed_path_elastic_band($self, max_deviation, elastic_band_type=...)\n--\n\n"
    "smoothed_path_elastic_band(max_deviation, elastic_band_type=ElasticBandMethod.OrthogonalBounds)\n\n"
    "Smoothes the path using an algorithm from Autoware [1]. A QP has to be solved for that.\n"
    "CLARABEL [2] is used as the solver.\n\n"
    "[1] https://autowarefoundation.github.io/autoware.universe/main/planning/autoware_path_smoother/docs/eb/\n"
    "[2] https://clarabel.org/stable/\n"
    "\n:param max_deviation: Maximum deviation from the original path\n:param elastic_band_type: Type of "
    "constraining the deviation to the original path\n\n:type max_deviation: float\n:type elastic_band_type: "
    "ElasticBandType\n\n:returns: The smoothed path\n:rtype: Path2D";

/// The problem is stated while the path is borrowed; the solver (Python packages, and a solve
/// that lets other threads run) only sees it after the borrow has ended.
const auto smoothed_path_elastic_band = path2d_method(
    "smoothed_path_elastic_band", smoothed_path_elastic_band_doc, Needs::Nothing,
    [](const Path2D& path, double max_deviation, ElasticBandMethod method) {
        return [plan = plan_elastic_band(path, max_deviation, method)]() mutable -> PyObject* {
            ElasticBandOutcome outcome =
                solve_elastic_band(plan, ClarabelSolver(kElasticBandSettings));
            return outcome.interrupted ? nullptr : to_python(std::move(outcome.path));
        };
    },
    arg<double>("max_deviation"), arg("elastic_band_type", ElasticBandMethod::OrthogonalBounds));

}  // namespace

const PyMethodDef path2d_smoothed_path_elastic_band =
    path2d_method_row<smoothed_path_elastic_band>();

}  // namespace korvane::python
