#include "vexa_codegen/estimate/primitive.hpp"

#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::estimate::primitive {

using support::ceil_div;
using support::sat_add;
using support::sat_mul;

std::uint64_t cast_cycles(const mid::layout::Precision& from, const mid::layout::Precision& to,
                          std::uint64_t elements, std::uint64_t group) noexcept {
  if (from.is_f32() && to.is_f16()) {
    return sat_add(sat_mul(48, ceil_div(elements, 12)), 330);
  }
  if (from.is_f16() && to.is_f8f143()) {
    if (group == 0) {
      return sat_add(sat_mul(24, ceil_div(elements, 48)), 330);
    }
    // The kernel converts one group of 32-element vectors per pass and runs six
    // passes side by side when groups are short and plentiful.
    const std::uint64_t passes = ceil_div(elements, sat_mul(32, group));
    if (group > 32 || passes < 6) {
      return sat_add(sat_mul(passes, sat_add(sat_mul(72, ceil_div(group, 6)), 120)), 330);
    }
    return sat_add(sat_mul(ceil_div(passes, 6), 72 * group + 120), 330);
  }
  const std::uint64_t bytes_per_element = from.element_bytes() + to.element_bytes();
  return ceil_div(sat_mul(elements, bytes_per_element), 8) + 11;
}

}  // namespace vexa_codegen::estimate::primitive
