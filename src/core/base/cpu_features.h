// The vector instruction set hovra's own kernels may use (SimSIMD's kernels
// choose theirs themselves): the best this processor has, lowered by the
// environment variable HOVRA_SIMD ("portable", "avx2" or "avx512") so that
// tests can run every form on one machine. Read once, on first use.
#pragma once

namespace hovra {

enum class SimdLevel { Portable = 0, Avx2 = 1, Avx512 = 2 };

SimdLevel simd_level();

}  // namespace hovra
