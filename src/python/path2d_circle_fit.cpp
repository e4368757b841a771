// src/python/path2d_circle_fit.cpp: circle segment decomposition and circle-fit curvature
#include <optional>

#include "path2d/circle_fit.hpp"
#include "python/path2d_type.hpp"
#include "python/results.hpp"

namespace korvane::python {

namespace {

constexpr double kDefaultMaxRmse = 0.15;
// Runs shorter than this need no fit, so they need no LAPACK either.
constexpr std::uint64_t kFitMinimumPoints = 3;

/// Runs `fit(path, dgesvd)` while the path is borrowed when it needs no LAPACK or LAPACK has
/// been found already. Otherwise LAPACK is looked up (Python code) once the borrow has ended,
/// and the fit runs on a copy of the path: once per process where SciPy is installed, on
/// every fit that needs it where it is not (each then fails with ImportError).
template <class Fit>
auto fit_with_lapack(const Path2D& path, bool needs_lapack, Fit fit) {
    using Fitted = decltype(fit(path, DgesvdFn{}));
    std::optional<Fitted> fitted;
    std::optional<Path2D> copy;
    const DgesvdFn dgesvd = loaded_lapack_dgesvd();
    if (!needs_lapack || dgesvd != nullptr) {
        fitted.emplace(fit(path, dgesvd));
    } else {
        copy.emplace(path);
    }
    return [fitted = std::move(fitted), copy = std::move(copy), fit]() mutable -> PyObject* {
        if (copy) {
            const DgesvdFn found = lapack_dgesvd();
            if (found == nullptr) {
                return nullptr;
            }
            fitted.emplace(fit(*copy, found));
        }
        return to_python(std::move(*fitted));
    };
}

constexpr char find_circle_segments_doc[] =
    "find_circle_segments($self, start, end, max_rmse=0.15)\n--\n\nfind_circle_segments(start, "
    "end, max_rmse=0.15)\n\nDecomposes the path into its circle segments, such that the maximum\n"
    "RMSE (root mean squared error) is not exceeded.\n\n:param start: Index of point to start from\n"
    ":param end: Index of point to stop with\n:param max_rmse: Maximum RMSE\n\n:type start: int\n"
    ":type end: int\n:type max_rmse: float\n\n:returns: The list of arc segments\n:rtype: list[tuple[int, "
    "int, float]]";

const auto find_circle_segments = path2d_method(
    "find_circle_segments", find_circle_segments_doc, Needs::Nothing,
    [](const Path2D& path, std::uint64_t start, std::uint64_t end, double max_rmse) {
        const bool needs_lapack =
            end >= start && end - start >= kFitMinimumPoints && end <= path.size();
        return fit_with_lapack(path, needs_lapack, [=](const Path2D& p, DgesvdFn dgesvd) {
            return korvane::find_circle_segments(p, start, end, max_rmse, dgesvd);
        });
    },
    arg<std::uint64_t>("start"), arg<std::uint64_t>("end"), arg("max_rmse", kDefaultMaxRmse));

constexpr char compute_circle_fit_curvature_doc[] =
    "compute_circle_fit_curvature($self, max_rmse=0.15)\n--\n\ncompute_circle_fit_curvature(max_rmse=0.15)\n"
    "\nComputes the curvature by decomposing the path into arc segments.\n\n:param max_rmse: The "
    "maximum RMSE (root mean squared error) that is not exceeded when\n                    fitting "
    "the arc segments\n\n:type max_rmse: float\n\n:returns: The curvature of the path\n:rtype: "
    "list[float]";

const auto compute_circle_fit_curvature = path2d_method(
    "compute_circle_fit_curvature", compute_circle_fit_curvature_doc, Needs::Nothing,
    [](const Path2D& path, double max_rmse) {
        return fit_with_lapack(
            path, path.size() >= kFitMinimumPoints, [=](const Path2D& p, DgesvdFn dgesvd) {
                return korvane::compute_circle_fit_curvature(p, max_rmse, dgesvd);
            });
    },
    arg("max_rmse", kDefaultMaxRmse));

}  // namespace

const PyMethodDef path2d_find_circle_segments = path2d_method_row<find_circle_segments>();
const PyMethodDef path2d_compute_circle_fit_curvature =
    path2d_method_row<compute_circle_fit_curvature>();

}  // namespace korvane::python
