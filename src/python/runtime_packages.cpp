// src/python/runtime_packages.cpp: NumPy's C interface, LAPACK from SciPy and the Clarabel
// solver, looked up on first need with one failure policy
#include "python/runtime_packages.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/surface_texts.hpp"

namespace korvane::python {

namespace {

/// Turns the pending error of a failed lookup, if any, into the package's failure as `raise`
/// sets it; an error that must reach the caller unchanged is left as it is.
template <class Raise>
void fail_lookup(Raise raise) {
    if (!PyErr_Occurred() || pending_error_is_ordinary()) {
        raise();
    }
}

/// An attribute, or an empty Ref with the error pending.
Ref attribute(PyObject* object, const char* name) noexcept {
    return Ref::steal(PyObject_GetAttrString(object, name));
}

// --- NumPy ---------------------------------------------------------------------------------

// The ABI versions of NumPy 1.x and 2.x, and the C API feature level of NumPy 1.25 and 1.26.
constexpr unsigned kNumpy1Abi = 0x01000009;
constexpr unsigned kNumpy2Abi = 0x02000000;
constexpr unsigned kMinimumFeatureVersion = 0x11;

using VersionFn = unsigned (*)();

/// The NumPy core module name, once known, and the table, once checked.
struct NumpyLookup {
    std::string core_module;
    void** table = nullptr;
};
NumpyLookup numpy_lookup;

/// Reads the NumPy major version to choose between numpy._core and numpy.core; empty with an
/// error pending on failure.
std::string find_core_module() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    Ref version = numpy ? attribute(numpy.get(), "__version__") : Ref();
    Ref lib = version ? Ref::steal(PyImport_ImportModule("numpy.lib")) : Ref();
    Ref numpy_version = lib ? attribute(lib.get(), "NumpyVersion") : Ref();
    Ref parsed =
        numpy_version ? Ref::steal(PyObject_CallOneArg(numpy_version.get(), version.get())) : Ref();
    Ref major_obj = parsed ? attribute(parsed.get(), "major") : Ref();
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

/// The checked API table of the `_ARRAY_API` capsule; nullptr with an error pending.
void** checked_table(PyObject* capsule) {
    if (!PyCapsule_CheckExact(capsule)) {
        set_type_mismatch(capsule, "PyCapsule");
        return nullptr;
    }
    // NumPy's capsule is unnamed; any named capsule belongs to some other module.
    const char* name = PyCapsule_GetName(capsule);
    if (name != nullptr) {
        PyErr_Format(PyExc_ValueError, "the _ARRAY_API capsule is named '%s', not NumPy's", name);
        return nullptr;
    }
    PyErr_Clear();
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
    if (table == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "the _ARRAY_API capsule holds no pointer");
        return nullptr;
    }
    // Only a table of the NumPy just imported leads to its own array type; nothing is called
    // through the table before that holds.
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    Ref ndarray = numpy ? attribute(numpy.get(), "ndarray") : Ref();
    if (!ndarray) {
        return nullptr;
    }
    if (table[kArrayTypeSlot] != ndarray.get()) {
        PyErr_SetString(PyExc_ValueError, "the _ARRAY_API capsule does not lead to numpy.ndarray");
        return nullptr;
    }
    const unsigned abi = reinterpret_cast<VersionFn>(table[kAbiVersionSlot])();
    if (abi != kNumpy1Abi && abi != kNumpy2Abi) {
        PyErr_Format(PyExc_ValueError,
                     "NumPy's C interface has ABI version 0x%x, which is not known here", abi);
        return nullptr;
    }
    const unsigned feature = reinterpret_cast<VersionFn>(table[kFeatureVersionSlot])();
    if (feature < kMinimumFeatureVersion) {
        PyErr_Format(PyExc_ValueError,
                     "NumPy's C interface has feature version 0x%x, older than 0x%x", feature,
                     kMinimumFeatureVersion);
        return nullptr;
    }
    return table;
}

void** look_up_numpy() {
    if (numpy_lookup.core_module.empty()) {
        std::string core_module = find_core_module();
        if (core_module.empty()) {
            return nullptr;
        }
        numpy_lookup.core_module = std::move(core_module);
    }
    Ref multiarray =
        Ref::steal(PyImport_ImportModule((numpy_lookup.core_module + ".multiarray").c_str()));
    Ref capsule = multiarray ? attribute(multiarray.get(), "_ARRAY_API") : Ref();
    return capsule ? checked_table(capsule.get()) : nullptr;
}

// NumPy's classes the recognisers compare with, taken once and kept for the process.
struct NumpyClasses {
    bool taken = false;
    PyObject* memmap = nullptr;
};
NumpyClasses numpy_classes;

/// Takes NumPy's classes from the imported numpy module by dictionary reads, which run no
/// Python code; nothing is taken while numpy is not (or not yet wholly) imported.
void take_numpy_classes() noexcept {
    if (numpy_classes.taken) {
        return;
    }
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* numpy = PyDict_Check(modules) ? PyDict_GetItemString(modules, "numpy") : nullptr;
    if (numpy == nullptr || !PyModule_Check(numpy)) {
        return;
    }
    PyObject* namespace_ = PyModule_GetDict(numpy);
    PyObject* memmap = PyDict_GetItemString(namespace_, "memmap");
    if (memmap != nullptr && PyType_Check(memmap)) {
        numpy_classes.memmap = Py_NewRef(memmap);
        numpy_classes.taken = true;
    }
}

// --- SciPy's LAPACK ------------------------------------------------------------------------

DgesvdFn dgesvd = nullptr;

// SciPy's Cython module names each capsule by the C signature of what it holds, its double
// type spelled as the module's own typedef (older builds spelled it `double`).
constexpr const char* kDgesvdSignature =
    "void (char *, char *, int *, int *, D *, int *, D *, D *, int *, D *, int *, D *, int *, int *)";
constexpr std::array kLapackDoubles = {"__pyx_t_5scipy_6linalg_13cython_lapack_d", "double"};

bool is_dgesvd_signature(const char* name) {
    for (const char* type : kLapackDoubles) {
        std::string expected;
        for (const char* c = kDgesvdSignature; *c != '\0'; ++c) {
            if (*c == 'D') {
                expected += type;
            } else {
                expected += *c;
            }
        }
        if (expected == name) {
            return true;
        }
    }
    return false;
}

void raise_missing_scipy(const char* what) {
    fail_lookup([what] {
        raise_from_pending(
            PyExc_ImportError,
            std::string("circle fits need LAPACK from SciPy (scipy.linalg.cython_lapack): ") + what,
            "scipy");
    });
}

DgesvdFn look_up_dgesvd() {
    Ref module = Ref::steal(PyImport_ImportModule("scipy.linalg.cython_lapack"));
    if (!module) {
        raise_missing_scipy("the module could not be imported");
        return nullptr;
    }
    Ref exports = attribute(module.get(), "__pyx_capi__");
    Ref capsule = exports ? Ref::steal(PyMapping_GetItemString(exports.get(), "dgesvd")) : Ref();
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) {
        raise_missing_scipy("it exports no dgesvd");
        return nullptr;
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr || !is_dgesvd_signature(name)) {
        PyErr_Clear();
        raise_missing_scipy("its dgesvd capsule holds a function of another signature");
        return nullptr;
    }
    void* pointer = PyCapsule_GetPointer(capsule.get(), name);
    if (pointer == nullptr) {
        raise_missing_scipy("its dgesvd capsule holds no function");
        return nullptr;
    }
    return reinterpret_cast<DgesvdFn>(pointer);
}

