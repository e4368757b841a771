// src/path2d/segment_kernels.cpp: clamped feet and box gaps two or four at a time, each kernel
// beside its scalar twin
//
// A kernel gives the bits of its scalar twin because the lanes run the same operations in the
// same order and every product and sum rounds on its own: the build compiles without contracting
// a * b + c into a fused multiply-add (-ffp-contract=off), and no target here enables one.
#include "path2d/segment_kernels.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "path2d/frenet.hpp"
#include "util/processor.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace korvane {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

#if defined(__GNUC__)
#define KORVANE_VECTOR_KERNELS 1

// W doubles in one of the compiler's vectors, whose operators work lane by lane and whose
// comparisons select lanes.
template <std::size_t W>
struct LanesOf;
template <>
struct LanesOf<2> {
    typedef double type __attribute__((vector_size(16)));
};
template <>
struct LanesOf<4> {
    typedef double type __attribute__((vector_size(32)));
};
template <std::size_t W>
using Lanes = typename LanesOf<W>::type;

template <std::size_t W>
[[gnu::always_inline]] inline void load(const double* from, Lanes<W>& v) noexcept {
    std::memcpy(&v, from, sizeof v);
}

template <std::size_t W>
[[gnu::always_inline]] inline void store(double* to, const Lanes<W>& v) noexcept {
    std::memcpy(to, &v, sizeof v);
}

// The x and y of W points lying in pairs (x, y) from `from` on: the even lanes and the odd.
template <std::size_t W>
[[gnu::always_inline]] inline void split_pairs(const double* from, Lanes<W>& x,
                                               Lanes<W>& y) noexcept {
    Lanes<W> low, high;
    load<W>(from, low);
    load<W>(from + W, high);
    if constexpr (W == 2) {
        x = __builtin_shufflevector(low, high, 0, 2);
        y = __builtin_shufflevector(low, high, 1, 3);
    } else {
        x = __builtin_shufflevector(low, high, 0, 2, 4, 6);
        y = __builtin_shufflevector(low, high, 1, 3, 5, 7);
    }
}

// Whether the points lie as load_segments reads them: in two lists (stride 1) or in one list of
// pairs (stride 2).
inline bool in_rows(const PointView& p) noexcept {
    const std::size_t stride = p.x().stride();
    return stride == p.y().stride() &&
           (stride == 1 || (stride == 2 && p.y().first() == p.x().first() + 1));
}

// The ends a and b of the W segments from j, the points in two lists (stride 1) or in one list
// of pairs (stride 2).
template <std::size_t W>
[[gnu::always_inline]] inline void load_segments(const double* x, const double* y,
                                                 std::size_t stride, std::size_t j, Lanes<W>& ax,
                                                 Lanes<W>& ay, Lanes<W>& bx,
                                                 Lanes<W>& by) noexcept {
    if (stride == 1) {
        load<W>(x + j, ax);
        load<W>(x + j + 1, bx);
        load<W>(y + j, ay);
        load<W>(y + j + 1, by);
    } else {
        split_pairs<W>(x + 2 * j, ax, ay);
        split_pairs<W>(x + 2 * j + 2, bx, by);
    }
}

// squared_feet of segments given by their starts a, their directions d = b - a and their squared
// lengths, as the groups' columns hold them.
template <class V>
[[gnu::always_inline]] inline void squared_feet_from(const V& ax, const V& ay, const V& dx,
                                                     const V& dy, const V& squared_length,
                                                     Point query, V& out, V& clamped) noexcept {
    const V zero{};
    const V one = zero + 1.0;
    const V ratio = ((query.x - ax) * dx + (query.y - ay) * dy) / squared_length;
    V t = squared_length > zero ? ratio : zero;
    t = zero > t ? zero : t;
    t = t > one ? one : t;
    const V ex = (ax + t * dx) - query.x;
    const V ey = (ay + t * dy) - query.y;
    out = ex * ex + ey * ey;
    clamped = t;
}

// clamped_foot lane by lane: the squared distances of the feet on the segments from a to b, and
// their t.
template <class V>
[[gnu::always_inline]] inline void squared_feet(const V& ax, const V& ay, const V& bx, const V& by,
                                                Point query, V& out, V& clamped) noexcept {
    const V dx = bx - ax;
    const V dy = by - ay;
    squared_feet_from(ax, ay, dx, dy, dx * dx + dy * dy, query, out, clamped);
}

// squared_feet of the segments i + k, W at a time for k < n, the points in two lists (stride 1)
// or in one list of pairs (stride 2): their squared distances into out, their t into ts.
// Lowers `lowest` to the lowest number among them and returns how many it measured.
template <std::size_t W>
[[gnu::always_inline]] inline std::size_t measure_lanes(const double* x, const double* y,
                                                        std::size_t stride, std::size_t i,
                                                        std::size_t n, Point query, double* out,
                                                        double* ts, double& lowest) noexcept {
    using V = Lanes<W>;
    V low = V{} + lowest;
    std::size_t k = 0;
    for (; k + W <= n; k += W) {
        const std::size_t j = i + k;
        V ax, ay, bx, by;
        load_segments<W>(x, y, stride, j, ax, ay, bx, by);
        V squared, t;
        squared_feet(ax, ay, bx, by, query, squared, t);
        store<W>(out + k, squared);
        store<W>(ts + k, t);
        low = squared < low ? squared : low;  // a NaN is passed over
    }
    for (std::size_t lane = 0; lane < W; ++lane) {
        lowest = low[lane] < lowest ? low[lane] : lowest;
    }
    return k;
}

std::size_t measure_two(const double* x, const double* y, std::size_t stride, std::size_t i,
                        std::size_t n, Point query, double* out, double* ts,
                        double& lowest) noexcept {
    return measure_lanes<2>(x, y, stride, i, n, query, out, ts, lowest);
}
#endif

#if defined(KORVANE_VECTOR_KERNELS) && defined(__x86_64__)
#define KORVANE_WIDE_KERNELS 1

