// src/python/module.cpp: the module entry point and the registration of every class
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/errors.hpp"
#include "python/option_types.hpp"
#include "python/path2d_type.hpp"
#include "python/ref.hpp"
#include "python/surface_texts.hpp"

namespace korvane::python {

namespace {

constexpr int kModuleApiVersion = 1013;

PyModuleDef korvane_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvane",
    .m_doc = texts::module_doc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* korvane_module = nullptr;
std::atomic<std::int64_t> initialising_interpreter{-1};

/// Appends `name` to `__all__` (creating it when missing) and binds the class under it.
bool register_class(PyObject* module, const char* name, PyObject* type) {
    if (type == nullptr) {
        return false;
    }
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return false;
        }
    }
    if (!PyList_Check(all.get())) {
        set_type_mismatch(all.get(), "PyList");
        return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        return false;
    }
    return PyObject_SetAttrString(module, name, type) == 0;
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, texts::no_error_fetched_message);
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!initialising_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        // The classes and caches are process-wide, so a second interpreter would share them.
        PyErr_SetString(PyExc_ImportError, texts::subinterpreters_message);
        return nullptr;
    }
    if (korvane_module != nullptr) {
        return Py_NewRef(korvane_module);
    }
    Ref module = Ref::steal(PyModule_Create2(&korvane_module_def, kModuleApiVersion));
    if (!module) {
        return nullptr;
    }
    if (!register_class(module.get(), "Path2D", create_path2d_type()) ||
        !register_class(module.get(), "ResamplingMethod", create_resampling_method_type()) ||
        !register_class(module.get(), "InterpolationMethod", create_interpolation_method_type()) ||
        !register_class(module.get(), "ElasticBandMethod", create_elastic_band_method_type())) {
        return nullptr;
    }
    korvane_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace korvane::python

PyMODINIT_FUNC PyInit_korvane(void) {
    return korvane::python::guarded([] { return korvane::python::initialise(); });
}
