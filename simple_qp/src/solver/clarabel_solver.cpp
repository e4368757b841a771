// simple_qp/src/solver/clarabel_solver.cpp: hands an assembled problem to Clarabel's Python package
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "simple_qp/clarabel_solver.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "simple_qp/assembly.hpp"

namespace simple_qp {
namespace {

// Owns exactly one reference, or none.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    Ref(Ref&& o) noexcept : m_ptr(std::exchange(o.m_ptr, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(m_ptr); }

    PyObject* get() const noexcept { return m_ptr; }
    PyObject* release() noexcept { return std::exchange(m_ptr, nullptr); }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }
    void swap(Ref& o) noexcept { std::swap(m_ptr, o.m_ptr); }

private:
    explicit Ref(PyObject* p) noexcept : m_ptr(p) {}
    PyObject* m_ptr = nullptr;
};

// The Python callables and constants a solve needs. Filled on the first solve that finds all
// three packages, then kept (strong references, never released) for the life of the process.
struct ClarabelApi {
    bool loaded = false;
    PyObject* default_settings = nullptr;
    PyObject* default_solver = nullptr;
    PyObject* zero_cone = nullptr;
    PyObject* nonnegative_cone = nullptr;
    std::vector<std::pair<SolverStatus, PyObject*>> statuses;  // only those this version has
    PyObject* numpy_empty = nullptr;
    PyObject* float64 = nullptr;
    PyObject* int32 = nullptr;
    PyObject* int64 = nullptr;
    PyObject* csc_matrix = nullptr;
};

ClarabelApi g_api;

// An Exception other than MemoryError: something the solver or a conversion refused.
// KeyboardInterrupt, SystemExit, MemoryError and other BaseExceptions are never swallowed.
bool pending_error_is_ordinary() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

SolveError not_solved() {
    if (PyErr_Occurred() && pending_error_is_ordinary()) {
        PyErr_Clear();
    }
    return SolveError::NotSolved;
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

void restore_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    Py_INCREF(type);
    PyObject* traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
#endif
}

// Replaces an ordinary pending exception by an ImportError naming `package`, with the
// original as its cause. A non-ordinary one (KeyboardInterrupt, ...) stays as it is.
void raise_import_error(const char* package) {
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "solving a quadratic program needs the '%s' package",
                     package);
        return;
    }
    if (!pending_error_is_ordinary()) {
        return;
    }
    Ref cause = fetch_exception();
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "solving a quadratic program needs the '%s' package: %S", package, cause.get()));
    if (!message) {
        return;
    }
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_ImportError, message.get()));
    Ref name = Ref::steal(PyUnicode_FromString(package));
    if (!error || !name || PyObject_SetAttrString(error.get(), "name", name.get()) < 0) {
        return;
    }
    PyException_SetCause(error.get(), cause.release());
    restore_exception(std::move(error));
}

Ref attribute(PyObject* object, const char* name) {
    return Ref::steal(PyObject_GetAttrString(object, name));
}

bool load_clarabel(ClarabelApi& api, std::vector<Ref>& owned) {
    Ref module = Ref::steal(PyImport_ImportModule("clarabel"));
    if (!module) {
        return false;
    }
    for (auto [slot, name] : {std::pair{&api.default_settings, "DefaultSettings"},
                              std::pair{&api.default_solver, "DefaultSolver"},
                              std::pair{&api.zero_cone, "ZeroConeT"},
                              std::pair{&api.nonnegative_cone, "NonnegativeConeT"}}) {
        Ref value = attribute(module.get(), name);
        if (!value) {
            return false;
        }
        *slot = value.get();
        owned.push_back(std::move(value));
    }
    Ref status_type = attribute(module.get(), "SolverStatus");
    if (!status_type) {
        return false;
    }
    for (const SolverStatus status : all_solver_statuses()) {
        Ref value = attribute(status_type.get(), solver_status_name(status));
        if (!value) {
            // Older versions lack some statuses; the three that decide a result must exist.
            if (!solve_error(status) || *solve_error(status) == SolveError::Infeasible ||
                !pending_error_is_ordinary()) {
                return false;
            }
            PyErr_Clear();
            continue;
        }
        api.statuses.emplace_back(status, value.get());
        owned.push_back(std::move(value));
    }
    return true;
}

