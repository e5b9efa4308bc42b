// Direct conversion steps and the two storage-identity tests they rest on.
#include <algorithm>
#include <span>
#include <string>

#include "vexa_codegen/estimate/cycles.hpp"
#include "vexa_codegen/estimate/tensor.hpp"
#include "vexa_codegen/kernel/abi.hpp"
#include "vexa_codegen/low/call.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/optimistic/conversion.hpp"
#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::optimistic::conversion {
namespace {

using layout::AmpOrder;
using layout::Precision;
using layout::TensorFormat;
using layout::TensorType;
using operators::ConversionStrategy;
using operators::TileKernelSpec;
using support::ceil_div;
using support::sat_add;
using support::sat_mul;

// log2 of the element size: 0 for `F8F143`, 1 for `F16`, 2 for `F32`.
std::uint32_t size_shift(const Precision& precision) {
  return precision.is_f8f143() ? 0U : precision.is_f16() ? 1U : 2U;
}

bool same_placement(const TensorType& source, const TensorType& target) {
  return source.format.layout.tiling == target.format.layout.tiling &&
         source.format.layout.memory_class == target.format.layout.memory_class;
}

// The resolution of `type`, or nothing when its layout does not resolve,
// resolves flattened or has fewer than `minimum_axes` axes.
std::optional<resolved::ResolvedLayout> resolve_unflattened(const TensorType& type, std::size_t minimum_axes) {
  auto resolution = type.format.layout.resolve(type.shape);
  if (!resolution || resolution->flattened || resolution->axes.size() < minimum_axes) {
    return std::nullopt;
  }
  return std::move(*resolution);
}

bool last_axis_multiple_of(const TensorType& type, std::uint32_t multiple) {
  const auto resolution = resolve_unflattened(type, 1);
  return resolution && resolution->axes.back().extents_are_multiple_of(multiple);
}

// Whether a real kernel (not a stand-in entry) runs `kernel` from `source` into `target`.
bool kernel_backed(const TileKernelSpec& kernel, const TensorFormat& source, const TensorFormat& target) {
  const auto requirements = low::call::KernelRequirements::make(kernel, std::span(&source, 1), target);
  const auto abi = kernel::abi::tile_kernel_abi(kernel, requirements);
  return abi.has_value() && !abi->placeholder;
}

bool cast_backed(const TensorType& source, const TensorType& target) {
  return kernel_backed(TileKernelSpec{TileKernelSpec::Cast{source.format.precision, target.format.precision}},
                       source.format, target.format);
}

// "{precision} {order} -> {precision} {order}", naming a conversion without a kernel.
std::string missing_kernel_text(const TensorType& source, const TensorType& target) {
  return layout::dump(source.format.precision) + " " + layout::dump(source.format.layout.order) + " -> " +
         layout::dump(target.format.precision) + " " + layout::dump(target.format.layout.order);
}

Transform make_transform(const TensorType& source, const TensorType& target, TransformKind kind) {
  return Transform{.from = source, .to = target, .cycles = {}, .assumptions = {}, .kind = kind};
}

// A step that moves data between tiles, keeping the precision (and, except when
// unpacking words, the element order).
Transform redistribute(const TensorType& source, const TensorType& target, bool same_order, std::uint64_t largest) {
  Transform step = make_transform(source, target, TransformKind::Redistribute);
  const ConversionStrategy strategy = same_order ? ConversionStrategy::PreserveOrder : ConversionStrategy::ChangeOrder;
  const estimate::cycles::RearrangementCost cost = estimate::cycles::Vexa21CostModel{}.rearrangement_cost(
      source.shape, source.format.precision, strategy, source.format.layout, target.format.layout);
  const std::uint64_t floor = sat_add(ceil_div(largest, 4), 600);
  if (cost.has_figure()) {
    const std::uint64_t cycles = std::max(cost.cycles, floor);
    step.cycles = {cycles, cycles};
  } else {
    step.assumptions.insert(Assumption::missing_cost_model());
    step.cycles = {floor, sat_mul(floor, 4)};
  }
  return step;
}

}  // namespace

