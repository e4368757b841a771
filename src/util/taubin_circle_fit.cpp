// src/util/taubin_circle_fit.cpp: algebraic (Taubin) circle fit of a run of points via dgesvd
#include "util/taubin_circle_fit.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <utility>

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

struct CentredColumns {
    double* z0;
    double* u;
    double* v;
    std::size_t n;
    double mx;
    double my;
    double zm;
    double s;
};

// sum plus the squared radial distances of the points [begin, end) from the circle (cx, cy, r),
// added in order.
double add_radial_squares(std::span<const double> x, std::span<const double> y, double cx,
                          double cy, double r, std::size_t begin, std::size_t end, double sum) {
    for (std::size_t i = begin; i < end; ++i) {
        const double dx = x[i] - cx;
        const double dy = y[i] - cy;
        const double d = std::sqrt(dx * dx + dy * dy) - r;
        sum += d * d;
    }
    return sum;
}

// The smallest eigenvalue of a symmetric 3-by-3 matrix, the next one and the largest, from the
// characteristic cubic in its trigonometric form, and a unit eigenvector of the smallest: the
// longest cross product of two rows of M - lambda I. Nothing is claimed for its accuracy here;
// the caller bounds that from the vector's residual.
struct SmallestEigen {
    double vector[3];
    double smallest;
    double next;
    double largest;
};

SmallestEigen smallest_eigen3(const double (&m)[3][3]) {
    const double off = m[0][1] * m[0][1] + m[0][2] * m[0][2] + m[1][2] * m[1][2];
    const double q = (m[0][0] + m[1][1] + m[2][2]) / 3.0;
    const double d0 = m[0][0] - q;
    const double d1 = m[1][1] - q;
    const double d2 = m[2][2] - q;
    const double p = std::sqrt((d0 * d0 + d1 * d1 + d2 * d2 + 2.0 * off) / 6.0);
    // det((M - q I) / p) / 2, kept within acos's domain against rounding.
    const double b01 = m[0][1] / p;
    const double b02 = m[0][2] / p;
    const double b12 = m[1][2] / p;
    const double e0 = d0 / p;
    const double e1 = d1 / p;
    const double e2 = d2 / p;
    const double det =
        e0 * (e1 * e2 - b12 * b12) - b01 * (b01 * e2 - b12 * b02) + b02 * (b01 * b12 - e1 * b02);
    const double phi = std::acos(std::clamp(det / 2.0, -1.0, 1.0)) / 3.0;
    SmallestEigen result{};
    result.largest = q + 2.0 * p * std::cos(phi);
    result.smallest = q + 2.0 * p * std::cos(phi + 2.0 * std::numbers::pi / 3.0);
    result.next = 3.0 * q - result.largest - result.smallest;
    const double r[3][3] = {{m[0][0] - result.smallest, m[0][1], m[0][2]},
                            {m[0][1], m[1][1] - result.smallest, m[1][2]},
                            {m[0][2], m[1][2], m[2][2] - result.smallest}};
    double best = 0.0;
    for (const auto& [i, j] : {std::pair{0, 1}, std::pair{0, 2}, std::pair{1, 2}}) {
        const double c[3] = {r[i][1] * r[j][2] - r[i][2] * r[j][1],
                             r[i][2] * r[j][0] - r[i][0] * r[j][2],
                             r[i][0] * r[j][1] - r[i][1] * r[j][0]};
        const double length = c[0] * c[0] + c[1] * c[1] + c[2] * c[2];
        if (length > best) {
            best = length;
            std::copy(c, c + 3, result.vector);
        }
    }
    const double norm = std::sqrt(best);
    for (double& component : result.vector) {
        component /= norm;
    }
    return result;
}

