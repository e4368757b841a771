// src/python/buffer_input.hpp: list arguments read straight from the memory of an array
#pragma once

#include <Python.h>

#include <memory>
#include <span>
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

/// Points read in place: the memory of an array whose buffer read_buffer would copy in one
/// block (native, aligned doubles in rows of two), with the buffer held for as long as a copy of
/// this lives. Whoever holds the last copy releases it, so holds the interpreter lock then.
class PointsInPlace {
public:
    explicit operator bool() const noexcept { return m_buffer != nullptr; }
    std::span<const Point> points() const noexcept { return m_points; }

private:
    friend BufferRead read_in_place(PyObject* obj, PointsInPlace& out);
    std::shared_ptr<const void> m_buffer;
    std::span<const Point> m_points;
};

/// The points of `obj` in place, where its buffer holds them as above; NotApplicable (nothing
/// held, no error pending) for anything else, which read_buffer or the element-wise
/// conversion reads.
BufferRead read_in_place(PyObject* obj, PointsInPlace& out);

/// A column of points as the modules beside korvane take it: read in place where
/// read_in_place can, its buffer held for the call, else converted as korvane's points
/// arguments are.
struct PointColumn {
    PointsInPlace in_place;
    std::vector<Point> list;
    std::span<const Point> points() const noexcept {
        return in_place ? in_place.points() : std::span<const Point>(list);
    }
};

/// Fills `out` from `obj`; false with a Python error set.
bool convert(PyObject* obj, PointColumn& out);

}  // namespace korvane::python
