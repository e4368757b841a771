// src/path2d/elastic_band_solver.cpp: the elastic band problem as least squares in the interior
// offsets within a box, solved by an interior point method on banded factors
#include "path2d/elastic_band_solver.hpp"

#include <algorithm>
#include <cfloat>
#include <bit>
#include <cmath>
#include <new>
#include <stdexcept>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include "path2d/path2d.hpp"
#include "util/processor.hpp"

namespace korvane {

// The problem, scaled by the band D: interior point i + 1 (i = 0 .. m - 1, m = n - 2) moves by
// D·d_i·w_i with d_i in [-1, 1], w_i its unit normal (sin θ, -cos θ) for OrthogonalBounds, and
// 1 per coordinate for SquareBounds, whose two coordinates are two problems of one channel,
// solved side by side as the two lanes of pairs of doubles.
// The second difference at interior point k + 1, over D, is the residual
//     e_k = r_k + w_{k-1} d_{k-1} - 2 w_k d_k + w_{k+1} d_{k+1},
// r_k that of the input (terms outside 0 .. m - 1 absent), and the objective is D² Σ |e_k|².
// The Hessian H of φ = ½ Σ |e_k|² is pentadiagonal and positive definite (the Hadamard product
// of the second-difference Gram matrix with the Gram matrix of the unit vectors w), but its
// condition number grows with the fourth power of a run of offsets inside the box.
//
// A primal-dual interior point method (Mehrotra's predictor and corrector) on -1 <= d <= 1
// solves one banded system H + diag(z / s) per step, two right-hand sides each. Once its gap
// is a small fraction of φ, the bounds it finds active are made exact by primal-dual active
// set steps (the optimum of the face those bounds define; bounds joined where that optimum
// leaves the box and left where the gradient points inwards; until nothing changes). Near the
// optimum that takes one or two solves, and the answer is the optimum to rounding, with every
// offset held at exactly -1 or 1. Where the active set steps do not settle, the interior point
// method goes on to a smaller gap and tries again.

namespace {

// The interior point method first stops at a gap of this fraction of φ, then at each hundredth
// of it down to the last, or below an absolute floor per offset: φ is in units of the band
// squared, so the floor is a residual of 1e-12 of the band at every point.
constexpr double kFirstGap = 1e-5;
// SquareBounds first tries the active set steps at a smaller gap: its attempts at 1e-5 fail
// for a quarter of the fleet's trips, each failure a solve, and an interior point step costs
// less than one (5 % off its time on the fleet's trips; OrthogonalBounds' attempts succeed).
constexpr double kSquareFirstGap = 1e-6;
// The start: the input smoothed without the box, each offset held towards 0 by a weight of
// kStartWeight (the Hessian's diagonal is about 6), then capped at kStartCap of the way to its
// bounds; its duals the gradient's part pushing against each bound, plus kFirstDual of the
// gradient's root mean square at the input. Against the input with duals of a tenth of that
// root mean square, this saves a fifth of the steps on the fleet's trips with either method;
// a cap of 0.7 against 0.9 another 2 % of SquareBounds' and 4 % of OrthogonalBounds' (1,000
// trips at ten bands from 0.01 to 30).
constexpr double kStartWeight = 0.1;
constexpr double kStartCap = 0.7;
constexpr double kFirstDual = 0.003;
constexpr double kLastGap = 1e-12;
constexpr double kGapFloor = 1e-24;
// The problems met take 5 to 25 steps.
constexpr std::size_t kMaxIterations = 200;
// Steps go this fraction of the way to the boundary of the positive orthant: 0.999 against
// 0.99 saves 6 % of the steps of SquareBounds on the fleet's trips and 14 % on long tracks,
// and 0.9999 another 3 % of SquareBounds' (OrthogonalBounds' are the same).
constexpr double kToBoundary = 0.9999;
// A lane whose gap has not fallen below its smallest for this many steps tries the active set
// steps whatever its gap: the corrector can stall short of the tolerance, its gap going up and
// down step after step until the steps run out and the track is reported unsolved (4 of the
// fleet's 1,000 trips at bands from 0.01 to 30, none since), long after the bounds are right.
constexpr std::size_t kStalledSteps = 2;
// Active set steps per attempt; a free offset joins its bound when it leaves the box by more
// than kBoxTolerance, and a held one leaves it when the gradient points inwards by more than
// kGradientTolerance of the largest gradient at the input (rounding may leave a degenerate
// bound's gradient of either sign). OrthogonalBounds' attempts settle within six steps on the
// fleet's trips and in three on long tracks, after up to 93 changes in the first step.
constexpr std::size_t kMaxActiveSetSteps = 4;
constexpr std::size_t kMaxOrthogonalActiveSetSteps = 10;
// A SquareBounds attempt whose first step changes more bounds than this, plus one per
// kOffsetsPerFirstChange offsets, ends there. Attempts that settle change at most five in their
// first step on the fleet's trips; those that change more rarely settle within the steps
// allowed: its optimum touches the bounds at isolated points with tiny multipliers between long
// runs of free offsets (along straights), and the face's optimum of such a run leaves the box
// far and wide for every bound the interior point misjudged. The bounds misjudged at a given
// gap grow with the track's length, though: long tracks' attempts settle after 13 changes in
// their first step, and a limit of 8 for them cost one or two steps of some 26 (27,000 points).
constexpr std::size_t kMostFirstChanges = 8;
constexpr std::size_t kOffsetsPerFirstChange = 2048;
constexpr double kBoxTolerance = 1e-12;
constexpr double kGradientTolerance = 1e-12;
// A pivot below this fraction of its diagonal entry is raised to it, so that the factors stay
// those of a positive definite matrix; the systems are positive definite, and only rounding
// could take a pivot there.
constexpr double kPivotFloor = 1e-14;

enum Status : unsigned char { kFree = 0, kAtLower = 1, kAtUpper = 2 };

// The interior point method's arithmetic runs on one problem (double) or on two problems at
// once, SquareBounds' two coordinates, as the two lanes of a pair: the factorisation and the
// substitutions are chains of dependent operations, and a pair carries two chains for the
// price of one. Every operation is lane by lane, so each lane computes what its own solve would.
using Pair = double __attribute__((vector_size(16), __may_alias__));

template <class T>
constexpr int kLanes = static_cast<int>(sizeof(T) / sizeof(double));

template <class T>
T splat(double v) noexcept {
    if constexpr (kLanes<T> == 1) {
        return v;
    } else {
        return T{} + v;
    }
}
// std::max and std::min, written so that they take a pair too (lane by lane) and give exactly
// what the standard functions give for one double.
template <class T>
T lane_max(T a, T b) noexcept {
    return a < b ? b : a;
}
template <class T>
T lane_min(T a, T b) noexcept {
    return b < a ? b : a;
}
template <class T>
double lane(const T& v, int l) noexcept {
    return reinterpret_cast<const double*>(&v)[l];
}

// The weight w_k of one channel: one channel's are 1, and not stored (a product with 1 is
// exact, so skipping it changes nothing).
template <int Channels>
double weight(const double* w, std::size_t k) noexcept {
    return Channels == 2 ? w[k] : 1.0;
}

// Σ v_k² and max |v_k| over k < n, each in four running values: a single sum's chain of
// additions would bound the loop (a trip's setup and active set attempts read such sums of
// every offset several times; 4 % of their time).
inline double sum_of_squares(const double* v, std::size_t n) noexcept {
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        for (std::size_t i = 0; i < 4; ++i) {
            s[i] += v[k + i] * v[k + i];
        }
    }
    for (; k < n; ++k) {
        s[0] += v[k] * v[k];
    }
    return (s[0] + s[1]) + (s[2] + s[3]);
}
inline double largest_magnitude(const double* v, std::size_t n) noexcept {
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        for (std::size_t i = 0; i < 4; ++i) {
            s[i] = std::max(s[i], std::fabs(v[k + i]));
        }
    }
    for (; k < n; ++k) {
        s[0] = std::max(s[0], std::fabs(v[k]));
    }
    return std::max(std::max(s[0], s[1]), std::max(s[2], s[3]));
}

