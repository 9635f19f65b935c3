// The interpreter's random.Random generator and the keyed shuffle drawn from
// it, without the interpreter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velkorenc::core {

// The ways of seeding and regenerating the generator's state, all giving the
// same words: the baseline, in plain C++; and AVX2, which regenerates eight
// words at a time and seeds with steps scheduled for the x86-64 cores.
enum class GeneratorKernel : std::uint8_t { kBaseline, kAvx2 };
inline constexpr GeneratorKernel kGeneratorKernels[] = {GeneratorKernel::kBaseline,
                                                        GeneratorKernel::kAvx2};
const char* kernel_name(GeneratorKernel kernel) noexcept;
bool can_run(GeneratorKernel kernel) noexcept;
GeneratorKernel chosen_generator_kernel() noexcept;

// The Mersenne Twister MT19937 exactly as CPython's random.Random(seed) sets
// it up for an int seed below 2^32 (init_by_array over one 32-bit word), with
// its getrandbits and the rejection draw of its randint.
class Mt19937 {
 public:
  static constexpr std::size_t kStateSize = 624;

  // A kernel this CPU cannot run leaves the work to the baseline.
  explicit Mt19937(std::uint32_t seed,
                   GeneratorKernel kernel = chosen_generator_kernel()) noexcept;

  // The next 32-bit output.
  std::uint32_t next() noexcept {
    if (taken_ == ready_) refill();
    return outputs_[taken_++];
  }
  // getrandbits(k) for 1 <= k <= 32.
  std::uint32_t bits(unsigned k) noexcept { return next() >> (32 - k); }
  // randint(0, n - 1), that is _randbelow(n): getrandbits(n.bit_length())
  // drawn until the value is below n.  n >= 1.
  std::uint32_t below(std::uint32_t n) noexcept;

  // The outputs not handed out yet of the current block, and marking `count`
  // of them as handed out: for callers that draw many values in a row.
  const std::uint32_t* pending(std::size_t& count) noexcept {
    if (taken_ == ready_) refill();
    count = ready_ - taken_;
    return outputs_.data() + taken_;
  }
  void take(std::size_t count) noexcept { taken_ += count; }

 private:
  void refill() noexcept;

  std::array<std::uint32_t, kStateSize> state_;
  // The state is regenerated one block at a time, in index order, as outputs
  // are asked for: the same words as regenerating it whole, but nothing is
  // spent on words never used.  Block ends fall where a word starts to depend
  // on words of the new generation.
  std::size_t next_word_ = 0;
  std::array<std::uint32_t, kStateSize> outputs_;
  std::size_t ready_ = 0;
  std::size_t taken_ = 0;
  GeneratorKernel kernel_;
};

// The shuffled alphabet of a seed, as the list that the keyed shuffle of 256
// items gives: for i = 255 down to 1, positions i and randint(0, i) swapped.
// Position v of that list holds the unshuffled entry order[v]; unshuffled
// entry u lands at position[u].  Each is the other's inverse.
using AlphabetOrder = std::array<std::uint8_t, 256>;
using AlphabetPositions = std::array<std::uint8_t, 256>;
AlphabetPositions alphabet_positions(std::uint32_t seed) noexcept;
AlphabetOrder order_of(const AlphabetPositions& position) noexcept;

}  // namespace velkorenc::core
