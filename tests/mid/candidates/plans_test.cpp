#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "mid/candidates/fixtures.hpp"
#include "vexa_codegen/mid/candidates.hpp"
#include "vexa_codegen/mid/catalogue.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

using catalogue::CandidateLayouts;
using catalogue::ConcreteOperatorCandidate;
using catalogue::OperatorCandidate;
using graph::Operation;
using graph::OperationId;
using graph::OperationKind;
using graph::ValueId;
using layout::AmpOrder;
using layout::AxisPadding;
using layout::AxisTiling;
using layout::BlockMajorOrder;
using layout::ElementOrder;
using layout::MemoryClass;
using layout::Precision;
using layout::TensorAxis;
using layout::TensorFormat;
using operators::OperatorDispatch;
using operators::ProductGrid;
using testing::ChosenCostModel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::shape;
using testing::tensor;

Operation operation_of(OperationKind kind, std::size_t operands, std::uint32_t id = 0) {
  Operation operation{OperationId{id}, {}, {ValueId{100}}, std::move(kind)};
  for (std::uint32_t i = 0; i < operands; ++i) {
    operation.inputs.push_back(ValueId{i});
  }
  return operation;
}

/// A layout cutting one axis into `parts` shards over as many tiles.
Layout cut(TensorAxis axis, std::uint16_t parts) {
  Layout layout = Layout::row_sharded(parts);
  layout.tiling.axes[0].axis = axis;
  return layout;
}

/// The flat layout of `tiles` tiles with panels of `unit` elements.
Layout flat(std::uint16_t tiles, std::uint32_t unit) {
  Layout layout = Layout::row_sharded(tiles);
  layout.tiling.axes[0] =
      AxisTiling{.axis = TensorAxis::flattened(), .parts = tiles, .panel = unit, .padding_multiple = unit};
  return layout;
}

const OperatorDispatch::FlashAttention& attention_dispatch(const OperatorPlan& plan) {
  return *plan.dispatch.get_if<OperatorDispatch::FlashAttention>();
}

OperationKind attention_kind() {
  return OperationKind::flash_attention(
      graph::AttentionOptions{false, graph::AttentionScale::inverse_sqrt_query_width()});
}

class PlansTest : public ::testing::Test {
 protected:
  std::vector<OperatorPlan> enumerate(const Operation& operation, const std::vector<TensorType>& operands,
                                      const graph::TensorShape& result, std::vector<bool> parameters = {}) {
    return plans(operation, operands, parameters, result, config_, model_, {},
                 GenerationContext{.diagnostics = &receiver_});
  }
  void use_catalogue(std::vector<OperatorCandidate> candidates) { config_.operator_candidates = std::move(candidates); }

  PipelineConfig config_ = PipelineConfig::make(64);
  ChosenCostModel model_;
  testing::RecordingReceiver receiver_;
};

// ---------------------------------------------------------------------------
// Attention

class AttentionPlansTest : public PlansTest {
 protected:
  AttentionPlansTest() {
    config_ = PipelineConfig::make(16);
    use_catalogue({});
  }
  std::vector<OperatorPlan> enumerate_heads(std::uint32_t query_length, std::uint32_t key_length) {
    const std::vector<TensorType> operands{tensor({2, query_length, 64}, Layout::row_sharded(1)),
                                           tensor({2, key_length, 64}, Layout::row_sharded(1)),
                                           tensor({2, key_length, 64}, Layout::row_sharded(1))};
    return enumerate(operation_of(attention_kind(), 3), operands, shape({2, query_length, 64}));
  }
};

