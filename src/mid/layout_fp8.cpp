// Layout adjustments for casts to and from 8-bit floating point.
//
// The 8-bit cast kernels move whole 32-element vectors along the axis they
// read contiguously, so that axis's shards must have allocated sizes that are
// multiples of 32.
#include <algorithm>

#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/resolved.hpp"

namespace vexa_codegen::mid::layout {
namespace {

constexpr std::uint32_t fp8_vector = 32;

// The first tiling that cuts the last axis of a tensor of rank `rank`.
AxisTiling* last_axis_tiling(Layout& layout, std::size_t rank) {
  if (rank == 0) {
    return nullptr;
  }
  const auto found = std::ranges::find_if(layout.tiling.axes,
                                          [rank](const AxisTiling& t) { return t.axis.resolve(rank) == rank - 1; });
  return found == layout.tiling.axes.end() ? nullptr : &*found;
}

void raise_alignment(AxisTiling& tiling) { tiling.shard_alignment = std::max(tiling.shard_alignment, fp8_vector); }

// The resolved axes of `layout` on `shape`, or null when it does not resolve,
// is flattened or has fewer than `minimum_axes` axes.
std::optional<resolved::ResolvedLayout> resolve_axes(const Layout& layout, const graph::TensorShape& shape,
                                                     std::size_t minimum_axes) {
  auto resolution = layout.resolve(shape);
  if (!resolution || resolution->flattened || resolution->axes.size() < minimum_axes) {
    return std::nullopt;
  }
  return std::move(*resolution);
}

// The two matrix orientations of the non-row-major orders.
enum class Orientation { Straight, Transposed };

std::optional<Orientation> orientation(const ElementOrder& order) {
  if (const BlockMajorOrder* blocks = order.as_block_major()) {
    return blocks->is_transposed() ? Orientation::Transposed : Orientation::Straight;
  }
  const std::optional<AmpOrder> amp = order.as_amp();
  if (!amp) {
    return std::nullopt;  // row-major has no matrix orientation
  }
  switch (*amp) {
    case AmpOrder::TransposedLeft: return Orientation::Straight;
    case AmpOrder::Left:
    case AmpOrder::TransposedRight: return Orientation::Transposed;
    case AmpOrder::Output:
    case AmpOrder::TransposedOutput: return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Layout> TensorType::fp8_cast_layout() const {
  const Layout& layout = format.layout;
  if (layout.order.is_row_major()) {
    return layout;
  }
  if (const BlockMajorOrder* blocks = layout.order.as_block_major()) {
    return blocks->row_block() % fp8_vector == 0 ? std::optional<Layout>(layout) : std::nullopt;
  }
  const AmpOrder amp = *layout.order.as_amp();
  switch (amp) {
    case AmpOrder::Output:
    case AmpOrder::TransposedOutput: return layout;
    case AmpOrder::TransposedRight:
    case AmpOrder::TransposedLeft: {
      const std::size_t from_end = amp == AmpOrder::TransposedRight ? 1 : 2;
      const auto resolution = resolve_axes(layout, shape, from_end);
      if (!resolution || !resolution->axes[resolution->axes.size() - from_end].extents_are_multiple_of(fp8_vector)) {
        return std::nullopt;
      }
      return layout;
    }
    case AmpOrder::Left: {
      const auto resolution = resolve_axes(layout, shape, 1);
      if (!resolution) {
        return std::nullopt;
      }
      const resolved::ResolvedAxis& last = resolution->axes.back();
      if (last.extents_are_multiple_of(fp8_vector)) {
        return layout;
      }
      // Only the tail shard is short: aligning the last axis's shards pads it.
      Layout aligned = layout;
      AxisTiling* tiling = last_axis_tiling(aligned, shape.rank());
      if (!last.complete_panels_except_tail(fp8_vector) || tiling == nullptr) {
        return std::nullopt;
      }
      raise_alignment(*tiling);
      return aligned;
    }
  }
  return std::nullopt;
}

std::optional<Layout> TensorType::fp8_producer_layout(const TensorFormat& target) const {
  std::optional<Layout> layout = fp8_cast_layout();
  if (!layout) {
    return std::nullopt;
  }
  const ElementOrder& wanted = target.layout.order;

  if (layout->order.is_row_major() && !wanted.is_row_major()) {
    // A row-major producer writes the AMP left-operand order instead; its rows
    // must then hold whole 4-element groups and are padded to whole vectors.
    const auto resolution = resolve_axes(*layout, shape, 2);
    if (!resolution || !resolution->axes.back().extents_are_multiple_of(4)) {
      return std::nullopt;
    }
    if (!resolution->axes.back().extents_are_multiple_of(fp8_vector)) {
      if (AxisTiling* tiling = last_axis_tiling(*layout, shape.rank())) {
        raise_alignment(*tiling);
      } else {
        layout->tiling.axes.push_back(AxisTiling{.axis = TensorAxis::trailing(1),
                                                 .parts = 1,
                                                 .groups = 1,
                                                 .panel = 1,
                                                 .padding_multiple = 1,
                                                 .shard_alignment = fp8_vector,
                                                 .padding = AxisPadding::Padded,
                                                 .tile_stride = std::nullopt});
      }
    }
    layout->order = ElementOrder::amp(AmpOrder::Left);
  }

  if (layout->order == wanted) {
    return layout;
  }
  if (target.precision.is_f32()) {
    return std::nullopt;
  }
  // Row-major and the product-result orders have no orientation and match nothing else.
  const std::optional<Orientation> produced = orientation(layout->order);
  const std::optional<Orientation> consumed = orientation(wanted);
  if (!produced || !consumed || *produced != *consumed) {
    return std::nullopt;
  }
  return layout;
}

}  // namespace vexa_codegen::mid::layout
