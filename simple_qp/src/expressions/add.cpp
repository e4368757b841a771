// simple_qp/src/expressions/add.cpp: sums of variables, constants and expressions
#include <utility>

#include "simple_qp/expressions.hpp"

namespace simple_qp {

AffineExpression operator+(Variable v, double k) {
    AffineExpression e(v);
    e.constant = k;
    return e;
}

AffineExpression operator+(double k, Variable v) {
    return v + k;
}

AffineExpression operator+(AffineExpression e, double k) {
    e.constant = e.constant + k;
    return e;
}

AffineExpression operator+(double k, AffineExpression e) {
    e.constant = k + e.constant;
    return e;
}

AffineExpression operator+(AffineExpression e, Variable v) {
    e.coefficients.add(v, 1.0);
    return e;
}

AffineExpression operator+(Variable v, AffineExpression e) {
    return std::move(e) + v;
}

AffineExpression& operator+=(AffineExpression& e, const AffineExpression& f) {
    for (const auto& [v, c] : f.coefficients) {
        e.coefficients.add(v, c);
    }
    e.constant += f.constant;
    return e;
}

AffineExpression operator+(AffineExpression e, const AffineExpression& f) {
    return std::move(e += f);
}

QuadraticExpression& operator+=(QuadraticExpression& q, const QuadraticExpression& r) {
    q.quadratic_terms.insert(q.quadratic_terms.end(), r.quadratic_terms.begin(),
                             r.quadratic_terms.end());
    q.affine_part += r.affine_part;
    return q;
}

QuadraticExpression operator+(QuadraticExpression q, const QuadraticExpression& r) {
    return std::move(q += r);
}

QuadraticExpression& operator+=(QuadraticExpression& q, const AffineExpression& e) {
    q.affine_part += e;
    return q;
}

}  // namespace simple_qp
