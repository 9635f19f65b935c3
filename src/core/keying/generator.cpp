#include "velkorenc/core/keying/generator.hpp"

#include "velkorenc/core/platform/cpu.hpp"

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

constexpr std::uint32_t kFirstMultiplier = 1664525u;
constexpr std::uint32_t kSecondMultiplier = 1566083941u;

// init_by_array with the one key word `seed`.  Its two loops walk the state
// from index 1, and each time they run off the end copy the last word to
// index 0 and go on at 1; with a one-word key the first loop makes 624 steps
// and the second 623, so both wrap exactly once, just before their last step.
void seed_baseline(std::uint32_t* mt, std::uint32_t seed) noexcept {
  std::uint32_t x = kInitialState[0];
  for (std::size_t i = 1; i < kN; ++i) {
    x = (kInitialState[i] ^ ((x ^ (x >> 30)) * kFirstMultiplier)) + seed;
    mt[i] = x;
  }
  mt[0] = x;
  x = (mt[1] ^ ((x ^ (x >> 30)) * kFirstMultiplier)) + seed;
  mt[1] = x;
  for (std::size_t i = 2; i < kN; ++i) {
    x = (mt[i] ^ ((x ^ (x >> 30)) * kSecondMultiplier)) - static_cast<std::uint32_t>(i);
    mt[i] = x;
  }
  mt[0] = x;
  mt[1] = (mt[1] ^ ((x ^ (x >> 30)) * kSecondMultiplier)) - 1u;
  mt[0] = 0x80000000u;  // assures a non-zero state
}

#if defined(__x86_64__)
// The same seeding, scheduled for the latencies of the x86-64 cores: each
// step x' = (k ^ ((x ^ (x >> 30)) * M)) + add waits for the one before, so
// its chain of latencies bounds the whole.  Here the product is found as
//   x * M + (bit 31 of x ? e1 : 0) + (bit 30 of x ? e0 : 0),
// with e0 = -M or M and e1 = -2M or 2M as bits 0 and 1 of x are set, and the
// multiply starts as soon as x is known instead of after a shift and an xor:
// about 6 cycles a step where the plain form takes 7.  e0 and e1 are chosen a step
// ahead, from `low` = x & 3 found before x itself: M is 1 mod 4, so the
// product's low two bits are those of x ^ (x >> 30), and the next x & 3 is
// ((k ^ low ^ (x >> 30)) + add) & 3.
//
// STEP makes the step at byte offset OFF from index register i, reading k
// from src and writing x' to dst; ADD(r) adds the step's addend to r.  It
// ends with x' in x.
#define VELKORENC_SEED_STEP(OFF, ADD)                     \
  "mov " OFF "(%[src],%[i],4), %[k]\n\t"                  \
  "mov %[minus_m], %[e0]\n\t"                            \
  "test $1, %[low]\n\t"                                  \
  "cmovz %[m], %[e0]\n\t"                                \
  "mov %[minus_2m], %[e1]\n\t"                           \
  "test $2, %[low]\n\t"                                  \
  "cmovz %[two_m], %[e1]\n\t"                            \
  "imul %[mi], %[x], %[p]\n\t"                           \
  "xor %[v0], %[v0]\n\t"                                 \
  "xor %[v1], %[v1]\n\t"                                 \
  "mov %[x], %[t]\n\t" /* CF = bit 31, SF = bit 30 */    \
  "add %[t], %[t]\n\t"                                   \
  "cmovc %[e1], %[v1]\n\t"                               \
  "cmovs %[e0], %[v0]\n\t"                               \
  "add %[v1], %[v0]\n\t"                                 \
  "mov %[x], %[t]\n\t"                                   \
  "shr $30, %[t]\n\t"                                    \
  "xor %[k], %[low]\n\t"                                 \
  "xor %[t], %[low]\n\t"                                 \
  ADD("low")                                             \
  "add %[v0], %[p]\n\t"                                  \
  "xor %[k], %[p]\n\t"                                   \
  ADD("p")                                               \
  "mov %[p], " OFF "(%[dst],%[i],4)\n\t"                  \
  "mov %[p], %[x]\n\t"
#define VELKORENC_ADD_SEED(r) "add %[seed], %[" r "]\n\t"
#define VELKORENC_SUB_INDEX(r) "sub %k[i], %[" r "]\n\t"
#define VELKORENC_SUB_NEXT_INDEX(r) "sub %k[next], %[" r "]\n\t"

template <std::uint32_t M>
struct Choices {
  static constexpr std::uint32_t kValues[4] = {M, 0u - M, 2 * M, 0u - 2 * M};
};

// The operands both loops share: the step's registers, and its multiplier
// with the four values e0 and e1 are chosen from.
#define VELKORENC_SEED_OUTPUTS                                                            \
  [p] "=&r"(p), [v0] "=&r"(v0), [v1] "=&r"(v1), [e0] "=&r"(e0), [e1] "=&r"(e1),         \
      [t] "=&r"(t), [k] "=&r"(k), [low] "+&r"(low), [x] "+&r"(x), [i] "+&r"(i)
#define VELKORENC_SEED_INPUTS(M)                                                          \
  [mi] "i"(M), [m] "m"(Choices<M>::kValues[0]), [minus_m] "m"(Choices<M>::kValues[1]),   \
      [two_m] "m"(Choices<M>::kValues[2]), [minus_2m] "m"(Choices<M>::kValues[3])

