#include "vexa_codegen/mid/implementation/gemm.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "detail.hpp"
#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::implementation::gemm {
namespace {

using layout::AxisTiling;
using layout::TensorAxis;
using operators::OperatorDispatch;

/// The roles of the two operands: P (operand `o`) streams against Q (operand
/// 1 - o). Axis indices are counted from the front of each tensor.
struct Roles {
  std::size_t o = 0;
  std::size_t kP = 0;       ///< contraction axis of P
  std::size_t kQ = 0;       ///< contraction axis of Q
  std::size_t fP = 0;       ///< free axis of P
  std::size_t fQ = 0;       ///< free axis of Q
  std::size_t fP_out = 0;   ///< output axis of P's free axis
  std::size_t fQ_out = 0;   ///< output axis of Q's free axis
};

std::optional<Roles> roles(operators::GemmOrientation orientation, std::size_t rP, std::size_t rQ, std::size_t r) {
  if (rP < 2 || rQ < 2 || r < 2) {
    return std::nullopt;
  }
  if (orientation == operators::GemmOrientation::Normal) {
    return Roles{.o = 0, .kP = rP - 1, .kQ = rQ - 2, .fP = rP - 2, .fQ = rQ - 1, .fP_out = r - 2, .fQ_out = r - 1};
  }
  return Roles{.o = 1, .kP = rP - 2, .kQ = rQ - 1, .fP = rP - 1, .fQ = rQ - 2, .fP_out = r - 1, .fQ_out = r - 2};
}

/// Everything one product lowering reads.
struct Product {
  Roles roles;
  MidValueId p = 0;   ///< the value of P
  MidValueId q = 0;   ///< the value of Q
  TensorType p_type;  ///< P's type on entry
  TensorType q_type;  ///< Q's type on entry
  TensorType p_required;
  TensorType q_required;
  operators::OperandRequirement q_requirement;
  TileKernelSpec::PackedGemm kernel;
  ProductAxes axes;
};

/// `entry` on axis `Leading(axis)`, or nothing when the index does not fit.
std::optional<AxisTiling> on_axis(AxisTiling entry, std::size_t axis) {
  const auto index = detail::narrow16(axis);
  if (!index) {
    return std::nullopt;
  }
  entry.axis = TensorAxis::leading(*index);
  return entry;
}

/// The type of one contraction chunk of `grid_type`: the axis `axis` no longer
/// cut but padded to the chunk length `chunk`.
std::optional<TensorType> chunk_type(TensorType grid_type, std::size_t axis, std::uint32_t chunk) {
  const std::size_t rank = grid_type.shape.rank();
  auto& entries = grid_type.format.layout.tiling.axes;
  std::erase_if(entries, [&](const AxisTiling& entry) { return entry.axis.resolve(rank) == axis; });
  const auto index = detail::narrow16(axis);
  if (!index) {
    return std::nullopt;
  }
  entries.push_back(detail::padded_cut(*index, 1, chunk));
  grid_type.shape.dimensions[axis] = chunk;
  return grid_type;
}

/// The operand's required type on the result's grid: the projection of the
/// result's tiling, followed by the required cut of the contraction axis.
std::optional<TensorType> grid_type(const TensorType& required, const TensorType& output, std::size_t free_out,
                                    std::size_t free, std::size_t contraction) {
  const std::size_t rank = required.shape.rank();
  auto grid = project_grid(output, rank, free_out, free);
  if (!grid) {
    return std::nullopt;
  }
  if (const AxisTiling* entry = detail::entry_on(required.format.layout.tiling, contraction, rank)) {
    grid->axes.push_back(*entry);
  }
  return detail::with_tiling(required, std::move(*grid));
}

std::optional<MidValueId> local_product(Builder& builder, const Product& product, const TensorType& output,
                                        const OperatorDispatch::Gemm& dispatch) {
  const Roles& roles = product.roles;
  const auto grid_p = grid_type(product.p_required, output, roles.fP_out, roles.fP, roles.kP);
  const auto grid_q = grid_type(product.q_required, output, roles.fQ_out, roles.fQ, roles.kQ);
  if (!grid_p || !grid_q) {
    return std::nullopt;
  }
  const TileKernelSpec kernel{product.kernel};
  if (resolved::same_distribution(*grid_p, product.p_type) && resolved::same_distribution(*grid_q, product.q_type) &&
      grid_p->format.layout.order == product.p_type.format.layout.order &&
      grid_q->format.layout.order == product.q_type.format.layout.order) {
    return builder.compute({product.p, product.q}, output, kernel, product.axes, false, 0, {});
  }

  const std::uint32_t chunk = dispatch.inner_chunk;
  const std::uint32_t contraction = product.p_type.shape.dimensions[roles.kP];
  if (chunk == 0 || contraction == 0) {
    return std::nullopt;
  }
  auto chunk_p = chunk_type(*grid_p, roles.kP, chunk);
  auto chunk_q = chunk_type(*grid_q, roles.kQ, chunk);
  if (!chunk_p || !chunk_q) {
    return std::nullopt;
  }
  if (product.kernel.multiply.is_f16()) {
    chunk_q->format.layout.memory_class = layout::MemoryClass::Vexa21Interleaved;
  }
  const std::uint64_t chunks = support::ceil_div(contraction, chunk);
  std::optional<MidValueId> result;
  for (std::uint64_t j = 0; j < chunks; ++j) {
    const auto start = static_cast<std::uint32_t>(j * chunk);
    const std::uint32_t length = std::min(contraction - start, chunk);
    chunk_p->shape.dimensions[roles.kP] = length;
    chunk_q->shape.dimensions[roles.kQ] = length;
    const MidValueId p = builder.materialize(
        product.p, *chunk_p, detail::origin_at(product.p_type.shape.rank(), roles.kP, start), true);
    const MidValueId q = builder.materialize(
        product.q, *chunk_q, detail::origin_at(product.q_type.shape.rank(), roles.kQ, start), true);
    TileKernelSpec::PackedGemm step_kernel = product.kernel;
    step_kernel.add_to_output = result.has_value();
    result = builder.compute({p, q}, output, TileKernelSpec{step_kernel}, product.axes, result.has_value(),
                             result.value_or(0), {});
  }
  return result;
}

/// `entry` with its axis re-expressed for the partial type, whose leading axis
/// counts the partials.
std::optional<AxisTiling> partial_entry(const AxisTiling& entry, std::size_t rank, std::size_t row_axis,
                                        std::uint16_t row_stride) {
  const auto axis = entry.axis.resolve(rank);
  if (!axis) {
    return std::nullopt;
  }
  auto shifted = on_axis(entry, *axis + 1);
  if (shifted) {
    shifted->tile_stride = *axis == row_axis ? row_stride : std::uint16_t{1};
  }
  return shifted;
}

std::optional<MidValueId> distributed(Builder& builder, const Product& product, const TensorType& output,
                                      const OperatorDispatch& dispatch, const operators::GemmDistribution& split) {
  const Roles& roles = product.roles;
  const std::size_t rank = output.shape.rank();
  const std::size_t rank_p = product.p_required.shape.rank();
  const layout::TensorTiling& tiling_p = product.p_required.format.layout.tiling;
  const MidValueId p = builder.materialize(product.p, product.p_required, {}, true);

  // The partial results take the row cut of P.
  TensorType partial = dispatch.gemm_partial_tensor(output);
  const AxisTiling* rows_p = detail::entry_on(tiling_p, roles.fP, rank_p);
  auto& partial_entries = partial.format.layout.tiling.axes;
  const auto rows = std::ranges::find_if(
      partial_entries, [&](const AxisTiling& entry) { return entry.axis.resolve(rank) == roles.fP_out; });
  if (rows_p == nullptr || rows == partial_entries.end()) {
    return std::nullopt;
  }
  const auto rows_entry = on_axis(*rows_p, roles.fP_out);
  if (!rows_entry) {
    return std::nullopt;
  }
  *rows = *rows_entry;

  // Q is staged on all A x B x R tiles: its columns as the partial results'
  // columns, its contraction as P's, repeated for each of the A row parts.
  const AxisTiling* inner_p = detail::entry_on(tiling_p, roles.kP, rank_p);
  const AxisTiling* columns = detail::entry_on(partial.format.layout.tiling, roles.fQ_out, rank);
  const auto tiles = detail::narrow16(std::uint64_t{split.row_partitions} * split.column_partitions *
                                      split.inner_partitions);
  if (inner_p == nullptr || columns == nullptr || !tiles) {
    return std::nullopt;
  }
  auto q_columns = on_axis(*columns, roles.fQ);
  auto q_inner = on_axis(*inner_p, roles.kQ);
  if (!q_columns || !q_inner) {
    return std::nullopt;
  }
  q_columns->tile_stride = 1;
  q_inner->tile_stride = split.column_partitions;
  TensorType staged = product.q_type;
  staged.format.precision = product.q_required.format.precision;
  staged.format.layout.order = product.q_required.format.layout.order;
  staged.format.layout.memory_class = product.kernel.multiply.is_f16() ? layout::MemoryClass::Vexa21Interleaved
                                                                       : product.q_required.format.layout.memory_class;
  staged.format.layout.tiling = layout::TensorTiling{
      .axes = {*q_columns, *q_inner}, .tile_count = *tiles, .replication = split.row_partitions};
  const bool direct = product.q_requirement.staging == operators::LocalOperandStaging::Direct;
  const MidValueId q = builder.materialize(product.q, staged, {}, direct);

  // The partial results gain a leading axis of R partials.
  const auto row_stride = detail::narrow16(std::uint64_t{split.column_partitions} * split.inner_partitions);
  if (!row_stride) {
    return std::nullopt;
  }
  layout::TensorTiling partial_tiling{.axes = {}, .tile_count = *tiles,
                                      .replication = partial.format.layout.tiling.replication};
  for (const AxisTiling& entry : partial_entries) {
    const auto shifted = partial_entry(entry, rank, roles.fP_out, *row_stride);
    if (!shifted) {
      return std::nullopt;
    }
    partial_tiling.axes.push_back(*shifted);
  }
  partial_tiling.axes.push_back(AxisTiling{.axis = TensorAxis::leading(0),
                                           .parts = split.inner_partitions,
                                           .groups = 1,
                                           .panel = 1,
                                           .padding_multiple = 1,
                                           .shard_alignment = 1,
                                           .padding = layout::AxisPadding::Exact,
                                           .tile_stride = split.column_partitions});
  partial.shape.dimensions.insert(partial.shape.dimensions.begin(), split.inner_partitions);
  partial.format.layout.tiling = std::move(partial_tiling);

  const MidValueId partials =
      builder.compute({p, q}, partial, TileKernelSpec{product.kernel}, product.axes, false, 0, {});
  return builder.emit({partials}, output,
                      primitive::Primitive{primitive::Primitive::Reduce{.staging = split.reduction_staging, .axis = 0}});
}

}  // namespace

