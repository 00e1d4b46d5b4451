// Block kernels of the exhaustive scan, with AVX-512 and AVX2 forms chosen
// once at run time and a portable form for other processors. They run at
// memory speed: the query stays in cache and each row is read once.
//
// Written here rather than taken from SimSIMD: its kernels score one pair
// per call and return one number, while a scan needs the dot product and the
// row's own sum of squares from a single pass over a block of rows. The pair
// kernels of the walks are here for a like reason: SimSIMD's AVX2 kernels
// run every step through one accumulator, so a long row waits on the adder's
// latency, where four independent sums keep both FMA units busy.
#include "core/vectors/scan_kernels.h"

#include "core/base/cpu_features.h"
#include "core/vectors/x86_intrinsics.h"

namespace hovra {

namespace {

// ---- portable ----

void dot_sq_row_portable(const float* q, const float* x, std::size_t dim, float* dot, float* sq) {
  float d[4] = {0, 0, 0, 0}, s[4] = {0, 0, 0, 0};
  std::size_t j = 0;
  for (; j + 4 <= dim; j += 4)
    for (int l = 0; l < 4; ++l) {
      d[l] += q[j + l] * x[j + l];
      s[l] += x[j + l] * x[j + l];
    }
  for (; j < dim; ++j) {
    d[0] += q[j] * x[j];
    s[0] += x[j] * x[j];
  }
  *dot = (d[0] + d[1]) + (d[2] + d[3]);
  *sq = (s[0] + s[1]) + (s[2] + s[3]);
}

float l2sq_row_portable(const float* q, const float* x, std::size_t dim) {
  float a[4] = {0, 0, 0, 0};
  std::size_t j = 0;
  for (; j + 4 <= dim; j += 4)
    for (int l = 0; l < 4; ++l) {
      float t = q[j + l] - x[j + l];
      a[l] += t * t;
    }
  for (; j < dim; ++j) {
    float t = q[j] - x[j];
    a[0] += t * t;
  }
  return (a[0] + a[1]) + (a[2] + a[3]);
}

float pair_dot_portable(const float* q, const float* x, std::size_t dim) {
  float d[4] = {0, 0, 0, 0};
  std::size_t j = 0;
  for (; j + 4 <= dim; j += 4)
    for (int l = 0; l < 4; ++l) d[l] += q[j + l] * x[j + l];
  for (; j < dim; ++j) d[0] += q[j] * x[j];
  return (d[0] + d[1]) + (d[2] + d[3]);
}

#if defined(__x86_64__)

// ---- AVX2 + FMA ----

__attribute__((target("avx2,fma"))) inline float hsum256(__m256 v) {
  __m128 lo = _mm256_castps256_ps128(v), hi = _mm256_extractf128_ps(v, 1);
  __m128 s = _mm_add_ps(lo, hi);
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

__attribute__((target("avx2,fma"))) inline void dot_sq_row_avx2(const float* q, const float* x, std::size_t dim,
                                                                float* dot, float* sq) {
  __m256 d0 = _mm256_setzero_ps(), d1 = _mm256_setzero_ps();
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
  std::size_t j = 0;
  for (; j + 16 <= dim; j += 16) {
    __m256 x0 = _mm256_loadu_ps(x + j), x1 = _mm256_loadu_ps(x + j + 8);
    d0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + j), x0, d0);
    d1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + j + 8), x1, d1);
    s0 = _mm256_fmadd_ps(x0, x0, s0);
    s1 = _mm256_fmadd_ps(x1, x1, s1);
  }
  if (j + 8 <= dim) {
    __m256 x0 = _mm256_loadu_ps(x + j);
    d0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + j), x0, d0);
    s0 = _mm256_fmadd_ps(x0, x0, s0);
    j += 8;
  }
  float dt = hsum256(_mm256_add_ps(d0, d1)), st = hsum256(_mm256_add_ps(s0, s1));
  for (; j < dim; ++j) {
    dt += q[j] * x[j];
    st += x[j] * x[j];
  }
  *dot = dt;
  *sq = st;
}