// Writes the residuals e of offsets d and returns φ = ½ Σ e².
// (Channels channels from `first` on.)
template <int Channels>
double residuals(std::size_t m, double* const (&r)[2], double* const (&w)[2], const double* d,
                 double* const (&e)[2], int first = 0) noexcept {
    double sum = 0.0;
    for (int c = first; c < first + Channels; ++c) {
        const double* rc = r[c];
        const double* wc = w[c];
        double* ec = e[c];
        double before = 0.0;
        double here = weight<Channels>(wc, 0) * d[0];
        for (std::size_t k = 0; k + 1 < m; ++k) {
            const double after = weight<Channels>(wc, k + 1) * d[k + 1];
            ec[k] = rc[k] + (before + after - 2.0 * here);
            before = here;
            here = after;
        }
        ec[m - 1] = rc[m - 1] + (before - 2.0 * here);
        sum += sum_of_squares(ec, m);
    }
    return 0.5 * sum;
}

// The gradient of φ from the residuals: g_j = w_j · (e_{j-1} - 2 e_j + e_{j+1}).
template <int Channels>
void gradient(std::size_t m, double* const (&w)[2], double* const (&e)[2], double* g,
              int first = 0) noexcept {
    std::fill(g, g + m, 0.0);
    for (int c = first; c < first + Channels; ++c) {
        const double* wc = w[c];
        const double* ec = e[c];
        double before = 0.0;
        for (std::size_t j = 0; j + 1 < m; ++j) {
            g[j] += weight<Channels>(wc, j) * (before + ec[j + 1] - 2.0 * ec[j]);
            before = ec[j];
        }
        g[m - 1] += weight<Channels>(wc, m - 1) * (before - 2.0 * ec[m - 1]);
    }
}

// The band is factored from both ends at once, rows 0 .. k - 1 downwards and rows m - 1 .. k + 2
// upwards, the two meeting in the block of rows k and k + 1: the factorisation and each
// substitution are chains of dependent operations, and two chains of half the length run side by
// side (rows the same distance from either end in one pass). A row factored upwards keeps in l1
// and l2 its entries towards rows i - 1 and i - 2; the block keeps its own factor in inverse[k],
// inverse[k + 1] and l1[k].
inline std::size_t meeting_row(std::size_t m) noexcept {
    return m >= 2 ? m / 2 - 1 : 0;
}

// One end's elimination, with what it carries from the two rows it last eliminated (in its own
// direction): inverse pivots, u, c and the forward substitution's values. Before its first rows
// c may start at any value, as it is read only times an inverse pivot of 0: a band whose c is
// a constant starts it there, so that the compiler knows c throughout (1 for one channel, whose
// products with it then go).
template <class T>
struct Elimination {
    explicit Elimination(T c_before) noexcept : c_1(c_before), c_2(c_before) {}
    T inverse_1 = splat<T>(0.0);
    T inverse_2 = splat<T>(0.0);
    T u_1 = splat<T>(0.0);
    T c_1;
    T c_2;
    T x_1 = splat<T>(0.0);
    T x_2 = splat<T>(0.0);

    // Row j of diagonal a, entry b towards the next row and c towards the one after.
    // In terms of u_j = L(j + 1, j)·pivot_j, the entry of the next row that row j eliminates:
    //     pivot_j = a_j - c_{j-2}² / pivot_{j-2} - u_{j-1}² / pivot_{j-1},
    //     u_j = b_j - c_{j-1} u_{j-1} / pivot_{j-1},
    // which keeps a single division on the path from one pivot to the next.
    // UnitSecond: c is 1 and l2 the inverse pivots' own array, which holds its entries already.
    template <bool Floored, bool UnitSecond>
    void row(std::size_t j, T a, T b, T c, T right, T& shortfall, T* inverse, T* l1, T* l2,
             T* x) noexcept {
        T p = (a - c_2 * c_2 * inverse_2) - (u_1 * u_1) * inverse_1;
        shortfall = lane_max<T>(shortfall, kPivotFloor * a - p);
        if constexpr (Floored) {
            p = lane_max<T>(p, kPivotFloor * a);
        }
        const T u = b - c_1 * u_1 * inverse_1;
        const T inv = 1.0 / p;
        const T v = right - (u_1 * inverse_1) * x_1 - (c_2 * inverse_2) * x_2;
        inverse[j] = inv;
        l1[j] = u * inv;
        if constexpr (!UnitSecond) {
            l2[j] = c * inv;
        }
        x[j] = v;
        inverse_2 = inverse_1;
        inverse_1 = inv;
        u_1 = u;
        c_2 = c_1;
        c_1 = c;
        x_2 = x_1;
        x_1 = v;
    }
};

// The rows of factor_band; false when a pivot fell below its floor. They are factored without
// the floor first, so that the pivot's path from one row to the next, which bounds the
// factorisation's speed, is a product, a difference and the division (7 % off the time of the
// fleet's trips); should a pivot fall below its floor, which only rounding could do, the rows
// are factored again with it.
template <bool Floored, bool UnitSecond, class T, class Diagonal, class First, class Second,
          class Right>
bool factor_rows(std::size_t m, Diagonal& diagonal, First& first, Second& second, T* inverse, T* l1,
                 T* l2, T* x, Right& right) noexcept {
    T shortfall = splat<T>(0.0);  // of the pivots below their floor
    if (m == 1) {
        const T a = diagonal(0);
        shortfall = kPivotFloor * a - a;
        inverse[0] = 1.0 / (Floored ? lane_max<T>(a, kPivotFloor * a) : a);
        x[0] = right(0);
    } else {
        const std::size_t k = meeting_row(m);
        const T c_before = splat<T>(UnitSecond ? 1.0 : 0.0);
        Elimination<T> down(c_before);
        Elimination<T> up(c_before);
        // Row i upwards: diagonal a_i, entries b_{i-1} towards row i - 1 and c_{i-2} beyond.
        for (std::size_t t = 0; t < k; ++t) {
            const std::size_t i = m - 1 - t;
            down.template row<Floored, UnitSecond>(t, diagonal(t), first(t), second(t), right(t),
                                                   shortfall, inverse, l1, l2, x);
            up.template row<Floored, UnitSecond>(i, diagonal(i), first(i - 1), second(i - 2),
                                                 right(i), shortfall, inverse, l1, l2, x);
        }
        if (m - 2 - k > k) {  // an odd m leaves one more row to the upwards end
            const std::size_t i = k + 2;
            up.template row<Floored, UnitSecond>(i, diagonal(i), first(i - 1), second(i - 2),
                                                 right(i), shortfall, inverse, l1, l2, x);
        }
        // The block of rows k and k + 1, with what both ends eliminate from it.
        const T a = diagonal(k);
        const T b = first(k);
        const T a_next = diagonal(k + 1);
        const T alpha =
            ((a - down.c_2 * down.c_2 * down.inverse_2) - (down.u_1 * down.u_1) * down.inverse_1) -
            (up.c_1 * up.c_1) * up.inverse_1;
        const T beta = (b - down.c_1 * down.u_1 * down.inverse_1) - up.c_1 * up.u_1 * up.inverse_1;
        const T gamma =
            ((a_next - down.c_1 * down.c_1 * down.inverse_1) - up.c_2 * up.c_2 * up.inverse_2) -
            (up.u_1 * up.u_1) * up.inverse_1;
        const T v = ((right(k) - (down.u_1 * down.inverse_1) * down.x_1) -
                     (down.c_2 * down.inverse_2) * down.x_2) -
                    (up.c_1 * up.inverse_1) * up.x_1;
        const T v_next = ((right(k + 1) - (down.c_1 * down.inverse_1) * down.x_1) -
                          (up.u_1 * up.inverse_1) * up.x_1) -
                         (up.c_2 * up.inverse_2) * up.x_2;
        shortfall = lane_max<T>(shortfall, kPivotFloor * a - alpha);
        const T inv = 1.0 / (Floored ? lane_max<T>(alpha, kPivotFloor * a) : alpha);
        const T l = beta * inv;
        T p_next = gamma - beta * l;
        shortfall = lane_max<T>(shortfall, kPivotFloor * a_next - p_next);
        if constexpr (Floored) {
            p_next = lane_max<T>(p_next, kPivotFloor * a_next);
        }
        inverse[k] = inv;
        inverse[k + 1] = 1.0 / p_next;
        l1[k] = l;
        x[k] = v;
        x[k + 1] = v_next - l * v;
    }
    for (int l = 0; l < kLanes<T>; ++l) {
        if (lane(shortfall, l) > 0.0) {
            return false;
        }
    }
    return true;
}

