// Layout resolution, second half: the shards of each axis, the resolution
// itself, and the size figures of a resolution in closed form.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "resolved_detail.hpp"
#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::layout {
namespace {

using detail::fail;
using detail::max_u16;
using detail::max_u32;

// The shards of one axis under one tiling. Everything that does not depend on
// the shard is checked and computed once, so that each shard then costs a few
// multiplications; `AxisTiling::shard_bounds` and resolution both go through it.
class AxisCut {
 public:
  // The cut of an axis whose padded extent is `padded_extent` and whose data
  // extent is `extent`, or the first rule of `tiling` that every shard breaks.
  static std::expected<AxisCut, LayoutError> make(const AxisTiling& tiling, std::uint32_t padded_extent,
                                                  std::uint32_t extent) {
    const std::uint64_t groups = tiling.groups;
    if (groups == 0 || tiling.parts == 0 || tiling.parts % groups != 0 || padded_extent % groups != 0 ||
        extent % groups != 0) {
      return fail(LayoutError::UnevenGroups{tiling.groups, tiling.parts, extent});
    }
    AxisCut cut;
    cut.tiling_ = &tiling;
    cut.per_group_ = tiling.parts / groups;
    const std::uint64_t group_padded = padded_extent / groups;
    cut.group_extent_ = extent / groups;
    if (tiling.panel == 0 || group_padded % tiling.panel != 0) {
      return fail(LayoutError::NotMultiple{static_cast<std::uint32_t>(group_padded), tiling.panel, tiling.axis});
    }
    if (tiling.shard_alignment == 0) {
      return fail(LayoutError::InvalidTiling{});
    }
    const std::uint64_t panels = group_padded / tiling.panel;
    cut.base_ = panels / cut.per_group_;
    cut.extra_ = panels % cut.per_group_;
    cut.small_ = cut.size_of(cut.base_);
    cut.large_ = cut.size_of(cut.base_ + 1);
    return cut;
  }

  // Shards in each group; part p is shard p mod this of group p / this.
  [[nodiscard]] std::uint64_t shards_per_group() const noexcept { return per_group_; }

  // The largest allocated shard size and the allocated sizes summed over every
  // shard, or nothing when some shard fails.
  [[nodiscard]] std::optional<std::pair<std::uint64_t, std::uint64_t>> totals() const {
    // Every group has shards of `base_` panels (`extra_` < `per_group_`) and,
    // when `extra_` is not 0, shards of one panel more. Among shards of one
    // size the later one ends further, and a later group further still, so
    // the last shard of each size in the last group has the furthest end.
    const std::uint64_t last_group = static_cast<std::uint64_t>(tiling_->groups) - 1;
    if (!bounds(last_group, per_group_ - 1)) {
      return std::nullopt;
    }
    if (extra_ == 0) {
      return std::pair{small_.allocated, tiling_->groups * per_group_ * small_.allocated};
    }
    if (!bounds(last_group, extra_ - 1)) {
      return std::nullopt;
    }
    return std::pair{std::max(small_.allocated, large_.allocated),
                     tiling_->groups * (extra_ * large_.allocated + (per_group_ - extra_) * small_.allocated)};
  }

  // The range of shard `index` of group `group`.
  [[nodiscard]] std::expected<ShardExtent, LayoutError> bounds(std::uint64_t group, std::uint64_t index) const {
    const Size& size = index < extra_ ? large_ : small_;
    if (size.misaligned) {
      return fail(LayoutError::MisalignedShard{static_cast<std::uint32_t>(size.elements), tiling_->shard_alignment});
    }
    const std::uint64_t shard_start = (index * base_ + std::min(extra_, index)) * tiling_->panel;
    const std::uint64_t offset = group * group_extent_;
    const std::uint64_t start = offset + shard_start;
    const std::uint64_t end = offset + std::max(shard_start, std::min(shard_start + size.elements, group_extent_));
    const std::uint64_t allocated_end = start + size.allocated;
    if (start > max_u32 || end > max_u32 || allocated_end > max_u32) {
      return fail(LayoutError::ExtentOverflow{tiling_->axis});
    }
    return ShardExtent{.start = static_cast<std::uint32_t>(start),
                       .end = static_cast<std::uint32_t>(end),
                       .allocated_end = static_cast<std::uint32_t>(allocated_end),
                       .axis = 0};
  }

 private:
  // A shard of some number of panels: its elements and its allocated size, or
  // whether an exact tiling refuses it as misaligned.
  struct Size {
    std::uint64_t elements = 0;
    std::uint64_t allocated = 0;
    bool misaligned = false;
  };

  [[nodiscard]] Size size_of(std::uint64_t panels) const {
    const std::uint64_t elements = panels * tiling_->panel;
    const std::uint64_t alignment = tiling_->shard_alignment;
    if (elements % alignment == 0) {
      return Size{elements, elements, false};
    }
    if (tiling_->padding == AxisPadding::Exact) {
      return Size{elements, elements, true};
    }
    return Size{elements, (elements / alignment + 1) * alignment, false};
  }

  const AxisTiling* tiling_ = nullptr;
  std::uint64_t per_group_ = 1;
  std::uint64_t group_extent_ = 0;
  std::uint64_t base_ = 0;   // panels of every shard
  std::uint64_t extra_ = 0;  // the first `extra_` shards of a group hold one panel more
  Size small_;
  Size large_;
};

// The tiling of `padding` that cuts each tensor axis, or nothing.
using CutOf = detail::ShortList<const AxisTiling*, 8>;

void cut_of_axes(const TensorTiling& tiling, const detail::Padding& padding, CutOf& cut_of) {
  for (std::size_t k = 0; k < tiling.axes.size(); ++k) {
    cut_of[padding.axis_of[k]] = &tiling.axes[k];
  }
}

}  // namespace

