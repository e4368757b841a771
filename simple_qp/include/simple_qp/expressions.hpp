// simple_qp/include/simple_qp/expressions.hpp: affine and quadratic expressions and their arithmetic
#pragma once

#include <cstddef>
#include <vector>

#include "simple_qp/variable.hpp"

namespace simple_qp {

/// A coefficient and what it multiplies: a variable, or the key of a product term.
template <class Key>
struct Term {
    Key key;
    double value;
};

/// Adds `value` to the entry of `key` (stored + value), appending an entry when there is none.
/// A scan: the lists it serves hold a handful of entries.
template <class Key>
void add_term(std::vector<Term<Key>>& terms, Key key, double value) {
    for (Term<Key>& term : terms) {
        if (term.key == key) {
            term.value += value;
            return;
        }
    }
    terms.push_back(Term<Key>{key, value});
}

/// Coefficient per variable of an affine expression, each variable once, in the order the
/// variables first appeared. Expressions hold one to three variables (a second difference, a
/// point offset along a normal), so lookups scan.
class Coefficients {
public:
    using const_iterator = std::vector<Term<Variable>>::const_iterator;

    std::size_t size() const noexcept { return m_terms.size(); }
    bool empty() const noexcept { return m_terms.empty(); }
    const_iterator begin() const noexcept { return m_terms.begin(); }
    const_iterator end() const noexcept { return m_terms.end(); }
    void reserve(std::size_t count) { m_terms.reserve(count); }

    /// Adds c to the coefficient of v, inserting the entry when absent.
    void add(Variable v, double c) {
        if (m_terms.capacity() == 0) {
            m_terms.reserve(3);  // the usual expression in one allocation
        }
        add_term(m_terms, v, c);
    }
    /// Replaces every coefficient c by f(c); variables stay as they are.
    template <class F>
    void transform_values(F f) {
        for (Term<Variable>& term : m_terms) {
            term.value = f(term.value);
        }
    }

private:
    std::vector<Term<Variable>> m_terms;
};

/// Product terms a·b keyed with the smaller index first, in the order they were added. A key
/// may have several entries: an objective gathers thousands of overlapping squares, and their
/// keys are merged once, at assembly. The coefficient of a·b is the sum of its entries in list
/// order.
using QuadraticTerms = std::vector<Term<VariablePair>>;

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
};

/// Σ q_ab·a·b + affine part.
struct QuadraticExpression {
    QuadraticTerms quadratic_terms;
    AffineExpression affine_part;

    /// Adds e·e: every quadratic and linear coefficient and the constant end up as after
    /// `*this += e * e`, without building the square. Linear contributions that are zero
    /// (all of them when e has no constant) are not stored; such an entry means no term.
    QuadraticExpression& add_square(const AffineExpression& e);
};

// Operators taking an expression by value reuse its storage for the result.

/// Sums (add.cpp); coefficients of a shared variable are added, constants likewise; Q + R
/// appends R's product terms to Q's.
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
