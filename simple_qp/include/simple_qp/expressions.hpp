// simple_qp/include/simple_qp/expressions.hpp: affine and quadratic expressions and their arithmetic
#pragma once

#include "simple_qp/term_map.hpp"
#include "simple_qp/variable.hpp"

namespace simple_qp {

/// Coefficient per variable of an affine expression; up to three variables (a second
/// difference, a point offset along a normal) are stored without a heap block.
using Coefficients = TermMap<Variable, VariableHash, 3>;
/// Coefficient per product term a·b (key with the smaller index first).
using QuadraticTerms = TermMap<VariablePair, VariablePairHash, 1>;

struct QuadraticExpression;

/// Σ c_v·v + constant. An entry with coefficient 0 means the same as no entry.
struct AffineExpression {
    Coefficients coefficients;
    double constant = 0.0;

    AffineExpression() = default;
    /// The variable itself: {v: 1.0}, constant 0.0.
    AffineExpression(Variable v);  // NOLINT: implicit on purpose, `e - v` reads as algebra
    /// A constant without variables.
    explicit AffineExpression(double constant);

    /// This expression times a copy of itself.
    QuadraticExpression square() const;
};

/// Σ q_ab·a·b + affine part.
struct QuadraticExpression {
    QuadraticTerms quadratic_terms;
    AffineExpression affine_part;

    /// Adds e·e: every quadratic and linear coefficient and the constant end up as after
    /// `*this += e.square()`, without building the square. Linear contributions that are zero
    /// (all of them when e has no constant) are not stored; such an entry means no term.
    QuadraticExpression& add_square(const AffineExpression& e);
};

// Operators taking an expression by value reuse its storage for the result.

/// Sums (add.cpp); coefficients of a shared variable are added, constants likewise.
AffineExpression operator+(Variable v, double k);
AffineExpression operator+(double k, Variable v);
AffineExpression operator+(Variable a, Variable b);
AffineExpression operator+(AffineExpression e, double k);
AffineExpression operator+(double k, AffineExpression e);
AffineExpression operator+(AffineExpression e, Variable v);
AffineExpression operator+(Variable v, AffineExpression e);
AffineExpression operator+(AffineExpression e, const AffineExpression& f);
AffineExpression& operator+=(AffineExpression& e, const AffineExpression& f);
QuadraticExpression operator+(QuadraticExpression q, const QuadraticExpression& r);
QuadraticExpression& operator+=(QuadraticExpression& q, const QuadraticExpression& r);
QuadraticExpression& operator+=(QuadraticExpression& q, const AffineExpression& e);

/// Differences and negation (sub.cpp); negation flips every sign, so 0.0 becomes -0.0.
AffineExpression operator-(Variable v);
AffineExpression operator-(AffineExpression e);
AffineExpression operator-(Variable v, double k);
AffineExpression operator-(double k, Variable v);
AffineExpression operator-(Variable a, Variable b);
AffineExpression operator-(AffineExpression e, double k);
AffineExpression operator-(double k, AffineExpression e);
AffineExpression operator-(AffineExpression e, Variable v);
AffineExpression operator-(Variable v, AffineExpression e);
AffineExpression operator-(AffineExpression e, const AffineExpression& f);
AffineExpression& operator-=(AffineExpression& e, const AffineExpression& f);

/// Products (mul.cpp); a product of two affine expressions is quadratic.
AffineExpression operator*(Variable v, double k);
AffineExpression operator*(double k, Variable v);
AffineExpression operator*(AffineExpression e, double k);
AffineExpression operator*(double k, AffineExpression e);
QuadraticExpression operator*(const AffineExpression& e, const AffineExpression& f);

}  // namespace simple_qp