std::expected<ShardExtent, LayoutError> AxisTiling::shard_bounds(std::uint32_t padded_extent, std::uint32_t extent,
                                                                 std::uint16_t part) const {
  if (part >= parts) {
    return fail(LayoutError::UnevenGroups{groups, parts, extent});
  }
  const auto cut = AxisCut::make(*this, padded_extent, extent);
  if (!cut) {
    return std::unexpected(cut.error());
  }
  return cut->bounds(part / cut->shards_per_group(), part % cut->shards_per_group());
}

std::expected<resolved::ResolvedLayout, LayoutError> Layout::resolve(const graph::TensorShape& shape) const {
  const std::vector<std::uint32_t>& extents = shape.dimensions;
  if (tiling.tile_count == 0 || tiling.replication == 0) {
    return fail(LayoutError::EmptyTiling{});
  }
  resolved::ResolvedLayout result{.padded_shape = {},
                                  .shape = extents,
                                  .axes = {},
                                  .flattened = false,
                                  .flat_panel = 0,
                                  .tile_count = tiling.tile_count,
                                  .replication = tiling.replication};
  if (const AxisTiling* flat = detail::flattened_tiling(tiling)) {
    if (auto fits = detail::check_flattened(*flat, tiling.tile_count, extents); !fits) {
      return std::unexpected(fits.error());
    }
    result.padded_shape = extents;
    result.flattened = true;
    result.flat_panel = flat->panel;
    return result;
  }

  const std::size_t rank = extents.size();
  detail::Padding padding(rank, tiling.axes.size());
  if (auto padded = detail::pad(tiling, extents, padding); !padded) {
    return std::unexpected(padded.error());
  }
  result.padded_shape.assign(padding.padded.all().begin(), padding.padded.all().end());
  CutOf cut_of(rank, nullptr);
  cut_of_axes(tiling, padding, cut_of);

  result.axes.reserve(rank);
  for (std::size_t j = 0; j < rank; ++j) {
    if (j > max_u16) {
      return fail(LayoutError::ExtentOverflow{std::nullopt});
    }
    const auto axis_index = static_cast<std::uint16_t>(j);
    resolved::ResolvedAxis& axis = result.axes.emplace_back();
    const AxisTiling* cut = cut_of[j];
    if (cut == nullptr) {
      axis.extents.push_back(ShardExtent{.start = 0,
                                         .end = extents[j],
                                         .allocated_end = result.padded_shape[j],
                                         .axis = axis_index});
      axis.stride = 1;
      continue;
    }
    axis.stride = padding.strides[static_cast<std::size_t>(cut - tiling.axes.data())];
    const auto shards = AxisCut::make(*cut, result.padded_shape[j], extents[j]);
    if (!shards) {
      return std::unexpected(shards.error());
    }
    axis.extents.reserve(cut->parts);
    const std::uint64_t groups = cut->groups;
    for (std::uint64_t group = 0; group < groups; ++group) {
      for (std::uint64_t index = 0; index < shards->shards_per_group(); ++index) {
        auto bounds = shards->bounds(group, index);
        if (!bounds) {
          return std::unexpected(bounds.error());
        }
        bounds->axis = axis_index;
        axis.extents.push_back(*bounds);
      }
    }
  }
  return result;
}

}  // namespace vexa_codegen::mid::layout

namespace vexa_codegen::mid::resolved {

std::optional<ShardSizes> shard_sizes(const layout::Layout& layout, const graph::TensorShape& shape) {
  const layout::TensorTiling& tiling = layout.tiling;
  const std::vector<std::uint32_t>& extents = shape.dimensions;
  if (tiling.tile_count == 0 || tiling.replication == 0) {
    return std::nullopt;
  }
  if (const layout::AxisTiling* flat = layout::detail::flattened_tiling(tiling)) {
    if (!layout::detail::check_flattened(*flat, tiling.tile_count, extents)) {
      return std::nullopt;
    }
    std::uint64_t elements = 1;
    for (const std::uint32_t extent : extents) {
      elements = support::sat_mul(elements, extent);
    }
    const std::uint64_t panels = elements / flat->panel;
    return ShardSizes{
        .maximum_tile_elements = support::sat_mul(flat->panel, support::ceil_div(panels, tiling.tile_count)),
        .allocated_elements = elements};
  }

  const std::size_t rank = extents.size();
  if (rank > layout::detail::max_u16 + 1) {
    return std::nullopt;  // an axis index beyond 16 bits
  }
  layout::detail::Padding padding(rank, tiling.axes.size());
  if (!layout::detail::pad(tiling, extents, padding)) {
    return std::nullopt;
  }
  layout::CutOf cut_of(rank, nullptr);
  layout::cut_of_axes(tiling, padding, cut_of);
  ShardSizes sizes{.maximum_tile_elements = 1, .allocated_elements = tiling.replication};
  for (std::size_t j = 0; j < rank; ++j) {
    std::uint64_t largest = padding.padded[j];
    std::uint64_t total = padding.padded[j];
    if (const layout::AxisTiling* cut = cut_of[j]) {
      const auto shards = layout::AxisCut::make(*cut, padding.padded[j], extents[j]);
      if (!shards) {
        return std::nullopt;
      }
      const auto totals = shards->totals();
      if (!totals) {
        return std::nullopt;
      }
      std::tie(largest, total) = *totals;
    }
    sizes.maximum_tile_elements = support::sat_mul(sizes.maximum_tile_elements, largest);
    sizes.allocated_elements = support::sat_mul(sizes.allocated_elements, total);
  }
  return sizes;
}

}  // namespace vexa_codegen::mid::resolved