bool load_numpy(ClarabelApi& api, std::vector<Ref>& owned) {
    Ref module = Ref::steal(PyImport_ImportModule("numpy"));
    if (!module) {
        return false;
    }
    for (auto [slot, name] : {std::pair{&api.numpy_empty, "empty"},
                              std::pair{&api.float64, "float64"},
                              std::pair{&api.int32, "int32"},
                              std::pair{&api.int64, "int64"}}) {
        Ref value = attribute(module.get(), name);
        if (!value) {
            return false;
        }
        *slot = value.get();
        owned.push_back(std::move(value));
    }
    return true;
}

bool load_scipy(ClarabelApi& api, std::vector<Ref>& owned) {
    Ref module = Ref::steal(PyImport_ImportModule("scipy.sparse"));
    if (!module) {
        return false;
    }
    Ref value = attribute(module.get(), "csc_matrix");
    if (!value) {
        return false;
    }
    api.csc_matrix = value.get();
    owned.push_back(std::move(value));
    return true;
}

// Fills `g_api` unless it is loaded; on failure leaves it not loaded (a later solve retries)
// with an ImportError or a non-ordinary exception set.
bool load_api() {
    if (g_api.loaded) {
        return true;
    }
    ClarabelApi api;
    std::vector<Ref> owned;
    // clarabel first, so that a machine missing everything is told about the solver.
    if (!load_clarabel(api, owned)) {
        raise_import_error("clarabel");
        return false;
    }
    if (!load_numpy(api, owned)) {
        raise_import_error("numpy");
        return false;
    }
    if (!load_scipy(api, owned)) {
        raise_import_error("scipy");
        return false;
    }
    for (Ref& ref : owned) {
        ref.release();
    }
    api.loaded = true;
    g_api = std::move(api);
    return true;
}

// A new one-dimensional NumPy array of `count` elements of `dtype` (element type T), held
// open for writing until `take` hands it over or the holder is destroyed. False when the
// array could not be made, with the Python exception set.
template <class T>
class NewArray {
public:
    NewArray(std::size_t count, PyObject* dtype) : m_count(count) {
        m_array = Ref::steal(PyObject_CallFunction(g_api.numpy_empty, "nO",
                                                   static_cast<Py_ssize_t>(count), dtype));
        if (!m_array ||
            PyObject_GetBuffer(m_array.get(), &m_view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
            return;
        }
        m_held = true;
        if (m_view.len != static_cast<Py_ssize_t>(count * sizeof(T))) {
            release_view();
            PyErr_SetString(PyExc_RuntimeError, "numpy.empty returned an array of unexpected size");
        }
    }
    NewArray(const NewArray&) = delete;
    NewArray& operator=(const NewArray&) = delete;
    ~NewArray() { release_view(); }

    explicit operator bool() const noexcept { return m_held; }
    std::span<T> data() noexcept { return {static_cast<T*>(m_view.buf), m_count}; }
    /// The array, written; the holder is empty afterwards.
    Ref take() noexcept {
        release_view();
        return std::move(m_array);
    }

private:
    void release_view() noexcept {
        if (m_held) {
            PyBuffer_Release(&m_view);
            m_held = false;
        }
    }

    std::size_t m_count;
    Ref m_array;
    Py_buffer m_view{};
    bool m_held = false;
};

// The index type scipy.sparse settles on for an m × n matrix with `entries` entries: 32 bits
// when the shape (unless it has a zero side), the entry count and every index fit, else 64
// bits. Handing over arrays of that type lets the constructor keep them as they are instead
// of checking and converting a copy.
bool fits_int32(std::size_t m, std::size_t n, std::size_t entries) {
    constexpr std::size_t kMax = INT32_MAX;
    // Row indices stay below m, and with a zero side there are no entries at all.
    const bool shape_fits = m == 0 || n == 0 || std::max(m, n) <= kMax;
    return shape_fits && entries <= kMax;
}

// scipy.sparse.csc_matrix of shape m × n with `entries` entries, whose arrays `write` fills
// through a CscStorage<Index>. What it writes is canonical (rows ascending within each
// column, no repeated position) and the matrix is marked so, sparing the solver's reader a
// scan of it.
template <class Index, class Write>
Ref python_csc_of(std::size_t m, std::size_t n, std::size_t entries, PyObject* index_dtype,
                  Write& write) {
    NewArray<double> data(entries, g_api.float64);
    if (!data) return Ref();
    NewArray<Index> indices(entries, index_dtype);
    if (!indices) return Ref();
    NewArray<Index> indptr(n + 1, index_dtype);
    if (!indptr) return Ref();
    write(CscStorage<Index>{indptr.data(), indices.data(), data.data()});

    Ref data_array = data.take();
    Ref indices_array = indices.take();
    Ref indptr_array = indptr.take();
    Ref arrays = Ref::steal(
        Py_BuildValue("(OOO)", data_array.get(), indices_array.get(), indptr_array.get()));
    if (!arrays) return arrays;
    Ref shape =
        Ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(m), static_cast<Py_ssize_t>(n)));
    if (!shape) return shape;
    Ref result = Ref::steal(
        PyObject_CallFunctionObjArgs(g_api.csc_matrix, arrays.get(), shape.get(), nullptr));
    if (result && PyObject_SetAttrString(result.get(), "has_canonical_format", Py_True) < 0) {
        // Only a shortcut: a scipy that refuses the mark still has a correct matrix.
        if (!pending_error_is_ordinary()) {
            return Ref();
        }
        PyErr_Clear();
    }
    return result;
}

