// Candidate generation against the target's own cost model: plans are lowered
// and analysed for real, on several threads sharing one memoised model.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
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

}  // namespace
}  // namespace vexa_codegen::mid::candidates
