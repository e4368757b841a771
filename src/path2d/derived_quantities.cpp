// src/path2d/derived_quantities.cpp: the per-point quantities a path computes on first use and
// keeps: arc length, heading, unit tangent and curvature
#include "path2d/derived_quantities.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "path2d/path2d.hpp"
#include "util/large_list.hpp"
#include "util/vector_math.hpp"

namespace korvane {

namespace {

// The central difference at index i of v, the one kernel every per-point quantity inlines.
template <class Read>
inline double central_difference(const Read& v, std::size_t i) noexcept {
    return (v[i + 1] - v[i - 1]) * 0.5;
}

// The finite difference at index i of v, computed alone: central inside, one-sided at both
// ends, 0 for a list of fewer than 2 values.
double difference_at(const CoordinateView& v, std::size_t i) noexcept {
    const std::size_t m = v.size();
    if (m <= 1) {
        return 0.0;
    }
    if (i == 0) {
        return v[1] - v[0];
    }
    if (i == m - 1) {
        return v[m - 1] - v[m - 2];
    }
    return central_difference(v, i);
}

// The first and second differences at i, bit for bit as the whole list of differences taken
// once and then again from its result.
struct Differences {
    double d;
    double dd;
};

Differences differences_at(const CoordinateView& v, std::size_t i) noexcept {
    const std::size_t m = v.size();
    if (i >= 2 && i + 2 < m) {
        // Every difference involved is central.
        const double before = central_difference(v, i - 1);
        const double after = central_difference(v, i + 1);
        return {central_difference(v, i), (after - before) * 0.5};
    }
    const double d = difference_at(v, i);
    if (m <= 1) {
        return {d, 0.0};
    }
    if (i == 0) {
        return {d, difference_at(v, 1) - d};
    }
    if (i == m - 1) {
        return {d, d - difference_at(v, m - 2)};
    }
    return {d, (difference_at(v, i + 1) - difference_at(v, i - 1)) * 0.5};
}

// s^1.5 as s * sqrt(s): within 2 ULP of the power function for every normal result.
constexpr double kHugePower = 0x1p1020;
bool power_is_plain(double p) noexcept {
    return p >= DBL_MIN && p < kHugePower;
}
// Zero, subnormal, huge, infinite and NaN results take the power function itself.
double power_one_and_a_half(double s) noexcept {
    const double p = s * std::sqrt(s);
    return power_is_plain(p) ? p : std::pow(s, 1.5);
}

double curvature_at(const CoordinateView& xs, const CoordinateView& ys, std::size_t i) noexcept {
    const Differences x = differences_at(xs, i);
    const Differences y = differences_at(ys, i);
    return (x.d * y.dd - y.d * x.dd) / power_one_and_a_half(x.d * x.d + y.d * y.d);
}

Point unit_tangent_at(const CoordinateView& xs, const CoordinateView& ys, std::size_t i) noexcept {
    const double dx = difference_at(xs, i);
    const double dy = difference_at(ys, i);
    // A zero difference gives NaN on purpose: there is no direction to report.
    const double r = std::sqrt(dy * dy + dx * dx);
    return Point{dx / r, dy / r};
}

// Every `S`-th double from `first`; S = 0 reads the stride at run time. The kernels below are
// instantiated for the strides of the two storage forms (1 for coordinate lists, 2 for points)
// so that their loops vectorise.
template <std::size_t S>
struct Strided {
    const double* first;
    std::size_t stride;
    double operator[](std::size_t i) const noexcept { return first[i * (S != 0 ? S : stride)]; }
};

template <class F>
decltype(auto) with_strides(const CoordinateView& xs, const CoordinateView& ys, F&& f) {
    if (xs.stride() == 1 && ys.stride() == 1) {
        return f(Strided<1>{xs.first(), 1}, Strided<1>{ys.first(), 1});
    }
    if (xs.stride() == 2 && ys.stride() == 2) {
        return f(Strided<2>{xs.first(), 2}, Strided<2>{ys.first(), 2});
    }
    return f(Strided<0>{xs.first(), xs.stride()}, Strided<0>{ys.first(), ys.stride()});
}

// The inner loops of the tangent and the curvature: square roots and divisions of independent
// points, which x86-64 machines with AVX2 run on four points at once (one clone of each loop is
// chosen when the module loads). The arithmetic is the same IEEE operations either way.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#define KORVANE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KORVANE_VECTOR_CLONES
#endif

// Unit tangents for i in [begin, end), where both differences are central.
template <class Read>
inline void central_tangents(Read x, Read y, std::size_t begin, std::size_t end,
                             Point* out) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        const double dx = central_difference(x, i);
        const double dy = central_difference(y, i);
        const double r = std::sqrt(dy * dy + dx * dx);
        out[i - begin].x = dx / r;
        out[i - begin].y = dy / r;
    }
}

