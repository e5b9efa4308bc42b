#include "vexa_codegen/estimate/movement.hpp"

#include <algorithm>
#include <cstddef>

#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/storage.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::estimate::movement {

using vexa_codegen::mid::layout::AmpOrder;
using vexa_codegen::mid::layout::TensorType;
using support::ceil_div;
using support::sat_add;
using support::sat_mul;

namespace {

// The saturating product of the largest range of every axis; an axis without
// ranges makes it 0.
std::uint64_t extent_product(std::span<const AxisRanges> axes) noexcept {
  std::uint64_t product = 1;
  for (const auto& axis : axes) {
    std::uint32_t largest = 0;
    for (const auto& [start, end] : axis) {
      largest = std::max(largest, end > start ? end - start : 0);
    }
    product = axis.empty() ? 0 : sat_mul(product, largest);
  }
  return product;
}

// The (start, allocated end) ranges of every axis of the type's resolved
// layout; nothing when it does not resolve or resolves flattened.
std::optional<std::vector<AxisRanges>> allocated_ranges(const TensorType& type) {
  const auto resolved = type.format.layout.resolve(type.shape);
  if (!resolved || resolved->flattened) {
    return std::nullopt;
  }
  std::vector<AxisRanges> axes;
  axes.reserve(resolved->axes.size());
  for (const auto& axis : resolved->axes) {
    AxisRanges& ranges = axes.emplace_back();
    ranges.reserve(axis.extents.size());
    for (const auto& extent : axis.extents) {
      ranges.emplace_back(extent.start, extent.allocated_end);
    }
  }
  return axes;
}

// Views the ranges of a matrix-unit order in storage order: its last axis is
// stored as vectors of `width` elements, outermost, each holding `width`
// contiguous elements. False when some last-axis range is not whole vectors.
bool to_vector_order(std::vector<AxisRanges>& axes, std::uint32_t width) {
  if (axes.empty()) {
    return false;
  }
  AxisRanges vectors = std::move(axes.back());
  axes.pop_back();
  for (auto& [start, end] : vectors) {
    if (start % width != 0 || end % width != 0) {
      return false;
    }
    start /= width;
    end /= width;
  }
  axes.insert(axes.begin(), std::move(vectors));
  axes.push_back(AxisRanges{Range{0, width}});
  return true;
}

}  // namespace

std::uint64_t endpoint_fragments(std::span<const AxisRanges> a, std::span<const AxisRanges> b,
                                 std::uint64_t element_bytes) noexcept {
  // The innermost axis on which the two sides are cut differently decides
  // where runs end; the axes inside it form one contiguous block.
  std::size_t axis = std::min(a.size(), b.size());
  while (axis > 0 && a[axis - 1] == b[axis - 1]) {
    --axis;
  }
  if (axis == 0) {
    return ceil_div(sat_mul(element_bytes, extent_product(a)), fragment_bytes);
  }
  const std::size_t k = axis - 1;
  const std::uint64_t block = sat_mul(element_bytes, extent_product(a.subspan(k + 1)));
  const AxisRanges& ours = a[k];
  const AxisRanges& theirs = b[k];
  std::uint64_t largest = 0;
  std::size_t cursor = 0;
  for (const auto& [s0, s1] : ours) {
    while (cursor < theirs.size() && theirs[cursor].second <= s0) {
      ++cursor;
    }
    if (cursor == theirs.size()) {
      break;
    }
    std::uint64_t count = 0;
    for (std::size_t j = cursor; j < theirs.size() && theirs[j].first < s1; ++j) {
      const std::uint32_t lo = std::max(theirs[j].first, s0);
      const std::uint32_t hi = std::min(theirs[j].second, s1);
      const std::uint64_t overlap = hi > lo ? hi - lo : 0;
      count = sat_add(count, ceil_div(sat_mul(block, overlap), fragment_bytes));
    }
    largest = std::max(largest, count);
  }
  return sat_mul(largest, extent_product(a.first(k)));
}

std::optional<std::uint64_t> grid_fragments(const TensorType& source, const TensorType& target) {
  const auto& order = source.format.layout.order;
  if (source.shape != target.shape || source.format.precision != target.format.precision ||
      order != target.format.layout.order) {
    return std::nullopt;
  }
  auto from = allocated_ranges(source);
  auto to = allocated_ranges(target);
  if (!from || !to) {
    return std::nullopt;
  }
  const std::uint64_t element_bytes = source.format.precision.element_bytes();
  if (*from == *to) {
    return endpoint_fragments(*from, *to, element_bytes);
  }
  if (order.is_amp()) {
    std::uint32_t width = 0;
    if (order.is_amp(AmpOrder::Left)) {
      width = storage::vector_width(source.format.precision);
    } else if (order.is_amp(AmpOrder::Output)) {
      width = 16;
    } else {
      return std::nullopt;
    }
    if (!to_vector_order(*from, width) || !to_vector_order(*to, width)) {
      return std::nullopt;
    }
  } else if (!order.is_row_major()) {
    return std::nullopt;
  }
  return std::max(endpoint_fragments(*from, *to, element_bytes), endpoint_fragments(*to, *from, element_bytes));
}

}  // namespace vexa_codegen::estimate::movement
