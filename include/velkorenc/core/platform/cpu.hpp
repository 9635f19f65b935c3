// What the CPU offers the vector kernels, found once per process: the CPU
// does not change while the process runs.  Each kernel family's can_run and
// its choice of kernel read it.
#pragma once

#include <cstddef>

namespace velkorenc::core {

struct CpuFeatures {
  // Each also true only when the operating system saves the vector registers.
  bool avx2 = false;
  bool bmi2 = false;
  bool avx512_vbmi = false;  // with AVX-512 F and BW
  bool clmul = false;        // PCLMULQDQ with SSE4.1
  // False where PEXT runs in microcode (AMD and Hygon before family 19h).
  bool fast_pext = false;
};

const CpuFeatures& cpu_features() noexcept;

// The kernel a family runs: the last of its `kernels`, listed from the
// scalar reference up to the fastest, that this CPU can run (the family's
// can_run), else the reference.
template <class Kernel, std::size_t N>
Kernel fastest_runnable(const Kernel (&kernels)[N]) noexcept {
  for (std::size_t i = N; i-- > 1;) {
    if (can_run(kernels[i])) return kernels[i];
  }
  return kernels[0];
}

}  // namespace velkorenc::core
