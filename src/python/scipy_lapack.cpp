// src/python/scipy_lapack.cpp: LAPACK's dgesvd as SciPy exports it, resolved on first use
#include "python/scipy_lapack.hpp"

#include <Python.h>

#include "python/errors.hpp"
#include "python/ref.hpp"

namespace korvane::python {

namespace {

/// Not loaded until the first circle fit; kept for the life of the process once found.
DgesvdFn dgesvd = nullptr;

/// Raises ImportError naming SciPy, with the underlying failure as its cause. KeyboardInterrupt,
/// SystemExit, MemoryError and other non-ordinary exceptions met on the way are left as they are.
void raise_missing_scipy(const char* what) {
    if (PyErr_Occurred() &&
        (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))) {
        return;
    }
    FetchedError error = FetchedError::fetch();
    if (error.value && error.traceback) {
        PyException_SetTraceback(error.value.get(), error.traceback.get());
    }
    Ref cause = std::move(error.value);
    Ref message = Ref::steal(
        cause ? PyUnicode_FromFormat("circle fits need LAPACK from SciPy (scipy.linalg.cython_lapack): %s: %S",
                                     what, cause.get())
              : PyUnicode_FromFormat("circle fits need LAPACK from SciPy (scipy.linalg.cython_lapack): %s", what));
    if (!message) {
        return;
    }
    Ref import_error = Ref::steal(PyObject_CallOneArg(PyExc_ImportError, message.get()));
    Ref name = Ref::steal(PyUnicode_FromString("scipy"));
    if (!import_error || !name || PyObject_SetAttrString(import_error.get(), "name", name.get()) < 0) {
        return;
    }
    if (cause) {
        PyException_SetCause(import_error.get(), cause.release());
    }
    PyErr_SetObject(PyExc_ImportError, import_error.get());
}

}  // namespace

DgesvdFn scipy_dgesvd() noexcept {
    if (dgesvd != nullptr) {
        return dgesvd;
    }
    Ref module = Ref::steal(PyImport_ImportModule("scipy.linalg.cython_lapack"));
    if (!module) {
        raise_missing_scipy("the module could not be imported");
        return nullptr;
    }
    Ref exports = Ref::steal(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    Ref capsule = exports ? Ref::steal(PyMapping_GetItemString(exports.get(), "dgesvd")) : Ref();
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) {
        raise_missing_scipy("it exports no dgesvd");
        return nullptr;
    }
    const char* name = PyCapsule_GetName(capsule.get());
    void* pointer = PyCapsule_GetPointer(capsule.get(), name);
    if (pointer == nullptr) {
        raise_missing_scipy("its dgesvd capsule holds no function");
        return nullptr;
    }
    dgesvd = reinterpret_cast<DgesvdFn>(pointer);
    return dgesvd;
}

}  // namespace korvane::python
