// tests/cpp/spline/test_spline.cpp: spline building, sampling and evenly spaced values
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>

#include "spline/spline.hpp"

using korvane::linspace;
using korvane::make_spline;
using korvane::sample_with_key;
using korvane::SortedSpline;
using korvane::Spline;
using korvane::SplineInterpolation;
using korvane::SplineKey;
using korvane::SplineSample;
using korvane::SplineWalker;

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

std::vector<double> key_parameters(const Spline& s) {
    std::vector<double> t;
    for (const SplineKey& k : s.keys()) {
        t.push_back(k.t);
    }
    return t;
}

// The literal recipe on finite parameters: sort, insert each guard, sort again, all stable.
std::vector<SplineKey> reference_keys(const std::vector<double>& t, const std::vector<double>& v,
                                      SplineInterpolation kind) {
    const auto less = [](const SplineKey& a, const SplineKey& b) { return a.t < b.t; };
    std::vector<SplineKey> keys;
    for (std::size_t i = 0; i < std::min(t.size(), v.size()); ++i) {
        keys.push_back({t[i], v[i], kind});
    }
    std::stable_sort(keys.begin(), keys.end(), less);
    keys.insert(keys.begin(), SplineKey{-1.0, v.front(), kind});
    std::stable_sort(keys.begin(), keys.end(), less);
    for (const double offset : {0.01, 0.02}) {
        keys.push_back({t.back() + offset, v.back(), kind});
        std::stable_sort(keys.begin(), keys.end(), less);
    }
    return keys;
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_sample(const std::optional<SplineSample>& a, const std::optional<SplineSample>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a || (same_bits(a->value, b->value) && a->index == b->index);
}

// Whether `make_spline` leaves `t` in order with the leading guard first, as SortedSpline
// requires: `t` non-empty, ascending, without NaN, and not below -1.
bool accepted_by_sorted_spline(std::span<const double> t) {
    // Written so that NaN fails every comparison.
    if (t.empty() || !(t[0] >= -1.0)) {
        return false;
    }
    for (std::size_t i = 1; i < t.size(); ++i) {
        if (!(t[i - 1] <= t[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(Linspace, WorkedValuesAndExactEnd) {
    EXPECT_EQ(linspace(0, 10.0, 1), std::vector<double>{10.0});
    EXPECT_EQ(linspace(0, 10.0, 2), (std::vector<double>{0.0, 10.0}));
    EXPECT_EQ(linspace(0, 10.0, 5), (std::vector<double>{0.0, 2.5, 5.0, 7.5, 10.0}));
    EXPECT_TRUE(linspace(0, 10.0, 0).empty());
    // 0.1 * 3 rounds to 0.30000000000000004; the last entry is the given end regardless.
    const std::vector<double> v = linspace(0, 0.3, 4);
    EXPECT_EQ(v.back(), 0.3);
    EXPECT_EQ(v[2], 2.0 * ((0.3 - 0.0) / 3.0) + 0.0);
}

TEST(MakeSpline, GuardKeysAroundPathLengths) {
    const std::vector<double> s{0, 1, 2};
    const Spline spline = make_spline(s, std::vector<double>{0, 1, 4}, SplineInterpolation::Linear);
    EXPECT_EQ(key_parameters(spline), (std::vector<double>{-1.0, 0, 1, 2, 2.01, 2.02}));
    EXPECT_EQ(spline.keys().front().value, 0.0);
    EXPECT_EQ(spline.keys()[4].value, 4.0);
    EXPECT_EQ(spline.keys()[5].value, 4.0);

    // Values longer than the parameters: pairs up to the shorter list, the end guards take the
    // last value of the whole list.
    const Spline longer =
        make_spline(s, std::vector<double>{0, 1, 4, 9}, SplineInterpolation::Linear);
    ASSERT_EQ(longer.keys().size(), 6u);
    EXPECT_EQ(longer.keys()[3].value, 4.0);
    EXPECT_EQ(longer.keys()[4].value, 9.0);

    EXPECT_TRUE(make_spline({}, {}, SplineInterpolation::Linear).keys().empty());
    EXPECT_FALSE(sample_with_key(make_spline({}, {}, SplineInterpolation::Linear), 0.0));

    // From 2^47 on, L + 0.01 rounds onto L: the guards take the next doubles above it instead,
    // so that a sample at L still finds its segment and gives the last value.
    for (const double length : {0x1p47, 0x1p52, 1e300}) {
        const std::vector<double> t{0.0, length};
        const std::vector<double> values{5.0, 7.0};
        const double above = std::nextafter(length, INFINITY);
        for (const auto kind : {SplineInterpolation::Linear, SplineInterpolation::CatmullRom}) {
            const Spline far = make_spline(t, values, kind);
            EXPECT_EQ(key_parameters(far), (std::vector<double>{-1.0, 0.0, length, above,
                                                                std::nextafter(above, INFINITY)}));
            ASSERT_TRUE(sample_with_key(far, length)) << length;
            EXPECT_EQ(sample_with_key(far, length)->value, 7.0) << length;
            const SortedSpline view(t, values, kind);
            EXPECT_EQ(view.key(3).t, far.key(3).t);
            EXPECT_EQ(view.key(4).t, far.key(4).t);
        }
    }
    // Where the documented keys are distinct from L and from each other, they stay.
    EXPECT_EQ(key_parameters(make_spline(std::vector<double>{0.0, 0x1p40},
                                         std::vector<double>{1, 2}, SplineInterpolation::Linear)),
              (std::vector<double>{-1.0, 0.0, 0x1p40, 0x1p40 + 0.01, 0x1p40 + 0.02}));
}

TEST(MakeSpline, SameOrderAsSortInsertSortOnUnsortedInput) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> grid(-8, 8);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 1 + rng() % 12;
        std::vector<double> t(n);
        std::vector<double> v(n + rng() % 2);
        // Quarter steps make ties with each other, with -1 and with the end guards likely.
        for (double& x : t) {
            x = 0.25 * grid(rng) + (rng() % 4 == 0 ? 0.01 : 0.0);
        }
        for (std::size_t i = 0; i < v.size(); ++i) {
            v[i] = static_cast<double>(i);
        }
        for (const auto kind : {SplineInterpolation::Linear, SplineInterpolation::CatmullRom}) {
            const std::vector<SplineKey> expected = reference_keys(t, v, kind);
            const Spline spline = make_spline(t, v, kind);
            const std::vector<SplineKey>& keys = spline.keys();
            ASSERT_EQ(keys.size(), expected.size());
            for (std::size_t i = 0; i < keys.size(); ++i) {
                ASSERT_EQ(keys[i].t, expected[i].t) << "round " << round << " key " << i;
                ASSERT_EQ(keys[i].value, expected[i].value) << "round " << round << " key " << i;
                ASSERT_EQ(keys[i].interpolation, kind);
            }
        }
    }
}

TEST(SampleWithKey, LinearWorkedValues) {
    const Spline s = make_spline(std::vector<double>{0, 1, 2}, std::vector<double>{0, 1, 4},
                                 SplineInterpolation::Linear);
    EXPECT_EQ(sample_with_key(s, 1.5)->value, 2.5);
    EXPECT_EQ(sample_with_key(s, -0.5)->value, 0.0);
    EXPECT_EQ(sample_with_key(s, 2.015)->value, 4.0);
    EXPECT_FALSE(sample_with_key(s, 2.02));
    EXPECT_FALSE(sample_with_key(s, 5.0));
    EXPECT_FALSE(sample_with_key(s, -1.5));
    // At a key's parameter: that key's value, with that key as the lower one.
    EXPECT_EQ(sample_with_key(s, 1.0)->value, 1.0);
    EXPECT_EQ(sample_with_key(s, 1.0)->index, 2u);
    EXPECT_EQ(sample_with_key(s, -1.0)->value, 0.0);
}

TEST(SampleWithKey, CatmullRomWorkedValues) {
    const Spline s = make_spline(std::vector<double>{0, 1, 2}, std::vector<double>{0, 1, 4},
                                 SplineInterpolation::CatmullRom);
    // Tangents over the guard at -1: m0 = 0.5, m1 = 2.
    EXPECT_EQ(sample_with_key(s, 0.5)->value, 0.3125);
    EXPECT_EQ(sample_with_key(s, 1.0)->value, 1.0);
    EXPECT_EQ(sample_with_key(s, 2.0)->value, 4.0);
    EXPECT_FALSE(sample_with_key(s, -0.5));  // the guard's segment has no left neighbour
    EXPECT_FALSE(sample_with_key(s, 2.01));
    EXPECT_FALSE(sample_with_key(s, 3.0));
}

TEST(SampleWithKey, DuplicateParameterUsesLastOfEqualKeys) {
    const Spline s = make_spline(std::vector<double>{0, 1, 1, 2}, std::vector<double>{0, 5, 7, 9},
                                 SplineInterpolation::Linear);
    ASSERT_EQ(s.keys()[2].value, 5.0);  // input order kept among equal parameters
    ASSERT_EQ(s.keys()[3].value, 7.0);
    const auto at = sample_with_key(s, 1.0);
    EXPECT_EQ(at->value, 7.0);
    EXPECT_EQ(at->index, 3u);
    EXPECT_EQ(sample_with_key(s, 0.5)->value, 2.5);  // segment 0..1 runs to the first equal key
}

TEST(SampleWithKey, NanParametersGiveNothingWithoutFailing) {
    const Spline s = make_spline(std::vector<double>{0, 1, 2}, std::vector<double>{0, 1, 4},
                                 SplineInterpolation::Linear);
    EXPECT_FALSE(sample_with_key(s, not_a_number));
    SplineWalker walker(s);
    EXPECT_FALSE(walker.sample(not_a_number));
    EXPECT_EQ(walker.sample(1.5)->value, 2.5);

    const double nan = not_a_number;
    for (const auto& t : {std::vector<double>{0, nan, 2}, std::vector<double>{nan, nan},
                          std::vector<double>{0, 1, nan}}) {
        const Spline broken =
            make_spline(t, std::vector<double>{0, 1, 4}, SplineInterpolation::CatmullRom);
        EXPECT_EQ(broken.keys().size(), t.size() + 3);
        EXPECT_FALSE(broken.searchable());
        SplineWalker w(broken);
        for (const double at : {-1.0, 0.0, 0.5, 1.0, 2.0}) {
            EXPECT_FALSE(sample_with_key(broken, at));
            EXPECT_FALSE(w.sample(at));
        }
    }
}

TEST(SplineWalker, BitIdenticalToBinarySearch) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 200; ++round) {
        // Path-like parameters with repeated entries (zero-length segments).
        const std::size_t n = 2 + rng() % 40;
        std::vector<double> t(n, 0.0);
        std::vector<double> v(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (i > 0) {
                t[i] = t[i - 1] + (rng() % 4 == 0 ? 0.0 : unit(rng) * 3.0);
            }
            v[i] = unit(rng) * 10.0 - 5.0;
        }
        const auto kind = round % 2 ? SplineInterpolation::Linear : SplineInterpolation::CatmullRom;
        const Spline s = make_spline(t, v, kind);
        const double length = t.back();

        std::vector<double> positions = linspace(0, length, 1 + rng() % 200);
        positions.insert(positions.end(), t.begin(), t.end());
        for (int i = 0; i < 50; ++i) {
            positions.push_back(unit(rng) * (length + 3.0) - 1.5);
        }
        positions.insert(positions.end(), {-1.0, -2.0, length + 0.01, length + 0.02, INFINITY});
        std::sort(positions.begin(), positions.end());
        SplineWalker walker(s);
        for (const double p : positions) {
            ASSERT_TRUE(same_sample(walker.sample(p), sample_with_key(s, p))) << "at " << p;
        }
        // Out of order as well: a step back is answered by a fresh search.
        std::shuffle(positions.begin(), positions.end(), rng);
        SplineWalker shuffled(s);
        for (const double p : positions) {
            ASSERT_TRUE(same_sample(shuffled.sample(p), sample_with_key(s, p))) << "at " << p;
        }
    }
}

TEST(SortedSpline, SameKeysAsMakeSplineWhereAccepted) {
    EXPECT_FALSE(accepted_by_sorted_spline(std::vector<double>{}));
    EXPECT_FALSE(accepted_by_sorted_spline(std::vector<double>{-1.5, 0}));
    EXPECT_FALSE(accepted_by_sorted_spline(std::vector<double>{0, 2, 1}));
    EXPECT_FALSE(accepted_by_sorted_spline(std::vector<double>{0, not_a_number, 1}));
    EXPECT_FALSE(accepted_by_sorted_spline(std::vector<double>{not_a_number}));
    std::mt19937_64 rng(13);
    for (int round = 0; round < 100; ++round) {
        const std::size_t n = 1 + rng() % 10;
        std::vector<double> t(n, round % 3 == 0 ? -1.0 : 0.0);
        for (std::size_t i = 1; i < n; ++i) {
            t[i] = t[i - 1] + static_cast<double>(rng() % 3) * 0.005;  // ties with the guards
        }
        std::vector<double> v(n + rng() % 3);
        for (double& x : v) {
            x = static_cast<double>(rng() % 100);
        }
        ASSERT_TRUE(accepted_by_sorted_spline(t));
        const Spline built = make_spline(t, v, SplineInterpolation::CatmullRom);
        const SortedSpline view(t, v, SplineInterpolation::CatmullRom);
        ASSERT_EQ(view.size(), built.size());
        for (std::size_t j = 0; j < built.size(); ++j) {
            EXPECT_EQ(view.key(j).t, built.key(j).t);
            EXPECT_EQ(view.key(j).value, built.key(j).value);
        }
    }
}
