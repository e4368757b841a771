// simple_qp/include/simple_qp/variable.hpp: variable handles and the keys of product terms
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>

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

/// Raw 64-bit key of a variable; `TermMap` scrambles it before use.
struct VariableHash {
    std::uint64_t operator()(Variable v) const noexcept { return v.index; }
};

/// Raw 64-bit key of a pair; distinct for indices below 2^32, still correct above.
struct VariablePairHash {
    std::uint64_t operator()(VariablePair p) const noexcept {
        return (static_cast<std::uint64_t>(p.first.index) << 32) ^ p.second.index;
    }
};

}  // namespace simple_qp

template <>
struct std::hash<simple_qp::Variable> {
    std::size_t operator()(simple_qp::Variable v) const noexcept { return v.index; }
};
