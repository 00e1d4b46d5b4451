// The group tests of block_offer.h, portable and in AVX-512, and the forms
// this processor runs.
#include "core/index/block_offer.h"

#include <limits>

#include "core/base/cpu_features.h"
#include "core/vectors/x86_intrinsics.h"

namespace hovra {

namespace {

// The floor of each whole group of kGroup rows: the least lower end among
// its rows, or -inf when one of them is always offered (a NaN lower end, an
// upper end past the largest double). A group whose floor exceeds the
// threshold holds no row to offer. With AVX-512 a group is one register.
void group_floors_portable(const double* lo, const double* hi, std::size_t groups, double* floors) {
  constexpr double kMax = std::numeric_limits<double>::max();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (std::size_t g = 0; g < groups; ++g) {
    double floor = kInf;
    for (std::size_t j = g * kGroup; j < (g + 1) * kGroup; ++j) {
      double key = hi[j] <= kMax && lo[j] == lo[j] ? lo[j] : -kInf;
      floor = key < floor ? key : floor;
    }
    floors[g] = floor;
  }
}
#if defined(__x86_64__)
[[gnu::target("avx512f")]] void group_floors_avx512(const double* lo, const double* hi, std::size_t groups,
                                                    double* floors) {
  static_assert(kGroup == 8);
  const __m512d most = _mm512_set1_pd(std::numeric_limits<double>::max());
  const __m512d none = _mm512_set1_pd(-std::numeric_limits<double>::infinity());
  for (std::size_t g = 0; g < groups; ++g) {
    __m512d l = _mm512_loadu_pd(lo + g * kGroup), h = _mm512_loadu_pd(hi + g * kGroup);
    __mmask8 kept = _mm512_cmp_pd_mask(h, most, _CMP_LE_OQ) & _mm512_cmp_pd_mask(l, l, _CMP_ORD_Q);
    floors[g] = _mm512_reduce_min_pd(_mm512_mask_blend_pd(kept, none, l));
  }
}
#endif
GroupFloorsFn group_floors_for_this_processor() {
#if defined(__x86_64__)
  if (simd_level() == SimdLevel::Avx512) return &group_floors_avx512;
#endif
  return &group_floors_portable;
}

// The rows of a group (count of them, at most kGroup) to offer, a bit per
// row: a lower end at most the threshold, or a non-finite end (a NaN lower
// end, an upper end past the largest double).
unsigned group_marks_portable(const double* lo, const double* hi, std::size_t count, double threshold) {
  constexpr double kMax = std::numeric_limits<double>::max();
  unsigned marked = 0;
  for (std::size_t j = 0; j < count; ++j)
    marked |= unsigned((lo[j] <= threshold) | !(hi[j] <= kMax) | (lo[j] != lo[j])) << j;  // no branch
  return marked;
}
#if defined(__x86_64__)
[[gnu::target("avx512f")]] unsigned group_marks_avx512(const double* lo, const double* hi, std::size_t count,
                                                       double threshold) {
  static_assert(kGroup == 8);
  const __mmask8 rows = count >= kGroup ? __mmask8(0xFF) : __mmask8((1u << count) - 1);
  __m512d l = _mm512_maskz_loadu_pd(rows, lo), h = _mm512_maskz_loadu_pd(rows, hi);
  __mmask8 under = _mm512_mask_cmp_pd_mask(rows, l, _mm512_set1_pd(threshold), _CMP_LE_OQ);
  __mmask8 beyond = _mm512_mask_cmp_pd_mask(rows, h, _mm512_set1_pd(std::numeric_limits<double>::max()), _CMP_NLE_UQ);
  __mmask8 nan = _mm512_mask_cmp_pd_mask(rows, l, l, _CMP_UNORD_Q);
  return unsigned(under | beyond | nan);
}
#endif
GroupMarksFn group_marks_for_this_processor() {
#if defined(__x86_64__)
  if (simd_level() == SimdLevel::Avx512) return &group_marks_avx512;
#endif
  return &group_marks_portable;
}

}  // namespace

const GroupFloorsFn kGroupFloors = group_floors_for_this_processor();
const GroupMarksFn kGroupMarks = group_marks_for_this_processor();

}  // namespace hovra
