#include "velkorenc/core/platform/cpu.hpp"

#if defined(__x86_64__)
#include <cpuid.h>

#include <cstring>
#endif

namespace velkorenc::core {
namespace {

#if defined(__x86_64__)

bool pext_is_fast() noexcept {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return false;
  char vendor[12];
  std::memcpy(vendor, &ebx, 4);
  std::memcpy(vendor + 4, &edx, 4);
  std::memcpy(vendor + 8, &ecx, 4);
  if (std::memcmp(vendor, "AuthenticAMD", 12) != 0 &&
      std::memcmp(vendor, "HygonGenuine", 12) != 0) {
    return true;
  }
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  unsigned family = (eax >> 8) & 0xF;
  if (family == 0xF) family += (eax >> 20) & 0xFF;
  return family >= 0x19;
}

CpuFeatures detect() noexcept {
  CpuFeatures found;
  found.avx2 = __builtin_cpu_supports("avx2");
  found.bmi2 = __builtin_cpu_supports("bmi2");
  found.avx512_vbmi = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vbmi");
  found.clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  found.fast_pext = found.bmi2 && pext_is_fast();
  return found;
}

#else  // no vector kernels off x86-64

CpuFeatures detect() noexcept { return {}; }

#endif

}  // namespace

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace velkorenc::core