// Four at a time where the processor has AVX2, whose target enables no fused multiply-add.
__attribute__((target("avx2"))) std::size_t measure_four(const double* x, const double* y,
                                                         std::size_t stride, std::size_t i,
                                                         std::size_t n, Point query, double* out,
                                                         double* ts, double& lowest) noexcept {
    return measure_lanes<4>(x, y, stride, i, n, query, out, ts, lowest);
}

#endif

// clamped_foot(p, i + k, query)'s squared distance into out[k] and its t into ts[k] for k < n;
// returns the lowest distance that is a number, infinity where none is. The scalar twin takes
// what the lanes leave, and everything where the coordinates are not one or two doubles apart.
double measure(const PointView& p, std::size_t i, std::size_t n, Point query, double* out,
               double* ts) noexcept {
    std::size_t k = 0;
    double lowest = infinity;
#if defined(KORVANE_VECTOR_KERNELS)
    const double* x = p.x().first();
    const double* y = p.y().first();
    const std::size_t stride = p.x().stride();
    const bool rows = in_rows(p);
#if defined(KORVANE_WIDE_KERNELS)
    if (rows && has_avx2()) {
        k = measure_four(x, y, stride, i, n, query, out, ts, lowest);
    }
#endif
    if (rows && n - k >= 2) {
        k += measure_two(x, y, stride, i + k, n - k, query, out + k, ts + k, lowest);
    }
#endif
    for (; k < n; ++k) {
        const ClampedFoot foot = clamped_foot(p, i + k, query);
        out[k] = foot.squared_distance;
        ts[k] = foot.t;
        lowest = out[k] < lowest ? out[k] : lowest;
    }
    return lowest;
}

// The first k < n with values[k] == v, or n: a comparison of two at a time gathered into one
// mask (at most 32 values), or the scalar twin.
std::size_t first_equal(const double* values, std::size_t n, double v) noexcept {
    std::size_t k = 0;
#if defined(__SSE2__)
    const __m128d target = _mm_set1_pd(v);
    unsigned mask = 0;
    for (; k + 2 <= n; k += 2) {
        mask |=
            static_cast<unsigned>(_mm_movemask_pd(_mm_cmpeq_pd(_mm_loadu_pd(values + k), target)))
            << k;
    }
    if (mask != 0) {
        return static_cast<std::size_t>(std::countr_zero(mask));
    }
#endif
    while (k < n && !(values[k] == v)) {
        ++k;
    }
    return k;
}

// The squared gap between box j of `leaves` and the point q into out[j]: the squares of
// gap(x_low - q.x, q.x - x_high) and its y twin, added; two at a time, or the scalar twin.
void squared_gaps(const LeafColumns& leaves, Point q, double* out) noexcept {
    const std::size_t count = leaves.count;
    std::size_t j = 0;
#if defined(KORVANE_VECTOR_KERNELS)
    using V = Lanes<2>;
    const V zero{};
    // gap lane by lane: std::max(a, b) is a < b ? b : a, NaN included.
    const auto gap_of = [&](const double* low, const double* high, double at) {
        V below, above;
        load<2>(low, below);
        load<2>(high, above);
        below = below - at;
        above = at - above;
        const V most = below < above ? above : below;
        return most < zero ? zero : most;
    };
    for (; j + 2 <= count; j += 2) {
        const V gx = gap_of(leaves.x_low + j, leaves.x_high + j, q.x);
        const V gy = gap_of(leaves.y_low + j, leaves.y_high + j, q.y);
        store<2>(out + j, gx * gx + gy * gy);
    }
#endif
    for (; j < count; ++j) {
        const double gx = gap(leaves.x_low[j] - q.x, q.x - leaves.x_high[j]);
        const double gy = gap(leaves.y_low[j] - q.y, q.y - leaves.y_high[j]);
        out[j] = gx * gx + gy * gy;
    }
}

// nearest_foot_among, inlined where the kernels' own searches call it.
[[gnu::always_inline]] inline bool foot_among(const PointView& p, std::size_t begin,
                                              std::size_t end, Point query,
                                              ClampedFoot& best) noexcept {
    constexpr std::size_t run = 16;
    bool improved = false;
    // Aligned, so that no vector store splits a cache line: a load from a split store waits
    // for it to reach the cache instead of taking its value (about a quarter of a batch's time).
    alignas(64) double squared[run];
    alignas(64) double ts[run];
    for (std::size_t i = begin; i < end; i += run) {
        const std::size_t n = std::min(run, end - i);
        // The lowest of the numbers (NaN passed over), and the first segment at it.
        const double lowest = measure(p, i, n, query, squared, ts);
        const std::size_t k = first_equal(squared, n, lowest);
        if (k < n && (lowest < best.squared_distance ||
                      (lowest == best.squared_distance && i + k < best.index))) {
            // The foot as clamped_foot places it, at the t measured.
            const Point a = p[i + k];
            const Point b = p[i + k + 1];
            best = ClampedFoot{i + k, ts[k],
                               Point{a.x + ts[k] * (b.x - a.x), a.y + ts[k] * (b.y - a.y)}, lowest};
            improved = true;
        }
    }
    return improved;
}

