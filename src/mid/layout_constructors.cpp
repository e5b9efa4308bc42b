// The named layouts used across the planner. None validates its arguments:
// resolution against a shape rejects a layout that does not fit.
#include <limits>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::mid::layout {
namespace {

constexpr std::uint16_t max_tiles = std::numeric_limits<std::uint16_t>::max();

// One tiling with `groups` and `shard_alignment` 1; `panel` doubles as the
// padding multiple, as in every named layout.
AxisTiling cut(TensorAxis axis, std::uint16_t parts, std::uint32_t panel, AxisPadding padding,
               std::optional<std::uint16_t> tile_stride = std::nullopt) {
  return AxisTiling{.axis = axis,
                    .parts = parts,
                    .groups = 1,
                    .panel = panel,
                    .padding_multiple = panel,
                    .shard_alignment = 1,
                    .padding = padding,
                    .tile_stride = tile_stride};
}

// An unpadded cut into `parts` shards of whole elements.
AxisTiling exact(TensorAxis axis, std::uint16_t parts, std::optional<std::uint16_t> tile_stride = std::nullopt) {
  return cut(axis, parts, 1, AxisPadding::Exact, tile_stride);
}

// A cut whose shards are whole padded panels of `panel` elements.
AxisTiling padded(TensorAxis axis, std::uint16_t parts, std::uint32_t panel,
                  std::optional<std::uint16_t> tile_stride = std::nullopt) {
  return cut(axis, parts, panel, AxisPadding::Padded, tile_stride);
}

Layout make(ElementOrder order, std::vector<AxisTiling> axes, std::uint16_t tile_count, std::uint16_t replication,
            MemoryClass memory_class) {
  return Layout{.order = order,
                .tiling = TensorTiling{.axes = std::move(axes), .tile_count = tile_count, .replication = replication},
                .memory_class = memory_class};
}

// a x b, saturating at the largest tile count.
std::uint16_t saturating_tiles(std::uint16_t a, std::uint16_t b) {
  const std::uint32_t product = std::uint32_t{a} * std::uint32_t{b};
  return product > max_tiles ? max_tiles : static_cast<std::uint16_t>(product);
}

// a x b x c, or 0 when the product does not fit a tile count.
std::uint16_t tiles_or_zero(std::uint16_t a, std::uint16_t b, std::uint16_t c) {
  const std::uint64_t product = std::uint64_t{a} * std::uint64_t{b} * std::uint64_t{c};
  return product > max_tiles ? 0 : static_cast<std::uint16_t>(product);
}

TensorAxis trailing(std::uint16_t index) { return TensorAxis::trailing(index); }

Layout output_grid(ElementOrder order, std::uint32_t block, std::uint16_t tiles, std::uint16_t row_partitions,
                   std::uint16_t column_partitions, bool column_major) {
  if (row_partitions == tiles && block == 64 && column_partitions == 1) {
    return make(order, {exact(trailing(2), row_partitions), padded(trailing(1), 1, 64)}, row_partitions, 1,
                MemoryClass::Vexa21Interleaved);
  }
  return make(order,
              {padded(trailing(1), column_partitions, block, column_major ? row_partitions : std::uint16_t{1}),
               exact(trailing(2), row_partitions, column_major ? std::uint16_t{1} : column_partitions)},
              tiles, 1, MemoryClass::Vexa21Interleaved);
}

Layout transposed_output_grid(ElementOrder order, std::uint32_t block, std::uint16_t tiles,
                              std::uint16_t column_partitions, std::uint16_t row_partitions, bool column_major) {
  return make(order,
              {padded(trailing(2), row_partitions, block, column_major ? column_partitions : std::uint16_t{1}),
               exact(trailing(1), column_partitions, column_major ? std::uint16_t{1} : row_partitions)},
              tiles, 1, MemoryClass::Vexa21Interleaved);
}

// Block-major storage: the column tiling (explicit stride 1) on `column_axis`,
// the row tiling (panels of `row_block` rows) on `row_axis`.
Layout block_storage(BlockMajorOrder order, TensorAxis column_axis, TensorAxis row_axis, std::uint32_t column_panel,
                     std::uint16_t column_partitions, std::uint16_t row_partitions, std::uint16_t replication,
                     MemoryClass memory_class) {
  return make(ElementOrder::block_major(order),
              {padded(column_axis, column_partitions, column_panel, 1),
               padded(row_axis, row_partitions, order.row_block())},
              tiles_or_zero(column_partitions, row_partitions, replication), replication, memory_class);
}

}  // namespace

