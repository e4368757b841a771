// src/python/surface_texts.hpp: the texts the published interface fixes
#pragma once

// Every text here is exact on purpose, slips included: callers and their tests match these
// docstrings and messages as they are, so none is to be corrected or reworded.
// Messages the core returns (an associated value list of the wrong length, out-of-range
// indices) stay beside the core code that finds the fault, which includes no binding header.

namespace korvane::python::texts {

// --- docstrings ---------------------------------------------------------------------------

inline constexpr char path2d_doc[] =
    "Path2D(points=None, x=None, y=None)\n--\n\nPath2D(points=None, x=None, y=None)\n\nClass storing a 2D "
    "path.\n\n:param points: List of points\n:param x: List of x coordinates\n:param y: List of y "
    "coordinates\n\n:type points: list[list[float]]\n:type x: list[float]\n:type y: list[float]";

inline constexpr char by_number_points_doc[] =
    "by_number_points(number_points)\n--\n\nby_number_points(number_points)\n\nThe path will be "
    "equidistantly resampled using the given number of points.\n\n:param number_points: Number of "
    "points\n\n:type number_points: int\n\n:returns: The resampling method\n:rtype: ResamplingMethod";

inline constexpr char by_sampling_distance_doc[] =
    "by_sampling_distance(sampling_distance, drop_last=True)\n--\n\nby_sampling_distance(sampling_distance, "
    "drop_last=True)\n\nThe path will be resampled using the given sampling_distance.\nThe distance "
    "between the last and second last point will differ from sampling distance.\nSetting drop_last=True "
    "will omit the last point.\n\n:param sampling_distance: Sampling distance\n:param drop_last: Omits "
    "the last point when true.\n\n:type sampling_distance: float\n:type drop_last: bool\n\n:returns: The "
    "resampling method\n:rtype: ResamplingMethod";

inline constexpr char compute_circle_fit_curvature_doc[] =
    "compute_circle_fit_curvature($self, max_rmse=0.15)\n--\n\ncompute_circle_fit_curvature(max_rmse=0.15)\n"
    "\nComputes the curvature by decomposing the path into arc segments.\n\n:param max_rmse: The "
    "maximum RMSE (root mean squared error) that is not exceeded when\n                    fitting "
    "the arc segments\n\n:type max_rmse: float\n\n:returns: The curvature of the path\n:rtype: "
    "list[float]";

inline constexpr char find_circle_segments_doc[] =
    "find_circle_segments($self, start, end, max_rmse=0.15)\n--\n\nfind_circle_segments(start, "
    "end, max_rmse=0.15)\n\nDecomposes the path into its circle segments, such that the maximum\n"
    "RMSE (root mean squared error) is not exceeded.\n\n:param start: Index of point to start from\n"
    ":param end: Index of point to stop with\n:param max_rmse: Maximum RMSE\n\n:type start: int\n"
    ":type end: int\n:type max_rmse: float\n\n:returns: The list of arc segments\n:rtype: list[tuple[int, "
    "int, float]]";

inline constexpr char resampled_path_doc[] =
    "resampled_path($self, resampling_method, resampling_type=..., epsilon=0.01)\n--\n\nresampled_path(resampling_method, "
    "resampling_type=InterpolationMethod.Linear, epsilon=0.01)\n\nResamples the path equidistantly "
    "using the given interpolation method.\n\n:param number_points: Number of points of the resampled "
    "path\n:param resampling_type: Method of interpolation\n:param epsilon: The distance within "
    "two points are considered equal\n\n:type number_points: int\n:type resampling_type: ResamplingType\n"
    ":type epsilon: float\n\n:returns: Resampled path\n:rtype: Path2D";

inline constexpr char smoothed_path_elastic_band_doc[] =
    "smoothed_path_elastic_band($self, max_deviation, elastic_band_type=...)\n--\n\n"
    "smoothed_path_elastic_band(max_deviation, elastic_band_type=ElasticBandMethod.OrthogonalBounds)\n\n"
    "Smoothes the path using an algorithm from Autoware [1]. A QP has to be solved for that.\n"
    "CLARABEL [2] is used as the solver.\n\n"
    "[1] https://autowarefoundation.github.io/autoware.universe/main/planning/autoware_path_smoother/docs/eb/\n"
    "[2] https://clarabel.org/stable/\n"
    "\n:param max_deviation: Maximum deviation from the original path\n:param elastic_band_type: Type of "
    "constraining the deviation to the original path\n\n:type max_deviation: float\n:type elastic_band_type: "
    "ElasticBandType\n\n:returns: The smoothed path\n:rtype: Path2D";

inline constexpr char smoothed_path_chaikin_doc[] =
    "smoothed_path_chaikin($self, num_iterations)\n--\n\nsmoothed_path_chaikin(num_iterations)\n"
    "\nSmoothes the path using the Chaikin's path smoothing algorithm.\n\n:param num_iterations: "
    "Number of iterations used for Chaikin's path smoothing algorithm.\n\n:type num_iterations: "
    "int\n\n:returns: The smoothed path\n:rtype: Path2D";

inline constexpr char index_from_point_doc[] =
    "index_from_point($self, point, epsilon=0.01)\n--\n\nindex_from_point(point, epsilon=0.01)\n"
    "\nReturns the index of the nearest point on the path in front of the given point.\nIf the "
    "point outside the path, None is returned\n\n:param point: Point of interest\n:param epsilon: "
    "The distance within two points are considered equal\n\n:type point: list[float]\n:type epsilon: "
    "float\n\n:returns: The index of the nearest point\n:rtype: Option[int]";

inline constexpr char path_length_from_point_doc[] =
    "path_length_from_point($self, point, epsilon=0.01)\n--\n\npath_length_from_point(point, epsilon=0.01)\n"
    "\nReturns the path length from the first point to the given point.\nIf the point outside the "
    "path, None is returned\n\n:param point: Point of interest\n:param epsilon: The distance within "
    "two points are considered equal\n\n:type point: list[float]\n:type epsilon: float\n\n:returns: "
    "The path length\n:rtype: Option[int]";

inline constexpr char sub_path_doc[] =
    "sub_path($self, start=None, end=None, epsilon=0.01)\n--\n\nsub_path(start=None, end=None, "
    "epsilon=0.01)\n\nReturns the sub path from start to end.\nIf start is None, the path begins "
    "at the beginning.\nThe same holds for end.\nThe new path is not necessarily equidistant.\n"
    "\n:param start: Beginning of the sub path\n:param end: End of the sub path\n:param epsilon: "
    "The distance within two points are considered equal\n\n:type start: list[float]\n:type end: "
    "list[float]\n:type epsilon: float\n\n:returns: The sub path\n:rtype: Path2D";

inline constexpr char detect_corrupted_point_order_doc[] =
    "detect_corrupted_point_order($self, sus_angle=2.8)\n--\n\ndetect_corrupted_point_order(sus_angle=2.8)\n"
    "\nReturns the list of all indices where the path turns sharper than sus_angle.\n\n:param sus_angle: "
    "Every turn sharper than this angle is suspicious.\n\n:type sus_angle: float\n\n:returns: Indices "
    "of suspicious points\n:rtype: list[int]";

inline constexpr char repair_corrupted_point_order_doc[] =
    "repair_corrupted_point_order($self, sus_angle=2.8)\n--\n\nrepair_corrupted_point_order(sus_angle=2.8)\n"
    "\nRepairs corrupted point order by removing points that progress in the wrong direction.\n"
    "\n:param sus_angle: Every turn sharper than this angle is suspicious.\n\n:type sus_angle: "
    "float\n\n:returns: Repaired path\n:rtype: Path2D";

inline constexpr char add_associated_values_doc[] =
    "add_associated_values($self, values)\n--\n\nadd_associated_values(values)\n\nAdds an associated "
    "value.\n\n:param values: The values that should be added as associated to the path\n\n:type values: "
    "list[float]\n\n:returns: The handle for accessing the associated values again\n:rtype: int";

inline constexpr char associated_values_doc[] =
    "associated_values($self, handle)\n--\n\nassociated_values(handle)\n\nReturns the respective "
    "associated values.\n\n:param handle: The handle of the associated values\n\n:type handle: "
    "int\n\n:returns: The associated values\n:rtype: list[float]";

inline constexpr char associated_value_np_doc[] =
    "associated_value_np($self, handle)\n--\n\nassociated_values_np(handle)\n\nReturns the respective "
    "associated values.\n\n:param handle: The handle of the associated values\n\n:type handle: "
    "int\n\n:returns: The associated values\n:rtype: numpy.ndarray";

inline constexpr char by_number_points_class_doc[] =
    "ResamplingMethod_ByNumberPoints(number_points)\n--\n\n";
inline constexpr char by_sampling_distance_class_doc[] =
    "ResamplingMethod_BySamplingDistance(sampling_distance, drop_last)\n--\n\n";

// --- messages -----------------------------------------------------------------------------

inline constexpr char create_path_message[] = "Create path either from points or coordinates";
inline constexpr char str_as_list_message[] = "Can't extract `str` to `Vec`";
inline constexpr char no_constructor_format[] = "No constructor defined for %S";
inline constexpr char already_borrowed_message[] = "Already borrowed";
inline constexpr char already_mutably_borrowed_message[] = "Already mutably borrowed";
inline constexpr char subinterpreters_message[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html";

inline constexpr char no_error_fetched_message[] = "attempted to fetch exception but none was set";
inline constexpr char module_doc[] = "Useful tools for working with paths";
/// Followed by what went wrong.
inline constexpr char numpy_capsule_message[] = "Failed to access NumPy array API capsule: ";
/// Named in a conversion message when a type's name cannot be read.
inline constexpr char unknown_type_name[] = "<failed to extract type name>";

// --- messages and reprs filled in from code, as formats for PyUnicode_FromFormat ---------------

/// The function, "<count>" or "from <required> to <count>", the count given, "was" or "were".
inline constexpr char too_many_positional_format[] =
    "%s takes %s positional arguments but %zd %s given";
inline constexpr char multiple_values_format[] = "%s got multiple values for argument '%s'";
inline constexpr char unexpected_keyword_format[] = "%s got an unexpected keyword argument '%U'";
/// The function, how many, "argument" or "arguments", and the names quoted: 'a', 'a' and 'b',
/// or 'a', 'b', and 'c'.
inline constexpr char missing_arguments_format[] = "%s missing %zu required positional %s: %s";
inline constexpr char no_bool_conversion_format[] =
    "object of type '%s' does not define a '__bool__' conversion";
inline constexpr char sequence_length_format[] = "expected a sequence of length 2 (got %zd)";
/// The object's type's qualified name, and the target's.
inline constexpr char cannot_convert_format[] = "'%s' object cannot be converted to '%s'";
/// The class and the member.
inline constexpr char enum_repr_format[] = "%s.%s";

// --- Path2D's repr: these pieces in order, each followed by its value's list -----------------

inline constexpr char repr_points[] = "Path2D { path: Path2D { points: ";
inline constexpr char repr_x[] = ", x: ";
inline constexpr char repr_y[] = ", y: ";
inline constexpr char repr_path_length_per_point[] = ", path_length_per_point: ";
inline constexpr char repr_orientation[] = ", orientation: ";
inline constexpr char repr_unit_tangent_vector[] = ", unit_tangent_vector: ";
inline constexpr char repr_curvature[] = ", curvature: ";
inline constexpr char repr_associated_values[] = ", associated_values: ";
inline constexpr char repr_end[] = " } }";
/// A cache not yet filled; a filled one is its list inside "OnceCell(" and ")".
inline constexpr char repr_unfilled_cache[] = "OnceCell(<uninit>)";
inline constexpr char repr_filled_cache[] = "OnceCell(";

}  // namespace korvane::python::texts
