// tests/cpp/simple_qp/test_expressions.cpp: variables, affine and quadratic expressions
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "reference.hpp"
#include "simple_qp/expressions.hpp"
#include "simple_qp/problem_variables.hpp"

namespace {

using simple_qp::AffineExpression;
using simple_qp::QuadraticExpression;
using simple_qp::Variable;
using simple_qp::VariablePair;
using simple_qp::testing::coefficient_of;
using simple_qp::testing::linear_as_vector;
using simple_qp::testing::square;
using simple_qp::testing::value_at;
using simple_qp::testing::variable_bounds;

// Key -> coefficient as an ordered map, so expectations compare whole expressions.
std::map<std::size_t, double> coefficients_of(const AffineExpression& e) {
    std::map<std::size_t, double> out;
    for (const auto& [v, c] : e.coefficients) {
        EXPECT_TRUE(out.emplace(v.index, c).second) << "two entries for variable " << v.index;
    }
    return out;
}

std::map<std::pair<std::size_t, std::size_t>, double> terms_of(const QuadraticExpression& q) {
    std::map<std::pair<std::size_t, std::size_t>, double> out;
    for (const auto& [key, c] : q.quadratic_terms) {
        EXPECT_LE(key.first.index, key.second.index);
        EXPECT_TRUE(out.emplace(std::pair{key.first.index, key.second.index}, c).second);
    }
    return out;
}

std::vector<Variable> variables(std::size_t count) {
    simple_qp::ProblemVariables registry;
    return registry.add_vector(count, std::nullopt, std::nullopt);
}

TEST(ProblemVariables, AddVectorIssuesDenseIndicesWithBounds) {
    simple_qp::ProblemVariables registry;
    EXPECT_TRUE(registry.add_vector(0, 1.0, 2.0).empty());
    EXPECT_EQ(registry.size(), 0u);
    const auto a = registry.add_vector(3, std::nullopt, 5.0);
    const auto b = registry.add_vector(3, -1.0, std::nullopt);
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(b.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(a[i].index, i);
        EXPECT_EQ(b[i].index, 3 + i);
    }
    ASSERT_EQ(registry.size(), 6u);
    EXPECT_FALSE(variable_bounds(registry, 2).lower);
    EXPECT_EQ(variable_bounds(registry, 2).upper, 5.0);
    EXPECT_EQ(variable_bounds(registry, 3).lower, -1.0);
    EXPECT_FALSE(variable_bounds(registry, 3).upper);
    EXPECT_EQ(variable_bounds(registry, 5).lower, -1.0);
    EXPECT_THROW(variable_bounds(registry, 6), std::out_of_range);
    // One run per call that created variables, in index order.
    const auto runs = registry.runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].first, 0u);
    EXPECT_EQ(runs[0].count, 3u);
    EXPECT_EQ(runs[1].first, 3u);
    EXPECT_EQ(runs[1].count, 3u);
    EXPECT_EQ(runs[1].bounds.lower, -1.0);
}

