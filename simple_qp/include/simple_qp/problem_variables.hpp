// simple_qp/include/simple_qp/problem_variables.hpp: the registry of decision variables
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "simple_qp/variable.hpp"

namespace simple_qp {

/// Box bounds of one variable; an absent side is unbounded.
struct VariableBounds {
    std::optional<double> lower;  ///< variable >= lower when present
    std::optional<double> upper;  ///< variable <= upper when present
};

/// The variables one `add_vector` call created: indices first .. first + count - 1, all with
/// the same bounds.
struct VariableRun {
    std::size_t first;
    std::size_t count;
    VariableBounds bounds;
};

/// Issues variables with dense indices 0, 1, 2, ... and keeps their bounds in that order. The
/// bounds are kept once per `add_vector` call, not once per variable: a problem with many
/// variables then costs one record per group.
class ProblemVariables {
public:
    /// Appends `count` variables with the same bounds; returns their handles in creation order.
    std::vector<Variable> add_vector(std::size_t count, std::optional<double> lower,
                                     std::optional<double> upper);

    /// The number of variables issued so far.
    std::size_t size() const noexcept { return m_size; }
    /// All variables in index order, one run per `add_vector` call that created any.
    std::span<const VariableRun> runs() const noexcept { return m_runs; }

private:
    std::vector<VariableRun> m_runs;
    std::size_t m_size = 0;
};

}  // namespace simple_qp
