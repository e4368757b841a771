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
#include "python/surface_texts.hpp"

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

const auto compute_circle_fit_curvature = path2d_method(
    "compute_circle_fit_curvature", texts::compute_circle_fit_curvature_doc, Needs::Nothing,
    [](const Path2D& path, double max_rmse) {
        return fit_with_lapack(
            path, path.size() >= kFitMinimumPoints, [=](const Path2D& p, DgesvdFn dgesvd) {
                return korvane::compute_circle_fit_curvature(p, max_rmse, dgesvd);
            });
    },
    arg("max_rmse", kDefaultMaxRmse));

const auto find_circle_segments = path2d_method(
    "find_circle_segments", texts::find_circle_segments_doc, Needs::Nothing,
    [](const Path2D& path, std::uint64_t start, std::uint64_t end, double max_rmse) {
        const bool needs_lapack =
            end >= start && end - start >= kFitMinimumPoints && end <= path.size();
        return fit_with_lapack(path, needs_lapack, [=](const Path2D& p, DgesvdFn dgesvd) {
            return korvane::find_circle_segments(p, start, end, max_rmse, dgesvd);
        });
    },
    arg<std::uint64_t>("start"), arg<std::uint64_t>("end"), arg("max_rmse", kDefaultMaxRmse));

const auto resampled_path = path2d_method(
    "resampled_path", texts::resampled_path_doc, Needs::Nothing,
    [](const Path2D& path, ResamplingMethod method, InterpolationMethod interpolation,
       double epsilon) {
        return to_python(korvane::resampled_path(path, method, interpolation, epsilon));
    },
    arg<ResamplingMethod>("resampling_method"), arg("resampling_type", InterpolationMethod::Linear),
    arg("epsilon", kDefaultEpsilon));

/// The problem is stated while the path is borrowed; the solver (Python packages, and a solve
/// that lets other threads run) only sees it after the borrow has ended.
const auto smoothed_path_elastic_band = path2d_method(
    "smoothed_path_elastic_band", texts::smoothed_path_elastic_band_doc, Needs::Nothing,
    [](const Path2D& path, double max_deviation, ElasticBandMethod method) {
        return [plan = plan_elastic_band(path, max_deviation, method)]() mutable -> PyObject* {
            ElasticBandOutcome outcome =
                solve_elastic_band(plan, ClarabelSolver(kElasticBandSettings));
            return outcome.interrupted ? nullptr : to_python(std::move(outcome.path));
        };
    },
    arg<double>("max_deviation"), arg("elastic_band_type", ElasticBandMethod::OrthogonalBounds));

const auto smoothed_path_chaikin = path2d_method(
    "smoothed_path_chaikin", texts::smoothed_path_chaikin_doc, Needs::Nothing,
    [](const Path2D& path, std::uint64_t num_iterations) {
        const Result<std::size_t> count = chaikin_point_count(path, num_iterations);
        return count.ok() ? to_python(korvane::smoothed_path_chaikin(path, num_iterations))
                          : raise(count.error());
    },
    arg<std::uint64_t>("num_iterations"));

const auto index_from_point =
    point_query("index_from_point", texts::index_from_point_doc, korvane::index_from_point);

const auto path_length_from_point = point_query(
    "path_length_from_point", texts::path_length_from_point_doc, korvane::path_length_from_point);

const auto sub_path = path2d_method(
    "sub_path", texts::sub_path_doc, Needs::Nothing,
    [](const Path2D& path, std::optional<Point> start, std::optional<Point> end, double epsilon) {
        return to_python(korvane::sub_path(path, start, end, epsilon));
    },
    arg<std::optional<Point>>("start", std::nullopt),
    arg<std::optional<Point>>("end", std::nullopt), arg("epsilon", kDefaultEpsilon));

const auto detect_corrupted_point_order =
    point_order_method("detect_corrupted_point_order", texts::detect_corrupted_point_order_doc,
                       korvane::detect_corrupted_point_order);

const auto repair_corrupted_point_order =
    point_order_method("repair_corrupted_point_order", texts::repair_corrupted_point_order_doc,
                       korvane::repair_corrupted_point_order);

const auto add_associated_values = path2d_method(
    "add_associated_values", texts::add_associated_values_doc, Needs::Nothing,
    [](Path2D& path, std::vector<double> values) {
        return to_python(path.add_associated_values(std::move(values)));
    },
    arg<std::vector<double>>("values"));

const auto associated_values = values_reader("associated_values", texts::associated_values_doc,
                                             Needs::Nothing, to_python<double>);

const auto associated_value_np =
    values_reader("associated_value_np", texts::associated_value_np_doc, Needs::NumPy, to_array);

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
