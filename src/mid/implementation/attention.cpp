#include "vexa_codegen/mid/implementation/attention.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "detail.hpp"
#include "vexa_codegen/mid/implementation/gemm.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::implementation::attention {
namespace {

using layout::AxisTiling;
using layout::ElementOrder;
using layout::MemoryClass;
using layout::TensorAxis;

/// The largest head width: 65535 parts of 16 elements.
constexpr std::uint32_t maximum_width = 1048560;

/// A per-block intermediate: `output`'s leading extents and grid with last
/// extent `last`, 16-bit, `Amp(Left)`, in interleaved memory.
TensorType block_type(const TensorType& output, std::uint32_t last) {
  TensorType type = output;
  type.shape.dimensions[2] = last;
  type.format.precision = Precision::f16();
  type.format.layout.order = ElementOrder::amp(layout::AmpOrder::Left);
  type.format.layout.memory_class = MemoryClass::Vexa21Interleaved;
  return type;
}

/// `staged` cut to `length` sequence positions in order `order` and memory `memory`.
TensorType sequence_block(TensorType staged, std::uint32_t length, const ElementOrder& order, MemoryClass memory) {
  staged.shape.dimensions[1] = length;
  staged.format.layout.order = order;
  staged.format.layout.memory_class = memory;
  return staged;
}

/// The product axes of a per-block product: contraction and output axes as
/// given, with the two bounds.
ProductAxes bounded_axes(std::uint16_t right_contraction, std::uint32_t first, std::uint32_t second) {
  return ProductAxes{.left_contraction = TensorAxis::trailing(1),
                     .right_contraction = TensorAxis::trailing(right_contraction),
                     .output_columns = TensorAxis::trailing(1),
                     .first_bound = first,
                     .second_bound = second};
}

TileKernelSpec packed_gemm(std::uint32_t inner_chunk, std::uint32_t output_column_block) {
  return TileKernelSpec{TileKernelSpec::PackedGemm{.inner_chunk = inner_chunk,
                                                   .output_column_block = output_column_block,
                                                   .multiply = Precision::f16(),
                                                   .accumulate = operators::AccumulationPrecision::F32,
                                                   .add_to_output = false,
                                                   .reserved = 0}};
}

}  // namespace

