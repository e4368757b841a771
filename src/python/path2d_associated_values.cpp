// src/python/path2d_associated_values.cpp: attaching and reading per-point value lists
#include "python/numpy_arrays.hpp"
#include "python/path2d_type.hpp"
#include "python/results.hpp"

namespace korvane::python {

namespace {

constexpr const char* values_names[] = {"values"};
constexpr Parameters add_associated_values_params{"Path2D.add_associated_values()", values_names, 1};
constexpr const char* handle_names[] = {"handle"};
constexpr Parameters associated_values_params{"Path2D.associated_values()", handle_names, 1};
constexpr Parameters associated_value_np_params{"Path2D.associated_value_np()", handle_names, 1};

}  // namespace

PyObject* path2d_add_associated_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return exclusive_method(self, add_associated_values_params, args, nargs, kwnames,
                            [](Path2D& path, const Arguments& a) -> PyObject* {
                                std::vector<double> values;
                                if (!a.get(0, values)) {
                                    return nullptr;
                                }
                                return to_python(path.add_associated_values(std::move(values)));
                            });
}

namespace {

/// Reads the list of the `handle` argument and hands it to `convert`; None for no such list.
template <class Convert>
PyObject* read_associated_values(PyObject* self, const Parameters& params, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames, Convert convert) noexcept {
    return shared_method(self, params, args, nargs, kwnames,
                         [&](const Path2D& path, const Arguments& a) -> PyObject* {
                             std::uint64_t handle = 0;
                             if (!a.get(0, handle)) {
                                 return nullptr;
                             }
                             const std::vector<double>* values = path.associated_values(handle);
                             if (values == nullptr) {
                                 Py_RETURN_NONE;
                             }
                             return convert(*values);
                         });
}

}  // namespace

PyObject* path2d_associated_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    return read_associated_values(self, associated_values_params, args, nargs, kwnames,
                                  [](const std::vector<double>& values) { return to_python(values); });
}

PyObject* path2d_associated_value_np(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    return read_associated_values(self, associated_value_np_params, args, nargs, kwnames,
                                  [](const std::vector<double>& values) { return to_array(values); });
}

}  // namespace korvane::python
