// simple_qp/src/expressions/sub.cpp: differences and negation
#include <utility>

#include "simple_qp/expressions.hpp"

namespace simple_qp {

AffineExpression operator-(AffineExpression e) {
    e.coefficients.transform_values([](double c) { return -c; });
    e.constant = -e.constant;
    return e;
}

AffineExpression operator-(Variable v, double k) {
    AffineExpression e(v);
    e.constant = -k;
    return e;
}

AffineExpression operator-(double k, Variable v) {
    AffineExpression e(k);
    e.coefficients.add(v, -1.0);
    return e;
}

AffineExpression operator-(AffineExpression e, double k) {
    e.constant = e.constant - k;
    return e;
}

AffineExpression operator-(double k, AffineExpression e) {
    e.coefficients.transform_values([](double c) { return -c; });
    e.constant = k - e.constant;
    return e;
}

AffineExpression operator-(AffineExpression e, Variable v) {
    // An entry that reaches 0.0 stays; it adds an explicit zero, never a wrong value.
    e.coefficients.add(v, -1.0);
    return e;
}

AffineExpression operator-(Variable v, AffineExpression e) {
    return v + (-std::move(e));
}

AffineExpression& operator-=(AffineExpression& e, const AffineExpression& f) {
    for (const auto& [v, c] : f.coefficients) {
        e.coefficients.add(v, -c);
    }
    e.constant -= f.constant;
    return e;
}

AffineExpression operator-(AffineExpression e, const AffineExpression& f) {
    e -= f;
    return e;
}

}  // namespace simple_qp
