// src/python/path2d_geometry.cpp: resampling, Chaikin smoothing, point queries, sub-paths, point order
#include "path2d/chaikin.hpp"
#include "path2d/point_order.hpp"
#include "path2d/point_queries.hpp"
#include "path2d/resampling.hpp"
#include "path2d/sub_path.hpp"
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

}  // namespace

const PyMethodDef path2d_index_from_point = path2d_method_row<index_from_point>();
const PyMethodDef path2d_path_length_from_point = path2d_method_row<path_length_from_point>();
const PyMethodDef path2d_sub_path = path2d_method_row<sub_path>();
const PyMethodDef path2d_resampled_path = path2d_method_row<resampled_path>();
const PyMethodDef path2d_smoothed_path_chaikin = path2d_method_row<smoothed_path_chaikin>();
const PyMethodDef path2d_detect_corrupted_point_order =
    path2d_method_row<detect_corrupted_point_order>();
const PyMethodDef path2d_repair_corrupted_point_order =
    path2d_method_row<repair_corrupted_point_order>();

}  // namespace korvane::python