std::optional<MidValueId> gemm(Builder& builder, const OperatorPlan& plan, const std::vector<TensorType>& inputs,
                               const TensorType& output) {
  const auto* dispatch = plan.dispatch.get_if<OperatorDispatch::Gemm>();
  const auto* op = plan.operator_.get_if<operators::MidOperator::Gemm>();
  if (dispatch == nullptr || op == nullptr) {
    return std::nullopt;
  }
  const std::size_t o = dispatch->orientation == operators::GemmOrientation::Swapped ? 1 : 0;
  const TensorType& p_type = detail::checked_at(inputs, o);
  const TensorType& q_type = detail::checked_at(inputs, 1 - o);
  const auto& requirements = plan.storage.operands;
  const auto product_roles = roles(dispatch->orientation, p_type.shape.rank(), q_type.shape.rank(), output.shape.rank());
  if (requirements.size() < 2 || !product_roles) {
    return std::nullopt;
  }
  const auto kP = detail::narrow16(product_roles->kP);
  const auto kQ = detail::narrow16(product_roles->kQ);
  if (!kP || !kQ) {
    return std::nullopt;
  }
  const Product product{
      .roles = *product_roles,
      .p = static_cast<MidValueId>(o),
      .q = static_cast<MidValueId>(1 - o),
      .p_type = p_type,
      .q_type = q_type,
      .p_required = TensorType{.shape = p_type.shape, .format = requirements[o].format},
      .q_required = TensorType{.shape = q_type.shape, .format = requirements[1 - o].format},
      .q_requirement = requirements[1 - o],
      .kernel = TileKernelSpec::PackedGemm{.inner_chunk = dispatch->inner_chunk,
                                           .output_column_block = dispatch->output_column_block,
                                           .multiply = op->multiply,
                                           .accumulate = op->accumulate,
                                           .add_to_output = false,
                                           .reserved = 0},
      .axes = ProductAxes{.left_contraction = TensorAxis::leading(*kP),
                          .right_contraction = TensorAxis::leading(*kQ),
                          .output_columns = TensorAxis::trailing(static_cast<std::uint16_t>(o + 1)),
                          .first_bound = std::nullopt,
                          .second_bound = std::nullopt},
  };
  if (dispatch->distribution) {
    return distributed(builder, product, output, plan.dispatch, *dispatch->distribution);
  }
  return local_product(builder, product, output, *dispatch);
}

}  // namespace vexa_codegen::mid::implementation::gemm
