#include "vexa_codegen/mid/optimistic/conversion.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vexa_codegen::mid::optimistic::conversion {
namespace {

using graph::TensorShape;
using layout::AmpOrder;
using layout::ElementOrder;
using layout::Layout;
using layout::MemoryClass;
using layout::Precision;
using layout::TensorFormat;
using layout::TensorType;

constexpr std::uint16_t pipeline_tiles = 8;
constexpr std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();

TensorType tensor(std::vector<std::uint32_t> shape, Precision precision, Layout layout) {
  return TensorType{.shape = TensorShape{std::move(shape)},
                    .format = TensorFormat{.precision = precision, .layout = std::move(layout)}};
}

Layout with_order(Layout layout, ElementOrder order) {
  layout.order = order;
  return layout;
}

Layout rows_in(std::uint16_t tiles, ElementOrder order) { return with_order(Layout::row_sharded(tiles), order); }

Layout interleaved(Layout layout) {
  layout.memory_class = MemoryClass::Vexa21Interleaved;
  return layout;
}

const ElementOrder row_major = ElementOrder::row_major();
const ElementOrder left = ElementOrder::amp(AmpOrder::Left);

SearchLimits limits(std::size_t steps, std::size_t paths) {
  return SearchLimits{.max_operations = 8,
                      .beam_width = 16,
                      .max_conversion_steps = steps,
                      .max_conversion_paths = paths,
                      .max_expansions = 2048,
                      .max_fused_steps = 4};
}

const SearchLimits driver_limits = limits(3, 8);

std::vector<ConversionPath> enumerate(const TensorType& source, const TensorType& target,
                                      const SearchLimits& bounds = driver_limits) {
  auto paths = enumerate_conversions(source, target, pipeline_tiles, bounds);
  EXPECT_TRUE(paths.has_value()) << message(paths.error());
  return paths.value_or(std::vector<ConversionPath>{});
}

Assumptions missing_kernel(std::string text) { return {Assumption::missing_kernel(std::move(text))}; }
const Assumptions equivalence{Assumption::missing_equivalence_rule()};
const Assumptions eligibility{Assumption::conversion_eligibility()};

bool precision_changes(const Transform& step) { return step.from.format.precision != step.to.format.precision; }

// ---------------------------------------------------------------------------
// Direct steps

struct EdgeCase {
  const char* name;
  TensorType source;
  TensorType target;
  bool allow_alias;
  TransformKind kind;
  CycleEstimate cycles;
  Assumptions assumptions;
};

// Figures worked by hand from the cycle formulas: the floor of a local step is
// max(ceil((A >> shift) / 8), ceil((A + B) / 8)) + 330 with A and B the largest
// shard bytes of the two sides; a step without kernel costs four floors conservatively.
std::vector<EdgeCase> edge_cases() {
  const Layout two_row_shards = Layout::row_sharded(2);
  const Layout four_row_shards = Layout::row_sharded(4);
  const Layout blocks32 = Layout::block_major_matrix_storage(32, 16, 1, 2, 1, MemoryClass::Vexa21Standard);
  const Layout blocks16 = Layout::block_major_matrix_storage(16, 16, 1, 2, 1, MemoryClass::Vexa21Standard);
  return {
      // A = 1024, B = 2048: floor max(64, 384) + 330 = 714; the F16 -> F32 kernel is a placeholder.
      {"F16ToF32CastHasNoKernel", tensor({8, 128}, Precision::f16(), two_row_shards),
       tensor({8, 128}, Precision::f32(), two_row_shards), false, TransformKind::Cast, {714, 2856},
       missing_kernel("F16 RowMajor -> F32 RowMajor")},
      // A = 2048, B = 1024: floor 714; the kernel costs 48 x ceil(512 / 12) + 330 = 2394.
      {"F32ToF16CastPricedByKernel", tensor({8, 128}, Precision::f32(), two_row_shards),
       tensor({8, 128}, Precision::f16(), two_row_shards), false, TransformKind::Cast, {2394, 2394}, {}},
      // A = B = 512: floor max(64, 128) + 330 = 458 is above the kernel's 139.
      {"F8ScaleChangeRowMajorIsBacked", tensor({8, 128}, Precision::f8f143(0), two_row_shards),
       tensor({8, 128}, Precision::f8f143(2), two_row_shards), false, TransformKind::Cast, {458, 458}, {}},
      // A = B = 2048: floor max(256, 512) + 330 = 842.
      {"F8ScaleChangeBlockMajorHasNoKernel", tensor({64, 64}, Precision::f8f143(0), blocks32),
       tensor({64, 64}, Precision::f8f143(2), blocks32), false, TransformKind::Cast, {842, 3368},
       missing_kernel("F8F143 { scale_exponent: 0 } BlockMajor(Matrix { row_block: 32, column_block: 16 }) -> "
                      "F8F143 { scale_exponent: 2 } BlockMajor(Matrix { row_block: 32, column_block: 16 })")},
      // Blocks of 32 rows fit the 8-bit vectors: 4 x (72 x 3 + 120) + 330 = 1674 above the floor 1098.
      {"F16ToF8BlockMajorInCastLayoutIsBacked", tensor({64, 64}, Precision::f16(), blocks32),
       tensor({64, 64}, Precision::f8f143(0), blocks32), false, TransformKind::Cast, {1674, 1674}, {}},
      // Blocks of 16 rows do not: A = 2048, B = 1024, floor max(128, 384) + 330 = 714.
      {"F16ToF8BlockMajorOutsideCastLayoutHasNoKernel", tensor({64, 32}, Precision::f16(), blocks16),
       tensor({64, 32}, Precision::f8f143(0), blocks16), false, TransformKind::Cast, {714, 2856},
       missing_kernel("F16 BlockMajor(Matrix { row_block: 16, column_block: 16 }) -> F8F143 { scale_exponent: 0 } "
                      "BlockMajor(Matrix { row_block: 16, column_block: 16 })")},
      // The producer layout of the row-major source is exactly the target's: the kernel's
      // 2 x (72 + 120) + 330 = 714 (group 2) is above the floor max(16, 48) + 330 = 378.
      {"F16RowMajorToF8LeftIsBacked", tensor({8, 64}, Precision::f16(), four_row_shards),
       tensor({8, 64}, Precision::f8f143(0), rows_in(4, left)), false, TransformKind::CastAndPack, {714, 714}, {}},
      // A = 256, B = 512: floor max(16, 96) + 330 = 426.
      {"F16RowMajorToF32LeftHasNoKernel", tensor({8, 64}, Precision::f16(), four_row_shards),
       tensor({8, 64}, Precision::f32(), rows_in(4, left)), false, TransformKind::CastAndPack, {426, 1704},
       missing_kernel("F16 RowMajor -> F32 Amp(Left)")},
      // A = B = 128: floor max(8, 32) + 330 = 362 above the local rearrangement's 32 + 288 = 320.
      {"F16PackIsBacked", tensor({4, 64}, Precision::f16(), four_row_shards),
       tensor({4, 64}, Precision::f16(), rows_in(4, left)), false, TransformKind::Pack, {362, 362}, {}},
      {"AliasWhenAllowedAndEquivalent", tensor({4, 64}, Precision::f16(), four_row_shards),
       tensor({4, 64}, Precision::f16(), rows_in(4, left)), true, TransformKind::Alias, {0, 0}, equivalence},
      // The relayout kernels only handle F16: A = B = 256, floor max(8, 64) + 330 = 394.
      {"F32PackHasNoKernel", tensor({4, 64}, Precision::f32(), four_row_shards),
       tensor({4, 64}, Precision::f32(), rows_in(4, left)), false, TransformKind::Pack, {394, 1576},
       missing_kernel("F32 RowMajor -> F32 Amp(Left)")},
      // Unpacking 8-bit words needs no relayout kernel: A = B = 64, floor max(8, 16) + 330 = 346.
      {"F8WordUnpackIsBacked", tensor({4, 64}, Precision::f8f143(0), rows_in(4, left)),
       tensor({4, 64}, Precision::f8f143(0), four_row_shards), false, TransformKind::Pack, {346, 346}, {}},
      // Rows 2 -> 4: local 512 bytes (64) + one piece (288) + exchange max(256, 2 x 160) + 600 = 1272,
      // above the floor ceil(1024 / 4) + 600 = 856.
      {"RedistributionPricedByModel", tensor({8, 128}, Precision::f16(), two_row_shards),
       tensor({8, 128}, Precision::f16(), four_row_shards), false, TransformKind::Redistribute, {1272, 1272}, {}},
      // The same with an alias allowed: a tiling change is never an alias.
      {"RedistributionIgnoresAlias", tensor({8, 128}, Precision::f16(), two_row_shards),
       tensor({8, 128}, Precision::f16(), four_row_shards), true, TransformKind::Redistribute, {1272, 1272}, {}},
      // Only the memory class differs: still a redistribution. Identical boxes, so only
      // local work: 1024 bytes (128) + one piece (288) = 416, below the floor 256 + 600.
      {"MemoryClassChangeRedistributes", tensor({8, 128}, Precision::f16(), two_row_shards),
       tensor({8, 128}, Precision::f16(), interleaved(two_row_shards)), false, TransformKind::Redistribute,
       {856, 856}, {}},
  };
}

class Edge : public testing::TestWithParam<EdgeCase> {};

TEST_P(Edge, KindCyclesAndAssumptions) {
  const EdgeCase& c = GetParam();
  const auto step = edge(c.source, c.target, c.allow_alias);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step->from, c.source);
  EXPECT_EQ(step->to, c.target);
  EXPECT_EQ(step->kind, c.kind);
  EXPECT_EQ(step->cycles, c.cycles);
  EXPECT_EQ(step->assumptions, c.assumptions);
}