// The factors of the symmetric band with diagonal(j) and the entries first(j) at (j, j + 1) and
// second(j) at (j, j + 2), from both ends as above, keeping the inverse pivots; with each row it
// also substitutes forwards (towards the block), right(j) being the right-hand side of row j.
// UnitSecond: second(j) is the constant 1, and l2 is `inverse` itself (the entries two rows
// apart of a unit factor, c / pivot, are then the inverse pivots).
template <bool UnitSecond = false, class T, class Diagonal, class First, class Second, class Right>
void factor_band(std::size_t m, Diagonal diagonal, First first, Second second, T* inverse, T* l1,
                 T* l2, T* x, Right right) noexcept {
    if (!factor_rows<false, UnitSecond>(m, diagonal, first, second, inverse, l1, l2, x, right)) {
        factor_rows<true, UnitSecond>(m, diagonal, first, second, inverse, l1, l2, x, right);
    }
}

// Substitutes forwards, from both ends towards the block, the right-hand side of row j being
// right(j).
template <class T, class Right>
void forward_band(std::size_t m, const T* l1, const T* l2, T* x, Right right) noexcept {
    if (m == 1) {
        x[0] = right(0);
        return;
    }
    const std::size_t k = meeting_row(m);
    const T zero = splat<T>(0.0);
    // x of the two rows before in each direction, and the entries that reach the next row
    T down_1 = zero, down_2 = zero, up_1 = zero, up_2 = zero;
    T down_l1 = zero, down_l2_1 = zero, down_l2_2 = zero;
    T up_l1 = zero, up_l2_1 = zero, up_l2_2 = zero;
    const auto step = [&](std::size_t j, T& x_1, T& x_2, T& e1, T& e2_1, T& e2_2) {
        // The value of the row before is taken last: the chain from one row to the next is
        // then a product and a difference.
        const T v = (right(j) - e2_2 * x_2) - e1 * x_1;
        x[j] = v;
        x_2 = x_1;
        x_1 = v;
        e1 = l1[j];
        e2_2 = e2_1;
        e2_1 = l2[j];
    };
    for (std::size_t t = 0; t < k; ++t) {
        step(t, down_1, down_2, down_l1, down_l2_1, down_l2_2);
        step(m - 1 - t, up_1, up_2, up_l1, up_l2_1, up_l2_2);
    }
    if (m - 2 - k > k) {
        step(k + 2, up_1, up_2, up_l1, up_l2_1, up_l2_2);
    }
    const T v = ((right(k) - down_l1 * down_1) - down_l2_2 * down_2) - up_l2_1 * up_1;
    const T v_next = ((right(k + 1) - down_l2_1 * down_1) - up_l1 * up_1) - up_l2_2 * up_2;
    x[k] = v;
    x[k + 1] = v_next - l1[k] * v;
}

// Substitutes backwards in place, from the block towards both ends, calling `done(j)` as x[j] is
// final.
template <class T, class Done>
void backward_band(std::size_t m, const T* inverse, const T* l1, const T* l2, T* x,
                   Done done) noexcept {
    if (m == 1) {
        x[0] = x[0] * inverse[0];
        done(0);
        return;
    }
    const std::size_t k = meeting_row(m);
    const T next = x[k + 1] * inverse[k + 1];
    const T here = x[k] * inverse[k] - l1[k] * next;
    x[k + 1] = next;
    done(k + 1);
    x[k] = here;
    done(k);
    T down_1 = here;  // x of the two rows after, towards the first row
    T down_2 = next;
    T up_1 = next;  // and towards the last
    T up_2 = here;
    const auto step = [&](std::size_t j, T& x_1, T& x_2) {
        const T v = (x[j] * inverse[j] - l2[j] * x_2) - l1[j] * x_1;  // x_1 last, as forwards
        x[j] = v;
        done(j);
        x_2 = x_1;
        x_1 = v;
    };
    for (std::size_t t = 0; t < k; ++t) {
        step(k - 1 - t, down_1, down_2);
        step(k + 2 + t, up_1, up_2);
    }
    if (m - 2 - k > k) {
        step(m - 1, up_1, up_2);
    }
}

// The element-wise steps of the interior point method, as functions so that their arrays are
// known not to overlap (GCC takes __restrict from parameters, not from local pointers) and the
// loops vectorise.

// The inverse slacks.
inline void invert(std::size_t m, const double* __restrict sl, const double* __restrict su,
                   double* __restrict il, double* __restrict iu) noexcept {
    for (std::size_t j = 0; j < m; ++j) {
        il[j] = 1.0 / sl[j];
        iu[j] = 1.0 / su[j];
    }
}

// The Hessian's band: diagonal h0(j), h1(j) at (j, j + 1) and h2(j) at (j, j + 2), read only
// within the matrix. One channel's entries are 6, -4 and 1 (the diagonal 5 at both ends, 4 for a
// single offset), and not stored.
template <int Channels>
struct Band {
    std::size_t m;
    const double* diagonal;
    const double* first;
    const double* second;
    double h0(std::size_t j) const noexcept {
        return Channels == 2 ? diagonal[j] : 4.0 + (j > 0 ? 1.0 : 0.0) + (j + 1 < m ? 1.0 : 0.0);
    }
    double h1(std::size_t j) const noexcept { return Channels == 2 ? first[j] : -4.0; }
    double h2(std::size_t j) const noexcept { return Channels == 2 ? second[j] : 1.0; }
};

// One row of g = H d + q for the band.
template <class T, class B>
T band_row(std::size_t m, std::size_t j, const B& band, const T* q, const T* d) noexcept {
    T v = q[j] + band.h0(j) * d[j];
    if (j >= 1) v += band.h1(j - 1) * d[j - 1];
    if (j >= 2) v += band.h2(j - 2) * d[j - 2];
    if (j + 1 < m) v += band.h1(j) * d[j + 1];
    if (j + 2 < m) v += band.h2(j) * d[j + 2];
    return v;
}

