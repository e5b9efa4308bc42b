// Whether a plan fits an operation: `supports`, `validate`, `tensor_types`
// and `alias_compatible`. The matrix-product rules are in gemm_check.cpp.
#include <algorithm>
#include <bit>

#include "check.hpp"

namespace vexa_codegen::mid::operators {
namespace check {

Resolution::Resolution(const TypeView& view) {
  if (view.resolution != nullptr) {
    resolution_ = view.resolution;
    return;
  }
  if (auto resolved = view.layout().resolve(*view.shape)) {
    owned_.emplace(std::move(*resolved));
    resolution_ = &*owned_;
  }
}

bool has_empty_shard(const resolved::ResolvedLayout& layout) noexcept {
  return std::ranges::any_of(layout.axes, [](const resolved::ResolvedAxis& axis) {
    return std::ranges::any_of(axis.extents, [](const layout::ShardExtent& extent) { return extent.start == extent.end; });
  });
}

namespace {

// Every operand lives on as many tiles as the result.
PlanCheck equal_tile_counts(std::span<const TypeView> operands, const TypeView& output) {
  const bool equal = std::ranges::all_of(
      operands, [&](const TypeView& operand) { return operand.tile_count() == output.tile_count(); });
  return equal ? PlanCheck::Valid : PlanCheck::TileCountMismatch;
}

// The kernel of a tile-kernel dispatch, or null for any other dispatch.
const TileKernelSpec* tile_kernel(const OperatorDispatch& dispatch) {
  const auto* tile = dispatch.get_if<OperatorDispatch::TileKernel>();
  return tile != nullptr ? &tile->kernel : nullptr;
}

template <class Kernel>
bool runs_kernel(const OperatorDispatch& dispatch) {
  const TileKernelSpec* kernel = tile_kernel(dispatch);
  return kernel != nullptr && kernel->is<Kernel>();
}

// A view or a slice: no computation, one operand whose reshaped or cut shape is
// the result's, in the result's precision.
template <class Geometry>
PlanCheck validate_alias(const OperatorPlan& plan, const Geometry& geometry, std::span<const TypeView> operands,
                         const TypeView& output) {
  if (!plan.dispatch.is<OperatorDispatch::Alias>()) {
    return PlanCheck::DispatchMismatch;
  }
  if (operands.size() != 1) {
    return PlanCheck::WrongArity;
  }
  const TypeView& operand = operands.front();
  const std::optional<graph::TensorShape> shape = geometry.output_shape(*operand.shape);
  const bool fits = shape && *shape == *output.shape && operand.format->precision == output.format->precision;
  return fits ? PlanCheck::Valid : PlanCheck::GeometryMismatch;
}

// Blocked attention over a query in `Amp(Left)`, keys in `Amp(TransposedRight)`
// and values in block-major matrix order, producing a row-major result on the
// query's tiles.
PlanCheck validate_blocked_attention(const MidOperator::FlashAttention& attention,
                                     const OperatorDispatch::FlashAttention& dispatch,
                                     std::span<const TypeView> operands, const TypeView& output) {
  if (operands.size() != 3) {
    return PlanCheck::WrongArity;
  }
  const TypeView& query = operands[0];
  const TypeView& key = operands[1];
  const TypeView& value = operands[2];
  const auto* value_order = value.layout().order.as_block_major();
  const bool valid =
      !attention.options.causal && attention.accumulate == AccumulationPrecision::F32 && dispatch.block != 0 &&
      dispatch.block % 64 == 0 && (dispatch.block == 64 || dispatch.unaligned_block) &&
      dispatch.output_parameter != 0 && dispatch.value_parameter != 0 &&
      query.layout().order.is_amp(layout::AmpOrder::Left) &&
      key.layout().order.is_amp(layout::AmpOrder::TransposedRight) && value_order != nullptr &&
      !value_order->is_transposed() && output.layout().order.is_row_major() &&
      output.tile_count() == query.tile_count() && key.tile_count() == value.tile_count();
  return valid ? PlanCheck::Valid : PlanCheck::GeometryMismatch;
}

PlanCheck validate_attention(const MidOperator::FlashAttention& attention, const OperatorDispatch& dispatch,
                             std::span<const TypeView> operands, const TypeView& output) {
  if (const auto* blocked = dispatch.get_if<OperatorDispatch::FlashAttention>()) {
    return validate_blocked_attention(attention, *blocked, operands, output);
  }
  const TileKernelSpec* kernel = tile_kernel(dispatch);
  const auto* fused = kernel != nullptr ? kernel->get_if<TileKernelSpec::Attention>() : nullptr;
  if (fused == nullptr || fused->scale != attention.options.scale || fused->causal != attention.options.causal ||
      fused->accumulate != attention.accumulate) {
    return PlanCheck::DispatchMismatch;
  }
  return equal_tile_counts(operands, output);
}

}  // namespace

PlanCheck validate(const OperatorPlan& plan, std::span<const TypeView> operands, const TypeView& output) {
  if (operands.size() != plan.storage.operands.size()) {
    return PlanCheck::WrongArity;
  }
  // Every dispatch but a tile kernel works on the result's shards as they are
  // laid out, so the result must resolve and every shard must hold data.
  std::optional<Resolution> output_resolution;
  if (!plan.dispatch.is<OperatorDispatch::TileKernel>()) {
    output_resolution.emplace(output);
    if (output_resolution->get() == nullptr || has_empty_shard(*output_resolution->get())) {
      return PlanCheck::UnresolvedOutput;
    }
  }
  const OperatorDispatch& dispatch = plan.dispatch;
  const MidOperator& op = plan.operator_;
  if (op.is<MidOperator::Gelu>()) {
    return runs_kernel<TileKernelSpec::Gelu>(dispatch) ? equal_tile_counts(operands, output)
                                                       : PlanCheck::DispatchMismatch;
  }
  if (op.is<MidOperator::LayerNorm>()) {
    const bool fits = dispatch.is<OperatorDispatch::LayerNorm>() || runs_kernel<TileKernelSpec::LayerNorm>(dispatch);
    return fits ? equal_tile_counts(operands, output) : PlanCheck::DispatchMismatch;
  }
  if (op.is<MidOperator::Add>()) {
    return runs_kernel<TileKernelSpec::Add>(dispatch) ? equal_tile_counts(operands, output)
                                                      : PlanCheck::DispatchMismatch;
  }
  if (const auto* view = op.get_if<MidOperator::View>()) {
    return validate_alias(plan, view->view, operands, output);
  }
  if (const auto* slice = op.get_if<MidOperator::Slice>()) {
    return validate_alias(plan, slice->slice, operands, output);
  }
  if (const auto* attention = op.get_if<MidOperator::FlashAttention>()) {
    return validate_attention(*attention, dispatch, operands, output);
  }
  const auto& gemm = std::get<MidOperator::Gemm>(op.value);
  return validate_gemm(plan, gemm, operands, output, output_resolution ? output_resolution->get() : nullptr);
}

}  // namespace check

namespace {

bool shared_memory_groups_are_sound(const StorageRequirements& storage) {
  const std::size_t operand_count = storage.operands.size();
  return std::ranges::all_of(storage.shared_memory, [operand_count](const std::vector<MemoryOperand>& group) {
    if (group.size() < 2) {
      return false;
    }
    for (std::size_t i = 0; i < group.size(); ++i) {
      const auto* input = std::get_if<MemoryOperand::Input>(&group[i].value);
      if (input != nullptr && input->index >= operand_count) {
        return false;
      }
      if (std::find(group.begin() + static_cast<std::ptrdiff_t>(i) + 1, group.end(), group[i]) != group.end()) {
        return false;
      }
    }
    return true;
  });
}

bool alias_compatible_shape(std::size_t index, const std::vector<OperandRequirement>& operands,
                            const graph::TensorShape* input_shape, const TensorFormat& output_format,
                            const graph::TensorShape& output_shape) {
  return index < operands.size() && input_shape != nullptr && *input_shape == output_shape &&
         operands[index].format == output_format;
}

}  // namespace

bool OperatorPlan::supports(const std::vector<TensorType>& inputs, const graph::TensorShape& output) const {
  const std::vector<OperandRequirement>& operands = storage.operands;
  if (inputs.size() != operands.size() || !std::has_single_bit(storage.output.alignment)) {
    return false;
  }
  // The checks that resolve nothing come first; all conditions must hold, so
  // their order does not change the answer.
  if (storage.output_aliases) {
    const std::vector<std::uint16_t>& aliases = *storage.output_aliases;
    const bool some_compatible = std::ranges::any_of(aliases, [&](std::uint16_t index) {
      return alias_compatible(index, operands, inputs, storage.output.format, output);
    });
    if (!some_compatible) {
      return false;
    }
  }
  if (!shared_memory_groups_are_sound(storage)) {
    return false;
  }
  if (!std::ranges::all_of(operands, [](const OperandRequirement& r) { return std::has_single_bit(r.alignment); })) {
    return false;
  }
  auto output_resolution = storage.output.format.layout.resolve(output);
  if (!output_resolution) {
    return false;
  }
  std::vector<resolved::ResolvedLayout> resolutions;
  resolutions.reserve(operands.size());
  for (std::size_t i = 0; i < operands.size(); ++i) {
    auto resolution = operands[i].format.layout.resolve(inputs[i].shape);
    if (!resolution) {
      return false;
    }
    resolutions.push_back(std::move(*resolution));
  }
  std::vector<check::TypeView> views;
  views.reserve(operands.size());
  for (std::size_t i = 0; i < operands.size(); ++i) {
    views.push_back({&inputs[i].shape, &operands[i].format, &resolutions[i]});
  }
  const check::TypeView output_view{&output, &storage.output.format, &*output_resolution};
  return check::validate(*this, views, output_view) == PlanCheck::Valid;
}

PlanCheck OperatorPlan::validate(const std::vector<TensorType>& operands, const TensorType& output) const {
  std::vector<check::TypeView> views;
  views.reserve(operands.size());
  for (const TensorType& operand : operands) {
    views.push_back({&operand.shape, &operand.format, nullptr});
  }
  return check::validate(*this, views, {&output.shape, &output.format, nullptr});
}

std::pair<std::vector<TensorType>, TensorType> OperatorPlan::tensor_types(const std::vector<TensorType>& inputs,
                                                                         const graph::TensorShape& output) const {
  const std::size_t count = std::min(inputs.size(), storage.operands.size());
  std::vector<TensorType> types;
  types.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    types.push_back({inputs[i].shape, storage.operands[i].format});
  }
  return {std::move(types), TensorType{output, storage.output.format}};
}

bool alias_compatible(std::size_t index, const std::vector<OperandRequirement>& operands,
                      std::span<const graph::TensorShape> input_shapes, const TensorFormat& output_format,
                      const graph::TensorShape& output_shape) {
  const graph::TensorShape* shape = index < input_shapes.size() ? &input_shapes[index] : nullptr;
  return alias_compatible_shape(index, operands, shape, output_format, output_shape);
}

bool alias_compatible(std::size_t index, const std::vector<OperandRequirement>& operands,
                      std::span<const TensorType> inputs, const TensorFormat& output_format,
                      const graph::TensorShape& output_shape) {
  const graph::TensorShape* shape = index < inputs.size() ? &inputs[index].shape : nullptr;
  return alias_compatible_shape(index, operands, shape, output_format, output_shape);
}

}  // namespace vexa_codegen::mid::operators