TEST_F(AttentionPlansTest, TwoHeadsOnSixteenTilesGiveTheBlock64PlanAndTheGridsOfTheFreeBlockPlan) {
  const std::vector<OperatorPlan> listed = enumerate_heads(128, 256);
  // qp = min(128, 16 / 2) = 8 and kp = min(ceil(256 / 64), 8) = 4. The free-block
  // plan expands into (4 score grids + none) x (10 value grids + none).
  ASSERT_EQ(listed.size(), 1U + 5U * 11U);
  const OperatorPlan& aligned = listed[0];
  EXPECT_EQ(attention_dispatch(aligned),
            (OperatorDispatch::FlashAttention{std::nullopt, std::nullopt, 64, 64, 64, false}));
  Layout query = Layout::attention_output(2, 8);
  query.order = ElementOrder::amp(AmpOrder::Left);
  Layout value = Layout::attention_key(2, 4);
  value.order = ElementOrder::block_major(BlockMajorOrder::matrix(64, 16));
  ASSERT_EQ(aligned.storage.operands.size(), 3U);
  EXPECT_EQ(aligned.storage.operands[0].format.layout, query);
  EXPECT_EQ(aligned.storage.operands[1].format.layout, Layout::attention_key(2, 4));
  EXPECT_EQ(aligned.storage.operands[2].format.layout, value);
  EXPECT_TRUE(std::ranges::all_of(aligned.storage.operands, &operators::OperandRequirement::streamed));
  EXPECT_EQ(aligned.storage.output.format.layout, Layout::attention_output(2, 8));

  for (std::size_t i = 1; i < listed.size(); ++i) {
    EXPECT_EQ(attention_dispatch(listed[i]).block, 256U);
    EXPECT_TRUE(attention_dispatch(listed[i]).unaligned_block);
  }
  EXPECT_EQ(attention_dispatch(listed[1]).score_grid, (ProductGrid{1, 8, 1}));
  EXPECT_EQ(attention_dispatch(listed[1]).value_grid, (ProductGrid{1, 4, 1}));
  EXPECT_EQ(attention_dispatch(listed[2]).value_grid, (ProductGrid{1, 4, 2}));
  EXPECT_EQ(attention_dispatch(listed[11]).value_grid, std::nullopt);
  EXPECT_EQ(attention_dispatch(listed[12]).score_grid, (ProductGrid{2, 4, 1}));
  EXPECT_EQ(attention_dispatch(listed.back()).score_grid, std::nullopt);
  EXPECT_EQ(attention_dispatch(listed.back()).value_grid, std::nullopt);
}

TEST_F(AttentionPlansTest, VariantAndFilterSettingsChooseThePlans) {
  struct SettingCase {
    std::uint8_t variants;
    std::uint8_t filter;
    std::size_t plans;
  };
  const std::vector<SettingCase> cases{
      {1, 0, 2},       // both base plans without grids
      {2, 0, 4},       // the block-64 plan dropped; score grids only
      {3, 0, 10},      // value grids only
      {0, 1, 1},       // only the block-64 plan
      {0, 2, 5 * 11},  // only the free-block plans
  };
  for (const SettingCase& c : cases) {
    config_.attention_variants = c.variants;
    config_.plan_filter = c.filter;
    EXPECT_EQ(enumerate_heads(128, 256).size(), c.plans)
        << "variants " << int{c.variants} << " filter " << int{c.filter};
  }
}

TEST_F(AttentionPlansTest, NoKeysMeansNoPlansAtAllButNoQueriesOnlySkipTheAttentionRule) {
  config_ = PipelineConfig::make(16);
  EXPECT_THAT(enumerate_heads(128, 0), IsEmpty());
  const std::vector<OperatorPlan> without_queries = enumerate_heads(0, 256);
  EXPECT_FALSE(without_queries.empty());
  EXPECT_TRUE(std::ranges::none_of(
      without_queries, [](const OperatorPlan& plan) { return plan.dispatch.is<OperatorDispatch::FlashAttention>(); }));
}

// ---------------------------------------------------------------------------
// Slices and views

TEST_F(PlansTest, ASliceKeepsTheOperandLayoutOrShardsRows) {
  const TensorType operand = tensor({4, 1024}, cut(TensorAxis::trailing(1), 4));
  const Operation slice = operation_of(OperationKind::slice(graph::AxisSlice{1, 0, 512}), 1);
  const std::vector<OperatorPlan> listed = enumerate(slice, {operand}, shape({4, 512}));
  ASSERT_EQ(listed.size(), 2U);
  EXPECT_EQ(listed[0].storage.output.format.layout, operand.format.layout);
  EXPECT_EQ(listed[1].storage.output.format.layout, Layout::row_sharded(4));
  for (const OperatorPlan& plan : listed) {
    EXPECT_EQ(plan.storage.operands[0].format, operand.format);
    EXPECT_TRUE(plan.dispatch.is<OperatorDispatch::Alias>());
  }
}

