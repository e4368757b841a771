// simple_qp/src/expressions/quadratic_expression.cpp: evaluation of quadratic expressions
#include <stdexcept>

#include "simple_qp/expressions.hpp"

namespace simple_qp {

double QuadraticExpression::value_at(std::span<const double> x) const {
    double value = affine_part.value_at(x);
    for (const auto& [pair, q] : quadratic_terms) {
        if (pair.second.index >= x.size()) {
            throw std::out_of_range("QuadraticExpression::value_at: variable without a value");
        }
        value += q * x[pair.first.index] * x[pair.second.index];
    }
    return value;
}

}  // namespace simple_qp