std::optional<MidValueId> prepare_attention_operand(Builder& builder, std::size_t index, const TensorType& templ,
                                                    std::uint32_t block) {
  if (index > std::numeric_limits<MidValueId>::max()) {
    detail::index_out_of_bounds(builder.program().values.size(), index);
  }
  const auto value = static_cast<MidValueId>(index);
  const std::uint16_t operand_tiles = builder.type(value).format.layout.tiling.tile_count;
  if (templ.shape.rank() < 3) {
    return std::nullopt;
  }
  const std::uint32_t heads = templ.shape.dimensions[0];
  const std::uint32_t length = templ.shape.dimensions[1];
  const std::uint32_t width = templ.shape.dimensions[2];
  const layout::TensorTiling& tiling = templ.format.layout.tiling;
  if (heads == 0 || heads > std::numeric_limits<std::uint16_t>::max() || width > maximum_width) {
    return std::nullopt;
  }
  std::array<bool, 3> cut{};  // per axis, whether the template cuts it
  for (const AxisTiling& entry : tiling.axes) {
    const auto axis = entry.axis.resolve(3);
    if (!axis) {
      return std::nullopt;
    }
    cut[*axis] = true;
  }

  // A transposed-right key is read in 64-row panels whatever the block.
  const bool transposed_right = templ.format.layout.order.is_amp(layout::AmpOrder::TransposedRight);
  const std::uint32_t sequence_block = transposed_right && block > 63 ? 64 : block;
  if (sequence_block == 0) {
    return std::nullopt;
  }
  const std::uint64_t sequence_parts = support::ceil_div(length, sequence_block);
  if (sequence_parts > std::numeric_limits<std::uint16_t>::max()) {
    return std::nullopt;
  }
  const std::uint64_t tiles = std::max(operand_tiles, tiling.tile_count);
  const std::uint64_t per_head = tiles / heads;
  const std::uint64_t s = std::max<std::uint64_t>(1, std::min(per_head, sequence_parts));
  const std::uint64_t u = std::max<std::uint64_t>(1, std::min(per_head / s, support::ceil_div(width, 16)));
  const auto tile_count = detail::narrow16(heads * u * s);
  if (!tile_count) {
    return std::nullopt;
  }

  // Parts and strides per axis: heads fastest, then width parts, then sequence parts.
  const std::array<std::uint16_t, 3> parts{static_cast<std::uint16_t>(heads), static_cast<std::uint16_t>(s),
                                           static_cast<std::uint16_t>(u)};
  const std::array<std::uint16_t, 3> strides{1, static_cast<std::uint16_t>(heads * u),
                                             static_cast<std::uint16_t>(heads)};
  const std::array<std::uint32_t, 3> fresh_panels{1, sequence_block, 16};
  TensorType staged = templ;
  layout::TensorTiling& staged_tiling = staged.format.layout.tiling;
  for (std::uint16_t axis = 0; axis < 3; ++axis) {
    if (!cut[axis]) {
      staged_tiling.axes.push_back(detail::padded_cut(axis, 1, fresh_panels[axis]));
    }
  }
  for (AxisTiling& entry : staged_tiling.axes) {
    const std::size_t axis = *entry.axis.resolve(3);
    entry.parts = parts[axis];
    entry.tile_stride = strides[axis];
    if (axis == 1) {
      entry.panel = sequence_block;
    }
  }
  staged_tiling.tile_count = *tile_count;
  staged_tiling.replication = 1;
  return builder.materialize(value, staged, {}, true);
}