// --- the solver ----------------------------------------------------------------------------

// Clarabel's status names; older versions lack some, but the three that decide a result must
// be there.
constexpr std::array kStatusNames = {
    "Unsolved",
    "Solved",
    "PrimalInfeasible",
    "DualInfeasible",
    "AlmostSolved",
    "AlmostPrimalInfeasible",
    "AlmostDualInfeasible",
    "MaxIterations",
    "MaxTime",
    "NumericalError",
    "InsufficientProgress",
    "CallbackTerminated",
};
constexpr std::array kRequiredStatusNames = {"Solved", "PrimalInfeasible", "DualInfeasible"};

/// Never replaced once set: threads that looked the packages up hold on to its contents.
std::unique_ptr<SolverPackages> solver;

bool is_required_status(const char* name) {
    for (const char* required : kRequiredStatusNames) {
        if (std::strcmp(name, required) == 0) {
            return true;
        }
    }
    return false;
}

/// Reads the named attributes of `module_name` into the slots; the references go to `owned`.
bool load_attributes(const char* module_name,
                     std::initializer_list<std::pair<PyObject**, const char*>> slots,
                     std::vector<Ref>& owned) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) {
        return false;
    }
    for (auto [slot, name] : slots) {
        Ref value = attribute(module.get(), name);
        if (!value) {
            return false;
        }
        *slot = value.get();
        owned.push_back(std::move(value));
    }
    return true;
}

