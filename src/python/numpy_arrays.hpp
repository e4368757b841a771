// src/python/numpy_arrays.hpp: fresh NumPy arrays, with NumPy reached only at run time
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "path2d/path2d.hpp"

namespace korvane::python {

using npy_intp = Py_ssize_t;

/// A new C-ordered array of `nd` dimensions of T (double), owning its uninitialised data, which
/// `data` then points at; failures as below.
template <class T>
PyObject* new_array(int nd, const npy_intp* dims, T*& data);

/// A new 1-D float64 array holding a copy of `values`. NumPy must have been looked up
/// (`numpy_api()`) before the call, which runs no Python code; returns nullptr with
/// MemoryError set when the array cannot be allocated.
PyObject* to_array(std::span<const double> values);

/// The same for coordinates read in place from a path record.
PyObject* to_array(const CoordinateView& values);

/// A new (n, 2) float64 array of the points, (0, 0) when there are none; failures as above.
PyObject* vec2_to_pyarray2(const PointView& points);

/// A new 1-D array of `count` elements of T (double, bool, std::int32_t or std::int64_t) for the
/// caller to write through `data`; failures as above.
template <class T>
PyObject* new_vector(std::size_t count, T*& data);

}  // namespace korvane::python
