#include "vexa_codegen/mid/resolved.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::resolved {
namespace {

using graph::TensorShape;
using layout::AxisPadding;
using layout::AxisTiling;
using layout::ElementOrder;
using layout::Layout;
using layout::MemoryClass;
using layout::Precision;
using layout::TensorAxis;
using layout::TensorFormat;
using layout::TensorTiling;
using layout::TensorType;
using E = LayoutError;

constexpr std::uint32_t max_u32 = std::numeric_limits<std::uint32_t>::max();

TensorAxis lead(std::uint16_t i) { return TensorAxis::leading(i); }
TensorAxis trail(std::uint16_t i) { return TensorAxis::trailing(i); }

// An exact cut into `parts` shards of whole elements.
AxisTiling cut(TensorAxis axis, std::uint16_t parts, std::optional<std::uint16_t> stride = std::nullopt) {
  return AxisTiling{.axis = axis, .parts = parts, .tile_stride = stride};
}

Layout tiled(std::vector<AxisTiling> axes, std::uint16_t tile_count, std::uint16_t replication = 1) {
  return Layout{.order = ElementOrder::row_major(),
                .tiling = TensorTiling{.axes = std::move(axes), .tile_count = tile_count, .replication = replication},
                .memory_class = MemoryClass::Vexa21Standard};
}

Layout flat(std::uint32_t panel, std::uint16_t tiles) {
  return tiled({AxisTiling{.axis = TensorAxis::flattened(), .parts = tiles, .panel = panel}}, tiles);
}

ShardExtent extent(std::uint32_t start, std::uint32_t end, std::uint32_t allocated_end, std::uint16_t axis) {
  return ShardExtent{.start = start, .end = end, .allocated_end = allocated_end, .axis = axis};
}

// ---- strides and tile numbering ---------------------------------------------

TEST(AxisStrides, ImplicitStridesMultiplyReplicationAndEarlierParts) {
  const TensorTiling tiling{.axes = {cut(trail(1), 3), cut(trail(2), 4, 1), cut(trail(3), 5)},
                            .tile_count = 120,
                            .replication = 2};
  EXPECT_EQ(tiling.axis_strides(), (std::vector<std::uint32_t>{2, 1, 24}));

  const TensorTiling zero{.axes = {cut(trail(1), 2, 0)}, .tile_count = 2, .replication = 1};
  EXPECT_EQ(zero.axis_strides(), std::unexpected(E{E::InvalidTiling{}}));
  const TensorTiling wide{.axes = {cut(trail(1), 65535), cut(trail(2), 2)}, .tile_count = 1, .replication = 65535};
  EXPECT_EQ(wide.axis_strides(), std::unexpected(E{E::TileOverflow{}}));
}

TEST(RegularTileMapping, StridesMustFormAMixedRadixCount) {
  const auto regular = [](std::vector<AxisTiling> axes, std::uint16_t replication,
                          std::vector<std::uint32_t> strides) {
    const TensorTiling tiling{.axes = std::move(axes), .tile_count = 0, .replication = replication};
    return has_regular_tile_mapping(tiling, strides);
  };
  EXPECT_TRUE(regular({}, 1, {}));
  EXPECT_TRUE(regular({cut(trail(1), 2), cut(trail(2), 3)}, 1, {1, 2}));
  EXPECT_TRUE(regular({cut(trail(1), 2), cut(trail(2), 3)}, 1, {3, 1}));      // order of the list does not matter
  EXPECT_TRUE(regular({cut(trail(1), 2), cut(trail(2), 3)}, 2, {2, 4}));      // replicas are the fastest digit
  EXPECT_FALSE(regular({cut(trail(1), 2), cut(trail(2), 2)}, 1, {1, 1}));
  EXPECT_FALSE(regular({cut(trail(1), 2), cut(trail(2), 2)}, 2, {1, 4}));     // a gap after the first digit
  EXPECT_FALSE(regular({cut(trail(1), 2)}, 1, {2}));                         // 2 does not divide replication 1
  EXPECT_FALSE(regular({cut(trail(1), 2)}, 1, {0}));
}

// ---- padded shape and its errors -------------------------------------------

TEST(PaddedShape, RoundsPaddedAxesUpPerGroup) {
  EXPECT_EQ(Layout::attention_key(1, 2).padded_shape(TensorShape{{1, 100, 20}}),
            (std::vector<std::uint32_t>{1, 128, 32}));
  // Two groups of 10 columns, each padded to 16.
  const Layout grouped =
      tiled({AxisTiling{.axis = trail(1), .parts = 2, .groups = 2, .padding_multiple = 16,
                        .padding = AxisPadding::Padded}},
            2);
  EXPECT_EQ(grouped.padded_shape(TensorShape{{3, 20}}), (std::vector<std::uint32_t>{3, 32}));
  // Untouched axes and already aligned extents keep their size.
  EXPECT_EQ(Layout::row_sharded(3).padded_shape(TensorShape{{1, 8, 128}}), (std::vector<std::uint32_t>{1, 8, 128}));
}

struct ErrorCase {
  const char* name;
  Layout layout;
  std::vector<std::uint32_t> shape;
  LayoutError error;
};

// Layouts that break one rule each, with the error that resolution reports.
std::vector<ErrorCase> broken_layouts() {
  AxisTiling zero_parts = cut(trail(1), 0);
  AxisTiling zero_groups = cut(trail(1), 2);
  zero_groups.groups = 0;
  AxisTiling zero_panel = cut(trail(1), 2);
  zero_panel.panel = 0;
  AxisTiling zero_multiple = cut(trail(1), 2);
  zero_multiple.padding_multiple = 0;
  AxisTiling zero_alignment = cut(trail(1), 2);
  zero_alignment.shard_alignment = 0;
  const AxisTiling exact_multiple{.axis = trail(1), .parts = 1, .padding_multiple = 4};
  const AxisTiling panel4{.axis = trail(1), .parts = 1, .panel = 4};
  const AxisTiling grouped_panel{.axis = trail(1), .parts = 2, .groups = 2, .panel = 4};
  const AxisTiling aligned{.axis = trail(1), .parts = 2, .shard_alignment = 4};
  const AxisTiling odd_groups{.axis = trail(1), .parts = 3, .groups = 2};
  const AxisTiling uneven_extent{.axis = trail(1), .parts = 2, .groups = 2};
  const AxisTiling pad_past_32_bits{.axis = trail(1), .padding_multiple = 2, .padding = AxisPadding::Padded};
  const AxisTiling groups_past_32_bits{.axis = trail(1), .parts = 2, .groups = 2, .padding_multiple = 2,
                                       .padding = AxisPadding::Padded};
  const AxisTiling align_past_32_bits{.axis = trail(1), .shard_alignment = 2, .padding = AxisPadding::Padded};
  // Shards of 3 and 2 elements: only the smaller one breaks the alignment.
  const AxisTiling aligned_by_three{.axis = trail(1), .parts = 2, .shard_alignment = 3};
  // Two groups of one element over two shards each: the first shard of each
  // group takes the element and is padded to 2^32 - 1, which the second
  // group's offset of 1 pushes past 32 bits, although the last shard is empty.
  const AxisTiling early_shard_past_32_bits{.axis = trail(1), .parts = 4, .groups = 2, .shard_alignment = max_u32,
                                            .padding = AxisPadding::Padded};

  return {
      {"no tiles", tiled({}, 0), {4}, E{E::EmptyTiling{}}},
      {"no replication", tiled({}, 1, 0), {4}, E{E::EmptyTiling{}}},
      {"zero parts", tiled({zero_parts}, 1), {4}, E{E::InvalidTiling{}}},
      {"zero groups", tiled({zero_groups}, 2), {4}, E{E::InvalidTiling{}}},
      {"zero panel", tiled({zero_panel}, 2), {4}, E{E::InvalidTiling{}}},
      {"zero padding multiple", tiled({zero_multiple}, 2), {4}, E{E::InvalidTiling{}}},
      {"zero shard alignment", tiled({zero_alignment}, 2), {4}, E{E::InvalidTiling{}}},
      {"zero stride", tiled({cut(trail(1), 2, 0)}, 2), {4}, E{E::InvalidTiling{}}},
      {"flattened panel not dividing", flat(5, 4), {2, 3, 8}, E{E::InvalidTiling{}}},
      {"flattened with fewer panels than tiles", flat(8, 7), {2, 3, 8}, E{E::InvalidTiling{}}},
      {"flattened scalar", flat(1, 1), {}, E{E::InvalidTiling{}}},
      {"flattened empty tensor", flat(1, 1), {0, 4}, E{E::InvalidTiling{}}},
      {"tile product past 32 bits", tiled({cut(trail(1), 65535), cut(trail(2), 2)}, 1, 65535), {2, 65535},
       E{E::TileOverflow{}}},
      {"leading past the rank", tiled({cut(lead(3), 1)}, 1), {1, 2, 3}, E{E::AxisOutOfRange{lead(3), 3}}},
      {"trailing past the rank", tiled({cut(trail(4), 1)}, 1), {1, 2, 3}, E{E::AxisOutOfRange{trail(4), 3}}},
      {"trailing zero", tiled({cut(trail(0), 1)}, 1), {1, 2, 3}, E{E::AxisOutOfRange{trail(0), 3}}},
      {"flattened among several", tiled({cut(trail(1), 1), cut(TensorAxis::flattened(), 1)}, 1), {4},
       E{E::AxisOutOfRange{TensorAxis::flattened(), 1}}},
      {"same axis twice", tiled({cut(trail(1), 1), cut(lead(2), 1)}, 1), {1, 2, 3}, E{E::DuplicateAxis{lead(2)}}},
      {"exact extent not a padding multiple", tiled({exact_multiple}, 1), {2, 6},
       E{E::NotMultiple{6, 4, trail(1)}}},
      {"extent not whole panels", tiled({panel4}, 1), {2, 6}, E{E::NotMultiple{6, 4, trail(1)}}},
      {"group extent not whole panels", tiled({grouped_panel}, 2), {12}, E{E::NotMultiple{6, 4, trail(1)}}},
      {"exact shard not aligned", tiled({aligned}, 2), {6}, E{E::MisalignedShard{3, 4}}},
      {"smaller exact shard not aligned", tiled({aligned_by_three}, 2), {5}, E{E::MisalignedShard{2, 3}}},
      {"groups not dividing parts", tiled({odd_groups}, 3), {4}, E{E::UnevenGroups{2, 3, 4}}},
      {"groups not dividing the extent", tiled({uneven_extent}, 2), {7}, E{E::UnevenGroups{2, 2, 7}}},
      {"padding past 32 bits", tiled({pad_past_32_bits}, 1), {max_u32}, E{E::ExtentOverflow{trail(1)}}},
      {"grouped padding past 32 bits", tiled({groups_past_32_bits}, 2), {max_u32 - 1},
       E{E::ExtentOverflow{trail(1)}}},
      {"shard alignment past 32 bits", tiled({align_past_32_bits}, 1), {max_u32}, E{E::ExtentOverflow{trail(1)}}},
      {"a shard before the last past 32 bits", tiled({early_shard_past_32_bits}, 4), {2},
       E{E::ExtentOverflow{trail(1)}}},
      {"tile count differs", tiled({cut(trail(1), 4)}, 5), {8}, E{E::TileCountMismatch{5, 4}}},
      {"tile count differs with replication", tiled({cut(trail(1), 4)}, 4, 2), {8}, E{E::TileCountMismatch{4, 8}}},
      {"two digits on one stride", tiled({cut(trail(1), 2, 1), cut(trail(2), 2, 1)}, 4), {2, 2},
       E{E::IrregularTileMapping{}}},
      {"a digit past the last tile", tiled({cut(trail(1), 2, 1), cut(trail(2), 2, 8)}, 8, 2), {2, 2},
       E{E::IrregularTileMapping{}}},
  };
}

TEST(Resolve, ReportsEveryBrokenRule) {
  for (const ErrorCase& c : broken_layouts()) {
    SCOPED_TRACE(c.name);
    const auto resolution = c.layout.resolve(TensorShape{c.shape});
    ASSERT_FALSE(resolution.has_value()) << dump(*resolution);
    EXPECT_EQ(resolution.error(), c.error) << dump(resolution.error());
  }
}

TEST(Resolve, AxisIndexPastSixteenBitsOverflows) {
  const std::vector<std::uint32_t> ones(65537, 1);
  const auto resolution = tiled({}, 1).resolve(TensorShape{ones});
  ASSERT_FALSE(resolution.has_value());
  EXPECT_EQ(resolution.error(), E{E::ExtentOverflow{std::nullopt}});
  EXPECT_TRUE(tiled({}, 1).resolve(TensorShape{std::vector<std::uint32_t>(65536, 1)}).has_value());
}

// ---- shard bounds ------------------------------------------------------------

TEST(ShardBounds, DealsPanelsEvenlyAndClampsToTheData) {
  // 100 rows padded to 128 in panels of 64 over 3 shards: 64, 64, 0.
  const AxisTiling rows{.axis = trail(2), .parts = 3, .panel = 64, .padding_multiple = 64,
                        .padding = AxisPadding::Padded};
  EXPECT_EQ(rows.shard_bounds(128, 100, 0), extent(0, 64, 64, 0));
  EXPECT_EQ(rows.shard_bounds(128, 100, 1), extent(64, 100, 128, 0));
  EXPECT_EQ(rows.shard_bounds(128, 100, 2), extent(128, 128, 128, 0));
  EXPECT_EQ(rows.shard_bounds(128, 100, 3), std::unexpected(E{E::UnevenGroups{1, 3, 100}}));
  EXPECT_EQ(rows.shard_bounds(96, 90, 0), std::unexpected(E{E::NotMultiple{96, 64, trail(2)}}));

  // Two groups of 10 elements padded to 16, panels of 4, two shards per group:
  // each group's four panels go 2 + 2; the second group starts at element 10.
  const AxisTiling grouped{.axis = trail(1), .parts = 4, .groups = 2, .panel = 4, .padding_multiple = 16,
                           .padding = AxisPadding::Padded};
  EXPECT_EQ(grouped.shard_bounds(32, 20, 0), extent(0, 8, 8, 0));
  EXPECT_EQ(grouped.shard_bounds(32, 20, 1), extent(8, 10, 16, 0));
  EXPECT_EQ(grouped.shard_bounds(32, 20, 2), extent(10, 18, 18, 0));
  EXPECT_EQ(grouped.shard_bounds(32, 20, 3), extent(18, 20, 26, 0));

  // Padded alignment rounds the allocation, not the data.
  const AxisTiling aligned{.axis = trail(1), .parts = 2, .shard_alignment = 4, .padding = AxisPadding::Padded};
  EXPECT_EQ(aligned.shard_bounds(6, 6, 1), extent(3, 6, 7, 0));
}

// ---- resolution ----------------------------------------------------------------

TEST(Resolve, RowShardedSplitsRowsThreeThreeTwo) {
  const auto resolution = Layout::row_sharded(3).resolve(TensorShape{{1, 8, 128}});
  ASSERT_TRUE(resolution.has_value());
  EXPECT_EQ(resolution->padded_shape, (std::vector<std::uint32_t>{1, 8, 128}));
  EXPECT_EQ(resolution->shape, (std::vector<std::uint32_t>{1, 8, 128}));
  ASSERT_EQ(resolution->axes.size(), 3U);
  EXPECT_EQ(resolution->axes[0], (ResolvedAxis{{extent(0, 1, 1, 0)}, 1}));
  EXPECT_EQ(resolution->axes[1], (ResolvedAxis{{extent(0, 3, 3, 1), extent(3, 6, 6, 1), extent(6, 8, 8, 1)}, 1}));
  EXPECT_EQ(resolution->axes[2], (ResolvedAxis{{extent(0, 128, 128, 2)}, 1}));
  EXPECT_FALSE(resolution->flattened);
  EXPECT_EQ(resolution->tile_count, 3);
  EXPECT_EQ(resolution->replication, 1);
  EXPECT_EQ(resolution->maximum_tile_elements(), 3U * 128U);
}

TEST(Resolve, MoreShardsThanRowsLeavesEmptyShards) {
  const auto resolution = Layout::row_sharded(64).resolve(TensorShape{{1, 8, 128}});
  ASSERT_TRUE(resolution.has_value());
  const std::vector<ShardExtent>& rows = resolution->axes[1].extents;
  ASSERT_EQ(rows.size(), 64U);
  for (std::uint32_t part = 0; part < 8; ++part) {
    EXPECT_EQ(rows[part], extent(part, part + 1, part + 1, 1));
  }
  for (std::uint32_t part = 8; part < 64; ++part) {
    EXPECT_EQ(rows[part], extent(8, 8, 8, 1)) << part;
  }
  EXPECT_EQ(resolution->axes[1].maximum_extent(), 1U);
  EXPECT_EQ(resolution->axes[1].minimum_extent(), 0U);
}

TEST(Resolve, PaddedKeyLayout) {
  const auto resolution = Layout::attention_key(1, 2).resolve(TensorShape{{1, 100, 20}});
  ASSERT_TRUE(resolution.has_value());
  EXPECT_EQ(resolution->axes[1], (ResolvedAxis{{extent(0, 64, 64, 1), extent(64, 100, 128, 1)}, 1}));
  EXPECT_EQ(resolution->axes[2], (ResolvedAxis{{extent(0, 20, 32, 2)}, 2}));
  EXPECT_EQ(resolution->maximum_tile_elements(), 64U * 32U);
}

TEST(Resolve, IrregularStridesThatCoverEveryShardAreAccepted) {
  // Block-major storage strides: columns with explicit stride 1, rows with the
  // implicit stride replication x column parts = 4. Not a mixed-radix count,
  // but every (column, row) shard pair is held by exactly two tiles.
  const Layout storage = Layout::block_major_matrix_storage(16, 16, 2, 2, 2, MemoryClass::Vexa21Standard);
  const auto strides = storage.tiling.axis_strides();
  ASSERT_TRUE(strides.has_value());
  EXPECT_EQ(*strides, (std::vector<std::uint32_t>{1, 4}));
  EXPECT_FALSE(has_regular_tile_mapping(storage.tiling, *strides));
  // Gaps between the digits hold replicas: tile t holds shards (t / 2) mod 2
  // and (t / 8) mod 2, each pair on four of the 16 tiles.
  EXPECT_TRUE(tiled({cut(trail(1), 2, 2), cut(trail(2), 2, 8)}, 16, 4).resolve(TensorShape{{4, 4}}).has_value());

  const auto fragments = storage.shard_extents(TensorShape{{32, 32}});
  ASSERT_TRUE(fragments.has_value());
  ASSERT_EQ(fragments->size(), 8U);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> row_and_column_starts = {
      {0, 0}, {0, 16}, {0, 0}, {0, 16}, {16, 0}, {16, 16}, {16, 0}, {16, 16}};
  for (std::size_t tile = 0; tile < fragments->size(); ++tile) {
    const Fragment& fragment = (*fragments)[tile];
    EXPECT_EQ(fragment.tile, tile);
    ASSERT_EQ(fragment.extents.size(), 2U);
    EXPECT_EQ(std::make_pair(fragment.extents[0].start, fragment.extents[1].start), row_and_column_starts[tile])
        << tile;
  }
}

TEST(Resolve, ReplicatedFragmentsRepeatTheirBox) {
  const Layout replicated = Layout::amp_left_parallel_grid(16, 4, 2, 2, 1);  // 2 row shards, 2 replicas
  const auto fragments = replicated.shard_extents(TensorShape{{4, 16}});
  ASSERT_TRUE(fragments.has_value());
  ASSERT_EQ(fragments->size(), 4U);
  // Replication is the fastest digit: tiles 0 and 1 hold rows 0..2, tiles 2 and 3 rows 2..4.
  EXPECT_EQ((*fragments)[0].extents, (std::vector<ShardExtent>{extent(0, 2, 2, 0), extent(0, 16, 16, 1)}));
  EXPECT_EQ((*fragments)[1].extents, (*fragments)[0].extents);
  EXPECT_EQ((*fragments)[2].extents, (std::vector<ShardExtent>{extent(2, 4, 4, 0), extent(0, 16, 16, 1)}));
  EXPECT_EQ((*fragments)[3].extents, (*fragments)[2].extents);
}

// ---- flattened layouts ---------------------------------------------------------

TEST(Flattened, ResolvesWithoutAxes) {
  const auto resolution = flat(8, 4).resolve(TensorShape{{2, 3, 8}});
  ASSERT_TRUE(resolution.has_value());
  EXPECT_TRUE(resolution->flattened);
  EXPECT_TRUE(resolution->axes.empty());
  EXPECT_EQ(resolution->flat_panel, 8U);
  EXPECT_EQ(resolution->padded_shape, (std::vector<std::uint32_t>{2, 3, 8}));
  // 6 panels over 4 tiles: at most 2 panels of 8.
  EXPECT_EQ(resolution->maximum_tile_elements(), 16U);
}

TEST(Flattened, FragmentsFollowRowBoundaries) {
  // 6 panels of one row each: tiles 0 and 1 get two rows, tiles 2 and 3 one.
  const auto fragments = flat(8, 4).shard_extents(TensorShape{{2, 3, 8}});
  ASSERT_TRUE(fragments.has_value());
  const auto row = [](std::uint16_t tile, std::uint32_t i, std::uint32_t j) {
    return Fragment{tile, {extent(i, i + 1, i + 1, 0), extent(j, j + 1, j + 1, 1), extent(0, 8, 8, 2)}};
  };
  EXPECT_EQ(*fragments, (std::vector<Fragment>{row(0, 0, 0), row(0, 0, 1), row(1, 0, 2), row(1, 1, 0),
                                               row(2, 1, 1), row(3, 1, 2)}));
}

TEST(Flattened, RangesCutMidRow) {
  // 36 elements in panels of 4 (9 panels) over 2 tiles: [0, 20) and [20, 36) on rows of 6.
  const auto fragments = flat(4, 2).shard_extents(TensorShape{{6, 6}});
  ASSERT_TRUE(fragments.has_value());
  const auto piece = [](std::uint16_t tile, std::uint32_t i, std::uint32_t start, std::uint32_t end) {
    return Fragment{tile, {extent(i, i + 1, i + 1, 0), extent(start, end, end, 1)}};
  };
  EXPECT_EQ(*fragments, (std::vector<Fragment>{piece(0, 0, 0, 6), piece(0, 1, 0, 6), piece(0, 2, 0, 6),
                                               piece(0, 3, 0, 2), piece(1, 3, 2, 6), piece(1, 4, 0, 6),
                                               piece(1, 5, 0, 6)}));
  const auto resolution = flat(4, 2).resolve(TensorShape{{6, 6}});
  ASSERT_TRUE(resolution.has_value());
  EXPECT_EQ(resolution->maximum_tile_elements(), 20U);

  // A range inside one row, on a one-axis tensor.
  const auto vector = flat(2, 3).shard_extents(TensorShape{{6}});
  ASSERT_TRUE(vector.has_value());
  EXPECT_EQ(*vector, (std::vector<Fragment>{{0, {extent(0, 2, 2, 0)}}, {1, {extent(2, 4, 4, 0)}},
                                            {2, {extent(4, 6, 6, 0)}}}));
}

TEST(Flattened, HandBuiltResolutionWithoutAxesIsRejected) {
  ResolvedLayout scalar{.padded_shape = {}, .shape = {}, .axes = {}, .flattened = true, .flat_panel = 1,
                        .tile_count = 1, .replication = 1};
  EXPECT_EQ(scalar.shard_extents(), std::unexpected(E{E::InvalidTiling{}}));
}

// ---- axis queries --------------------------------------------------------------

ResolvedAxis sized(std::vector<std::uint32_t> sizes) {
  ResolvedAxis axis;
  std::uint32_t start = 0;
  for (const std::uint32_t size : sizes) {
    axis.extents.push_back(extent(start, start + size, start + size, 0));
    start += size;
  }
  return axis;
}

TEST(ResolvedAxisQueries, SizesAndMultiples) {
  EXPECT_TRUE(sized({64, 64, 40}).complete_panels_except_tail(32));
  EXPECT_FALSE(sized({64, 40, 64}).complete_panels_except_tail(32));
  EXPECT_TRUE(sized({40}).complete_panels_except_tail(32));
  EXPECT_TRUE(sized({0, 0, 5}).complete_panels_except_tail(0));
  EXPECT_FALSE(sized({0, 3, 5}).complete_panels_except_tail(0));

  EXPECT_TRUE(sized({64, 32}).extents_are_multiple_of(32));
  EXPECT_FALSE(sized({64, 40}).extents_are_multiple_of(32));
  EXPECT_TRUE(sized({}).extents_are_multiple_of(32));
  EXPECT_TRUE(sized({0, 0}).extents_are_multiple_of(0));
  EXPECT_FALSE(sized({0, 4}).extents_are_multiple_of(0));

  EXPECT_EQ(sized({64, 40, 64, 0}).maximum_extent(), 64U);
  EXPECT_EQ(sized({64, 40, 64, 0}).minimum_extent(), 0U);
  EXPECT_EQ(sized({64, 40, 64}).minimum_extent(), 40U);
  EXPECT_EQ(sized({}).maximum_extent(), 0U);
  EXPECT_EQ(sized({}).minimum_extent(), 0U);

  EXPECT_EQ(sized({64, 40, 64, 0}).extent_sizes(), (std::vector<std::uint32_t>{0, 40, 64}));
  EXPECT_EQ(sized({}).extent_sizes(), std::vector<std::uint32_t>{});
}

TEST(MaximumTileElements, ProductOfLargestShardsSaturates) {
  ResolvedLayout layout{.padded_shape = {}, .shape = {}, .axes = {}, .flattened = false, .flat_panel = 0,
                        .tile_count = 1, .replication = 1};
  EXPECT_EQ(layout.maximum_tile_elements(), 1U);
  layout.axes = {sized({3, 5}), sized({})};
  EXPECT_EQ(layout.maximum_tile_elements(), 0U);
  layout.axes = {sized({max_u32}), sized({max_u32}), sized({max_u32})};
  EXPECT_EQ(layout.maximum_tile_elements(), std::numeric_limits<std::uint64_t>::max());
}

// ---- shard sizes ---------------------------------------------------------------

// The size figures read off the full resolution.
std::optional<ShardSizes> sizes_from_resolution(const Layout& layout, const TensorShape& shape) {
  const auto resolution = layout.resolve(shape);
  if (!resolution) {
    return std::nullopt;
  }
  std::uint64_t allocated = 1;
  if (resolution->flattened) {
    for (const std::uint32_t extent : shape.dimensions) {
      allocated = support::sat_mul(allocated, extent);
    }
  } else {
    allocated = resolution->replication;
    for (const ResolvedAxis& axis : resolution->axes) {
      std::uint64_t sum = 0;
      for (const ShardExtent& extent : axis.extents) {
        sum += extent.allocated_size();
      }
      allocated = support::sat_mul(allocated, sum);
    }
  }
  return ShardSizes{.maximum_tile_elements = resolution->maximum_tile_elements(), .allocated_elements = allocated};
}

TEST(ShardSizes, AgreeWithTheFullResolution) {
  struct Case {
    std::string name;
    Layout layout;
    std::vector<std::uint32_t> shape;
  };
  std::vector<Case> cases;
  for (const ErrorCase& broken : broken_layouts()) {
    cases.push_back({broken.name, broken.layout, broken.shape});
  }
  const AxisTiling padded_alignment{.axis = trail(1), .parts = 3, .shard_alignment = 4, .padding = AxisPadding::Padded};
  const AxisTiling grouped{.axis = trail(1), .parts = 4, .groups = 2, .panel = 4, .padding_multiple = 16,
                           .padding = AxisPadding::Padded};
  const AxisTiling panels{.axis = trail(2), .parts = 3, .panel = 64, .padding_multiple = 64,
                          .padding = AxisPadding::Padded};
  const std::vector<Case> fitting = {
      {"rows over three shards", Layout::row_sharded(3), {1, 8, 128}},
      {"more shards than rows", Layout::row_sharded(64), {1, 8, 128}},
      {"uneven padded alignment", tiled({padded_alignment}, 3), {4, 10}},
      {"groups with padding", tiled({grouped}, 4), {3, 20}},
      {"padded panels with an empty shard", tiled({panels}, 3), {100, 4}},
      {"replicated irregular strides",
       Layout::block_major_matrix_storage(16, 16, 2, 2, 2, MemoryClass::Vexa21Standard), {32, 32}},
      {"replicated grid", Layout::amp_left_parallel_grid(16, 4, 2, 2, 1), {4, 16}},
      {"padded key", Layout::attention_key(1, 2), {1, 100, 20}},
      {"product grid on 1024 tiles", Layout::amp_output_grid(64, 1024, 32, 32, false), {1, 1000, 2000}},
      {"flattened", flat(8, 4), {2, 3, 8}},
      {"scalar without tilings", tiled({}, 1), {}},
      {"largest shard saturating", tiled({}, 1), {max_u32, max_u32, max_u32}},
  };
  cases.insert(cases.end(), fitting.begin(), fitting.end());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TensorShape shape{c.shape};
    EXPECT_EQ(shard_sizes(c.layout, shape), sizes_from_resolution(c.layout, shape));
  }
}