INSTANTIATE_TEST_SUITE_P(Conversion, Edge, testing::ValuesIn(edge_cases()),
                         [](const testing::TestParamInfo<EdgeCase>& param) { return std::string(param.param.name); });

TEST(EdgeAbsent, NoSingleStepForTheseChanges) {
  const TensorType rows2 = tensor({8, 128}, Precision::f16(), Layout::row_sharded(2));
  const TensorType rows4_f32 = tensor({8, 128}, Precision::f32(), Layout::row_sharded(4));
  const TensorType rows4_left = tensor({8, 128}, Precision::f16(), rows_in(4, left));
  const TensorType left2 = tensor({8, 128}, Precision::f16(), rows_in(2, left));
  const TensorType rows4 = tensor({8, 128}, Precision::f16(), Layout::row_sharded(4));
  EXPECT_FALSE(edge(rows2, rows2, true).has_value()) << "equal types";
  EXPECT_FALSE(edge(rows2, rows4_f32, false).has_value()) << "tiling and precision";
  EXPECT_FALSE(edge(rows2, rows4_left, false).has_value()) << "tiling and a packing order change";
  EXPECT_TRUE(edge(left2, rows4, false).has_value()) << "tiling and word unpacking";
}

TEST(EdgeRedistribution, WithoutCostFigureRecordsMissingCostModel) {
  // A target layout that does not resolve has no traffic and hence no figure; its
  // shard bytes are the largest value, so the floor is ceil(M / 4) + 600.
  Layout broken = Layout::row_sharded(4);
  broken.tiling.tile_count = 3;
  const auto step = edge(tensor({8, 128}, Precision::f16(), Layout::row_sharded(2)),
                         tensor({8, 128}, Precision::f16(), broken), false);
  ASSERT_TRUE(step.has_value());
  const std::uint64_t floor = (std::uint64_t{1} << 62) + 600;
  EXPECT_EQ(step->kind, TransformKind::Redistribute);
  EXPECT_EQ(step->cycles, (CycleEstimate{floor, largest}));
  EXPECT_EQ(step->assumptions, Assumptions{Assumption::missing_cost_model()});
}

