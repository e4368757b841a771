// src/python/numpy_arrays.cpp: the NumPy C API table, looked up on the first array request
#include "python/numpy_arrays.hpp"

#include <cstring>
#include <string>

#include "python/errors.hpp"
#include "python/ref.hpp"

namespace korvane::python {

namespace {

using npy_intp = Py_ssize_t;
using DescrFromTypeFn = PyObject* (*)(int type_number);
using NewFromDescrFn = PyObject* (*)(PyTypeObject* subtype, PyObject* descr, int nd, const npy_intp* dims,
                                     const npy_intp* strides, void* data, int flags, PyObject* obj);

// Positions in NumPy's published C API table; fixed across NumPy 1.x and 2.x.
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kNpyDouble = 12;

/// The leading fields of every ndarray object, the same in NumPy 1.x and 2.x.
struct ArrayObjectHead {
    PyObject_HEAD
    char* data;
};

/// The API table with an explicit not-loaded state; both entries are kept once found.
struct NumpyApi {
    std::string core_module;  ///< empty until known
    void** table = nullptr;
};
NumpyApi api;

/// Reads the NumPy major version to choose between numpy._core and numpy.core.
std::string find_core_module() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return {};
    }
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) {
        return {};
    }
    Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) {
        return {};
    }
    Ref numpy_version = Ref::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!numpy_version) {
        return {};
    }
    Ref parsed = Ref::steal(PyObject_CallOneArg(numpy_version.get(), version.get()));
    if (!parsed) {
        return {};
    }
    Ref major_obj = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) {
        return {};
    }
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) {
        return {};
    }
    if (major < 0 || major > 255) {
        PyErr_Format(PyExc_OverflowError, "NumPy major version %ld out of range", major);
        return {};
    }
    return major >= 2 ? "numpy._core" : "numpy.core";
}

/// Fills `api.table`; false with a Python error pending.
bool load_table() {
    if (api.core_module.empty()) {
        api.core_module = find_core_module();
        if (api.core_module.empty()) {
            return false;
        }
    }
    Ref name = Ref::steal(PyUnicode_FromString((api.core_module + ".multiarray").c_str()));
    if (!name) {
        return false;
    }
    Ref multiarray = Ref::steal(PyImport_Import(name.get()));
    if (!multiarray) {
        return false;
    }
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) {
        return false;
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        set_type_mismatch(capsule.get(), "PyCapsule");
        return false;
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    PyErr_Clear();
    void* pointer = PyCapsule_GetPointer(capsule.get(), capsule_name);
    PyErr_Clear();
    if (pointer == nullptr) {
        // Using a null table would crash on the first array; fail the lookup instead.
        PyErr_SetString(PyExc_RuntimeError, "the _ARRAY_API capsule holds no pointer");
        return false;
    }
    api.table = static_cast<void**>(pointer);
    return true;
}

void** numpy_table() {
    if (api.table == nullptr && !load_table()) {
        throw InternalFailure("Failed to access NumPy array API capsule: " + describe_and_clear_error());
    }
    return api.table;
}

/// A new C-ordered float64 array owning its data; nullptr with MemoryError on exhaustion.
PyObject* new_double_array(int nd, const npy_intp* dims, double*& data) {
    void** table = numpy_table();
    auto* array_type = static_cast<PyTypeObject*>(table[kArrayTypeSlot]);
    auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(table[kDescrFromTypeSlot]);
    auto new_from_descr = reinterpret_cast<NewFromDescrFn>(table[kNewFromDescrSlot]);
    PyObject* descr = descr_from_type(kNpyDouble);
    if (descr == nullptr) {
        throw InternalFailure("NumPy has no float64 descriptor: " + describe_and_clear_error());
    }
    // The call takes over the descriptor reference, also when it fails.
    PyObject* array = new_from_descr(array_type, descr, nd, dims, nullptr, nullptr, 0, nullptr);
    if (array == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return nullptr;
        }
        throw InternalFailure("NumPy could not create an array: " + describe_and_clear_error());
    }
    data = reinterpret_cast<double*>(reinterpret_cast<ArrayObjectHead*>(array)->data);
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

PyObject* vec2_to_pyarray2(std::span<const Point> points) {
    const std::size_t n = points.size();
    // An empty list of rows has no first row to take the column count from.
    const npy_intp dims[2] = {static_cast<npy_intp>(n), n == 0 ? 0 : 2};
    double* data = nullptr;
    PyObject* array = new_double_array(2, dims, data);
    if (array != nullptr && n != 0) {
        // The rows lie in memory as the points do: one block copy.
        static_assert(sizeof(Point) == 2 * sizeof(double));
        std::memcpy(data, points.data(), n * sizeof(Point));
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
    if (points.x().stride() == 2 && points.y().first() == points.x().first() + 1) {
        // Stored as pairs: the rows are the record's points as they lie in memory.
        static_assert(sizeof(Point) == 2 * sizeof(double));
        return vec2_to_pyarray2(
            std::span<const Point>(reinterpret_cast<const Point*>(points.x().first()), points.size()));
    }
    const std::size_t n = points.size();
    const npy_intp dims[2] = {static_cast<npy_intp>(n), n == 0 ? 0 : 2};
    double* data = nullptr;
    PyObject* array = new_double_array(2, dims, data);
    if (array != nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            data[2 * i] = points.x()[i];
            data[2 * i + 1] = points.y()[i];
        }
    }
    return array;
}

}  // namespace korvane::python
