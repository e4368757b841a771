// src/python/path2d_type.cpp: the Path2D class: constructor, attributes, method table, repr
#include "python/path2d_type.hpp"

#include <array>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "python/numpy_arrays.hpp"
#include "python/ref.hpp"
#include "python/results.hpp"
#include "python/type_slots.hpp"
#include "python/surface_texts.hpp"
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
    object->made_as = type;
    return self;
}

PyObject* new_path(PyTypeObject* type, std::optional<std::vector<Point>> points,
                   std::optional<std::vector<double>> x, std::optional<std::vector<double>> y) {
    if (points && !x && !y) {
        return wrap(type, Path2D::from_points(std::move(*points)));
    }
    if (!points && x && y) {
        return wrap(type, Path2D::from_coordinates(std::move(*x), std::move(*y)));
    }
    PyErr_SetString(PyExc_TypeError, texts::create_path_message);
    return nullptr;
}

const auto path2d_new_declaration =
    declare("Path2D", "__new__", nullptr, Needs::Nothing, new_path,
            arg<std::optional<std::vector<Point>>>("points", std::nullopt),
            arg<std::optional<std::vector<double>>>("x", std::nullopt),
            arg<std::optional<std::vector<double>>>("y", std::nullopt));

void path2d_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (as_path2d(self)->made_as != nullptr) {
        as_path2d(self)->path.~Path2D();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

/// Runs a getter (or the repr) under a shared borrow; an array getter looks NumPy up first.
template <class F>
PyObject* shared_getter(PyObject* self, Needs needs, F&& body) noexcept {
    return guarded([&]() -> PyObject* {
        if (needs == Needs::NumPy && numpy_api() == nullptr) {
            return nullptr;
        }
        Path2DObject* object = as_path2d(self);
        if (!constructed(self, object->made_as)) {
            return nullptr;
        }
        SharedBorrow borrow(object->borrow);
        if (!borrow) {
            return nullptr;
        }
        const CollectorPause pause;
        return body(static_cast<const Path2D&>(object->path));
    });
}

// --- repr ---------------------------------------------------------------------------------

/// "[" + the items of `list`, each written by `item`, joined by ", " + "]".
template <class List, class Item>
void append_list(std::string& out, const List& list, Item item) {
    out += '[';
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        item(out, list[i]);
    }
    out += ']';
}

template <class Values>
void append_values(std::string& out, const Values& values) {
    append_list(out, values,
                [](std::string& text, double value) { append_float_text(text, value); });
}

template <class Points>
void append_points(std::string& out, const Points& points) {
    append_list(out, points, [](std::string& text, const Point& point) {
        append_values(text, std::array{point.x, point.y});
    });
}

template <class T, class Append>
void append_cache(std::string& out, const std::optional<T>& cache, Append append) {
    if (!cache) {
        out += texts::repr_unfilled_cache;
        return;
    }
    out += texts::repr_filled_cache;
    append(out, *cache);
    out += ')';
}

PyObject* path2d_repr(PyObject* self) noexcept {
    return shared_getter(self, Needs::Nothing, [](const Path2D& path) -> PyObject* {
        std::string out = texts::repr_points;
        append_points(out, path.point_view());
        out += texts::repr_x;
        append_values(out, path.x_view());
        out += texts::repr_y;
        append_values(out, path.y_view());
        out += texts::repr_path_length_per_point;
        append_cache(out, path.path_length_per_point_cache(), append_values<std::vector<double>>);
        out += texts::repr_orientation;
        append_cache(out, path.orientation_cache(), append_values<std::vector<double>>);
        out += texts::repr_unit_tangent_vector;
        append_cache(out, path.unit_tangent_vector_cache(), append_points<std::vector<Point>>);
        out += texts::repr_curvature;
        append_cache(out, path.curvature_cache(), append_values<std::vector<double>>);
        out += texts::repr_associated_values;
        append_list(out, path.associated_values(), append_values<std::vector<double>>);
        out += texts::repr_end;
        return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    });
}

// --- attributes ---------------------------------------------------------------------------

#define KORVANE_GETTER(needs, expression)                                                 \
    +[](PyObject* self, void*) -> PyObject* {                                             \
        return shared_getter(self, needs,                                                 \
                             [](const Path2D& path) -> PyObject* { return expression; }); \
    }
#define KORVANE_LIST(expression) KORVANE_GETTER(Needs::Nothing, expression)
#define KORVANE_ARRAY(expression) KORVANE_GETTER(Needs::NumPy, expression)

PyGetSetDef path2d_getset[] = {
    {"points", KORVANE_LIST(to_python(path.point_view())), nullptr, "", nullptr},
    {"points_np", KORVANE_ARRAY(vec2_to_pyarray2(path.point_view())), nullptr, "", nullptr},
    {"x", KORVANE_LIST(to_python(path.x_view())), nullptr, "", nullptr},
    {"x_np", KORVANE_ARRAY(to_array(path.x_view())), nullptr, "", nullptr},
    {"y", KORVANE_LIST(to_python(path.y_view())), nullptr, "", nullptr},
    {"y_np", KORVANE_ARRAY(to_array(path.y_view())), nullptr, "", nullptr},
    {"path_length_per_point", KORVANE_LIST(to_python(path.path_length_per_point())), nullptr, "",
     nullptr},
    {"path_length_per_point_np", KORVANE_ARRAY(to_array(path.path_length_per_point())), nullptr, "",
     nullptr},
    {"length", KORVANE_LIST(to_python(path.length())), nullptr, "", nullptr},
    {"orientation", KORVANE_LIST(to_python(path.orientation())), nullptr, "", nullptr},
    {"orientation_np", KORVANE_ARRAY(to_array(path.orientation())), nullptr, "", nullptr},
    {"unit_tangent_vector", KORVANE_LIST(to_python(path.unit_tangent_vector())), nullptr, "",
     nullptr},
    {"unit_tangent_vector_np", KORVANE_ARRAY(vec2_to_pyarray2(path.unit_tangent_vector())), nullptr,
     "", nullptr},
    {"curvature", KORVANE_LIST(to_python(path.curvature())), nullptr, "", nullptr},
    {"curvature_np", KORVANE_ARRAY(to_array(path.curvature())), nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef KORVANE_ARRAY
#undef KORVANE_LIST
#undef KORVANE_GETTER

PyType_Slot path2d_slots[] = {slot(Py_tp_new, constructor<path2d_new_declaration>),
                              slot(Py_tp_dealloc, path2d_dealloc),
                              slot(Py_tp_repr, path2d_repr),
                              slot(Py_tp_getset, path2d_getset),
                              slot(Py_tp_methods, path2d_methods),
                              slot(Py_tp_doc, const_cast<char*>(texts::path2d_doc)),
                              kLastSlot};
PyType_Spec path2d_spec =
    type_spec<Path2DObject>("builtins.Path2D", Py_TPFLAGS_DEFAULT, path2d_slots);

}  // namespace

PyObject* wrap_path(Path2D&& path) noexcept {
    return wrap(path2d_type, std::move(path));
}

PyTypeObject* path2d_class() noexcept {
    return path2d_type;
}

PyObject* create_path2d_type() noexcept {
    if (path2d_type != nullptr) {
        return reinterpret_cast<PyObject*>(path2d_type);
    }
    Ref type = Ref::steal(PyType_FromSpec(&path2d_spec));
    if (!type) {
        return nullptr;
    }
    path2d_type = reinterpret_cast<PyTypeObject*>(type.release());
    return reinterpret_cast<PyObject*>(path2d_type);
}

}  // namespace korvane::python
