// src/path2d/point_order.cpp: finding and removing points where the path runs backwards
#include "path2d/point_order.hpp"

#include <cmath>
#include <cstdint>
#include <numbers>

#include "util/large_list.hpp"

namespace korvane {

namespace {

constexpr double pi = std::numbers::pi;
constexpr double two_pi = 2 * std::numbers::pi;

// Heading of the segment from `from` to `to`; a zero-length segment has heading 0.
double heading(Point from, Point to) noexcept {
    return std::atan2(to.y - from.y, to.x - from.x);
}

// Turn between an incoming and an outgoing heading, in [0, pi]; NaN stays NaN and is never
// reported, since NaN >= sus_angle is false.
double turn_angle(double in, double out) noexcept {
    const double d = std::fabs(out - in);
    return d > pi ? std::fabs(two_pi - d) : d;
}

// Decides "turn angle >= sus_angle" from the segment vectors alone where that cannot differ
// from the decision on the arc tangents: the turn angle is within a few 1e-16 of the true angle
// between the (already rounded) vectors, and the cosine taken here within a few 1e-16 of its
// true value, while the decision bands stay 1e-7 rad clear of sus_angle (at least 1e-10 in
// cosine, given the 0.001 rad kept from 0 and pi). The cosine is compared squared, with its
// sign, so no square root or division is needed. Zero-length, huge, tiny or non-finite vectors,
// where headings follow conventions or precision is lost, and thresholds near 0 or pi, are left
// undecided.
class CertainTurnTest {
public:
    enum Outcome { Below, Reached, Undecided };

    explicit CertainTurnTest(double sus_angle) noexcept
        : m_enabled(sus_angle >= 0.001 && sus_angle <= pi - 0.001),
          m_cos_reached(m_enabled ? std::cos(sus_angle + 1e-7) : 0.0),
          m_cos_below(m_enabled ? std::cos(sus_angle - 1e-7) : 0.0) {}

    Outcome decide(double ux, double uy, double vx, double vy) const noexcept {
        const double lu = ux * ux + uy * uy;
        const double lv = vx * vx + vy * vy;
        // 2^+-500 keeps the product of the squared lengths a normal double.
        constexpr double low = 0x1p-500;
        constexpr double high = 0x1p500;
        if (!m_enabled || !(lu >= low && lu <= high && lv >= low && lv <= high)) {
            return Undecided;
        }
        // cos = dot / sqrt(lu * lv); cos <= c  <=>  dot <= c * sqrt(lu * lv).
        const double dot = ux * vx + uy * vy;
        const double squares = lu * lv;
        if (at_most(dot, squares, m_cos_reached)) {
            return Reached;
        }
        return at_most(dot, squares, m_cos_below) ? Undecided : Below;
    }

private:
    static bool at_most(double dot, double squares, double c) noexcept {
        if (c >= 0.0) {
            return dot <= 0.0 || dot * dot <= c * c * squares;
        }
        return dot < 0.0 && dot * dot >= c * c * squares;
    }

    bool m_enabled;
    double m_cos_reached;
    double m_cos_below;
};

// The points still on the path during a repair, as a doubly linked list over their indices,
// with the heading of each survivor's outgoing segment computed when first needed.
class Survivors {
public:
    Survivors(const PointView& points, double sus_angle)
        : m_points(points),
          m_sus_angle(sus_angle),
          m_certain(sus_angle),
          m_prev(points.size()),
          m_next(points.size()),
          m_out_heading(points.size(), unknown) {
        for (std::size_t i = 0; i < points.size(); ++i) {
            m_prev[i] = i - 1;  // wraps at 0, never read: the first point is never interior
            m_next[i] = i + 1;
        }
    }

    std::size_t next(std::size_t j) const noexcept { return m_next[j]; }

    /// Whether the turn at interior survivor c reaches sus_angle.
    bool reported(std::size_t c) { return reported(m_prev[c], c, m_next[c]); }

    /// The same while nothing is removed yet, when the neighbours are c - 1 and c + 1.
    bool reported_initially(std::size_t c) { return reported(c - 1, c, c + 1); }

    /// Takes j out; returns the survivor before it, whose outgoing segment is new.
    std::size_t unlink(std::size_t j) noexcept {
        const std::size_t p = m_prev[j];
        m_next[p] = m_next[j];
        m_prev[m_next[j]] = p;
        m_out_heading[p] = unknown;
        return p;
    }

private:
    // Outside every arc tangent's range, and not NaN.
    static constexpr double unknown = 10.0;

