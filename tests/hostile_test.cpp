// Legal inputs at the edges of what the planner accepts, each of which once
// made it crash, stop or run for a very long time: they must finish with the
// answer their functions promise.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vexa_codegen/estimate/traffic.hpp"
#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen {
namespace {

namespace layout = mid::layout;
using estimate::traffic::TileTraffic;

// A flattened layout over `tiles` tiles dealing out panels of `panel` elements.
layout::Layout flattened(std::uint16_t tiles, std::uint32_t panel) {
  layout::AxisTiling tiling;
  tiling.axis = layout::TensorAxis::flattened();
  tiling.panel = panel;
  return {layout::ElementOrder::row_major(), {{tiling}, tiles, 1}, layout::MemoryClass::Vexa21Standard};
}

// The whole tensor on one tile.
layout::Layout whole() {
  return {layout::ElementOrder::row_major(), {{}, 1, 1}, layout::MemoryClass::Vexa21Standard};
}

struct TrafficCase {
  std::string name;
  layout::Layout source;
  layout::Layout target;
  std::vector<TileTraffic> sends;
  std::vector<TileTraffic> receives;
  std::uint64_t largest_region_bytes;
  std::uint64_t largest_local_bytes;
  std::uint64_t largest_region_pieces;
  std::uint64_t largest_local_pieces;
};

class FlattenedTraffic : public ::testing::TestWithParam<TrafficCase> {};

// A flattened layout cuts a [2, 6700, 16] 8-bit tensor into one box per row,
// 13400 boxes that differ on the second axis only. Measuring the traffic once
// compared every box with every other; it must stay proportional to the boxes.
TEST_P(FlattenedTraffic, RowBoxesAreMatchedRowByRow) {
  const TrafficCase& c = GetParam();
  const graph::TensorShape shape{{2, 6700, 16}};
  const auto traffic =
      estimate::traffic::conversion_traffic(shape, layout::Precision::f8f143(0), c.source, c.target);
  ASSERT_TRUE(traffic.has_value());
  EXPECT_EQ(traffic->endpoints.sends, c.sends);
  EXPECT_EQ(traffic->endpoints.receives, c.receives);
  EXPECT_EQ(traffic->largest_region_bytes, c.largest_region_bytes);
  EXPECT_EQ(traffic->largest_local_bytes, c.largest_local_bytes);
  EXPECT_EQ(traffic->largest_region_pieces, c.largest_region_pieces);
  EXPECT_EQ(traffic->largest_local_pieces, c.largest_local_pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, FlattenedTraffic,
    ::testing::Values(
        // Every row box meets only itself, on the tile that holds it: 16 bytes, one piece, all local.
        TrafficCase{"SameLayout", flattened(1, 2), flattened(1, 2), {}, {}, 16, 16, 1, 1},
        // Tile 0 holds rows 0 to 6699, tile 1 the other 6700; gathering everything on
        // tile 0 moves tile 1's rows, one message of 16 bytes each.
        TrafficCase{"GatherOnOneTile",
                    flattened(2, 16),
                    whole(),
                    {{0, 0}, {6700 * 16, 6700}},
                    {{6700 * 16, 6700}},
                    2 * 6700 * 16,
                    6700 * 16,
                    13400,
                    6700}),
    [](const ::testing::TestParamInfo<TrafficCase>& param) { return param.param.name; });

}  // namespace
}  // namespace vexa_codegen
