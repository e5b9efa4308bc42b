#include "vexa_codegen/mid/planner.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexa_codegen::mid::planner {
namespace {

using layout::ElementOrder;
using layout::Layout;
using layout::MemoryClass;
using layout::Precision;
using layout::TensorFormat;
using layout::TensorType;

constexpr std::uint64_t M = 18446744073709551615ULL;

TEST(PlanMetrics, Dominates) {
  const PlanMetrics base{100, 10, 20, 30, 4, 10};
  struct Case {
    std::string name;
    PlanMetrics other;
    bool base_dominates;
    bool other_dominates;
  };
  const std::vector<Case> cases{
      {"equal", base, false, false},
      {"more cycles", {101, 10, 20, 30, 4, 10}, true, false},
      {"more exchange rows", {100, 10, 20, 30, 5, 10}, true, false},
      {"a larger allocation", {100, 10, 20, 30, 4, 11}, true, false},
      {"fewer cycles, more memory", {99, 11, 20, 30, 4, 10}, false, false},
      {"less of everything", {0, 0, 0, 0, 0, 0}, false, true},
      {"unpriced", PlanMetrics::unpriced(), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base.dominates(c.other), c.base_dominates) << c.name;
    EXPECT_EQ(c.other.dominates(base), c.other_dominates) << c.name;
  }
  EXPECT_TRUE((PlanMetrics{M - 1, 0, 0, 0, 0, 0}).dominates(PlanMetrics::unpriced()));
}

TEST(PlanMetrics, FromAProgram) {
  MidProgram program;
  program.cycles = {7, 9};
  program.memory = {1, 2, 3, 4, 5};
  EXPECT_EQ(PlanMetrics::of(program), (PlanMetrics{7, 1, 2, 3, 4, 5}));
  EXPECT_EQ(PlanMetrics::unpriced(), (PlanMetrics{M, 0, 0, 0, 0, 0}));
  EXPECT_EQ(dump(PlanMetrics{1, 2, 3, 4, 5, 6}),
            "PlanMetrics { cycles: 1, standard: 2, interleaved: 3, total: 4, exchange_rows: 5, "
            "maximum_standard_allocation: 6 }");
}

// A plan over 8-bit tensors on one tile, so that a tensor's per-tile bytes are
// its element count: operands in the given memory classes, the result in
// standard memory.
operators::OperatorPlan plan_over(const std::vector<MemoryClass>& operand_classes) {
  const auto format = [](MemoryClass memory) {
    return TensorFormat{Precision::f8f143(0), Layout{ElementOrder::row_major(), {{}, 1, 1}, memory}};
  };
  operators::OperatorPlan plan{{}, {operators::OperatorDispatch::Alias{}}, {operators::MidOperator::Add{}}};
  for (const MemoryClass memory : operand_classes) {
    plan.storage.operands.push_back({format(memory), 8, 0, operators::LocalOperandStaging::Direct, false});
  }
  plan.storage.output = {format(MemoryClass::Vexa21Standard), 8, 0, operators::LocalOperandStaging::Direct, false};
  return plan;
}

std::vector<TensorType> inputs_of(const std::vector<std::uint32_t>& elements) {
  std::vector<TensorType> inputs;
  for (const std::uint32_t n : elements) {
    inputs.push_back({graph::TensorShape{{n}}, {Precision::f32(), Layout::row_sharded(9)}});  // only shapes count
  }
  return inputs;
}

TEST(PlanFitsOperatorMemory, Limits) {
  const PipelineConfig config = PipelineConfig::make(1);  // 49152 reserved of 586960
  const auto interleaved = MemoryClass::Vexa21Interleaved;
  const auto standard = MemoryClass::Vexa21Standard;
  struct Case {
    std::string name;
    std::vector<MemoryClass> classes;
    std::vector<std::uint32_t> operand_bytes;
    std::uint32_t result_bytes;
    bool fits;
  };
  const std::vector<Case> cases{
      {"interleaved memory full", {interleaved}, {424880}, 1, true},
      {"interleaved memory exceeded", {interleaved}, {424881}, 1, false},
      {"standard memory full", {standard}, {537808}, 1, true},
      {"standard memory exceeded", {standard}, {537809}, 1, false},
      {"the result counts", {standard}, {1}, 537809, false},
      {"largest of each class added", {interleaved, standard}, {300000, 237808}, 1, true},
      {"largest of each class added, one byte over", {interleaved, standard}, {300000, 237809}, 1, false},
      // Two interleaved operands are not summed: only the largest counts.
      {"largest interleaved, not the sum", {interleaved, interleaved}, {300000, 300000}, 200000, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plan_fits_operator_memory(plan_over(c.classes), inputs_of(c.operand_bytes),
                                        graph::TensorShape{{c.result_bytes}}, config),
              c.fits)
        << c.name;
  }
}

TEST(PlanFitsOperatorMemory, BudgetNeverExceedsTheTile) {
  const operators::OperatorPlan plan = plan_over({MemoryClass::Vexa21Standard});
  PipelineConfig config = PipelineConfig::make(1);
  config.tile_memory_bytes = 1000000;
  EXPECT_TRUE(plan_fits_operator_memory(plan, inputs_of({537808}), graph::TensorShape{{1}}, config));
  EXPECT_FALSE(plan_fits_operator_memory(plan, inputs_of({537809}), graph::TensorShape{{1}}, config));

  config.tile_memory_bytes = 100000;
  EXPECT_TRUE(plan_fits_operator_memory(plan, inputs_of({50848}), graph::TensorShape{{1}}, config));
  EXPECT_FALSE(plan_fits_operator_memory(plan, inputs_of({50849}), graph::TensorShape{{1}}, config));

  // A reserve that saturates the sum never fits.
  config.reserved_bytes = M;
  EXPECT_FALSE(plan_fits_operator_memory(plan, inputs_of({1}), graph::TensorShape{{1}}, config));
}

TEST(PlanFitsOperatorMemory, UnresolvableTypesNeverFit) {
  operators::OperatorPlan plan = plan_over({MemoryClass::Vexa21Standard});
  plan.storage.operands[0].format.layout = Layout::row_sharded(1);  // needs a second-last axis
  const PipelineConfig config = PipelineConfig::make(1);
  EXPECT_FALSE(plan_fits_operator_memory(plan, inputs_of({8}), graph::TensorShape{{8}}, config));
  EXPECT_TRUE(plan_fits_operator_memory(plan, {{graph::TensorShape{{1, 8}}, {}}}, graph::TensorShape{{8}}, config));
}

}  // namespace
}  // namespace vexa_codegen::mid::planner
