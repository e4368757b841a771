// src/python/path2d_type.cpp: the Path2D class: constructor, attributes, method table, repr
#include "python/path2d_type.hpp"

#include <new>
#include <string>

#include "python/numpy_arrays.hpp"
#include "python/ref.hpp"
#include "python/results.hpp"
#include "util/float_text.hpp"

namespace korvane::python {

namespace {

PyTypeObject* path2d_type = nullptr;

PyObject* wrap(PyTypeObject* type, Path2D&& path) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    Path2DObject* object = as_path2d(self);
    new (&object->path) Path2D(std::move(path));
    object->borrow = 0;
    return self;
}

constexpr const char* new_names[] = {"points", "x", "y"};
constexpr Parameters new_params{"Path2D.__new__()", new_names, 0};

PyObject* path2d_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return bound_call(
        new_params,
        [&](const Arguments& a) -> PyObject* {
            std::optional<std::vector<Point>> points;
            std::optional<std::vector<double>> x;
            std::optional<std::vector<double>> y;
            if (!a.get(0, points) || !a.get(1, x) || !a.get(2, y)) {
                return nullptr;
            }
            if (points && !x && !y) {
                return wrap(type, Path2D::from_points(std::move(*points)));
            }
            if (!points && x && y) {
                return wrap(type, Path2D::from_coordinates(std::move(*x), std::move(*y)));
            }
            PyErr_SetString(PyExc_TypeError, "Create path either from points or coordinates");
            return nullptr;
        },
        args, kwargs);
}

void path2d_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    as_path2d(self)->path.~Path2D();
    type->tp_free(self);
    Py_DECREF(type);
}

template <class F>
PyObject* shared_getter(PyObject* self, F&& body) noexcept {
    return guarded([&]() -> PyObject* {
        Path2DObject* object = as_path2d(self);
        SharedBorrow borrow(object->borrow);
        if (!borrow) {
            return nullptr;
        }
        return body(static_cast<const Path2D&>(object->path));
    });
}

// --- repr ---------------------------------------------------------------------------------

template <class Values>
void append_values(std::string& out, const Values& values) {
    out += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        append_float_text(out, values[i]);
    }
    out += ']';
}

template <class Points>
void append_points(std::string& out, const Points& points) {
    out += '[';
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        out += '[';
        const Point point = points[i];
        append_float_text(out, point.x);
        out += ", ";
        append_float_text(out, point.y);
        out += ']';
    }
    out += ']';
}

template <class T, class Append>
void append_cache(std::string& out, const std::optional<T>& cache, Append append) {
    if (!cache) {
        out += "OnceCell(<uninit>)";
        return;
    }
    out += "OnceCell(";
    append(out, *cache);
    out += ')';
}

PyObject* path2d_repr(PyObject* self) noexcept {
    return shared_getter(self, [](const Path2D& path) -> PyObject* {
        std::string out = "Path2D { path: Path2D { points: ";
        append_points(out, path.point_view());
        out += ", x: ";
        append_values(out, path.x_view());
        out += ", y: ";
        append_values(out, path.y_view());
        out += ", path_length_per_point: ";
        append_cache(out, path.path_length_per_point_cache(), append_values<std::vector<double>>);
        out += ", orientation: ";
        append_cache(out, path.orientation_cache(), append_values<std::vector<double>>);
        out += ", unit_tangent_vector: ";
        append_cache(out, path.unit_tangent_vector_cache(), append_points<std::vector<Point>>);
        out += ", curvature: ";
        append_cache(out, path.curvature_cache(), append_values<std::vector<double>>);
        out += ", associated_values: [";
        const auto& lists = path.associated_values();
        for (std::size_t i = 0; i < lists.size(); ++i) {
            if (i > 0) {
                out += ", ";
            }
            append_values(out, lists[i]);
        }
        out += "] } }";
        return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    });
}

// --- attributes ---------------------------------------------------------------------------

#define KORVANE_GETTER(expression)                                                                 \
    +[](PyObject* self, void*) -> PyObject* {                                                      \
        return shared_getter(self, [](const Path2D& path) -> PyObject* { return expression; });    \
    }

