// simple_qp/src/solver.cpp: solver defaults, status names and the status -> result rule
#include "simple_qp/solver.hpp"

#include <array>
#include <stdexcept>

namespace simple_qp {

ClarabelSettings clarabel_default_settings() noexcept {
    return ClarabelSettings{
        .verbose = true,
        .max_iter = 200,
        .tol_gap_abs = 1e-8,
        .tol_gap_rel = 1e-8,
        .tol_feas = 1e-8,
        .iterative_refinement_reltol = 1e-13,
        .iterative_refinement_abstol = 1e-12,
    };
}

namespace {

constexpr std::array kStatuses{
    SolverStatus::Unsolved,
    SolverStatus::Solved,
    SolverStatus::PrimalInfeasible,
    SolverStatus::DualInfeasible,
    SolverStatus::AlmostSolved,
    SolverStatus::AlmostPrimalInfeasible,
    SolverStatus::AlmostDualInfeasible,
    SolverStatus::MaxIterations,
    SolverStatus::MaxTime,
    SolverStatus::NumericalError,
    SolverStatus::InsufficientProgress,
    SolverStatus::CallbackTerminated,
};

}  // namespace

std::span<const SolverStatus> all_solver_statuses() noexcept {
    return kStatuses;
}

const char* solver_status_name(SolverStatus status) noexcept {
    switch (status) {
        case SolverStatus::Unsolved: return "Unsolved";
        case SolverStatus::Solved: return "Solved";
        case SolverStatus::PrimalInfeasible: return "PrimalInfeasible";
        case SolverStatus::DualInfeasible: return "DualInfeasible";
        case SolverStatus::AlmostSolved: return "AlmostSolved";
        case SolverStatus::AlmostPrimalInfeasible: return "AlmostPrimalInfeasible";
        case SolverStatus::AlmostDualInfeasible: return "AlmostDualInfeasible";
        case SolverStatus::MaxIterations: return "MaxIterations";
        case SolverStatus::MaxTime: return "MaxTime";
        case SolverStatus::NumericalError: return "NumericalError";
        case SolverStatus::InsufficientProgress: return "InsufficientProgress";
        case SolverStatus::CallbackTerminated: return "CallbackTerminated";
    }
    return "Unsolved";
}

std::optional<SolveError> solve_error(SolverStatus status) noexcept {
    switch (status) {
        case SolverStatus::Solved: return std::nullopt;
        case SolverStatus::PrimalInfeasible:
        case SolverStatus::DualInfeasible: return SolveError::Infeasible;
        default: return SolveError::NotSolved;
    }
}

std::vector<double> SolvedProblem::eval_vec(std::span<const Variable> variables) const {
    std::vector<double> values;
    values.reserve(variables.size());
    for (const Variable v : variables) {
        values.push_back(solution.at(v.index));
    }
    return values;
}

}  // namespace simple_qp
