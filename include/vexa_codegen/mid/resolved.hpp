// Resolved layouts: a layout applied to one concrete shape.
//
// A `Layout` is a rule; resolving it against a shape checks every invariant of
// the rule and yields the padded extents, the exact element range of every
// shard along every axis and the tile stride of each axis's shard index. From a
// resolution follow the per-tile boxes of the tensor (fragments) and the
// largest per-tile element count. Resolution runs many thousands of times per
// search, so it is linear in the number of shards and allocates only its result.
//
// `Layout::padded_shape`, `Layout::resolve`, `Layout::shard_extents`,
// `TensorTiling::axis_strides` and `AxisTiling::shard_bounds` are declared with
// their types in "vexa_codegen/mid/layout.hpp" and defined with this module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::mid::resolved {

using layout::LayoutError;
using layout::ShardExtent;

/// One tensor axis of a resolution.
struct ResolvedAxis {
  /// One entry per shard of the axis, in shard order; a single entry when the
  /// axis is not cut.
  std::vector<ShardExtent> extents{};
  /// The tile stride of the axis's shard index; 1 for an axis that is not cut.
  std::uint32_t stride = 1;

  /// The largest allocated shard size (`allocated_end` - `start`); 0 without extents.
  [[nodiscard]] std::uint32_t maximum_extent() const noexcept;
  /// The smallest allocated shard size; 0 without extents.
  [[nodiscard]] std::uint32_t minimum_extent() const noexcept;
  /// Whether every allocated size is a multiple of `m` (with m = 0: is 0).
  /// True for an axis without extents.
  [[nodiscard]] bool extents_are_multiple_of(std::uint32_t m) const noexcept;
  /// Whether every shard but the last has an allocated size that is a multiple
  /// of `m` (with m = 0: is 0); true for an axis with at most one extent.
  [[nodiscard]] bool complete_panels_except_tail(std::uint32_t m) const noexcept;
  /// The distinct allocated sizes of the axis's shards, ascending.
  [[nodiscard]] std::vector<std::uint32_t> extent_sizes() const;

  friend bool operator==(const ResolvedAxis&, const ResolvedAxis&) = default;
};

/// A box of the tensor held by one tile: one extent per tensor axis.
struct Fragment {
  std::uint16_t tile = 0;
  std::vector<ShardExtent> extents{};

  friend bool operator==(const Fragment&, const Fragment&) = default;
};

/// A layout applied to one shape.
struct ResolvedLayout {
  std::vector<std::uint32_t> padded_shape{};  ///< the shape after padding (same rank)
  std::vector<std::uint32_t> shape{};         ///< the unpadded shape
  std::vector<ResolvedAxis> axes{};           ///< one per tensor axis; empty when flattened
  bool flattened = false;                     ///< the layout's only tiling is `Flattened`
  std::uint32_t flat_panel = 0;               ///< that tiling's panel (meaningful when flattened)
  std::uint16_t tile_count = 0;
  std::uint16_t replication = 0;

  /// The boxes every tile holds, tile by tile in ascending order. Not
  /// flattened: exactly one fragment per tile (replicas carry identical boxes).
  /// Flattened: the flat element range is dealt out to the tiles in panels and
  /// each tile's range is cut at row boundaries of the last axis, one fragment
  /// per row, rows ascending; a tile without elements contributes nothing.
  [[nodiscard]] std::expected<std::vector<Fragment>, LayoutError> shard_extents() const;

  /// The largest number of elements one tile holds (allocated, so padding
  /// included), saturating at the largest unsigned 64-bit value.
  [[nodiscard]] std::uint64_t maximum_tile_elements() const noexcept;

  friend bool operator==(const ResolvedLayout&, const ResolvedLayout&) = default;
};

/// The two size figures of a resolution, computed without building it.
struct ShardSizes {
  /// `ResolvedLayout::maximum_tile_elements` of the resolution.
  std::uint64_t maximum_tile_elements = 0;
  /// The elements held over all tiles, padding included: `replication` times
  /// the product over the axes of the allocated sizes of the axis's shards
  /// summed, or the product of the shape for a flattened layout; saturating.
  std::uint64_t allocated_elements = 0;

  friend bool operator==(const ShardSizes&, const ShardSizes&) = default;
};

/// The size figures of `layout.resolve(shape)`, or nothing exactly when that
/// resolution fails. Costs a few operations per tiling instead of one per
/// shard, and allocates no shard lists.
[[nodiscard]] std::optional<ShardSizes> shard_sizes(const layout::Layout& layout, const graph::TensorShape& shape);

/// Whether the strides number the tiles as a plain mixed-radix count: sorted
/// ascending, the smallest divides `replication` and each next stride is the
/// previous one times its parts. A tiling without tilings is regular.
[[nodiscard]] bool has_regular_tile_mapping(const layout::TensorTiling& tiling,
                                            std::span<const std::uint32_t> strides);

/// Whether two tensor types place every element on the same tiles at the same
/// positions: equal shapes and tile counts, both resolve, neither flattened,
/// equal shard extents on every axis and equal strides on every cut axis.
/// Precision, order, memory class and replication are not compared.
///
/// This relation belongs with the lowering, but the program analysis, which sits
/// below the lowering, needs it too; it therefore lives here, with resolution.
[[nodiscard]] bool same_distribution(const layout::TensorType& a, const layout::TensorType& b);

[[nodiscard]] std::string dump(const ResolvedAxis& axis);
[[nodiscard]] std::string dump(const Fragment& fragment);
[[nodiscard]] std::string dump(const ResolvedLayout& layout);

}  // namespace vexa_codegen::mid::resolved
