// src/python/path2d_elastic_band.cpp: elastic band smoothing, solved by Clarabel
#include "path2d/elastic_band.hpp"
#include "python/path2d_type.hpp"
#include "python/results.hpp"
#include "simple_qp/clarabel_solver.hpp"

namespace korvane::python {

namespace {

constexpr const char* elastic_band_names[] = {"max_deviation", "elastic_band_type"};
constexpr Parameters elastic_band_params{"Path2D.smoothed_path_elastic_band()", elastic_band_names, 1};

}  // namespace

PyObject* path2d_smoothed_path_elastic_band(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) noexcept {
    return shared_method(self, elastic_band_params, args, nargs, kwnames,
                         [](const Path2D& path, const Arguments& a) -> PyObject* {
                             double max_deviation = 0.0;
                             ElasticBandMethod method = ElasticBandMethod::OrthogonalBounds;
                             if (!a.get(0, max_deviation) || !a.get(1, method)) {
                                 return nullptr;
                             }
                             // The path stays under this call's shared borrow while Clarabel
                             // releases the interpreter lock during its solve.
                             const simple_qp::ClarabelSolver solver(elastic_band_settings());
                             std::optional<Path2D> smoothed =
                                 path.smoothed_path_elastic_band(max_deviation, method, solver);
                             // A missing package or an interrupt reaches the caller; a failed
                             // solve is only a missing result.
                             if (PyErr_Occurred()) {
                                 return nullptr;
                             }
                             return to_python(std::move(smoothed));
                         });
}

}  // namespace korvane::python