// ---------------------------------------------------------------------------
// Storage identity

TEST(Equivalent, OneRowShardsOfWholeVectors) {
  const Layout uncut{.order = row_major, .tiling = {.axes = {}, .tile_count = 1, .replication = 1}};
  const struct {
    const char* name;
    TensorType source;
    ElementOrder target_order;
    Precision target_precision;
    bool expected;
  } cases[] = {
      {"row major to left", tensor({4, 64}, Precision::f16(), Layout::row_sharded(4)), left, Precision::f16(), true},
      {"left to row major", tensor({4, 64}, Precision::f16(), rows_in(4, left)), row_major, Precision::f16(), true},
      {"F16 needs 16 elements only", tensor({4, 48}, Precision::f16(), Layout::row_sharded(4)), left,
       Precision::f16(), true},
      {"F8 needs 32 elements", tensor({4, 48}, Precision::f8f143(0), Layout::row_sharded(4)), left,
       Precision::f8f143(0), false},
      {"F32 needs 16 elements", tensor({4, 24}, Precision::f32(), Layout::row_sharded(4)), left, Precision::f32(),
       false},
      {"two rows per shard", tensor({8, 64}, Precision::f16(), Layout::row_sharded(4)), left, Precision::f16(),
       false},
      {"leading axis not cut", tensor({2, 1, 64}, Precision::f16(), Layout::row_sharded(1)), left,
       Precision::f16(), false},
      {"precision differs", tensor({4, 64}, Precision::f16(), Layout::row_sharded(4)), left, Precision::f32(),
       false},
      {"both row major", tensor({4, 64}, Precision::f16(), Layout::row_sharded(4)), row_major, Precision::f16(),
       false},
      {"other AMP order", tensor({4, 64}, Precision::f16(), Layout::row_sharded(4)),
       ElementOrder::amp(AmpOrder::TransposedRight), Precision::f16(), false},
      {"rank one", tensor({64}, Precision::f16(), uncut), left, Precision::f16(), false},
  };
  for (const auto& c : cases) {
    TensorType target = c.source;
    target.format.precision = c.target_precision;
    target.format.layout.order = c.target_order;
    EXPECT_EQ(equivalent(c.source, target), c.expected) << c.name;
  }
}

