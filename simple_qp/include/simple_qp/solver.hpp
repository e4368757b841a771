// simple_qp/include/simple_qp/solver.hpp: the solver interface and its results
#pragma once

#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "simple_qp/constraint.hpp"
#include "simple_qp/expressions.hpp"
#include "simple_qp/problem_variables.hpp"

namespace simple_qp {

/// Why a solve gave no solution.
enum class SolveError {
    Infeasible,   ///< the solver proved the problem (or its dual) infeasible
    NotSolved,    ///< anything else the solver reported: limits, numerical trouble, reduced
                  ///< accuracy, refusal of the problem
    Interrupted,  ///< no verdict on the problem: the solver's host stopped the solve with an
                  ///< error of its own, which the caller must report
};

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
