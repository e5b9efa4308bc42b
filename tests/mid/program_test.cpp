#include "vexa_codegen/mid/program.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vexa_codegen::mid {
namespace {

using estimate::memory::MemoryPeaks;
using optimistic::CycleEstimate;

constexpr std::uint64_t M = 18446744073709551615ULL;

TEST(CycleEstimate, SumsSaturateFieldByField) {
  EXPECT_EQ((CycleEstimate{M, 1} + CycleEstimate{1, 1}), (CycleEstimate{M, 2}));
  CycleEstimate total{10, 12};
  total += CycleEstimate{5, M - 12};
  EXPECT_EQ(total, (CycleEstimate{15, M}));
  total += CycleEstimate{0, 1};
  EXPECT_EQ(total, (CycleEstimate{15, M}));
  EXPECT_EQ(dump(CycleEstimate{10, 12}), "CycleEstimate { optimistic: 10, conservative: 12 }");
}

TEST(MemoryPeaks, DumpsFieldsInOrder) {
  EXPECT_EQ(dump(MemoryPeaks{1, 2, 3, 4, 5}),
            "MemoryPeaks { standard: 1, interleaved: 2, total: 3, exchange_rows: 4, maximum_standard_allocation: 5 }");
}

// A one-operation program: a GELU over a [4, 8] tensor, analysed.
MidProgram gelu_program() {
  const layout::TensorType tensor{graph::TensorShape{{4, 8}}, {layout::Precision::f16(), layout::Layout::row_sharded(1)}};
  MidProgram program;
  program.inputs = {{"", 0, false}};
  program.values = {{tensor, 0, 0, 0, 0}, {tensor, 1, 0, 1, 0}};
  primitive::Primitive gelu{primitive::Primitive::Compute{{operators::TileKernelSpec::Gelu{}}, {{}}, std::nullopt, {}}};
  program.operations = {{{0}, {1}, {MidOperationKind::Primitive{gelu}}, std::nullopt, {}}};
  program.outputs = {1};
  program.cycles = {100, 120};
  program.memory = {64, 0, 64, 0, 64};
  program.tile_footprint = 1;
  return program;
}

TEST(MidProgram, EveryFigureTakesPartInEquality) {
  const MidProgram base = gelu_program();
  EXPECT_EQ(gelu_program(), base);
  const std::vector<std::function<void(MidProgram&)>> edits{
      [](MidProgram& p) { p.memory.standard += 1; },
      [](MidProgram& p) { p.memory.interleaved += 1; },
      [](MidProgram& p) { p.memory.total += 1; },
      [](MidProgram& p) { p.memory.exchange_rows += 1; },
      [](MidProgram& p) { p.memory.maximum_standard_allocation += 1; },
      [](MidProgram& p) { p.cycles.conservative += 1; },
      [](MidProgram& p) { p.tile_footprint = 2; },
      [](MidProgram& p) { p.inputs[0].flag = true; },
      [](MidProgram& p) { p.values[1].graph_value = 3; },
      [](MidProgram& p) { p.operations[0].reserved_figures[1] = 1; },
      [](MidProgram& p) { p.outputs.push_back(0); },
  };
  for (std::size_t i = 0; i < edits.size(); ++i) {
    MidProgram edited = base;
    edits[i](edited);
    EXPECT_NE(edited, base) << "edit " << i;
  }
}

MidOperationKind::Operator operator_step(std::shared_ptr<const MidProgram> program) {
  const operators::OperatorPlan plan{{}, {operators::OperatorDispatch::Alias{}}, {operators::MidOperator::Gelu{}}};
  return {plan, {}, std::move(program)};
}

TEST(MidOperationKind, OperatorProgramsCompareByIdentityOrValue) {
  const auto shared = std::make_shared<const MidProgram>(gelu_program());
  const auto equal_copy = std::make_shared<const MidProgram>(gelu_program());
  MidProgram other_program = gelu_program();
  other_program.cycles.optimistic = 99;
  const auto other = std::make_shared<const MidProgram>(other_program);

  EXPECT_EQ(operator_step(nullptr), operator_step(nullptr));
  EXPECT_EQ(operator_step(shared), operator_step(shared));
  EXPECT_EQ(operator_step(shared), operator_step(equal_copy));
  EXPECT_NE(operator_step(shared), operator_step(other));
  EXPECT_NE(operator_step(shared), operator_step(nullptr));
  EXPECT_NE(operator_step(nullptr), operator_step(shared));

  MidOperationKind::Operator bound = operator_step(shared);
  bound.bindings.push_back({1, 2, 3, std::nullopt, 4, 5});
  EXPECT_NE(bound, operator_step(shared));

  // Programs holding the same shared implementation are equal, and copying a
  // program shares the implementation rather than copying it.
  MidProgram outer = gelu_program();
  outer.operations[0].kind = {operator_step(shared)};
  const MidProgram copy = outer;
  EXPECT_EQ(copy, outer);
  EXPECT_EQ(copy.operations[0].kind.get_if<MidOperationKind::Operator>()->program.get(), shared.get());
}

}  // namespace
}  // namespace vexa_codegen::mid
