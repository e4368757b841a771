// src/python/results.hpp: turning core results into new Python objects
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "path2d/circle_fit.hpp"
#include "path2d/path2d.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "util/result.hpp"

namespace korvane::python {

/// Wraps a path record into a new Path2D object (defined with the type).
PyObject* wrap_path(Path2D&& path) noexcept;

inline PyObject* to_python(double value) noexcept {
    return PyFloat_FromDouble(value);
}
inline PyObject* to_python(std::size_t value) noexcept {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}
inline PyObject* to_python(bool value) noexcept {
    return PyBool_FromLong(value ? 1 : 0);
}
inline PyObject* to_python(Path2D&& path) noexcept {
    return wrap_path(std::move(path));
}

/// A point becomes the list [x, y].
inline PyObject* to_python(const Point& point) noexcept {
    Ref list = Ref::steal(PyList_New(2));
    if (!list) {
        return nullptr;
    }
    PyObject* x = PyFloat_FromDouble(point.x);
    if (x == nullptr) {
        return nullptr;
    }
    PyList_SET_ITEM(list.get(), 0, x);
    PyObject* y = PyFloat_FromDouble(point.y);
    if (y == nullptr) {
        return nullptr;
    }
    PyList_SET_ITEM(list.get(), 1, y);
    return list.release();
}

inline PyObject* to_python(const CircleSegment& segment) noexcept {
    Ref start = Ref::steal(to_python(segment.start));
    Ref end = Ref::steal(to_python(segment.end));
    Ref curvature = Ref::steal(to_python(segment.curvature));
    if (!start || !end || !curvature) {
        return nullptr;
    }
    return PyTuple_Pack(3, start.get(), end.get(), curvature.get());
}

/// A new list of exactly `values.size()` elements, each converted by `to_python`.
template <class Values>
PyObject* list_of(const Values& values) noexcept {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = to_python(values[i]);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

template <class T>
PyObject* to_python(std::span<const T> values) noexcept {
    return list_of(values);
}

/// A new list of the coordinates or points read in place.
template <class View>
    requires std::is_same_v<View, CoordinateView> || std::is_same_v<View, PointView>
PyObject* to_python(const View& values) noexcept {
    return list_of(values);
}

template <class T>
PyObject* to_python(const std::vector<T>& values) noexcept {
    return to_python(std::span<const T>(values));
}

/// An absent result is None.
template <class T>
PyObject* to_python(std::optional<T>&& value) noexcept {
    if (!value) {
        Py_RETURN_NONE;
    }
    return to_python(std::move(*value));
}

template <class T>
PyObject* to_python(Result<T>&& result) noexcept {
    if (!result.ok()) {
        return raise(result.error());
    }
    return to_python(std::move(result).value());
}

}  // namespace korvane::python