template <class Write>
Ref python_csc(std::size_t m, std::size_t n, std::size_t entries, Write&& write) {
    return fits_int32(m, n, entries)
               ? python_csc_of<std::int32_t>(m, n, entries, g_api.int32, write)
               : python_csc_of<std::int64_t>(m, n, entries, g_api.int64, write);
}

Ref python_cones(const std::vector<Cone>& cones) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(cones.size())));
    if (!list) {
        return list;
    }
    for (std::size_t i = 0; i < cones.size(); ++i) {
        PyObject* type =
            cones[i].kind == ConeKind::Zero ? g_api.zero_cone : g_api.nonnegative_cone;
        Ref cone = Ref::steal(
            PyObject_CallFunction(type, "n", static_cast<Py_ssize_t>(cones[i].size)));
        if (!cone) {
            return cone;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), cone.release());
    }
    return list;
}

bool set_setting(PyObject* settings, const char* name, Ref value) {
    return value && PyObject_SetAttrString(settings, name, value.get()) == 0;
}

// A fresh DefaultSettings with our fields written over; all others stay the solver's defaults.
Ref python_settings(const ClarabelSettings& s) {
    Ref settings = Ref::steal(PyObject_CallNoArgs(g_api.default_settings));
    if (!settings) {
        return settings;
    }
    PyObject* o = settings.get();
    const bool ok =
        set_setting(o, "verbose", Ref::steal(PyBool_FromLong(s.verbose))) &&
        set_setting(o, "max_iter", Ref::steal(PyLong_FromUnsignedLong(s.max_iter))) &&
        set_setting(o, "tol_gap_abs", Ref::steal(PyFloat_FromDouble(s.tol_gap_abs))) &&
        set_setting(o, "tol_gap_rel", Ref::steal(PyFloat_FromDouble(s.tol_gap_rel))) &&
        set_setting(o, "tol_feas", Ref::steal(PyFloat_FromDouble(s.tol_feas))) &&
        set_setting(o, "iterative_refinement_reltol",
                    Ref::steal(PyFloat_FromDouble(s.iterative_refinement_reltol))) &&
        set_setting(o, "iterative_refinement_abstol",
                    Ref::steal(PyFloat_FromDouble(s.iterative_refinement_abstol)));
    return ok ? std::move(settings) : Ref();
}

