// src/python/clarabel_solver.hpp: the solver adapter that runs Clarabel's Python package
#pragma once

#include <cstdint>

#include "simple_qp/solver.hpp"

namespace korvane::python {

/// The Clarabel settings the adapter writes; every other setting keeps the solver's default.
struct ClarabelSettings {
    bool verbose;
    std::uint32_t max_iter;
    double tol_gap_abs;
    double tol_gap_rel;
    double tol_feas;
    double iterative_refinement_reltol;
    double iterative_refinement_abstol;
};

/// The elastic band's settings: quiet, and tolerances loose enough for geometry in the
/// caller's length unit.
inline constexpr ClarabelSettings kElasticBandSettings{
    .verbose = false,
    .max_iter = 1000,
    .tol_gap_abs = 1e-4,
    .tol_gap_rel = 1e-4,
    .tol_feas = 1e-4,
    .iterative_refinement_reltol = 1e-4,
    .iterative_refinement_abstol = 1e-4,
};

/// Solves through the `clarabel` Python package (with numpy and scipy.sparse), looked up on the
/// first solve. Runs Python code: call it with the interpreter lock held and no path borrowed.
///
/// Outcomes: `Solved` gives the solution; a proven infeasibility `Infeasible`; every other
/// status, a solution that cannot be read, or an ordinary error that the solver raised while
/// taking or solving the problem `NotSolved`, with no error pending. `Interrupted` leaves an
/// error pending for the caller to raise: ImportError for a missing package, or an error that
/// must reach the caller unchanged (KeyboardInterrupt, MemoryError, RecursionError, an error
/// of the caller's signal handlers, ...), and any error met while handing the problem over.
class ClarabelSolver final : public simple_qp::Solver {
public:
    explicit ClarabelSolver(ClarabelSettings settings) : m_settings(settings) {}

    simple_qp::SolveResult solve(simple_qp::ProblemVariables variables,
                                 simple_qp::QuadraticExpression objective,
                                 std::vector<simple_qp::Constraint> constraints) const override;

private:
    ClarabelSettings m_settings;
};

}  // namespace korvane::python
