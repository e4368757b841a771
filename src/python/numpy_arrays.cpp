// src/python/numpy_arrays.cpp: new float64 arrays made through NumPy's C API table
#include "python/numpy_arrays.hpp"

#include <cstring>
#include <string>

#include "python/errors.hpp"
#include "python/runtime_packages.hpp"

namespace korvane::python {

namespace {

using DescrFromTypeFn = PyObject* (*)(int type_number);
using NewFromDescrFn = PyObject* (*)(PyTypeObject* subtype, PyObject* descr, int nd,
                                     const npy_intp* dims, const npy_intp* strides, void* data,
                                     int flags, PyObject* obj);

/// The leading fields of every ndarray object, the same in NumPy 1.x and 2.x.
struct ArrayObjectHead {
    PyObject_HEAD char* data;
};

}  // namespace

PyObject* new_array(int type_number, int nd, const npy_intp* dims, void*& data) {
    void** table = loaded_numpy_api();
    auto* array_type = static_cast<PyTypeObject*>(table[kArrayTypeSlot]);
    auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(table[kDescrFromTypeSlot]);
    auto new_from_descr = reinterpret_cast<NewFromDescrFn>(table[kNewFromDescrSlot]);
    PyObject* descr = descr_from_type(type_number);
    if (descr == nullptr) {
        throw InternalFailure("NumPy has no descriptor for type " + std::to_string(type_number) +
                              ": " + describe_and_clear_error());
    }
    // The call takes over the descriptor reference, also when it fails.
    PyObject* array = new_from_descr(array_type, descr, nd, dims, nullptr, nullptr, 0, nullptr);
    if (array == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return nullptr;
        }
        throw InternalFailure("NumPy could not create an array: " + describe_and_clear_error());
    }
    data = reinterpret_cast<ArrayObjectHead*>(array)->data;
    return array;
}

namespace {

/// A new C-ordered float64 array owning its data; nullptr with MemoryError on exhaustion.
PyObject* new_double_array(int nd, const npy_intp* dims, double*& data) {
    void* raw = nullptr;
    PyObject* array = new_array(kNpyFloat64, nd, dims, raw);
    data = static_cast<double*>(raw);
    return array;
}

}  // namespace

PyObject* to_array(std::span<const double> values) {
    const npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    double* data = nullptr;
    PyObject* array = new_double_array(1, dims, data);
    if (array != nullptr && !values.empty()) {
        std::memcpy(data, values.data(), values.size() * sizeof(double));
    }
    return array;
}

PyObject* to_array(const CoordinateView& values) {
    if (values.stride() == 1) {
        return to_array(std::span<const double>(values.first(), values.size()));
    }
    const npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    double* data = nullptr;
    PyObject* array = new_double_array(1, dims, data);
    if (array != nullptr) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            data[i] = values[i];
        }
    }
    return array;
}

PyObject* vec2_to_pyarray2(const PointView& points) {
    const std::size_t n = points.size();
    // An empty list of rows has no first row to take the column count from.
    const npy_intp dims[2] = {static_cast<npy_intp>(n), n == 0 ? 0 : 2};
    double* data = nullptr;
    PyObject* array = new_double_array(2, dims, data);
    if (array == nullptr || n == 0) {
        return array;
    }
    if (points.x().stride() == 2 && points.y().first() == points.x().first() + 1) {
        // Stored as pairs: the rows are the points as they lie in memory, one block copy.
        std::memcpy(data, points.x().first(), n * 2 * sizeof(double));
        return array;
    }
    for (std::size_t i = 0; i < n; ++i) {
        data[2 * i] = points.x()[i];
        data[2 * i + 1] = points.y()[i];
    }
    return array;
}

}  // namespace korvane::python
