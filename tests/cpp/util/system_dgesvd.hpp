// tests/cpp/util/system_dgesvd.hpp: the linked system LAPACK's dgesvd behind the DgesvdFn slot
#pragma once

#include <cstddef>

#include "util/lapack.hpp"

#if KORVANE_HAVE_LAPACK
// gfortran (8 and later) appends one size_t length per CHARACTER argument.
extern "C" void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
                        const int* lda, double* s, double* u, const int* ldu, double* vt,
                        const int* ldvt, double* work, const int* lwork, int* info,
                        std::size_t jobu_len, std::size_t jobvt_len);

namespace korvane::testing {

/// Adapts the gfortran symbol to the slot's convention; both job strings are one character.
inline void system_dgesvd(const char* jobu, const char* jobvt, const int* m, const int* n,
                          double* a, const int* lda, double* s, double* u, const int* ldu,
                          double* vt, const int* ldvt, double* work, const int* lwork, int* info) {
    dgesvd_(jobu, jobvt, m, n, a, lda, s, u, ldu, vt, ldvt, work, lwork, info, 1, 1);
}

}  // namespace korvane::testing
#endif

namespace korvane::testing {

/// A dgesvd whose decomposition never converges; the workspace query still succeeds.
inline void non_converging_dgesvd(const char*, const char*, const int*, const int*, double*,
                                  const int*, double*, double*, const int*, double*, const int*,
                                  double* work, const int* lwork, int* info) {
    if (*lwork == -1) {
        work[0] = 1.0;
        *info = 0;
    } else {
        *info = 1;
    }
}

/// A dgesvd that refuses already at the workspace query.
inline void refusing_dgesvd(const char*, const char*, const int*, const int*, double*, const int*,
                            double*, double*, const int*, double*, const int*, double*, const int*,
                            int* info) {
    *info = -1;
}

}  // namespace korvane::testing