#if defined(KORVANE_WIDE_KERNELS)
// foot_among for the 4 * groups segments from i where the coordinates lie in rows, in AVX2: the
// feet stay in registers and the first at the lowest distance comes from one mask, without
// measure's dispatch and stores or first_equal's loop (a descent for fixes far from a path spends
// about half its instructions in its leaves). The same arithmetic lane by lane, and the same
// lowest and first, so the same answer.
template <std::size_t groups>
__attribute__((target("avx2"), always_inline)) inline bool lanes_foot(const double* x,
                                                                      const double* y,
                                                                      std::size_t stride,
                                                                      std::size_t i, Point query,
                                                                      ClampedFoot& best) noexcept {
    using V = Lanes<4>;
    V squared[groups];
    V ts[groups];
    V low = V{} + infinity;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t j = i + 4 * g;
        V ax, ay, bx, by;
        load_segments<4>(x, y, stride, j, ax, ay, bx, by);
        squared_feet(ax, ay, bx, by, query, squared[g], ts[g]);
        low = squared[g] < low ? squared[g] : low;  // a NaN is passed over
    }
    double lowest = infinity;
    for (std::size_t lane = 0; lane < 4; ++lane) {
        lowest = low[lane] < lowest ? low[lane] : lowest;
    }
    const __m256d target = _mm256_set1_pd(lowest);
    unsigned mask = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        mask |= static_cast<unsigned>(_mm256_movemask_pd(
                    _mm256_cmp_pd(reinterpret_cast<__m256d>(squared[g]), target, _CMP_EQ_OQ)))
                << (4 * g);
    }
    if (mask == 0) {
        return false;
    }
    const auto k = static_cast<std::size_t>(std::countr_zero(mask));
    if (!(lowest < best.squared_distance ||
          (lowest == best.squared_distance && i + k < best.index))) {
        return false;
    }
    // The foot as clamped_foot places it, at the t measured.
    const double t = ts[k / 4][k % 4];
    const std::size_t at = i + k;
    const Point a{x[stride * at], y[stride * at]};
    const Point b{x[stride * (at + 1)], y[stride * (at + 1)]};
    best = ClampedFoot{at, t, Point{a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)}, lowest};
    return true;
}

// foot_among for the 16 segments of a whole leaf.
__attribute__((target("avx2"))) bool whole_leaf_foot(const double* x, const double* y,
                                                     std::size_t stride, std::size_t i, Point query,
                                                     ClampedFoot& best) noexcept {
    return lanes_foot<4>(x, y, stride, i, query, best);
}
#endif

// nearest_feet_one_leaf's scan, W queries at a time: each lane walks the segments in order and
// keeps the first at the lowest distance that is a number (an infinite one while none is kept),
// the rule foot_among applies group by group. A lane's arithmetic is squared_feet's for its
// query, operation by operation, so its bits are those of the scalar twin.
template <std::size_t W>
[[gnu::always_inline]] inline void few_feet_lanes(const PointView& p, std::size_t segments,
                                                  const Point* queries, std::size_t count,
                                                  std::optional<ClampedFoot>* feet) noexcept {
    using V = Lanes<W>;
    using Mask = decltype(V{} < V{});
    constexpr std::size_t most = few_feet_segments;
    double ax[most], ay[most], dx[most], dy[most], squared_length[most];
    for (std::size_t j = 0; j < segments; ++j) {
        const Point a = p[j];
        ax[j] = a.x;
        ay[j] = a.y;
        dx[j] = p[j + 1].x - a.x;
        dy[j] = p[j + 1].y - a.y;
        squared_length[j] = dx[j] * dx[j] + dy[j] * dy[j];
    }
    const V zero{};
    const V one = zero + 1.0;
    for (std::size_t k = 0; k < count; k += W) {
        V qx, qy;
        for (std::size_t lane = 0; lane < W; ++lane) {
            const Point q = queries[std::min(k + lane, count - 1)];
            qx[lane] = q.x;
            qy[lane] = q.y;
        }
        V best = zero + infinity;
        V best_t = zero;
        V best_index = zero;
        Mask unset = zero == zero;
        for (std::size_t j = 0; j < segments; ++j) {
            const V sx = zero + ax[j];
            const V sy = zero + ay[j];
            const V ddx = zero + dx[j];
            const V ddy = zero + dy[j];
            const V length = zero + squared_length[j];
            const V ratio = ((qx - sx) * ddx + (qy - sy) * ddy) / length;
            V t = length > zero ? ratio : zero;
            t = zero > t ? zero : t;
            t = t > one ? one : t;
            const V ex = (sx + t * ddx) - qx;
            const V ey = (sy + t * ddy) - qy;
            const V squared = ex * ex + ey * ey;
            const Mask take = (squared < best) | ((squared == best) & unset);
            best = take ? squared : best;
            best_t = take ? t : best_t;
            best_index = take ? zero + static_cast<double>(j) : best_index;
            unset &= ~take;
        }
        for (std::size_t lane = 0; lane < W && k + lane < count; ++lane) {
            if (unset[lane]) {
                feet[k + lane].reset();
                continue;
            }
            const auto i = static_cast<std::size_t>(best_index[lane]);
            const double t = best_t[lane];
            feet[k + lane] =
                ClampedFoot{i, t, Point{ax[i] + t * dx[i], ay[i] + t * dy[i]}, best[lane]};
        }
    }
}

void few_feet_two(const PointView& p, std::size_t segments, const Point* queries, std::size_t count,
                  std::optional<ClampedFoot>* feet) noexcept {
    few_feet_lanes<2>(p, segments, queries, count, feet);
}

#if defined(KORVANE_WIDE_KERNELS)
__attribute__((target("avx2"))) void few_feet_four(const PointView& p, std::size_t segments,
                                                   const Point* queries, std::size_t count,
                                                   std::optional<ClampedFoot>* feet) noexcept {
    few_feet_lanes<4>(p, segments, queries, count, feet);
}
#endif

// Bit j set where the squared gap between box j of the columns (the first `count`, at most 64)
// and q, as squared_gaps measures it, is at most `within`: two at a time, or the scalar twin.
std::uint64_t boxes_within(const double* x_low, const double* y_low, const double* x_high,
                           const double* y_high, std::size_t count, Point q,
                           double within) noexcept {
    std::uint64_t bits = 0;
    std::size_t j = 0;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd();
    const __m128d qx = _mm_set1_pd(q.x);
    const __m128d qy = _mm_set1_pd(q.y);
    const __m128d limit = _mm_set1_pd(within);
    // gap(below, above): max_pd(a, b) is a > b ? a : b, so these are std::max's selections, NaN
    // included.
    const auto gap_of = [&](const double* low, const double* high, __m128d at) {
        const __m128d below = _mm_sub_pd(_mm_loadu_pd(low), at);
        const __m128d above = _mm_sub_pd(at, _mm_loadu_pd(high));
        return _mm_max_pd(zero, _mm_max_pd(above, below));
    };
    for (; j + 2 <= count; j += 2) {
        const __m128d gx = gap_of(x_low + j, x_high + j, qx);
        const __m128d gy = gap_of(y_low + j, y_high + j, qy);
        const __m128d squared = _mm_add_pd(_mm_mul_pd(gx, gx), _mm_mul_pd(gy, gy));
        bits |= static_cast<std::uint64_t>(_mm_movemask_pd(_mm_cmple_pd(squared, limit))) << j;
    }
#endif
    for (; j < count; ++j) {
        const double gx = gap(x_low[j] - q.x, q.x - x_high[j]);
        const double gy = gap(y_low[j] - q.y, q.y - y_high[j]);
        bits |= static_cast<std::uint64_t>(gx * gx + gy * gy <= within) << j;
    }
    return bits;
}