__attribute__((target("avx2,fma"))) inline float l2sq_row_avx2(const float* q, const float* x, std::size_t dim) {
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps();
  std::size_t j = 0;
  for (; j + 16 <= dim; j += 16) {
    __m256 t0 = _mm256_sub_ps(_mm256_loadu_ps(q + j), _mm256_loadu_ps(x + j));
    __m256 t1 = _mm256_sub_ps(_mm256_loadu_ps(q + j + 8), _mm256_loadu_ps(x + j + 8));
    a0 = _mm256_fmadd_ps(t0, t0, a0);
    a1 = _mm256_fmadd_ps(t1, t1, a1);
  }
  if (j + 8 <= dim) {
    __m256 t0 = _mm256_sub_ps(_mm256_loadu_ps(q + j), _mm256_loadu_ps(x + j));
    a0 = _mm256_fmadd_ps(t0, t0, a0);
    j += 8;
  }
  float a = hsum256(_mm256_add_ps(a0, a1));
  for (; j < dim; ++j) {
    float t = q[j] - x[j];
    a += t * t;
  }
  return a;
}

__attribute__((target("avx2,fma"))) float pair_dot_avx2(const float* q, const float* x, std::size_t dim) {
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
  std::size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + j), _mm256_loadu_ps(x + j), a0);
    a1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + j + 8), _mm256_loadu_ps(x + j + 8), a1);
    a2 = _mm256_fmadd_ps(_mm256_loadu_ps(q + j + 16), _mm256_loadu_ps(x + j + 16), a2);
    a3 = _mm256_fmadd_ps(_mm256_loadu_ps(q + j + 24), _mm256_loadu_ps(x + j + 24), a3);
  }
  for (; j + 8 <= dim; j += 8) a0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + j), _mm256_loadu_ps(x + j), a0);
  float a = hsum256(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  for (; j < dim; ++j) a += q[j] * x[j];
  return a;
}

// One score per row of a block by a row kernel of the same instruction set,
// inlined into the loop.
template <float (*Row)(const float*, const float*, std::size_t)>
__attribute__((target("avx2,fma"))) void each_row_avx2(const float* q, const float* rows, std::size_t count,
                                                       std::size_t dim, float* out) {
  for (std::size_t r = 0; r < count; ++r) out[r] = Row(q, rows + r * dim, dim);
}

__attribute__((target("avx2,fma"))) float pair_l2sq_avx2(const float* q, const float* x, std::size_t dim) {
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
  std::size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    __m256 t0 = _mm256_sub_ps(_mm256_loadu_ps(q + j), _mm256_loadu_ps(x + j));
    __m256 t1 = _mm256_sub_ps(_mm256_loadu_ps(q + j + 8), _mm256_loadu_ps(x + j + 8));
    __m256 t2 = _mm256_sub_ps(_mm256_loadu_ps(q + j + 16), _mm256_loadu_ps(x + j + 16));
    __m256 t3 = _mm256_sub_ps(_mm256_loadu_ps(q + j + 24), _mm256_loadu_ps(x + j + 24));
    a0 = _mm256_fmadd_ps(t0, t0, a0);
    a1 = _mm256_fmadd_ps(t1, t1, a1);
    a2 = _mm256_fmadd_ps(t2, t2, a2);
    a3 = _mm256_fmadd_ps(t3, t3, a3);
  }
  for (; j + 8 <= dim; j += 8) {
    __m256 t0 = _mm256_sub_ps(_mm256_loadu_ps(q + j), _mm256_loadu_ps(x + j));
    a0 = _mm256_fmadd_ps(t0, t0, a0);
  }
  float a = hsum256(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  for (; j < dim; ++j) {
    float t = q[j] - x[j];
    a += t * t;
  }
  return a;
}

__attribute__((target("avx2,fma"))) void block_dot_sq_avx2(const float* q, const float* rows, std::size_t count,
                                                           std::size_t dim, float* dots, float* sq) {
  for (std::size_t r = 0; r < count; ++r) dot_sq_row_avx2(q, rows + r * dim, dim, dots + r, sq + r);
}

__attribute__((target("avx2,fma"))) void gather_dot_sq_avx2(const float* q, const float* base,
                                                            const std::uint32_t* slots, std::size_t count,
                                                            std::size_t dim, float* dots, float* sq) {
  for (std::size_t r = 0; r < count; ++r) {
    if (r + 4 < count) __builtin_prefetch(base + std::size_t(slots[r + 4]) * dim);
    dot_sq_row_avx2(q, base + std::size_t(slots[r]) * dim, dim, dots + r, sq + r);
  }
}