// Whether the fit dgesvd would make of the columns (z0, u, v) of Z has an RMSE above max_rmse or
// within it, decided without dgesvd: a few passes over the run where the decomposition costs
// several times more.
//
// The smallest eigenvector of Z'Z is Z's smallest right singular vector. dgesvd's stands within
// an angle of the order of n eps |Z|^2 / gap of the exact one (its backward error over the gap
// between the two smallest values), ours within its residual over the gap: together `drift`.
// From a unit vector a the fit has radius |rho| and centre m - rho (a1, a2), rho = s / (2 a0),
// so moving a by drift moves every point's radial distance by at most `moved`. The RMSE from
// our circle, less or plus that and both computations' rounding (`rounding`), bounds the RMSE
// from dgesvd's. Every margin is generous; a run near any limit is simply fitted.
FitBound fit_bound(const CentredColumns& c, std::span<const double> x, std::span<const double> y,
                   double max_rmse) {
    const double* const z0 = c.z0;
    const double* const u = c.u;
    const double* const v = c.v;
    const std::size_t n = c.n;
    const double mx = c.mx;
    const double my = c.my;
    const double s = c.s;
    // The margins count relative rounding only. Far from 1 a square can underflow or overflow,
    // which rounds absolutely, so runs of such a scale or position are simply fitted.
    constexpr double least_scale = 1e-100;
    constexpr double most_scale = 1e100;
    if (!(max_rmse < std::numeric_limits<double>::infinity() && s >= least_scale &&
          s <= most_scale && std::abs(mx) <= most_scale && std::abs(my) <= most_scale)) {
        return FitBound::unproven;
    }
    double m[3][3] = {};
    for (std::size_t i = 0; i < n; ++i) {
        m[0][0] += z0[i] * z0[i];
        m[0][1] += z0[i] * u[i];
        m[0][2] += z0[i] * v[i];
        m[1][1] += u[i] * u[i];
        m[1][2] += u[i] * v[i];
        m[2][2] += v[i] * v[i];
    }
    m[1][0] = m[0][1];
    m[2][0] = m[0][2];
    m[2][1] = m[1][2];
    const SmallestEigen eigen = smallest_eigen3(m);
    const double a0 = eigen.vector[0];
    const double a1 = eigen.vector[1];
    const double a2 = eigen.vector[2];
    // How far our vector stands from an eigenvector of the matrix it was computed from.
    double residual = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double e =
            m[i][0] * a0 + m[i][1] * a1 + m[i][2] * a2 - eigen.smallest * eigen.vector[i];
        residual += e * e;
    }
    constexpr double eps = std::numeric_limits<double>::epsilon();
    const double count = static_cast<double>(n);
    const double gap = eigen.next - eigen.smallest;
    const double drift =
        (1024.0 * (count + 8.0) * eps * eigen.largest + 4.0 * std::sqrt(residual)) / gap;
    if (!(eigen.smallest >= -eigen.largest && drift <= 1e-4 && std::abs(a0) > 4.0 * drift)) {
        return FitBound::unproven;
    }
    const double rho = s / (2.0 * a0);
    const double cx = mx - rho * a1;
    const double cy = my - rho * a2;
    const double r = std::abs(rho);
    if (!(r <= most_scale)) {
        return FitBound::unproven;
    }
    const double moved = r * (drift * (4.0 / std::abs(a0) + 2.0) + 1e-12);
    const double rounding = 64.0 * eps * (10.0 * r + std::abs(mx) + std::abs(my));
    // Squared distances only add up, so a run is proven above as soon as a prefix of them
    // exceeds n times the squared threshold, widened for the rounding of the sum itself.
    const double sum_rounding = 64.0 * (count + 8.0) * eps;
    const double above = (max_rmse + moved + 2.0 * rounding) / (1.0 - sum_rounding);
    const double needed = count * above * above;
    if (!(needed < std::numeric_limits<double>::infinity())) {
        return FitBound::unproven;
    }
    double sum_sq = 0.0;
    for (std::size_t i = 0; i < n; i += 16) {
        sum_sq = add_radial_squares(x, y, cx, cy, r, i, std::min(n, i + 16), sum_sq);
        if (sum_sq > needed) {
            return FitBound::above;
        }
    }
    const double within = (max_rmse - moved - 2.0 * rounding) / (1.0 + sum_rounding);
    return within > 0.0 && sum_sq < count * within * within ? FitBound::within : FitBound::unproven;
}

// Z's columns for the points, centred and normalised, written into `z`. False when there is
// no finite matrix to decompose.
bool centred_columns(std::span<const double> x, std::span<const double> y, std::vector<double>& z,
                     CentredColumns& columns) {
    const std::size_t n = std::min(x.size(), y.size());
    // LAPACK counts rows in a 32-bit int; a longer run cannot be decomposed at all.
    if (n == 0 || n > static_cast<std::size_t>(INT_MAX)) {
        return false;
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
    if (z.size() < 3 * n) {
        z.resize(3 * n);
    }
    double* const z0 = z.data();
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
    columns = CentredColumns{z0, u, v, n, mx, my, zm, s};
    return finite;
}

}  // namespace

FitBound bound_circle_fit(std::span<const double> x, std::span<const double> y, double max_rmse,
                          CircleFitWorkspace& workspace) {
    CentredColumns c{};
    if (!centred_columns(x, y, workspace.m_z, c)) {
        return FitBound::above;
    }
    return fit_bound(c, x, y, max_rmse);
}

std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y,
                                           DgesvdFn dgesvd, CircleFitWorkspace& workspace) {
    if (dgesvd == nullptr) {
        throw std::invalid_argument("taubin_circle_fit needs a dgesvd");
    }
    CentredColumns c{};
    if (!centred_columns(x, y, workspace.m_z, c)) {
        return std::nullopt;
    }
    const std::size_t n = c.n;
    const double count = static_cast<double>(n);
    const double mx = c.mx;
    const double my = c.my;
    const double zm = c.zm;
    const double s = c.s;
    double* const z0 = c.z0;

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
    const double sum_sq = add_radial_squares(x, y, cx, cy, r, 0, n, 0.0);
    return CircleFit{cx, cy, r, std::sqrt(sum_sq / count)};
}

std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y,
                                           DgesvdFn dgesvd) {
    CircleFitWorkspace workspace;
    return taubin_circle_fit(x, y, dgesvd, workspace);
}

}  // namespace korvane