TEST(AffineExpression, OperatorsGiveTheDocumentedCoefficients) {
    const Variable v{5};
    const Variable w{2};
    struct Case {
        const char* name;
        AffineExpression e;
        std::map<std::size_t, double> coefficients;
        double constant;
    };
    AffineExpression base = v * 3.0 + 4.0;  // {5: 3}, 4
    const std::vector<Case> cases = {
        {"from variable", AffineExpression(v), {{5, 1.0}}, 0.0},
        {"v * k", v * 2.5, {{5, 2.5}}, 0.0},
        {"k * v", 2.5 * v, {{5, 2.5}}, 0.0},
        {"v - k", v - 1.0, {{5, 1.0}}, -1.0},
        {"constant - v", AffineExpression(-1.0) - v, {{5, -1.0}}, -1.0},
        {"e - k", base - 1.5, {{5, 3.0}}, 2.5},
        {"k + e", 1.5 + base, {{5, 3.0}}, 5.5},
        {"e - v (present)", base - v, {{5, 2.0}}, 4.0},
        {"e - v (absent)", base - w, {{5, 3.0}, {2, -1.0}}, 4.0},
        {"e + v", base + w, {{5, 3.0}, {2, 1.0}}, 4.0},
        {"-e", -base, {{5, -3.0}}, -4.0},
        {"e * k", base * 2.0, {{5, 6.0}}, 8.0},
        {"v - w", v - w, {{5, 1.0}, {2, -1.0}}, 0.0},
        {"k - e", 10.0 - base, {{5, -3.0}}, 6.0},
        {"v - e", w - base, {{2, 1.0}, {5, -3.0}}, -4.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(coefficients_of(c.e), c.coefficients);
        EXPECT_EQ(c.e.constant, c.constant);
    }
}

TEST(AffineExpression, ExplicitZerosAndSignedZerosAreKept) {
    const Variable v{0};
    // e - v cancelling an entry leaves an explicit 0.0 rather than dropping it.
    const AffineExpression cancelled = AffineExpression(v) - v;
    ASSERT_NE(coefficient_of(cancelled.coefficients, v), nullptr);
    EXPECT_EQ(*coefficient_of(cancelled.coefficients, v), 0.0);
    // Negation flips signs, so a zero constant becomes -0.0.
    const AffineExpression negated = -(2.0 * v);
    EXPECT_EQ(coefficients_of(negated), (std::map<std::size_t, double>{{0, -2.0}}));
    EXPECT_TRUE(std::signbit(negated.constant));
}

TEST(AffineExpression, PlusAssignAddsKeywise) {
    const auto x = variables(3);
    AffineExpression e = x[0] * 1.0 + x[1];
    e.constant = 1.0;
    AffineExpression f = x[1] * 2.0 + x[2];
    f.constant = 0.5;
    e += f;
    EXPECT_EQ(coefficients_of(e), (std::map<std::size_t, double>{{0, 1.0}, {1, 3.0}, {2, 1.0}}));
    EXPECT_EQ(e.constant, 1.5);
    EXPECT_EQ(coefficients_of(f), (std::map<std::size_t, double>{{1, 2.0}, {2, 1.0}}));
}

TEST(QuadraticExpression, SquareOfSecondDifferenceInAnyBuildOrder) {
    const auto x = variables(3);
    const std::vector<AffineExpression> builds = {
        x[0] - 2.0 * x[1] + x[2],
        -(2.0 * x[1]) + x[2] + x[0],
        x[2] + (x[0] - x[1] * 2.0),
    };
    const std::map<std::pair<std::size_t, std::size_t>, double> expected = {
        {{0, 0}, 1.0}, {{1, 1}, 4.0}, {{2, 2}, 1.0}, {{0, 1}, -4.0}, {{0, 2}, 2.0}, {{1, 2}, -4.0},
    };
    for (const AffineExpression& e : builds) {
        const QuadraticExpression q = square(e);
        EXPECT_EQ(terms_of(q), expected);
        // The zero constant still creates an affine entry per variable, each of value zero.
        const auto affine = coefficients_of(q.affine_part);
        EXPECT_EQ(affine.size(), 3u);
        for (const auto& [index, c] : affine) {
            EXPECT_EQ(c, 0.0) << index;
        }
        EXPECT_EQ(q.affine_part.constant, 0.0);
    }
}

TEST(QuadraticExpression, ProductRuleKeysAndAffinePart) {
    const Variable x1{1};
    const Variable x3{3};
    // (x3 + 2)·(5·x1 - 1): product term under the key (1, 3), linear parts from the constants.
    const QuadraticExpression q = (x3 + 2.0) * (5.0 * x1 - 1.0);
    EXPECT_EQ(terms_of(q), (std::map<std::pair<std::size_t, std::size_t>, double>{{{1, 3}, 5.0}}));
    EXPECT_EQ(coefficients_of(q.affine_part),
              (std::map<std::size_t, double>{{1, 10.0}, {3, -1.0}}));
    EXPECT_EQ(q.affine_part.constant, -2.0);
    // Both orders of a product land on the one key.
    EXPECT_EQ(terms_of(AffineExpression(x3) * AffineExpression(x1)),
              terms_of(AffineExpression(x1) * AffineExpression(x3)));

    const QuadraticExpression constant_square = square(AffineExpression(3.0));
    EXPECT_TRUE(constant_square.quadratic_terms.empty());
    EXPECT_TRUE(constant_square.affine_part.coefficients.empty());
    EXPECT_EQ(constant_square.affine_part.constant, 9.0);
}

TEST(QuadraticExpression, AccumulatedSquaresMatchDirectEvaluation) {
    // Many overlapping squares: the accumulated expression must still evaluate like the sum of
    // its parts.
    const std::size_t n = 300;
    const auto x = variables(n);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> value(-2.0, 2.0);
    std::vector<double> point(n);
    for (double& p : point)
        p = value(rng);

    QuadraticExpression total;
    double expected = 0.0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const AffineExpression e = -(2.0 * x[i]) + x[i + 1] + x[(i * 37) % n] + 0.25;
        total += square(e);
        const double r = value_at(e, point);
        expected += r * r;
    }
    EXPECT_NEAR(value_at(total, point), expected, 1e-9 * std::abs(expected));
}

