#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "mid/candidates/fixtures.hpp"
#include "vexa_codegen/mid/candidates.hpp"
#include "vexa_codegen/mid/catalogue.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

using layout::AmpOrder;
using layout::AxisPadding;
using layout::AxisTiling;
using layout::BlockMajorOrder;
using layout::ElementOrder;
using layout::MemoryClass;
using layout::Precision;
using layout::TensorAxis;
using operators::GemmDistribution;
using operators::LocalOperandStaging;
using operators::OperatorDispatch;
using operators::ReductionStaging;
using testing::ChosenCostModel;
using ::testing::Contains;
using ::testing::ElementsAre;
using testing::f16_gemm;
using ::testing::IsEmpty;
using ::testing::Not;
using testing::shape;

/// Operands [M, K] and [K, N]; their layouts do not matter to the generator.
std::vector<TensorType> product_operands(std::uint32_t m, std::uint32_t k, std::uint32_t n) {
  return {testing::tensor({m, k}, Layout::row_sharded(1)), testing::tensor({k, n}, Layout::row_sharded(1))};
}

ParallelGridProxy grid(std::uint16_t rows, std::uint16_t columns, std::uint16_t inner) {
  return ParallelGridProxy{.row_partitions = rows, .column_partitions = columns, .inner_partitions = inner};
}

bool same_grid(const ParallelGridProxy& left, const ParallelGridProxy& right) {
  return left.row_partitions == right.row_partitions && left.column_partitions == right.column_partitions &&
         left.inner_partitions == right.inner_partitions;
}

// ---------------------------------------------------------------------------
// Proxies and frontier

TEST(ParallelGridProxiesTest, EnumeratesTheGridsOfA128By1024By1024ProductOn64Tiles) {
  const auto proxies = parallel_grid_proxies(f16_gemm, 64, product_operands(128, 1024, 1024), GemmOrientation::Normal);
  const auto find = [&](std::uint16_t rows, std::uint16_t columns, std::uint16_t inner) {
    return std::ranges::find_if(proxies, [&](const auto& p) { return same_grid(p, grid(rows, columns, inner)); });
  };
  // R = 2, Nc = 32, P = 1: 128 rows, 32 contraction blocks and 2 column blocks per part.
  ASSERT_NE(find(1, 32, 2), proxies.end());
  EXPECT_EQ(*find(1, 32, 2), (ParallelGridProxy{43008, 4416, 172032, 0, 1, 32, 2}));
  // R = 3, Nc = 21, P = 1 uses 63 tiles: 22 contraction blocks and 4 column blocks per part.
  ASSERT_NE(find(1, 21, 3), proxies.end());
  EXPECT_EQ(*find(1, 21, 3), (ParallelGridProxy{59136, 3928, 151552, 1, 1, 21, 3}));
  // R = 2, Nc = 1, P = 32: 1048576 weight bytes exceed the interleaved memory.
  EXPECT_EQ(find(32, 1, 2), proxies.end());
  // Every grid occupies at least half of the tiles; generation runs by R, then Nc.
  for (const ParallelGridProxy& proxy : proxies) {
    EXPECT_LE(proxy.idle_tiles, 32U) << dump(proxy);
    EXPECT_GE(proxy.inner_partitions, 2U);
  }
  EXPECT_TRUE(std::ranges::is_sorted(proxies, {}, [](const ParallelGridProxy& p) {
    return std::pair{p.inner_partitions, p.column_partitions};
  }));
}

TEST(ParallelGridProxiesTest, NothingSplitsAContractionOfOneBlock) {
  EXPECT_THAT(parallel_grid_proxies(f16_gemm, 64, product_operands(128, 16, 1024), GemmOrientation::Normal), IsEmpty());
  ChosenCostModel model;
  const PipelineConfig config = PipelineConfig::make(64);
  EXPECT_THAT(parallel_reduction_candidates(MidOperator{f16_gemm}, 64, product_operands(128, 16, 1024),
                                            shape({128, 1024}), config, model, std::nullopt, {}),
              IsEmpty());
  // Operands of rank 1 are no product.
  EXPECT_THAT(
      parallel_grid_proxies(
          f16_gemm, 64, {testing::tensor({64}, Layout::row_sharded(1)), testing::tensor({64}, Layout::row_sharded(1))},
          GemmOrientation::Normal),
      IsEmpty());
}

