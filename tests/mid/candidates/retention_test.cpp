#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "mid/candidates/fixtures.hpp"
#include "vexa_codegen/mid/candidates.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

using layout::AxisTiling;
using layout::ElementOrder;
using layout::TensorAxis;
using operators::LocalOperandStaging;
using operators::OperandRequirement;
using testing::ChosenCostModel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::PlanMetrics;
using testing::shape;

/// A row-major layout cutting the last axis into `parts` shards.
Layout last_axis_cut(std::uint16_t parts) {
  Layout layout;
  layout.order = ElementOrder::row_major();
  layout.tiling.axes = {AxisTiling{.axis = TensorAxis::trailing(1), .parts = parts}};
  layout.tiling.tile_count = parts;
  layout.tiling.replication = 1;
  return layout;
}

/// A GELU plan priced under `id`; its result in `output`, its operand staged as given.
OperatorPlan numbered(std::uint32_t id, const Layout& output = last_axis_cut(1),
                      LocalOperandStaging staging = LocalOperandStaging::Direct) {
  OperatorPlan plan;
  plan.storage.operands = {OperandRequirement{.format = {layout::Precision::f16(), last_axis_cut(1)},
                                              .alignment = 8,
                                              .stream_panel = 0,
                                              .staging = staging,
                                              .streamed = false}};
  plan.storage.output = OperandRequirement{.format = {layout::Precision::f16(), output}, .alignment = 8};
  plan.dispatch = operators::OperatorDispatch{
      operators::OperatorDispatch::TileKernel{{operators::TileKernelSpec::FillZero{id, 0, 0}}}};
  plan.operator_ = MidOperator{MidOperator::Gelu{}};
  return plan;
}

PlanMetrics metrics(std::uint64_t cycles, std::uint64_t exchange_rows = 0, std::uint64_t allocation = 0,
                    std::uint64_t total = 0) {
  return PlanMetrics{.cycles = cycles,
                     .standard = 0,
                     .interleaved = 0,
                     .total = total,
                     .exchange_rows = exchange_rows,
                     .maximum_standard_allocation = allocation};
}

class RetentionTest : public ::testing::Test {
 protected:
  std::vector<OperatorPlan> retain(const std::vector<OperatorPlan>& plans, std::uint64_t keep,
                                   std::vector<OutputDemand> demands = {}, std::uint16_t threads = 0) {
    return retain_operator_candidates_for_demands(plans, operands_, result_, model_, keep, demands,
                                                  GenerationContext{.diagnostics = nullptr, .threads = threads});
  }
  void price(std::map<std::uint32_t, PlanMetrics> prices) { model_.assign(std::move(prices)); }

  std::vector<layout::TensorType> operands_{testing::tensor({4, 64}, last_axis_cut(1))};
  graph::TensorShape result_ = shape({4, 64});
  ChosenCostModel model_;
};

TEST_F(RetentionTest, AtMostKeepPlansComeBackUnpriced) {
  std::vector<OperatorPlan> plans;
  for (std::uint32_t id = 0; id < 40; ++id) {
    plans.push_back(numbered(id));
  }
  EXPECT_EQ(retain(plans, 64), plans);
  EXPECT_EQ(retain(plans, 40), plans);
  EXPECT_THAT(retain({}, 1), IsEmpty());
  EXPECT_EQ(model_.calls(), 0U);
}

TEST_F(RetentionTest, PlansBeatenOnEveryFigureByTheSameInterfaceAreDropped) {
  // 12 is beaten by 10 (and removed when 10 arrives after it); the equal 10
  // stays; the unpriced plan is beaten by any priced one; the plan with another
  // operand staging has another interface and stays although it is slower.
  price({{1, metrics(10)}, {2, metrics(12)}, {3, metrics(10)}, {4, metrics(50)}});
  const OperatorPlan slower = numbered(2);
  const OperatorPlan fast = numbered(1);
  const OperatorPlan equal = numbered(3);
  const OperatorPlan unpriced = numbered(5);
  const OperatorPlan other = numbered(4, last_axis_cut(1), LocalOperandStaging::MatchRemote);
  EXPECT_THAT(retain({slower, unpriced, fast, equal, other}, 3), ElementsAre(fast, equal, other));
  EXPECT_EQ(model_.calls(), 5U);
}

