// Draws tensor types from a fuzzer's input: precisions, element orders, shapes
// and layouts, either through the named layout constructors (the layouts the
// planner builds) or as raw tilings with any field values. Raw tilings take
// their tile count from the product of their parts most of the time, so that
// many of them pass the tile-count check and reach the deeper rules of
// resolution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "support.hpp"
#include "vexa_codegen/graph/shape.hpp"
#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::fuzz {

namespace layout = vexa_codegen::mid::layout;

inline layout::Precision draw_precision(ByteSource& in) {
  switch (in.choice(3)) {
    case 0:
      return layout::Precision::f8f143(static_cast<std::int8_t>(in.byte()));
    case 1:
      return layout::Precision::f16();
    default:
      return layout::Precision::f32();
  }
}

/// A block size: mostly one of the sizes the planner uses, sometimes any 16 bits.
inline std::uint16_t draw_block(ByteSource& in) {
  constexpr std::uint16_t common[] = {16, 32, 64, 128, 8, 48, 1, 0};
  const std::uint8_t pick = in.byte();
  return pick < 8 * 24 ? common[pick % 8] : in.number<std::uint16_t>();
}

inline layout::ElementOrder draw_order(ByteSource& in) {
  switch (in.choice(3)) {
    case 0:
      return layout::ElementOrder::row_major();
    case 1: {
      const bool transposed = in.flag();
      const std::uint16_t rows = draw_block(in);
      const std::uint16_t columns = in.flag() ? std::uint16_t{16} : draw_block(in);
      return layout::ElementOrder::block_major(transposed ? layout::BlockMajorOrder::transposed_matrix(rows, columns)
                                                          : layout::BlockMajorOrder::matrix(rows, columns));
    }
    default:
      return layout::ElementOrder::amp(static_cast<layout::AmpOrder>(in.choice(5)));
  }
}

/// A partition count no larger than `limit` most of the time, any 16 bits otherwise.
inline std::uint16_t draw_parts(ByteSource& in, std::uint16_t limit) {
  const std::uint8_t kind = in.byte();
  if (kind % 16 == 0) {
    return in.number<std::uint16_t>();
  }
  return static_cast<std::uint16_t>(in.choice(std::size_t{limit} + 1));
}

inline graph::TensorShape draw_shape(ByteSource& in, std::size_t max_rank) {
  graph::TensorShape shape;
  const std::size_t rank = in.choice(max_rank + 1);
  for (std::size_t i = 0; i < rank; ++i) {
    shape.dimensions.push_back(in.extent());
  }
  return shape;
}

inline layout::TensorAxis draw_axis(ByteSource& in) {
  switch (in.choice(9)) {
    case 0:
      return layout::TensorAxis::flattened();
    case 1:
    case 2:
    case 3:
      return layout::TensorAxis::leading(static_cast<std::uint16_t>(in.choice(6)));
    case 4:
      return layout::TensorAxis::leading(in.number<std::uint16_t>());
    default:
      return layout::TensorAxis::trailing(static_cast<std::uint16_t>(in.choice(7)));
  }
}

/// A small 32-bit figure (panel, multiple, alignment): mostly a power of two
/// up to 128, sometimes 0, 3 or any 32 bits.
inline std::uint32_t draw_multiple(ByteSource& in) {
  const std::uint8_t pick = in.byte();
  if (pick < 200) {
    return std::uint32_t{1} << (pick % 8);
  }
  switch (pick % 4) {
    case 0:
      return 0;
    case 1:
      return 3;
    default:
      return in.extent();
  }
}

inline layout::AxisTiling draw_axis_tiling(ByteSource& in, std::uint16_t tile_limit) {
  layout::AxisTiling tiling;
  tiling.axis = draw_axis(in);
  tiling.parts = draw_parts(in, tile_limit);
  tiling.groups = in.byte() < 224 ? std::uint16_t{1} : draw_parts(in, 4);
  tiling.panel = draw_multiple(in);
  tiling.padding_multiple = draw_multiple(in);
  tiling.shard_alignment = in.byte() < 192 ? 1U : draw_multiple(in);
  tiling.padding = in.flag() ? layout::AxisPadding::Padded : layout::AxisPadding::Exact;
  if (in.byte() >= 192) {
    tiling.tile_stride = draw_parts(in, tile_limit);
  }
  return tiling;
}

/// A raw tiling of up to four axis tilings.
inline layout::TensorTiling draw_tiling(ByteSource& in, std::uint16_t tile_limit) {
  layout::TensorTiling tiling;
  const std::size_t count = in.choice(5);
  for (std::size_t i = 0; i < count; ++i) {
    tiling.axes.push_back(draw_axis_tiling(in, tile_limit));
  }
  tiling.replication = in.byte() < 200 ? std::uint16_t{1} : draw_parts(in, 4);
  if (in.byte() < 224) {
    std::uint64_t product = tiling.replication;
    for (const auto& axis : tiling.axes) {
      product *= axis.parts;
      product = product > 0xFFFF ? 0 : product;
    }
    tiling.tile_count = static_cast<std::uint16_t>(product);
  } else {
    tiling.tile_count = draw_parts(in, tile_limit);
  }
  return tiling;
}

/// A layout made by one of the named constructors, with drawn arguments.
inline layout::Layout draw_constructed_layout(ByteSource& in, std::uint16_t tile_limit) {
  const auto parts = [&] { return draw_parts(in, tile_limit); };
  const auto memory = [&] {
    return in.flag() ? layout::MemoryClass::Vexa21Interleaved : layout::MemoryClass::Vexa21Standard;
  };
  const auto block = [&] { return draw_multiple(in); };
  switch (in.choice(11)) {
    case 0:
      return layout::Layout::row_sharded(parts());
    case 1:
      return layout::Layout::attention_key(parts(), parts());
    case 2:
      return layout::Layout::attention_output(parts(), parts());
    case 3:
      return layout::Layout::amp_output_grid(block(), parts(), parts(), parts(), in.flag());
    case 4:
      return layout::Layout::amp_left_result_grid(block(), parts(), parts(), parts(), in.flag());
    case 5:
      return layout::Layout::amp_transposed_output_grid(block(), parts(), parts(), parts(), in.flag());
    case 6:
      return layout::Layout::amp_transposed_left_result_grid(block(), parts(), parts(), parts(), in.flag());
    case 7:
      return layout::Layout::amp_left_parallel_grid(block(), parts(), parts(), parts(), parts());
    case 8:
      return layout::Layout::amp_transposed_left_parallel_grid(block(), parts(), parts(), parts(), parts());
    case 9:
      return layout::Layout::block_major_matrix_storage(draw_block(in), block(), parts(), parts(), parts(), memory());
    default:
      return layout::Layout::transposed_block_major_matrix_storage(draw_block(in), block(), parts(), parts(), parts(),
                                                                   memory());
  }
}

/// A layout: a named constructor's, or a raw tiling with a drawn order and memory class.
inline layout::Layout draw_layout(ByteSource& in, std::uint16_t tile_limit) {
  if (in.flag()) {
    return draw_constructed_layout(in, tile_limit);
  }
  layout::Layout result;
  result.order = draw_order(in);
  result.tiling = draw_tiling(in, tile_limit);
  result.memory_class = in.flag() ? layout::MemoryClass::Vexa21Interleaved : layout::MemoryClass::Vexa21Standard;
  return result;
}

inline layout::TensorFormat draw_format(ByteSource& in, std::uint16_t tile_limit) {
  layout::TensorFormat format;
  format.precision = draw_precision(in);
  format.layout = draw_layout(in, tile_limit);
  return format;
}

}  // namespace vexa_codegen::fuzz