// Curvatures for i in [begin, end), where all first and second differences are central;
// false when a power came out zero, subnormal, huge or NaN and needs the power function.
template <class Read>
inline bool central_curvatures(Read x, Read y, std::size_t begin, std::size_t end,
                               double* out) noexcept {
    bool plain = true;
    for (std::size_t i = begin; i < end; ++i) {
        const double dx = central_difference(x, i);
        const double ddx = (central_difference(x, i + 1) - central_difference(x, i - 1)) * 0.5;
        const double dy = central_difference(y, i);
        const double ddy = (central_difference(y, i + 1) - central_difference(y, i - 1)) * 0.5;
        const double squared = dx * dx + dy * dy;
        const double power = squared * std::sqrt(squared);
        plain &= power_is_plain(power);
        out[i - begin] = (dx * ddy - dy * ddx) / power;
    }
    return plain;
}

KORVANE_VECTOR_CLONES void tangents_of(Strided<1> x, Strided<1> y, std::size_t begin,
                                       std::size_t end, Point* out) noexcept {
    central_tangents(x, y, begin, end, out);
}
KORVANE_VECTOR_CLONES void tangents_of(Strided<2> x, Strided<2> y, std::size_t begin,
                                       std::size_t end, Point* out) noexcept {
    central_tangents(x, y, begin, end, out);
}
void tangents_of(Strided<0> x, Strided<0> y, std::size_t begin, std::size_t end,
                 Point* out) noexcept {
    central_tangents(x, y, begin, end, out);
}
KORVANE_VECTOR_CLONES bool curvatures_of(Strided<1> x, Strided<1> y, std::size_t begin,
                                         std::size_t end, double* out) noexcept {
    return central_curvatures(x, y, begin, end, out);
}
KORVANE_VECTOR_CLONES bool curvatures_of(Strided<2> x, Strided<2> y, std::size_t begin,
                                         std::size_t end, double* out) noexcept {
    return central_curvatures(x, y, begin, end, out);
}
bool curvatures_of(Strided<0> x, Strided<0> y, std::size_t begin, std::size_t end,
                   double* out) noexcept {
    return central_curvatures(x, y, begin, end, out);
}

// The indices of [begin, end) that lie in [low, high): the part of a block a fast loop takes.
struct Span {
    std::size_t begin;
    std::size_t end;
};
Span clip(std::size_t begin, std::size_t end, std::size_t low, std::size_t high) noexcept {
    const std::size_t b = std::max(begin, low);
    const std::size_t e = std::min(end, high);
    return b < e ? Span{b, e} : Span{begin, begin};
}

// One value per point at [begin, end) of the shorter coordinate list, from differences that
// are central on [margin, m - margin): that run by `run(x, y, begin, end, out)` as one loop over
// the lists read in place, the ends one by one by `at(xs, ys, i)`.
template <class T, class At, class Run>
void central_block(const CoordinateView& xs, const CoordinateView& ys, std::size_t margin,
                   std::size_t begin, std::size_t end, T* out, At at, Run run) {
    const std::size_t m = std::min(xs.size(), ys.size());
    const Span central = clip(begin, end, margin, m >= margin ? m - margin : 0);
    for (std::size_t i = begin; i < central.begin; ++i) {
        out[i - begin] = at(xs, ys, i);
    }
    with_strides(xs, ys, [&](auto x, auto y) {
        run(x, y, central.begin, central.end, out + (central.begin - begin));
    });
    for (std::size_t i = std::max(central.end, begin); i < end; ++i) {
        out[i - begin] = at(xs, ys, i);
    }
}

}  // namespace

void path_length_block(const PointView& points, std::size_t begin, std::size_t end, double& total,
                       double* out) noexcept {
    with_strides(points.x(), points.y(), [&](auto x, auto y) {
        // The segment lengths first, in a loop of their own, then their running sum.
        const std::size_t first = std::max<std::size_t>(begin, 1);
        for (std::size_t i = first; i < end; ++i) {
            const double dx = x[i] - x[i - 1];
            const double dy = y[i] - y[i - 1];
            out[i - begin] = std::sqrt(dx * dx + dy * dy);
        }
        if (begin == 0 && end > 0) {
            out[0] = 0.0;
        }
        for (std::size_t i = first; i < end; ++i) {
            total += out[i - begin];
            out[i - begin] = total;
        }
    });
}

