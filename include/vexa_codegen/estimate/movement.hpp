// Fragment counts of data movement between tiles.
//
// The exchange moves data in contiguous fragments of at most `fragment_bytes`
// bytes. When a tensor is rearranged from one tiling to another, every shard is
// cut where the ranges of the other side begin and end; this module counts the
// fragments that result on the busier side.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::estimate::movement {

/// The largest number of bytes one fragment of the exchange carries.
inline constexpr std::uint64_t fragment_bytes = 16592;

/// The element range [first, second) of one shard along one axis.
using Range = std::pair<std::uint32_t, std::uint32_t>;

/// The shard ranges of one axis, in shard order.
using AxisRanges = std::vector<Range>;

/// The fragment count of rearranging a tensor from the `source` to the `target`
/// type: the number of contiguous pieces of at most `fragment_bytes` into which
/// the largest shard is cut, on the sending or the receiving side, whichever
/// has more. Nothing when the types are not comparable this way: different
/// shapes, precisions or element orders, a layout that does not resolve or
/// resolves flattened, or an element order whose storage the count does not
/// model (block-major and the transposed matrix-unit orders, unless both sides
/// have the very same shards; matrix-unit left and result orders whose last-axis
/// shards are not whole vectors).
[[nodiscard]] std::optional<std::uint64_t> grid_fragments(const vexa_codegen::mid::layout::TensorType& source,
                                                          const vexa_codegen::mid::layout::TensorType& target);

/// The fragments one side `a` of an exchange is cut into when it meets the
/// other side `b`: each contiguous run of the innermost differing axis that one
/// range of `a` shares with one range of `b` counts ceil(bytes /
/// `fragment_bytes`), every index of the outer axes is a separate run, and the
/// largest range of `a` decides. `a` and `b` list the shard ranges of each axis
/// in ascending order; `element_bytes` is the size of one element.
[[nodiscard]] std::uint64_t endpoint_fragments(std::span<const AxisRanges> a, std::span<const AxisRanges> b,
                                               std::uint64_t element_bytes) noexcept;

}  // namespace vexa_codegen::estimate::movement
