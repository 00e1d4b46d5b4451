// The x86 vector intrinsics for the hand-written kernels (scan_kernels.cpp,
// sq8_distance.cpp), with the one warning setting they need. Include it
// after the file's own header; on other processors it is empty.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
// GCC 12's _mm512_reduce_add_ps starts from an undefined register, which its
// own uninitialized-use warning then reports at every caller (a false alarm).
// The setting holds for the rest of the including file, as the kernels need.
#if !defined(__clang__)  // (clang has neither the false alarm nor the second flag)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif
