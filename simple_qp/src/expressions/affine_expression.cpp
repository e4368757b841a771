// simple_qp/src/expressions/affine_expression.cpp: construction of affine expressions
#include "simple_qp/expressions.hpp"

namespace simple_qp {

AffineExpression::AffineExpression(Variable v) {
    coefficients.add(v, 1.0);
}

AffineExpression::AffineExpression(double constant) : constant(constant) {}

}  // namespace simple_qp