PyGetSetDef path2d_getset[] = {
    {"points", KORVANE_GETTER(to_python(path.point_view())), nullptr, "", nullptr},
    {"points_np", KORVANE_GETTER(vec2_to_pyarray2(path.point_view())), nullptr, "", nullptr},
    {"x", KORVANE_GETTER(to_python(path.x_view())), nullptr, "", nullptr},
    {"x_np", KORVANE_GETTER(to_array(path.x_view())), nullptr, "", nullptr},
    {"y", KORVANE_GETTER(to_python(path.y_view())), nullptr, "", nullptr},
    {"y_np", KORVANE_GETTER(to_array(path.y_view())), nullptr, "", nullptr},
    {"path_length_per_point", KORVANE_GETTER(to_python(path.path_length_per_point())), nullptr, "", nullptr},
    {"path_length_per_point_np", KORVANE_GETTER(to_array(path.path_length_per_point())), nullptr, "", nullptr},
    {"length", KORVANE_GETTER(to_python(path.length())), nullptr, "", nullptr},
    {"orientation", KORVANE_GETTER(to_python(path.orientation())), nullptr, "", nullptr},
    {"orientation_np", KORVANE_GETTER(to_array(path.orientation())), nullptr, "", nullptr},
    {"unit_tangent_vector", KORVANE_GETTER(to_python(path.unit_tangent_vector())), nullptr, "", nullptr},
    {"unit_tangent_vector_np", KORVANE_GETTER(vec2_to_pyarray2(path.unit_tangent_vector())), nullptr, "",
     nullptr},
    {"curvature", KORVANE_GETTER(to_python(path.curvature())), nullptr, "", nullptr},
    {"curvature_np", KORVANE_GETTER(to_array(path.curvature())), nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef KORVANE_GETTER

// --- methods ------------------------------------------------------------------------------

constexpr char index_from_point_doc[] =
    "index_from_point($self, point, epsilon=0.01)\n--\n\nindex_from_point(point, epsilon=0.01)\n"
    "\nReturns the index of the nearest point on the path in front of the given point.\nIf the "
    "point outside the path, None is returned\n\n:param point: Point of interest\n:param epsilon: "
    "The distance within two points are considered equal\n\n:type point: list[float]\n:type epsilon: "
    "float\n\n:returns: The index of the nearest point\n:rtype: Option[int]";

constexpr char path_length_from_point_doc[] =
    "path_length_from_point($self, point, epsilon=0.01)\n--\n\npath_length_from_point(point, epsilon=0.01)\n"
    "\nReturns the path length from the first point to the given point.\nIf the point outside the "
    "path, None is returned\n\n:param point: Point of interest\n:param epsilon: The distance within "
    "two points are considered equal\n\n:type point: list[float]\n:type epsilon: float\n\n:returns: "
    "The path length\n:rtype: Option[int]";

constexpr char sub_path_doc[] =
    "sub_path($self, start=None, end=None, epsilon=0.01)\n--\n\nsub_path(start=None, end=None, "
    "epsilon=0.01)\n\nReturns the sub path from start to end.\nIf start is None, the path begins "
    "at the beginning.\nThe same holds for end.\nThe new path is not necessarily equidistant.\n"
    "\n:param start: Beginning of the sub path\n:param end: End of the sub path\n:param epsilon: "
    "The distance within two points are considered equal\n\n:type start: list[float]\n:type end: "
    "list[float]\n:type epsilon: float\n\n:returns: The sub path\n:rtype: Path2D";

constexpr char resampled_path_doc[] =
    "resampled_path($self, resampling_method, resampling_type=..., epsilon=0.01)\n--\n\nresampled_path(resampling_method, "
    "resampling_type=InterpolationMethod.Linear, epsilon=0.01)\n\nResamples the path equidistantly "
    "using the given interpolation method.\n\n:param number_points: Number of points of the resampled "
    "path\n:param resampling_type: Method of interpolation\n:param epsilon: The distance within "
    "two points are considered equal\n\n:type number_points: int\n:type resampling_type: ResamplingType\n"
    ":type epsilon: float\n\n:returns: Resampled path\n:rtype: Path2D";

constexpr char find_circle_segments_doc[] =
    "find_circle_segments($self, start, end, max_rmse=0.15)\n--\n\nfind_circle_segments(start, "
    "end, max_rmse=0.15)\n\nDecomposes the path into its circle segments, such that the maximum\n"
    "RMSE (root mean squared error) is not exceeded.\n\n:param start: Index of point to start from\n"
    ":param end: Index of point to stop with\n:param max_rmse: Maximum RMSE\n\n:type start: int\n"
    ":type end: int\n:type max_rmse: float\n\n:returns: The list of arc segments\n:rtype: list[tuple[int, "
    "int, float]]";

constexpr char compute_circle_fit_curvature_doc[] =
    "compute_circle_fit_curvature($self, max_rmse=0.15)\n--\n\ncompute_circle_fit_curvature(max_rmse=0.15)\n"
    "\nComputes the curvature by decomposing the path into arc segments.\n\n:param max_rmse: The "
    "maximum RMSE (root mean squared error) that is not exceeded when\n                    fitting "
    "the arc segments\n\n:type max_rmse: float\n\n:returns: The curvature of the path\n:rtype: "
    "list[float]";

constexpr char detect_corrupted_point_order_doc[] =
    "detect_corrupted_point_order($self, sus_angle=2.8)\n--\n\ndetect_corrupted_point_order(sus_angle=2.8)\n"
    "\nReturns the list of all indices where the path turns sharper than sus_angle.\n\n:param sus_angle: "
    "Every turn sharper than this angle is suspicious.\n\n:type sus_angle: float\n\n:returns: Indices "
    "of suspicious points\n:rtype: list[int]";

constexpr char repair_corrupted_point_order_doc[] =
    "repair_corrupted_point_order($self, sus_angle=2.8)\n--\n\nrepair_corrupted_point_order(sus_angle=2.8)\n"
    "\nRepairs corrupted point order by removing points that progress in the wrong direction.\n"
    "\n:param sus_angle: Every turn sharper than this angle is suspicious.\n\n:type sus_angle: "
    "float\n\n:returns: Repaired path\n:rtype: Path2D";

constexpr char smoothed_path_chaikin_doc[] =
    "smoothed_path_chaikin($self, num_iterations)\n--\n\nsmoothed_path_chaikin(num_iterations)\n"
    "\nSmoothes the path using the Chaikin's path smoothing algorithm.\n\n:param num_iterations: "
    "Number of iterations used for Chaikin's path smoothing algorithm.\n\n:type num_iterations: "
    "int\n\n:returns: The smoothed path\n:rtype: Path2D";

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

constexpr char add_associated_values_doc[] =
    "add_associated_values($self, values)\n--\n\nadd_associated_values(values)\n\nAdds an associated "
    "value.\n\n:param values: The values that should be added as associated to the path\n\n:type values: "
    "list[float]\n\n:returns: The handle for accessing the associated values again\n:rtype: int";

constexpr char associated_values_doc[] =
    "associated_values($self, handle)\n--\n\nassociated_values(handle)\n\nReturns the respective "
    "associated values.\n\n:param handle: The handle of the associated values\n\n:type handle: "
    "int\n\n:returns: The associated values\n:rtype: list[float]";

constexpr char associated_value_np_doc[] =
    "associated_value_np($self, handle)\n--\n\nassociated_values_np(handle)\n\nReturns the respective "
    "associated values.\n\n:param handle: The handle of the associated values\n\n:type handle: "
    "int\n\n:returns: The associated values\n:rtype: numpy.ndarray";

PyCFunction fast(FastMethod method) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

constexpr int kFastFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef path2d_methods[] = {
    {"compute_circle_fit_curvature", fast(path2d_compute_circle_fit_curvature), kFastFlags,
     compute_circle_fit_curvature_doc},
    {"find_circle_segments", fast(path2d_find_circle_segments), kFastFlags, find_circle_segments_doc},
    {"resampled_path", fast(path2d_resampled_path), kFastFlags, resampled_path_doc},
    {"smoothed_path_elastic_band", fast(path2d_smoothed_path_elastic_band), kFastFlags,
     smoothed_path_elastic_band_doc},
    {"smoothed_path_chaikin", fast(path2d_smoothed_path_chaikin), kFastFlags, smoothed_path_chaikin_doc},
    {"index_from_point", fast(path2d_index_from_point), kFastFlags, index_from_point_doc},
    {"path_length_from_point", fast(path2d_path_length_from_point), kFastFlags, path_length_from_point_doc},
    {"sub_path", fast(path2d_sub_path), kFastFlags, sub_path_doc},
    {"detect_corrupted_point_order", fast(path2d_detect_corrupted_point_order), kFastFlags,
     detect_corrupted_point_order_doc},
    {"repair_corrupted_point_order", fast(path2d_repair_corrupted_point_order), kFastFlags,
     repair_corrupted_point_order_doc},
    {"add_associated_values", fast(path2d_add_associated_values), kFastFlags, add_associated_values_doc},
    {"associated_values", fast(path2d_associated_values), kFastFlags, associated_values_doc},
    {"associated_value_np", fast(path2d_associated_value_np), kFastFlags, associated_value_np_doc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char path2d_doc[] =
    "Path2D(points=None, x=None, y=None)\n--\n\nPath2D(points=None, x=None, y=None)\n\nClass storing a 2D "
    "path.\n\n:param points: List of points\n:param x: List of x coordinates\n:param y: List of y "
    "coordinates\n\n:type points: list[list[float]]\n:type x: list[float]\n:type y: list[float]";

PyType_Slot path2d_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(path2d_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(path2d_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(path2d_repr)},
    {Py_tp_getset, path2d_getset},
    {Py_tp_methods, path2d_methods},
    {Py_tp_doc, const_cast<char*>(path2d_doc)},
    {0, nullptr},
};

PyType_Spec path2d_spec = {
    .name = "builtins.Path2D",
    .basicsize = static_cast<int>(sizeof(Path2DObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = path2d_slots,
};

}  // namespace

PyObject* wrap_path(Path2D&& path) noexcept { return wrap(path2d_type, std::move(path)); }

PyObject* raise(const Error& error) noexcept {
    PyObject* type = PyExc_TypeError;
    switch (error.kind) {
        case ErrorKind::Type: type = PyExc_TypeError; break;
        case ErrorKind::Value: type = PyExc_ValueError; break;
        case ErrorKind::Index: type = PyExc_IndexError; break;
    }
    PyErr_SetString(type, error.message.c_str());
    return nullptr;
}

PyObject* create_path2d_type() noexcept {
    if (path2d_type == nullptr) {
        path2d_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&path2d_spec));
    }
    return reinterpret_cast<PyObject*>(path2d_type);
}

}  // namespace korvane::python
