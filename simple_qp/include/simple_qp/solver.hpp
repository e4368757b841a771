// simple_qp/include/simple_qp/solver.hpp: the solver interface, its settings, statuses and results
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "simple_qp/constraint.hpp"
#include "simple_qp/expressions.hpp"
#include "simple_qp/problem_variables.hpp"

namespace simple_qp {

/// The solver settings a caller may change; every other setting keeps the solver's own
/// default because the adapter never touches it.
struct ClarabelSettings {
    bool verbose;
    std::uint32_t max_iter;
    double tol_gap_abs;
    double tol_gap_rel;
    double tol_feas;
    double iterative_refinement_reltol;
    double iterative_refinement_abstol;
    bool operator==(const ClarabelSettings&) const = default;
};

/// The solver's documented defaults for the fields of `ClarabelSettings`.
ClarabelSettings clarabel_default_settings() noexcept;

/// Every status the solver can report.
enum class SolverStatus {
    Unsolved,
    Solved,
    PrimalInfeasible,
    DualInfeasible,
    AlmostSolved,
    AlmostPrimalInfeasible,
    AlmostDualInfeasible,
    MaxIterations,
    MaxTime,
    NumericalError,
    InsufficientProgress,
    CallbackTerminated,
};

/// All statuses, in declaration order.
std::span<const SolverStatus> all_solver_statuses() noexcept;
/// The status's name as the solver spells it.
const char* solver_status_name(SolverStatus status) noexcept;

/// Why a solve gave no solution.
enum class SolveError {
    Infeasible,  ///< the solver proved the problem (or its dual) infeasible
    NotSolved,   ///< anything else: limits, numerical trouble, reduced accuracy, refusal
};

/// No error for `Solved`; `Infeasible` for a proven infeasibility; otherwise `NotSolved`, so a
/// reduced-accuracy result counts as a failure.
std::optional<SolveError> solve_error(SolverStatus status) noexcept;

/// A solver's primal solution: one value per variable, in index order.
struct SolvedProblem {
    std::vector<double> solution;

    /// The values of `variables`, in the order given; throws std::out_of_range for a variable
    /// that has no value.
    std::vector<double> eval_vec(std::span<const Variable> variables) const;
};

/// Either a `SolvedProblem` or a `SolveError`.
class SolveResult {
public:
    SolveResult(SolvedProblem solved) : m_state(std::in_place_index<0>, std::move(solved)) {}
    SolveResult(SolveError error) : m_state(std::in_place_index<1>, error) {}

    bool ok() const noexcept { return m_state.index() == 0; }
    SolvedProblem& value() & { return std::get<0>(m_state); }
    const SolvedProblem& value() const& { return std::get<0>(m_state); }
    SolveError error() const { return std::get<1>(m_state); }

private:
    std::variant<SolvedProblem, SolveError> m_state;
};

/// A solver adapter. Implementations are read-only and may be shared; the inputs are taken
/// by value and released when the solve ends.
class Solver {
public:
    virtual ~Solver() = default;
    /// Minimises `objective` over `variables` subject to `constraints`.
    virtual SolveResult solve(ProblemVariables variables, QuadraticExpression objective,
                              std::vector<Constraint> constraints) const = 0;
};

}  // namespace simple_qp
