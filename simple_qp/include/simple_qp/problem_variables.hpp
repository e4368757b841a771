// simple_qp/include/simple_qp/problem_variables.hpp: the registry of decision variables
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "simple_qp/variable.hpp"

namespace simple_qp {

/// Box bounds of one variable; an absent side is unbounded.
struct VariableBounds {
    std::optional<double> lower;  ///< variable >= lower when present
    std::optional<double> upper;  ///< variable <= upper when present
};

/// Issues variables with dense indices 0, 1, 2, ... and keeps their bounds in that order.
class ProblemVariables {
public:
    /// Appends `count` variables with the same bounds; returns their handles in creation order.
    std::vector<Variable> add_vector(std::size_t count, std::optional<double> lower,
                                     std::optional<double> upper);

    /// The number of variables issued so far.
    std::size_t size() const noexcept { return m_bounds.size(); }
    /// Bounds per variable, indexed by `Variable::index`.
    const std::vector<VariableBounds>& bounds() const noexcept { return m_bounds; }

private:
    std::vector<VariableBounds> m_bounds;
};

}  // namespace simple_qp