TEST_F(PlansTest, AHeadSplittingViewOffersTheAttentionLayouts) {
  // [1, 128, 256] -> [4, 128, 64]: four heads of 16 tiles each.
  const graph::view::AxisFactorView split{.split_axis = 2, .merge_axis = 0, .factor = 4, .reversed = false};
  const Operation view = operation_of(OperationKind::view(split), 1);
  const TensorType operand = tensor({1, 128, 256}, Layout::row_sharded(1));
  std::vector<Layout> results;
  for (const OperatorPlan& plan : enumerate(view, {operand}, shape({4, 128, 64}))) {
    EXPECT_EQ(plan.storage.operands[0].format, operand.format);
    results.push_back(plan.storage.output.format.layout);
  }
  Layout query = Layout::attention_output(4, 16);
  query.order = ElementOrder::amp(AmpOrder::Left);
  Layout stored_key = Layout::attention_key(4, 2);
  stored_key.order = ElementOrder::block_major(BlockMajorOrder::matrix(64, 16));
  EXPECT_THAT(results, ElementsAre(query, Layout::attention_key(4, 2), stored_key));

  // 8-bit operands get only the default plan: rows over min(64, 128) tiles.
  const TensorType eight_bit = tensor({1, 128, 256}, Layout::row_sharded(1), Precision::f8f143(0));
  const std::vector<OperatorPlan> listed = enumerate(view, {eight_bit}, shape({4, 128, 64}));
  ASSERT_EQ(listed.size(), 1U);
  EXPECT_EQ(listed[0].storage.output.format, (TensorFormat{Precision::f8f143(0), Layout::row_sharded(64)}));
}

TEST_F(PlansTest, TheDefaultViewPlanReplacesAFlatOperandByRows) {
  const graph::view::AxisFactorView merge{.split_axis = 1, .merge_axis = 0, .factor = 2, .reversed = false};
  const Operation view = operation_of(OperationKind::view(merge), 1);
  const std::vector<OperatorPlan> listed = enumerate(view, {tensor({8, 256}, flat(4, 16))}, shape({16, 128}));
  ASSERT_EQ(listed.size(), 1U);
  EXPECT_EQ(listed[0].storage.operands[0].format.layout, Layout::row_sharded(8));
  EXPECT_EQ(listed[0].storage.output.format.layout, Layout::row_sharded(16));
}

// ---------------------------------------------------------------------------
// Flattened follow plans

ConcreteOperatorCandidate gelu_entry(std::uint16_t tiles, std::uint32_t alignment = 8) {
  auto entry = catalogue::format_preserving_unary_candidate(MidOperator{MidOperator::Gelu{}},
                                                            TensorFormat{Precision::f16(), Layout::row_sharded(tiles)});
  entry.plan.storage.operands[0].alignment = alignment;
  entry.plan.storage.output.alignment = alignment;
  return entry;
}

std::vector<Layout> flat_layouts(const std::vector<OperatorPlan>& listed) {
  std::vector<Layout> layouts;
  for (const OperatorPlan& plan : listed) {
    const Layout& layout = plan.storage.output.format.layout;
    if (layout.tiling.axes.size() == 1 && layout.tiling.axes[0].axis.is_flattened()) {
      layouts.push_back(layout);
    }
  }
  return layouts;
}