// g = H d + q for the band; returns dᵀ (g + q), and the duality gap in `gap`.
template <class T, class B>
T band_gradient(std::size_t m, const B& band, const T* __restrict q, const T* __restrict d,
                const T* __restrict sl, const T* __restrict su, const T* __restrict zl,
                const T* __restrict zu, T* __restrict g, T& gap) noexcept {
    const std::size_t inner_end = m >= 2 ? m - 2 : 0;
    for (std::size_t j = 0; j < std::min<std::size_t>(2, m); ++j) {
        g[j] = band_row(m, j, band, q, d);
    }
    for (std::size_t j = 2; j < inner_end; ++j) {
        if constexpr (kLanes<T> == 2) {
            // SquareBounds' coordinates, whose band inside is 1, -4, 6, -4, 1 (as in advance)
            g[j] = q[j] + 6.0 * d[j] - 4.0 * (d[j - 1] + d[j + 1]) + (d[j - 2] + d[j + 2]);
        } else {
            g[j] = q[j] + band.h0(j) * d[j] + band.h1(j - 1) * d[j - 1] +
                   band.h2(j - 2) * d[j - 2] + band.h1(j) * d[j + 1] + band.h2(j) * d[j + 2];
        }
    }
    for (std::size_t j = std::max<std::size_t>(2, inner_end); j < m; ++j) {
        g[j] = band_row(m, j, band, q, d);
    }
    T change = splat<T>(0.0);
    T complementarity = change;
    for (std::size_t j = 0; j < m; ++j) {
        change += d[j] * (g[j] + q[j]);
        complementarity += sl[j] * zl[j] + su[j] * zu[j];
    }
    gap = complementarity;
    return change;
}

// One row j of advance's joint pass for two lanes: its moves and its term of the gap, and row
// j - 2 of g with its term of dᵀ (g + q) once the offsets that row reads have moved.
template <class T, class B>
__attribute__((always_inline)) inline void advance_row(
    std::size_t m, std::size_t j, T primal, T dual, const T* __restrict x, const T* __restrict il,
    const T* __restrict iu, const T* __restrict al, const T* __restrict au, T* __restrict d,
    T* __restrict sl, T* __restrict su, T* __restrict zl, T* __restrict zu, const B& band,
    const T* __restrict q, T* __restrict g, T& change, T& complementarity) noexcept {
    const T v = x[j];
    d[j] += primal * v;
    sl[j] += primal * v;
    su[j] -= primal * v;
    zl[j] += dual * (al[j] - zl[j] * (1.0 + v * il[j]));
    zu[j] += dual * (au[j] - zu[j] * (1.0 - v * iu[j]));
    complementarity += sl[j] * zl[j] + su[j] * zu[j];
    if (j >= 4) {
        // Two lanes are SquareBounds' coordinates, whose band inside is 1, -4, 6, -4, 1.
        const std::size_t k = j - 2;  // whose row reads offsets up to j
        g[k] = q[k] + 6.0 * d[k] - 4.0 * (d[k - 1] + d[k + 1]) + (d[k - 2] + d[k + 2]);
        change += d[k] * (g[k] + q[k]);
    } else if (j >= 2) {
        g[j - 2] = band_row(m, j - 2, band, q, d);
        change += d[j - 2] * (g[j - 2] + q[j - 2]);
    }
}

#if defined(__GNUC__) && defined(__x86_64__)
#define KORVANE_WIDE_BAND 1

// Two consecutive rows of pairs as one vector of four, and back.
__attribute__((target("avx2"), always_inline)) inline __m256d at(const Pair* p, std::size_t row) {
    return _mm256_loadu_pd(reinterpret_cast<const double*>(p + row));
}
__attribute__((target("avx2"), always_inline)) inline void put(Pair* p, std::size_t row,
                                                               __m256d v) {
    _mm256_storeu_pd(reinterpret_cast<double*>(p + row), v);
}
__attribute__((target("avx2"), always_inline)) inline __m256d both(const Pair& v) {
    const __m128d h = reinterpret_cast<const __m128d&>(v);
    return _mm256_set_m128d(h, h);
}

// advance_row for rows j, j + 1, ... two rows at a time in AVX2's four lanes while j + 1 < m,
// from j = 4 (rows before it moved); returns the first row not moved. Every lane's operations are
// advance_row's, in its order, and the sums take row j's term before row j + 1's: the same bits.
// (The target enables no fused multiply-add.) Half the pass's instructions: 8 % of SquareBounds'
// on the fleet's trips and 3 % of their time, the pass being then bound by its loads; a long
// track's passes wait on the memory either way.
__attribute__((target("avx2"))) std::size_t advance_rows_wide(
    std::size_t m, std::size_t j, const Pair& primal, const Pair& dual, const Pair* x,
    const Pair* il, const Pair* iu, const Pair* al, const Pair* au, Pair* d, Pair* sl, Pair* su,
    Pair* zl, Pair* zu, const Pair* q, Pair* g, Pair& change, Pair& complementarity) noexcept {
    const __m256d step = both(primal);
    const __m256d dual_step = both(dual);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d four = _mm256_set1_pd(4.0);
    const __m256d six = _mm256_set1_pd(6.0);
    __m128d gap = reinterpret_cast<const __m128d&>(complementarity);
    __m128d sum = reinterpret_cast<const __m128d&>(change);
    __m256d before = at(d, j - 4);  // rows j - 4, j - 3
    __m256d last = at(d, j - 2);    // rows j - 2, j - 1
    for (; j + 1 < m; j += 2) {
        const __m256d v = at(x, j);
        const __m256d moved = _mm256_mul_pd(step, v);
        const __m256d here = _mm256_add_pd(at(d, j), moved);
        const __m256d lower = _mm256_add_pd(at(sl, j), moved);
        const __m256d upper = _mm256_sub_pd(at(su, j), moved);
        const __m256d zl_j = at(zl, j);
        const __m256d zu_j = at(zu, j);
        const __m256d fl = _mm256_add_pd(one, _mm256_mul_pd(v, at(il, j)));
        const __m256d fu = _mm256_sub_pd(one, _mm256_mul_pd(v, at(iu, j)));
        const __m256d zl_next = _mm256_add_pd(
            zl_j, _mm256_mul_pd(dual_step, _mm256_sub_pd(at(al, j), _mm256_mul_pd(zl_j, fl))));
        const __m256d zu_next = _mm256_add_pd(
            zu_j, _mm256_mul_pd(dual_step, _mm256_sub_pd(at(au, j), _mm256_mul_pd(zu_j, fu))));
        put(d, j, here);
        put(sl, j, lower);
        put(su, j, upper);
        put(zl, j, zl_next);
        put(zu, j, zu_next);
        const __m256d terms =
            _mm256_add_pd(_mm256_mul_pd(lower, zl_next), _mm256_mul_pd(upper, zu_next));
        gap = _mm_add_pd(gap, _mm256_castpd256_pd128(terms));
        gap = _mm_add_pd(gap, _mm256_extractf128_pd(terms, 1));
        // rows k = j - 2 and j - 1 of g, from the offsets k - 2 .. k + 2 held in registers
        const __m256d left = _mm256_permute2f128_pd(before, last, 0x21);  // rows j - 3, j - 2
        const __m256d right = _mm256_permute2f128_pd(last, here, 0x21);   // rows j - 1, j
        const __m256d q_k = at(q, j - 2);
        const __m256d g_k =
            _mm256_add_pd(_mm256_sub_pd(_mm256_add_pd(q_k, _mm256_mul_pd(six, last)),
                                        _mm256_mul_pd(four, _mm256_add_pd(left, right))),
                          _mm256_add_pd(before, here));
        put(g, j - 2, g_k);
        const __m256d change_k = _mm256_mul_pd(last, _mm256_add_pd(g_k, q_k));
        sum = _mm_add_pd(sum, _mm256_castpd256_pd128(change_k));
        sum = _mm_add_pd(sum, _mm256_extractf128_pd(change_k, 1));
        before = last;
        last = here;
    }
    reinterpret_cast<__m128d&>(complementarity) = gap;
    reinterpret_cast<__m128d&>(change) = sum;
    return j;
}
#endif

