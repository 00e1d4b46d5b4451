// Matrix products through OpenBLAS (scipy-openblas32), when the build has it.
#include "core/vectors/blas.h"

#if defined(HOVRA_HAVE_BLAS)
extern "C" {
// From scipy-openblas32's cblas.h (CblasRowMajor = 101, CblasNoTrans = 111,
// CblasTrans = 112), declared here to keep its other declarations out.
void scipy_cblas_sgemm(int order, int trans_a, int trans_b, int m, int n, int k, float alpha, const float* a, int lda,
                       const float* b, int ldb, float beta, float* c, int ldc);
void scipy_openblas_set_num_threads(int num_threads);
}
#endif

#include "core/base/error.h"

namespace hovra {

void gemm_abt(std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda, const float* b,
              std::size_t ldb, float* c, std::size_t ldc) {
#if defined(HOVRA_HAVE_BLAS)
  static const bool pinned = (scipy_openblas_set_num_threads(1), true);
  (void)pinned;
  constexpr std::size_t kIntMax = 0x7FFFFFFF;
  if (m > kIntMax || n > kIntMax || k > kIntMax || lda > kIntMax || ldb > kIntMax || ldc > kIntMax)
    panic("matrix product too large for the BLAS interface");
  scipy_cblas_sgemm(101, 111, 112, int(m), int(n), int(k), 1.0f, a, int(lda), b, int(ldb), 0.0f, c, int(ldc));
#else
  (void)m, (void)n, (void)k, (void)a, (void)lda, (void)b, (void)ldb, (void)c, (void)ldc;
  panic("matrix product requested from a build without BLAS");
#endif
}

}  // namespace hovra
