// src/python/numpy_arrays.hpp: fresh float64 NumPy arrays, with NumPy reached only at run time
#pragma once

#include <Python.h>

#include <span>

#include "path2d/path2d.hpp"

namespace korvane::python {

using npy_intp = Py_ssize_t;

/// NumPy's type numbers of float64 and of int64 (`long` where that has 64 bits, as NumPy names
/// it there).
inline constexpr int kNpyFloat64 = 12;
inline constexpr int kNpyInt64 = sizeof(long) == 8 ? 7 : 9;

/// A new C-ordered array of `nd` dimensions and NumPy type `type_number`, owning its
/// uninitialised data, which `data` then points at; failures as below.
PyObject* new_array(int type_number, int nd, const npy_intp* dims, void*& data);

/// A new 1-D float64 array holding a copy of `values`. NumPy must have been looked up
/// (`numpy_api()`) before the call, which runs no Python code; returns nullptr with
/// MemoryError set when the array cannot be allocated.
PyObject* to_array(std::span<const double> values);

/// The same for coordinates read in place from a path record.
PyObject* to_array(const CoordinateView& values);

/// A new (n, 2) float64 array of the points, (0, 0) when there are none; failures as above.
PyObject* vec2_to_pyarray2(const PointView& points);

}  // namespace korvane::python