#if defined(KORVANE_WIDE_KERNELS)
// The squared gaps of four boxes to the point (qx, qy) in every lane: gap(low - q, q - high)
// with max_pd(a, b) as a > b ? a : b, std::max's selections, NaN included.
__attribute__((target("avx2"), always_inline)) inline __m256d squared_gaps_of_four(
    __m256d x_low, __m256d y_low, __m256d x_high, __m256d y_high, __m256d qx, __m256d qy) noexcept {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d gx =
        _mm256_max_pd(zero, _mm256_max_pd(_mm256_sub_pd(qx, x_high), _mm256_sub_pd(x_low, qx)));
    const __m256d gy =
        _mm256_max_pd(zero, _mm256_max_pd(_mm256_sub_pd(qy, y_high), _mm256_sub_pd(y_low, qy)));
    return _mm256_add_pd(_mm256_mul_pd(gx, gx), _mm256_mul_pd(gy, gy));
}
#endif

#if defined(KORVANE_WIDE_KERNELS)
// boxes_within four at a time where the processor has AVX2, the same selections, reading the
// boxes up to a multiple of four (those past `count` empty, low above high, never within).
__attribute__((target("avx2"))) std::uint64_t boxes_within_four(
    const double* x_low, const double* y_low, const double* x_high, const double* y_high,
    std::size_t count, Point q, double within) noexcept {
    std::uint64_t bits = 0;
    std::size_t j = 0;
    const __m256d qx = _mm256_set1_pd(q.x);
    const __m256d qy = _mm256_set1_pd(q.y);
    const __m256d limit = _mm256_set1_pd(within);
    for (; j < count; j += 4) {
        const __m256d squared =
            squared_gaps_of_four(_mm256_loadu_pd(x_low + j), _mm256_loadu_pd(y_low + j),
                                 _mm256_loadu_pd(x_high + j), _mm256_loadu_pd(y_high + j), qx, qy);
        bits |= static_cast<std::uint64_t>(
                    _mm256_movemask_pd(_mm256_cmp_pd(squared, limit, _CMP_LE_OQ)))
                << j;
    }
    return bits;
}
#endif

#if defined(KORVANE_WIDE_KERNELS)
// A fix's first step along the route in one AVX2 function: foot_among of the two whole groups
// from segment i (the coordinates in rows), then, where the foot found lies at a finite distance,
// the bits of boxes_within of the four boxes `beside` holds within it; else 12, every other
// group unproven.
__attribute__((target("avx2"))) std::uint64_t two_groups_beside(const double* x, const double* y,
                                                                std::size_t stride, std::size_t i,
                                                                Point query, const double* beside,
                                                                ClampedFoot& best) noexcept {
    if (!lanes_foot<2>(x, y, stride, i, query, best) || !(best.squared_distance < infinity)) {
        return 12;
    }
    const __m256d squared = squared_gaps_of_four(
        _mm256_load_pd(beside), _mm256_load_pd(beside + 4), _mm256_load_pd(beside + 8),
        _mm256_load_pd(beside + 12), _mm256_set1_pd(query.x), _mm256_set1_pd(query.y));
    return static_cast<std::uint64_t>(_mm256_movemask_pd(
        _mm256_cmp_pd(squared, _mm256_set1_pd(best.squared_distance), _CMP_LE_OQ)));
}

// The nearest foot on the two whole groups from `low` (squared_feet's arithmetic on the
// group's columns, the first at the lowest distance) into `foot`, and whether the four boxes
// beside them prove it the nearest of the route (where two_groups_beside of the same groups
// gives 0).
__attribute__((target("avx2"), always_inline)) inline bool proven_foot(const RouteColumns& route,
                                                                       std::size_t low, Point query,
                                                                       ClampedFoot& foot) noexcept {
    using V = Lanes<4>;
    const __m256d qx = _mm256_set1_pd(query.x);
    const __m256d qy = _mm256_set1_pd(query.y);
    __m256d squared[2];
    __m256d ts[2];
    for (std::size_t g = 0; g < 2; ++g) {
        const double* columns = &route.group_segments_of[low + g][0][0];
        V ax, ay, dx, dy, length, out, t;
        load<4>(columns, ax);
        load<4>(columns + 4, ay);
        load<4>(columns + 8, dx);
        load<4>(columns + 12, dy);
        load<4>(columns + 16, length);
        squared_feet_from(ax, ay, dx, dy, length, query, out, t);
        squared[g] = out;
        ts[g] = t;
    }
    // The lowest number of the eight in every lane (a NaN passed over: min_pd(a, b) gives b
    // where either is NaN, and infinity stands in for those of the first group).
    const __m256d first = _mm256_blendv_pd(squared[0], _mm256_set1_pd(infinity),
                                           _mm256_cmp_pd(squared[0], squared[0], _CMP_UNORD_Q));
    __m256d lowest = _mm256_min_pd(squared[1], first);
    lowest = _mm256_min_pd(lowest, _mm256_permute_pd(lowest, 5));
    lowest = _mm256_min_pd(lowest, _mm256_permute2f128_pd(lowest, lowest, 1));
    const double distance = _mm256_cvtsd_f64(lowest);
    if (!(distance < infinity)) {
        return false;
    }
    const unsigned mask =
        static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(squared[0], lowest, _CMP_EQ_OQ))) |
        static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(squared[1], lowest, _CMP_EQ_OQ)))
            << 4;
    const auto k = static_cast<std::size_t>(std::countr_zero(mask));
    const double* columns = &route.group_segments_of[low + k / 4][0][0];
    alignas(32) double t[4];
    _mm256_store_pd(t, ts[k / 4]);
    const double at = t[k % 4];
    foot = ClampedFoot{low * RouteColumns::group_segments + k, at,
                       Point{columns[k % 4] + at * columns[8 + k % 4],
                             columns[4 + k % 4] + at * columns[12 + k % 4]},
                       distance};
    const double* beside = route.beside[low];
    const __m256d gaps =
        squared_gaps_of_four(_mm256_load_pd(beside), _mm256_load_pd(beside + 4),
                             _mm256_load_pd(beside + 8), _mm256_load_pd(beside + 12), qx, qy);
    return _mm256_movemask_pd(_mm256_cmp_pd(gaps, lowest, _CMP_LE_OQ)) == 0;
}

