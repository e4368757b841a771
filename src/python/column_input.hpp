// src/python/column_input.hpp: one-dimensional integer and boolean columns of arguments, read from
// an array's buffer where they can be, else element by element
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

namespace korvane::python {

/// A column of int64 values: from a buffer of native integers of any width, else any iterable
/// of objects with __index__; TypeError for other elements (floats among them) and OverflowError
/// beyond 64 bits.
struct Int64Column {
    std::vector<std::int64_t> values;
};
bool convert(PyObject* obj, Int64Column& out);

/// A column of truth values: from a buffer of native booleans or integers (non-zero is true),
/// else the truth of each element of an iterable.
struct BoolColumn {
    std::vector<std::uint8_t> values;
};
bool convert(PyObject* obj, BoolColumn& out);

/// Checks ragged offsets over `rows` rows: at least one entry, the first 0, the last `rows`,
/// none lower than the one before; false with a ValueError naming the first bad entry, its
/// index and its value.
bool check_offsets(std::span<const std::int64_t> offsets, std::size_t rows, const char* name);

}  // namespace korvane::python
