#include "vexa_codegen/estimate/pack.hpp"

#include "vexa_codegen/kernel/cost.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::estimate::cycles {

using vexa_codegen::mid::layout::AmpOrder;
using support::ceil_div;
using support::sat_add;
using support::sat_mul;

std::uint64_t pack_geometry_cycles(const primitive::Geometry& geometry, std::uint64_t elements) noexcept {
  const auto& order = geometry.layout().order;
  if (order.is_row_major()) {
    return 0;
  }
  if (const auto* block_major = order.as_block_major()) {
    // Coefficient matrices in blocks of 16 columns by a multiple of 16 rows
    // that cover the tile's rows have their own packing kernel. A tile without
    // columns (or a zero block) has no blocks to hand it and is priced per
    // element like the other block-major orders.
    const std::uint64_t row_block = block_major->row_block();
    const std::uint64_t width = geometry.width();
    const auto rows = geometry.trailing_dimension(1);
    if (!block_major->is_transposed() && block_major->column_block() == 16 && row_block % 16 == 0 && rows &&
        row_block >= *rows && width % 4 == 0 && row_block != 0 && width != 0) {
      const std::uint64_t block_elements = row_block * ceil_div(width, 16);
      const std::uint64_t groups = ceil_div(elements, 16 * block_elements);
      return kernel::cost::f16_coefficient_pack_cycles(groups, row_block, width);
    }
    return sat_add(sat_mul(elements, 10), 11);
  }
  const AmpOrder amp = *order.as_amp();
  const std::uint64_t per_element = amp == AmpOrder::Left ? 1 : amp == AmpOrder::TransposedRight ? 3 : 10;
  return sat_add(sat_mul(elements, per_element), 11);
}

}  // namespace vexa_codegen::estimate::cycles