TEST_F(RetentionTest, OnlyFittingPlansAreEligibleWhenOneFits) {
  // Incomparable figures: faster plans need more standard memory.
  price(
      {{1, metrics(100, 0, 1000)}, {2, metrics(1, 0, 500000)}, {3, metrics(2, 0, 430000)}, {4, metrics(3, 0, 425000)}});
  EXPECT_THAT(retain({numbered(1), numbered(2), numbered(3)}, 2), ElementsAre(numbered(1)));
  // Nothing fits: all are eligible and the least excess comes first, although
  // it is the slowest; the best exchange (ties broken by cycles) is the fastest plan.
  EXPECT_THAT(retain({numbered(2), numbered(3), numbered(4)}, 2), ElementsAre(numbered(4), numbered(2)));
  EXPECT_THAT(retain({numbered(2), numbered(3), numbered(4)}, 1), ElementsAre(numbered(4)));
}

TEST_F(RetentionTest, TheLeastExchangeIsSelectedOnlyWhenMoreThanOnePlanIsKept) {
  price({{1, metrics(10, 100, 0, 3)}, {2, metrics(20, 1, 0, 2)}, {3, metrics(30, 50, 0, 1)}});
  const std::vector<OperatorPlan> plans{numbered(1), numbered(2), numbered(3)};
  const std::vector<OutputDemand> rows{OutputDemand{ElementOrder::row_major(), 1, 1}};
  EXPECT_THAT(retain(plans, 1), ElementsAre(numbered(1)));
  EXPECT_THAT(retain(plans, 1, rows), ElementsAre(numbered(1)));
  EXPECT_THAT(retain(plans, 2), ElementsAre(numbered(1), numbered(2)));
}

TEST_F(RetentionTest, EveryPatternOfMetDemandsIsRepresentedEvenIfItMeetsNone) {
  // All three plans share one interface; only their last-axis parts differ.
  price({{1, metrics(10, 0, 0, 30)}, {2, metrics(11, 0, 0, 20)}, {3, metrics(12, 0, 0, 10)}});
  const OperatorPlan halves = numbered(1, last_axis_cut(2));
  const OperatorPlan quarters = numbered(2, last_axis_cut(4));
  const OperatorPlan whole = numbered(3, last_axis_cut(1));
  const std::vector<OutputDemand> two_groups{OutputDemand{ElementOrder::row_major(), 2, 1}};
  EXPECT_THAT(retain({halves, quarters, whole}, 2, two_groups), ElementsAre(halves, whole));
  EXPECT_THAT(retain({halves, quarters, whole}, 2), ElementsAre(halves, quarters));
}

TEST_F(RetentionTest, SelectedPlansBringTheirTwinsBeyondTheLimit) {
  Layout amp_output = last_axis_cut(1);
  amp_output.order = ElementOrder::amp(layout::AmpOrder::Output);
  price({{1, metrics(10)}, {2, metrics(10, 5, 0, 1)}});
  const OperatorPlan plan = numbered(1);
  const OperatorPlan twin = numbered(1, last_axis_cut(1), LocalOperandStaging::MatchRemote);
  const OperatorPlan other = numbered(2, amp_output);
  EXPECT_THAT(retain({plan, other, twin}, 2), ElementsAre(plan, twin, other));
}

TEST_F(RetentionTest, TheResultDoesNotDependOnTheNumberOfThreads) {
  std::map<std::uint32_t, PlanMetrics> prices;
  std::vector<OperatorPlan> plans;
  std::uint64_t seed = 12345;
  const auto next = [&seed](std::uint64_t bound) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return (seed >> 33) % bound;
  };
  for (std::uint32_t id = 0; id < 160; ++id) {
    if (id % 17 != 0) {
      prices[id] = metrics(next(1000), next(50), next(3) == 0 ? 430000 + next(1000) : next(1000), next(100));
    }
    const auto parts = static_cast<std::uint16_t>(std::uint16_t{1} << next(4));
    plans.push_back(numbered(id, last_axis_cut(parts),
                             next(2) == 0 ? LocalOperandStaging::Direct : LocalOperandStaging::MatchRemote));
  }
  price(prices);
  const std::vector<OutputDemand> demands{OutputDemand{ElementOrder::row_major(), 2, 1},
                                          OutputDemand{ElementOrder::row_major(), 1, 32}};
  const std::vector<OperatorPlan> alone = retain(plans, 12, demands, 1);
  EXPECT_GE(alone.size(), 12U);
  EXPECT_EQ(retain(plans, 12, demands, 2), alone);
  EXPECT_EQ(retain(plans, 12, demands, 8), alone);
  EXPECT_EQ(retain(plans, 12, demands, 0), alone);
}

}  // namespace
}  // namespace vexa_codegen::mid::candidates