bool load_statuses(SolverPackages& packages, std::vector<Ref>& owned) {
    Ref module = Ref::steal(PyImport_ImportModule("clarabel"));
    Ref status_type = module ? attribute(module.get(), "SolverStatus") : Ref();
    if (!status_type) {
        return false;
    }
    for (const char* name : kStatusNames) {
        Ref value = attribute(status_type.get(), name);
        if (!value) {
            if (is_required_status(name) || !clear_if_ordinary()) {
                return false;
            }
            continue;
        }
        packages.statuses.emplace_back(name, value.get());
        owned.push_back(std::move(value));
    }
    return true;
}

void raise_missing_solver_package(const char* package) {
    fail_lookup([package] {
        raise_from_pending(
            PyExc_ImportError,
            std::string("solving a quadratic program needs the '") + package + "' package",
            package);
    });
}

}  // namespace

void** numpy_api() {
    if (numpy_lookup.table != nullptr) {
        return numpy_lookup.table;
    }
    void** table = look_up_numpy();
    if (table == nullptr) {
        fail_lookup([] {
            const std::string message = texts::numpy_capsule_message + describe_and_clear_error();
            set_panic(message.c_str());
        });
        return nullptr;
    }
    numpy_lookup.table = table;
    take_numpy_classes();
    return table;
}

void** loaded_numpy_api() {
    if (numpy_lookup.table == nullptr) {
        throw InternalFailure("NumPy's C interface is used before it was looked up");
    }
    return numpy_lookup.table;
}

bool is_ndarray(PyTypeObject* type) noexcept {
    // NumPy's array type is written in C, so no class written in Python can take its name.
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
            std::strcmp(base->tp_name, "numpy.ndarray") == 0) {
            return true;
        }
    }
    return false;
}

bool is_numpy_memmap(PyTypeObject* type) noexcept {
    take_numpy_classes();
    return numpy_classes.taken && numpy_classes.memmap == reinterpret_cast<PyObject*>(type);
}

bool is_numpy_bool(PyTypeObject* type) noexcept {
    // The class's `__module__` and `__name__` as the interpreter gives them, read without running
    // code: a class written in C carries both in its type name, a heap class its name in the
    // type and its module in its dictionary.
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        const auto is = [](PyObject* text, const char* expected) {
            return text != nullptr && PyUnicode_Check(text) &&
                   PyUnicode_CompareWithASCIIString(text, expected) == 0;
        };
        PyObject* name = reinterpret_cast<PyHeapTypeObject*>(type)->ht_name;
        PyObject* module =
            type->tp_dict != nullptr ? PyDict_GetItemString(type->tp_dict, "__module__") : nullptr;
        return is(module, "numpy") && (is(name, "bool_") || is(name, "bool"));
    }
    const std::string_view name = type->tp_name;
    return name == "numpy.bool_" || name == "numpy.bool";
}

DgesvdFn lapack_dgesvd() {
    if (dgesvd == nullptr) {
        dgesvd = look_up_dgesvd();
    }
    return dgesvd;
}

DgesvdFn loaded_lapack_dgesvd() noexcept {
    return dgesvd;
}

const SolverPackages* solver_packages() {
    if (solver) {
        return solver.get();
    }
    auto packages = std::make_unique<SolverPackages>();
    std::vector<Ref> owned;
    // clarabel first, so that a machine missing everything is told about the solver.
    SolverPackages& p = *packages;
    if (!load_attributes("clarabel",
                         {{&p.default_settings, "DefaultSettings"},
                          {&p.default_solver, "DefaultSolver"},
                          {&p.zero_cone, "ZeroConeT"},
                          {&p.nonnegative_cone, "NonnegativeConeT"}},
                         owned) ||
        !load_statuses(p, owned)) {
        raise_missing_solver_package("clarabel");
        return nullptr;
    }
    // NumPy makes the solver's arrays; only whether it imports is checked here.
    if (!load_attributes("numpy", {}, owned)) {
        raise_missing_solver_package("numpy");
        return nullptr;
    }
    if (!load_attributes("scipy.sparse", {{&p.csc_matrix, "csc_matrix"}}, owned)) {
        raise_missing_solver_package("scipy");
        return nullptr;
    }
    // Another thread may have finished its own lookup while this one ran Python code; the
    // first one stored stays, and this one's references are dropped.
    if (!solver) {
        for (Ref& ref : owned) {
            (void)ref.release();
        }
        solver = std::move(packages);
    }
    return solver.get();
}

}  // namespace korvane::python