TEST(ParallelGridFrontierTest, KeepsTiesAndOrdersThemByPartitions) {
  ParallelGridProxy tie_a{10, 10, 10, 0, 4, 1, 2};
  ParallelGridProxy tie_b{10, 10, 10, 0, 2, 2, 2};
  ParallelGridProxy beaten{11, 10, 10, 0, 1, 4, 2};
  ParallelGridProxy other_inner{20, 20, 20, 0, 1, 1, 4};  // worse, but a different reduction split
  ParallelGridProxy faster{9, 10, 10, 0, 8, 1, 2};        // arrives last and beats the ties
  EXPECT_THAT(parallel_grid_frontier({beaten, tie_a, tie_b, other_inner}), ElementsAre(tie_b, tie_a, other_inner));
  EXPECT_THAT(parallel_grid_frontier({tie_a, beaten, tie_b, other_inner, faster}), ElementsAre(faster, other_inner));
}

// ---------------------------------------------------------------------------
// Plan variants

class ParallelCandidatesTest : public ::testing::Test {
 protected:
  std::vector<OperatorPlan> generate(GemmOrientation orientation, std::optional<GemmPlanConstraint> constraint = {}) {
    return parallel_reduction_candidates_for_orientation(MidOperator{f16_gemm}, tiles_, operands_, result_, config_,
                                                         model_, orientation, constraint, {},
                                                         GenerationContext{.diagnostics = &receiver_});
  }

  std::uint16_t tiles_ = 2;
  // [4, 32] x [32, 16] on two tiles: the only grid splits the contraction in two.
  std::vector<TensorType> operands_ = product_operands(4, 32, 16);
  graph::TensorShape result_ = shape({4, 16});
  PipelineConfig config_ = PipelineConfig::make(2);
  ChosenCostModel model_;
  testing::RecordingReceiver receiver_;
};

TEST_F(ParallelCandidatesTest, VariantsNestGridClassSpreadOrderStagingAndReduction) {
  const std::vector<OperatorPlan> normal = generate(GemmOrientation::Normal);
  // Two weight classes x spreads (1, 1) and (2, 1) x two reduction stagings.
  ASSERT_EQ(normal.size(), 8U);
  EXPECT_EQ(model_.calls(), 0U);  // at most the keep limit: returned unpriced

  AxisTiling even_rows{
      .axis = TensorAxis::trailing(2), .parts = 1, .panel = 2, .padding_multiple = 2, .padding = AxisPadding::Padded};
  Layout streamed;
  streamed.order = ElementOrder::amp(AmpOrder::Left);
  streamed.tiling = {{AxisTiling{.axis = TensorAxis::trailing(1),
                                 .parts = 2,
                                 .panel = 16,
                                 .padding_multiple = 16,
                                 .padding = AxisPadding::Padded},
                      even_rows},
                     2,
                     1};
  Layout weights = Layout::block_major_matrix_storage(16, 16, 1, 2, 1, MemoryClass::Vexa21Standard);
  Layout result;
  result.order = ElementOrder::amp(AmpOrder::Left);
  result.memory_class = MemoryClass::Vexa21Interleaved;
  even_rows.tile_stride = 1;
  result.tiling = {{AxisTiling{.axis = TensorAxis::trailing(1),
                               .parts = 1,
                               .panel = 16,
                               .padding_multiple = 16,
                               .padding = AxisPadding::Padded,
                               .tile_stride = 1},
                    even_rows},
                   1,
                   1};
  const OperatorDispatch dispatch{
      OperatorDispatch::Gemm{.inner_chunk = 16,
                             .output_column_block = 16,
                             .distribution = GemmDistribution{ReductionStaging::complete(), 1, 1, 2, 1, 1},
                             .orientation = GemmOrientation::Normal}};
  EXPECT_EQ(normal[0], catalogue::gemm_plan(MidOperator{f16_gemm}, {streamed, weights, result}, 16, dispatch));

  // (weight memory, result row spread, streamed reduction)
  using Summary = std::tuple<MemoryClass, std::uint16_t, bool>;
  std::vector<Summary> order;
  for (const OperatorPlan& plan : normal) {
    const auto& distribution = *plan.dispatch.get_if<OperatorDispatch::Gemm>()->distribution;
    order.emplace_back(plan.storage.operands[1].format.layout.memory_class, distribution.result_row_partitions,
                       distribution.reduction_staging == ReductionStaging::streamed());
  }
  const auto standard = MemoryClass::Vexa21Standard;
  const auto interleaved = MemoryClass::Vexa21Interleaved;
  EXPECT_EQ(order, (std::vector<Summary>{{standard, 1, false},
                                         {standard, 1, true},
                                         {standard, 2, false},
                                         {standard, 2, true},
                                         {interleaved, 1, false},
                                         {interleaved, 1, true},
                                         {interleaved, 2, false},
                                         {interleaved, 2, true}}));

  // Swapped products also try weights staged to match the remote operand.
  const std::vector<OperatorPlan> swapped = generate(GemmOrientation::Swapped);
  ASSERT_EQ(swapped.size(), 16U);
  EXPECT_EQ(swapped[0].storage.operands[0].staging, LocalOperandStaging::Direct);
  EXPECT_EQ(swapped[2].storage.operands[0].staging, LocalOperandStaging::MatchRemote);
  EXPECT_EQ(swapped[0].storage.output.format.layout.order, ElementOrder::amp(AmpOrder::TransposedLeft));
}

