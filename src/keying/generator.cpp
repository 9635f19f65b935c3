#include "velkorenc/core/generator.hpp"

#include "velkorenc/core/cpu.hpp"

#include <bit>

namespace velkorenc::core {
namespace {

constexpr std::size_t kN = Mt19937::kStateSize;
constexpr std::size_t kM = 397;
constexpr std::uint32_t kMatrixA = 0x9908B0DFu;
constexpr std::uint32_t kUpperMask = 0x80000000u;
constexpr std::uint32_t kLowerMask = 0x7FFFFFFFu;

// init_genrand(19650218), where init_by_array starts from for every seed.
constexpr std::array<std::uint32_t, kN> initial_state() noexcept {
  std::array<std::uint32_t, kN> mt{};
  mt[0] = 19650218u;
  for (std::size_t i = 1; i < kN; ++i) {
    mt[i] = 1812433253u * (mt[i - 1] ^ (mt[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
  }
  return mt;
}

constexpr std::array<std::uint32_t, kN> kInitialState = initial_state();

constexpr std::uint32_t temper(std::uint32_t y) noexcept {
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  return y ^ (y >> 18);
}

}  // namespace

// init_by_array with the one key word `seed`.  Its two loops walk the state
// from index 1, and each time they run off the end copy the last word to
// index 0 and go on at 1; with a one-word key the first loop makes 624 steps
// and the second 623, so both wrap exactly once, just before their last step.
Mt19937::Mt19937(std::uint32_t seed, GeneratorKernel kernel) noexcept
    : kernel_(can_run(kernel) ? kernel : GeneratorKernel::kBaseline) {
  std::uint32_t* mt = state_.data();
  std::uint32_t x = kInitialState[0];
  for (std::size_t i = 1; i < kN; ++i) {
    x = (kInitialState[i] ^ ((x ^ (x >> 30)) * 1664525u)) + seed;
    mt[i] = x;
  }
  mt[0] = x;
  x = (mt[1] ^ ((x ^ (x >> 30)) * 1664525u)) + seed;
  mt[1] = x;
  for (std::size_t i = 2; i < kN; ++i) {
    x = (mt[i] ^ ((x ^ (x >> 30)) * 1566083941u)) - static_cast<std::uint32_t>(i);
    mt[i] = x;
  }
  mt[0] = x;
  mt[1] = (mt[1] ^ ((x ^ (x >> 30)) * 1566083941u)) - 1u;
  mt[0] = 0x80000000u;  // assures a non-zero state
}

namespace {

// Word i of the next generation needs words i and i + 1 of this one and word
// i + 397 (mod 624), which for i >= 227 already belongs to the next
// generation.  Regenerating in index order gives exactly the batch result;
// within one block no word depends on another word of the same block, so
// the loops vectorise.  Returns the block's end.
__attribute__((always_inline)) inline std::size_t regenerate(std::uint32_t* mt,
                                                             std::uint32_t* outputs,
                                                             std::size_t begin) noexcept {
  constexpr std::size_t kFirstEnd = kN - kM;  // 227
  constexpr std::size_t kSecondEnd = 2 * kFirstEnd;
  const auto twisted = [](std::uint32_t word, std::uint32_t after, std::uint32_t far) {
    const std::uint32_t y = (word & kUpperMask) | (after & kLowerMask);
    return far ^ (y >> 1) ^ ((0u - (y & 1u)) & kMatrixA);
  };
  std::size_t end;
  if (begin < kFirstEnd) {
    end = kFirstEnd;
    for (std::size_t i = begin; i < end; ++i) mt[i] = twisted(mt[i], mt[i + 1], mt[i + kM]);
  } else if (begin < kSecondEnd) {
    end = kSecondEnd;
    for (std::size_t i = begin; i < end; ++i) mt[i] = twisted(mt[i], mt[i + 1], mt[i - kFirstEnd]);
  } else {
    end = kN;
    for (std::size_t i = begin; i < kN - 1; ++i) {
      mt[i] = twisted(mt[i], mt[i + 1], mt[i - kFirstEnd]);
    }
    mt[kN - 1] = twisted(mt[kN - 1], mt[0], mt[kM - 1]);
  }
  for (std::size_t i = begin; i < end; ++i) outputs[i - begin] = temper(mt[i]);
  return end;
}

std::size_t regenerate_baseline(std::uint32_t* mt, std::uint32_t* outputs,
                                std::size_t begin) noexcept {
  return regenerate(mt, outputs, begin);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) std::size_t regenerate_avx2(std::uint32_t* mt,
                                                            std::uint32_t* outputs,
                                                            std::size_t begin) noexcept {
  return regenerate(mt, outputs, begin);
}
#endif

}  // namespace

const char* kernel_name(GeneratorKernel kernel) noexcept {
  switch (kernel) {
    case GeneratorKernel::kBaseline: return "baseline";
    case GeneratorKernel::kAvx2: return "avx2";
  }
  return "unknown";
}

bool can_run(GeneratorKernel kernel) noexcept {
  return kernel == GeneratorKernel::kBaseline || cpu_features().avx2;
}

// The one place where the kernel is chosen, once per process.
GeneratorKernel chosen_generator_kernel() noexcept {
  static const GeneratorKernel kernel = can_run(GeneratorKernel::kAvx2)
                                            ? GeneratorKernel::kAvx2
                                            : GeneratorKernel::kBaseline;
  return kernel;
}

void Mt19937::refill() noexcept {
  const std::size_t begin = next_word_;
#if defined(__x86_64__)
  const std::size_t end = kernel_ == GeneratorKernel::kAvx2
                              ? regenerate_avx2(state_.data(), outputs_.data(), begin)
                              : regenerate_baseline(state_.data(), outputs_.data(), begin);
#else
  const std::size_t end = regenerate_baseline(state_.data(), outputs_.data(), begin);
#endif
  next_word_ = end == kN ? 0 : end;
  ready_ = end - begin;
  taken_ = 0;
}

std::uint32_t Mt19937::below(std::uint32_t n) noexcept {
  const unsigned k = static_cast<unsigned>(std::bit_width(n));
  std::uint32_t r = bits(k);
  while (r >= n) r = bits(k);
  return r;
}

// The swap partners are drawn one bit width at a time.  Within a width the
// draw is a plain run over the generator's outputs: each output is stored as
// the partner of the current position, and the position moves on only when
// it is accepted, so the last value stored for a position is its partner.
AlphabetOrder alphabet_order(std::uint32_t seed) noexcept {
  Mt19937 rng(seed);
  std::array<std::uint8_t, 256> partner{};
  std::uint32_t i = 255;
  while (i >= 1) {
    const unsigned k = static_cast<unsigned>(std::bit_width(i + 1));
    const std::uint32_t lowest = (1u << (k - 1)) - 1;  // the last i drawn with k bits, >= 1
    const unsigned shift = 32 - k;
    while (i >= lowest) {
      std::size_t count;
      const std::uint32_t* out = rng.pending(count);
      std::size_t p = 0;
      for (; p < count && i >= lowest; ++p) {
        const std::uint32_t r = out[p] >> shift;
        partner[i] = static_cast<std::uint8_t>(r);  // a rejected value is overwritten
        i -= r <= i;
      }
      rng.take(p);
    }
  }
  AlphabetOrder order;
  for (std::size_t v = 0; v < order.size(); ++v) order[v] = static_cast<std::uint8_t>(v);
  for (std::size_t at = 255; at >= 1; --at) {
    const std::uint8_t moved = order[partner[at]];
    order[partner[at]] = order[at];
    order[at] = moved;
  }
  return order;
}

}  // namespace velkorenc::core
