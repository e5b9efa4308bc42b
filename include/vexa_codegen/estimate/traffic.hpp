// Exchange traffic of a layout conversion.
//
// Converting a tensor from one layout to another moves pieces of it between
// tiles. This module measures that movement without pricing it: how many bytes
// in how many messages every tile sends and receives, how much of each
// destination shard a tile already holds, and how many source pieces meet one
// destination box. The cost model turns these measures into cycles.
//
// Replicas of a shard are grouped by box before anything is intersected, so the
// work grows with the number of distinct boxes rather than with the number of
// tiles, and a piece that several tiles receive from one sender is sent once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vexa_codegen/graph/shape.hpp"
#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::estimate::traffic {

/// The element range [first, second) along one axis.
using Range = std::pair<std::uint32_t, std::uint32_t>;

/// A box of a tensor: one range per tensor axis, in axis order.
using Box = std::vector<Range>;

/// What one tile sends or receives. Both figures saturate.
struct TileTraffic {
  std::uint64_t bytes = 0;
  std::uint64_t messages = 0;

  friend bool operator==(const TileTraffic&, const TileTraffic&) = default;
};

/// Traffic per tile, indexed by tile number. Each list is only as long as one
/// plus the highest tile that sends (respectively receives); tiles below it
/// without traffic hold zeros.
struct ExchangeEndpointTraffic {
  std::vector<TileTraffic> sends;
  std::vector<TileTraffic> receives;  ///< what a tile receives from other tiles

  friend bool operator==(const ExchangeEndpointTraffic&, const ExchangeEndpointTraffic&) = default;
};

/// The movement of one layout conversion.
struct ConversionTraffic {
  ExchangeEndpointTraffic endpoints;
  /// The most bytes that the source boxes overlapping one destination box contribute to it.
  std::uint64_t largest_region_bytes = 0;
  /// The most bytes one destination tile already holds of its own destination box.
  std::uint64_t largest_local_bytes = 0;
  /// The most distinct source boxes overlapping one destination box.
  std::uint64_t largest_region_pieces = 0;
  /// The most such pieces one destination tile already holds.
  std::uint64_t largest_local_pieces = 0;

  friend bool operator==(const ConversionTraffic&, const ConversionTraffic&) = default;
};

/// The boxes `layout` gives the tiles for `shape`, as (tile, box) in the order
/// of `Layout::shard_extents` (tile by tile), or nothing when the layout does
/// not fit the shape.
[[nodiscard]] std::optional<std::vector<std::pair<std::uint16_t, Box>>> layout_extents(
    const vexa_codegen::mid::layout::Layout& layout, const graph::TensorShape& shape);

/// The axis-wise intersection of two boxes, or nothing when they are disjoint on
/// some axis (or have different numbers of axes). Two boxes without axes
/// intersect in the box without axes.
[[nodiscard]] std::optional<Box> intersect_ranges(std::span<const Range> a, std::span<const Range> b);

/// The traffic of converting a tensor of `shape` and `precision` from the
/// `source` to the `target` layout, or nothing when either layout does not fit
/// the shape.
[[nodiscard]] std::optional<ConversionTraffic> conversion_traffic(const graph::TensorShape& shape,
                                                                  const vexa_codegen::mid::layout::Precision& precision,
                                                                  const vexa_codegen::mid::layout::Layout& source,
                                                                  const vexa_codegen::mid::layout::Layout& target);

[[nodiscard]] std::string dump(const TileTraffic& traffic);
[[nodiscard]] std::string dump(const ExchangeEndpointTraffic& traffic);
[[nodiscard]] std::string dump(const ConversionTraffic& traffic);

}  // namespace vexa_codegen::estimate::traffic