// The status enum value equal to `status`; Unsolved for a value this layer does not know.
bool read_status(PyObject* status, SolverStatus& out) {
    for (const auto& [known, object] : g_api.statuses) {
        const int equal = PyObject_RichCompareBool(status, object, Py_EQ);
        if (equal < 0) {
            return false;
        }
        if (equal == 1) {
            out = known;
            return true;
        }
    }
    out = SolverStatus::Unsolved;
    return true;
}

}  // namespace

SolveResult ClarabelSolver::solve(ProblemVariables variables, QuadraticExpression objective,
                                  std::vector<Constraint> constraints) const {
    if (PyErr_Occurred()) {
        // Python must not be called with an exception pending; leave it for the caller.
        return SolveError::NotSolved;
    }
    if (!load_api()) {
        return SolveError::NotSolved;
    }
    const std::size_t n = variables.size();

    // The arrays are written straight into NumPy's memory, and each part of the symbolic
    // problem is released once it is converted, before the next part allocates. Clarabel
    // reads only the upper triangle of P.
    HessianLayout hessian = hessian_layout(objective, n, HessianStorage::UpperTriangle);
    if (hessian.size != n) {
        throw std::out_of_range("simple_qp: objective names a variable outside the problem");
    }
    Ref P = python_csc(n, n, hessian.entries(), [&](auto out) {
        write_hessian(objective, HessianStorage::UpperTriangle, hessian, out);
    });
    if (!P) return not_solved();
    NewArray<double> q_array(n, g_api.float64);
    if (!q_array) return not_solved();
    write_linear(objective, q_array.data());
    Ref q = q_array.take();
    hessian = HessianLayout();
    objective = QuadraticExpression();

    const ConstraintLayout rows = constraint_layout(variables, constraints);
    NewArray<double> b_array(rows.rows, g_api.float64);
    if (!b_array) return not_solved();
    Ref A = python_csc(rows.rows, n, rows.entries(), [&](auto out) {
        write_constraint_rows(variables, constraints, rows, out, b_array.data());
    });
    if (!A) return not_solved();
    Ref b = b_array.take();
    variables = ProblemVariables();
    constraints = std::vector<Constraint>();

    Ref cones = python_cones(rows.cones());
    if (!cones) return not_solved();
    Ref settings = python_settings(m_settings);
    if (!settings) return not_solved();

    Ref solver = Ref::steal(PyObject_CallFunctionObjArgs(g_api.default_solver, P.get(), q.get(),
                                                         A.get(), b.get(), cones.get(),
                                                         settings.get(), nullptr));
    if (!solver) return not_solved();
    Ref solution = Ref::steal(PyObject_CallMethod(solver.get(), "solve", nullptr));
    if (!solution) return not_solved();

    Ref status_object = attribute(solution.get(), "status");
    if (!status_object) return not_solved();
    SolverStatus status = SolverStatus::Unsolved;
    if (!read_status(status_object.get(), status)) return not_solved();
    if (const std::optional<SolveError> error = solve_error(status)) {
        return *error;
    }

    Ref x = attribute(solution.get(), "x");
    if (!x) return not_solved();
    Ref sequence = Ref::steal(PySequence_Fast(x.get(), "clarabel solution x is not a sequence"));
    if (!sequence) return not_solved();
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
    if (size < 0 || static_cast<std::size_t>(size) != n) {
        return SolveError::NotSolved;
    }
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        // Clarabel's list holds plain floats; anything else goes through the generic path.
        values[i] = PyFloat_CheckExact(items[i]) ? PyFloat_AS_DOUBLE(items[i])
                                                  : PyFloat_AsDouble(items[i]);
        if (values[i] == -1.0 && PyErr_Occurred()) return not_solved();
    }
    return SolvedProblem{std::move(values)};
}

}  // namespace simple_qp
