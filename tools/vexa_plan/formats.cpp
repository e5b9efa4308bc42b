#include "formats.hpp"

#include <algorithm>
#include <limits>

#include "text_forms.hpp"

namespace vexa_plan {
namespace {

namespace graph = vexa_codegen::graph;
using layout::Layout;
using layout::Precision;
using layout::TensorFormat;

// The full form of a layout: element order, memory class, tile count,
// replication and the list of axis tilings.
Result<layout::AxisTiling> read_axis_tiling(const Node& node) {
  if (auto object = expect_object(node, {"axis", "parts", "groups", "panel", "padding_multiple", "shard_alignment",
                                         "padding", "tile_stride"});
      !object) {
    return std::unexpected(object.error());
  }
  const auto axis_node = required(node, "axis");
  if (!axis_node) {
    return std::unexpected(axis_node.error());
  }
  const auto axis = read_text_form(*axis_node, parse_axis);
  const auto parts = optional_unsigned<std::uint16_t>(node, "parts", 1);
  const auto groups = optional_unsigned<std::uint16_t>(node, "groups", 1);
  const auto panel = optional_unsigned<std::uint32_t>(node, "panel", 1);
  const auto padding_multiple = optional_unsigned<std::uint32_t>(node, "padding_multiple", 1);
  const auto shard_alignment = optional_unsigned<std::uint32_t>(node, "shard_alignment", 1);
  const auto padding = optional_text_form(node, "padding", parse_padding, layout::AxisPadding::Exact);
  if (auto fault = first_fault(axis, parts, groups, panel, padding_multiple, shard_alignment, padding)) {
    return std::unexpected(*fault);
  }
  layout::AxisTiling tiling{*axis, *parts, *groups, *panel, *padding_multiple, *shard_alignment, *padding, {}};
  if (const auto stride = node.find("tile_stride"); stride && !stride->json().is_null()) {
    const auto value = read_unsigned_as<std::uint16_t>(*stride);
    if (!value) {
      return std::unexpected(value.error());
    }
    tiling.tile_stride = *value;
  }
  return tiling;
}

Result<Layout> read_full_layout(const Node& node) {
  if (auto object = expect_object(node, {"order", "memory_class", "tile_count", "replication", "axes"}); !object) {
    return std::unexpected(object.error());
  }
  const auto order = optional_text_form(node, "order", parse_element_order, layout::ElementOrder::row_major());
  const auto memory_class =
      optional_text_form(node, "memory_class", parse_memory_class, layout::MemoryClass::Vexa21Standard);
  const auto replication = optional_unsigned<std::uint16_t>(node, "replication", 1);
  if (auto fault = first_fault(order, memory_class, replication)) {
    return std::unexpected(*fault);
  }
  Layout result{*order, layout::TensorTiling{{}, 0, *replication}, *memory_class};
  std::uint64_t product = *replication;
  if (const auto axes = node.find("axes")) {
    if (auto is_array = expect_array(*axes); !is_array) {
      return std::unexpected(is_array.error());
    }
    for (std::size_t i = 0; i < axes->json().size(); ++i) {
      auto tiling = read_axis_tiling(axes->element(i));
      if (!tiling) {
        return std::unexpected(tiling.error());
      }
      product = std::min<std::uint64_t>(product * tiling->parts, std::uint64_t{1} << 32);
      result.tiling.axes.push_back(std::move(*tiling));
    }
  }
  if (const auto tile_count = node.find("tile_count")) {
    const auto value = read_unsigned_as<std::uint16_t>(*tile_count);
    if (!value) {
      return std::unexpected(value.error());
    }
    result.tiling.tile_count = *value;
  } else if (product > std::numeric_limits<std::uint16_t>::max()) {
    return std::unexpected(node.fault("replication times the parts of every axis is " + std::to_string(product) +
                                      ", more tiles than a layout can name; give tile_count"));
  } else {
    result.tiling.tile_count = static_cast<std::uint16_t>(product);
  }
  return result;
}

}  // namespace

Result<graph::TensorShape> read_shape(const Node& node) {
  if (auto is_array = expect_array(node); !is_array) {
    return std::unexpected(is_array.error());
  }
  graph::TensorShape shape;
  for (std::size_t i = 0; i < node.json().size(); ++i) {
    const auto extent = read_unsigned_as<std::uint32_t>(node.element(i));
    if (!extent) {
      return std::unexpected(extent.error());
    }
    shape.dimensions.push_back(*extent);
  }
  return shape;
}

Result<Layout> read_layout(const Node& node) {
  if (node.json().is_string()) {
    return read_text_form(node, parse_layout_call);
  }
  if (node.json().is_object()) {
    return read_full_layout(node);
  }
  return std::unexpected(node.expected("a layout constructor call such as \"row_sharded(64)\" or a layout object"));
}

// A format object `{ "precision": ..., "layout": ... }`; each part has a default.
Result<TensorFormat> read_format(const Node& node, std::uint16_t tiles, Fields allowed) {
  if (auto object = expect_object(node, allowed); !object) {
    return std::unexpected(object.error());
  }
  const auto precision = optional_text_form(node, "precision", parse_precision, Precision::f16());
  if (!precision) {
    return std::unexpected(precision.error());
  }
  TensorFormat format{*precision, Layout::row_sharded(tiles)};
  if (const auto layout_node = node.find("layout")) {
    auto value = read_layout(*layout_node);
    if (!value) {
      return std::unexpected(value.error());
    }
    format.layout = std::move(*value);
  }
  return format;
}

}  // namespace vexa_plan
