#include "vexa_codegen/mid/candidates/demand.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "mid/candidates/fixtures.hpp"
#include "vexa_codegen/mid/candidates.hpp"
#include "vexa_codegen/mid/catalogue.hpp"

namespace vexa_codegen::mid::candidates::demand {
namespace {

using graph::Operation;
using graph::OperationId;
using graph::OperationKind;
using graph::ValueId;
using layout::AmpOrder;
using layout::AxisPadding;
using layout::AxisTiling;
using layout::BlockMajorOrder;
using layout::ElementOrder;
using layout::Layout;
using layout::MemoryClass;
using layout::TensorAxis;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::shape;

ElementOrder amp(AmpOrder order) { return ElementOrder::amp(order); }
ElementOrder matrix(std::uint16_t rows, std::uint16_t columns) {
  return ElementOrder::block_major(BlockMajorOrder::matrix(rows, columns));
}
ElementOrder transposed(std::uint16_t rows, std::uint16_t columns) {
  return ElementOrder::block_major(BlockMajorOrder::transposed_matrix(rows, columns));
}

/// A one-tile layout with one tiling per listed axis tiling.
Layout layout_of(ElementOrder order, std::vector<AxisTiling> axes = {}, std::uint16_t tiles = 1) {
  Layout layout;
  layout.order = std::move(order);
  layout.tiling.axes = std::move(axes);
  layout.tiling.tile_count = tiles;
  layout.tiling.replication = 1;
  return layout;
}

AxisTiling cut(TensorAxis axis, std::uint16_t parts, std::uint32_t panel = 1) {
  return AxisTiling{.axis = axis, .parts = parts, .panel = panel, .padding_multiple = panel};
}

// ---------------------------------------------------------------------------
// Ordering and the table

TEST(OutputDemandsTest, ListsStayAscendingWithoutRepeats) {
  const std::vector<OutputDemand> ascending{
      {ElementOrder::row_major(), 1, 1},
      {ElementOrder::row_major(), 1, 32},
      {ElementOrder::row_major(), 4, 1},
      {matrix(32, 16), 1, 1},
      {matrix(64, 16), 1, 1},
      {matrix(64, 32), 1, 1},
      {transposed(16, 16), 1, 1},
      {amp(AmpOrder::Left), 1, 1},
      {amp(AmpOrder::TransposedLeft), 1, 1},
      {amp(AmpOrder::TransposedRight), 1, 1},
      {amp(AmpOrder::Output), 1, 1},
      {amp(AmpOrder::TransposedOutput), 1, 1},
  };
  OutputDemands table;
  for (const OutputDemand& demand : std::vector(ascending.rbegin(), ascending.rend())) {
    table.insert(ValueId{7}, demand);
    table.insert(ValueId{7}, demand);
  }
  EXPECT_EQ(std::vector(table.get(ValueId{7}).begin(), table.get(ValueId{7}).end()), ascending);
  EXPECT_TRUE(std::ranges::is_sorted(ascending));
  EXPECT_THAT(table.get(ValueId{8}), IsEmpty());
}

// ---------------------------------------------------------------------------
// Matching

struct OrientationCase {
  ElementOrder wanted;
  ElementOrder offered;
  bool matches;
};

TEST(OutputDemandTest, MatchesOrdersOfTheSameOrientation) {
  const std::vector<OrientationCase> cases{
      {amp(AmpOrder::TransposedLeft), matrix(32, 16), true},
      {matrix(64, 16), amp(AmpOrder::TransposedLeft), true},
      {matrix(64, 16), matrix(16, 16), true},
      {amp(AmpOrder::Left), transposed(64, 16), true},
      {amp(AmpOrder::TransposedRight), amp(AmpOrder::Left), true},
      {amp(AmpOrder::Left), amp(AmpOrder::TransposedLeft), false},
      {amp(AmpOrder::Left), matrix(64, 16), false},
      {ElementOrder::row_major(), amp(AmpOrder::Left), false},
      {amp(AmpOrder::Left), ElementOrder::row_major(), false},
      {ElementOrder::row_major(), ElementOrder::row_major(), true},
      {amp(AmpOrder::Output), amp(AmpOrder::Output), true},
      {amp(AmpOrder::Output), amp(AmpOrder::Left), false},
      {amp(AmpOrder::TransposedOutput), transposed(64, 16), false},
  };
  for (const OrientationCase& c : cases) {
    const OutputDemand demand{c.wanted, 1, 1};
    EXPECT_EQ(demand.matches(layout_of(c.offered), shape({64, 64})), c.matches)
        << dump(demand) << " against " << dump(c.offered);
  }
}

struct ShardCase {
  const char* name;
  OutputDemand demand;
  Layout layout;
  std::vector<std::uint32_t> shape;
  bool matches;
};

TEST(OutputDemandTest, ShardMultipleHoldsOnTheContiguousAxis) {
  const OutputDemand rows32{ElementOrder::row_major(), 1, 32};
  const OutputDemand rows16{ElementOrder::row_major(), 1, 16};
  const OutputDemand matrix16{matrix(64, 16), 1, 16};
  const OutputDemand matrix32{matrix(64, 16), 1, 32};
  Layout flat = layout_of(ElementOrder::row_major(), {cut(TensorAxis::flattened(), 2, 16)}, 2);
  const std::vector<ShardCase> cases{
      // 112 elements in panels of 16 over 3 shards: 48, 32, 32; 48 is no multiple of 32.
      {"uneven leading shard",
       rows32,
       layout_of(ElementOrder::row_major(), {cut(TensorAxis::trailing(1), 3, 16)}, 3),
       {2, 112},
       false},
      // 136 elements in panels of 8 over 3 shards: 48, 48, 40; the last shard is exempt.
      {"short last shard",
       rows16,
       layout_of(ElementOrder::row_major(), {cut(TensorAxis::trailing(1), 3, 8)}, 3),
       {2, 136},
       true},
      {"largest shard too small", rows32, layout_of(ElementOrder::row_major()), {2, 16}, false},
      // Block-major matrices are contiguous along the second-last axis.
      {"second-last axis",
       matrix16,
       layout_of(matrix(64, 16), {cut(TensorAxis::trailing(2), 3, 8)}, 3),
       {136, 16},
       true},
      {"second-last axis uncut",
       matrix32,
       layout_of(matrix(64, 16), {cut(TensorAxis::trailing(1), 3, 16)}, 3),
       {16, 112},
       false},
      {"no second-last axis", matrix16, layout_of(matrix(64, 16)), {64}, false},
      {"flattened", rows16, flat, {4, 64}, false},
      {"unresolvable",
       rows16,
       layout_of(ElementOrder::row_major(), {cut(TensorAxis::trailing(3), 2)}, 2),
       {4, 64},
       false},
  };
  for (const ShardCase& c : cases) {
    EXPECT_EQ(c.demand.matches(c.layout, shape(c.shape)), c.matches) << c.name;
  }
}

TEST(OutputDemandTest, LastAxisGroupsNeedATrailingTilingWithGroupsOrWholeGroupsOfParts) {
  const OutputDemand four_groups{ElementOrder::row_major(), 4, 1};
  AxisTiling grouped = cut(TensorAxis::trailing(1), 4);
  grouped.groups = 4;
  AxisTiling grouped_leading = grouped;
  grouped_leading.axis = TensorAxis::leading(1);
  struct GroupCase {
    const char* name;
    AxisTiling tiling;
    bool matches;
  };
  const std::vector<GroupCase> cases{
      {"groups", grouped, true},
      {"parts in whole groups", cut(TensorAxis::trailing(1), 8), true},
      {"parts not in groups", cut(TensorAxis::trailing(1), 6), false},
      {"panels not in groups", cut(TensorAxis::trailing(1), 4, 32), false},
      {"last axis written from the front", grouped_leading, false},
  };
  for (const GroupCase& c : cases) {
    const Layout layout = layout_of(ElementOrder::row_major(), {c.tiling}, c.tiling.parts);
    EXPECT_EQ(four_groups.matches(layout, shape({2, 64})), c.matches) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Building the table

class DemandTableTest : public ::testing::Test {
 protected:
  Operation operation(std::uint32_t id, std::vector<std::uint32_t> inputs, std::uint32_t result, OperationKind kind) {
    Operation op{OperationId{id}, {}, {ValueId{result}}, std::move(kind)};
    for (const std::uint32_t input : inputs) {
      op.inputs.push_back(ValueId{input});
    }
    return op;
  }
  void set_shape(std::uint32_t value, std::vector<std::uint32_t> extents) {
    shapes_[ValueId{value}] = shape(std::move(extents));
  }
  std::vector<OutputDemand> demands_on(std::uint32_t value) const {
    const auto found = table_.get(ValueId{value});
    return {found.begin(), found.end()};
  }
  void build(const std::vector<Operation>& operations) { table_ = OutputDemands::make(operations, shapes_, config_); }

  PipelineConfig config_ = [] {
    PipelineConfig config = PipelineConfig::make(64);
    config.operator_candidates.clear();
    return config;
  }();
  std::map<ValueId, graph::TensorShape> shapes_;
  OutputDemands table_;
};

OperationKind attention_kind() {
  return OperationKind::flash_attention(
      graph::AttentionOptions{false, graph::AttentionScale::inverse_sqrt_query_width()});
}

TEST_F(DemandTableTest, AttentionOperandsWantTheAttentionLayouts) {
  for (std::uint32_t value : {0U, 1U, 2U}) {
    set_shape(value, {4, 1000, 64});
  }
  const Operation attention = operation(0, {0, 1, 2}, 3, attention_kind());
  build({attention});
  // 64 tiles over 4 heads: min(16, 1000) query parts and min(16, ceil(1000 / 64)) key parts.
  EXPECT_THAT(demands_on(0), ElementsAre(OutputDemand{amp(AmpOrder::Left), 1, 1}));
  EXPECT_THAT(demands_on(1), ElementsAre(OutputDemand{Layout::attention_key(4, 16).order, 1, 1}));
  EXPECT_THAT(demands_on(2), ElementsAre(OutputDemand{matrix(64, 16), 1, 1}));
  EXPECT_THAT(demands_on(3), IsEmpty());

  EXPECT_THAT(direct_consumer_layouts(std::span(&attention, 1), ValueId{1}, shape({4, 1000, 64}), config_),
              ElementsAre(Layout::attention_key(4, 16)));
}

TEST_F(DemandTableTest, ConsumerLayoutsNeedAHeadCountThatFits) {
  const Operation attention = operation(0, {0, 1, 2}, 3, attention_kind());
  for (const auto& extents : std::vector<std::vector<std::uint32_t>>{{64}, {0, 8, 64}, {65536, 8, 64}}) {
    EXPECT_THAT(direct_consumer_layouts(std::span(&attention, 1), ValueId{1}, shape(extents), config_), IsEmpty());
  }
  // The same value read as key and value yields both layouts once each.
  const Operation shared = operation(1, {0, 1, 1, 1}, 3, attention_kind());
  EXPECT_EQ(direct_consumer_layouts(std::span(&shared, 1), ValueId{1}, shape({4, 128, 64}), config_).size(), 2U);
}

TEST_F(DemandTableTest, GeluPassesItsConsumersWishesToTheProduct) {
  // x [4, 1000, 32] x w [32, 64] -> y; gelu(y) -> z; z is the query of an attention.
  set_shape(10, {4, 1000, 32});
  set_shape(11, {32, 64});
  set_shape(12, {4, 1000, 64});
  set_shape(13, {4, 1000, 64});
  for (std::uint32_t value : {14U, 15U}) {
    set_shape(value, {4, 1000, 64});
  }
  config_.operator_candidates.push_back(catalogue::OperatorCandidate::gemm_family(
      {graph::GemmOptions{}, layout::Precision::f8f143(0), operators::AccumulationPrecision::F16, 64}));
  build({operation(0, {10, 11}, 12, OperationKind::gemm()), operation(1, {12}, 13, OperationKind::gelu()),
         operation(2, {13, 14, 15}, 16, attention_kind())});
  EXPECT_THAT(demands_on(12), ElementsAre(OutputDemand{amp(AmpOrder::Left), 1, 1}));
  // The 8-bit family asks for 32-element shards of both product operands.
  EXPECT_THAT(demands_on(10), ElementsAre(OutputDemand{amp(AmpOrder::Left), 1, 32}));
  EXPECT_THAT(demands_on(11), ElementsAre(OutputDemand{amp(AmpOrder::TransposedLeft), 1, 32}));
}

TEST_F(DemandTableTest, GeluOrViewWithSeveralInputsContributesNothing) {
  set_shape(1, {4, 128, 64});
  set_shape(2, {4, 128, 64});
  for (std::uint32_t value : {3U, 4U, 5U}) {
    set_shape(value, {4, 128, 64});
  }
  graph::view::AxisFactorView identity{.split_axis = 2, .merge_axis = 0, .factor = 1, .reversed = false};
  build({operation(0, {1, 2}, 3, OperationKind::gelu()), operation(1, {1, 2}, 4, OperationKind::view(identity)),
         operation(2, {3, 4, 4}, 6, attention_kind())});
  EXPECT_THAT(demands_on(3), ElementsAre(OutputDemand{amp(AmpOrder::Left), 1, 1}));
  EXPECT_THAT(demands_on(1), IsEmpty());
  EXPECT_THAT(demands_on(2), IsEmpty());
}

TEST_F(DemandTableTest, ViewsSplittingTheLastAxisMultiplyTheGroups) {
  struct ViewCase {
    const char* name;
    graph::view::AxisFactorView view;
    std::vector<OutputDemand> expected;
  };
  const std::vector<ViewCase> cases{
      {"split by 4",
       {.split_axis = 2, .merge_axis = 0, .factor = 4, .reversed = false},
       {OutputDemand{amp(AmpOrder::Left), 4, 1}}},
      {"factor 1",
       {.split_axis = 2, .merge_axis = 0, .factor = 1, .reversed = false},
       {OutputDemand{amp(AmpOrder::Left), 1, 1}}},
      {"reversed", {.split_axis = 2, .merge_axis = 0, .factor = 4, .reversed = true}, {}},
      {"merges into the second-last axis", {.split_axis = 2, .merge_axis = 1, .factor = 4, .reversed = false}, {}},
  };
  for (const ViewCase& c : cases) {
    shapes_.clear();
    set_shape(20, {8, 2, 256});
    const auto viewed = c.view.output_shape(shape({8, 2, 256}));
    ASSERT_TRUE(viewed.has_value()) << c.name;
    shapes_[ValueId{21}] = *viewed;
    set_shape(22, viewed->dimensions);
    set_shape(23, viewed->dimensions);
    build({operation(0, {20}, 21, OperationKind::view(c.view)), operation(1, {21, 22, 23}, 24, attention_kind())});
    EXPECT_FALSE(demands_on(21).empty()) << c.name;
    EXPECT_EQ(demands_on(20), c.expected) << c.name;
  }
}

TEST_F(DemandTableTest, FixedCatalogueOperandsAreWishesButReGriddedOnesAreNot) {
  const layout::TensorFormat rows{layout::Precision::f16(), Layout::row_sharded(64)};
  layout::TensorFormat amp_rows = rows;
  amp_rows.layout.order = amp(AmpOrder::Output);
  const MidOperator add{MidOperator::Add{}};
  config_.operator_candidates.push_back(
      catalogue::OperatorCandidate::concrete(catalogue::pointwise_operator_candidate(add, {rows, rows}, rows)));
  auto regridded = catalogue::pointwise_operator_candidate(add, {amp_rows, amp_rows}, amp_rows);
  regridded.layouts = catalogue::CandidateLayouts::shape_grid();
  config_.operator_candidates.push_back(catalogue::OperatorCandidate::concrete(regridded));
  set_shape(1, {4, 64});
  build({operation(0, {1, 2}, 3, OperationKind::add())});
  EXPECT_THAT(demands_on(1), ElementsAre(OutputDemand{ElementOrder::row_major(), 1, 1}));
  EXPECT_THAT(demands_on(2), IsEmpty());  // no known shape
}

}  // namespace
}  // namespace vexa_codegen::mid::candidates::demand