std::optional<MidValueId> attention(Builder& builder, const OperatorPlan& plan, const std::vector<TensorType>& inputs,
                                    const TensorType& output) {
  const auto* dispatch = plan.dispatch.get_if<operators::OperatorDispatch::FlashAttention>();
  if (dispatch == nullptr) {
    return std::nullopt;
  }
  const TensorType& query = detail::checked_at(inputs, 0);
  const TensorType& key = detail::checked_at(inputs, 1);
  const TensorType& value = detail::checked_at(inputs, 2);
  const std::uint32_t block = dispatch->block;
  const bool unaligned = dispatch->unaligned_block;
  const auto& requirements = plan.storage.operands;
  if ((!unaligned && (dispatch->score_grid || dispatch->value_grid)) || output.shape.rank() != 3 ||
      query.shape.rank() != 3 || block == 0 || block > std::numeric_limits<std::uint16_t>::max() ||
      requirements.size() < 3) {
    return std::nullopt;
  }

  // The query in the left-operand order on the output's grid, its width padded
  // to the output parameter; a score grid stages the query itself.
  MidValueId staged_query = 0;
  if (!dispatch->score_grid) {
    TensorType target = query;
    target.shape.dimensions[2] = dispatch->output_parameter;
    target.format.layout = output.format.layout;
    target.format.layout.order = ElementOrder::amp(layout::AmpOrder::Left);
    staged_query = builder.materialize(0, target, {}, true);
  }
  const auto staged_key =
      prepare_attention_operand(builder, 1, TensorType{.shape = key.shape, .format = requirements[1].format}, block);
  const auto staged_value =
      prepare_attention_operand(builder, 2, TensorType{.shape = value.shape, .format = requirements[2].format}, block);
  if (!staged_key || !staged_value) {
    return std::nullopt;
  }
  const std::uint32_t key_length = key.shape.dimensions[1];
  const std::uint64_t blocks = support::ceil_div(key_length, block);
  if (blocks == 0) {
    return std::nullopt;
  }

  const std::uint32_t head_width = query.shape.dimensions[2];
  const std::uint32_t value_width = value.shape.dimensions[2];
  const TensorType scores_type = block_type(output, block);
  const TensorType statistics_type = block_type(output, block + 16);
  const TensorType weighted_type = block_type(output, dispatch->value_parameter);
  TensorType running_type = output;
  running_type.format.precision = Precision::f32();
  const ElementOrder value_order = ElementOrder::block_major(
      layout::BlockMajorOrder::matrix(static_cast<std::uint16_t>(block), 16));
  const MemoryClass key_memory = unaligned ? MemoryClass::Vexa21Standard : MemoryClass::Vexa21Interleaved;
  // Copies: the builder's value list grows below.
  const TensorType key_staged_type = builder.type(*staged_key);
  const TensorType value_staged_type = builder.type(*staged_value);
  const MemoryClass value_memory =
      unaligned ? value_staged_type.format.layout.memory_class : MemoryClass::Vexa21Interleaved;

  std::optional<MidValueId> statistics;
  std::optional<MidValueId> running;
  for (std::uint64_t j = 0; j < blocks; ++j) {
    const auto start = static_cast<std::uint32_t>(j * block);
    const std::uint32_t length = std::min(key_length - start, block);
    const auto cut_value = [&] {
      return builder.materialize(*staged_value,
                                 sequence_block(value_staged_type, length, value_order, value_memory),
                                 detail::origin_at(value_staged_type.shape.rank(), 1, start), true);
    };
    MidValueId key_block = *staged_key;
    if (!dispatch->score_grid) {
      key_block = builder.materialize(
          *staged_key,
          sequence_block(key_staged_type, length, ElementOrder::amp(layout::AmpOrder::TransposedRight), key_memory),
          detail::origin_at(key_staged_type.shape.rank(), 1, start), true);
    }
    std::optional<MidValueId> value_block;
    if (!unaligned) {
      value_block = cut_value();
    }

    const ProductAxes score_axes = bounded_axes(1, head_width, length);
    std::optional<MidValueId> scores;
    if (dispatch->score_grid) {
      scores = gemm::distributed_product(builder, staged_query, key_block, scores_type, score_axes,
                                         *dispatch->score_grid);
      if (!scores) {
        return std::nullopt;
      }
    } else {
      scores = builder.compute({staged_query, key_block}, scores_type, packed_gemm(dispatch->output_parameter, block),
                               score_axes, false, 0, {});
    }

    statistics = builder.compute(
        {*scores}, statistics_type,
        TileKernelSpec{TileKernelSpec::AttentionStatistics{.head_width = head_width, .length = length, .block = block}},
        std::nullopt, statistics.has_value(), statistics.value_or(0), {});
    if (unaligned) {
      value_block = cut_value();
    }

    const ProductAxes value_axes = bounded_axes(2, length, value_width);
    std::optional<MidValueId> weighted;
    if (dispatch->value_grid) {
      weighted = gemm::distributed_product(builder, *statistics, *value_block, weighted_type, value_axes,
                                           *dispatch->value_grid);
      if (!weighted) {
        return std::nullopt;
      }
    } else {
      const OperandWindow first_columns{.entries = {primitive::WindowRange{.start = 0, .axis = 2, .end = block}}};
      weighted = builder.compute({*statistics, *value_block}, weighted_type,
                                 packed_gemm(block, dispatch->value_parameter), value_axes, false, 0,
                                 {first_columns, OperandWindow{}});
    }

    const bool last = std::uint64_t{start} + block >= key_length || unaligned;
    running = builder.compute({*weighted, *statistics}, running_type,
                              TileKernelSpec{TileKernelSpec::AttentionOutput{.output_parameter = output.shape.dimensions[2],
                                                                             .value_parameter = dispatch->value_parameter,
                                                                             .block = block,
                                                                             .first_block = start == 0,
                                                                             .last_block = last}},
                              std::nullopt, running.has_value(), running.value_or(0), {});
  }
  return builder.cast(*running, output.format.precision);
}

}  // namespace vexa_codegen::mid::implementation::attention
