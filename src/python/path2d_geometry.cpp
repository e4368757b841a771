// src/python/path2d_geometry.cpp: resampling, Chaikin smoothing, point queries, sub-paths, point order
#include "python/path2d_type.hpp"
#include "python/results.hpp"

namespace korvane::python {

namespace {

constexpr double kDefaultEpsilon = 0.01;
constexpr double kDefaultSusAngle = 2.8;

constexpr const char* point_names[] = {"point", "epsilon"};
constexpr Parameters index_from_point_params{"Path2D.index_from_point()", point_names, 1};
constexpr Parameters path_length_from_point_params{"Path2D.path_length_from_point()", point_names, 1};
constexpr const char* sub_path_names[] = {"start", "end", "epsilon"};
constexpr Parameters sub_path_params{"Path2D.sub_path()", sub_path_names, 0};
constexpr const char* resampled_path_names[] = {"resampling_method", "resampling_type", "epsilon"};
constexpr Parameters resampled_path_params{"Path2D.resampled_path()", resampled_path_names, 1};
constexpr const char* chaikin_names[] = {"num_iterations"};
constexpr Parameters smoothed_path_chaikin_params{"Path2D.smoothed_path_chaikin()", chaikin_names, 1};
constexpr const char* sus_angle_names[] = {"sus_angle"};
constexpr Parameters detect_params{"Path2D.detect_corrupted_point_order()", sus_angle_names, 0};
constexpr Parameters repair_params{"Path2D.repair_corrupted_point_order()", sus_angle_names, 0};

}  // namespace

PyObject* path2d_index_from_point(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return shared_method(self, index_from_point_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             Point point{};
                             double epsilon = kDefaultEpsilon;
                             if (!a.get(0, point) || !a.get(1, epsilon)) {
                                 return nullptr;
                             }
                             return to_python(path.index_from_point(point, epsilon));
                         });
}

PyObject* path2d_path_length_from_point(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    return shared_method(self, path_length_from_point_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             Point point{};
                             double epsilon = kDefaultEpsilon;
                             if (!a.get(0, point) || !a.get(1, epsilon)) {
                                 return nullptr;
                             }
                             return to_python(path.path_length_from_point(point, epsilon));
                         });
}

PyObject* path2d_sub_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return shared_method(self, sub_path_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             std::optional<Point> start;
                             std::optional<Point> end;
                             double epsilon = kDefaultEpsilon;
                             if (!a.get(0, start) || !a.get(1, end) || !a.get(2, epsilon)) {
                                 return nullptr;
                             }
                             return to_python(path.sub_path(start, end, epsilon));
                         });
}

PyObject* path2d_resampled_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return shared_method(self, resampled_path_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             ResamplingMethod method = ByNumberPoints{0};
                             InterpolationMethod interpolation = InterpolationMethod::Linear;
                             double epsilon = kDefaultEpsilon;
                             if (!a.get(0, method) || !a.get(1, interpolation) || !a.get(2, epsilon)) {
                                 return nullptr;
                             }
                             return to_python(path.resampled_path(method, interpolation, epsilon));
                         });
}

PyObject* path2d_smoothed_path_chaikin(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return shared_method(self, smoothed_path_chaikin_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             std::uint64_t num_iterations = 0;
                             if (!a.get(0, num_iterations)) {
                                 return nullptr;
                             }
                             const Result<std::size_t> count = path.chaikin_point_count(num_iterations);
                             if (!count.ok()) {
                                 return raise(count.error());
                             }
                             return to_python(path.smoothed_path_chaikin(num_iterations));
                         });
}

PyObject* path2d_detect_corrupted_point_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
    return shared_method(self, detect_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             double sus_angle = kDefaultSusAngle;
                             if (!a.get(0, sus_angle)) {
                                 return nullptr;
                             }
                             return to_python(path.detect_corrupted_point_order(sus_angle));
                         });
}

PyObject* path2d_repair_corrupted_point_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
    return shared_method(self, repair_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             double sus_angle = kDefaultSusAngle;
                             if (!a.get(0, sus_angle)) {
                                 return nullptr;
                             }
                             return to_python(path.repair_corrupted_point_order(sus_angle));
                         });
}

}  // namespace korvane::python