TEST(Equivalent, OnlyTheSourceResolutionIsInspected) {
  const TensorType source = tensor({4, 64}, Precision::f16(), Layout::row_sharded(4));
  TensorType target = tensor({4, 64}, Precision::f16(), rows_in(1, left));  // one shard of four rows
  EXPECT_TRUE(equivalent(source, target));
  EXPECT_FALSE(equivalent(target, source));
}

TEST(WordUnpack, WholeWordsOnBothLastAxes) {
  EXPECT_TRUE(word_unpack(tensor({4, 6}, Precision::f16(), rows_in(2, left)),
                          tensor({4, 6}, Precision::f16(), Layout::row_sharded(4))));
  EXPECT_FALSE(word_unpack(tensor({4, 6}, Precision::f8f143(0), rows_in(2, left)),
                           tensor({4, 6}, Precision::f8f143(0), Layout::row_sharded(4))))
      << "four 8-bit elements per word";
  EXPECT_TRUE(word_unpack(tensor({4, 5}, Precision::f32(), rows_in(2, left)),
                          tensor({4, 5}, Precision::f32(), Layout::row_sharded(4))))
      << "one 32-bit element per word";
  EXPECT_FALSE(word_unpack(tensor({4, 6}, Precision::f16(), Layout::row_sharded(2)),
                           tensor({4, 6}, Precision::f16(), rows_in(4, left))))
      << "packing, not unpacking";
  EXPECT_FALSE(word_unpack(tensor({4, 6}, Precision::f16(), rows_in(2, left)),
                           tensor({4, 6}, Precision::f32(), Layout::row_sharded(4))))
      << "precision differs";
  Layout broken = Layout::row_sharded(4);
  broken.tiling.tile_count = 3;
  EXPECT_FALSE(word_unpack(tensor({4, 6}, Precision::f16(), rows_in(2, left)),
                           tensor({4, 6}, Precision::f16(), broken)))
      << "target does not resolve";
}