// Moves the primal variables by `primal` and the duals by `dual` times the corrector's step,
// and forms band_gradient's g, dᵀ (g + q) and gap at the new point in the same pass: each row
// of g as soon as the offsets it reads have moved, with the sums in the same order.
template <class T, class B>
T advance(std::size_t m, T primal, T dual, const T* __restrict x, const T* __restrict il,
          const T* __restrict iu, const T* __restrict al, const T* __restrict au, T* __restrict d,
          T* __restrict sl, T* __restrict su, T* __restrict zl, T* __restrict zu, const B& band,
          const T* __restrict q, T* __restrict g, T& gap) noexcept {
    if constexpr (kLanes<T> == 1) {
        // One lane: apart, the moves vectorise, which the sums of the joint pass keep from it.
        // They are written out here rather than shared with advance_row: through one inlined
        // function they vectorised less (100 sample trips 2.87 -> 3.00 ms, the same bits).
        for (std::size_t j = 0; j < m; ++j) {
            const T v = x[j];
            d[j] += primal * v;
            sl[j] += primal * v;
            su[j] -= primal * v;
            zl[j] += dual * (al[j] - zl[j] * (1.0 + v * il[j]));
            zu[j] += dual * (au[j] - zu[j] * (1.0 - v * iu[j]));
        }
        return band_gradient(m, band, q, d, sl, su, zl, zu, g, gap);
    } else {
        T change = splat<T>(0.0);
        T complementarity = change;
        std::size_t j = 0;
#if defined(KORVANE_WIDE_BAND)
        if (m >= 6 && has_avx2()) {
            for (; j < 4; ++j) {
                advance_row(m, j, primal, dual, x, il, iu, al, au, d, sl, su, zl, zu, band, q, g,
                            change, complementarity);
            }
            j = advance_rows_wide(m, j, primal, dual, x, il, iu, al, au, d, sl, su, zl, zu, q, g,
                                  change, complementarity);
        }
#endif
        for (; j < m; ++j) {
            advance_row(m, j, primal, dual, x, il, iu, al, au, d, sl, su, zl, zu, band, q, g,
                        change, complementarity);
        }
        for (std::size_t k = m >= 2 ? m - 2 : 0; k < m; ++k) {
            g[k] = band_row(m, k, band, q, d);
            change += d[k] * (g[k] + q[k]);
        }
        gap = complementarity;
        return change;
    }
}

}  // namespace