// The two groups whose foot proven_foot tries for a fix: that of the foot `foot` and the next
// one on from the foot `from` before it, where they lie a few segments apart (nearest_feet_along's
// window); false where there are none or they are not both whole.
[[gnu::always_inline]] inline bool proven_window(std::size_t foot, std::size_t from,
                                                 std::size_t segments, std::size_t& low) noexcept {
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    constexpr std::size_t per_group = RouteColumns::group_segments;
    if (foot == none || from == none || (foot > from ? foot - from : from - foot) > 2 * per_group) {
        return false;
    }
    const std::size_t group = foot / per_group;
    const std::size_t next = foot >= from ? std::min(group + 1, (segments - 1) / per_group)
                                          : (group > 0 ? group - 1 : 0);
    low = std::min(group, next);
    return std::max(group, next) > low && (low + 2) * per_group <= segments;
}

// nearest_feet_along's first step for the fixes from k on, two a turn, as long as it proves
// their feet: `take(j, foot)` is given each proven foot in order, once `at` has moved on with
// it, and says whether to go on. Returns the first fix left to the rest of the search. The two
// fixes of a turn take their groups from the feet before both, so their searches overlap: one
// fix at a time, each waiting on the foot of the one two before and measuring from the points
// themselves, had taken about a tenth more CPU time (1,000 trips of 300 fixes). Three and four
// fixes a turn, or two trips' turns in turn, were no faster.
template <class Take>
__attribute__((target("avx2"), always_inline)) inline std::size_t proven_turns(
    const RouteColumns& route, std::span<const Point> queries, std::size_t k, FeetBefore& at,
    Take take) noexcept {
    const std::size_t segments = route.segments;
    const auto usable = [](Point q) { return std::isfinite(q.x) && std::isfinite(q.y); };
    const auto taken = [&](std::size_t j, const ClampedFoot& foot) {
        at = FeetBefore{foot.index, at.last, at.before};
        return take(j, foot);
    };
    for (; k < queries.size(); k += 2) {
        const Point query = queries[k];
        std::size_t low = 0;
        if (!usable(query) || !proven_window(at.before, at.earlier, segments, low)) {
            break;
        }
        ClampedFoot foot;
        if (k + 1 == queries.size()) {
            if (proven_foot(route, low, query, foot) && taken(k, foot)) {
                ++k;
            }
            break;
        }
        // The next fix's groups as the sequence would take them once this fix's foot is in.
        const Point next_query = queries[k + 1];
        std::size_t next_low = 0;
        const bool next_usable =
            usable(next_query) && proven_window(at.last, at.before, segments, next_low);
        ClampedFoot next_foot;
        const bool proven = proven_foot(route, low, query, foot);
        const bool next_proven = next_usable && proven_foot(route, next_low, next_query, next_foot);
        if (!proven || !taken(k, foot)) {
            break;
        }
        if (!next_proven || !taken(k + 1, next_foot)) {
            ++k;
            break;
        }
    }
    return k;
}

// proven_turns with each foot into feet[j].
__attribute__((target("avx2"))) std::size_t proven_feet(const RouteColumns& route,
                                                        std::span<const Point> queries,
                                                        std::size_t k, FeetBefore& seen,
                                                        std::optional<ClampedFoot>* feet) noexcept {
    return proven_turns(route, queries, k, seen, [&](std::size_t j, const ClampedFoot& foot) {
        feet[j].emplace(foot);
        return true;
    });
}
#endif

#if defined(KORVANE_WIDE_KERNELS)
// frenet_row of a fix's proven foot inside its segment (0 < t < 1), from the group's columns:
// the same differences, squared length and cross product as the path's points give it.
[[gnu::always_inline]] inline void proven_row(const RouteColumns& route,
                                              std::span<const double> path_length,
                                              const ClampedFoot& foot, Point query,
                                              double max_distance, const FrenetColumns& rows,
                                              std::size_t k) noexcept {
    const double distance = std::sqrt(foot.squared_distance);
    const std::size_t i = foot.index;
    const double* columns = &route.group_segments_of[i / RouteColumns::group_segments][0][0];
    const std::size_t lane = i % RouteColumns::group_segments;
    const double s = path_length[i] + std::sqrt(columns[16 + lane]) * foot.t;
    if (!(distance <= max_distance) || std::isnan(s)) {
        rows.s[k] = rows.d[k] = rows.distance[k] = std::numeric_limits<double>::quiet_NaN();
        rows.segment[k] = -1;
        return;
    }
    const double side = columns[8 + lane] * (query.y - columns[4 + lane]) -
                        columns[12 + lane] * (query.x - columns[lane]);
    rows.s[k] = s;
    rows.d[k] = side < 0.0 ? -distance : distance;
    rows.distance[k] = distance;
    rows.segment[k] = static_cast<std::int64_t>(i);
}

