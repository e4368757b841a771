// src/path2d/elastic_band_solver.hpp: the elastic band problem solved by a dedicated method
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "path2d/options.hpp"
#include "path2d/points.hpp"

namespace korvane {

class Path2D;

/// The optimum of the elastic band problem of `elastic_band_problem` (the same objective, end
/// points and bounds, the bounds from the same headings), found in the interior offsets by an
/// interior point method on banded factors and made exact by active set steps: every bound met
/// to the rounding of the coordinates, the objective the optimum's to some 1e-12. Holds only
/// scratch memory, reused from one path to the next: keep one per thread and smooth many paths
/// with it, no two threads sharing one.
class ElasticBandSolver {
public:
    /// Writes the optimal points of `path` to `out` (one per point) and returns true, or writes
    /// the input points and returns false when there is no solution: a band or point that is
    /// not finite, or `SquareBounds` with a negative band and an interior point. A path of fewer
    /// than two points, or a band of zero, is its own answer. Fills the path's orientation cache.
    /// (No solution is also reported should the method not converge, which no problem met has
    /// come near.)
    bool smooth(const Path2D& path, double max_deviation, ElasticBandMethod method,
                std::span<Point> out);
    /// The same for points read in place, with their heading per point as
    /// `Path2D::orientation` gives it (read only for `OrthogonalBounds`); `out` must not overlap
    /// the points.
    bool smooth(PointView points, std::span<const double> orientation, double max_deviation,
                ElasticBandMethod method, std::span<Point> out);

    /// Interior point steps taken by the last call of `smooth` (both coordinates' for
    /// `SquareBounds`).
    std::size_t iterations() const noexcept { return m_iterations; }

    /// Frees the scratch should it have been sized for more than `offsets` interior points, so
    /// that a solver kept from one batch to the next holds at most that much.
    void release_scratch_beyond(std::size_t offsets);

private:
    struct ScratchDeleter {
        void operator()(double* block) const noexcept;
    };
    bool solve_orthogonal(PointView points, std::span<const double> orientation,
                          double max_deviation, std::span<Point> out);
    bool solve_square(PointView points, double max_deviation, std::span<Point> out);
    /// Points the arrays into the block for `m_size` offsets of `lanes` problems solved at once
    /// (growing it when short) and returns the doubles they take; with `block` null only counts.
    std::size_t layout(int channels, int lanes, double* block);
    void allocate(int channels, int lanes);
    /// Fills the Hessian of two channels from the normals (one channel's is constant).
    void prepare();
    /// Solves the problems of the lanes set in `lanes` (one lane per value of T) into
    /// m_result[lane].
    template <class T, int Channels>
    bool minimise(unsigned lanes);
    template <int Channels>
    bool settle_active_set(double incumbent, int lane);
    /// Sets the interior point state of lane `to` to that of lane `from` (two lanes).
    void copy_lane(int from, int to);

    // One problem in offsets d (m_size of them, each in [-1, 1]): residuals r + A·(w ∘ d) per
    // interior point and channel, w a unit normal (two channels) or 1 (one channel, not stored).
    // Every array points into one block of scratch, kept from one path to the next; a block
    // sized for either method serves the other.
    std::size_t m_size = 0;
    std::unique_ptr<double[], ScratchDeleter> m_block;
    std::size_t m_block_size = 0;  // doubles
    double* m_r[2] = {};
    double* m_w[2] = {};
    double* m_hessian[3] = {};  // diagonal, first and second off-diagonal
    // The interior point method's arrays hold the lanes of each offset next to each other.
    double* m_q = nullptr;              // gradient at d = 0
    double m_largest_gradient[2] = {};  // the largest |q| of each lane
    double* m_residual[2] = {};         // in the interior point's scratch
    double* m_d = nullptr;
    double* m_slack[2] = {};  // of the lower and upper bound
    double* m_dual[2] = {};
    double* m_scratch[4] = {};
    double* m_result[2] = {};  // of each lane
    double* m_gradient = nullptr;
    double* m_affine = nullptr;
    double* m_factor[3] = {};  // pivots and the two subdiagonals of the unit factor
    std::vector<unsigned char> m_status;
    std::size_t m_iterations = 0;
};

}  // namespace korvane