template <class T, int Channels>
bool ElasticBandSolver::minimise(unsigned lanes) {
    constexpr int kCount = kLanes<T>;
    const std::size_t m = m_size;
    const auto array = [](double* list) { return reinterpret_cast<T*>(list); };
    T* d = array(m_d);
    T* sl = array(m_slack[0]);
    T* su = array(m_slack[1]);
    T* zl = array(m_dual[0]);
    T* zu = array(m_dual[1]);
    T* il = array(m_scratch[0]);
    T* iu = array(m_scratch[1]);
    T* al = array(m_scratch[2]);
    T* au = array(m_scratch[3]);
    T* g = array(m_gradient);
    T* affine = array(m_affine);
    // The corrector's step overwrites the predictor's, each row's as its forward substitution
    // has read it: one array fewer for the passes to stream.
    T* x = affine;
    T* inverse = array(m_factor[0]);
    T* l1 = array(m_factor[1]);
    // One channel's band has 1 for every entry two rows apart that a factor's row eliminates,
    // so its second subdiagonal is the inverse pivots themselves: sharing their array spares
    // the passes over the offsets one stream, which long tracks, held beyond the cache, feel.
    T* l2 = Channels == 1 ? inverse : array(m_factor[2]);
    T* q = array(m_q);
    const Band<Channels> band{m, m_hessian[0], m_hessian[1], m_hessian[2]};

    T gap_lanes = splat<T>(0.0);
    T change = gap_lanes;  // dᵀ (g + q) of each lane
    const double floor = kGapFloor * static_cast<double>(m);
    const double share = 1.0 / (2.0 * static_cast<double>(m));
    double tolerance[kCount];
    T phi_input = splat<T>(0.0);
    m_iterations = 0;
    for (int l = 0; l < kCount; ++l) {
        tolerance[l] = Channels == 1 ? kSquareFirstGap : kFirstGap;
        // A lane without a problem solves its neighbour's (and its answer is not read), so that
        // it never meets arithmetic the others do not.
        const int from = (lanes >> l) & 1u ? l : l ^ 1;
        const int first = Channels == 1 ? from : 0;
        // At the input, d = 0, the residuals are r themselves.
        double input_squares = 0.0;
        for (int c = first; c < first + Channels; ++c) {
            input_squares += sum_of_squares(m_r[c], m);
        }
        reinterpret_cast<double*>(&phi_input)[l] = 0.5 * input_squares;
        double* ql = m_residual[0];  // free until the first step
        gradient<Channels>(m, m_w, m_r, ql, first);
        // The duals' floor scales with the gradient, as the multipliers to come do whatever the
        // band: a gradient of zero starts and ends at the input.
        const double squares = sum_of_squares(ql, m);
        for (std::size_t j = 0; j < m; ++j) {
            m_q[j * kCount + l] = ql[j];
        }
        m_largest_gradient[l] = largest_magnitude(ql, m);
        const double floor_dual = std::max(kFirstDual * std::sqrt(squares * share * 2.0), DBL_MIN);
        for (std::size_t j = 0; j < m; ++j) {
            m_dual[0][j * kCount + l] = floor_dual;
            m_dual[1][j * kCount + l] = floor_dual;
        }
    }
    {
        // (H + kStartWeight·I) d = -q, capped, for every lane at once.
        factor_band<Channels == 1, T>(
            m, [=](std::size_t j) { return splat<T>(band.h0(j) + kStartWeight); },
            [=](std::size_t j) { return splat<T>(band.h1(j)); },
            [=](std::size_t j) { return splat<T>(band.h2(j)); }, inverse, l1, l2, x,
            [=](std::size_t j) { return -q[j]; });
        backward_band<T>(m, inverse, l1, l2, x, [](std::size_t) {});
        const T cap = splat<T>(kStartCap);
        for (std::size_t j = 0; j < m; ++j) {
            const T v = lane_min<T>(cap, lane_max<T>(-cap, x[j]));
            d[j] = v;
            sl[j] = 1.0 + v;
            su[j] = 1.0 - v;
        }
        change = band_gradient<T>(m, band, q, d, sl, su, zl, zu, g, gap_lanes);
        // The duals move, and the gap with them, as band_gradient sums it.
        const T zero = splat<T>(0.0);
        T complementarity = zero;
        for (std::size_t j = 0; j < m; ++j) {
            zl[j] += lane_max<T>(zero, g[j]);
            zu[j] += lane_max<T>(zero, -g[j]);
            complementarity += sl[j] * zl[j] + su[j] * zu[j];
        }
        gap_lanes = complementarity;
    }
    unsigned open = lanes;  // the lanes still being solved
    // g = H d + q, dᵀ (g + q) and the gap, formed afresh unless the last step formed them (or
    // the start).
    bool fresh = false;
    // Whether a step was taken since the gaps were last looked at, each lane's smallest gap and
    // the steps since it.
    bool stepped = false;
    double best_gap[kCount];
    std::size_t since_best[kCount];
    for (int l = 0; l < kCount; ++l) {
        best_gap[l] = HUGE_VAL;
        since_best[l] = 0;
    }
    while (m_iterations < kMaxIterations) {
        // g = H d + q, and φ = ½ dᵀ (g + q) + φ(0), accurate enough for the stopping test.
        if (fresh) {
            change = band_gradient<T>(m, band, q, d, sl, su, zl, zu, g, gap_lanes);
        }
        fresh = true;
        const T phi_lanes = lane_max<T>(splat<T>(0.0), phi_input + 0.5 * change);
        bool tried = false;
        for (int l = 0; l < kCount; ++l) {
            const double gap = lane(gap_lanes, l);
            const double phi = lane(phi_lanes, l);
            if (stepped) {
                if (gap < best_gap[l]) {
                    best_gap[l] = gap;
                    since_best[l] = 0;
                } else {
                    ++since_best[l];
                }
            }
            if (!((open >> l) & 1u) ||
                (gap > tolerance[l] * phi + floor && since_best[l] < kStalledSteps)) {
                continue;
            }
            tried = true;
            since_best[l] = 0;
            unsigned char* status = m_status.data();
            double* result = m_result[l];
            const double* dl = m_d + l;
            const double* sll = m_slack[0] + l;
            const double* sul = m_slack[1] + l;
            const double* zll = m_dual[0] + l;
            const double* zul = m_dual[1] + l;
            for (std::size_t j = 0; j < m; ++j) {
                // A bound is active where its dual exceeds its slack: their product is μ.
                const std::size_t k = j * kCount;
                status[j] = zll[k] > sll[k] ? kAtLower : zul[k] > sul[k] ? kAtUpper : kFree;
                result[j] = std::clamp(dl[k], -1.0, 1.0);
            }
            const int first = Channels == 1 ? l : 0;
            const double incumbent = residuals<Channels>(m, m_r, m_w, result, m_residual, first);
            bool done = settle_active_set<Channels>(incumbent, l);
            if (!done) {
                while (tolerance[l] > kLastGap && gap <= tolerance[l] * phi + floor) {
                    tolerance[l] *= 1e-2;
                }
                // the interior point at the last gap, in m_result
                done = gap <= tolerance[l] * phi + floor;
            }
            if (done) {
                open &= ~(1u << l);
            }
        }
        stepped = false;
        if (open == 0) {
            return true;
        }
        if (tried) {
            if constexpr (kCount == 2) {
                // A lane that is done goes on with the other's problem, whose steps it then takes
                // exactly as that lane does.
                for (int l = 0; l < kCount; ++l) {
                    if (!((open >> l) & 1u)) {
                        copy_lane(l ^ 1, l);
                        for (T* sum : {&phi_input, &change, &gap_lanes}) {
                            reinterpret_cast<double*>(sum)[l] = lane(*sum, l ^ 1);
                        }
                    }
                }
            }
            // The active set steps leave the point, its gradient and its gap as they were (their
            // scratch is the corrector's), so the next step goes on from them.
            fresh = false;
            continue;
        }
        m_iterations += static_cast<std::size_t>(std::popcount(open));

        // The Newton step on H d + q = zl - zu, sl = 1 + d, su = 1 - d, sl·zl = cl and
        // su·zu = cu, the slacks kept equal to 1 ± d (but for rounding) by moving them with d:
        //     (H + zl/sl + zu/su) Δd = -g + cl/sl - cu/su,
        //     Δzl = (cl - zl·Δd)/sl - zl,  Δzu = (cu + zu·Δd)/su - zu.
        // A step keeps v + t·Δv > 0 for every t below 1 / max(-Δv / v).
        // Predictor: complementarity aimed at zero, so -Δzl/zl = 1 + Δd/sl, -Δzu/zu = 1 - Δd/su.
        // The barrier's diagonal is zl/sl + zu/su. Two lanes form the inverse slacks as the
        // factorisation reaches them; one lane beforehand, in a loop whose divisions vectorise.
        if constexpr (kCount == 1) {
            invert(m, sl, su, il, iu);
        }
        factor_band<Channels == 1, T>(
            m,
            [=](std::size_t j) {
                if constexpr (kCount == 1) {
                    return band.h0(j) + (zl[j] * il[j] + zu[j] * iu[j]);
                } else {
                    const T a = 1.0 / sl[j];
                    const T b = 1.0 / su[j];
                    il[j] = a;
                    iu[j] = b;
                    return band.h0(j) + (zl[j] * a + zu[j] * b);
                }
            },
            // One channel's entries are -4 and 1 in every row factor_band reads them of.
            [=](std::size_t j) { return splat<T>(band.h1(j)); },
            [=](std::size_t j) { return splat<T>(band.h2(j)); }, inverse, l1, l2, affine,
            [=](std::size_t j) { return -g[j]; });
        const T zero = splat<T>(0.0);
        T primal_rate = zero;
        T dual_rate = zero;
        T ds_z = zero;  // Σ Δs·z and Σ Δs·Δz, which predict the gap after the step
        T ds_dz = zero;
        // The pointers are captured by value: a pointer whose address a closure holds is read
        // from memory at every use, which keeps the element-wise loops from vectorising.
        backward_band<T>(m, inverse, l1, l2, affine,
                         [=, &primal_rate, &dual_rate, &ds_z, &ds_dz](std::size_t j) {
                             const T a = affine[j];
                             const T fl = 1.0 + a * il[j];
                             const T fu = 1.0 - a * iu[j];
                             primal_rate =
                                 lane_max<T>(primal_rate, lane_max<T>(-a * il[j], a * iu[j]));
                             dual_rate = lane_max<T>(dual_rate, lane_max<T>(fl, fu));
                             ds_z += a * (zl[j] - zu[j]);
                             ds_dz += a * (zu[j] * fu - zl[j] * fl);
                         });
        const T one = splat<T>(1.0);
        const T primal = lane_min<T>(one, 1.0 / primal_rate);
        const T dual = lane_min<T>(one, 1.0 / dual_rate);
        const T gap = gap_lanes;
        // Σ s·Δz = -Σ (s·z + Δs·z), as s·(1/s) = 1 but for rounding: -(gap + Σ Δs·z).
        const T s_dz = -(gap + ds_z);
        const T predicted = gap + primal * ds_z + dual * s_dz + primal * dual * ds_dz;
        // Corrector: complementarity aimed at σ·μ, σ = (predicted gap / gap)³, less the
        // predictor's second-order term Δs·Δz; al and au keep cl/sl and cu/su.
        const T ratio = lane_max<T>(zero, predicted) / gap;
        const T target = ratio * ratio * ratio * gap * share;
        forward_band<T>(m, l1, l2, x, [=](std::size_t j) {
            const T a = affine[j];
            al[j] = (target + a * zl[j] * (1.0 + a * il[j])) * il[j];
            au[j] = (target - a * zu[j] * (1.0 - a * iu[j])) * iu[j];
            return -g[j] + al[j] - au[j];
        });
        primal_rate = zero;
        dual_rate = zero;
        backward_band<T>(m, inverse, l1, l2, x, [=, &primal_rate, &dual_rate](std::size_t j) {
            const T v = x[j];
            primal_rate = lane_max<T>(primal_rate, lane_max<T>(-v * il[j], v * iu[j]));
            dual_rate = lane_max<T>(dual_rate, lane_max<T>(1.0 + v * il[j] - al[j] / zl[j],
                                                           1.0 - v * iu[j] - au[j] / zu[j]));
        });
        const T to_primal = lane_min<T>(one, kToBoundary / primal_rate);
        const T to_dual = lane_min<T>(one, kToBoundary / dual_rate);
        change = advance<T>(m, to_primal, to_dual, x, il, iu, al, au, d, sl, su, zl, zu, band, q, g,
                            gap_lanes);
        fresh = false;
        stepped = true;
    }
    return false;
}