// proven_rows where the processor has AVX2: proven_turns writing the row of each foot inside
// its segment, and stopping at a foot at a vertex.
__attribute__((target("avx2"))) std::size_t proven_rows_wide(
    const RouteColumns& route, std::span<const double> path_length, std::span<const Point> queries,
    std::size_t k, double max_distance, FeetBefore& seen, const FrenetColumns& rows,
    std::optional<ClampedFoot>& vertex_foot) noexcept {
    vertex_foot.reset();
    return proven_turns(route, queries, k, seen, [&](std::size_t j, const ClampedFoot& foot) {
        if (foot.t > 0.0 && foot.t < 1.0) {
            proven_row(route, path_length, foot, queries[j], max_distance, rows, j);
            return true;
        }
        vertex_foot.emplace(foot);
        return false;
    });
}
#endif

#if defined(KORVANE_WIDE_KERNELS)
// squared_gaps four at a time where the processor has AVX2, the same operations, into
// out[0, count rounded up to four): the boxes filled up to there.
__attribute__((target("avx2"))) void squared_gaps_four(const LeafColumns& leaves, Point q,
                                                       double* out) noexcept {
    const __m256d qx = _mm256_set1_pd(q.x);
    const __m256d qy = _mm256_set1_pd(q.y);
    for (std::size_t j = 0; j < leaves.count; j += 4) {
        _mm256_store_pd(out + j, squared_gaps_of_four(_mm256_load_pd(leaves.x_low + j),
                                                      _mm256_load_pd(leaves.y_low + j),
                                                      _mm256_load_pd(leaves.x_high + j),
                                                      _mm256_load_pd(leaves.y_high + j), qx, qy));
    }
}
#endif

// squared_gaps at the widest the processor has, the boxes filled up to a multiple of four.
void squared_gaps_wide(const LeafColumns& leaves, Point q, double* out) noexcept {
#if defined(KORVANE_WIDE_KERNELS)
    if (has_avx2()) {
        return squared_gaps_four(leaves, q, out);
    }
#endif
    squared_gaps(leaves, q, out);
}

// boxes_within at the widest the processor has, the columns filled up to a multiple of four.
std::uint64_t boxes_within_wide(const double* x_low, const double* y_low, const double* x_high,
                                const double* y_high, std::size_t count, Point q,
                                double within) noexcept {
#if defined(KORVANE_WIDE_KERNELS)
    if (has_avx2()) {
        return boxes_within_four(x_low, y_low, x_high, y_high, count, q, within);
    }
#endif
    return boxes_within(x_low, y_low, x_high, y_high, count, q, within);
}

// Opens the leaves whose squared gaps `gaps` holds (spent here), nearest first, while a gap is
// at most `within` or, once a foot is found, its squared distance.
[[gnu::always_inline]] inline void open_nearest_first(const LeafColumns& leaves, const PointView& p,
                                                      Point query, double* gaps, double within,
                                                      ClampedFoot& best) noexcept {
    for (;;) {
        double g;
        const std::size_t nearest = lowest_first(gaps, leaves.count, g);
        if (!(g <= within)) {
            return;
        }
        gaps[nearest] = infinity;
        if (foot_among(p, leaves.begin[nearest], leaves.end[nearest], query, best)) {
            within = best.squared_distance;
        }
    }
}

}  // namespace

bool nearest_foot_among(const PointView& p, std::size_t begin, std::size_t end, Point query,
                        ClampedFoot& best) noexcept {
#if defined(KORVANE_WIDE_KERNELS)
    const double* x = p.x().first();
    const double* y = p.y().first();
    const std::size_t stride = p.x().stride();
    if (end - begin == 16 && in_rows(p) && has_avx2()) {
        return whole_leaf_foot(x, y, stride, begin, query, best);
    }
#endif
    return foot_among(p, begin, end, query, best);
}

void nearest_feet_in(const LeafColumns& leaves, const PointView& p, std::span<const Point> queries,
                     double limit, std::optional<ClampedFoot>* feet) noexcept {
    alignas(64) double gaps[LeafColumns::capacity + 2];
    gaps[leaves.count] = infinity;  // pairs the last gap of an odd count
    for (std::size_t k = 0; k < queries.size(); ++k) {
        const Point& query = queries[k];
        // Written in place: a foot copied just after its stores would wait for them to reach
        // the cache.
        ClampedFoot& best = feet[k].emplace(std::numeric_limits<std::size_t>::max(), 0.0,
                                            Point{0.0, 0.0}, infinity);
        // Nearest first: the leaf holding the answer then usually tightens the limit past the
        // others. Each turn picks the nearest left without branches; most queries take two
        // turns (a million queries: 126 to 136 ms against 140 to 150 ms insertion-sorting them
        // first).
        squared_gaps(leaves, query, gaps);
        open_nearest_first(leaves, p, query, gaps, limit, best);
    }
}

#if defined(KORVANE_WIDE_KERNELS)
// whole_group_boxes in AVX2: a group's four segments side by side, min_pd(a, b) and max_pd(a, b)
// being a < b ? a : b and a > b ? a : b, route_columns' selections (a NaN corner passed over);
// the lanes then hold numbers, whose least and greatest no order changes (but for the sign of a
// zero, which no squared gap or magnitude sees).
// The least and the greatest of four numbers.
__attribute__((target("avx2"), always_inline)) inline double least_of_four(__m256d v) noexcept {
    const __m128d half = _mm_min_pd(_mm256_extractf128_pd(v, 1), _mm256_castpd256_pd128(v));
    return _mm_cvtsd_f64(_mm_min_pd(_mm_unpackhi_pd(half, half), half));
}

__attribute__((target("avx2"), always_inline)) inline double most_of_four(__m256d v) noexcept {
    const __m128d half = _mm_max_pd(_mm256_extractf128_pd(v, 1), _mm256_castpd256_pd128(v));
    return _mm_cvtsd_f64(_mm_max_pd(_mm_unpackhi_pd(half, half), half));
}

