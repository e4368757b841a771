// src/python/path2d_circle_fit.cpp: circle segment decomposition and circle-fit curvature
#include "python/path2d_type.hpp"
#include "python/results.hpp"
#include "python/scipy_lapack.hpp"

namespace korvane::python {

namespace {

constexpr double kDefaultMaxRmse = 0.15;
// Runs shorter than this need no fit, so they need no LAPACK either.
constexpr std::uint64_t kFitMinimumPoints = 3;

constexpr const char* segments_names[] = {"start", "end", "max_rmse"};
constexpr Parameters find_circle_segments_params{"Path2D.find_circle_segments()", segments_names, 2};
constexpr const char* curvature_names[] = {"max_rmse"};
constexpr Parameters compute_circle_fit_curvature_params{"Path2D.compute_circle_fit_curvature()",
                                                         curvature_names, 0};

}  // namespace

PyObject* path2d_find_circle_segments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return shared_method(self, find_circle_segments_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             std::uint64_t start = 0;
                             std::uint64_t end = 0;
                             double max_rmse = kDefaultMaxRmse;
                             if (!a.get(0, start) || !a.get(1, end) || !a.get(2, max_rmse)) {
                                 return nullptr;
                             }
                             DgesvdFn dgesvd = nullptr;
                             if (end >= start && end - start >= kFitMinimumPoints && end <= path.size() &&
                                 (dgesvd = scipy_dgesvd()) == nullptr) {
                                 return nullptr;
                             }
                             return to_python(path.find_circle_segments(start, end, max_rmse, dgesvd));
                         });
}

PyObject* path2d_compute_circle_fit_curvature(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
    return shared_method(self, compute_circle_fit_curvature_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             double max_rmse = kDefaultMaxRmse;
                             if (!a.get(0, max_rmse)) {
                                 return nullptr;
                             }
                             DgesvdFn dgesvd = nullptr;
                             if (path.size() >= kFitMinimumPoints && (dgesvd = scipy_dgesvd()) == nullptr) {
                                 return nullptr;
                             }
                             return to_python(path.compute_circle_fit_curvature(max_rmse, dgesvd));
                         });
}

}  // namespace korvane::python