__attribute__((target("avx2,fma"))) void gather_l2sq_avx2(const float* q, const float* base,
                                                          const std::uint32_t* slots, std::size_t count,
                                                          std::size_t dim, float* l2) {
  for (std::size_t r = 0; r < count; ++r) {
    if (r + 4 < count) __builtin_prefetch(base + std::size_t(slots[r + 4]) * dim);
    l2[r] = l2sq_row_avx2(q, base + std::size_t(slots[r]) * dim, dim);
  }
}

// ---- AVX-512 ----

__attribute__((target("avx512f"))) inline void dot_sq_row_avx512(const float* q, const float* x, std::size_t dim,
                                                                 float* dot, float* sq) {
  __m512 d0 = _mm512_setzero_ps(), d1 = _mm512_setzero_ps();
  __m512 s0 = _mm512_setzero_ps(), s1 = _mm512_setzero_ps();
  std::size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    __m512 x0 = _mm512_loadu_ps(x + j), x1 = _mm512_loadu_ps(x + j + 16);
    d0 = _mm512_fmadd_ps(_mm512_loadu_ps(q + j), x0, d0);
    d1 = _mm512_fmadd_ps(_mm512_loadu_ps(q + j + 16), x1, d1);
    s0 = _mm512_fmadd_ps(x0, x0, s0);
    s1 = _mm512_fmadd_ps(x1, x1, s1);
  }
  for (; j < dim; j += 16) {
    __mmask16 m = dim - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (dim - j)) - 1);
    __m512 x0 = _mm512_maskz_loadu_ps(m, x + j);
    d0 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, q + j), x0, d0);
    s0 = _mm512_fmadd_ps(x0, x0, s0);
  }
  *dot = _mm512_reduce_add_ps(_mm512_add_ps(d0, d1));
  *sq = _mm512_reduce_add_ps(_mm512_add_ps(s0, s1));
}

__attribute__((target("avx512f"))) inline float l2sq_row_avx512(const float* q, const float* x, std::size_t dim) {
  __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps();
  std::size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    __m512 t0 = _mm512_sub_ps(_mm512_loadu_ps(q + j), _mm512_loadu_ps(x + j));
    __m512 t1 = _mm512_sub_ps(_mm512_loadu_ps(q + j + 16), _mm512_loadu_ps(x + j + 16));
    a0 = _mm512_fmadd_ps(t0, t0, a0);
    a1 = _mm512_fmadd_ps(t1, t1, a1);
  }
  for (; j < dim; j += 16) {
    __mmask16 m = dim - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (dim - j)) - 1);
    __m512 t0 = _mm512_sub_ps(_mm512_maskz_loadu_ps(m, q + j), _mm512_maskz_loadu_ps(m, x + j));
    a0 = _mm512_fmadd_ps(t0, t0, a0);
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(a0, a1));
}

__attribute__((target("avx512f"))) float pair_dot_avx512(const float* q, const float* x, std::size_t dim) {
  __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps();
  std::size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    a0 = _mm512_fmadd_ps(_mm512_loadu_ps(q + j), _mm512_loadu_ps(x + j), a0);
    a1 = _mm512_fmadd_ps(_mm512_loadu_ps(q + j + 16), _mm512_loadu_ps(x + j + 16), a1);
  }
  for (; j < dim; j += 16) {
    __mmask16 m = dim - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (dim - j)) - 1);
    a0 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, q + j), _mm512_maskz_loadu_ps(m, x + j), a0);
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(a0, a1));
}

__attribute__((target("avx512f"))) float pair_l2sq_avx512(const float* q, const float* x, std::size_t dim) {
  return l2sq_row_avx512(q, x, dim);
}

template <float (*Row)(const float*, const float*, std::size_t)>
__attribute__((target("avx512f"))) void each_row_avx512(const float* q, const float* rows, std::size_t count,
                                                        std::size_t dim, float* out) {
  for (std::size_t r = 0; r < count; ++r) out[r] = Row(q, rows + r * dim, dim);
}

