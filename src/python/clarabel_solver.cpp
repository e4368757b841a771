// src/python/clarabel_solver.cpp: hands an assembled problem to Clarabel's Python package
#include "python/clarabel_solver.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/numpy_arrays.hpp"
#include "python/ref.hpp"
#include "python/runtime_packages.hpp"
#include "simple_qp/assembly.hpp"

namespace korvane::python {

namespace {

using simple_qp::Cone;
using simple_qp::ConeKind;
using simple_qp::CscStorage;
using simple_qp::SolveError;
using simple_qp::SolveResult;

/// The outcome of a step in which the solver itself may refuse the problem: an ordinary error
/// means the problem was not solved; anything else must reach the caller.
SolveError refused() noexcept {
    return clear_if_ordinary() ? SolveError::NotSolved : SolveError::Interrupted;
}

/// A new one-dimensional NumPy array of `count` elements of T, made through NumPy's C table
/// and written in place until `take` hands it over. False when the array could not be made,
/// with MemoryError set.
template <class T>
class NewArray {
public:
    explicit NewArray(std::size_t count) : m_count(count) {
        T* data = nullptr;
        m_array = Ref::steal(new_vector<T>(count, data));
        m_data = data;
    }

    explicit operator bool() const noexcept { return static_cast<bool>(m_array); }
    std::span<T> data() noexcept { return {m_data, m_count}; }
    /// The array, written; the holder is empty afterwards.
    Ref take() noexcept { return std::move(m_array); }

private:
    std::size_t m_count;
    Ref m_array;
    T* m_data = nullptr;
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
Ref python_csc_of(const SolverPackages& packages, std::size_t m, std::size_t n, std::size_t entries,
                  Write& write) {
    NewArray<double> data(entries);
    if (!data) return Ref();
    NewArray<Index> indices(entries);
    if (!indices) return Ref();
    NewArray<Index> indptr(n + 1);
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
        PyObject_CallFunctionObjArgs(packages.csc_matrix, arrays.get(), shape.get(), nullptr));
    // Only a shortcut: a scipy that refuses the mark still has a correct matrix.
    if (result && PyObject_SetAttrString(result.get(), "has_canonical_format", Py_True) < 0 &&
        !clear_if_ordinary()) {
        return Ref();
    }
    return result;
}

template <class Write>
Ref python_csc(const SolverPackages& packages, std::size_t m, std::size_t n, std::size_t entries,
               Write&& write) {
    return fits_int32(m, n, entries) ? python_csc_of<std::int32_t>(packages, m, n, entries, write)
                                     : python_csc_of<std::int64_t>(packages, m, n, entries, write);
}

Ref python_cones(const SolverPackages& packages, const std::vector<Cone>& cones) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(cones.size())));
    if (!list) {
        return list;
    }
    for (std::size_t i = 0; i < cones.size(); ++i) {
        PyObject* type =
            cones[i].kind == ConeKind::Zero ? packages.zero_cone : packages.nonnegative_cone;
        Ref cone =
            Ref::steal(PyObject_CallFunction(type, "n", static_cast<Py_ssize_t>(cones[i].size)));
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
Ref python_settings(const SolverPackages& packages, const ClarabelSettings& s) {
    Ref settings = Ref::steal(PyObject_CallNoArgs(packages.default_settings));
    if (!settings) {
        return settings;
    }
    PyObject* o = settings.get();
    const bool ok = set_setting(o, "verbose", Ref::steal(PyBool_FromLong(s.verbose))) &&
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

/// What a status means: no error for "Solved", `Infeasible` for a proven infeasibility, and
/// `NotSolved` for every other status (a reduced-accuracy result counts as a failure) and for
/// a status this adapter does not know. False with an error pending when comparing failed.
bool read_status(const SolverPackages& packages, PyObject* status, std::optional<SolveError>& out) {
    for (const auto& [name, object] : packages.statuses) {
        const int equal = PyObject_RichCompareBool(status, object, Py_EQ);
        if (equal < 0) {
            return false;
        }
        if (equal == 1) {
            if (std::strcmp(name, "Solved") == 0) {
                out.reset();
            } else if (std::strcmp(name, "PrimalInfeasible") == 0 ||
                       std::strcmp(name, "DualInfeasible") == 0) {
                out = SolveError::Infeasible;
            } else {
                out = SolveError::NotSolved;
            }
            return true;
        }
    }
    out = SolveError::NotSolved;
    return true;
}

/// The solution `x`, one float per variable; its items are copied into a tuple first, so the
/// float conversion of one item cannot take the others away.
SolveResult read_solution(PyObject* x, std::size_t n) {
    Ref items = Ref::steal(PySequence_Tuple(x));
    if (!items) {
        return refused();
    }
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())) != n) {
        return SolveError::NotSolved;
    }
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        // Clarabel's list holds plain floats; anything else converts as a float argument does.
        if (!convert(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), values[i])) {
            return refused();
        }
    }
    return simple_qp::SolvedProblem{std::move(values)};
}

}  // namespace

