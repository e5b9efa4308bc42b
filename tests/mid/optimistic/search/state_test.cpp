#include <gtest/gtest.h>

#include <limits>

#include "mid/optimistic/fixtures.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid::optimistic::search {
namespace {

using namespace fixtures;
using estimate::memory::MemoryPeaks;

constexpr std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();

// [2, 512] F16 over two tiles: 1024 bytes per tile, 2048 in all.
const TensorType big = rows({2, 512}, 2);
// [2, 16] F16 over two tiles: 32 bytes per tile, 64 in all.
const TensorType small = rows({2, 16}, 2);
const TensorType small_interleaved = rows({2, 16}, 2, MemoryClass::Vexa21Interleaved);

TEST(StateValue, AppendsAValueAndTouchesNothingElse) {
  State state;
  state.graph.tiles = 2;
  state.values[ValueId{7}] = 0;
  state.value(ValueId{7}, big);
  const State before = state;
  EXPECT_EQ(state.value(ValueId{9}, small), 1u);
  ASSERT_EQ(state.graph.values.size(), 2u);
  EXPECT_EQ(state.graph.values[1], (Value{.tensor = small, .high = ValueId{9}}));
  EXPECT_EQ(state.values, before.values);
  state.graph.values.pop_back();
  EXPECT_EQ(state, before);
}

// v0 (input) -alias-> v1 -alias-> v2; v2 feeds two operator steps, the second
// also reads v3 and writes the interleaved region output v4.
DiagnosticMidGraph alias_chain(TransformKind link) {
  DiagnosticMidGraph graph;
  graph.tiles = 2;
  graph.values = {{big, ValueId{0}}, {big, ValueId{0}}, {big, ValueId{0}}, {small, ValueId{1}},
                  {small_interleaved, ValueId{2}}};
  graph.inputs = {0};
  graph.outputs = {4};
  graph.steps = {
      transform_step(link, big, big, 0, 1, {}, {Assumption::missing_equivalence_rule()}),
      transform_step(link, big, big, 1, 2),
      operator_step(0, {2}, {3}, {10, 20}, program_with_memory(100, 7)),
      operator_step(1, {2, 3}, {4}, {5, 5}, nullptr, {Assumption::missing_kernel("x")}),
  };
  // Stale summaries, all of which refresh must overwrite.
  graph.cycles = {99, 99};
  graph.memory = MemoryPeaks{.standard = 1, .interleaved = 2, .total = 3, .exchange_rows = 4,
                             .maximum_standard_allocation = 5};
  graph.balanced_peak = 6;
  graph.assumptions = {Assumption::missing_cost_model()};
  return graph;
}

TEST(Refresh, AliasesShareTheirSourceStorageWhichLivesToTheLastAliasUse) {
  DiagnosticMidGraph graph = alias_chain(TransformKind::Alias);
  refresh(graph);
  // Time points: 0 {v0}; 1 {v0}; 2 {v0, v3} + program; 3 {v0, v3 | v4}; 4 {| v4}.
  EXPECT_EQ(graph.memory, (MemoryPeaks{.standard = 1024 + 32 + 100,
                                       .interleaved = 32,
                                       .total = 1024 + 32 + 100 + 7,
                                       .exchange_rows = 0,
                                       .maximum_standard_allocation = 1024}));
  EXPECT_EQ(graph.balanced_peak, (2048u + 64 + 64) / 2);
  EXPECT_EQ(graph.cycles, (CycleEstimate{15, 25}));
  EXPECT_EQ(support::dump_value(graph.assumptions), R"({MissingKernel("x"), MissingEquivalenceRule})");
}

TEST(Refresh, ValuesWrittenByOtherTransformsHoldTheirOwnStorage) {
  DiagnosticMidGraph graph = alias_chain(TransformKind::Cast);
  refresh(graph);
  // Time point 0 holds v0 and v1, time point 1 holds v1 and v2.
  EXPECT_EQ(graph.memory.standard, 2048u);
  EXPECT_EQ(graph.memory.total, 2048u);
  EXPECT_EQ(graph.balanced_peak, 2048u);
}

TEST(Refresh, WithoutStepsEveryBoundaryInputIsLiveAtTheOnlyTimePoint) {
  DiagnosticMidGraph graph;
  graph.tiles = 2;
  graph.values = {{big, ValueId{0}}, {small_interleaved, ValueId{1}}, {big, ValueId{2}}};
  graph.inputs = {0, 1};  // value 2 is neither input nor written: never live
  refresh(graph);
  EXPECT_EQ(graph.memory, (MemoryPeaks{.standard = 1024, .interleaved = 32, .total = 1056, .exchange_rows = 0,
                                       .maximum_standard_allocation = 1024}));
  EXPECT_EQ(graph.balanced_peak, (2048u + 64) / 2);
  EXPECT_EQ(graph.cycles, (CycleEstimate{0, 0}));
  EXPECT_TRUE(graph.assumptions.empty());
}

TEST(Refresh, StoredBytesCountEveryAllocatedElementOfEveryReplica) {
  const TensorAxis rows_axis = TensorAxis::trailing(2);
  struct Case {
    const char* name;
    TensorType type;
    std::uint64_t stored;
  };
  const std::vector<Case> cases{
      {"rows over two tiles", rows({4, 16}, 2), 4 * 16 * 2},
      {"two replicas", tensor({2, 16}, layout_of({}, 2, 2)), 2 * 2 * 16 * 2},
      {"padded rows", tensor({3, 16}, layout_of({cut(rows_axis, 2, 2, AxisPadding::Padded)}, 2)), 4 * 16 * 2},
      {"flattened: the shape's elements",
       tensor({6, 6}, layout_of({AxisTiling{.axis = TensorAxis::flattened(), .parts = 2, .panel = 4}}, 2),
              Precision::f32()),
       6 * 6 * 4},
      {"unresolvable", tensor({4, 16}, layout_of({cut(rows_axis, 4)}, 3)), max64},
  };
  for (const Case& c : cases) {
    DiagnosticMidGraph graph;
    graph.tiles = 1;  // the balanced peak is then the stored bytes themselves
    graph.values = {{c.type, ValueId{0}}};
    graph.inputs = {0};
    refresh(graph);
    EXPECT_EQ(graph.balanced_peak, c.stored) << c.name;
  }
}

TEST(Refresh, AnUnresolvableValueSaturatesTheMemoryFigures) {
  DiagnosticMidGraph graph;
  graph.tiles = 2;
  graph.values = {{small, ValueId{0}}, {tensor({4, 16}, layout_of({cut(TensorAxis::trailing(2), 4)}, 3)), ValueId{1}}};
  graph.inputs = {0, 1};
  refresh(graph);
  EXPECT_EQ(graph.memory.standard, max64);
  EXPECT_EQ(graph.memory.total, max64);
  EXPECT_EQ(graph.memory.maximum_standard_allocation, max64);
  EXPECT_EQ(graph.balanced_peak, max64 / 2 + 1);
}

TEST(Refresh, ZeroTilesSpreadOverOne) {
  DiagnosticMidGraph graph;
  graph.tiles = 0;
  graph.values = {{small, ValueId{0}}};
  graph.inputs = {0};
  refresh(graph);
  EXPECT_EQ(graph.balanced_peak, 64u);
}

TEST(Score, SumsTheStepsNotTheSummaryAndSaturates) {
  DiagnosticMidGraph graph;
  graph.values = {{small, ValueId{0}}, {small, ValueId{1}}, {small, ValueId{2}}};
  graph.steps = {operator_step(0, {0}, {1}, {max64 - 1, 3}), operator_step(1, {1}, {2}, {5, 4})};
  graph.cycles = {1, 1};
  graph.memory.total = 77;
  graph.assumptions = {Assumption::missing_cost_model(), Assumption::missing_kernel("a")};
  EXPECT_EQ(score(graph), (Score{max64, 7, 77, 2}));
}

TEST(Score, OrdersByCyclesThenMemoryThenAssumptionCount) {
  const auto graph_with = [](std::uint64_t optimistic, std::uint64_t conservative, std::uint64_t total,
                             std::size_t assumptions) {
    DiagnosticMidGraph graph;
    graph.values = {{small, ValueId{0}}, {small, ValueId{1}}};
    graph.steps = {operator_step(0, {0}, {1}, {optimistic, conservative})};
    graph.memory.total = total;
    if (assumptions > 0) {
      graph.assumptions.insert(Assumption::missing_cost_model());
    }
    return graph;
  };
  EXPECT_LT(score(graph_with(10, 50, 9, 1)), score(graph_with(11, 0, 0, 0)));
  EXPECT_LT(score(graph_with(10, 20, 9, 1)), score(graph_with(10, 21, 0, 0)));
  EXPECT_LT(score(graph_with(10, 20, 8, 1)), score(graph_with(10, 20, 9, 0)));
  EXPECT_LT(score(graph_with(10, 20, 9, 0)), score(graph_with(10, 20, 9, 1)));
  EXPECT_EQ(score(graph_with(10, 20, 9, 1)), score(graph_with(10, 20, 9, 1)));
}

}  // namespace
}  // namespace vexa_codegen::mid::optimistic::search
