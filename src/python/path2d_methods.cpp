// src/python/path2d_methods.cpp: every Path2D method's declaration, in member order, then the
// method table; a new method is one declaration and its row here (and its stub)
#include <optional>

#include "path2d/chaikin.hpp"
#include "path2d/circle_fit.hpp"
#include "path2d/elastic_band.hpp"
#include "path2d/point_order.hpp"
#include "path2d/point_queries.hpp"
#include "path2d/resampling.hpp"
#include "path2d/sub_path.hpp"
#include "python/clarabel_solver.hpp"
#include "python/numpy_arrays.hpp"
#include "python/path2d_type.hpp"
#include "python/results.hpp"

namespace korvane::python {

namespace {

constexpr double kDefaultEpsilon = 0.01;
constexpr double kDefaultSusAngle = 2.8;

/// A query of one point with the tolerance of the end-point tests.
template <class Query>
auto point_query(const char* name, const char* doc, Query query) {
    return path2d_method(
        name, doc, Needs::Nothing,
        [query](const Path2D& path, Point point, double epsilon) {
            return to_python(query(path, point, epsilon));
        },
        arg<Point>("point"), arg("epsilon", kDefaultEpsilon));
}

/// An operation on the turns of at least `sus_angle`.
template <class Operation>
auto point_order_method(const char* name, const char* doc, Operation operation) {
    return path2d_method(
        name, doc, Needs::Nothing,
        [operation](const Path2D& path, double sus_angle) {
            return to_python(operation(path, sus_angle));
        },
        arg("sus_angle", kDefaultSusAngle));
}

constexpr double kDefaultMaxRmse = 0.15;
// Runs shorter than this need no fit, so they need no LAPACK either.
constexpr std::uint64_t kFitMinimumPoints = 3;

/// Runs `fit(path, dgesvd)` while the path is borrowed when it needs no LAPACK or LAPACK has
/// been found already. Otherwise LAPACK is looked up (Python code) once the borrow has ended,
/// and the fit runs on a copy of the path: once per process where SciPy is installed, on
/// every fit that needs it where it is not (each then fails with ImportError).
template <class Fit>
auto fit_with_lapack(const Path2D& path, bool needs_lapack, Fit fit) {
    using Fitted = decltype(fit(path, DgesvdFn{}));
    std::optional<Fitted> fitted;
    std::optional<Path2D> copy;
    const DgesvdFn dgesvd = loaded_lapack_dgesvd();
    if (!needs_lapack || dgesvd != nullptr) {
        fitted.emplace(fit(path, dgesvd));
    } else {
        copy.emplace(path);
    }
    return [fitted = std::move(fitted), copy = std::move(copy), fit]() mutable -> PyObject* {
        if (copy) {
            const DgesvdFn found = lapack_dgesvd();
            if (found == nullptr) {
                return nullptr;
            }
            fitted.emplace(fit(*copy, found));
        }
        return to_python(std::move(*fitted));
    };
}

/// Reads the list of the `handle` argument into Python as `convert` makes it; None for a
/// handle that has no list.
auto values_reader(const char* name, const char* doc, Needs needs,
                   PyObject* (*convert)(std::span<const double>)) {
    return path2d_method(
        name, doc, needs,
        [convert](const Path2D& path, std::uint64_t handle) -> PyObject* {
            const std::vector<double>* values = path.associated_values(handle);
            if (values == nullptr) {
                Py_RETURN_NONE;
            }
            return convert(*values);
        },
        arg<std::uint64_t>("handle"));
}

constexpr char compute_circle_fit_curvature_doc[] =
    "compute_circle_fit_curvature($self, max_rmse=0.15)\n--\n\ncompute_circle_fit_curvature(max_rmse=0.15)\n"
    "\nComputes the curvature by decomposing the path into arc segments.\n\n:param max_rmse: The "
    "maximum RMSE (root mean squared error) that is not exceeded when\n                    fitting "
    "the arc segments\n\n:type max_rmse: float\n\n:returns: The curvature of the path\n:rtype: "
    "list[float]";

const auto compute_circle_fit_curvature = path2d_method(
    "compute_circle_fit_curvature", compute_circle_fit_curvature_doc, Needs::Nothing,
    [](const Path2D& path, double max_rmse) {
        return fit_with_lapack(
            path, path.size() >= kFitMinimumPoints, [=](const Path2D& p, DgesvdFn dgesvd) {
                return korvane::compute_circle_fit_curvature(p, max_rmse, dgesvd);
            });
    },
    arg("max_rmse", kDefaultMaxRmse));

constexpr char find_circle_segments_doc[] =
    "find_circle_segments($self, start, end, max_rmse=0.15)\n--\n\nfind_circle_segments(start, "
    "end, max_rmse=0.15)\n\nDecomposes the path into its circle segments, such that the maximum\n"
    "RMSE (root mean squared error) is not exceeded.\n\n:param start: Index of point to start from\n"
    ":param end: Index of point to stop with\n:param max_rmse: Maximum RMSE\n\n:type start: int\n"
    ":type end: int\n:type max_rmse: float\n\n:returns: The list of arc segments\n:rtype: list[tuple[int, "
    "int, float]]";

const auto find_circle_segments = path2d_method(
    "find_circle_segments", find_circle_segments_doc, Needs::Nothing,
    [](const Path2D& path, std::uint64_t start, std::uint64_t end, double max_rmse) {
        const bool needs_lapack =
            end >= start && end - start >= kFitMinimumPoints && end <= path.size();
        return fit_with_lapack(path, needs_lapack, [=](const Path2D& p, DgesvdFn dgesvd) {
            return korvane::find_circle_segments(p, start, end, max_rmse, dgesvd);
        });
    },
    arg<std::uint64_t>("start"), arg<std::uint64_t>("end"), arg("max_rmse", kDefaultMaxRmse));

constexpr char resampled_path_doc[] =
    "resampled_path($self, resampling_method, resampling_type=..., epsilon=0.01)\n--\n\nresampled_path(resampling_method, "
    "resampling_type=InterpolationMethod.Linear, epsilon=0.01)\n\nResamples the path equidistantly "
    "using the given interpolation method.\n\n:param number_points: Number of points of the resampled "
    "path\n:param resampling_type: Method of interpolation\n:param epsilon: The distance within "
    "two points are considered equal\n\n:type number_points: int\n:type resampling_type: ResamplingType\n"
    ":type epsilon: float\n\n:returns: Resampled path\n:rtype: Path2D";

const auto resampled_path = path2d_method(
    "resampled_path", resampled_path_doc, Needs::Nothing,
    [](const Path2D& path, ResamplingMethod method, InterpolationMethod interpolation,
       double epsilon) {
        return to_python(korvane::resampled_path(path, method, interpolation, epsilon));
    },
    arg<ResamplingMethod>("resampling_method"), arg("resampling_type", InterpolationMethod::Linear),
    arg("epsilon", kDefaultEpsilon));

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

constexpr char smoothed_path_chaikin_doc[] =
    "smoothed_path_chaikin($self, num_iterations)\n--\n\nsmoothed_path_chaikin(num_iterations)\n"
    "\nSmoothes the path using the Chaikin's path smoothing algorithm.\n\n:param num_iterations: "
    "Number of iterations used for Chaikin's path smoothing algorithm.\n\n:type num_iterations: "
    "int\n\n:returns: The smoothed path\n:rtype: Path2D";

const auto smoothed_path_chaikin = path2d_method(
    "smoothed_path_chaikin", smoothed_path_chaikin_doc, Needs::Nothing,
    [](const Path2D& path, std::uint64_t num_iterations) {
        const Result<std::size_t> count = chaikin_point_count(path, num_iterations);
        return count.ok() ? to_python(korvane::smoothed_path_chaikin(path, num_iterations))
                          : raise(count.error());
    },
    arg<std::uint64_t>("num_iterations"));

constexpr char index_from_point_doc[] =
    "index_from_point($self, point, epsilon=0.01)\n--\n\nindex_from_point(point, epsilon=0.01)\n"
    "\nReturns the index of the nearest point on the path in front of the given point.\nIf the "
    "point outside the path, None is returned\n\n:param point: Point of interest\n:param epsilon: "
    "The distance within two points are considered equal\n\n:type point: list[float]\n:type epsilon: "
    "float\n\n:returns: The index of the nearest point\n:rtype: Option[int]";

const auto index_from_point =
    point_query("index_from_point", index_from_point_doc, korvane::index_from_point);

constexpr char path_length_from_point_doc[] =
    "path_length_from_point($self, point, epsilon=0.01)\n--\n\npath_length_from_point(point, epsilon=0.01)\n"
    "\nReturns the path length from the first point to the given point.\nIf the point outside the "
    "path, None is returned\n\n:param point: Point of interest\n:param epsilon: The distance within "
    "two points are considered equal\n\n:type point: list[float]\n:type epsilon: float\n\n:returns: "
    "The path length\n:rtype: Option[int]";

const auto path_length_from_point = point_query(
    "path_length_from_point", path_length_from_point_doc, korvane::path_length_from_point);

constexpr char sub_path_doc[] =
    "sub_path($self, start=None, end=None, epsilon=0.01)\n--\n\nsub_path(start=None, end=None, "
    "epsilon=0.01)\n\nReturns the sub path from start to end.\nIf start is None, the path begins "
    "at the beginning.\nThe same holds for end.\nThe new path is not necessarily equidistant.\n"
    "\n:param start: Beginning of the sub path\n:param end: End of the sub path\n:param epsilon: "
    "The distance within two points are considered equal\n\n:type start: list[float]\n:type end: "
    "list[float]\n:type epsilon: float\n\n:returns: The sub path\n:rtype: Path2D";

const auto sub_path = path2d_method(
    "sub_path", sub_path_doc, Needs::Nothing,
    [](const Path2D& path, std::optional<Point> start, std::optional<Point> end, double epsilon) {
        return to_python(korvane::sub_path(path, start, end, epsilon));
    },
    arg<std::optional<Point>>("start", std::nullopt),
    arg<std::optional<Point>>("end", std::nullopt), arg("epsilon", kDefaultEpsilon));

constexpr char detect_corrupted_point_order_doc[] =
    "detect_corrupted_point_order($self, sus_angle=2.8)\n--\n\ndetect_corrupted_point_order(sus_angle=2.8)\n"
    "\nReturns the list of all indices where the path turns sharper than sus_angle.\n\n:param sus_angle: "
    "Every turn sharper than this angle is suspicious.\n\n:type sus_angle: float\n\n:returns: Indices "
    "of suspicious points\n:rtype: list[int]";

const auto detect_corrupted_point_order =
    point_order_method("detect_corrupted_point_order", detect_corrupted_point_order_doc,
                       korvane::detect_corrupted_point_order);

constexpr char repair_corrupted_point_order_doc[] =
    "repair_corrupted_point_order($self, sus_angle=2.8)\n--\n\nrepair_corrupted_point_order(sus_angle=2.8)\n"
    "\nRepairs corrupted point order by removing points that progress in the wrong direction.\n"
    "\n:param sus_angle: Every turn sharper than this angle is suspicious.\n\n:type sus_angle: "
    "float\n\n:returns: Repaired path\n:rtype: Path2D";

const auto repair_corrupted_point_order =
    point_order_method("repair_corrupted_point_order", repair_corrupted_point_order_doc,
                       korvane::repair_corrupted_point_order);

constexpr char add_associated_values_doc[] =
    "add_associated_values($self, values)\n--\n\nadd_associated_values(values)\n\nAdds an associated "
    "value.\n\n:param values: The values that should be added as associated to the path\n\n:type values: "
    "list[float]\n\n:returns: The handle for accessing the associated values again\n:rtype: int";

const auto add_associated_values = path2d_method(
    "add_associated_values", add_associated_values_doc, Needs::Nothing,
    [](Path2D& path, std::vector<double> values) {
        return to_python(path.add_associated_values(std::move(values)));
    },
    arg<std::vector<double>>("values"));

constexpr char associated_values_doc[] =
    "associated_values($self, handle)\n--\n\nassociated_values(handle)\n\nReturns the respective "
    "associated values.\n\n:param handle: The handle of the associated values\n\n:type handle: "
    "int\n\n:returns: The associated values\n:rtype: list[float]";

const auto associated_values =
    values_reader("associated_values", associated_values_doc, Needs::Nothing, to_python<double>);

constexpr char associated_value_np_doc[] =
    "associated_value_np($self, handle)\n--\n\nassociated_values_np(handle)\n\nReturns the respective "
    "associated values.\n\n:param handle: The handle of the associated values\n\n:type handle: "
    "int\n\n:returns: The associated values\n:rtype: numpy.ndarray";

const auto associated_value_np =
    values_reader("associated_value_np", associated_value_np_doc, Needs::NumPy, to_array);

}  // namespace

PyMethodDef path2d_methods[] = {
    path2d_method_row<compute_circle_fit_curvature>(),
    path2d_method_row<find_circle_segments>(),
    path2d_method_row<resampled_path>(),
    path2d_method_row<smoothed_path_elastic_band>(),
    path2d_method_row<smoothed_path_chaikin>(),
    path2d_method_row<index_from_point>(),
    path2d_method_row<path_length_from_point>(),
    path2d_method_row<sub_path>(),
    path2d_method_row<detect_corrupted_point_order>(),
    path2d_method_row<repair_corrupted_point_order>(),
    path2d_method_row<add_associated_values>(),
    path2d_method_row<associated_values>(),
    path2d_method_row<associated_value_np>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvane::python
