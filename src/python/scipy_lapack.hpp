// src/python/scipy_lapack.hpp: LAPACK's dgesvd as SciPy exports it, resolved on first use
#pragma once

#include "util/lapack.hpp"

namespace korvane::python {

/// The dgesvd of scipy.linalg.cython_lapack; nullptr with ImportError set when SciPy is missing.
DgesvdFn scipy_dgesvd() noexcept;

}  // namespace korvane::python
