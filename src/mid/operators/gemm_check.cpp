// The matrix-product rules of plan validation.
//
// A product streams one operand (P: operand 0 with `Normal`, operand 1 with
// `Swapped`) through the AMP units against the other (Q) in `inner_chunk`
// steps and writes the result in blocks of `output_column_block` columns. The
// rules below make sure the operand and result orders are ones the units read
// and write, that the streamed axis is cut into whole chunks, and that every
// product block fits the local operand's and the result's shards.
#include <algorithm>
#include <cstdint>

#include "check.hpp"

namespace vexa_codegen::mid::operators::check {
namespace {

using layout::AmpOrder;
using layout::ElementOrder;
using layout::TensorAxis;

constexpr std::uint64_t max_partitions = 65535;

// a x b in 16 bits, saturating at 65535.
std::uint16_t saturating_product(std::uint16_t a, std::uint16_t b) {
  return static_cast<std::uint16_t>(std::min<std::uint64_t>(std::uint64_t{a} * b, max_partitions));
}

bool is_block_major(const ElementOrder& order, bool transposed) {
  const auto* block = order.as_block_major();
  return block != nullptr && block->is_transposed() == transposed;
}

// The operand and result orders the AMP units read and write in each orientation.
bool orders_fit(const MidOperator::Gemm& gemm, GemmOrientation orientation, const ElementOrder& left,
                const ElementOrder& right, const ElementOrder& result) {
  if (gemm.options.transpose_left || gemm.options.transpose_right) {
    return false;
  }
  const bool normal = orientation == GemmOrientation::Normal;
  const bool operands_fit = normal ? left.is_amp(AmpOrder::Left) && is_block_major(right, false)
                                   : is_block_major(left, true) && right.is_amp(AmpOrder::TransposedLeft);
  if (!operands_fit) {
    return false;
  }
  const AmpOrder amp_result = gemm.multiply.is_f32() ? (normal ? AmpOrder::Output : AmpOrder::TransposedOutput)
                                                     : (normal ? AmpOrder::Left : AmpOrder::TransposedLeft);
  // An F16 product may also write its result straight into block-major
  // storage, in the orientation opposite to the weights', when the blocks form
  // whole product output groups.
  const bool grouped_result =
      gemm.multiply.is_f16() && is_block_major(result, normal) && result.has_gemm_output_group();
  return result.is_amp(amp_result) || grouped_result;
}

bool has_tiling(const Layout& layout, std::uint16_t trailing, std::uint16_t parts) {
  return std::ranges::any_of(layout.tiling.axes, [&](const layout::AxisTiling& tiling) {
    return tiling.axis == TensorAxis::trailing(trailing) && tiling.parts == parts;
  });
}

bool cuts_second_last_axis(const Layout& layout) {
  return std::ranges::any_of(layout.tiling.axes, [](const layout::AxisTiling& tiling) {
    return tiling.axis == TensorAxis::trailing(2) && tiling.parts >= 2;
  });
}

// The partition counts of a distributed product and the result grid they imply.
bool distribution_fits(const GemmDistribution& distribution, std::size_t o, const TypeView& output) {
  const std::uint16_t w = saturating_product(distribution.row_partitions, distribution.result_row_partitions);
  const std::uint16_t f = saturating_product(distribution.column_partitions, distribution.result_column_partitions);
  const std::uint16_t h = saturating_product(w, f);
  const std::uint16_t result_blocks =
      saturating_product(distribution.result_row_partitions, distribution.result_column_partitions);
  const bool counts_non_zero = distribution.row_partitions != 0 && distribution.column_partitions != 0 &&
                               distribution.result_row_partitions != 0 &&
                               distribution.result_column_partitions != 0;
  // The reduction is split at least two ways (a single part leaves nothing to
  // reduce) and at least as many ways as each block's result is spread.
  return counts_non_zero && distribution.inner_partitions >= 2 && distribution.inner_partitions >= result_blocks &&
         output.tile_count() == h && has_tiling(output.layout(), static_cast<std::uint16_t>(2 - o), w) &&
         has_tiling(output.layout(), static_cast<std::uint16_t>(o + 1), f);
}

// The resolved axis `rank - 1 - o` of a resolution that is not flattened, or
// null when the tensor has no such axis.
const resolved::ResolvedAxis* product_axis(const resolved::ResolvedLayout& layout, std::size_t o) {
  if (layout.flattened || layout.axes.size() < o + 1) {
    return nullptr;
  }
  return &layout.axes[layout.axes.size() - 1 - o];
}

}  // namespace

PlanCheck validate_gemm(const OperatorPlan& plan, const MidOperator::Gemm& gemm, std::span<const TypeView> operands,
                        const TypeView& output, const resolved::ResolvedLayout* output_resolution) {
  const auto* dispatch = plan.dispatch.get_if<OperatorDispatch::Gemm>();
  if (dispatch == nullptr) {
    return PlanCheck::DispatchMismatch;
  }
  if (operands.size() != 2) {
    return PlanCheck::WrongArity;
  }
  const std::optional<GemmDistribution>& distribution = dispatch->distribution;
  if (!distribution && operands[0].tile_count() != output.tile_count()) {
    return PlanCheck::TileCountMismatch;
  }
  if (!orders_fit(gemm, dispatch->orientation, operands[0].layout().order, operands[1].layout().order,
                  output.layout().order)) {
    return PlanCheck::OrderMismatch;
  }

  const std::uint32_t chunk = dispatch->inner_chunk;
  const std::uint32_t block = dispatch->output_column_block;
  if (chunk == 0 || block == 0 || operands[0].shape->rank() < 2 || output.shape->rank() < 2) {
    return PlanCheck::GeometryMismatch;
  }
  const std::size_t o = dispatch->orientation == GemmOrientation::Normal ? 0 : 1;
  if (distribution && !distribution_fits(*distribution, o, output)) {
    return PlanCheck::GeometryMismatch;
  }

  const TypeView& streamed = operands[o];
  const TypeView& local = operands[1 - o];
  const Resolution streamed_resolution(streamed);
  const Resolution local_resolution(local);
  if (output_resolution == nullptr || streamed_resolution.get() == nullptr || local_resolution.get() == nullptr) {
    return PlanCheck::GeometryMismatch;
  }
  const resolved::ResolvedAxis* streamed_axis = product_axis(*streamed_resolution.get(), o);
  const resolved::ResolvedAxis* output_axis = product_axis(*output_resolution, o);
  const resolved::ResolvedAxis* local_axis = product_axis(*local_resolution.get(), o);
  if (streamed_axis == nullptr || output_axis == nullptr || local_axis == nullptr) {
    return PlanCheck::GeometryMismatch;
  }
  const std::uint32_t largest_output_shard = output_axis->maximum_extent();
  const std::uint32_t local_shard = distribution ? local_axis->maximum_extent() : local_axis->minimum_extent();

  // With a replicated operand, or weights cut along their rows, every shard
  // of both operands and of the result must hold data.
  const bool needs_full_shards = operands[0].layout().tiling.replication >= 2 ||
                                 operands[1].layout().tiling.replication >= 2 ||
                                 cuts_second_last_axis(operands[1].layout());
  if (needs_full_shards && (has_empty_shard(*streamed_resolution.get()) || has_empty_shard(*local_resolution.get()) ||
                            has_empty_shard(*output_resolution))) {
    return PlanCheck::GeometryMismatch;
  }

  const std::uint32_t unit = distribution ? 16 : block;
  const std::size_t streamed_index = streamed_resolution.get()->axes.size() - 1 - o;
  const std::size_t output_index = output_resolution->axes.size() - 1 - o;
  const bool valid = streamed_resolution.get()->padded_shape[streamed_index] % chunk == 0 &&
                     output_resolution->padded_shape[output_index] % unit == 0 && local_shard >= block &&
                     (distribution || largest_output_shard <= block) && largest_output_shard % unit == 0;
  return valid ? PlanCheck::Valid : PlanCheck::GeometryMismatch;
}

}  // namespace vexa_codegen::mid::operators::check
