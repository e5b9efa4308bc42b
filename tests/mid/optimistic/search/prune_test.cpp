#include <gtest/gtest.h>

#include <vector>

#include "mid/optimistic/fixtures.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"

namespace vexa_codegen::mid::optimistic::search {
namespace {

using namespace fixtures;

const TensorType type_a = rows({2, 16}, 2);
const TensorType type_b = rows({2, 32}, 2);

// A state whose graph value 0 is carried in `type`, whose one step costs
// `cycles`, and which rests on `assumptions`. `tag` (kept in the balanced
// peak, which no score reads) tells states apart in the result.
State make_state(std::uint64_t tag, std::uint64_t cycles, const TensorType& type = type_a,
                 Assumptions assumptions = {Assumption::missing_cost_model()}) {
  State state;
  state.graph.tiles = 2;
  state.graph.values = {{type, ValueId{0}}, {type, ValueId{1}}};
  state.graph.inputs = {0};
  state.graph.steps = {operator_step(0, {0}, {1}, {cycles, cycles}, nullptr, assumptions)};
  state.graph.balanced_peak = tag;
  state.graph.assumptions = std::move(assumptions);
  state.values = {{ValueId{0}, 0}};
  return state;
}

std::vector<std::uint64_t> tags(const std::vector<State>& states) {
  std::vector<std::uint64_t> result;
  for (const State& state : states) {
    result.push_back(state.graph.balanced_peak);
  }
  return result;
}

using Tags = std::vector<std::uint64_t>;

TEST(Prune, EmptyInputLeavesTheFlagAlone) {
  for (const bool truncated : {false, true}) {
    SearchReport report;
    report.truncated = truncated;
    EXPECT_TRUE(prune({}, 2, report).empty());
    EXPECT_EQ(report.truncated, truncated);
  }
}

TEST(Prune, OrdersByScoreAndCutsToTheBeamWidth) {
  SearchReport report;
  const auto result = prune({make_state(30, 30), make_state(10, 10), make_state(20, 20)}, 2, report);
  EXPECT_EQ(tags(result), (Tags{10, 20}));
  EXPECT_TRUE(report.truncated);
}

TEST(Prune, AListOfExactlyTheBeamWidthIsNotCut) {
  SearchReport report;
  const auto result = prune({make_state(2, 20), make_state(1, 10)}, 2, report);
  EXPECT_EQ(tags(result), (Tags{1, 2}));
  EXPECT_FALSE(report.truncated);
}

TEST(Prune, TheBestOfEverySignatureComesBeforeAnySecondBest) {
  SearchReport report;
  const auto result =
      prune({make_state(1, 10), make_state(2, 20), make_state(3, 30, type_b), make_state(4, 40, type_b)}, 2, report);
  EXPECT_EQ(tags(result), (Tags{1, 3}));
  EXPECT_TRUE(report.truncated);

  SearchReport wide;
  const auto all =
      prune({make_state(1, 10), make_state(2, 20), make_state(3, 30, type_b), make_state(4, 40, type_b)}, 8, wide);
  EXPECT_EQ(tags(all), (Tags{1, 3, 2, 4}));
  EXPECT_FALSE(wide.truncated);
}

TEST(Prune, SignaturesPairEachLiveGraphValueWithItsType) {
  // Same types, but graph value 1 is live in the second state: another signature.
  State other = make_state(2, 20);
  other.values[ValueId{1}] = 1;
  // No live values at all: the empty signature, shared by both such states.
  State empty_one = make_state(3, 30);
  empty_one.values.clear();
  State empty_two = make_state(4, 40);
  empty_two.values.clear();
  SearchReport report;
  const auto result =
      prune({make_state(1, 10), other, empty_one, empty_two, make_state(5, 50, type_b)}, 4, report);
  EXPECT_EQ(tags(result), (Tags{1, 2, 3, 5}));
  EXPECT_TRUE(report.truncated);
}

TEST(Prune, OnlyTheFirstOfEqualStatesSurvives) {
  SearchReport report;
  const auto result = prune({make_state(1, 10), make_state(7, 5), make_state(1, 10), make_state(1, 10)}, 4, report);
  EXPECT_EQ(tags(result), (Tags{7, 1}));
  EXPECT_FALSE(report.truncated);

  // Many copies of one state: nothing is cut, so the flag stays clear.
  const auto copies = prune(std::vector<State>(5, make_state(1, 10)), 2, report);
  EXPECT_EQ(copies.size(), 1u);
  EXPECT_FALSE(report.truncated);
}

TEST(Prune, StatesThatDifferAnywhereAreNotDuplicates) {
  const State base = [] {
    State state = make_state(1, 10);
    state.graph.values.push_back({type_a, ValueId{2}});
    state.graph.steps.push_back(operator_step(1, {1}, {2}, {10, 10}));
    return state;
  }();
  State peak = base;
  peak.graph.balanced_peak = 2;
  State swapped = base;
  std::swap(swapped.graph.steps[0], swapped.graph.steps[1]);
  State high = base;
  high.graph.values[2].high = ValueId{3};
  State mapped = base;
  mapped.values[ValueId{0}] = 1;  // same type, another value index

  SearchReport report;
  const auto result = prune({base, peak, swapped, high, mapped}, 8, report);
  ASSERT_EQ(result.size(), 5u);
  EXPECT_EQ(result[0], base);
  EXPECT_EQ(result[1], peak);
  EXPECT_EQ(result[2], swapped);
  EXPECT_EQ(result[3], high);
  EXPECT_EQ(result[4], mapped);
}

TEST(Prune, ScoreTiesKeepTheirInputOrder) {
  SearchReport report;
  const auto result =
      prune({make_state(1, 10), make_state(2, 10, type_b), make_state(3, 10), make_state(4, 10, type_b)}, 8, report);
  EXPECT_EQ(tags(result), (Tags{1, 2, 3, 4}));

  // Memory breaks a tie of cycles; then fewer assumptions first.
  State more_memory = make_state(5, 10);
  more_memory.graph.memory.total = 9;
  State more_assumptions = make_state(6, 10, type_a,
                                      {Assumption::missing_cost_model(), Assumption::missing_equivalence_rule()});
  const auto ordered = prune({more_memory, more_assumptions, make_state(7, 10)}, 8, report);
  EXPECT_EQ(tags(ordered), (Tags{7, 6, 5}));
}

TEST(Prune, AnAssumptionFreeStateSurvivesTheCut) {
  SearchReport report;
  const auto result =
      prune({make_state(3, 30, type_a, {}), make_state(1, 10), make_state(2, 20, type_b)}, 1, report);
  EXPECT_EQ(tags(result), (Tags{1, 3}));
  EXPECT_TRUE(report.truncated);
}

TEST(Prune, TheReserveIsTheFirstAssumptionFreeStateInScoreOrder) {
  SearchReport report;
  const auto result = prune({make_state(1, 10), make_state(4, 40, type_a, {}), make_state(2, 30, type_a, {}),
                             make_state(3, 30, type_b, {})},
                            1, report);
  EXPECT_EQ(tags(result), (Tags{1, 2}));
}

TEST(Prune, NoReserveIsAddedWhenTheCutKeptAnAssumptionFreeState) {
  SearchReport report;
  const auto result = prune({make_state(2, 20, type_a, {}), make_state(1, 10), make_state(3, 30, type_b, {})}, 2,
                            report);
  EXPECT_EQ(tags(result), (Tags{1, 3}));
  EXPECT_TRUE(report.truncated);
}

}  // namespace
}  // namespace vexa_codegen::mid::optimistic::search
