// simple_qp/src/expressions/variable.cpp: arithmetic whose operands are all plain variables
#include "simple_qp/expressions.hpp"

namespace simple_qp {

AffineExpression operator+(Variable a, Variable b) {
    AffineExpression e(a);
    e.coefficients.add(b, 1.0);
    return e;
}

AffineExpression operator-(Variable a, Variable b) {
    AffineExpression e(a);
    e.coefficients.add(b, -1.0);
    return e;
}

AffineExpression operator-(Variable v) {
    return -AffineExpression(v);
}

}  // namespace simple_qp
