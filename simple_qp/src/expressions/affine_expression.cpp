// simple_qp/src/expressions/affine_expression.cpp: construction and evaluation of affine expressions
#include <stdexcept>

#include "simple_qp/expressions.hpp"

namespace simple_qp {

AffineExpression::AffineExpression(Variable v) {
    coefficients.add(v, 1.0);
}

AffineExpression::AffineExpression(double constant) : constant(constant) {}

double AffineExpression::value_at(std::span<const double> x) const {
    double value = constant;
    for (const auto& [v, c] : coefficients) {
        if (v.index >= x.size()) {
            throw std::out_of_range("AffineExpression::value_at: variable without a value");
        }
        value += c * x[v.index];
    }
    return value;
}

}  // namespace simple_qp