template <int Channels>
bool ElasticBandSolver::settle_active_set(double incumbent, int lane) {
    const std::size_t m = m_size;
    const int first = Channels == 1 ? lane : 0;
    double* result = m_result[lane];
    double* trial = m_affine;  // the interior point's scratch, which its next step rewrites
    // q of this lane, every kCount-th value of the lanes' gradient
    constexpr std::size_t kCount = Channels == 1 ? 2 : 1;
    const double* q = m_q + lane;
    const Band<Channels> band{m, m_hessian[0], m_hessian[1], m_hessian[2]};
    unsigned char* status = m_status.data();
    const double gradient_tolerance = kGradientTolerance * m_largest_gradient[lane];
    // The value a held offset is held at (0 for a free one), by Status.
    static constexpr double kHeldAt[3] = {0.0, -1.0, 1.0};
    const auto bound = [&](std::size_t j) { return kHeldAt[status[j]]; };
    const auto both_free = [&](std::size_t j, std::size_t k) {
        return status[j] == kFree && status[k] == kFree;
    };
    std::size_t fewest = m + 1;  // changes in a step
    std::size_t since_fewest = 0;
    constexpr std::size_t steps = Channels == 2 ? kMaxOrthogonalActiveSetSteps : kMaxActiveSetSteps;
    for (std::size_t step = 0; step < steps; ++step) {
        // The optimum of the face: held offsets at their bounds (rows of the identity), the
        // free ones solving H_FF d_F = -q_F - H_FH d_H.
        const auto right = [&](std::size_t j) {
            if (status[j] != kFree) {
                return bound(j);
            }
            double v = -q[j * kCount];
            if (j >= 2) v -= band.h2(j - 2) * bound(j - 2);
            if (j >= 1) v -= band.h1(j - 1) * bound(j - 1);
            if (j + 1 < m) v -= band.h1(j) * bound(j + 1);
            if (j + 2 < m) v -= band.h2(j) * bound(j + 2);
            return v;
        };
        factor_band(
            m, [&](std::size_t j) { return status[j] == kFree ? band.h0(j) : 1.0; },
            [&](std::size_t j) { return both_free(j, j + 1) ? band.h1(j) : 0.0; },
            [&](std::size_t j) { return both_free(j, j + 2) ? band.h2(j) : 0.0; }, m_factor[0],
            m_factor[1], m_factor[2], trial, right);
        backward_band(m, m_factor[0], m_factor[1], m_factor[2], trial, [](std::size_t) {});
        // The gradient is read at the held offsets only, a few isolated ones, so it is formed
        // there alone, as residuals and gradient form it, and φ once nothing changes.
        const auto residual = [&](std::size_t k, int c) {
            const double* wc = m_w[c];
            const double before = k >= 1 ? weight<Channels>(wc, k - 1) * trial[k - 1] : 0.0;
            const double here = weight<Channels>(wc, k) * trial[k];
            return k + 1 < m ? m_r[c][k] + (before + weight<Channels>(wc, k + 1) * trial[k + 1] -
                                            2.0 * here)
                             : m_r[c][k] + (before - 2.0 * here);
        };
        const auto slope = [&](std::size_t j) {
            double v = 0.0;
            for (int c = first; c < first + Channels; ++c) {
                const double before = j >= 1 ? residual(j - 1, c) : 0.0;
                const double wj = weight<Channels>(m_w[c], j);
                v += j + 1 < m ? wj * (before + residual(j + 1, c) - 2.0 * residual(j, c))
                               : wj * (before - 2.0 * residual(j, c));
            }
            return v;
        };
        std::size_t changes = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const unsigned char before = status[j];
            if (before == kFree) {
                status[j] = trial[j] > 1.0 + kBoxTolerance    ? kAtUpper
                            : trial[j] < -1.0 - kBoxTolerance ? kAtLower
                                                              : kFree;
            } else if (const double g = slope(j); (before == kAtLower && g < -gradient_tolerance) ||
                                                  (before == kAtUpper && g > gradient_tolerance)) {
                status[j] = kFree;
            }
            changes += status[j] != before;
        }
        if (changes == 0) {
            // The face's optimum meets every condition of the optimum; the interior point's
            // answer stays only should rounding make it the lower.
            if (residuals<Channels>(m, m_r, m_w, trial, m_residual, first) <= incumbent) {
                for (std::size_t j = 0; j < m; ++j) {
                    result[j] = std::clamp(trial[j], -1.0, 1.0);
                }
            }
            return true;
        }
        if (Channels == 1 && step == 0 &&
            changes > kMostFirstChanges + m / kOffsetsPerFirstChange) {
            return false;
        }
        // Cycling shows as a number of changes that stops falling.
        if (changes < fewest) {
            fewest = changes;
            since_fewest = 0;
        } else if (++since_fewest == 2) {
            return false;
        }
    }
    return false;
}

namespace {

// Whether every point of a path is finite.
bool all_finite(const PointView& points) noexcept {
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y)) {
            return false;
        }
    }
    return true;
}

void copy_points(const PointView& points, std::span<Point> out) noexcept {
    for (std::size_t i = 0; i < points.size(); ++i) {
        out[i] = points[i];
    }
}

// Second differences of both coordinates over the band, r_k for interior point k + 1, one
// coordinate in each lane of a pair, so that one division serves both (the same operations
// as one coordinate at a time); bit c set where coordinate c's are all finite (not so when the
// band is so much smaller than the path's bends that they overflow).
unsigned scaled_second_differences(const PointView& points, double band, double* const (&r)[2],
                                   std::size_t m) {
    const CoordinateView x = points.x();
    const CoordinateView y = points.y();
    Pair check = {0.0, 0.0};  // a sum of v - v, 0 but for an infinity or NaN
    for (std::size_t k = 0; k < m; ++k) {
        const Pair a = {x[k], y[k]};
        const Pair b = {x[k + 1], y[k + 1]};
        const Pair c = {x[k + 2], y[k + 2]};
        const Pair v = (a - 2.0 * b + c) / band;
        r[0][k] = v[0];
        r[1][k] = v[1];
        check += v - v;
    }
    return (check[0] == 0.0 ? 1u : 0u) | (check[1] == 0.0 ? 2u : 0u);
}
}  // namespace

bool ElasticBandSolver::smooth(const Path2D& path, double max_deviation, ElasticBandMethod method,
                               std::span<Point> out) {
    return smooth(path.point_view(), path.orientation(), max_deviation, method, out);
}