// Entries in iteration order, values as bit patterns so that -0.0 and 0.0 differ.
template <class Map>
std::vector<std::pair<std::uint64_t, std::uint64_t>> raw_entries(const Map& map) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (const auto& entry : map) {
        std::uint64_t key = 0;
        if constexpr (requires { entry.key.first; }) {
            key = (entry.key.first.index << 32) | entry.key.second.index;
        } else {
            key = entry.key.index;
        }
        out.emplace_back(key, std::bit_cast<std::uint64_t>(entry.value));
    }
    return out;
}

std::vector<std::uint64_t> raw_bits(const std::vector<double>& values) {
    std::vector<std::uint64_t> out;
    for (const double v : values)
        out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}

TEST(QuadraticExpression, AddSquareMatchesAccumulatedProducts) {
    // add_square must leave every value the solver sees bit for bit as `+= square(e)` does,
    // over coefficients that are zero of either sign and keys repeated across squares.
    const std::size_t n = 40;
    const auto x = variables(n);
    std::mt19937 rng(19);
    std::uniform_int_distribution<std::size_t> pick(0, n - 1);
    std::uniform_int_distribution<int> count(0, 5);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    const auto coefficient = [&] {
        switch (kind(rng)) {
            case 0: return 0.0;
            case 1: return -0.0;
            case 2: return 1e-200;  // its square underflows to zero
            default: return value(rng);
        }
    };
    for (int trial = 0; trial < 20; ++trial) {
        QuadraticExpression reference;
        QuadraticExpression direct;
        for (int k = 0; k < 60; ++k) {
            AffineExpression e(coefficient());
            for (int m = count(rng); m > 0; --m) {
                e += x[pick(rng)] * coefficient();
            }
            reference += square(e);
            direct.add_square(e);
        }
        EXPECT_EQ(raw_entries(direct.quadratic_terms), raw_entries(reference.quadratic_terms));
        EXPECT_EQ(raw_bits(linear_as_vector(direct, n)), raw_bits(linear_as_vector(reference, n)));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(direct.affine_part.constant),
                  std::bit_cast<std::uint64_t>(reference.affine_part.constant));
        // Only zero linear entries may be missing.
        for (const auto& [v, c] : reference.affine_part.coefficients) {
            const double* stored = coefficient_of(direct.affine_part.coefficients, v);
            if (stored == nullptr) {
                EXPECT_EQ(c, 0.0) << v.index;
            } else {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(*stored), std::bit_cast<std::uint64_t>(c));
            }
        }
    }
}

}  // namespace
