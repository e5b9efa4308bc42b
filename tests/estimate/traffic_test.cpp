#include "vexa_codegen/estimate/traffic.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vexa_codegen::estimate::traffic {
namespace {

using graph::TensorShape;
using vexa_codegen::mid::layout::AxisTiling;
using vexa_codegen::mid::layout::ElementOrder;
using vexa_codegen::mid::layout::Layout;
using vexa_codegen::mid::layout::MemoryClass;
using vexa_codegen::mid::layout::Precision;
using vexa_codegen::mid::layout::TensorAxis;
using vexa_codegen::mid::layout::TensorTiling;

const TensorShape rows8{{8, 128}};

// Rows split into `parts` shards, each held by `replication` neighbouring tiles.
Layout replicated_rows(std::uint16_t parts, std::uint16_t replication) {
  Layout layout = Layout::row_sharded(parts);
  layout.tiling.tile_count = static_cast<std::uint16_t>(parts * replication);
  layout.tiling.replication = replication;
  return layout;
}

AxisTiling cut(TensorAxis axis, std::uint16_t parts, std::uint32_t panel) {
  return AxisTiling{.axis = axis,
                    .parts = parts,
                    .groups = 1,
                    .panel = panel,
                    .padding_multiple = 1,
                    .shard_alignment = 1,
                    .padding = vexa_codegen::mid::layout::AxisPadding::Exact,
                    .tile_stride = std::nullopt};
}

// Columns (the last axis) split over `parts` tiles.
Layout column_sharded(std::uint16_t parts) {
  const AxisTiling tiling = cut(TensorAxis::trailing(1), parts, 1);
  return Layout{ElementOrder::row_major(), TensorTiling{{tiling}, parts, 1}, MemoryClass::Vexa21Standard};
}

ExchangeEndpointTraffic endpoints(std::vector<TileTraffic> sends, std::vector<TileTraffic> receives) {
  return ExchangeEndpointTraffic{std::move(sends), std::move(receives)};
}

TEST(ConversionTraffic, RowShardsSplitInTwo) {
  const auto traffic = conversion_traffic(rows8, Precision::f16(), Layout::row_sharded(2), Layout::row_sharded(4));
  ASSERT_TRUE(traffic);
  // Tile 0 keeps rows 0 and 1 and sends rows 2 and 3; tile 1 sends both its halves.
  EXPECT_EQ(*traffic, (ConversionTraffic{
                          .endpoints = endpoints({{512, 1}, {1024, 2}}, {{0, 0}, {512, 1}, {512, 1}, {512, 1}}),
                          .largest_region_bytes = 512,
                          .largest_local_bytes = 512,
                          .largest_region_pieces = 1,
                          .largest_local_pieces = 1,
                      }))
      << dump(*traffic);
}

TEST(ConversionTraffic, IdenticalLayoutsMoveNothing) {
  const auto traffic = conversion_traffic(rows8, Precision::f16(), Layout::row_sharded(2), Layout::row_sharded(2));
  ASSERT_TRUE(traffic);
  EXPECT_EQ(*traffic, (ConversionTraffic{.endpoints = {},
                                         .largest_region_bytes = 1024,
                                         .largest_local_bytes = 1024,
                                         .largest_region_pieces = 1,
                                         .largest_local_pieces = 1}))
      << dump(*traffic);
}

TEST(ConversionTraffic, ReplicatedSourceSendsFromItsLowestTile) {
  // Rows 0-3 on tiles 0 and 1, rows 4-7 on tiles 2 and 3; the target wants
  // them on tiles 0 and 1. Tile 0 already holds its rows; tile 1 gets rows 4-7
  // from tile 2 alone.
  const auto traffic = conversion_traffic(rows8, Precision::f16(), replicated_rows(2, 2), Layout::row_sharded(2));
  ASSERT_TRUE(traffic);
  EXPECT_EQ(*traffic, (ConversionTraffic{
                          .endpoints = endpoints({{0, 0}, {0, 0}, {1024, 1}}, {{0, 0}, {1024, 1}}),
                          .largest_region_bytes = 1024,
                          .largest_local_bytes = 1024,
                          .largest_region_pieces = 1,
                          .largest_local_pieces = 1,
                      }))
      << dump(*traffic);
}

TEST(ConversionTraffic, ReplicatedTargetReceivesOneSendingEach) {
  // Tiles 2 and 3 both need rows 4-7 from tile 1: received twice, sent once.
  const auto traffic = conversion_traffic(rows8, Precision::f16(), Layout::row_sharded(2), replicated_rows(2, 2));
  ASSERT_TRUE(traffic);
  EXPECT_EQ(traffic->endpoints,
            endpoints({{1024, 1}, {1024, 1}}, {{0, 0}, {1024, 1}, {1024, 1}, {1024, 1}}))
      << dump(*traffic);
  EXPECT_EQ(traffic->largest_local_bytes, 1024u);
}

TEST(ConversionTraffic, RowsToColumnsMeetsTwoPiecesPerBox) {
  const auto traffic = conversion_traffic(rows8, Precision::f16(), Layout::row_sharded(2), column_sharded(2));
  ASSERT_TRUE(traffic);
  EXPECT_EQ(*traffic, (ConversionTraffic{
                          .endpoints = endpoints({{512, 1}, {512, 1}}, {{512, 1}, {512, 1}}),
                          .largest_region_bytes = 1024,
                          .largest_local_bytes = 512,
                          .largest_region_pieces = 2,
                          .largest_local_pieces = 1,
                      }))
      << dump(*traffic);
}

TEST(ConversionTraffic, FlattenedSourceHoldsSeveralBoxesPerTile) {
  // [2, 3, 8] in panels of one row over 4 tiles: tile 0 holds rows (0, 0) and
  // (0, 1), tile 1 rows (0, 2) and (1, 0), tile 2 row (1, 1), tile 3 row (1, 2).
  // The target gives tile k the rows (0, k) and (1, k); one row is 16 bytes.
  const AxisTiling flat = cut(TensorAxis::flattened(), 4, 8);
  const Layout flattened{ElementOrder::row_major(), TensorTiling{{flat}, 4, 1}, MemoryClass::Vexa21Standard};
  const auto traffic = conversion_traffic(TensorShape{{2, 3, 8}}, Precision::f16(), flattened, Layout::row_sharded(3));
  ASSERT_TRUE(traffic);
  EXPECT_EQ(*traffic, (ConversionTraffic{
                          .endpoints = endpoints({{16, 1}, {32, 2}, {16, 1}, {16, 1}}, {{16, 1}, {32, 2}, {32, 2}}),
                          .largest_region_bytes = 32,
                          .largest_local_bytes = 16,
                          .largest_region_pieces = 2,
                          .largest_local_pieces = 1,
                      }))
      << dump(*traffic);
}

TEST(ConversionTraffic, AbsentWhenEitherLayoutDoesNotFit) {
  EXPECT_FALSE(conversion_traffic(rows8, Precision::f16(), Layout::row_sharded(0), Layout::row_sharded(2)));
  EXPECT_FALSE(conversion_traffic(rows8, Precision::f16(), Layout::row_sharded(2), Layout::row_sharded(0)));
}

TEST(ConversionTraffic, DumpsAsRecords) {
  const ConversionTraffic traffic{.endpoints = endpoints({{512, 1}}, {}), .largest_region_bytes = 512};
  EXPECT_EQ(dump(traffic),
            "ConversionTraffic { endpoints: ExchangeEndpointTraffic { sends: [TileTraffic { bytes: 512, messages: 1 "
            "}], receives: [] }, largest_region_bytes: 512, largest_local_bytes: 0, largest_region_pieces: 0, "
            "largest_local_pieces: 0 }");
}

TEST(LayoutExtents, ListsEveryTileWithItsBox) {
  const auto extents = layout_extents(Layout::row_sharded(2), rows8);
  ASSERT_TRUE(extents);
  const std::vector<std::pair<std::uint16_t, Box>> expected{{0, {{0, 4}, {0, 128}}}, {1, {{4, 8}, {0, 128}}}};
  EXPECT_EQ(*extents, expected);
  EXPECT_FALSE(layout_extents(Layout::row_sharded(0), rows8));
}

TEST(IntersectRanges, Cases) {
  EXPECT_EQ(intersect_ranges(Box{{0, 4}, {0, 128}}, Box{{2, 8}, {64, 256}}), (Box{{2, 4}, {64, 128}}));
  EXPECT_EQ(intersect_ranges(Box{{0, 4}, {0, 128}}, Box{{4, 8}, {0, 128}}), std::nullopt);  // touching only
  EXPECT_EQ(intersect_ranges(Box{{0, 4}, {0, 8}}, Box{{0, 4}, {8, 16}}), std::nullopt);    // apart on the last axis
  EXPECT_EQ(intersect_ranges(Box{}, Box{}), Box{});
  EXPECT_EQ(intersect_ranges(Box{{0, 4}}, Box{{0, 4}, {0, 4}}), std::nullopt);
}

}  // namespace
}  // namespace vexa_codegen::estimate::traffic