TEST_F(PlansTest, FlattenedGeluKeepsTileCountsThatTradeTilesForRowBoundaries) {
  // [4, 1000] in units of 4 elements: 4 tiles cut at rows (m = 0), 8 tiles cut
  // 4 rows in half (m = 4); neither beats the other. The second entry for 4
  // tiles (units of 16) is not recorded.
  use_catalogue({OperatorCandidate::concrete(gelu_entry(4)), OperatorCandidate::concrete(gelu_entry(8)),
                 OperatorCandidate::concrete(gelu_entry(4, 32))});
  const Operation gelu = operation_of(OperationKind::gelu(), 1);
  const TensorType operand = tensor({4, 1000}, Layout::row_sharded(4));
  const std::vector<OperatorPlan> listed = enumerate(gelu, {operand}, shape({4, 1000}));
  EXPECT_THAT(flat_layouts(listed), ElementsAre(flat(4, 4), flat(8, 4)));
  ASSERT_EQ(listed.size(), 4U);  // then the followed layout at alignments 8 and 32
  EXPECT_EQ(listed[0].storage.output_aliases, std::vector<std::uint16_t>{0});
  EXPECT_EQ(listed[2].storage.output.format.layout, operand.format.layout);
  EXPECT_EQ(listed[3].storage.output.alignment, 32U);

  config_.unary_flattening = 2;
  EXPECT_THAT(flat_layouts(enumerate(gelu, {operand}, shape({4, 1000}))), IsEmpty());
}

TEST_F(PlansTest, MoreTilesWithNoMoreRowBoundariesWin) {
  // [64, 1000] over 32 or 64 tiles: every boundary falls at a row end.
  use_catalogue({OperatorCandidate::concrete(gelu_entry(32)), OperatorCandidate::concrete(gelu_entry(64))});
  const std::vector<OperatorPlan> listed = enumerate(operation_of(OperationKind::gelu(), 1),
                                                     {tensor({64, 1000}, Layout::row_sharded(64))}, shape({64, 1000}));
  EXPECT_THAT(flat_layouts(listed), ElementsAre(flat(64, 4)));
}

// ---------------------------------------------------------------------------
// Re-gridded catalogue plans

TEST_F(PlansTest, ReGriddingKeepsTheUnitRowAxisAndSpreadsTheLastAxis) {
  const TensorFormat rows{Precision::f16(), Layout::row_sharded(64)};
  auto add = catalogue::pointwise_operator_candidate(MidOperator{MidOperator::Add{}}, {rows, rows}, rows);
  add.layouts = CandidateLayouts::shape_grid();
  add.plan.storage.output_aliases = std::vector<std::uint16_t>{0, 1};
  use_catalogue({OperatorCandidate::concrete(add)});
  const TensorType operand = tensor({1, 1, 4096}, Layout::row_sharded(1));
  const std::vector<OperatorPlan> listed =
      enumerate(operation_of(OperationKind::add(), 2), {operand, operand}, shape({1, 1, 4096}));
  ASSERT_EQ(listed.size(), 1U);
  Layout grid = Layout::row_sharded(64);
  grid.tiling.axes = {
      AxisTiling{.axis = TensorAxis::trailing(2), .parts = 1, .tile_stride = 64},
      AxisTiling{.axis = TensorAxis::trailing(1), .parts = 64, .panel = 4, .padding_multiple = 4, .tile_stride = 1}};
  EXPECT_EQ(listed[0].storage.output.format.layout, grid);
  EXPECT_EQ(listed[0].storage.operands[0].format.layout, grid);
  EXPECT_EQ(listed[0].storage.operands[1].format.layout, grid);
  EXPECT_EQ(listed[0].storage.output_aliases, (std::vector<std::uint16_t>{0, 1}));
}

TEST_F(PlansTest, LayerNormPartialsNeedWholeGroupsOfFourAndEnoughTiles) {
  const TensorFormat rows{Precision::f16(), Layout::row_sharded(64)};
  auto norm = catalogue::pointwise_operator_candidate(MidOperator{MidOperator::LayerNorm{}}, {rows, rows, rows}, rows);
  norm.layouts = CandidateLayouts::shape_grid_with_partials();
  use_catalogue({OperatorCandidate::concrete(norm)});
  const auto partials_for = [&](std::uint32_t rows_of_result) {
    const std::vector<TensorType> operands{tensor({rows_of_result, 96}, Layout::row_sharded(1)),
                                           tensor({96}, Layout::row_sharded(1)), tensor({96}, Layout::row_sharded(1))};
    std::vector<std::uint16_t> partials;
    for (const OperatorPlan& plan :
         enumerate(operation_of(OperationKind::layer_norm(), 3), operands, shape({rows_of_result, 96}))) {
      if (const auto* split = plan.dispatch.get_if<OperatorDispatch::LayerNorm>()) {
        partials.push_back(split->partials);
      }
    }
    return partials;
  };
  // 96 is a multiple of 8, 16 and 32; 4 rows use 4 tiles, 16 rows 16 of the 64.
  EXPECT_THAT(partials_for(4), ElementsAre(2, 4, 8));
  EXPECT_THAT(partials_for(16), ElementsAre(2, 4));
}

