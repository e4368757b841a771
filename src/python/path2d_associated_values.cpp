// src/python/path2d_associated_values.cpp: attaching and reading per-point value lists
#include "python/numpy_arrays.hpp"
#include "python/path2d_type.hpp"
#include "python/results.hpp"

namespace korvane::python {

namespace {

/// Reads the list of the `handle` argument into Python as `convert` makes it; None for a
/// handle that has no list.
auto values_reader(const char* name, const char* doc, Needs needs,
                   PyObject* (*convert)(std::span<const double>)) {
    return path2d_method(
        name, doc, needs,
        [convert](const Path2D& path, std::uint64_t handle) -> PyObject* {
            const std::vector<double>* values = path.associated_values(handle);
            if (values == nullptr) {
                Py_RETURN_NONE;
            }
            return convert(*values);
        },
        arg<std::uint64_t>("handle"));
}

constexpr char add_associated_values_doc[] =
    "add_associated_values($self, values)\n--\n\nadd_associated_values(values)\n\nAdds an associated "
    "value.\n\n:param values: The values that should be added as associated to the path\n\n:type values: "
    "list[float]\n\n:returns: The handle for accessing the associated values again\n:rtype: int";

const auto add_associated_values = path2d_method(
    "add_associated_values", add_associated_values_doc, Needs::Nothing,
    [](Path2D& path, std::vector<double> values) {
        return to_python(path.add_associated_values(std::move(values)));
    },
    arg<std::vector<double>>("values"));

constexpr char associated_values_doc[] =
    "associated_values($self, handle)\n--\n\nassociated_values(handle)\n\nReturns the respective "
    "associated values.\n\n:param handle: The handle of the associated values\n\n:type handle: "
    "int\n\n:returns: The associated values\n:rtype: list[float]";

const auto associated_values =
    values_reader("associated_values", associated_values_doc, Needs::Nothing, to_python<double>);

constexpr char associated_value_np_doc[] =
    "associated_value_np($self, handle)\n--\n\nassociated_values_np(handle)\n\nReturns the respective "
    "associated values.\n\n:param handle: The handle of the associated values\n\n:type handle: "
    "int\n\n:returns: The associated values\n:rtype: numpy.ndarray";

const auto associated_value_np =
    values_reader("associated_value_np", associated_value_np_doc, Needs::NumPy, to_array);

}  // namespace

const PyMethodDef path2d_add_associated_values = path2d_method_row<add_associated_values>();
const PyMethodDef path2d_associated_values = path2d_method_row<associated_values>();
const PyMethodDef path2d_associated_value_np = path2d_method_row<associated_value_np>();

}  // namespace korvane::python
