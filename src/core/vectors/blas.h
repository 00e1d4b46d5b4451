// The optional BLAS: single-precision matrix products for scans of many
// queries. A build links OpenBLAS from the scipy-openblas32 package (symbols
// prefixed scipy_) when it is available; otherwise blas_available() is false
// and nothing here may be called.
#pragma once

#include <cstddef>

namespace hovra {

#if defined(HOVRA_HAVE_BLAS)
inline constexpr bool kBlasAvailable = true;
#else
inline constexpr bool kBlasAvailable = false;
#endif

// c[i * ldc + j] = a_i . b_j for the m rows of a (m x k, row stride lda) and
// the n rows of b (n x k, row stride ldb). OpenBLAS runs on the calling
// thread only: its own threads are pinned to one at first use, since the
// worker pool already spreads the work.
void gemm_abt(std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda, const float* b,
              std::size_t ldb, float* c, std::size_t ldc);

}  // namespace hovra