// ---------------------------------------------------------------------------
// Path enumeration

TEST(EnumerateConversions, EqualEndpointsGiveTheIdentityAlone) {
  const TensorType type = tensor({8, 128}, Precision::f16(), Layout::row_sharded(2));
  EXPECT_EQ(enumerate(type, type), std::vector<ConversionPath>{ConversionPath{}});
}

TEST(EnumerateConversions, RejectsInvalidEndpointsAndLimits) {
  const TensorType rows2 = tensor({8, 128}, Precision::f16(), Layout::row_sharded(2));
  const TensorType rows16 = tensor({8, 128}, Precision::f16(), Layout::row_sharded(16));  // more tiles than the pipeline
  const TensorType other_shape = tensor({8, 64}, Precision::f16(), Layout::row_sharded(2));
  const struct {
    const char* name;
    TensorType source;
    TensorType target;
    SearchLimits limits;
  } cases[] = {
      {"shapes differ", rows2, other_shape, driver_limits},
      {"invalid source", rows16, rows2, driver_limits},
      {"invalid target", rows2, rows16, driver_limits},
      {"invalid identity", rows16, rows16, driver_limits},
      {"no steps", rows2, rows2, limits(0, 8)},
      {"five steps", rows2, rows2, limits(5, 8)},
      {"no paths", rows2, rows2, limits(3, 0)},
  };
  for (const auto& c : cases) {
    const auto result = enumerate_conversions(c.source, c.target, pipeline_tiles, c.limits);
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error(), invalid("invalid conversion endpoints or search limits")) << c.name;
    EXPECT_EQ(message(result.error()),
              "invalid optimistic search request: invalid conversion endpoints or search limits")
        << c.name;
  }
  EXPECT_TRUE(enumerate_conversions(rows2, rows2, pipeline_tiles, limits(1, 1)).has_value());
  EXPECT_TRUE(enumerate_conversions(rows2, rows2, pipeline_tiles, limits(4, 1)).has_value());
}

TEST(EnumerateConversions, PrecisionChangeInPlaceIsOneCast) {
  const Layout rows2 = Layout::row_sharded(2);
  const Layout blocks = Layout::block_major_matrix_storage(32, 16, 1, 2, 1, MemoryClass::Vexa21Standard);
  const struct {
    const char* name;
    TensorType source;
    Precision target;
    CycleEstimate cycles;
    Assumptions assumptions;
  } cases[] = {
      {"F16 to F32 has no kernel", tensor({8, 128}, Precision::f16(), rows2), Precision::f32(), {714, 2856},
       missing_kernel("F16 RowMajor -> F32 RowMajor")},
      {"F8 scale change in row-major order", tensor({8, 128}, Precision::f8f143(0), rows2), Precision::f8f143(2),
       {458, 458}, {}},
      {"F8 scale change in block-major order", tensor({64, 64}, Precision::f8f143(0), blocks), Precision::f8f143(2),
       {842, 3368},
       missing_kernel("F8F143 { scale_exponent: 0 } BlockMajor(Matrix { row_block: 32, column_block: 16 }) -> "
                      "F8F143 { scale_exponent: 2 } BlockMajor(Matrix { row_block: 32, column_block: 16 })")},
  };
  for (const auto& c : cases) {
    TensorType target = c.source;
    target.format.precision = c.target;
    const auto paths = enumerate(c.source, target);
    ASSERT_EQ(paths.size(), 1u) << c.name;
    ASSERT_EQ(paths[0].transforms.size(), 1u) << c.name;
    const Transform& cast = paths[0].transforms[0];
    EXPECT_EQ(cast.kind, TransformKind::Cast) << c.name;
    EXPECT_EQ(cast.cycles, c.cycles) << c.name;
    EXPECT_EQ(cast.assumptions, c.assumptions) << c.name;
    EXPECT_EQ(paths[0].cycles, c.cycles) << c.name;
    EXPECT_EQ(paths[0].assumptions, c.assumptions) << c.name;
  }
}

