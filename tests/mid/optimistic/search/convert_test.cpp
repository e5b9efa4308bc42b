#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "mid/optimistic/fixtures.hpp"
#include "vexa_codegen/mid/optimistic/conversion.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"

namespace vexa_codegen::mid::optimistic::search {
namespace {

using namespace fixtures;
using conversion::ConversionKey;
using conversion::ConversionPath;
using layout::AmpOrder;

constexpr std::uint16_t pipeline_tiles = 8;
const SearchLimits search_limits{.max_operations = 8,
                                 .beam_width = 16,
                                 .max_conversion_steps = 3,
                                 .max_conversion_paths = 8,
                                 .max_expansions = 2048,
                                 .max_fused_steps = 4};
const ValueId carried{3};

TensorType with_precision(TensorType type, Precision precision) {
  type.format.precision = precision;
  return type;
}

TensorType with_order(TensorType type, ElementOrder order) {
  type.format.layout.order = order;
  return type;
}

// A refreshed state holding the boundary inputs `types`, all carrying one
// graph value, which the `values` map assigns to the first.
State holding(const std::vector<TensorType>& types) {
  State state;
  state.graph.tiles = pipeline_tiles;
  for (const TensorType& type : types) {
    state.graph.inputs.push_back(state.value(carried, type));
  }
  state.values[carried] = 0;
  refresh(state.graph);
  return state;
}

using Successors = std::vector<std::pair<State, std::size_t>>;

Successors convert(const State& state, std::size_t index, const TensorType& target, ConversionCache& cache,
                   const SearchLimits& limits = search_limits) {
  auto successors = state.convert(index, target, pipeline_tiles, limits, cache);
  EXPECT_TRUE(successors.has_value()) << message(successors.error());
  return successors.value_or(Successors{});
}

const TensorType f16_rows2 = rows({8, 128}, 2);
const TensorType f32_rows2 = with_precision(f16_rows2, Precision::f32());
const TensorType f16_rows4 = rows({8, 128}, 4);
const TensorType f32_rows4 = with_precision(f16_rows4, Precision::f32());

TEST(StateConvert, OwnTypeIsReusedWithoutStepRefreshOrCache) {
  State state = holding({f16_rows2});
  state.graph.cycles = {11, 22};  // a stale summary stays as it is: the copy is not refreshed
  ConversionCache cache;
  const Successors successors = convert(state, 0, f16_rows2, cache);
  ASSERT_EQ(successors.size(), 1u);
  EXPECT_EQ(successors[0].first, state);
  EXPECT_EQ(successors[0].second, 0u);
  EXPECT_TRUE(cache.empty());
  EXPECT_EQ(cache.lookups, 0u);
}

TEST(StateConvert, ReusesTheFirstValueOfTheSameGraphValueInTheTarget) {
  // Value 0 carries another graph value in the target type; value 1 carries ours.
  State state = holding({f32_rows2, f32_rows2, f16_rows2});
  state.graph.values[0].high = ValueId{9};
  ConversionCache cache;
  const Successors successors = convert(state, 2, f32_rows2, cache);
  ASSERT_EQ(successors.size(), 1u);
  EXPECT_EQ(successors[0].second, 1u);
  EXPECT_EQ(successors[0].first, state);
  EXPECT_TRUE(cache.empty());
}

TEST(StateConvert, ReplaysEachPathAsTransformSteps) {
  const State state = holding({f16_rows2});
  ConversionCache cache;
  const Successors successors = convert(state, 0, f32_rows2, cache);
  const auto paths = conversion::enumerate_conversions(f16_rows2, f32_rows2, pipeline_tiles, search_limits);
  ASSERT_TRUE(paths.has_value());
  ASSERT_EQ(paths->size(), 1u);
  const Transform& cast = paths->front().transforms.at(0);
  ASSERT_EQ(successors.size(), 1u);

  const auto& [successor, index] = successors[0];
  EXPECT_EQ(index, 1u);
  ASSERT_EQ(successor.graph.values.size(), 2u);
  EXPECT_EQ(successor.graph.values[1], (Value{.tensor = f32_rows2, .high = carried}));
  ASSERT_EQ(successor.graph.steps.size(), 1u);
  EXPECT_EQ(successor.graph.steps[0], (Step{.operations = {},
                                            .inputs = {0},
                                            .outputs = {1},
                                            .kind = StepKind{StepKind::Transform{cast}},
                                            .cycles = cast.cycles,
                                            .assumptions = cast.assumptions}));
  EXPECT_EQ(successor.values, state.values) << "the caller decides what the new value stands for";
  EXPECT_EQ(successor.graph.cycles, cast.cycles) << "refreshed";
  EXPECT_EQ(successor.graph.assumptions, cast.assumptions);
  ASSERT_EQ(state.graph.values.size(), 1u) << "the input state is left alone";
}

TEST(StateConvert, CachesEachPairOnceAndReplaysFromTheCache) {
  const State state = holding({f16_rows2});
  ConversionCache cache;
  const Successors first = convert(state, 0, f32_rows4, cache);
  ASSERT_EQ(cache.size(), 1u);
  const ConversionKey key{f16_rows2, f32_rows4};
  ASSERT_TRUE(cache.contains(key));
  EXPECT_EQ(cache.at(key),
            conversion::enumerate_conversions(f16_rows2, f32_rows4, pipeline_tiles, search_limits).value());
  EXPECT_EQ(first.size(), cache.at(key).size());

  const Successors second = convert(holding({f16_rows2}), 0, f32_rows4, cache);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(second, first);
  EXPECT_EQ(cache.lookups, 2u);
  EXPECT_EQ(cache.hits, 1u);

  // The cached list is what is replayed: a planted path takes effect.
  Transform planted = cache.at(key).front().transforms.front();
  planted.to = f32_rows4;
  planted.cycles = {1, 2};
  cache.at(key) = {ConversionPath{.transforms = {planted}, .cycles = {}, .assumptions = {}}};
  const Successors planted_successors = convert(state, 0, f32_rows4, cache);
  ASSERT_EQ(planted_successors.size(), 1u);
  ASSERT_EQ(planted_successors[0].first.graph.steps.size(), 1u);
  EXPECT_EQ(planted_successors[0].first.graph.steps[0].cycles, (CycleEstimate{1, 2}));
}

TEST(StateConvert, PathStepsToTypesAlreadyHeldReuseThoseValues) {
  // The best way from F16 over two tiles to F32 over four moves the rows first;
  // the state already holds the moved rows.
  const State state = holding({f16_rows2, f16_rows4});
  ConversionCache cache;
  const Successors successors = convert(state, 0, f32_rows4, cache);
  const std::vector<ConversionPath>& paths = cache.at(ConversionKey{f16_rows2, f32_rows4});
  ASSERT_EQ(successors.size(), paths.size());
  bool reused = false;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const auto& transforms = paths[i].transforms;
    const State& successor = successors[i].first;
    if (transforms.front().to != f16_rows4) {
      EXPECT_EQ(successor.graph.steps.size(), transforms.size());
      continue;
    }
    reused = true;
    // The redistribution is skipped: the cast reads value 1, which already holds its result.
    ASSERT_EQ(transforms.size(), 2u);
    ASSERT_EQ(successor.graph.steps.size(), 1u);
    EXPECT_EQ(successor.graph.steps[0].inputs, std::vector<std::size_t>{1});
    EXPECT_EQ(successor.graph.steps[0].outputs, std::vector<std::size_t>{2});
    EXPECT_EQ(successor.graph.steps[0].kind, StepKind{StepKind::Transform{transforms[1]}});
    EXPECT_EQ(successors[i].second, 2u);
  }
  EXPECT_TRUE(reused) << "no path moved the rows first";
}

TEST(StateConvert, AliasAddsAValueAndAStepButNoMemory) {
  const TensorType row_major = rows({4, 64}, 4);  // one 64-element row per tile
  const TensorType left = with_order(row_major, ElementOrder::amp(AmpOrder::Left));
  const State state = holding({row_major});
  ConversionCache cache;
  const Successors successors = convert(state, 0, left, cache);
  ASSERT_EQ(successors.size(), 2u);
  const State& aliased = successors[0].first;
  const State& packed = successors[1].first;
  ASSERT_EQ(aliased.graph.steps.size(), 1u);
  ASSERT_EQ(packed.graph.steps.size(), 1u);
  EXPECT_EQ(aliased.graph.steps[0].kind.get_if<StepKind::Transform>()->transform.kind, TransformKind::Alias);
  EXPECT_EQ(packed.graph.steps[0].kind.get_if<StepKind::Transform>()->transform.kind, TransformKind::Pack);
  EXPECT_EQ(aliased.graph.values.size(), 2u);
  EXPECT_EQ(aliased.graph.memory.total, state.graph.memory.total);
  EXPECT_EQ(aliased.graph.balanced_peak, state.graph.balanced_peak);
  EXPECT_EQ(packed.graph.memory.total, 2 * state.graph.memory.total);
}

TEST(StateConvert, NoPathGivesNoSuccessors) {
  // Precision and tiling both change: no single step does both.
  const State state = holding({f16_rows2});
  ConversionCache cache;
  SearchLimits one_step = search_limits;
  one_step.max_conversion_steps = 1;
  EXPECT_TRUE(convert(state, 0, f32_rows4, cache, one_step).empty());
  EXPECT_TRUE(cache.at(ConversionKey{f16_rows2, f32_rows4}).empty());
}

TEST(StateConvert, EnumerationErrorsPassUnchangedAndAreNotCached) {
  const State state = holding({f16_rows2});
  ConversionCache cache;
  SearchLimits no_paths = search_limits;
  no_paths.max_conversion_paths = 0;
  const auto bad_limits = state.convert(0, f32_rows2, pipeline_tiles, no_paths, cache);
  ASSERT_FALSE(bad_limits.has_value());
  EXPECT_EQ(bad_limits.error(), invalid("invalid conversion endpoints or search limits"));
  const auto other_shape = state.convert(0, rows({8, 64}, 2), pipeline_tiles, search_limits, cache);
  ASSERT_FALSE(other_shape.has_value());
  EXPECT_EQ(other_shape.error(), invalid("invalid conversion endpoints or search limits"));
  EXPECT_TRUE(cache.empty());
}

}  // namespace
}  // namespace vexa_codegen::mid::optimistic::search
