#include "vexa_codegen/estimate/cycles.hpp"

#include <algorithm>

#include "vexa_codegen/estimate/movement.hpp"
#include "vexa_codegen/estimate/primitive.hpp"
#include "vexa_codegen/estimate/tensor.hpp"
#include "vexa_codegen/estimate/traffic.hpp"
#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::estimate::cycles {
namespace {

using layout::AmpOrder;
using layout::ElementOrder;
using support::ceil_div;
using support::sat_add;
using support::sat_mul;

// The largest allocated shard size of the last axis of `type`'s resolution, or
// `fallback` when the layout does not resolve, resolves flattened or has no axes.
std::uint64_t last_axis_width(const layout::TensorType& type, std::uint64_t fallback) {
  const auto resolved = type.format.layout.resolve(type.shape);
  if (!resolved || resolved->flattened || resolved->axes.empty()) {
    return fallback;
  }
  return resolved->axes.back().maximum_extent();
}

// The cast group that a source laid out in `order` implies, for E elements per
// shard and a last-axis shard width W.
std::uint64_t cast_group(const ElementOrder& order, std::uint64_t elements, std::uint64_t width) {
  if (order.is_row_major()) {
    return 0;
  }
  if (const auto* block = order.as_block_major()) {
    return block->column_block();
  }
  const std::uint64_t w = std::max<std::uint64_t>(width, 1);
  switch (*order.as_amp()) {
    case AmpOrder::Left: {
      const std::uint64_t rows = elements / w;
      return rows == 1 && w % 32 == 0 ? 0 : rows;
    }
    case AmpOrder::TransposedLeft: return w;
    case AmpOrder::TransposedRight: return 16;
    case AmpOrder::Output:
    case AmpOrder::TransposedOutput: return 0;
  }
  return 0;
}

// The largest `bytes` over every send and receive entry.
std::uint64_t largest_endpoint_bytes(const traffic::ExchangeEndpointTraffic& endpoints) {
  std::uint64_t largest = 0;
  for (const auto& entry : endpoints.sends) {
    largest = std::max(largest, entry.bytes);
  }
  for (const auto& entry : endpoints.receives) {
    largest = std::max(largest, entry.bytes);
  }
  return largest;
}

}  // namespace

std::string dump(const RearrangementCost& cost) {
  return support::RecordDump("RearrangementCost").field("cycles", cost.cycles).field("exchange", cost.exchange).str();
}

std::uint64_t CostModel::cast_format_cycles(const layout::TensorType& source, const layout::TensorFormat& target) const {
  const layout::TensorType laid_out{source.shape, layout::TensorFormat{source.format.precision, target.layout}};
  return cast_cycles(laid_out, target.precision);
}

std::uint64_t Vexa21CostModel::cast_cycles(const layout::TensorType& source, const layout::Precision& to) const {
  const std::uint64_t elements = ceil_div(tensor::maximum_shard_bytes(source), source.format.precision.element_bytes());
  const std::uint64_t width = last_axis_width(source, elements);
  const std::uint64_t group = cast_group(source.format.layout.order, elements, width);
  return primitive::cast_cycles(source.format.precision, to, elements, group);
}

RearrangementCost Vexa21CostModel::rearrangement_cost(const graph::TensorShape& shape,
                                                      const layout::Precision& precision,
                                                      operators::ConversionStrategy strategy,
                                                      const layout::Layout& from, const layout::Layout& to) const {
  using operators::ConversionStrategy;
  if (strategy == ConversionStrategy::ChangeOrder && !from.order.is_row_major() && !to.order.is_row_major()) {
    return RearrangementCost::none();
  }
  const auto measured = traffic::conversion_traffic(shape, precision, from, to);
  if (!measured) {
    return RearrangementCost::none();
  }

  const std::uint64_t largest = largest_endpoint_bytes(measured->endpoints);
  std::uint64_t exchange = largest == 0 ? 0 : sat_add(ceil_div(largest, 4), 600);
  if (strategy == ConversionStrategy::PreserveOrder && largest != 0) {
    const layout::TensorType source{shape, layout::TensorFormat{precision, from}};
    const layout::TensorType target{shape, layout::TensorFormat{precision, to}};
    if (const auto fragments = movement::grid_fragments(source, target)) {
      exchange = sat_add(std::max(ceil_div(largest, 4), sat_mul(std::max<std::uint64_t>(*fragments, 1), 160)), 600);
    }
  }

  std::uint64_t local_bytes = 0;
  std::uint64_t pieces = 0;
  if (strategy == ConversionStrategy::PreserveOrder) {
    local_bytes = measured->largest_local_bytes;
    pieces = measured->largest_local_pieces;
  } else {
    local_bytes = sat_mul(measured->largest_region_bytes, 2);
    pieces = measured->largest_region_pieces;
  }
  const std::uint64_t cycles = sat_add(sat_add(ceil_div(local_bytes, 8), sat_mul(288, pieces)), exchange);
  return {cycles, exchange};
}

}  // namespace vexa_codegen::estimate::cycles