TEST_F(ParallelCandidatesTest, GridsWithRowsAndColumnsAlsoTryColumnMajorTileOrder) {
  // [4, 32] x [32, 32] on 8 tiles: the grid P = 2, Nc = 2, R = 2 beats P = 4, Nc = 1.
  tiles_ = 8;
  operands_ = product_operands(4, 32, 32);
  result_ = shape({4, 32});
  config_ = PipelineConfig::make(8);
  const std::vector<OperatorPlan> normal = generate(GemmOrientation::Normal);
  // Per weight class: spread (1, 1) in two tile orders and (2, 1) in one, two reductions each.
  ASSERT_EQ(normal.size(), 12U);
  const auto strides = [](const OperatorPlan& plan) {
    std::vector<std::uint16_t> found;
    for (const AxisTiling& tiling : plan.storage.output.format.layout.tiling.axes) {
      found.push_back(tiling.tile_stride.value_or(0));
    }
    return found;
  };
  EXPECT_THAT(strides(normal[0]), ElementsAre(1, 2));  // row-fastest numbering
  EXPECT_THAT(strides(normal[2]), ElementsAre(2, 1));  // column-major numbering
  EXPECT_EQ(normal[0].dispatch, normal[2].dispatch);
  const auto& spread = *normal[4].dispatch.get_if<OperatorDispatch::Gemm>()->distribution;
  EXPECT_EQ(spread.result_row_partitions, 2U);
  EXPECT_EQ(spread.result_column_partitions, 1U);
}

TEST_F(ParallelCandidatesTest, RetentionChoosesAmongManyVariantsAndTheEventCountsThem) {
  config_.retained_gemm_plans = 0;  // keeps max(1, 0) = 1
  const std::vector<OperatorPlan> kept = generate(GemmOrientation::Normal);
  // No plan lowers, so all cost the same: the first variant is kept, and its
  // twin with the weights in interleaved memory comes along.
  ASSERT_EQ(kept.size(), 2U);
  EXPECT_EQ(model_.calls(), 8U);
  EXPECT_EQ(kept[0].dispatch, kept[1].dispatch);
  EXPECT_EQ(kept[1].storage.operands[1].format.layout.memory_class, MemoryClass::Vexa21Interleaved);
  const auto events = receiver_.events();
  ASSERT_EQ(events.size(), 1U);
  EXPECT_EQ(events[0].level, support::DiagnosticLevel::Debug);
  EXPECT_EQ(events[0].message, "retained parallel GEMM candidates");
  std::vector<std::pair<std::string, std::string>> fields;
  for (const auto& field : events[0].fields) {
    fields.emplace_back(field.name, field.value);
  }
  EXPECT_THAT(fields, ElementsAre(std::pair{"orientation", "Normal"}, std::pair{"generated_grids", "1"},
                                  std::pair{"proxy_frontier_grids", "1"}, std::pair{"generated_variants", "8"},
                                  std::pair{"generated_grouped_variants", "0"},
                                  std::pair{"retained_grouped_variants", "0"}, std::pair{"retained_variants", "2"}));
}