TEST(EnumerateConversions, RowMajorToLeftAliasesFirstAndKeepsTheSafePack) {
  const TensorType source = tensor({4, 64}, Precision::f16(), Layout::row_sharded(4));
  const TensorType target = tensor({4, 64}, Precision::f16(), rows_in(4, left));
  const auto paths = enumerate(source, target);
  ASSERT_EQ(paths.size(), 2u);
  ASSERT_EQ(paths[0].transforms.size(), 1u);
  EXPECT_EQ(paths[0].transforms[0].kind, TransformKind::Alias);
  EXPECT_EQ(paths[0].cycles, (CycleEstimate{0, 0}));
  EXPECT_EQ(paths[0].assumptions, equivalence);
  ASSERT_EQ(paths[1].transforms.size(), 1u);
  EXPECT_EQ(paths[1].transforms[0].kind, TransformKind::Pack);
  EXPECT_EQ(paths[1].cycles, (CycleEstimate{362, 362}));
  EXPECT_TRUE(paths[1].assumptions.empty());

  // Cut to one path, the assumption-free pack comes back after the alias.
  EXPECT_EQ(enumerate(source, target, limits(3, 1)), paths);
}

TEST(EnumerateConversions, GuaranteeNeedsAnAssumptionFreePath) {
  // No relayout kernel for F32: the pack rests on an assumption too, so the cut keeps the alias alone.
  const TensorType source = tensor({4, 64}, Precision::f32(), Layout::row_sharded(4));
  const TensorType target = tensor({4, 64}, Precision::f32(), rows_in(4, left));
  const auto all = enumerate(source, target);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].assumptions, missing_kernel("F32 RowMajor -> F32 Amp(Left)"));
  const auto cut = enumerate(source, target, limits(3, 1));
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0], all[0]);
}

TEST(EnumerateConversions, StopsAtTargetAndNeverLeavesTargetPrecision) {
  // Precision, order and tiling all change, so all eight mixed types are nodes.
  const TensorType source = tensor({4, 64}, Precision::f32(), Layout::row_sharded(2));
  const TensorType target = tensor({4, 64}, Precision::f16(), rows_in(4, left));
  // Casting back out of the target precision would be a single step.
  ASSERT_TRUE(edge(tensor({4, 64}, Precision::f16(), Layout::row_sharded(2)),
                   tensor({4, 64}, Precision::f32(), rows_in(2, left)), false)
                  .has_value());
  for (const std::size_t steps : {1u, 2u, 3u, 4u}) {
    const auto paths = enumerate(source, target, limits(steps, 64));
    if (steps == 1) {
      EXPECT_TRUE(paths.empty()) << "no single step changes precision and tiling";
    } else {
      EXPECT_FALSE(paths.empty());
    }
    for (const ConversionPath& path : paths) {
      ASSERT_FALSE(path.transforms.empty());
      EXPECT_LE(path.transforms.size(), steps);
      EXPECT_EQ(path.transforms.front().from, source);
      EXPECT_EQ(path.transforms.back().to, target);
      bool reached = false;
      for (std::size_t i = 0; i < path.transforms.size(); ++i) {
        const Transform& step = path.transforms[i];
        if (i > 0) {
          EXPECT_EQ(step.from, path.transforms[i - 1].to);
        }
        EXPECT_FALSE(reached && step.to.format.precision != target.format.precision) << dump(path);
        reached = reached || step.to.format.precision == target.format.precision;
        if (i + 1 < path.transforms.size()) {
          EXPECT_NE(step.to, target) << "a path that reaches the target is not extended: " << dump(path);
        }
      }
    }
  }
}