SolveResult ClarabelSolver::solve(simple_qp::ProblemVariables variables,
                                  simple_qp::QuadraticExpression objective,
                                  std::vector<simple_qp::Constraint> constraints) const {
    if (PyErr_Occurred()) {
        // Python must not be called with an exception pending; leave it for the caller.
        return SolveError::Interrupted;
    }
    const SolverPackages* found = solver_packages();
    if (found == nullptr) {
        return SolveError::Interrupted;
    }
    if (numpy_api() == nullptr) {
        return SolveError::Interrupted;
    }
    const SolverPackages& packages = *found;
    const std::size_t n = variables.size();

    // Handing the problem over: any failure here is not the solver's verdict on the problem.
    // The arrays are written straight into NumPy's memory, and each part of the symbolic
    // problem is released once it is converted, before the next part allocates. Clarabel
    // reads only the upper triangle of P.
    simple_qp::HessianLayout hessian = simple_qp::hessian_layout(objective, n);
    if (hessian.size != n) {
        throw std::out_of_range("simple_qp: objective names a variable outside the problem");
    }
    Ref P = python_csc(packages, n, n, hessian.entries(),
                       [&](auto out) { simple_qp::write_hessian(objective, hessian, out); });
    if (!P) return SolveError::Interrupted;
    NewArray<double> q_array(n);
    if (!q_array) return SolveError::Interrupted;
    simple_qp::write_linear(objective, q_array.data());
    Ref q = q_array.take();
    hessian = simple_qp::HessianLayout();
    objective = simple_qp::QuadraticExpression();

    const simple_qp::ConstraintLayout rows = simple_qp::constraint_layout(variables, constraints);
    NewArray<double> b_array(rows.rows);
    if (!b_array) return SolveError::Interrupted;
    Ref A = python_csc(packages, rows.rows, n, rows.entries(), [&](auto out) {
        simple_qp::write_constraint_rows(variables, constraints, rows, out, b_array.data());
    });
    if (!A) return SolveError::Interrupted;
    Ref b = b_array.take();
    variables = simple_qp::ProblemVariables();
    constraints = std::vector<simple_qp::Constraint>();

    Ref cones = python_cones(packages, rows.cones());
    if (!cones) return SolveError::Interrupted;
    Ref settings = python_settings(packages, m_settings);
    if (!settings) return SolveError::Interrupted;

    // The solver's own part: it may refuse the problem, and it reports how the solve went.
    Ref solver =
        Ref::steal(PyObject_CallFunctionObjArgs(packages.default_solver, P.get(), q.get(), A.get(),
                                                b.get(), cones.get(), settings.get(), nullptr));
    if (!solver) return refused();
    Ref solution = Ref::steal(PyObject_CallMethod(solver.get(), "solve", nullptr));
    if (!solution) return refused();
    Ref status = Ref::steal(PyObject_GetAttrString(solution.get(), "status"));
    if (!status) return refused();
    std::optional<SolveError> error;
    if (!read_status(packages, status.get(), error)) return refused();
    if (error) {
        return *error;
    }
    Ref x = Ref::steal(PyObject_GetAttrString(solution.get(), "x"));
    if (!x) return refused();
    return read_solution(x.get(), n);
}

}  // namespace korvane::python