TEST(ShardSizes, CountPaddingAndEmptyShards) {
  // Rows 3, 3 and 2: the largest shard holds 3 x 128 elements, all 1024 are held once.
  EXPECT_EQ(shard_sizes(Layout::row_sharded(3), TensorShape{{1, 8, 128}}),
            (ShardSizes{.maximum_tile_elements = 384, .allocated_elements = 1024}));
  // 56 of 64 shards are empty and allocate nothing.
  EXPECT_EQ(shard_sizes(Layout::row_sharded(64), TensorShape{{1, 8, 128}}),
            (ShardSizes{.maximum_tile_elements = 128, .allocated_elements = 1024}));
  // 100 rows in 64-row panels over 2 shards, 20 columns padded to 32: 128 x 32 allocated.
  EXPECT_EQ(shard_sizes(Layout::attention_key(1, 2), TensorShape{{1, 100, 20}}),
            (ShardSizes{.maximum_tile_elements = 64 * 32, .allocated_elements = 128 * 32}));
  // Two replicas of every shard.
  EXPECT_EQ(shard_sizes(Layout::amp_left_parallel_grid(16, 4, 2, 2, 1), TensorShape{{4, 16}}),
            (ShardSizes{.maximum_tile_elements = 32, .allocated_elements = 128}));
  const std::uint64_t saturated = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(shard_sizes(tiled({}, 1), TensorShape{{max_u32, max_u32, max_u32}}),
            (ShardSizes{.maximum_tile_elements = saturated, .allocated_elements = saturated}));
}