// A 16-to-8-bit conversion between tilings whose source rows (6 elements) are
// no whole number of 32-bit words, so the source has no 8-bit producer layout.
// The tensor is large enough that casting before moving the data over fewer
// tiles is optimistically cheaper than moving first, so both kinds of path survive.
struct EligibilityFixture {
  TensorType source = tensor({256, 6}, Precision::f16(), Layout::row_sharded(8));
  TensorType target = tensor({256, 6}, Precision::f8f143(0), Layout::amp_left_parallel_grid(32, 2, 2, 1, 1));
};

TEST(EnumerateConversions, CastsBeforeRedistributionRestOnEligibility) {
  const EligibilityFixture f;
  ASSERT_FALSE(f.source.fp8_producer_layout(f.target.format).has_value());
  const auto paths = enumerate(f.source, f.target, limits(3, 64));
  std::size_t casts_first = 0;
  std::size_t moves_first = 0;
  for (const ConversionPath& path : paths) {
    const auto& steps = path.transforms;
    const auto move = std::ranges::find(steps, TransformKind::Redistribute, &Transform::kind);
    const auto cast = std::ranges::find_if(steps, precision_changes);
    ASSERT_NE(cast, steps.end());
    if (cast < move) {
      ++casts_first;
      EXPECT_TRUE(cast->assumptions.contains(Assumption::conversion_eligibility())) << dump(path);
      EXPECT_TRUE(path.assumptions.contains(Assumption::conversion_eligibility())) << dump(path);
      const auto marked = std::ranges::count_if(
          steps, [](const Transform& step) { return step.assumptions.contains(Assumption::conversion_eligibility()); });
      EXPECT_EQ(marked, 1) << dump(path);
    } else {
      ++moves_first;
      EXPECT_FALSE(path.assumptions.contains(Assumption::conversion_eligibility())) << dump(path);
    }
  }
  EXPECT_GT(casts_first, 0u);
  EXPECT_GT(moves_first, 0u);
}

TEST(EnumerateConversions, EligibleProducerLayoutNeedsNoAssumption) {
  EligibilityFixture f;
  f.source.shape = TensorShape{{256, 64}};  // whole 32-element vectors per row
  f.target.shape = f.source.shape;
  ASSERT_TRUE(f.source.fp8_producer_layout(f.target.format).has_value());
  const auto paths = enumerate(f.source, f.target, limits(3, 64));
  ASSERT_FALSE(paths.empty());
  for (const ConversionPath& path : paths) {
    EXPECT_FALSE(path.assumptions.contains(Assumption::conversion_eligibility())) << dump(path);
  }
}

TEST(EnumerateConversions, RepeatedAlternativeSurvivesOnce) {
  // One-row Amp(Left) shards may share storage with row-major ones, but the tiling
  // differs, so the alias alternative is the same word-unpacking redistribution.
  const TensorType source = tensor({4, 64}, Precision::f16(), rows_in(4, left));
  const TensorType target = tensor({4, 64}, Precision::f16(), Layout::row_sharded(2));
  ASSERT_TRUE(equivalent(source, target));
  const auto direct = edge(source, target, false);
  ASSERT_TRUE(direct.has_value());
  const auto paths = enumerate(source, target, limits(3, 64));
  const auto single = std::ranges::count_if(paths, [&](const ConversionPath& path) {
    return path.transforms == std::vector<Transform>{*direct};
  });
  EXPECT_EQ(single, 1);
}