__attribute__((target("avx2"))) void group_boxes_four(const double* x, const double* y,
                                                      std::size_t stride, std::size_t groups,
                                                      RouteColumns& route) noexcept {
    using V = Lanes<4>;
    const __m256d high = _mm256_set1_pd(infinity);
    const __m256d low = _mm256_set1_pd(-infinity);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t j = 4 * g;
        V ax, ay, bx, by;
        load_segments<4>(x, y, stride, j, ax, ay, bx, by);
        const V dx = bx - ax;
        const V dy = by - ay;
        double* const columns = &route.group_segments_of[g][0][0];
        store<4>(columns, ax);
        store<4>(columns + 4, ay);
        store<4>(columns + 8, dx);
        store<4>(columns + 12, dy);
        store<4>(columns + 16, dx * dx + dy * dy);
        const __m256d px = reinterpret_cast<__m256d>(ax);
        const __m256d py = reinterpret_cast<__m256d>(ay);
        const __m256d cx = reinterpret_cast<__m256d>(ax + dx);
        const __m256d cy = reinterpret_cast<__m256d>(ay + dy);
        route.x_low[g] = least_of_four(_mm256_min_pd(cx, _mm256_min_pd(px, high)));
        route.y_low[g] = least_of_four(_mm256_min_pd(cy, _mm256_min_pd(py, high)));
        route.x_high[g] = most_of_four(_mm256_max_pd(cx, _mm256_max_pd(px, low)));
        route.y_high[g] = most_of_four(_mm256_max_pd(cy, _mm256_max_pd(py, low)));
    }
}
#endif

std::size_t whole_group_boxes(const PointView& p, std::size_t groups,
                              RouteColumns& route) noexcept {
#if defined(KORVANE_WIDE_KERNELS)
    const double* x = p.x().first();
    const double* y = p.y().first();
    const std::size_t stride = p.x().stride();
    if (in_rows(p) && has_avx2()) {
        group_boxes_four(x, y, stride, groups, route);
        return groups;
    }
#else
    (void)p;
    (void)groups;
    (void)route;
#endif
    return 0;
}

void route_beside(RouteColumns& route) noexcept {
    constexpr std::size_t per_group = RouteColumns::group_segments;
    const std::size_t groups = (route.segments + per_group - 1) / per_group;
    struct Box {
        double x_low = infinity, y_low = infinity, x_high = -infinity, y_high = -infinity;
        void add(const Box& other) noexcept {
            x_low = std::min(x_low, other.x_low);
            y_low = std::min(y_low, other.y_low);
            x_high = std::max(x_high, other.x_high);
            y_high = std::max(y_high, other.y_high);
        }
    };
    const auto group = [&](std::size_t g) {
        return g < groups ? Box{route.x_low[g], route.y_low[g], route.x_high[g], route.y_high[g]}
                          : Box{};
    };
    const auto put = [](double* to, std::size_t column, const Box& box) {
        to[column] = box.x_low;
        to[4 + column] = box.y_low;
        to[8 + column] = box.x_high;
        to[12 + column] = box.y_high;
    };
    Box after;  // the groups after w + 2
    for (std::size_t w = groups < 2 ? 0 : groups - 1; w-- > 0;) {
        if (w + 3 < groups) {
            after.add(group(w + 3));
        }
        put(route.beside[w], 3, after);
    }
    Box before;  // the groups before w - 1
    for (std::size_t w = 0; w + 1 < groups; ++w) {
        if (w >= 2) {
            before.add(group(w - 2));
        }
        put(route.beside[w], 0, w > 0 ? group(w - 1) : Box{});
        put(route.beside[w], 1, group(w + 2));
        put(route.beside[w], 2, before);
    }
}

void nearest_feet_along(const RouteColumns& route, const PointView& p,
                        std::span<const Point> queries, bool in_order,
                        std::optional<ClampedFoot>* feet) noexcept {
    FeetBefore seen;
    nearest_feet_along(route, p, queries, in_order, feet, seen, false);
}

