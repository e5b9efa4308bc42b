#include "vexa_codegen/mid/catalogue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace vexa_codegen::mid::catalogue {
namespace {

using graph::TensorShape;
using layout::AmpOrder;
using layout::AxisPadding;
using layout::AxisTiling;
using layout::BlockMajorOrder;
using layout::ElementOrder;
using layout::MemoryClass;
using layout::TensorAxis;
using layout::TensorType;
using operators::GemmOrientation;
using operators::LocalOperandStaging;
using operators::MemoryOperand;
using operators::TileKernelSpec;

TensorShape shape(std::vector<std::uint32_t> dimensions) { return TensorShape{std::move(dimensions)}; }

const ConcreteOperatorCandidate& concrete(const OperatorCandidate& candidate) {
  return std::get<OperatorCandidate::Concrete>(candidate.value).candidate;
}

const OperatorDispatch::Gemm* gemm_dispatch(const ConcreteOperatorCandidate& candidate) {
  return candidate.plan.dispatch.get_if<OperatorDispatch::Gemm>();
}

// A matrix-product candidate described by the parameters the catalogue varies.
struct ProductSummary {
  std::string multiply;
  std::uint32_t block = 0;
  LocalOperandStaging weight_staging = LocalOperandStaging::Direct;
  MemoryClass weight_memory = MemoryClass::Vexa21Standard;
  friend bool operator==(const ProductSummary&, const ProductSummary&) = default;
};

void PrintTo(const ProductSummary& s, std::ostream* os) {
  *os << s.multiply << " block " << s.block << (s.weight_staging == LocalOperandStaging::MatchRemote ? " match" : "")
      << (s.weight_memory == MemoryClass::Vexa21Interleaved ? " interleaved" : "");
}

ProductSummary summary(const ConcreteOperatorCandidate& candidate) {
  const auto& weights = candidate.plan.storage.operands[1];
  return {dump(std::get<MidOperator::Gemm>(candidate.plan.operator_.value).multiply),
          gemm_dispatch(candidate)->output_column_block, weights.staging, weights.format.layout.memory_class};
}

// The operator and layouts of a candidate that is not a matrix product.
std::string element_wise_summary(const ConcreteOperatorCandidate& candidate) {
  return dump(candidate.plan.operator_) + " " + dump(candidate.layouts);
}

// The row parts of a grid product's activations and the inner partitions of its weights.
std::uint16_t activation_row_parts(const ConcreteOperatorCandidate& candidate) {
  return candidate.plan.storage.operands[0].format.layout.tiling.axes[0].parts;
}
std::uint16_t weight_inner_parts(const ConcreteOperatorCandidate& candidate) {
  for (const AxisTiling& tiling : candidate.plan.storage.operands[1].format.layout.tiling.axes) {
    if (tiling.axis == TensorAxis::trailing(2)) {
      return tiling.parts;
    }
  }
  return 0;
}

TEST(OperatorCandidates, OneTileInOrder) {
  const std::vector<OperatorCandidate> candidates = operator_candidates_for_tile_count(1);
  ASSERT_EQ(candidates.size(), 21U);
  const auto match = LocalOperandStaging::MatchRemote;
  const auto direct = LocalOperandStaging::Direct;
  const auto standard = MemoryClass::Vexa21Standard;
  const auto interleaved = MemoryClass::Vexa21Interleaved;
  const std::vector<ProductSummary> products{
      // configuration 1: F16 with standard weights, each also with matched staging
      {"F16", 64, direct, standard},
      {"F16", 64, match, standard},
      {"F16", 128, direct, standard},
      {"F16", 128, match, standard},
      // configuration 2: F16 with interleaved weights, blocks 64, 128 and 32
      {"F16", 64, direct, interleaved},
      {"F16", 128, direct, interleaved},
      {"F16", 32, direct, interleaved},
      // configuration 3: F32
      {"F32", 64, direct, standard},
      // the whole-row products
      {"F16", 64, direct, standard},
      {"F16", 128, direct, standard},
      {"F32", 64, direct, standard},
  };
  for (std::size_t i = 0; i < products.size(); ++i) {
    EXPECT_EQ(summary(concrete(candidates[i])), products[i]) << "candidate " << i;
  }
  const std::vector<std::string> element_wise{
      "Add FollowOperand(0)",
      "Add FollowOperand(1)",
      "Add ShapeGrid",
      "LayerNorm ShapeGridWithPartials",
      "LayerNorm Fixed",
      "Gelu FollowOperand(0)",
      "Gelu FollowOperand(0)",
      "Add Fixed",
      "FlashAttention { options: AttentionOptions { causal: false, scale: InverseSqrtQueryWidth }, accumulate: F32 } "
      "Fixed",
  };
  for (std::size_t i = 0; i < element_wise.size(); ++i) {
    EXPECT_EQ(element_wise_summary(concrete(candidates[products.size() + i])), element_wise[i]) << "candidate " << i;
  }
  // The first GELU keeps AMP rows in interleaved memory, the second plain rows.
  EXPECT_EQ(concrete(candidates[16]).plan.storage.operands[0].format.layout.order, ElementOrder::amp(AmpOrder::Left));
  EXPECT_EQ(concrete(candidates[17]).plan.storage.operands[0].format.layout, Layout::row_sharded(1));
  EXPECT_EQ(dump(candidates.back()),
            "GemmFamily { options: GemmOptions { transpose_left: false, transpose_right: false }, multiply: F16, "
            "accumulate: F16, tile_count: 1 }");
}

// Every one-tile product plan serves [8, 128] x [128, b] -> [8, b] for its own
// column block b, and every element-wise plan serves shapes of its kind.
TEST(OperatorCandidates, OneTilePlansServeSmallOperations) {
  const std::vector<OperatorCandidate> candidates = operator_candidates_for_tile_count(1);
  const auto types = [](std::vector<TensorShape> shapes) {
    std::vector<TensorType> out;
    for (TensorShape& s : shapes) {
      out.push_back({std::move(s), {Precision::f16(), Layout::row_sharded(1)}});
    }
    return out;
  };
  for (std::size_t i = 0; i + 1 < candidates.size(); ++i) {
    const OperatorPlan& plan = concrete(candidates[i]).plan;
    if (const auto* gemm = gemm_dispatch(concrete(candidates[i]))) {
      const std::uint32_t block = gemm->output_column_block;
      EXPECT_TRUE(plan.supports(types({shape({8, 128}), shape({128, block})}), shape({8, block}))) << i;
    } else if (plan.operator_.is<MidOperator::FlashAttention>()) {
      const TensorShape x = shape({2, 64, 64});
      EXPECT_TRUE(plan.supports(types({x, x, x}), x)) << i;
    } else {
      const TensorShape x = shape({8, 128});
      EXPECT_TRUE(plan.supports(types(std::vector<TensorShape>(plan.storage.operands.size(), x)), x)) << i;
    }
  }
}

// The whole-row products keep unsplit weights in standard memory with the
// column tiling first; every grid product orders or places them otherwise.
bool is_row_product(const ConcreteOperatorCandidate& candidate) {
  const Layout& weights = candidate.plan.storage.operands[1].format.layout;
  return weights.tiling.axes[0].axis == TensorAxis::trailing(1) &&
         weights.memory_class == MemoryClass::Vexa21Standard && weight_inner_parts(candidate) == 1;
}

TEST(OperatorCandidates, SixtyFourTileGrids) {
  const std::vector<OperatorCandidate> candidates = operator_candidates_for_tile_count(64);
  std::vector<const ConcreteOperatorCandidate*> products;
  for (const OperatorCandidate& entry : candidates) {
    const auto* c = entry.get_if<OperatorCandidate::Concrete>();
    if (c != nullptr && gemm_dispatch(c->candidate) != nullptr) {
      products.push_back(&c->candidate);
    }
  }
  ASSERT_EQ(products.size(), 108U + 3);
  EXPECT_EQ(candidates.size(), 108U + 3 + 9 + 1);
  // Per grid (R row parts, N = 64 / R column parts): 8 products of
  // configurations 1 to 3, 7 more for R >= 2 (configurations 4 to 6) and 2
  // more for even R >= 4 (configuration 7).
  std::map<std::uint16_t, int> per_row_parts;
  std::map<std::uint16_t, int> inner_two_interleaved;
  std::vector<std::uint16_t> grid_order;
  int blocks_of_32 = 0;
  for (std::size_t i = 0; i < 108; ++i) {
    const ConcreteOperatorCandidate& candidate = *products[i];
    EXPECT_FALSE(is_row_product(candidate)) << i;
    const std::uint16_t rows = activation_row_parts(candidate);
    if (grid_order.empty() || grid_order.back() != rows) {
      grid_order.push_back(rows);
    }
    ++per_row_parts[rows];
    const bool interleaved =
        candidate.plan.storage.operands[1].format.layout.memory_class == MemoryClass::Vexa21Interleaved;
    if (weight_inner_parts(candidate) == 2 && interleaved) {
      ++inner_two_interleaved[rows];
    }
    // The 32-column block comes only with unsplit interleaved F16 weights
    // (configuration 2).
    if (gemm_dispatch(candidate)->output_column_block == 32) {
      ++blocks_of_32;
      EXPECT_EQ(weight_inner_parts(candidate), 1);
      EXPECT_TRUE(interleaved);
      EXPECT_EQ(summary(candidate).multiply, "F16");
    }
  }
  for (std::size_t i = 108; i < products.size(); ++i) {
    EXPECT_TRUE(is_row_product(*products[i])) << i;
  }
  // Divisors N of 64 from 64 down: R = 1, 2, 4, ..., 64.
  EXPECT_EQ(grid_order, (std::vector<std::uint16_t>{1, 2, 4, 8, 16, 32, 64}));
  EXPECT_EQ(per_row_parts,
            (std::map<std::uint16_t, int>{{1, 8}, {2, 15}, {4, 17}, {8, 17}, {16, 17}, {32, 17}, {64, 17}}));
  // Two inner partitions in interleaved memory: configuration 5 for R = 2,
  // configuration 7 for R >= 4 (blocks 64 and 128 each).
  EXPECT_EQ(inner_two_interleaved,
            (std::map<std::uint16_t, int>{{2, 2}, {4, 2}, {8, 2}, {16, 2}, {32, 2}, {64, 2}}));
  EXPECT_EQ(blocks_of_32, 7);  // one per grid
}

TEST(OperatorCandidates, ConfigurationSevenNeedsAnEvenRowCount) {
  // Five tiles: R = 1 (N = 5) and R = 5 (N = 1); five rows are not even, so
  // only configurations 1 to 6 apply. Six tiles: R = 6 also gets configuration 7.
  std::map<std::uint16_t, int> per_row_parts;
  for (const std::uint16_t tiles : std::vector<std::uint16_t>{5, 6}) {
    for (const OperatorCandidate& entry : operator_candidates_for_tile_count(tiles)) {
      const auto* c = entry.get_if<OperatorCandidate::Concrete>();
      if (c != nullptr && gemm_dispatch(c->candidate) != nullptr && !is_row_product(c->candidate)) {
        ++per_row_parts[activation_row_parts(c->candidate)];
      }
    }
  }
  EXPECT_EQ(per_row_parts, (std::map<std::uint16_t, int>{{1, 16}, {2, 15}, {3, 15}, {5, 15}, {6, 17}}));
}

TEST(OperatorCandidates, SameOperatorWithOtherLayoutsIsNoRepeat) {
  const std::vector<OperatorCandidate> candidates = operator_candidates_for_tile_count(4);
  const std::size_t first = candidates.size() - 10;  // the nine element-wise candidates, then the family
  const ConcreteOperatorCandidate& add_follow = concrete(candidates[first]);
  const ConcreteOperatorCandidate& add_fixed = concrete(candidates[first + 7]);
  EXPECT_EQ(add_follow.plan, add_fixed.plan);
  EXPECT_NE(add_follow.layouts, add_fixed.layouts);
  EXPECT_EQ(concrete(candidates[first + 3]).plan, concrete(candidates[first + 4]).plan);
  EXPECT_EQ(add_follow.plan.storage.output_aliases, (std::vector<std::uint16_t>{0, 1}));
  EXPECT_EQ(add_follow.plan.storage.operands[0].format.layout, Layout::row_sharded(4));
}

TEST(OperatorCandidates, ZeroTilesHaveNoGrids) {
  const std::vector<OperatorCandidate> candidates = operator_candidates_for_tile_count(0);
  ASSERT_EQ(candidates.size(), 13U);
  EXPECT_EQ(concrete(candidates[0]).plan.storage.output.format.layout.tiling.tile_count, 0);
  EXPECT_EQ(std::get<OperatorCandidate::GemmFamily>(candidates.back().value).tile_count, 0);
}

// The family entries close the list of each tile count.
std::vector<std::uint16_t> family_tile_counts(const std::vector<OperatorCandidate>& candidates) {
  std::vector<std::uint16_t> counts;
  for (const OperatorCandidate& candidate : candidates) {
    if (const auto* family = candidate.get_if<OperatorCandidate::GemmFamily>()) {
      counts.push_back(family->tile_count);
    }
  }
  return counts;
}

TEST(DefaultOperatorCandidates, TileCountsThenPowersOfTwo) {
  const std::vector<OperatorCandidate> candidates = default_operator_candidates(64);
  EXPECT_EQ(family_tile_counts(candidates), (std::vector<std::uint16_t>{64, 32, 16, 8, 4, 2, 1}));
  std::vector<OperatorCandidate> expected;
  for (const std::uint16_t tiles : std::vector<std::uint16_t>{64, 32, 16, 8, 4, 2, 1}) {
    const std::vector<OperatorCandidate> part = operator_candidates_for_tile_count(tiles);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  EXPECT_EQ(candidates, expected);

  EXPECT_EQ(family_tile_counts(default_operator_candidates(48)),
            (std::vector<std::uint16_t>{48, 32, 16, 8, 4, 2, 1}));
  EXPECT_EQ(family_tile_counts(default_operator_candidates(3)), (std::vector<std::uint16_t>{3, 2, 1}));
  EXPECT_EQ(family_tile_counts(default_operator_candidates(0)), (std::vector<std::uint16_t>{0}));
  const std::vector<std::uint16_t> largest = family_tile_counts(default_operator_candidates(65535));
  ASSERT_EQ(largest.size(), 17U);
  EXPECT_EQ(largest[0], 65535);
  EXPECT_EQ(largest[1], 32768);
}

TEST(DefaultOperatorCandidates, EachCandidateOnce) {
  // The tile count is a power of two itself: its candidates are listed once.
  EXPECT_EQ(default_operator_candidates(1), operator_candidates_for_tile_count(1));
  EXPECT_EQ(family_tile_counts(default_operator_candidates(4)), (std::vector<std::uint16_t>{4, 2, 1}));
  const std::vector<OperatorCandidate> candidates = default_operator_candidates(64);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    for (std::size_t j = i + 1; j < candidates.size(); ++j) {
      ASSERT_FALSE(candidates[i] == candidates[j]) << i << " repeats at " << j;
    }
  }
}

// ---------------------------------------------------------------------------
// The plan builders

const MidOperator f16_product{MidOperator::Gemm{{false, false}, Precision::f16(), AccumulationPrecision::F16}};

OperatorDispatch product(GemmOrientation orientation) {
  return {OperatorDispatch::Gemm{64, 64, std::nullopt, orientation}};
}

TEST(GemmPlan, StreamedOperandSharesTheResultBuffer) {
  const std::array<Layout, 3> layouts{Layout::row_sharded(1), Layout::row_sharded(2), Layout::row_sharded(3)};
  for (const GemmOrientation orientation : {GemmOrientation::Normal, GemmOrientation::Swapped}) {
    const std::uint16_t streamed = orientation == GemmOrientation::Normal ? 0 : 1;
    const OperatorPlan plan = gemm_plan(f16_product, layouts, 16, product(orientation));
    ASSERT_EQ(plan.storage.operands.size(), 2U);
    for (std::uint16_t i = 0; i < 2; ++i) {
      const operators::OperandRequirement& operand = plan.storage.operands[i];
      EXPECT_EQ(operand.format, (TensorFormat{Precision::f16(), layouts[i]}));
      EXPECT_EQ(operand.alignment, 32U);
      EXPECT_EQ(operand.stream_panel, i == streamed ? 16U : 0U);
      EXPECT_EQ(operand.streamed, i == streamed);
    }
    EXPECT_EQ(plan.storage.output.format, (TensorFormat{Precision::f16(), layouts[2]}));
    EXPECT_EQ(plan.storage.shared_memory,
              (std::vector<std::vector<MemoryOperand>>{{MemoryOperand::output(), MemoryOperand::input(streamed)}}));
    EXPECT_FALSE(plan.storage.output_aliases);
  }
  // An 8-bit product writes F16; an F32 product writes F32.
  const MidOperator f8{MidOperator::Gemm{{false, false}, Precision::f8f143(-4), AccumulationPrecision::F16}};
  EXPECT_EQ(gemm_plan(f8, layouts, 16, product(GemmOrientation::Normal)).storage.output.format.precision,
            Precision::f16());
  EXPECT_EQ(gemm_plan(f8, layouts, 16, product(GemmOrientation::Normal)).storage.operands[0].format.precision,
            Precision::f8f143(-4));
}

TEST(GemmPlanDeathTest, StopsOnAnotherOperatorOrDispatch) {
  const std::array<Layout, 3> layouts{Layout::row_sharded(1), Layout::row_sharded(1), Layout::row_sharded(1)};
  EXPECT_DEATH((void)gemm_plan({MidOperator::Add{}}, layouts, 16, product(GemmOrientation::Normal)),
               "^internal error: entered unreachable code: GEMM operand contract requires a GEMM operator\n$");
  EXPECT_DEATH((void)gemm_plan(f16_product, layouts, 16, {OperatorDispatch::Alias{}}),
               "^internal error: entered unreachable code: GEMM operand contract requires a GEMM dispatch\n$");
}

AxisTiling tiling(std::uint16_t trailing, std::uint16_t parts, std::uint32_t panel, AxisPadding padding,
                  std::optional<std::uint16_t> stride) {
  return {TensorAxis::trailing(trailing), parts, 1, panel, panel, 1, padding, stride};
}

TEST(AmpGridCandidate, UnsplitWeightsAreReplicatedOverRows) {
  // 8 tiles as 4 row parts x 2 column parts, numbered column-major.
  const ConcreteOperatorCandidate candidate =
      amp_grid_gemm_operator_candidate(Precision::f32(), 64, 32, 128, {8, 4, 2, true}, 1, false);
  const auto& storage = candidate.plan.storage;
  const Layout& activations = storage.operands[0].format.layout;
  EXPECT_EQ(activations.order, ElementOrder::amp(AmpOrder::Left));
  EXPECT_EQ(activations.tiling.axes, (std::vector<AxisTiling>{tiling(2, 4, 1, AxisPadding::Exact, 1),
                                                              tiling(1, 1, 64, AxisPadding::Padded, std::nullopt)}));
  EXPECT_EQ(activations.tiling.tile_count, 8);
  EXPECT_EQ(activations.tiling.replication, 2);
  const Layout& weights = storage.operands[1].format.layout;
  EXPECT_EQ(weights.order, ElementOrder::block_major(BlockMajorOrder::matrix(64, 16)));
  EXPECT_EQ(weights.tiling.axes, (std::vector<AxisTiling>{tiling(2, 1, 64, AxisPadding::Padded, std::nullopt),
                                                          tiling(1, 2, 128, AxisPadding::Padded, 4)}));
  EXPECT_EQ(weights.tiling.tile_count, 8);
  EXPECT_EQ(weights.tiling.replication, 4);
  EXPECT_EQ(weights.memory_class, MemoryClass::Vexa21Standard);
  EXPECT_EQ(storage.output.format, (TensorFormat{Precision::f32(), Layout::amp_output_grid(128, 8, 4, 2, true)}));
  EXPECT_EQ(storage.operands[0].stream_panel, 32U);
  EXPECT_EQ(candidate.plan.operator_,
            (MidOperator{MidOperator::Gemm{{false, false}, Precision::f32(), AccumulationPrecision::F32}}));
  EXPECT_EQ(candidate.plan.dispatch,
            (OperatorDispatch{OperatorDispatch::Gemm{64, 128, std::nullopt, GemmOrientation::Normal}}));
  EXPECT_EQ(candidate.layouts, CandidateLayouts::fixed());
}

TEST(AmpGridCandidate, SplitWeightsShareTheReplicas) {
  // 16 tiles as 8 row parts x 2 column parts, row-major; the reduction split
  // in two, so each weight shard is held by 8 / 2 = 4 tiles.
  const ConcreteOperatorCandidate candidate =
      amp_grid_gemm_operator_candidate(Precision::f16(), 64, 16, 64, {16, 8, 2, false}, 2, true);
  const Layout& activations = candidate.plan.storage.operands[0].format.layout;
  EXPECT_EQ(activations.tiling.axes[0], tiling(2, 8, 1, AxisPadding::Exact, 2));
  const Layout& weights = candidate.plan.storage.operands[1].format.layout;
  EXPECT_EQ(weights.tiling.axes, (std::vector<AxisTiling>{tiling(1, 2, 64, AxisPadding::Padded, 1),
                                                          tiling(2, 2, 64, AxisPadding::Padded, std::nullopt)}));
  EXPECT_EQ(weights.tiling.replication, 4);
  EXPECT_EQ(weights.tiling.tile_count, 16);
  EXPECT_EQ(weights.memory_class, MemoryClass::Vexa21Interleaved);
  EXPECT_EQ(candidate.plan.storage.output.format.layout.order, ElementOrder::amp(AmpOrder::Left));

  // One row part over all tiles and one column: the activations need no stride.
  const ConcreteOperatorCandidate rows =
      amp_grid_gemm_operator_candidate(Precision::f16(), 64, 16, 64, {4, 4, 1, false}, 1, false);
  EXPECT_EQ(rows.plan.storage.operands[0].format.layout.tiling.axes[0].tile_stride, std::nullopt);

  // Only an F16 product writes its result in `Amp(Left)`.
  const ConcreteOperatorCandidate f8 =
      amp_grid_gemm_operator_candidate(Precision::f8f143(-4), 64, 16, 64, {4, 4, 1, false}, 1, false);
  EXPECT_EQ(f8.plan.storage.output.format.layout.order, ElementOrder::amp(AmpOrder::Output));

  // A weight tile count beyond 16 bits becomes 0, which resolution rejects.
  const ConcreteOperatorCandidate huge =
      amp_grid_gemm_operator_candidate(Precision::f16(), 64, 16, 64, {65535, 600, 300, false}, 300, false);
  EXPECT_EQ(huge.plan.storage.operands[1].format.layout.tiling.tile_count, 0);
}

TEST(PointwiseCandidate, DispatchByOperator) {
  const TensorFormat rows{Precision::f16(), Layout::row_sharded(2)};
  const graph::AttentionScale scale = graph::AttentionScale::value_bits(7);
  struct Case {
    MidOperator op;
    OperatorDispatch dispatch;
  };
  const auto kernel = [](TileKernelSpec spec) { return OperatorDispatch{OperatorDispatch::TileKernel{spec}}; };
  const std::vector<Case> cases{
      {f16_product, product(GemmOrientation::Normal)},
      {{MidOperator::Gelu{}}, kernel({TileKernelSpec::Gelu{}})},
      {{MidOperator::LayerNorm{}}, kernel({TileKernelSpec::LayerNorm{}})},
      {{MidOperator::Add{}}, kernel({TileKernelSpec::Add{}})},
      {{MidOperator::FlashAttention{{true, scale}, AccumulationPrecision::F16}},
       kernel({TileKernelSpec::Attention{scale, true, AccumulationPrecision::F16}})},
      {{MidOperator::View{{0, 1, 2, false}}}, {OperatorDispatch::Alias{}}},
      {{MidOperator::Slice{{1, 0, 4}}}, {OperatorDispatch::Alias{}}},
  };
  for (const Case& c : cases) {
    const ConcreteOperatorCandidate candidate = pointwise_operator_candidate(c.op, {rows, rows}, rows);
    EXPECT_EQ(candidate.plan.dispatch, c.dispatch) << dump(c.op);
    EXPECT_EQ(candidate.plan.operator_, c.op);
  }
  const ConcreteOperatorCandidate add = pointwise_operator_candidate({MidOperator::Add{}}, {rows, rows, rows}, rows);
  EXPECT_EQ(add.plan.storage.operands.size(), 3U);
  EXPECT_EQ(add.plan.storage.operands[2],
            (operators::OperandRequirement{rows, 8, 0, LocalOperandStaging::Direct, false}));
  EXPECT_TRUE(add.plan.storage.shared_memory.empty());
  EXPECT_FALSE(add.plan.storage.output_aliases);
  EXPECT_EQ(add.layouts, CandidateLayouts::fixed());
}

TEST(FormatPreservingCandidate, ResultMayOverwriteTheOperand) {
  const TensorFormat rows{Precision::f32(), Layout::row_sharded(2)};
  const ConcreteOperatorCandidate gelu = format_preserving_unary_candidate({MidOperator::Gelu{}}, rows);
  EXPECT_EQ(gelu.plan.storage.operands,
            (std::vector<operators::OperandRequirement>{{rows, 8, 0, LocalOperandStaging::Direct, false}}));
  EXPECT_EQ(gelu.plan.storage.output, gelu.plan.storage.operands[0]);
  EXPECT_EQ(gelu.plan.storage.output_aliases, (std::vector<std::uint16_t>{0}));
  EXPECT_EQ(gelu.plan.dispatch, (OperatorDispatch{OperatorDispatch::TileKernel{{TileKernelSpec::Gelu{}}}}));
  EXPECT_EQ(gelu.layouts, CandidateLayouts::follow_operand(0));
}

TEST(CatalogueDump, Forms) {
  EXPECT_EQ(dump(CandidateLayouts::follow_operand(1)), "FollowOperand(1)");
  EXPECT_EQ(dump(CandidateLayouts::shape_grid_with_partials()), "ShapeGridWithPartials");
  const ConcreteOperatorCandidate gelu =
      format_preserving_unary_candidate({MidOperator::Gelu{}}, {Precision::f16(), Layout::row_sharded(1)});
  const std::string plan = dump(gelu.plan);
  EXPECT_EQ(dump(gelu), "ConcreteOperatorCandidate { plan: " + plan + ", layouts: FollowOperand(0) }");
  EXPECT_EQ(dump(OperatorCandidate::concrete(gelu)), "Concrete(ConcreteOperatorCandidate { plan: " + plan +
                                                         ", layouts: FollowOperand(0) })");
}

}  // namespace
}  // namespace vexa_codegen::mid::catalogue