TEST(EnumerateConversions, ResultIsSortedAndUndominated) {
  const EligibilityFixture f;
  const auto paths = enumerate(f.source, f.target, limits(4, 64));
  ASSERT_GT(paths.size(), 1u);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    for (std::size_t j = 0; j < paths.size(); ++j) {
      if (i < j) {
        EXPECT_LE(paths[i].cycles.optimistic, paths[j].cycles.optimistic);
      }
      if (i != j) {
        const bool dominates = paths[i].cycles.optimistic <= paths[j].cycles.optimistic &&
                               paths[i].cycles.conservative <= paths[j].cycles.conservative &&
                               std::ranges::includes(paths[j].assumptions, paths[i].assumptions);
        EXPECT_FALSE(i < j && dominates) << i << " dominates " << j;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Selection

ConversionPath path_of(std::size_t steps, TransformKind kind, CycleEstimate cycles, Assumptions assumptions = {}) {
  ConversionPath path;
  path.transforms.assign(steps, Transform{.from = {}, .to = {}, .cycles = {}, .assumptions = {}, .kind = kind});
  path.cycles = cycles;
  path.assumptions = std::move(assumptions);
  return path;
}

TEST(SelectConversions, EqualFiguresKeepFewerStepsThenFoundOrder) {
  const ConversionPath long_path = path_of(2, TransformKind::Cast, {10, 10});
  const ConversionPath short_path = path_of(1, TransformKind::Pack, {10, 10});
  const ConversionPath short_twin = path_of(1, TransformKind::Redistribute, {10, 10});
  EXPECT_EQ(select_conversions({long_path, short_path}, 8), std::vector<ConversionPath>{short_path});
  EXPECT_EQ(select_conversions({short_twin, long_path, short_path}, 8), std::vector<ConversionPath>{short_twin});
}

TEST(SelectConversions, DominanceNeedsBothFiguresAndASubsetOfAssumptions) {
  const Assumptions cost{Assumption::missing_cost_model()};
  const ConversionPath cheap_unsafe = path_of(1, TransformKind::Alias, {5, 20}, cost);
  const ConversionPath dear_safe = path_of(1, TransformKind::Pack, {30, 30});
  const ConversionPath dearer_unsafe = path_of(1, TransformKind::Cast, {40, 40}, cost);
  const ConversionPath cheap_conservative = path_of(2, TransformKind::Cast, {6, 19}, cost);
  EXPECT_EQ(select_conversions({dearer_unsafe, dear_safe, cheap_unsafe, cheap_conservative}, 8),
            (std::vector<ConversionPath>{cheap_unsafe, cheap_conservative, dear_safe}));
}

TEST(SelectConversions, CutRescuesTheFirstSafePath) {
  const Assumptions cost{Assumption::missing_cost_model()};
  const ConversionPath a = path_of(1, TransformKind::Alias, {1, 50}, cost);
  const ConversionPath b = path_of(1, TransformKind::Cast, {2, 40}, equivalence);
  const ConversionPath safe = path_of(1, TransformKind::Pack, {30, 30});
  const ConversionPath safe_later = path_of(2, TransformKind::Pack, {35, 35}, {});
  EXPECT_EQ(select_conversions({safe, b, a}, 1), (std::vector<ConversionPath>{a, safe}));
  EXPECT_EQ(select_conversions({safe, b, a}, 2), (std::vector<ConversionPath>{a, b, safe}));
  EXPECT_EQ(select_conversions({safe, b, a}, 3), (std::vector<ConversionPath>{a, b, safe}));
  EXPECT_EQ(select_conversions({a, b}, 1), std::vector<ConversionPath>{a});
  // The later safe path is dominated by the first one anyway.
  EXPECT_EQ(select_conversions({safe_later, safe, a}, 1), (std::vector<ConversionPath>{a, safe}));
}

}  // namespace
}  // namespace vexa_codegen::mid::optimistic::conversion