// ---------------------------------------------------------------------------
// Matrix products

class ProductPlansTest : public PlansTest {
 protected:
  static OperatorPlan whole_row_product() {
    Layout rows = Layout::row_sharded(1);
    rows.order = ElementOrder::amp(AmpOrder::Left);
    rows.tiling.axes.push_back(AxisTiling{.axis = TensorAxis::trailing(1),
                                          .parts = 1,
                                          .panel = 64,
                                          .padding_multiple = 64,
                                          .padding = AxisPadding::Padded});
    Layout weights = Layout::block_major_matrix_storage(64, 64, 1, 1, 1, MemoryClass::Vexa21Standard);
    weights.tiling.axes[1].padding = AxisPadding::Padded;
    Layout result = rows;
    result.memory_class = MemoryClass::Vexa21Interleaved;
    const MidOperator gemm{testing::f16_gemm};
    return catalogue::gemm_plan(
        gemm, {rows, weights, result}, 16,
        OperatorDispatch{OperatorDispatch::Gemm{64, 64, std::nullopt, operators::GemmOrientation::Normal}});
  }
};

TEST_F(ProductPlansTest, OutputGroupingKeepsOnlyThePackedProduct) {
  config_ = PipelineConfig::make(1);
  const OperatorPlan plan = whole_row_product();
  use_catalogue({OperatorCandidate::concrete({plan, CandidateLayouts::fixed()})});
  const std::vector<TensorType> operands{tensor({64, 64}, Layout::row_sharded(1)),
                                         tensor({64, 64}, Layout::row_sharded(1))};
  const Operation gemm = operation_of(OperationKind::gemm(), 2);
  EXPECT_THAT(enumerate(gemm, operands, shape({64, 64})), ElementsAre(plan));
  config_.gemm_output_grouping = 2;
  const std::vector<OperatorPlan> grouped = enumerate(gemm, operands, shape({64, 64}));
  ASSERT_EQ(grouped.size(), 1U);
  EXPECT_EQ(grouped[0], packed_gemm_output(plan, shape({64, 64})));
  EXPECT_EQ(grouped[0].storage.output.format.layout.order,
            ElementOrder::block_major(BlockMajorOrder::transposed_matrix(64, 16)));
}