// Steps 1 to 622 of the first loop, in pairs; returns the last x.
std::uint32_t first_loop_scheduled(std::uint32_t* mt, std::uint32_t seed) noexcept {
  std::uint32_t x = kInitialState[0], low = x & 3;
  std::uint32_t p, v0, v1, e0, e1, t, k;
  long i = 1;
  asm(".p2align 4\n\t"
      "1:\n\t"
      VELKORENC_SEED_STEP("0", VELKORENC_ADD_SEED)
      VELKORENC_SEED_STEP("4", VELKORENC_ADD_SEED)
      "add $2, %[i]\n\t"
      "cmp $621, %[i]\n\t"
      "jbe 1b\n\t"
      : VELKORENC_SEED_OUTPUTS, "=m"(*reinterpret_cast<std::uint32_t(*)[kN]>(mt))
      : VELKORENC_SEED_INPUTS(kFirstMultiplier), [src] "r"(kInitialState.data()),
        "m"(kInitialState), [dst] "r"(mt), [seed] "r"(seed)
      : "cc");
  return x;
}

// Steps 2 to 623 of the second loop, in pairs, from x; returns the last x.
std::uint32_t second_loop_scheduled(std::uint32_t* mt, std::uint32_t x) noexcept {
  std::uint32_t low = x & 3;
  std::uint32_t p, v0, v1, e0, e1, t, k;
  long i = 2, next;
  asm(".p2align 4\n\t"
      "1:\n\t"
      "lea 1(%[i]), %[next]\n\t"
      VELKORENC_SEED_STEP("0", VELKORENC_SUB_INDEX)
      VELKORENC_SEED_STEP("4", VELKORENC_SUB_NEXT_INDEX)
      "add $2, %[i]\n\t"
      "cmp $622, %[i]\n\t"
      "jbe 1b\n\t"
      : VELKORENC_SEED_OUTPUTS, [next] "=&r"(next),
        "+m"(*reinterpret_cast<std::uint32_t(*)[kN]>(mt))
      : VELKORENC_SEED_INPUTS(kSecondMultiplier), [src] "r"(mt), [dst] "r"(mt)
      : "cc");
  return x;
}

#undef VELKORENC_SEED_STEP
#undef VELKORENC_SEED_OUTPUTS
#undef VELKORENC_SEED_INPUTS
#undef VELKORENC_ADD_SEED
#undef VELKORENC_SUB_INDEX
#undef VELKORENC_SUB_NEXT_INDEX

void seed_scheduled(std::uint32_t* mt, std::uint32_t seed) noexcept {
  std::uint32_t x = first_loop_scheduled(mt, seed);
  x = (kInitialState[kN - 1] ^ ((x ^ (x >> 30)) * kFirstMultiplier)) + seed;
  mt[kN - 1] = x;
  mt[0] = x;
  x = (mt[1] ^ ((x ^ (x >> 30)) * kFirstMultiplier)) + seed;
  mt[1] = x;
  x = second_loop_scheduled(mt, x);
  mt[0] = x;
  mt[1] = (mt[1] ^ ((x ^ (x >> 30)) * kSecondMultiplier)) - 1u;
  mt[0] = 0x80000000u;
}
#endif

}  // namespace

Mt19937::Mt19937(std::uint32_t seed, GeneratorKernel kernel) noexcept
    : kernel_(can_run(kernel) ? kernel : GeneratorKernel::kBaseline) {
#if defined(__x86_64__)
  if (kernel_ == GeneratorKernel::kAvx2) {
    seed_scheduled(state_.data(), seed);
    return;
  }
#endif
  seed_baseline(state_.data(), seed);
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
  static const GeneratorKernel kernel = fastest_runnable(kGeneratorKernels);
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

// The swap partners are drawn one bit width at a time: randint(0, i) draws
// k = (i + 1).bit_length() bits until the value is at most i.  Within a
// width the draw is a plain run over the generator's outputs: each output is
// stored as the partner of the current position, and the position moves on
// only when it is accepted, so the last value stored for a position is its
// partner.  Every position from 1 is stored at least once.
AlphabetPositions alphabet_positions(std::uint32_t seed) noexcept {
  Mt19937 rng(seed);
  std::array<std::uint8_t, 256> partner;
  std::uint32_t i = 255;
  std::size_t count;
  const std::uint32_t* out = rng.pending(count);
  std::size_t p = 0;
  for (unsigned k = 9; k >= 2; --k) {
    const std::uint32_t lowest = (1u << (k - 1)) - 1;  // the last i drawn with k bits
    const unsigned shift = 32 - k;
    for (;;) {
      // Two draws at a time while both are sure to stay in this width.
      while (i > lowest && count - p >= 2) {
        std::uint32_t r = out[p] >> shift;
        partner[i] = static_cast<std::uint8_t>(r);  // a rejected value is overwritten
        i -= r <= i;
        r = out[p + 1] >> shift;
        partner[i] = static_cast<std::uint8_t>(r);
        i -= r <= i;
        p += 2;
      }
      if (i < lowest) break;
      if (p == count) {
        rng.take(p);
        out = rng.pending(count);
        p = 0;
      }
      const std::uint32_t r = out[p++] >> shift;
      partner[i] = static_cast<std::uint8_t>(r);
      i -= r <= i;
    }
  }
  // The same swaps taken from position 1 up give the inverse of the order,
  // and each then reads one entry instead of two: position i has not been
  // touched before its own swap, as every partner is at most its position.
  AlphabetPositions position{};
  for (std::size_t at = 1; at < position.size(); ++at) {
    const std::uint8_t other = partner[at];
    position[at] = position[other];
    position[other] = static_cast<std::uint8_t>(at);
  }
  return position;
}

AlphabetOrder order_of(const AlphabetPositions& position) noexcept {
  AlphabetOrder order;
  for (std::size_t u = 0; u < position.size(); ++u) order[position[u]] = static_cast<std::uint8_t>(u);
  return order;
}

}  // namespace velkorenc::core