TEST_F(ParallelCandidatesTest, AConstraintSelectsItsGridOrientationAndStagings) {
  GemmPlanConstraint constraint{.source_operation = 0,
                                .orientation = GemmOrientation::Swapped,
                                .row_partitions = 1,
                                .column_partitions = 1,
                                .inner_partitions = 2,
                                .result_row_partitions = 1,
                                .result_column_partitions = 1,
                                .output_column_block = 16,
                                .weight_memory_class = MemoryClass::Vexa21Interleaved,
                                .reduction_staging = ReductionStaging::streamed(),
                                .local_weight_staging = LocalOperandStaging::MatchRemote};
  EXPECT_THAT(generate(GemmOrientation::Normal, constraint), IsEmpty());
  const std::vector<OperatorPlan> swapped = generate(GemmOrientation::Swapped, constraint);
  ASSERT_EQ(swapped.size(), 1U);
  EXPECT_TRUE(satisfies_gemm_constraint(swapped[0], constraint));
  constraint.row_partitions = 2;  // not a grid of this product
  EXPECT_THAT(generate(GemmOrientation::Swapped, constraint), IsEmpty());
}

TEST_F(ParallelCandidatesTest, GroupedOutputsKeepOnlyUnspreadResults) {
  config_.gemm_output_grouping = 2;
  const std::vector<OperatorPlan> normal = generate(GemmOrientation::Normal);
  ASSERT_EQ(normal.size(), 4U);  // the (2, 1) spreads yield no packed plan
  for (const OperatorPlan& plan : normal) {
    const auto& distribution = *plan.dispatch.get_if<OperatorDispatch::Gemm>()->distribution;
    EXPECT_EQ(distribution.result_row_partitions, 1U);
    EXPECT_EQ(plan.storage.output.format.layout.order,
              ElementOrder::block_major(BlockMajorOrder::transposed_matrix(64, 16)));
  }
}

// ---------------------------------------------------------------------------
// Packed outputs

TEST(PackedGemmOutputTest, AlignsRowsAndColumnsAndStoresTheResultInGroups) {
  const PipelineConfig config = PipelineConfig::make(2);
  ChosenCostModel model;
  const std::vector<OperatorPlan> variants = parallel_reduction_candidates_for_orientation(
      MidOperator{f16_gemm}, 2, product_operands(4, 32, 16), shape({4, 16}), config, model, GemmOrientation::Swapped,
      std::nullopt, {});
  ASSERT_FALSE(variants.empty());
  const OperatorPlan& plan = variants[0];
  const auto packed = packed_gemm_output(plan, shape({4, 16}));
  ASSERT_TRUE(packed.has_value());
  // Swapped: the streamed operand is operand 1, its rows are the last axis.
  const auto alignment = [](const Layout& layout, TensorAxis axis) {
    return std::ranges::find(layout.tiling.axes, axis, &AxisTiling::axis)->shard_alignment;
  };
  EXPECT_EQ(alignment(packed->storage.operands[1].format.layout, TensorAxis::trailing(1)), 16U);
  EXPECT_EQ(alignment(packed->storage.operands[0].format.layout, TensorAxis::trailing(2)), 64U);
  EXPECT_EQ(alignment(packed->storage.output.format.layout, TensorAxis::trailing(1)), 16U);
  EXPECT_EQ(alignment(packed->storage.output.format.layout, TensorAxis::trailing(2)), 64U);
  EXPECT_EQ(packed->storage.output.format.layout.order, ElementOrder::block_major(BlockMajorOrder::matrix(64, 16)));
  EXPECT_EQ(packed->dispatch, plan.dispatch);

  OperatorPlan f32 = plan;
  std::get<MidOperator::Gemm>(f32.operator_.value).multiply = Precision::f32();
  EXPECT_FALSE(packed_gemm_output(f32, shape({4, 16})).has_value());
  OperatorPlan spread = plan;
  std::get<OperatorDispatch::Gemm>(spread.dispatch.value).distribution->result_column_partitions = 2;
  EXPECT_FALSE(packed_gemm_output(spread, shape({4, 16})).has_value());
  OperatorPlan uncut = plan;
  uncut.storage.output.format.layout.tiling.axes.pop_back();
  EXPECT_FALSE(packed_gemm_output(uncut, shape({4, 16})).has_value());
  EXPECT_FALSE(packed_gemm_output(plan, shape({16})).has_value());
}

}  // namespace
}  // namespace vexa_codegen::mid::candidates