TEST_F(ProductPlansTest, AConstraintKeepsOnlyMatchingDistributedProductsAndReportsIt) {
  const std::vector<TensorType> operands{tensor({128, 1024}, Layout::row_sharded(1)),
                                         tensor({1024, 1024}, Layout::row_sharded(1))};
  const Operation gemm = operation_of(OperationKind::gemm(), 2, 3);
  const auto undistributed = [](const OperatorPlan& plan) {
    const auto* dispatch = plan.dispatch.get_if<OperatorDispatch::Gemm>();
    return dispatch == nullptr || !dispatch->distribution;
  };
  EXPECT_TRUE(std::ranges::any_of(enumerate(gemm, operands, shape({128, 1024})), undistributed));
  EXPECT_TRUE(std::ranges::none_of(receiver_.events(), [](const support::DiagnosticEvent& event) {
    return event.message == "applied GEMM plan constraint";
  }));

  const GemmPlanConstraint constraint{.source_operation = 3,
                                      .orientation = operators::GemmOrientation::Normal,
                                      .row_partitions = 1,
                                      .column_partitions = 32,
                                      .inner_partitions = 2,
                                      .result_row_partitions = 1,
                                      .result_column_partitions = 1,
                                      .output_column_block = 32,
                                      .weight_memory_class = MemoryClass::Vexa21Standard,
                                      .reduction_staging = operators::ReductionStaging::complete(),
                                      .local_weight_staging = operators::LocalOperandStaging::Direct};
  config_.gemm_constraints = {constraint};
  testing::RecordingReceiver receiver;
  const std::vector<OperatorPlan> constrained =
      plans(gemm, operands, {}, shape({128, 1024}), config_, model_, {}, GenerationContext{.diagnostics = &receiver});
  ASSERT_EQ(constrained.size(), 1U);
  EXPECT_TRUE(satisfies_gemm_constraint(constrained[0], constraint));

  // Each family of the catalogue reports both orientations, then the constraint is reported.
  const std::vector<support::DiagnosticEvent> events = receiver.events();
  ASSERT_FALSE(events.empty());
  const support::DiagnosticEvent& applied = events.back();
  EXPECT_EQ(applied.level, support::DiagnosticLevel::Info);
  EXPECT_EQ(applied.message, "applied GEMM plan constraint");
  ASSERT_EQ(applied.fields.size(), 2U);
  EXPECT_EQ(applied.fields[0].name, "matching_plans");
  EXPECT_EQ(applied.fields[0].value, "1");
  EXPECT_EQ(applied.fields[1].name, "constraint");
  EXPECT_EQ(applied.fields[1].value,
            "GemmPlanConstraint { source_operation: 3, orientation: Normal, row_partitions: 1, column_partitions: 32, "
            "inner_partitions: 2, result_row_partitions: 1, result_column_partitions: 1, output_column_block: 32, "
            "weight_memory_class: Vexa21Standard, reduction_staging: Complete, local_weight_staging: Direct }");

  // The 64-tile family is the first: its Normal grids include the constrained one.
  ASSERT_GE(events.size(), 3U);
  const support::DiagnosticEvent& normal = events[0];
  EXPECT_EQ(normal.level, support::DiagnosticLevel::Debug);
  EXPECT_EQ(normal.message, "retained parallel GEMM candidates");
  EXPECT_EQ(normal.field("orientation"), "Normal");
  EXPECT_EQ(normal.field("proxy_frontier_grids"), "1");
  EXPECT_EQ(normal.field("generated_variants"), "6");  // 2 weight classes x 3 spreads
  EXPECT_EQ(normal.field("retained_variants"), "1");
  EXPECT_EQ(events[1].field("orientation"), "Swapped");
  EXPECT_EQ(events[1].field("proxy_frontier_grids"), "0");
  EXPECT_EQ(events[1].field("retained_variants"), "0");
  const auto proxies = parallel_grid_proxies(testing::f16_gemm, 64, operands, operators::GemmOrientation::Normal);
  EXPECT_EQ(normal.field("generated_grids"), std::to_string(proxies.size()));
}

// ---------------------------------------------------------------------------
// Helpers of enumeration

