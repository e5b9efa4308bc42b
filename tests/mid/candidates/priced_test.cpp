// Candidate generation against the target's own cost model: plans are lowered
// and analysed for real, on several threads sharing one memoised model.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mid/candidates/fixtures.hpp"
#include "vexa_codegen/estimate/memoized.hpp"
#include "vexa_codegen/mid/candidates.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

using operators::GemmOrientation;
using operators::OperatorDispatch;
using testing::shape;

TEST(PricedCandidatesTest, RetainedDistributedProductsArePricedAndIndependentOfThreads) {
  PipelineConfig config = PipelineConfig::make(64);
  config.retained_gemm_plans = 4;
  const std::vector<TensorType> operands{testing::tensor({128, 1024}, Layout::row_sharded(1)),
                                         testing::tensor({1024, 1024}, Layout::row_sharded(1))};
  const graph::TensorShape result = shape({128, 1024});
  const auto target = std::make_shared<estimate::cycles::Vexa21CostModel>();
  const auto generate = [&](std::uint16_t threads, const estimate::cycles::MemoizedCostModel& model) {
    return parallel_reduction_candidates(MidOperator{testing::f16_gemm}, 64, operands, result, config, model,
                                         std::nullopt, {}, GenerationContext{.threads = threads});
  };

  const estimate::cycles::MemoizedCostModel model(target, 64);
  const std::vector<OperatorPlan> alone = generate(1, model);
  const auto orientation = [](const OperatorPlan& plan) {
    return plan.dispatch.get_if<OperatorDispatch::Gemm>()->orientation;
  };
  // Normal products first; per orientation the keep limit, plus at most one twin each.
  EXPECT_TRUE(std::ranges::is_sorted(alone, {}, orientation));
  for (const GemmOrientation side : {GemmOrientation::Normal, GemmOrientation::Swapped}) {
    const auto count = std::ranges::count(alone, side, orientation);
    EXPECT_GE(count, 4);
    EXPECT_LE(count, 8);
  }
  for (const OperatorPlan& plan : alone) {
    const auto [types, output] = plan.tensor_types(operands, result);
    EXPECT_NE(model.implementation(plan, types, output), nullptr) << dump(plan.dispatch);
  }

  const estimate::cycles::MemoizedCostModel fresh(target, 64);
  EXPECT_EQ(generate(4, fresh), alone);
  EXPECT_EQ(generate(0, model), alone);
}

// What a receiver sees of an event, without the source location.
std::vector<std::pair<std::string, std::vector<support::DiagnosticField>>> seen(const testing::RecordingReceiver& receiver) {
  std::vector<std::pair<std::string, std::vector<support::DiagnosticField>>> events;
  for (const support::DiagnosticEvent& event : receiver.events()) {
    events.emplace_back(event.message, event.fields);
  }
  return events;
}

TEST(PlansForEachTest, ListsAndEventsAreThoseOfOneByOneEnumeration) {
  PipelineConfig config = PipelineConfig::make(64);
  config.retained_gemm_plans = 4;
  const graph::Operation gemm{graph::OperationId{0}, {graph::ValueId{0}, graph::ValueId{1}}, {graph::ValueId{2}},
                              graph::OperationKind::gemm()};
  const graph::TensorShape result = shape({64, 256});
  const std::vector<std::vector<TensorType>> operand_lists{
      {testing::tensor({64, 256}, Layout::row_sharded(1)), testing::tensor({256, 256}, Layout::row_sharded(1))},
      {testing::tensor({64, 256}, Layout::row_sharded(64)), testing::tensor({256, 256}, Layout::row_sharded(64))},
      {testing::tensor({64, 256}, Layout::row_sharded(1)), testing::tensor({256, 256}, Layout::row_sharded(1))},
  };
  const std::vector<bool> parameters{false, true};
  const auto target = std::make_shared<estimate::cycles::Vexa21CostModel>();

  testing::RecordingReceiver one_by_one;
  const estimate::cycles::MemoizedCostModel model(target, 64);
  std::vector<std::vector<OperatorPlan>> expected;
  for (const std::vector<TensorType>& operands : operand_lists) {
    expected.push_back(plans(gemm, operands, parameters, result, config, model, {},
                             GenerationContext{.diagnostics = &one_by_one, .threads = 1}));
  }
  ASSERT_FALSE(expected[0].empty());
  ASSERT_FALSE(seen(one_by_one).empty());

  for (const std::uint16_t threads : {std::uint16_t{1}, std::uint16_t{2}}) {
    SCOPED_TRACE(threads);
    testing::RecordingReceiver side_by_side;
    const estimate::cycles::MemoizedCostModel fresh(target, 64);
    const auto lists = plans_for_each(gemm, operand_lists, parameters, result, config, fresh, {},
                                      GenerationContext{.diagnostics = &side_by_side, .threads = threads});
    ASSERT_EQ(lists.size(), expected.size());
    for (std::size_t i = 0; i < lists.size(); ++i) {
      EXPECT_EQ(*lists[i], expected[i]) << i;
    }
    EXPECT_EQ(lists[2], lists[0]) << "equal operand types share one list";
    EXPECT_EQ(seen(side_by_side), seen(one_by_one));
  }
  EXPECT_TRUE(plans_for_each(gemm, {}, parameters, result, config, model, {}).empty());
}

}  // namespace
}  // namespace vexa_codegen::mid::candidates
