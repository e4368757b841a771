// src/path2d/path_error_detection.cpp: finding and removing points where the path runs backwards
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "path2d/path2d.hpp"

namespace korvane {

namespace {

// The literal doubles the turn angle is defined with.
constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;

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

// The entries of `values` whose index is not flagged; entries beyond the flags (the longer
// coordinate list of a path built from coordinates) are kept.
std::vector<double> without_removed(const std::vector<double>& values,
                                    const std::vector<std::uint8_t>& removed,
                                    std::size_t removed_count) {
    std::vector<double> kept;
    kept.reserve(values.size() - std::min(values.size(), removed_count));
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i >= removed.size() || !removed[i]) {
            kept.push_back(values[i]);
        }
    }
    return kept;
}

}  // namespace

std::vector<std::size_t> Path2D::detect_corrupted_point_order(double sus_angle) const {
    std::vector<std::size_t> indices;
    const std::size_t n = m_points.size();
    if (n < 3) {
        return indices;
    }
    // Each segment's heading is both the outgoing one of its first point and the incoming one
    // of the next, so it is computed once.
    double in = heading(m_points[0], m_points[1]);
    for (std::size_t j = 1; j + 1 < n; ++j) {
        const double out = heading(m_points[j], m_points[j + 1]);
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
Path2D Path2D::repair_corrupted_point_order(double sus_angle) const {
    const std::size_t n = m_points.size();
    std::vector<std::uint8_t> removed(n, 0);
    std::size_t removed_count = 0;
    if (n >= 3) {
        // Survivors as a doubly linked list; out_heading[j] is the heading from j to next[j].
        std::vector<std::size_t> prev(n);
        std::vector<std::size_t> next(n);
        std::vector<double> out_heading(n);
        for (std::size_t i = 0; i < n; ++i) {
            prev[i] = i - 1;  // wraps at 0, never read: the first point is never interior
            next[i] = i + 1;
        }
        for (std::size_t i = 0; i + 1 < n; ++i) {
            out_heading[i] = heading(m_points[i], m_points[i + 1]);
        }
        std::vector<std::size_t> reported;
        for (std::size_t j = 1; j + 1 < n; ++j) {
            if (turn_angle(out_heading[j - 1], out_heading[j]) >= sus_angle) {
                reported.push_back(j);
            }
        }
        // Survivors directly before a removed run, increasing.
        std::vector<std::size_t> before_gap;
        while (!reported.empty()) {
            before_gap.clear();
            // In increasing order, prev[j] is already a survivor when j is unlinked.
            for (const std::size_t j : reported) {
                const std::size_t p = prev[j];
                next[p] = next[j];
                prev[next[j]] = p;
                removed[j] = 1;
                if (before_gap.empty() || before_gap.back() != p) {
                    before_gap.push_back(p);
                }
            }
            removed_count += reported.size();
            for (const std::size_t p : before_gap) {
                out_heading[p] = heading(m_points[p], m_points[next[p]]);
            }
            // Candidates p, next[p] come out non-decreasing, so skipping a repeat of the last
            // one is enough to evaluate each once, and the report stays increasing.
            reported.clear();
            std::size_t last_candidate = 0;
            for (const std::size_t p : before_gap) {
                for (const std::size_t c : {p, next[p]}) {
                    if (c == 0 || c == n - 1 || c == last_candidate) {
                        continue;
                    }
                    last_candidate = c;
                    if (turn_angle(out_heading[prev[c]], out_heading[c]) >= sus_angle) {
                        reported.push_back(c);
                    }
                }
            }
        }
    }

    Path2D repaired;
    repaired.m_points.reserve(n - removed_count);
    for (std::size_t i = 0; i < n; ++i) {
        if (!removed[i]) {
            repaired.m_points.push_back(m_points[i]);
        }
    }
    repaired.m_x = without_removed(m_x, removed, removed_count);
    repaired.m_y = without_removed(m_y, removed, removed_count);
    repaired.m_associated_values.reserve(m_associated_values.size());
    for (const std::vector<double>& values : m_associated_values) {
        repaired.m_associated_values.push_back(without_removed(values, removed, removed_count));
    }
    return repaired;
}

}  // namespace korvane
