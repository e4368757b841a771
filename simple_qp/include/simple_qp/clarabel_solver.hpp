// simple_qp/include/simple_qp/clarabel_solver.hpp: the solver adapter that runs Clarabel's Python package
#pragma once

#include "simple_qp/solver.hpp"

namespace simple_qp {

/// Solves through the `clarabel` Python package (with numpy and scipy.sparse), imported on the
/// first solve and kept. Must be called with the GIL held.
///
/// Error contract: a failed solve returns a `SolveError` and may leave a Python exception set,
/// so the caller must check PyErr_Occurred() after every solve and raise what it finds:
/// - `clarabel`, `numpy` or `scipy` cannot be loaded: ImportError naming the package (the
///   original error chained as its cause), `NotSolved`;
/// - Clarabel or the conversion raises an ordinary Exception (it refuses the data, say): the
///   exception is cleared, `NotSolved`;
/// - KeyboardInterrupt, SystemExit, MemoryError or any other BaseException that is not an
///   Exception: left set, `NotSolved`.
/// A status other than Solved returns its `SolveError` with no exception set.
class ClarabelSolver final : public Solver {
public:
    explicit ClarabelSolver(ClarabelSettings settings) : m_settings(settings) {}

    /// The settings every solve starts from.
    const ClarabelSettings& settings() const noexcept { return m_settings; }

    SolveResult solve(ProblemVariables variables, QuadraticExpression objective,
                      std::vector<Constraint> constraints) const override;

private:
    ClarabelSettings m_settings;
};

}  // namespace simple_qp
