// The type of the partial products of a distributed matrix product.
#include <algorithm>
#include <cstdint>

#include "vexa_codegen/mid/operators.hpp"

namespace vexa_codegen::mid::operators {
namespace {

using layout::AmpOrder;
using layout::AxisTiling;

// The first tiling of `layout` that cuts axis `index` of a tensor of rank
// `rank`, or null (const or not, as `layout` is).
template <class SomeLayout>
auto* tiling_of_axis(SomeLayout& layout, std::size_t rank, std::size_t index) {
  auto& axes = layout.tiling.axes;
  const auto found =
      std::ranges::find_if(axes, [&](const AxisTiling& tiling) { return tiling.axis.resolve(rank) == index; });
  return found == axes.end() ? nullptr : &*found;
}

// The AMP grid on which the partial products of a row x column distribution
// live, in the orientation of the product and the result's AMP role.
Layout partial_grid(const OperatorDispatch::Gemm& gemm, const GemmDistribution& distribution, const layout::ElementOrder& order) {
  const std::uint16_t rows = distribution.row_partitions;
  const std::uint16_t columns = distribution.column_partitions;
  const auto tiles = static_cast<std::uint16_t>(std::min<std::uint32_t>(std::uint32_t{rows} * columns, 65535));
  const std::uint32_t block = gemm.output_column_block;
  if (gemm.orientation == GemmOrientation::Normal) {
    return order.is_amp(AmpOrder::Left) ? Layout::amp_left_result_grid(block, tiles, rows, columns, false)
                                        : Layout::amp_output_grid(block, tiles, rows, columns, false);
  }
  // Swapped, the rows of the product are the result's last axis: the row parts
  // cut `Trailing(1)` and the block-padded column parts cut `Trailing(2)`.
  return order.is_amp(AmpOrder::TransposedLeft)
             ? Layout::amp_transposed_left_result_grid(block, tiles, rows, columns, false)
             : Layout::amp_transposed_output_grid(block, tiles, rows, columns, false);
}

}  // namespace

TensorType OperatorDispatch::gemm_partial_tensor(const TensorType& output) const {
  const auto* gemm = get_if<Gemm>();
  if (gemm == nullptr || !gemm->distribution) {
    return output;
  }
  const Layout& output_layout = output.format.layout;
  Layout grid = partial_grid(*gemm, *gemm->distribution, output_layout.order);
  if (output_layout.order.is_block_major() && output_layout.order.has_gemm_output_group()) {
    grid.order = output_layout.order;
  }
  // The block-padded axis follows the result's padding, so that partial and
  // result blocks line up; shard alignment carries over only when both cut
  // the axis into the same number of shards.
  const std::size_t rank = output.shape.rank();
  const std::size_t o = gemm->orientation == GemmOrientation::Normal ? 0 : 1;
  if (rank >= o + 1) {
    const std::size_t index = rank - 1 - o;
    AxisTiling* partial = tiling_of_axis(grid, rank, index);
    const AxisTiling* result = tiling_of_axis(output_layout, rank, index);
    if (partial != nullptr && result != nullptr) {
      partial->panel = result->panel;
      partial->padding_multiple = result->padding_multiple;
      if (partial->parts == result->parts) {
        partial->shard_alignment = result->shard_alignment;
      }
    }
  }
  return TensorType{output.shape, TensorFormat{output.format.precision, std::move(grid)}};
}

}  // namespace vexa_codegen::mid::operators
