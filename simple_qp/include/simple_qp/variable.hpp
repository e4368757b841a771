// simple_qp/include/simple_qp/variable.hpp: variable handles and the keys of product terms
#pragma once

#include <compare>
#include <cstddef>

namespace simple_qp {

/// Handle of one decision variable: its position in the registry that issued it.
struct Variable {
    std::size_t index;
    friend bool operator==(Variable, Variable) = default;
    friend auto operator<=>(Variable, Variable) = default;
};

/// Key of a product term a·b; `first` never has the larger index, so a·b and b·a share one key.
struct VariablePair {
    Variable first;
    Variable second;

    /// The key of a·b, smaller index first.
    static VariablePair ordered(Variable a, Variable b) noexcept {
        return a.index <= b.index ? VariablePair{a, b} : VariablePair{b, a};
    }
    friend bool operator==(VariablePair, VariablePair) = default;
};

}  // namespace simple_qp
