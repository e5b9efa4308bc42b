// Unsigned 64-bit arithmetic for cycle and byte figures.
//
// Cycle and byte figures never wrap: sums and products saturate at the largest
// 64-bit value, which also stands for "no figure" (an unresolvable layout has
// that many bytes, a kernel step without a formula costs that many cycles).
#pragma once

#include <cstdint>
#include <limits>

#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::support {

/// The largest unsigned 64-bit value; the saturation point and the absent figure.
inline constexpr std::uint64_t saturated = std::numeric_limits<std::uint64_t>::max();

/// a + b, or `saturated` when the sum does not fit.
[[nodiscard]] constexpr std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? saturated : sum;
}

/// a x b, or `saturated` when the product does not fit.
[[nodiscard]] constexpr std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? saturated : product;
}

/// The quotient x / d rounded up (0 for x = 0). A zero divisor is a caller bug.
[[nodiscard]] constexpr std::uint64_t ceil_div(std::uint64_t x, std::uint64_t d) {
  if (d == 0) {
    invariant_failed("attempt to divide by zero");
  }
  return x / d + (x % d != 0 ? 1 : 0);
}

/// Rounds x up to the next multiple of m (m > 0), saturating.
[[nodiscard]] constexpr std::uint64_t round_up(std::uint64_t x, std::uint64_t m) {
  return sat_mul(ceil_div(x, m), m);
}

}  // namespace vexa_codegen::support
