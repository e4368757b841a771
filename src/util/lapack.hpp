// src/util/lapack.hpp: the slot through which the core reaches LAPACK's dgesvd
#pragma once

namespace korvane {

/// Fortran-convention dgesvd: every argument by pointer, no hidden string lengths.
using DgesvdFn = void (*)(const char* jobu, const char* jobvt, const int* m, const int* n,
                          double* a, const int* lda, double* s, double* u, const int* ldu,
                          double* vt, const int* ldvt, double* work, const int* lwork, int* info);

}  // namespace korvane
