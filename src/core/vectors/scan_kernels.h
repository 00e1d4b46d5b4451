// Block kernels of the exhaustive scan (one call scores a whole block of
// rows against one query) and the pair kernels the graph walks order by.
// Their sums are rounded differently from the per-pair kernels of
// distance.h, so they only preselect candidates; the error bounds below say
// by how much they may differ, and the callers re-score the survivors with
// the per-pair kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hovra {

// For each of count rows (row r at rows + r * dim, or at base + slots[r] *
// dim for the gathering forms): dots[r] = query . row and sq[r] = row . row,
// both accumulated in single precision.
void block_dot_sq(const float* query, const float* rows, std::size_t count, std::size_t dim, float* dots, float* sq);
// dots[r] = query . row alone, for scans that know a bound on every row's
// norm already.
void block_dot(const float* query, const float* rows, std::size_t count, std::size_t dim, float* dots);
void gather_dot_sq(const float* query, const float* base, const std::uint32_t* slots, std::size_t count,
                   std::size_t dim, float* dots, float* sq);
// l2[r] = sum over j of (query_j - row_j)^2, accumulated in single precision;
// the block and the gathering forms score a row alike.
void block_l2sq(const float* query, const float* rows, std::size_t count, std::size_t dim, float* l2);
void gather_l2sq(const float* query, const float* base, const std::uint32_t* slots, std::size_t count,
                 std::size_t dim, float* l2);

// One pair at a time, for the graph walks: the dot product and the squared
// L2 distance of two rows of dim floats, accumulated in single precision in
// any order. The functions are picked once for the processor.
using PairKernel = float (*)(const float* a, const float* b, std::size_t dim);
PairKernel pair_dot_kernel();
PairKernel pair_l2sq_kernel();

// Sum of squares of n floats, accumulated in single precision in any order.
float sum_squares_any_order(const float* v, std::size_t n);

// A bound on |s1 - s2| / sum_j |a_j b_j| for two single-precision sums s1
// and s2 of the n products a_j * b_j, each accumulated in any order, with or
// without fused multiply-adds, partly or wholly in double precision, the
// second narrowed from double to single precision at the end: both lie
// within gamma_n = n u / (1 - n u) of the exact sum (u = 2^-24), and the
// narrowing adds u. Also bounds the relative error of a computed sum of
// squares. Valid while n u stays well below 1 (callers cap n).
double sum_error_factor(std::size_t n);
inline constexpr std::size_t kMaxBoundedDim = std::size_t(1) << 20;

}  // namespace hovra
