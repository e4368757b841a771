// src/path2d/circle_fit.cpp: circle segment decomposition and curvature from arcs
#include "path2d/circle_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <string>

#include "util/taubin_circle_fit.hpp"

namespace korvane {

namespace {

// The curvature of the run's fit where it lies within the tolerance. Written as max_rmse >= rmse
// so that a NaN on either side rejects the fit; a fit LAPACK could not produce does not fit.
std::optional<double> fitted_curvature(std::span<const double> x, std::span<const double> y,
                                       double max_rmse, DgesvdFn dgesvd,
                                       CircleFitWorkspace& workspace) {
    const std::optional<CircleFit> fit = taubin_circle_fit(x, y, dgesvd, workspace);
    if (fit && max_rmse >= fit->rmse) {
        return 1.0 / fit->radius;
    }
    return std::nullopt;
}

// Recursive bisection over one path. Segments are appended to one list in ascending order, so
// the two segments that meet at a split are always the last one of the left half and the one
// right after it; one workspace serves every fit of the decomposition.
class CircleDecomposition {
public:
    CircleDecomposition(std::span<const double> x, std::span<const double> y, double max_rmse,
                        DgesvdFn dgesvd, CircleFitWorkspace& workspace,
                        std::vector<CircleSegment>& segments, bool prove)
        : m_x(x),
          m_y(y),
          m_max_rmse(max_rmse),
          m_dgesvd(dgesvd),
          m_workspace(workspace),
          m_segments(segments),
          m_prove(prove) {}

    /// Appends the segments of [start, end); the caller has checked the range against the path.
    void decompose(std::size_t start, std::size_t end) {
        const std::size_t len = end - start;
        if (len < 3) {
            m_segments.push_back(CircleSegment{start, end, 0.0});
            return;
        }
        if (const std::optional<double> curvature = accepted_curvature(start, end)) {
            m_segments.push_back(CircleSegment{start, end, *curvature});
            return;
        }
        // The left half is the shorter one when len is odd.
        const std::size_t mid = start + len / 2;
        decompose(start, mid);
        const std::size_t last_left = m_segments.size() - 1;
        decompose(mid, end);

        // Only the two segments touching the split are reconsidered, once. Where each half is
        // one segment they span [start, end) again, whose fit was refused above: the same fit
        // refuses it again, so it is not repeated.
        const std::size_t g = m_segments[last_left].start;
        const std::size_t h = m_segments[last_left + 1].end;
        if (g == start && h == end) {
            return;
        }
        if (const std::optional<double> curvature = accepted_curvature(g, h)) {
            m_segments[last_left] = CircleSegment{g, h, *curvature};
            m_segments.erase(m_segments.begin() + static_cast<std::ptrdiff_t>(last_left) + 1);
        }
    }

    /// The curvature of a segment proven to fit but not yet fitted.
    static constexpr double pending = std::numeric_limits<double>::quiet_NaN();

private:
    // The curvature of [start, end) when one circle fits it within the tolerance; a run that
    // does not fit is split further. Proven runs are not decomposed: refused ones need nothing
    // more, and a fitting one's curvature only where it survives the merges (`pending`; an
    // accepted curvature is never NaN).
    std::optional<double> accepted_curvature(std::size_t start, std::size_t end) {
        const std::size_t len = end - start;
        const std::span<const double> x = m_x.subspan(start, len);
        const std::span<const double> y = m_y.subspan(start, len);
        if (m_prove) {
            const FitBound bound = bound_circle_fit(x, y, m_max_rmse, m_workspace);
            if (bound == FitBound::above) {
                return std::nullopt;
            }
            if (bound == FitBound::within) {
                return pending;
            }
        }
        return fitted_curvature(x, y, m_max_rmse, m_dgesvd, m_workspace);
    }

    std::span<const double> m_x;
    std::span<const double> m_y;
    double m_max_rmse;
    DgesvdFn m_dgesvd;
    CircleFitWorkspace& m_workspace;
    std::vector<CircleSegment>& m_segments;
    bool m_prove;
};

}  // namespace

Result<std::vector<CircleSegment>> find_circle_segments(const Path2D& path, std::size_t start,
                                                        std::size_t end, double max_rmse,
                                                        DgesvdFn dgesvd) {
    if (end < start) {
        return Error{ErrorKind::Index, "end index " + std::to_string(end) +
                                           " lies before start index " + std::to_string(start)};
    }
    // Runs of at most 2 points are answered without reading any coordinate, so their indices
    // may lie anywhere.
    const std::size_t available = std::min(path.x().size(), path.y().size());
    if (end - start >= 3 && end > available) {
        return Error{ErrorKind::Index, "end index " + std::to_string(end) +
                                           " lies beyond the path of " + std::to_string(available) +
                                           " points"};
    }
    CircleFitWorkspace workspace;
    std::vector<CircleSegment> segments;
    append_circle_segments(path.x(), path.y(), start, end, max_rmse, dgesvd, workspace, segments);
    return segments;
}

void append_circle_segments(std::span<const double> x, std::span<const double> y, std::size_t start,
                            std::size_t end, double max_rmse, DgesvdFn dgesvd,
                            CircleFitWorkspace& workspace, std::vector<CircleSegment>& out) {
    const std::size_t first = out.size();
    CircleDecomposition(x, y, max_rmse, dgesvd, workspace, out, true).decompose(start, end);
    for (std::size_t i = first; i < out.size(); ++i) {
        CircleSegment& segment = out[i];
        if (!std::isnan(segment.curvature)) {
            continue;
        }
        const std::size_t len = segment.end - segment.start;
        const std::optional<double> curvature =
            fitted_curvature(x.subspan(segment.start, len), y.subspan(segment.start, len), max_rmse,
                             dgesvd, workspace);
        if (!curvature) {
            // Only a dgesvd that fails to converge gets here; the decomposition is then made
            // again with every fit decomposed, as if nothing had been proven.
            out.resize(first);
            CircleDecomposition(x, y, max_rmse, dgesvd, workspace, out, false)
                .decompose(start, end);
            return;
        }
        segment.curvature = *curvature;
    }
}

Result<std::vector<double>> compute_circle_fit_curvature(const Path2D& path, double max_rmse,
                                                         DgesvdFn dgesvd) {
    // The number of points: a path built from coordinates of unequal length has min(x, y) points.
    const std::size_t n = path.size();
    CircleFitWorkspace workspace;
    std::vector<CircleSegment> segments;
    append_circle_segments(path.x(), path.y(), 0, n, max_rmse, dgesvd, workspace, segments);
    std::vector<double> curvature;
    curvature.reserve(n);
    for (const CircleSegment& segment : segments) {
        curvature.insert(curvature.end(), segment.end - segment.start, segment.curvature);
    }
    return curvature;
}

}  // namespace korvane