// ---- same distribution ------------------------------------------------------------

TensorType typed(std::vector<std::uint32_t> shape, Layout layout, Precision precision = Precision::f16()) {
  return TensorType{TensorShape{std::move(shape)}, TensorFormat{precision, std::move(layout)}};
}

TEST(SameDistribution, ComparesWhereEveryElementLives) {
  const Layout rows = Layout::row_sharded(4);
  Layout other_order = rows;
  other_order.order = ElementOrder::amp(layout::AmpOrder::Left);
  other_order.memory_class = MemoryClass::Vexa21Interleaved;
  // Same shards through a different tiling list: a one-part column cut on the
  // last axis (its stride differs, but a single shard has no stride to compare).
  const Layout with_column_cut = tiled({cut(trail(2), 4), cut(trail(1), 1)}, 4);
  const Layout via_grid = Layout::amp_left_parallel_grid(16, 4, 4, 1, 1);
  const Layout padded_columns =
      tiled({cut(trail(2), 4), AxisTiling{.axis = trail(1), .parts = 1, .panel = 16, .padding_multiple = 16,
                                           .padding = AxisPadding::Padded}},
            4);
  const Layout columns_first = tiled({cut(trail(1), 2), cut(trail(2), 2)}, 4);
  const Layout rows_first = tiled({cut(trail(2), 2), cut(trail(1), 2)}, 4);
  const Layout replicated = Layout::amp_left_parallel_grid(16, 4, 2, 2, 1);

  struct Case {
    const char* name;
    TensorType a;
    TensorType b;
    bool same;
  };
  const std::vector<Case> cases = {
      {"precision, order and memory class ignored", typed({8, 16}, rows), typed({8, 16}, other_order, Precision::f32()),
       true},
      {"single-shard axis with another stride", typed({8, 16}, rows), typed({8, 16}, with_column_cut), true},
      {"another constructor, same shards", typed({8, 16}, rows), typed({8, 16}, via_grid), true},
      {"other allocation", typed({8, 20}, rows), typed({8, 20}, padded_columns), false},
      {"other shapes", typed({8, 16}, rows), typed({8, 32}, rows), false},
      {"other tile counts", typed({8, 16}, rows), typed({8, 16}, Layout::row_sharded(2)), false},
      {"same shards, other tile numbering", typed({4, 4}, columns_first), typed({4, 4}, rows_first), false},
      {"replicas against distinct shards", typed({8, 16}, rows), typed({8, 16}, replicated), false},
      {"unresolvable", typed({8}, rows), typed({8}, rows), false},
      {"flattened", typed({8, 16}, flat(8, 4)), typed({8, 16}, flat(8, 4)), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(same_distribution(c.a, c.b), c.same);
    EXPECT_EQ(same_distribution(c.b, c.a), c.same);
  }
}

}  // namespace
}  // namespace vexa_codegen::mid::resolved