    [[gnu::always_inline]] bool reported(std::size_t before, std::size_t c, std::size_t after) {
        const Point a = m_points[before];
        const Point b = m_points[c];
        const Point d = m_points[after];
        // The same differences the headings are taken of.
        switch (m_certain.decide(b.x - a.x, b.y - a.y, d.x - b.x, d.y - b.y)) {
            case CertainTurnTest::Reached: return true;
            case CertainTurnTest::Below: return false;
            case CertainTurnTest::Undecided: break;
        }
        return reported_by_headings(c);
    }

    [[gnu::noinline]] bool reported_by_headings(std::size_t c) {
        return turn_angle(out_heading(m_prev[c]), out_heading(c)) >= m_sus_angle;
    }

    double out_heading(std::size_t j) {
        double& h = m_out_heading[j];
        if (h == unknown) {
            h = heading(m_points[j], m_points[m_next[j]]);
        }
        return h;
    }

    PointView m_points;
    double m_sus_angle;
    CertainTurnTest m_certain;
    std::vector<std::size_t> m_prev;
    std::vector<std::size_t> m_next;
    std::vector<double> m_out_heading;
};

}  // namespace

std::vector<std::size_t> detect_corrupted_point_order(const Path2D& path, double sus_angle) {
    std::vector<std::size_t> indices;
    const std::size_t n = path.size();
    if (n < 3) {
        return indices;
    }
    // Each segment's heading is both the outgoing one of its first point and the incoming one
    // of the next, so it is computed once.
    const PointView points = path.point_view();
    double in = heading(points[0], points[1]);
    for (std::size_t j = 1; j + 1 < n; ++j) {
        const double out = heading(points[j], points[j + 1]);
        if (turn_angle(in, out) >= sus_angle) {
            indices.push_back(j);
        }
        in = out;
    }
    return indices;
}

// Equivalent to "detect, remove every reported point at once, repeat until nothing is
// reported", in linear time. A pass only changes the neighbours of the points next to a removed
// run, so only their turn angles can change: the next pass evaluates just those, all on the
// state left by the previous pass. The ends are never interior, so they are never removed.
std::vector<std::size_t> repaired_point_indices(const PointView& points, double sus_angle) {
    const std::size_t n = points.size();
    Survivors survivors(points, sus_angle);
    std::vector<std::size_t> found;
    for (std::size_t j = 1; j + 1 < n; ++j) {
        if (survivors.reported_initially(j)) {
            found.push_back(j);
        }
    }
    // Survivors directly before a removed run, increasing.
    std::vector<std::size_t> before_gap;
    while (!found.empty()) {
        before_gap.clear();
        // In increasing order, the point before j is already a survivor when j is unlinked.
        for (const std::size_t j : found) {
            const std::size_t p = survivors.unlink(j);
            if (before_gap.empty() || before_gap.back() != p) {
                before_gap.push_back(p);
            }
        }
        // Candidates p, next(p) come out non-decreasing, so skipping a repeat of the last one
        // evaluates each once, and the next report stays increasing. All are decided on the
        // state after every removal of the pass.
        found.clear();
        std::size_t last_candidate = 0;
        for (const std::size_t p : before_gap) {
            for (const std::size_t c : {p, survivors.next(p)}) {
                if (c == 0 || c == n - 1 || c == last_candidate) {
                    continue;
                }
                last_candidate = c;
                if (survivors.reported(c)) {
                    found.push_back(c);
                }
            }
        }
    }

    // Survivors in order, by following the list from the first point, which always survives.
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < n; i = survivors.next(i)) {
        kept.push_back(i);
    }
    return kept;
}

Path2D repair_corrupted_point_order(const Path2D& path, double sus_angle) {
    const std::size_t n = path.size();
    const std::vector<std::size_t> kept = repaired_point_indices(path.point_view(), sus_angle);
    // Entries past the point count (the longer coordinate list of a path built from
    // coordinates) are kept as they are.
    const auto gather = [&](const std::vector<double>& values) {
        std::vector<double> out;
        out.reserve(kept.size() + (values.size() > n ? values.size() - n : 0));
        for (const std::size_t i : kept) {
            out.push_back(values[i]);
        }
        for (std::size_t i = n; i < values.size(); ++i) {
            out.push_back(values[i]);
        }
        return out;
    };
    const PointView source = path.point_view();
    std::vector<Point> points =
        generated_list<Point>(kept.size(), [&](std::size_t k) { return source[kept[k]]; });
    // Coordinate lists are kept only where they hold more than the points.
    std::vector<double> x;
    std::vector<double> y;
    if (path.x_view().size() > n || path.y_view().size() > n) {
        x = gather(path.x());
        y = gather(path.y());
    }
    std::vector<std::vector<double>> values;
    values.reserve(path.associated_values().size());
    for (const std::vector<double>& list : path.associated_values()) {
        values.push_back(gather(list));
    }
    return Path2D::from_parts(std::move(points), std::move(x), std::move(y), std::move(values));
}

}  // namespace korvane
