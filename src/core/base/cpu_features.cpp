// Processor feature detection for the kernels' dispatch (see cpu_features.h).
#include "core/base/cpu_features.h"

#include <cstdlib>
#include <cstring>

namespace hovra {
namespace {

SimdLevel detect() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) return SimdLevel::Avx512;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return SimdLevel::Avx2;
#endif
  return SimdLevel::Portable;
}

// The level HOVRA_SIMD asks for; an unknown or missing value asks for none.
SimdLevel cap_from_environment() {
  const char* asked = std::getenv("HOVRA_SIMD");
  if (asked == nullptr) return SimdLevel::Avx512;
  if (std::strcmp(asked, "portable") == 0) return SimdLevel::Portable;
  if (std::strcmp(asked, "avx2") == 0) return SimdLevel::Avx2;
  return SimdLevel::Avx512;
}

}  // namespace

SimdLevel simd_level() {
  static const SimdLevel level = [] {
    SimdLevel found = detect(), cap = cap_from_environment();
    return static_cast<int>(cap) < static_cast<int>(found) ? cap : found;
  }();
  return level;
}

}  // namespace hovra