TEST(OperatorMatchesTest, ComparesTheOperationsPayloads) {
  const graph::AxisSlice slice{1, 0, 8};
  const graph::view::AxisFactorView view{.split_axis = 1, .merge_axis = 0, .factor = 2, .reversed = false};
  const graph::AttentionOptions options{false, graph::AttentionScale::value_bits(7)};
  const MidOperator f8_gemm{
      MidOperator::Gemm{graph::GemmOptions{}, Precision::f8f143(2), operators::AccumulationPrecision::F32}};
  struct MatchCase {
    OperationKind kind;
    MidOperator operator_;
    bool matches;
  };
  const std::vector<MatchCase> cases{
      {OperationKind::gemm(), f8_gemm, true},
      {OperationKind::gemm(graph::GemmOptions{false, true}), f8_gemm, false},
      {OperationKind::gelu(), MidOperator{MidOperator::Gelu{}}, true},
      {OperationKind::gelu(), MidOperator{MidOperator::Add{}}, false},
      {OperationKind::slice(slice), MidOperator{MidOperator::Slice{slice}}, true},
      {OperationKind::slice(slice), MidOperator{MidOperator::Slice{graph::AxisSlice{1, 8, 8}}}, false},
      {OperationKind::view(view), MidOperator{MidOperator::View{view}}, true},
      {OperationKind::flash_attention(options),
       MidOperator{MidOperator::FlashAttention{options, operators::AccumulationPrecision::F16}}, true},
      {OperationKind::flash_attention(options),
       MidOperator{MidOperator::FlashAttention{graph::AttentionOptions{false, graph::AttentionScale::value_bits(8)},
                                               operators::AccumulationPrecision::F32}},
       false},
      {OperationKind::repeat(graph::Repeat{}), MidOperator{MidOperator::Gelu{}}, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(operator_matches(cases[i].kind, cases[i].operator_), cases[i].matches) << "case " << i;
  }
}

TEST(IndependentParameterStorageTest, SpreadsTheWeightsOverTheGridWithFewestBlocksPerTile) {
  // 256 x 512 weights in 64 x 64 blocks: 4 x 8 blocks on 8 tiles leave 4 blocks
  // per tile for (rows, columns) = (1, 8), (2, 4) and (4, 2); the fewest column
  // parts win.
  const OperatorPlan plan = [] {
    Layout weights = Layout::block_major_matrix_storage(64, 64, 1, 1, 1, MemoryClass::Vexa21Interleaved);
    const MidOperator gemm{testing::f16_gemm};
    return catalogue::gemm_plan(
        gemm, {Layout::row_sharded(1), weights, Layout::row_sharded(1)}, 16,
        OperatorDispatch{OperatorDispatch::Gemm{64, 64, std::nullopt, operators::GemmOrientation::Normal}});
  }();
  const std::vector<TensorType> operands{tensor({16, 256}, Layout::row_sharded(1)),
                                         tensor({256, 512}, Layout::row_sharded(1))};
  const PipelineConfig config = PipelineConfig::make(8);
  const std::vector<OperatorPlan> variants = independent_parameter_storage(plan, operands, 1, config);
  ASSERT_EQ(variants.size(), 1U);
  Layout expected;
  expected.order = ElementOrder::block_major(BlockMajorOrder::matrix(64, 16));
  expected.memory_class = MemoryClass::Vexa21Interleaved;
  expected.tiling = {{AxisTiling{.axis = TensorAxis::trailing(1),
                                 .parts = 2,
                                 .panel = 64,
                                 .padding_multiple = 64,
                                 .padding = AxisPadding::Padded,
                                 .tile_stride = 1},
                      AxisTiling{.axis = TensorAxis::trailing(2),
                                 .parts = 4,
                                 .panel = 64,
                                 .padding_multiple = 64,
                                 .padding = AxisPadding::Padded}},
                     8,
                     1};
  EXPECT_EQ(variants[0].storage.operands[1].format.layout, expected);
  EXPECT_EQ(variants[0].storage.operands[0], plan.storage.operands[0]);

  EXPECT_THAT(independent_parameter_storage(plan, operands, 0, config), IsEmpty());  // not block-major
  OperatorPlan narrow = plan;
  std::get<OperatorDispatch::Gemm>(narrow.dispatch.value).output_column_block = 32;
  EXPECT_THAT(independent_parameter_storage(narrow, operands, 1, config), IsEmpty());
  EXPECT_THAT(independent_parameter_storage(plan, operands, 2, config), IsEmpty());
}

TEST(ResolvedOutputAliasingTest, KeepsThePositionsTheResultMayOverwrite) {
  const TensorFormat rows{Precision::f16(), Layout::row_sharded(4)};
  auto add = catalogue::pointwise_operator_candidate(MidOperator{MidOperator::Add{}}, {rows, rows}, rows).plan;
  add.storage.output_aliases = std::vector<std::uint16_t>{1, 0};
  const std::vector<TensorType> operands{tensor({8, 16}, rows.layout), tensor({16}, rows.layout)};
  EXPECT_THAT(resolved_output_aliasing(add, operands, shape({8, 16})), ElementsAre(0));
  add.storage.output_aliases.reset();
  EXPECT_THAT(resolved_output_aliasing(add, operands, shape({8, 16})), IsEmpty());
}

}  // namespace
}  // namespace vexa_codegen::mid::candidates