// Folds pairs of vectors one level of the 16-lane reduction tree: lanes in
// groups of h alternate between a and b, each lane the sum of itself and
// its partner h lanes away.
template <int H>
__attribute__((target("avx512f"))) inline __m512 fold_pair(__m512 a, __m512 b) {
  constexpr __mmask16 kMask = H == 8 ? 0xFF00 : H == 4 ? 0xF0F0 : H == 2 ? 0xCCCC : 0xAAAA;
  // Lane i of the partners: lane i ^ H of b where the mask takes b, of a
  // elsewhere (index bit 4 picks b).
  const __m512i partner = _mm512_set_epi32(
      ((kMask >> 15) & 1) << 4 | (15 ^ H), ((kMask >> 14) & 1) << 4 | (14 ^ H), ((kMask >> 13) & 1) << 4 | (13 ^ H),
      ((kMask >> 12) & 1) << 4 | (12 ^ H), ((kMask >> 11) & 1) << 4 | (11 ^ H), ((kMask >> 10) & 1) << 4 | (10 ^ H),
      ((kMask >> 9) & 1) << 4 | (9 ^ H), ((kMask >> 8) & 1) << 4 | (8 ^ H), ((kMask >> 7) & 1) << 4 | (7 ^ H),
      ((kMask >> 6) & 1) << 4 | (6 ^ H), ((kMask >> 5) & 1) << 4 | (5 ^ H), ((kMask >> 4) & 1) << 4 | (4 ^ H),
      ((kMask >> 3) & 1) << 4 | (3 ^ H), ((kMask >> 2) & 1) << 4 | (2 ^ H), ((kMask >> 1) & 1) << 4 | (1 ^ H),
      (kMask & 1) << 4 | (0 ^ H));
  __m512 x = _mm512_mask_blend_ps(kMask, a, b);
  return _mm512_add_ps(x, _mm512_permutex2var_ps(a, partner, b));
}

constexpr std::size_t kTreeDotMaxDim = 64;

// Dot products of 16 rows at a time: one accumulator per row, summed
// across lanes together by a tree of blends and shuffles (15 folds for 16
// rows where reducing each row alone takes 4 shuffles and 4 adds, one
// after another). After the four levels, lane i holds accumulator
// bitrev4(i), so accumulator j takes row bitrev4(j) and the lanes come out
// in row order. Short rows (the small collections a call costs most on)
// gain the most; the remaining rows go one at a time.
__attribute__((target("avx512f"))) void block_dot_avx512(const float* q, const float* rows, std::size_t count,
                                                         std::size_t dim, float* out) {
  constexpr int kRowOf[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  std::size_t r = 0;
  for (; r + 16 <= count; r += 16) {
    __m512 acc[16];
    for (int i = 0; i < 16; ++i) acc[i] = _mm512_setzero_ps();
    const float* block = rows + r * dim;
    for (std::size_t j = 0; j < dim; j += 16) {
      __mmask16 m = dim - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (dim - j)) - 1);
      __m512 qj = _mm512_maskz_loadu_ps(m, q + j);
      for (int i = 0; i < 16; ++i)
        acc[i] = _mm512_fmadd_ps(qj, _mm512_maskz_loadu_ps(m, block + std::size_t(kRowOf[i]) * dim + j), acc[i]);
    }
    __m512 l8[8], l4[4], l2[2];
    for (int i = 0; i < 8; ++i) l8[i] = fold_pair<8>(acc[2 * i], acc[2 * i + 1]);
    for (int i = 0; i < 4; ++i) l4[i] = fold_pair<4>(l8[2 * i], l8[2 * i + 1]);
    for (int i = 0; i < 2; ++i) l2[i] = fold_pair<2>(l4[2 * i], l4[2 * i + 1]);
    _mm512_storeu_ps(out + r, fold_pair<1>(l2[0], l2[1]));
  }
  for (; r < count; ++r) out[r] = pair_dot_avx512(q, rows + r * dim, dim);
}

__attribute__((target("avx512f"))) void block_dot_sq_avx512(const float* q, const float* rows, std::size_t count,
                                                            std::size_t dim, float* dots, float* sq) {
  for (std::size_t r = 0; r < count; ++r) dot_sq_row_avx512(q, rows + r * dim, dim, dots + r, sq + r);
}

__attribute__((target("avx512f"))) void gather_dot_sq_avx512(const float* q, const float* base,
                                                             const std::uint32_t* slots, std::size_t count,
                                                             std::size_t dim, float* dots, float* sq) {
  for (std::size_t r = 0; r < count; ++r) {
    if (r + 4 < count) __builtin_prefetch(base + std::size_t(slots[r + 4]) * dim);
    dot_sq_row_avx512(q, base + std::size_t(slots[r]) * dim, dim, dots + r, sq + r);
  }
}

