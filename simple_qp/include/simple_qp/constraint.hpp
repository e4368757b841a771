// simple_qp/include/simple_qp/constraint.hpp: equality and two-sided inequality constraints
#pragma once

#include <cstddef>
#include <optional>
#include <variant>

#include "simple_qp/expressions.hpp"

namespace simple_qp {

/// expression = 0.
struct Equality {
    AffineExpression expression;
};

/// lower <= expression <= upper, each side only when present.
struct Inequality {
    std::optional<double> lower;
    std::optional<double> upper;
    AffineExpression expression;
};

/// One constraint; the order of a constraint list fixes the order of the rows it becomes.
using Constraint = std::variant<Equality, Inequality>;

/// Rows the constraint adds to the constraint matrix: 1 for an equality, one per present
/// side of an inequality.
std::size_t row_count(const Constraint& constraint) noexcept;

}  // namespace simple_qp