bool ElasticBandSolver::smooth(PointView points, std::span<const double> orientation,
                               double max_deviation, ElasticBandMethod method,
                               std::span<Point> out) {
    const std::size_t n = points.size();
    const bool orthogonal = method == ElasticBandMethod::OrthogonalBounds;
    if (out.size() != n || (orthogonal && orientation.size() != n)) {
        throw std::invalid_argument("elastic band: one output point and heading per point");
    }
    m_iterations = 0;
    copy_points(points, out);
    if (n < 2) {
        return true;  // nothing can move; the method answers with the path itself
    }
    if (!std::isfinite(max_deviation) || !all_finite(points)) {
        return false;
    }
    if (n == 2 || max_deviation == 0.0) {
        return true;  // both ends are fixed, and so is every interior point
    }
    if (!orthogonal && max_deviation < 0.0) {
        return false;  // every interior square is empty
    }
    return orthogonal ? solve_orthogonal(points, orientation, max_deviation, out)
                      : solve_square(points, max_deviation, out);
}

std::size_t ElasticBandSolver::layout(int channels, int lanes, double* block) {
    // Every array starts on a cache line, which keeps the lanes' pairs aligned too.
    const std::size_t stride = (m_size + 7) & ~std::size_t{7};
    const std::size_t values = stride * static_cast<std::size_t>(lanes);
    std::size_t used = 0;
    const auto take = [&](double*& array, std::size_t size) {
        array = block != nullptr && size != 0 ? block + used : nullptr;
        used += size;
    };
    for (double*& array : m_r) {
        take(array, stride);
    }
    for (double*& array : m_w) {
        take(array, channels == 2 ? stride : 0);
    }
    // One channel's entries are constants (see Band).
    take(m_hessian[0], channels == 2 ? stride : 0);
    take(m_hessian[1], channels == 2 ? stride : 0);
    take(m_hessian[2], channels == 2 ? stride : 0);
    for (int l = 0; l < 2; ++l) {
        take(m_result[l], l < lanes ? stride : 0);
    }
    for (double** array :
         {&m_q, &m_d, &m_gradient, &m_affine, &m_slack[0], &m_slack[1], &m_dual[0], &m_dual[1],
          &m_scratch[0], &m_scratch[1], &m_scratch[2], &m_scratch[3], &m_factor[0], &m_factor[1]}) {
        take(*array, values);
    }
    // One channel's second subdiagonal shares the pivots' array (see minimise) but for the
    // active set steps, which solve one lane at a time in the inverse slacks' memory: the
    // interior point's next step forms those afresh. So do the residuals, in the corrector's
    // (each holds at least m values).
    take(m_factor[2], channels == 2 ? values : 0);
    if (block != nullptr) {
        if (channels == 1) {
            m_factor[2] = m_scratch[0];
        }
        m_residual[0] = m_scratch[2];
        m_residual[1] = m_scratch[3];
    }
    return used;
}

// Cache lines, on which every array starts.
constexpr std::align_val_t kScratchAlignment{64};

void ElasticBandSolver::ScratchDeleter::operator()(double* block) const noexcept {
    ::operator delete(block, kScratchAlignment);
}

void ElasticBandSolver::allocate(int channels, int lanes) {
    if (layout(channels, lanes, nullptr) > m_block_size) {
        // Room for either method at this size, so that the other finds the pages in place: a
        // long track's fresh pages cost it a fifth of its time.
        const std::size_t size = std::max(layout(2, 1, nullptr), layout(1, 2, nullptr));
        m_block.reset();
        m_block_size = 0;
        m_block.reset(
            static_cast<double*>(::operator new(size * sizeof(double), kScratchAlignment)));
        m_block_size = size;
    }
    layout(channels, lanes, m_block.get());
    m_status.resize(m_size);
}

void ElasticBandSolver::prepare() {
    const std::size_t m = m_size;
    // The second-difference Gram matrix has 6, -4, 1 in its rows (5 on the diagonal at both
    // ends, 4 for a single offset), each entry times the product of the two offsets' normals.
    const auto dot = [&](std::size_t i, std::size_t j) {
        return m_w[0][i] * m_w[0][j] + m_w[1][i] * m_w[1][j];
    };
    for (std::size_t j = 0; j < m; ++j) {
        const double rows = 4.0 + (j > 0 ? 1.0 : 0.0) + (j + 1 < m ? 1.0 : 0.0);
        m_hessian[0][j] = rows * dot(j, j);
        m_hessian[1][j] = j + 1 < m ? -4.0 * dot(j, j + 1) : 0.0;
        m_hessian[2][j] = j + 2 < m ? dot(j, j + 2) : 0.0;
    }
}

bool ElasticBandSolver::solve_orthogonal(PointView points, std::span<const double> orientation,
                                         double max_deviation, std::span<Point> out) {
    const std::size_t m = points.size() - 2;
    const double band = max_deviation;
    m_size = m;
    allocate(2, 1);
    if (scaled_second_differences(points, band, m_r, m) != 3u) {
        // The band is some 1e-300 of the bends or less: no point can move by a representable
        // amount, so the input is the optimum to working accuracy.
        return true;
    }
    for (std::size_t i = 0; i < m; ++i) {
        const double theta = orientation[i + 1];
        m_w[0][i] = std::sin(theta);
        m_w[1][i] = -std::cos(theta);
    }
    prepare();
    if (!minimise<double, 2>(1u)) {
        return false;
    }
    for (std::size_t i = 0; i < m; ++i) {
        // The method's own expressions x + (s·D)·d and y + (c·(-D))·d, with -c·D = c·(-D).
        const Point p = points[i + 1];
        out[i + 1] = Point{p.x + (m_w[0][i] * band) * m_result[0][i],
                           p.y + (m_w[1][i] * band) * m_result[0][i]};
    }
    return true;
}

bool ElasticBandSolver::solve_square(PointView points, double max_deviation, std::span<Point> out) {
    const std::size_t m = points.size() - 2;
    const double band = max_deviation;
    m_size = m;
    allocate(1, 2);
    // Both coordinates at once, one in each lane; one without representable bends over the
    // band stays as it is.
    const unsigned lanes = scaled_second_differences(points, band, m_r, m);
    if (lanes == 0) {
        return true;
    }
    if (!minimise<Pair, 1>(lanes)) {
        copy_points(points, out);
        return false;
    }
    for (const int c : {0, 1}) {
        if ((lanes >> c) & 1u) {
            const CoordinateView v = c == 0 ? points.x() : points.y();
            for (std::size_t i = 0; i < m; ++i) {
                (c == 0 ? out[i + 1].x : out[i + 1].y) = v[i + 1] + band * m_result[c][i];
            }
        }
    }
    return true;
}

void ElasticBandSolver::release_scratch_beyond(std::size_t offsets) {
    if (m_status.capacity() <= offsets) {
        return;
    }
    m_block.reset();
    m_block_size = 0;
    std::vector<unsigned char>().swap(m_status);
    m_size = 0;
}

void ElasticBandSolver::copy_lane(int from, int to) {
    for (double* values : {m_d, m_slack[0], m_slack[1], m_dual[0], m_dual[1], m_q, m_gradient}) {
        for (std::size_t j = 0; j < m_size; ++j) {
            values[2 * j + static_cast<std::size_t>(to)] =
                values[2 * j + static_cast<std::size_t>(from)];
        }
    }
}

}  // namespace korvane