__attribute__((target("avx512f"))) void gather_l2sq_avx512(const float* q, const float* base,
                                                           const std::uint32_t* slots, std::size_t count,
                                                           std::size_t dim, float* l2) {
  for (std::size_t r = 0; r < count; ++r) {
    if (r + 4 < count) __builtin_prefetch(base + std::size_t(slots[r + 4]) * dim);
    l2[r] = l2sq_row_avx512(q, base + std::size_t(slots[r]) * dim, dim);
  }
}

using Isa = SimdLevel;
const Isa kIsa = simd_level();

#endif

}  // namespace

void block_dot_sq(const float* query, const float* rows, std::size_t count, std::size_t dim, float* dots, float* sq) {
#if defined(__x86_64__)
  if (kIsa == Isa::Avx512) return block_dot_sq_avx512(query, rows, count, dim, dots, sq);
  if (kIsa == Isa::Avx2) return block_dot_sq_avx2(query, rows, count, dim, dots, sq);
#endif
  for (std::size_t r = 0; r < count; ++r) dot_sq_row_portable(query, rows + r * dim, dim, dots + r, sq + r);
}

void block_dot(const float* query, const float* rows, std::size_t count, std::size_t dim, float* dots) {
#if defined(__x86_64__)
  if (kIsa == Isa::Avx512) {
    // Past a few chunks per row the reduction is a small share of the work
    // and row-at-a-time streams the rows in order.
    if (dim <= kTreeDotMaxDim) return block_dot_avx512(query, rows, count, dim, dots);
    return each_row_avx512<pair_dot_avx512>(query, rows, count, dim, dots);
  }
  if (kIsa == Isa::Avx2) return each_row_avx2<pair_dot_avx2>(query, rows, count, dim, dots);
#endif
  for (std::size_t r = 0; r < count; ++r) dots[r] = pair_dot_portable(query, rows + r * dim, dim);
}

void gather_dot_sq(const float* query, const float* base, const std::uint32_t* slots, std::size_t count,
                   std::size_t dim, float* dots, float* sq) {
#if defined(__x86_64__)
  if (kIsa == Isa::Avx512) return gather_dot_sq_avx512(query, base, slots, count, dim, dots, sq);
  if (kIsa == Isa::Avx2) return gather_dot_sq_avx2(query, base, slots, count, dim, dots, sq);
#endif
  for (std::size_t r = 0; r < count; ++r)
    dot_sq_row_portable(query, base + std::size_t(slots[r]) * dim, dim, dots + r, sq + r);
}

void block_l2sq(const float* query, const float* rows, std::size_t count, std::size_t dim, float* l2) {
#if defined(__x86_64__)
  if (kIsa == Isa::Avx512) return each_row_avx512<l2sq_row_avx512>(query, rows, count, dim, l2);
  if (kIsa == Isa::Avx2) return each_row_avx2<l2sq_row_avx2>(query, rows, count, dim, l2);
#endif
  for (std::size_t r = 0; r < count; ++r) l2[r] = l2sq_row_portable(query, rows + r * dim, dim);
}

void gather_l2sq(const float* query, const float* base, const std::uint32_t* slots, std::size_t count,
                 std::size_t dim, float* l2) {
#if defined(__x86_64__)
  if (kIsa == Isa::Avx512) return gather_l2sq_avx512(query, base, slots, count, dim, l2);
  if (kIsa == Isa::Avx2) return gather_l2sq_avx2(query, base, slots, count, dim, l2);
#endif
  for (std::size_t r = 0; r < count; ++r) l2[r] = l2sq_row_portable(query, base + std::size_t(slots[r]) * dim, dim);
}

PairKernel pair_dot_kernel() {
#if defined(__x86_64__)
  if (kIsa == Isa::Avx512) return &pair_dot_avx512;
  if (kIsa == Isa::Avx2) return &pair_dot_avx2;
#endif
  return &pair_dot_portable;
}

PairKernel pair_l2sq_kernel() {
#if defined(__x86_64__)
  if (kIsa == Isa::Avx512) return &pair_l2sq_avx512;
  if (kIsa == Isa::Avx2) return &pair_l2sq_avx2;
#endif
  return &l2sq_row_portable;
}

float sum_squares_any_order(const float* v, std::size_t n) {
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) s += v[i] * v[i];
  return s;
}

double sum_error_factor(std::size_t n) {
  const double u = 0x1p-24;
  double nu = static_cast<double>(n + 2) * u;
  double gamma = nu / (1.0 - nu);
  return (2.0 * gamma + u) * 1.0625;
}

}  // namespace hovra
