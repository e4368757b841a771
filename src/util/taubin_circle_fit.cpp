// src/util/taubin_circle_fit.cpp: algebraic (Taubin) circle fit of a run of points via dgesvd
#include "util/taubin_circle_fit.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>

namespace korvane {

namespace {

// Row counts below this keep their workspace size in the workspace.
constexpr std::size_t max_remembered_rows = 256;

// LAPACK hands the optimal workspace size back as a double. Values it could never have meant
// are clamped into int range; dgesvd itself then refuses a size that is too small.
int workspace_length(double reported) {
    if (!(reported >= 1.0)) {
        return 1;
    }
    if (reported >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    return static_cast<int>(reported);
}

}  // namespace

std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y,
                                           DgesvdFn dgesvd, CircleFitWorkspace& workspace) {
    if (dgesvd == nullptr) {
        throw std::invalid_argument("taubin_circle_fit needs a dgesvd");
    }
    const std::size_t n = std::min(x.size(), y.size());
    // LAPACK counts rows in a 32-bit int; a longer run cannot be decomposed at all.
    if (n == 0 || n > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    const double count = static_cast<double>(n);

    double sum_x = 0.0;
    double sum_y = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sum_x += x[i];
        sum_y += y[i];
    }
    const double mx = sum_x / count;
    const double my = sum_y / count;

    // Z's columns are (z0, u, v). The centred u and v are needed only as Z's columns, so they are
    // written there directly instead of into copies of their own.
    if (workspace.m_z.size() < 3 * n) {
        workspace.m_z.resize(3 * n);
    }
    double* const z0 = workspace.m_z.data();
    double* const u = z0 + n;
    double* const v = z0 + 2 * n;
    double sum_z = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        u[i] = x[i] - mx;
        v[i] = y[i] - my;
        z0[i] = u[i] * u[i] + v[i] * v[i];
        sum_z += z0[i];
    }
    const double zm = sum_z / count;
    // Scale of the normalised z column: twice the RMS distance from the centroid.
    const double s = std::sqrt(zm) + std::sqrt(zm);
    // A non-finite entry (coincident points make s zero, huge or NaN coordinates overflow) is
    // never handed to dgesvd: LAPACK's iteration does not terminate on NaN input. Every such
    // entry shows up in the z0 column, since u and v enter it squared. No circle exists then.
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i) {
        z0[i] = (z0[i] - zm) / s;
        finite = finite && std::isfinite(z0[i]);
    }
    if (!finite) {
        return std::nullopt;
    }

    // Only Vt is wanted (JOBU 'N'), in full (JOBVT 'A'); U is never referenced.
    const char jobu = 'N';
    const char jobvt = 'A';
    const int rows = static_cast<int>(n);
    const int cols = 3;
    const int ldvt = 3;
    double singular_values[3];
    double vt[9];
    double unused_u[1];
    int info = 0;

    // The workspace query's answer depends only on the routine and the dimensions, so for the
    // short runs that dominate a decomposition it is asked once per row count. Longer runs ask
    // every time; there the query is cheap next to the decomposition.
    if (workspace.m_sized_by != dgesvd) {
        workspace.m_sized_by = dgesvd;
        workspace.m_work_length.clear();
    }
    const bool remembered_size = n < max_remembered_rows;
    if (remembered_size && workspace.m_work_length.size() <= n) {
        workspace.m_work_length.resize(n + 1, 0);
    }
    int lwork = remembered_size ? workspace.m_work_length[n] : 0;
    if (lwork == 0) {
        double optimal = 0.0;
        const int query = -1;
        dgesvd(&jobu, &jobvt, &rows, &cols, z0, &rows, singular_values, unused_u, &rows, vt, &ldvt,
               &optimal, &query, &info);
        if (info != 0) {
            return std::nullopt;
        }
        lwork = workspace_length(optimal);
        if (remembered_size) {
            workspace.m_work_length[n] = lwork;
        }
    }
    if (workspace.m_work.size() < static_cast<std::size_t>(lwork)) {
        workspace.m_work.resize(static_cast<std::size_t>(lwork));
    }
    // The queried length is passed, not the buffer's: LAPACK picks its blocking from LWORK, and
    // a reused larger buffer must not change the path it takes.
    dgesvd(&jobu, &jobvt, &rows, &cols, z0, &rows, singular_values, unused_u, &rows, vt, &ldvt,
           workspace.m_work.data(), &lwork, &info);
    if (info != 0) {
        return std::nullopt;
    }

    // Singular values come in descending order, so the third row of the column-major Vt is the
    // right singular vector of the smallest one: the algebraic circle in Z's column order. Its
    // sign is arbitrary; centre, radius and RMSE are all even in it.
    double a0 = vt[2];
    const double a1 = vt[2 + 3];
    const double a2 = vt[2 + 6];
    a0 = a0 / s;
    const double a3 = (-zm) * a0;

    const double cx = mx + (a1 * -0.5) / a0;
    const double cy = my + (a2 * -0.5) / a0;
    const double r = std::sqrt(a1 * a1 + a2 * a2 + (-4.0 * a0) * a3) * 0.5 / std::abs(a0);

    // Measured against the caller's points, not the centred ones.
    double sum_sq = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = x[i] - cx;
        const double dy = y[i] - cy;
        const double d = std::sqrt(dx * dx + dy * dy) - r;
        sum_sq += d * d;
    }
    return CircleFit{cx, cy, r, std::sqrt(sum_sq / count)};
}

std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y,
                                           DgesvdFn dgesvd) {
    CircleFitWorkspace workspace;
    return taubin_circle_fit(x, y, dgesvd, workspace);
}

}  // namespace korvane
