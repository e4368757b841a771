// src/python/runtime_packages.hpp: the one way to the packages the module loads at run time
// (NumPy's C interface, LAPACK from SciPy, the Clarabel solver), with one failure policy
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "util/lapack.hpp"

namespace korvane::python {

// Each package is looked up on first need and kept for the life of the process; a lookup that
// fails keeps nothing and is repeated by the next call. A lookup runs Python code (imports), so
// callers look packages up before they borrow a path, never while a borrow is held.
//
// Failures: an ordinary error (see `pending_error_is_ordinary`) becomes the package's
// documented failure: PanicException "Failed to access NumPy array API capsule: ..." for
// NumPy, ImportError naming the package, with the error as its cause, for SciPy and Clarabel.
// Any other error (KeyboardInterrupt, SystemExit, MemoryError, RecursionError, an error raised
// by the caller's signal handler) reaches the caller unchanged. Capsules are checked before
// anything is called through them.

/// Positions in NumPy's published C API table, fixed across NumPy 1.x and 2.x.
constexpr int kAbiVersionSlot = 0;
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kFeatureVersionSlot = 211;

/// NumPy's C API table; nullptr with an error pending.
void** numpy_api();
/// The table once `numpy_api()` has succeeded; throws InternalFailure before. Runs no Python code.
void** loaded_numpy_api();

/// Recognisers of NumPy's classes, which run no import and no Python code.
/// numpy.ndarray or a subclass of it: a class whose order holds NumPy's array type, written in C.
bool is_ndarray(PyTypeObject* type) noexcept;
/// Exactly numpy.memmap: the object the gateway took from the imported numpy module at its first
/// lookup (of the C table, or the first question asked while numpy is imported), never what an
/// attribute of the module names later.
bool is_numpy_memmap(PyTypeObject* type) noexcept;
/// A NumPy boolean scalar type: a class whose `__module__` is "numpy" and whose `__name__` is
/// "bool_" or "bool", whether or not NumPy is installed or imported.
bool is_numpy_bool(PyTypeObject* type) noexcept;

/// LAPACK's dgesvd as SciPy exports it; nullptr with an error pending.
DgesvdFn lapack_dgesvd();
/// dgesvd when it has been found already, else nullptr. Runs no Python code.
DgesvdFn loaded_lapack_dgesvd() noexcept;

/// What a solve takes from `clarabel` and `scipy.sparse` (strong references, kept); NumPy's
/// arrays are made through its C table.
struct SolverPackages {
    PyObject* default_settings = nullptr;
    PyObject* default_solver = nullptr;
    PyObject* zero_cone = nullptr;
    PyObject* nonnegative_cone = nullptr;
    /// The `SolverStatus` members this version of the solver has, by name.
    std::vector<std::pair<const char*, PyObject*>> statuses;
    PyObject* csc_matrix = nullptr;
};

/// The solver's packages; nullptr with an error pending. Once found they are never replaced,
/// so a reference obtained here stays valid while other threads look them up too.
const SolverPackages* solver_packages();

}  // namespace korvane::python
