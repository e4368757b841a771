// src/python/path2d_type.hpp: the Python object holding one path record, and method plumbing
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

#include "path2d/path2d.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"

namespace korvane::python {

/// Layout of a Path2D instance: the header, the record, then the borrow counter.
struct Path2DObject {
    PyObject_HEAD
    Path2D path;
    Py_ssize_t borrow;
};

inline Path2DObject* as_path2d(PyObject* self) noexcept { return reinterpret_cast<Path2DObject*>(self); }

/// Creates the Path2D class; nullptr with an error set on failure.
PyObject* create_path2d_type() noexcept;

/// Binds the arguments, takes a borrow of `self` (a SharedBorrow or an ExclusiveBorrow) and
/// runs `body(path, arguments)`; the path is const under a shared borrow.
template <class Borrow, class F>
PyObject* borrowed_method(PyObject* self, const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, F&& body) noexcept {
    return bound_call(
        params,
        [&](const Arguments& arguments) -> PyObject* {
            Path2DObject* object = as_path2d(self);
            Borrow borrow(object->borrow);
            if (!borrow) {
                return nullptr;
            }
            if constexpr (std::is_same_v<Borrow, ExclusiveBorrow>) {
                return body(object->path, arguments);
            } else {
                return body(static_cast<const Path2D&>(object->path), arguments);
            }
        },
        args, nargs, kwnames);
}

template <class F>
PyObject* shared_method(PyObject* self, const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, F&& body) noexcept {
    return borrowed_method<SharedBorrow>(self, params, args, nargs, kwnames, std::forward<F>(body));
}

template <class F>
PyObject* exclusive_method(PyObject* self, const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, F&& body) noexcept {
    return borrowed_method<ExclusiveBorrow>(self, params, args, nargs, kwnames, std::forward<F>(body));
}

/// Signature of every Path2D method (METH_FASTCALL | METH_KEYWORDS).
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// Method bodies, grouped by topic in path2d_<topic>.cpp.
PyObject* path2d_compute_circle_fit_curvature(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_find_circle_segments(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_resampled_path(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_smoothed_path_elastic_band(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_smoothed_path_chaikin(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_index_from_point(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_path_length_from_point(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_sub_path(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_detect_corrupted_point_order(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_repair_corrupted_point_order(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_add_associated_values(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_associated_values(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* path2d_associated_value_np(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

}  // namespace korvane::python