void orientation_block(const PointView& points, std::size_t begin, std::size_t end,
                       double* out) noexcept {
    const std::size_t n = points.size();
    with_strides(points.x(), points.y(), [&](auto x, auto y) {
        double dy[kQuantityBlock];
        double dx[kQuantityBlock];
        // Central inside, from the two neighbours: the halving of the central difference
        // cannot change the angle.
        const Span inner = clip(begin, end, 1, n >= 2 ? n - 1 : 0);
        for (std::size_t j = inner.begin; j < inner.end; ++j) {
            dy[j - begin] = y[j + 1] - y[j - 1];
            dx[j - begin] = x[j + 1] - x[j - 1];
        }
        // Forward at the start, backward at the end; a single point has heading 0.
        for (const std::size_t j : {begin, end - 1}) {
            if (j == 0 || j + 1 == n) {
                const std::size_t from = j == 0 ? 0 : n - 2;
                const bool single = n < 2;
                dy[j - begin] = single ? 0.0 : y[from + 1] - y[from];
                dx[j - begin] = single ? 0.0 : x[from + 1] - x[from];
            }
        }
        atan2_many(dy, dx, out, end - begin);
    });
}

void unit_tangent_block(const CoordinateView& x, const CoordinateView& y, std::size_t begin,
                        std::size_t end, Point* out) noexcept {
    // Both differences are central for 0 < i < m - 1; the ends take the general rule.
    central_block(x, y, 1, begin, end, out, unit_tangent_at,
                  [](auto xs, auto ys, std::size_t b, std::size_t e, Point* o) {
                      tangents_of(xs, ys, b, e, o);
                  });
}

void curvature_block(const CoordinateView& x, const CoordinateView& y, std::size_t begin,
                     std::size_t end, double* out) noexcept {
    // The first and second differences are all central for 2 <= i < m - 2 in both lists.
    central_block(x, y, 2, begin, end, out, curvature_at,
                  [&](auto xs, auto ys, std::size_t b, std::size_t e, double* o) {
                      if (!curvatures_of(xs, ys, b, e, o)) {
                          // Rare: a result that needs the power function itself.
                          for (std::size_t i = b; i < e; ++i) {
                              o[i - b] = curvature_at(x, y, i);
                          }
                      }
                  });
}

const std::vector<double>& Path2D::path_length_per_point() const {
    if (!m_path_length_per_point) {
        double total = 0.0;
        const PointView points = point_view();
        m_path_length_per_point = block_generated_list<double, kQuantityBlock>(
            m_size, [&](std::size_t begin, std::size_t end, double* out) {
                path_length_block(points, begin, end, total, out);
            });
    }
    return *m_path_length_per_point;
}

double Path2D::length() const {
    const std::vector<double>& lengths = path_length_per_point();
    return lengths.empty() ? 0.0 : lengths.back();
}

const std::vector<double>& Path2D::orientation() const {
    if (!m_orientation) {
        const PointView points = point_view();
        m_orientation = block_generated_list<double, kQuantityBlock>(
            m_size, [&](std::size_t begin, std::size_t end, double* out) {
                orientation_block(points, begin, end, out);
            });
    }
    return *m_orientation;
}

const std::vector<Point>& Path2D::unit_tangent_vector() const {
    if (!m_unit_tangent_vector) {
        const CoordinateView x = x_view();
        const CoordinateView y = y_view();
        m_unit_tangent_vector = block_generated_list<Point, kQuantityBlock>(
            std::min(x.size(), y.size()), [&](std::size_t begin, std::size_t end, Point* out) {
                unit_tangent_block(x, y, begin, end, out);
            });
    }
    return *m_unit_tangent_vector;
}

const std::vector<double>& Path2D::curvature() const {
    if (!m_curvature) {
        const CoordinateView x = x_view();
        const CoordinateView y = y_view();
        m_curvature = block_generated_list<double, kQuantityBlock>(
            std::min(x.size(), y.size()), [&](std::size_t begin, std::size_t end, double* out) {
                curvature_block(x, y, begin, end, out);
            });
    }
    return *m_curvature;
}

}  // namespace korvane