Layout Layout::row_sharded(std::uint16_t tiles) {
  return make(ElementOrder::row_major(), {exact(trailing(2), tiles)}, tiles, 1, MemoryClass::Vexa21Standard);
}

Layout Layout::attention_key(std::uint16_t batch_partitions, std::uint16_t sequence_partitions) {
  return make(ElementOrder::amp(AmpOrder::TransposedRight),
              {exact(trailing(3), batch_partitions, 1), padded(trailing(2), sequence_partitions, 64, batch_partitions),
               padded(trailing(1), 1, 16)},
              saturating_tiles(batch_partitions, sequence_partitions), 1, MemoryClass::Vexa21Standard);
}

Layout Layout::attention_output(std::uint16_t batch_partitions, std::uint16_t sequence_partitions) {
  return make(ElementOrder::row_major(),
              {exact(trailing(2), sequence_partitions, batch_partitions), exact(trailing(3), batch_partitions, 1),
               padded(trailing(1), 1, 16)},
              saturating_tiles(batch_partitions, sequence_partitions), 1, MemoryClass::Vexa21Standard);
}

Layout Layout::amp_output_grid(std::uint32_t block, std::uint16_t tiles, std::uint16_t row_partitions,
                               std::uint16_t column_partitions, bool column_major) {
  return output_grid(ElementOrder::amp(AmpOrder::Output), block, tiles, row_partitions, column_partitions,
                     column_major);
}

Layout Layout::amp_left_result_grid(std::uint32_t block, std::uint16_t tiles, std::uint16_t row_partitions,
                                    std::uint16_t column_partitions, bool column_major) {
  return output_grid(ElementOrder::amp(AmpOrder::Left), block, tiles, row_partitions, column_partitions,
                     column_major);
}

Layout Layout::amp_transposed_output_grid(std::uint32_t block, std::uint16_t tiles, std::uint16_t column_partitions,
                                          std::uint16_t row_partitions, bool column_major) {
  return transposed_output_grid(ElementOrder::amp(AmpOrder::TransposedOutput), block, tiles, column_partitions,
                                row_partitions, column_major);
}

Layout Layout::amp_transposed_left_result_grid(std::uint32_t block, std::uint16_t tiles,
                                               std::uint16_t column_partitions, std::uint16_t row_partitions,
                                               bool column_major) {
  return transposed_output_grid(ElementOrder::amp(AmpOrder::TransposedLeft), block, tiles, column_partitions,
                                row_partitions, column_major);
}

Layout Layout::amp_left_parallel_grid(std::uint32_t block, std::uint16_t tiles, std::uint16_t row_partitions,
                                      std::uint16_t replication, std::uint16_t column_partitions) {
  return make(ElementOrder::amp(AmpOrder::Left),
              {padded(trailing(1), column_partitions, block), exact(trailing(2), row_partitions)}, tiles, replication,
              MemoryClass::Vexa21Standard);
}

Layout Layout::amp_transposed_left_parallel_grid(std::uint32_t block, std::uint16_t tiles,
                                                 std::uint16_t row_partitions, std::uint16_t replication,
                                                 std::uint16_t column_partitions) {
  return make(ElementOrder::amp(AmpOrder::TransposedLeft),
              {padded(trailing(2), column_partitions, block), exact(trailing(1), row_partitions)}, tiles,
              replication, MemoryClass::Vexa21Standard);
}

Layout Layout::block_major_matrix_storage(std::uint16_t row_block, std::uint32_t column_panel,
                                          std::uint16_t column_partitions, std::uint16_t row_partitions,
                                          std::uint16_t replication, MemoryClass memory_class) {
  return block_storage(BlockMajorOrder::matrix(row_block, 16), trailing(1), trailing(2), column_panel,
                       column_partitions, row_partitions, replication, memory_class);
}

Layout Layout::transposed_block_major_matrix_storage(std::uint16_t row_block, std::uint32_t column_panel,
                                                     std::uint16_t column_partitions, std::uint16_t row_partitions,
                                                     std::uint16_t replication, MemoryClass memory_class) {
  return block_storage(BlockMajorOrder::transposed_matrix(row_block, 16), trailing(2), trailing(1), column_panel,
                       column_partitions, row_partitions, replication, memory_class);
}

}  // namespace vexa_codegen::mid::layout
