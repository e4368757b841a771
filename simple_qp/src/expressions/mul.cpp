// simple_qp/src/expressions/mul.cpp: scaling and the product of two affine expressions
#include <iterator>
#include <utility>

#include "simple_qp/expressions.hpp"

namespace simple_qp {

AffineExpression operator*(Variable v, double k) {
    AffineExpression e;
    e.coefficients.add(v, k);
    return e;
}

AffineExpression operator*(double k, Variable v) {
    return v * k;
}

AffineExpression operator*(AffineExpression e, double k) {
    e.coefficients.transform_values([k](double c) { return c * k; });
    e.constant = e.constant * k;
    return e;
}

AffineExpression operator*(double k, AffineExpression e) {
    return std::move(e) * k;
}

QuadraticExpression operator*(const AffineExpression& e, const AffineExpression& f) {
    QuadraticExpression result;
    // One entry per key: a_i·b_j and a_j·b_i are summed under the key (i, j) right here.
    result.quadratic_terms.reserve(e.coefficients.size() * f.coefficients.size());
    for (const auto& [a, ca] : e.coefficients) {
        for (const auto& [b, cb] : f.coefficients) {
            add_term(result.quadratic_terms, VariablePair::ordered(a, b), ca * cb);
        }
    }
    // Entries are made for every variable of e or f even when the constants are zero.
    Coefficients& linear = result.affine_part.coefficients;
    linear.reserve(e.coefficients.size() + f.coefficients.size());
    for (const auto& [b, cb] : f.coefficients) {
        linear.add(b, e.constant * cb);
    }
    for (const auto& [a, ca] : e.coefficients) {
        linear.add(a, f.constant * ca);
    }
    result.affine_part.constant = e.constant * f.constant;
    return result;
}

QuadraticExpression& QuadraticExpression::add_square(const AffineExpression& e) {
    // One entry per key of e·e, valued exactly as the product rule forms it: c_i·c_i on the
    // diagonal, c_i·c_j + c_j·c_i (equal products) off it, and c0·c_i + c_i·c0 for the linear
    // part. Keys come in the order e·e first forms them.
    const Coefficients& c = e.coefficients;
    for (auto i = c.begin(); i != c.end(); ++i) {
        quadratic_terms.push_back({VariablePair{i->key, i->key}, i->value * i->value});
        for (auto j = std::next(i); j != c.end(); ++j) {
            const double product = i->value * j->value;
            quadratic_terms.push_back({VariablePair::ordered(i->key, j->key), product + product});
        }
    }
    // A zero contribution cannot change a coefficient that the solver sees: x + 0 == x for
    // every non-zero x, and a coefficient that stays zero (of either sign) is still zero.
    for (const auto& [v, cv] : c) {
        const double product = e.constant * cv;
        const double linear = product + product;
        if (linear != 0.0) {
            affine_part.coefficients.add(v, linear);
        }
    }
    affine_part.constant += e.constant * e.constant;
    return *this;
}

}  // namespace simple_qp
