// src/python/numpy_arrays.cpp: new NumPy arrays, all made through NumPy's C API table
#include "python/numpy_arrays.hpp"

#include <cstdint>
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

// NumPy's type numbers of float64, of the 32- and 64-bit integers (C int, and C long or long
// long, whichever is 64 bits wide) and of bool, fixed across NumPy 1.x and 2.x.
template <class T>
constexpr int kTypeNumber = 12;
template <>
constexpr int kTypeNumber<bool> = 0;
template <>
constexpr int kTypeNumber<std::int32_t> = 5;
template <>
constexpr int kTypeNumber<std::int64_t> = sizeof(long) == 8 ? 7 : 9;
static_assert(sizeof(int) == 4 && sizeof(bool) == 1);

/// The leading fields of every ndarray object, the same in NumPy 1.x and 2.x.
struct ArrayObjectHead {
    PyObject_HEAD char* data;
};

}  // namespace

template <class T>
PyObject* new_array(int nd, const npy_intp* dims, T*& data) {
    void** table = loaded_numpy_api();
    auto* array_type = static_cast<PyTypeObject*>(table[kArrayTypeSlot]);
    auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(table[kDescrFromTypeSlot]);
    auto new_from_descr = reinterpret_cast<NewFromDescrFn>(table[kNewFromDescrSlot]);
    PyObject* descr = descr_from_type(kTypeNumber<T>);
    if (descr == nullptr) {
        throw InternalFailure("NumPy has no descriptor for type " + std::to_string(kTypeNumber<T>) +
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
    data = reinterpret_cast<T*>(reinterpret_cast<ArrayObjectHead*>(array)->data);
    return array;
}

template PyObject* new_array(int nd, const npy_intp* dims, double*& data);

template <class T>
PyObject* new_vector(std::size_t count, T*& data) {
    const npy_intp dims[1] = {static_cast<npy_intp>(count)};
    return new_array(1, dims, data);
}

template PyObject* new_vector(std::size_t count, double*& data);
template PyObject* new_vector(std::size_t count, bool*& data);
template PyObject* new_vector(std::size_t count, std::int32_t*& data);
template PyObject* new_vector(std::size_t count, std::int64_t*& data);

PyObject* to_array(std::span<const double> values) {
    const npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    double* data = nullptr;
    PyObject* array = new_array(1, dims, data);
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
    PyObject* array = new_array(1, dims, data);
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
    PyObject* array = new_array(2, dims, data);
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
