// src/python/buffer_input.hpp: list arguments read straight from the memory of an array
#pragma once

#include <Python.h>

#include <vector>

#include "path2d/path2d.hpp"

namespace korvane::python {

/// What became of reading an argument from its buffer.
enum class BufferRead {
    Done,           ///< the list holds every element
    NotApplicable,  ///< nothing was read and no error is pending: convert element by element
    Failed,         ///< a Python error is pending
};

/// Reads a one-dimensional array of real numbers (floating or integer elements of any byte
/// order, any strides, read-only, memory-mapped, NumPy subclasses; also array.array, bytes and
/// memoryviews of native format) straight from its buffer, each element converted to exactly
/// the float the element-wise conversion gives it. Anything else is not applicable: no buffer,
/// another element type or shape, or a buffer provided by Python code. For points (T is
/// Point) the same holds for a two-dimensional NumPy array of two columns.
template <class T>
BufferRead read_buffer(PyObject* obj, std::vector<T>& out);

}  // namespace korvane::python