bool equivalent(const TensorType& source, const TensorType& target) {
  const auto& source_order = source.format.layout.order;
  const auto& target_order = target.format.layout.order;
  const bool row_major_and_left = (source_order.is_row_major() && target_order.is_amp(AmpOrder::Left)) ||
                                  (source_order.is_amp(AmpOrder::Left) && target_order.is_row_major());
  if (source.format.precision != target.format.precision || !row_major_and_left) {
    return false;
  }
  const auto resolution = resolve_unflattened(source, 2);
  if (!resolution) {
    return false;
  }
  const auto leading = std::span(resolution->axes).first(resolution->axes.size() - 1);
  if (!std::ranges::all_of(leading, [](const resolved::ResolvedAxis& axis) { return axis.maximum_extent() == 1; })) {
    return false;
  }
  const std::uint32_t vector = source.format.precision.is_f8f143() ? 32 : 16;
  return resolution->axes.back().extents_are_multiple_of(vector);
}

bool word_unpack(const TensorType& source, const TensorType& target) {
  if (source.format.precision != target.format.precision || !source.format.layout.order.is_amp(AmpOrder::Left) ||
      !target.format.layout.order.is_row_major()) {
    return false;
  }
  const std::uint32_t word = 4U >> size_shift(source.format.precision);
  return last_axis_multiple_of(source, word) && last_axis_multiple_of(target, word);
}

std::optional<Transform> edge(const TensorType& source, const TensorType& target, bool allow_alias) {
  const bool same_precision = source.format.precision == target.format.precision;
  const bool same_order = source.format.layout.order == target.format.layout.order;

  if (!same_placement(source, target)) {
    if (!same_precision || (!same_order && !word_unpack(source, target))) {
      return std::nullopt;
    }
    return redistribute(source, target, same_order,
                        std::max(estimate::tensor::maximum_shard_bytes(source),
                                 estimate::tensor::maximum_shard_bytes(target)));
  }

  if (allow_alias && equivalent(source, target)) {
    Transform alias = make_transform(source, target, TransformKind::Alias);
    alias.assumptions.insert(Assumption::missing_equivalence_rule());
    return alias;
  }
  if (same_order && same_precision) {
    return std::nullopt;  // the types are equal up to shape: nothing to do in one step
  }

  const auto& source_order = source.format.layout.order;
  const Precision& from = source.format.precision;
  const Precision& to = target.format.precision;
  TransformKind kind = TransformKind::Pack;
  bool backed = false;
  if (same_order) {
    kind = TransformKind::Cast;
    if (!source_order.is_row_major() && (from.is_f8f143() || to.is_f8f143())) {
      // Outside row-major order only the 16-to-8-bit cast kernel handles 8-bit
      // data, and only in the layout that its vectors fit.
      backed = from.is_f16() && to.is_f8f143() && source.fp8_cast_layout() == target.format.layout &&
               cast_backed(source, target);
    } else {
      backed = cast_backed(source, target);
    }
  } else if (!same_precision) {
    kind = TransformKind::CastAndPack;
    backed = from.is_f16() && source_order.is_row_major() && to.is_f8f143() &&
             target.format.layout.order.is_amp(AmpOrder::Left) &&
             source.fp8_producer_layout(target.format) == target.format.layout && cast_backed(source, target);
  } else {
    backed = word_unpack(source, target) ||
             kernel_backed(TileKernelSpec{TileKernelSpec::Relayout{source.format.layout, target.format.layout}},
                           source.format, target.format);
  }

  Transform step = make_transform(source, target, kind);
  const std::uint64_t source_bytes = estimate::tensor::maximum_shard_bytes(source);
  const std::uint64_t target_bytes = estimate::tensor::maximum_shard_bytes(target);
  const std::uint64_t floor =
      sat_add(std::max(ceil_div(source_bytes >> size_shift(from), 8), ceil_div(sat_add(source_bytes, target_bytes), 8)),
              330);
  if (backed) {
    const estimate::cycles::Vexa21CostModel model;
    const std::uint64_t kernel =
        kind == TransformKind::Pack
            ? model
                  .rearrangement_cost(source.shape, from, ConversionStrategy::ChangeOrder, source.format.layout,
                                      target.format.layout)
                  .cycles
            : model.cast_format_cycles(source, target.format);
    const std::uint64_t cycles = std::max(kernel, floor);
    step.cycles = {cycles, cycles};
  } else {
    step.assumptions.insert(Assumption::missing_kernel(missing_kernel_text(source, target)));
    step.cycles = {floor, sat_mul(floor, 4)};
  }
  return step;
}

}  // namespace vexa_codegen::mid::optimistic::conversion
