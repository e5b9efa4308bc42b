#include "vexa_codegen/kernel/cost.hpp"

#include <algorithm>

#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::kernel::cost {

using support::ceil_div;
using support::sat_add;
using support::sat_mul;

namespace {

// One worker pass of the unaligned GELU loop over x elements: 48-element
// vector blocks at 528 cycles, a scalar tail at 120 per element, and a
// slightly dearer exit when a partial block remains.
std::uint64_t gelu_pass_cycles(std::uint64_t x) noexcept {
  const std::uint64_t blocks = x >= 8 ? (x - 8) / 48 + 1 : 0;
  const std::uint64_t covered = sat_mul(48, blocks);
  const std::uint64_t tail = x >= covered ? x - covered : 0;
  const std::uint64_t body = sat_add(sat_mul(528, blocks), sat_mul(120, tail));
  return sat_add(body, covered < x ? 342 : 330);
}

}  // namespace

std::uint64_t f16_gelu_cycles(std::uint64_t n) noexcept {
  if (n == 0) {
    return 0;
  }
  if (n % 16 == 0) {
    return sat_add(sat_mul(ceil_div(n, 96), 510), 330);
  }
  // The unaligned kernel hands half of the elements (rounded up) to the slowest
  // worker and staggers the others by 8 elements; the pass is not monotonic in
  // its length, so every stagger is evaluated.
  const std::uint64_t half = n - n / 2;
  std::uint64_t largest = 0;
  for (std::uint64_t k = 0; k < 6; ++k) {
    if (half <= 8 * k) {
      break;
    }
    largest = std::max(largest, gelu_pass_cycles(half - 8 * k));
  }
  return largest;
}

std::uint64_t f16_softmax_cycles(std::uint64_t rows, std::uint64_t length, std::uint64_t block) noexcept {
  if (rows == 0) {
    return 0;
  }
  const std::uint64_t q = length / 16;
  const std::uint64_t vector_cycles = sat_mul(47, q);
  std::uint64_t per_row = 0;
  std::uint64_t fixed = 0;
  if (length == block) {
    per_row = sat_add(vector_cycles, 38);
    fixed = 216;
  } else {
    // A row shorter than its block pays for the scalar tail (pairs, then an odd
    // element) and for skipping the unused vectors of the block.
    const std::uint64_t r = (length / 2) % 8;
    const std::uint64_t w = r + length % 2;
    const std::uint64_t cq = block / 16;
    std::uint64_t t = sat_add(vector_cycles, 31);
    t = sat_add(t, q == 0 ? 5 : 11);
    t = sat_add(t, 21);
    t = sat_add(t, q == 0 ? 2 : 4);
    t = sat_add(t, r != 0 ? 2 : 0);
    t = sat_add(t, 12 * r + (length % 2 != 0 ? 12 : 0));
    t = sat_add(t, 16 + (w != 8 ? 1 : 0) - 2 * w);
    t = sat_add(t, q + 1 < cq ? 1 : 0);
    t = sat_add(t, sat_mul(10, cq > q + 1 ? cq - q - 1 : 0));
    per_row = t;
    fixed = 234;
  }
  const std::uint64_t base = sat_add(sat_mul(sat_mul(6, ceil_div(rows, 6)), per_row), fixed);
  if (length < 128) {
    return base;
  }
  // Long rows may instead run two rows per worker through the blocked kernel.
  const std::uint64_t per_pair = sat_add(sat_mul(47, ceil_div(block, 48)), 128);
  const std::uint64_t blocked = sat_add(sat_add(sat_mul(sat_mul(6, rows - rows / 2), per_pair), 408),
                                        sat_mul(126, ceil_div(rows, 6)));
  return std::min(base, blocked);
}

std::uint64_t f16_layernorm_cycles(std::uint64_t rows, std::uint64_t width, bool with_add) noexcept {
  const std::uint64_t c = ceil_div(width, 12);
  const std::uint64_t e = ceil_div(width, 24);
  const std::uint64_t g = ceil_div(width, 48);
  const bool vector = width % 8 == 0 && width >= 96;
  std::uint64_t f = 0;
  std::uint64_t k = 0;
  std::uint64_t h = 0;
  if (with_add) {
    f = vector ? sat_add(sat_mul(36, g), sat_mul(48, e)) : sat_mul(72, c);
    k = vector ? 1386 : 1290;
    h = 72;
  } else {
    f = vector ? sat_add(sat_mul(18, g), sat_mul(36, e)) : sat_mul(48, c);
    k = vector ? 1329 : 1200;
    h = 60;
  }
  const std::uint64_t per_row = sat_add(sat_add(f, sat_mul(h, c)), k);
  return sat_add(sat_mul(rows, per_row), 132);
}

std::uint64_t f16_packed_gemm_cycles(std::uint64_t rows, std::uint64_t inner, std::uint64_t columns,
                                     bool interleaved) noexcept {
  // Rows are dealt to six workers, the first rows % 6 workers taking one more.
  // A worker pays per row and per 16-row group it touches; its first row's
  // position inside a group decides how many groups that is.
  const std::uint64_t f = rows / 6;
  const std::uint64_t g = rows % 6;
  std::uint64_t slowest = 0;
  for (std::uint64_t k = 0; k < 6; ++k) {
    const std::uint64_t m = f + (g > k ? 1 : 0);
    if (m == 0) {
      continue;
    }
    const std::uint64_t start = k * f + std::min(g, k);
    const std::uint64_t groups = (m + start % 16 + 15) / 16;
    slowest = std::max(slowest, sat_add(sat_mul(24, m), sat_mul(184, groups)));
  }
  const std::uint64_t per_block = sat_add(interleaved ? 170 : 202, slowest);
  const std::uint64_t blocks = sat_mul(ceil_div(inner, 16), ceil_div(columns, 16));
  return sat_add(sat_mul(blocks, per_block), 342);
}

std::uint64_t fp8_elementwise_cycles(bool gelu, std::uint64_t rows, std::uint64_t width, bool amp_left) noexcept {
  // Plain arithmetic: these figures are defined to wrap rather than saturate.
  if (gelu) {
    return (ceil_div(width, 192) * 1098 + 372) * rows + 132;
  }
  const std::uint64_t per_vector = (rows > 1 && amp_left) ? 162 : 6;
  return f16_layernorm_cycles(rows, width, false) + (per_vector * ceil_div(width, 24) + 270) * rows;
}

std::uint64_t f16_coefficient_pack_cycles(std::uint64_t groups, std::uint64_t row_block,
                                          std::uint64_t width) noexcept {
  const std::uint64_t per = width == 16 ? 60 : sat_add(sat_mul(140, ceil_div(width, 16)), 12);
  const std::uint64_t units = sat_mul(sat_mul(groups, ceil_div(row_block, 12)), 6);
  return sat_add(sat_mul(units, per), 300);
}

}  // namespace vexa_codegen::kernel::cost