void nearest_feet_along(const RouteColumns& route, const PointView& p,
                        std::span<const Point> queries, bool in_order,
                        std::optional<ClampedFoot>* feet, FeetBefore& seen_before,
                        bool first_tried) noexcept {
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    constexpr double any = std::numeric_limits<double>::max();
    constexpr std::size_t per_group = RouteColumns::group_segments;
    constexpr std::size_t per_leaf = RouteColumns::leaf_groups;
    const LeafColumns& leaves = route.leaves;
    const std::size_t segments = route.segments;
    alignas(64) double gaps[LeafColumns::capacity + 2];
    gaps[leaves.count] = infinity;              // pairs the last gap of an odd count
    std::size_t last = seen_before.last;        // the segment of the query before's foot
    std::size_t before = seen_before.before;    // and of the one before it
    std::size_t earlier = seen_before.earlier;  // and of the one before that
#if defined(KORVANE_WIDE_KERNELS)
    const double* x = p.x().first();
    const double* y = p.y().first();
    const std::size_t stride = p.x().stride();
    const bool two_wide = in_rows(p) && has_avx2();
#endif
    for (std::size_t k = 0; k < queries.size(); ++k) {
#if defined(KORVANE_WIDE_KERNELS)
        // First the two groups that the feet of the two fixes before the last lead to, where the
        // four boxes around them prove their foot the nearest with no group beside them to
        // measure: the answer is then the first of the nearest feet of all segments, which every
        // search gives, and it waits on no foot of the fix just before. A fix at a time, each
        // waiting on the one before, had run at the latency of its measures (noisy drives: 96 %
        // proven so, 1,000 trips of 300 fixes 22.3 -> 17.8 ms).
        if (in_order && two_wide && !(first_tried && k == 0)) {
            FeetBefore seen{last, before, earlier};
            k = proven_feet(route, queries, k, seen, feet);
            last = seen.last;
            before = seen.before;
            earlier = seen.earlier;
            if (k == queries.size()) {
                break;
            }
        }
#endif
        const Point query = queries[k];
        if (!std::isfinite(query.x) || !std::isfinite(query.y)) {
            feet[k].reset();  // no distance of such a query is a number
            continue;
        }
        ClampedFoot best{none, 0.0, Point{0.0, 0.0}, infinity};
        double within = any;
        constexpr std::size_t near_steps = 2 * per_group;
        // The group of a foot and the next one on in the direction of travel from the foot
        // before it, where they lie a few segments apart.
        const auto window = [&](std::size_t foot, std::size_t from, std::size_t& low,
                                std::size_t& high) {
            if (foot == none || from == none ||
                (foot > from ? foot - from : from - foot) > near_steps) {
                return false;
            }
            const std::size_t at = foot / per_group;
            const std::size_t next =
                foot >= from ? std::min(at + 1, (segments - 1) / per_group) : (at > 0 ? at - 1 : 0);
            low = std::min(at, next);
            high = std::max(at, next);
            return true;
        };
        std::size_t low = 0;
        std::size_t high = 0;
        if (in_order && window(last, before, low, high)) {
            // A foot nearer or as near lies in no group whose box is farther (a box's gap never
            // exceeds a foot's distance in it, nor a gap to boxes around it the gap to it). Four
            // boxes around the two groups mostly prove that at once: the groups beside them, then
            // those before and after (97 % of the fixes of noisy drives). Bits 2 and 3 set where
            // they do not, bits 0 and 1 where the groups beside are within the distance.
            std::uint64_t beside = 12;
            const double* box = route.beside[low];
#if defined(KORVANE_WIDE_KERNELS)
            if (two_wide && high > low && (high + 1) * per_group <= segments) {
                beside = two_groups_beside(x, y, stride, low * per_group, query, box, best);
                within = best.index == none ? any : best.squared_distance;
            } else
#endif
            {
                if (foot_among(p, low * per_group, std::min((high + 1) * per_group, segments),
                               query, best)) {
                    within = best.squared_distance;
                }
                if (high > low && best.squared_distance < infinity) {
                    beside = boxes_within_wide(box, box + 4, box + 8, box + 12, 4, query, within);
                }
            }
            if ((beside & 1) != 0 &&
                foot_among(p, (low - 1) * per_group, low * per_group, query, best)) {
                within = best.squared_distance;
            }
            if ((beside & 2) != 0 &&
                foot_among(p, (high + 1) * per_group, std::min((high + 2) * per_group, segments),
                           query, best)) {
                within = best.squared_distance;
            }
            // Else every other group within that distance, in the leaves within it.
            for (std::uint64_t near =
                     (beside & 12) == 0
                         ? 0
                         : boxes_within_wide(leaves.x_low, leaves.y_low, leaves.x_high,
                                             leaves.y_high, leaves.count, query, within);
                 near != 0; near &= near - 1) {
                const std::size_t first =
                    static_cast<std::size_t>(std::countr_zero(near)) * per_leaf;
                std::uint64_t groups =
                    boxes_within(route.x_low + first, route.y_low + first, route.x_high + first,
                                 route.y_high + first, per_leaf, query, within);
                for (; groups != 0; groups &= groups - 1) {
                    const std::size_t g =
                        first + static_cast<std::size_t>(std::countr_zero(groups));
                    if ((g < low || g > high) &&
                        foot_among(p, g * per_group, std::min((g + 1) * per_group, segments), query,
                                   best)) {
                        within = best.squared_distance;
                    }
                }
            }
        } else {
            // Nearest leaf first: the leaf holding the answer then usually bounds the others.
            squared_gaps_wide(leaves, query, gaps);
            open_nearest_first(leaves, p, query, gaps, within, best);
        }
        earlier = before;
        before = last;
        last = best.index;
        if (last == none) {
            feet[k].reset();
        } else {
            feet[k] = best;
        }
    }
    seen_before = FeetBefore{last, before, earlier};
}

bool along_rows_wide(const PointView& p) noexcept {
#if defined(KORVANE_WIDE_KERNELS)
    return in_rows(p) && has_avx2();
#else
    (void)p;
    return false;
#endif
}

std::size_t proven_rows(const RouteColumns& route, std::span<const double> path_length,
                        std::span<const Point> queries, std::size_t k, double max_distance,
                        FeetBefore& seen, const FrenetColumns& rows,
                        std::optional<ClampedFoot>& vertex_foot) noexcept {
#if defined(KORVANE_WIDE_KERNELS)
    return proven_rows_wide(route, path_length, queries, k, max_distance, seen, rows, vertex_foot);
#else
    (void)route;
    (void)path_length;
    (void)queries;
    (void)max_distance;
    (void)seen;
    (void)rows;
    vertex_foot.reset();
    return k;
#endif
}

bool nearest_feet_one_leaf(const LeafColumns& leaf, const PointView& p,
                           std::span<const Point> queries,
                           std::optional<ClampedFoot>* feet) noexcept {
    const std::size_t segments = leaf.end[0] - leaf.begin[0];
    if (leaf.count != 1 || leaf.begin[0] != 0 || segments > few_feet_segments) {
        return false;
    }
#if defined(KORVANE_VECTOR_KERNELS)
#if defined(KORVANE_WIDE_KERNELS)
    if (has_avx2()) {
        few_feet_four(p, segments, queries.data(), queries.size(), feet);
    } else
#endif
    {
        few_feet_two(p, segments, queries.data(), queries.size(), feet);
    }
    // As nearest_feet_in: a box beyond every limit is not opened. A query with a coordinate
    // that is not finite has no foot, even where the box reaches infinity (a path with an
    // infinite coordinate) and its gap comes out 0.
    for (std::size_t k = 0; k < queries.size(); ++k) {
        const Point q = queries[k];
        const double gx = gap(leaf.x_low[0] - q.x, q.x - leaf.x_high[0]);
        const double gy = gap(leaf.y_low[0] - q.y, q.y - leaf.y_high[0]);
        if (!(gx * gx + gy * gy <= std::numeric_limits<double>::max()) || !std::isfinite(q.x) ||
            !std::isfinite(q.y)) {
            feet[k].reset();
        }
    }
    return true;
#else
    return false;
#endif
}

}  // namespace korvane
