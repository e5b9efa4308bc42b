#include "vexa_codegen/mid/optimistic/fusion.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "mid/optimistic/fixtures.hpp"
#include "vexa_codegen/estimate/mid.hpp"

namespace vexa_codegen::mid::optimistic::fusion {
namespace {

using namespace fixtures;
using graph::Operation;
using graph::OperationKind;

constexpr std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();

// [1, 4] F16 on one tile: 8 bytes per tile.
const TensorType tiny = tensor({1, 4}, layout_of({}, 1));
// [1, 8, 128] F16, rows over two tiles.
const TensorType activations = tensor({1, 8, 128}, layout_of({cut(TensorAxis::trailing(2), 2)}, 2));

Operation operation(std::uint32_t id, OperationKind kind, std::vector<std::uint32_t> inputs, std::uint32_t result) {
  Operation op{.id = OperationId{id}, .inputs = {}, .results = {ValueId{result}}, .kind = std::move(kind)};
  for (const std::uint32_t input : inputs) {
    op.inputs.push_back(ValueId{input});
  }
  return op;
}

// A candidate and the region's operations. Value i carries graph value i, and
// operator step k carries graph operation k, so steps and operations line up.
struct Fixture {
  DiagnosticMidGraph candidate;
  std::vector<Operation> operations;

  explicit Fixture(std::vector<TensorType> types) {
    candidate.tiles = 2;
    for (std::uint32_t i = 0; i < types.size(); ++i) {
      candidate.values.push_back(Value{.tensor = types[i], .high = ValueId{i}});
    }
  }

  // Appends an operator step for a new graph operation of `kind`.
  void op(OperationKind kind, std::vector<std::size_t> inputs, std::size_t output, CycleEstimate cycles) {
    const auto id = static_cast<std::uint32_t>(operations.size());
    std::vector<std::uint32_t> graph_inputs;
    for (const std::size_t input : inputs) {
      graph_inputs.push_back(static_cast<std::uint32_t>(input));
    }
    operations.push_back(operation(id, kind, graph_inputs, static_cast<std::uint32_t>(output)));
    candidate.steps.push_back(operator_step(id, std::move(inputs), {output}, cycles));
  }

  void convert(std::size_t input, std::size_t output) {
    candidate.steps.push_back(transform_step(TransformKind::Cast, candidate.values[input].tensor,
                                             candidate.values[output].tensor, input, output, {7, 7}));
  }

  [[nodiscard]] std::optional<DiagnosticMidGraph> fuse(std::size_t max_fused_steps = 4) const {
    return fusion::fuse(candidate, operations, max_fused_steps);
  }

  // The fused step that the group of operator steps `steps` becomes.
  [[nodiscard]] Step fused(std::vector<std::size_t> steps, std::vector<std::size_t> inputs,
                           std::vector<std::size_t> outputs, CycleEstimate cycles, Assumptions assumptions) const {
    Step step{.operations = {}, .inputs = std::move(inputs), .outputs = std::move(outputs),
              .kind = StepKind{StepKind::Fused{}}, .cycles = cycles, .assumptions = std::move(assumptions)};
    auto& fused_operations = std::get<StepKind::Fused>(step.kind.value).operations;
    for (const std::size_t k : steps) {
      const OperationId id = candidate.steps[k].operations.front();
      step.operations.push_back(id);
      fused_operations.push_back(operations[id.number]);
    }
    return step;
  }
};

Assumptions missing(const char* text) { return {Assumption::missing_kernel(text)}; }

const OperationKind add = OperationKind::add();
const OperationKind gelu = OperationKind::gelu();
const OperationKind norm = OperationKind::layer_norm();
const OperationKind gemm = OperationKind::gemm();

TEST(Fuse, NeedsALimitOfAtLeastTwo) {
  Fixture f({tiny, tiny, tiny});
  f.op(gelu, {0}, 1, {500, 500});
  f.op(gelu, {1}, 2, {500, 500});
  EXPECT_FALSE(f.fuse(0));
  EXPECT_FALSE(f.fuse(1));
  EXPECT_TRUE(f.fuse(2));
}

TEST(Fuse, NothingWithoutAdjacentFusibleSteps) {
  Fixture f({tiny, tiny, tiny, tiny, tiny, tiny, tiny});
  f.op(norm, {0, 1, 2}, 3, {10, 10});
  f.op(gemm, {3, 4}, 5, {10, 10});
  f.op(gemm, {3, 4}, 6, {10, 10});
  EXPECT_FALSE(f.fuse());

  // A step whose operation is not in the list is not fusible either.
  Fixture g({tiny, tiny, tiny});
  g.op(gelu, {0}, 1, {500, 500});
  g.op(gelu, {1}, 2, {500, 500});
  g.operations.pop_back();
  EXPECT_FALSE(g.fuse());
}

TEST(Fuse, GenericEstimateDiscountsTheLaunchesAndTheDiscardedTraffic) {
  Fixture f({tiny, tiny, tiny, tiny, tiny, tiny, tiny});
  f.op(norm, {0, 1, 2}, 3, {300, 333});
  f.op(gelu, {3}, 4, {300, 333});
  f.op(add, {4, 5}, 6, {398, 333});
  f.candidate.inputs = {0, 1, 2, 5};
  f.candidate.outputs = {6};
  search::refresh(f.candidate);

  const auto result = f.fuse();
  ASSERT_TRUE(result);
  // S = 2 x 8 + 2 x 8 = 32; savings = 330 x 2 + 32 / 8 = 664; 998 - 664 = 334.
  const Step expected = f.fused({0, 1, 2}, {0, 1, 2, 5}, {6}, {334, 999},
                                missing("fused [LayerNorm, Gelu, Add] with 1 live outputs"));
  ASSERT_EQ(result->steps.size(), 1u);
  EXPECT_EQ(result->steps[0], expected);
  EXPECT_EQ(result->cycles, (CycleEstimate{334, 999}));
  EXPECT_EQ(result->assumptions, expected.assumptions);
  EXPECT_EQ(result->values, f.candidate.values);
}

TEST(Fuse, DiscardedIntermediatesHoldNoMemoryAfterTheRefresh) {
  // [2, 512] F16 over two tiles: 1024 bytes per tile.
  const TensorType big = tensor({2, 512}, layout_of({cut(TensorAxis::trailing(2), 2)}, 2));
  Fixture f({tiny, big, big});
  f.op(gelu, {0}, 1, {500, 500});
  f.op(gelu, {1}, 2, {500, 500});
  f.candidate.inputs = {0};
  f.candidate.outputs = {2};
  search::refresh(f.candidate);
  EXPECT_EQ(f.candidate.memory.standard, 2048u);  // v1 and v2 live together

  const auto result = f.fuse();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->values, f.candidate.values);
  EXPECT_EQ(result->memory.standard, 8u + 1024);  // v0 and v2; v1 is gone
}

TEST(Fuse, TheOptimisticFigureNeverFallsBelowTheLaunchFloor) {
  // The intermediate is also a region output: nothing is discarded, S = 0.
  Fixture kept({tiny, tiny, tiny});
  kept.op(gelu, {0}, 1, {250, 260});
  kept.op(gelu, {1}, 2, {250, 260});
  kept.candidate.outputs = {1, 2};
  const auto result = kept.fuse();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->steps, (std::vector<Step>{kept.fused({0, 1}, {0}, {1, 2}, {330, 520},
                                                          missing("fused [Gelu, Gelu] with 2 live outputs"))}));

  // An intermediate whose layout does not resolve saturates S.
  const TensorType unresolvable = tensor({4, 16}, layout_of({cut(TensorAxis::trailing(2), 4)}, 3));
  Fixture lost({unresolvable, unresolvable, unresolvable});
  lost.op(gelu, {0}, 1, {5000, 5000});
  lost.op(gelu, {1}, 2, {5000, 5000});
  lost.candidate.outputs = {2};
  const auto saturated = lost.fuse();
  ASSERT_TRUE(saturated);
  EXPECT_EQ(saturated->steps[0].cycles, (CycleEstimate{330, 10000}));
}

TEST(Fuse, ResultsReadAfterTheGroupStayOutputs) {
  Fixture f({tiny, tiny, tiny, tiny, tiny, tiny});
  f.op(gelu, {0}, 1, {500, 500});
  f.op(norm, {1, 3, 4}, 2, {500, 500});
  f.op(gemm, {1, 2}, 5, {10, 10});
  const auto result = f.fuse();
  ASSERT_TRUE(result);
  ASSERT_EQ(result->steps.size(), 2u);
  EXPECT_EQ(result->steps[0], f.fused({0, 1}, {0, 3, 4}, {1, 2}, {670, 1000},
                                      missing("fused [Gelu, LayerNorm] with 2 live outputs")));
  EXPECT_EQ(result->steps[1], f.candidate.steps[2]);
}

TEST(Fuse, TransformsBetweenGroupStepsMoveAheadUnlessTheyReadTheGroup) {
  // v5 -> v6 reads nothing of the group and moves in front of the fused step.
  Fixture aside({tiny, tiny, tiny, tiny, tiny, tiny, tiny});
  aside.op(gelu, {0}, 1, {500, 500});
  aside.convert(5, 6);
  aside.op(gelu, {1}, 2, {500, 500});
  aside.candidate.outputs = {2, 6};
  const auto moved = aside.fuse();
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->steps, (std::vector<Step>{aside.candidate.steps[1],
                                             aside.fused({0, 2}, {0}, {2}, {668, 1000},
                                                         missing("fused [Gelu, Gelu] with 1 live outputs"))}));

  // v1 -> v6 reads the group's result: the group ends before it.
  Fixture reads({tiny, tiny, tiny, tiny, tiny, tiny, tiny});
  reads.op(gelu, {0}, 1, {500, 500});
  reads.convert(1, 6);
  reads.op(gelu, {1}, 2, {500, 500});
  reads.candidate.outputs = {2, 6};
  EXPECT_FALSE(reads.fuse());

  // A transform after the group's last step keeps its place.
  Fixture after({tiny, tiny, tiny, tiny, tiny, tiny, tiny});
  after.op(gelu, {0}, 1, {500, 500});
  after.op(gelu, {1}, 2, {500, 500});
  after.convert(5, 6);
  after.op(gemm, {2, 6}, 3, {10, 10});
  const auto kept = after.fuse();
  ASSERT_TRUE(kept);
  ASSERT_EQ(kept->steps.size(), 3u);
  EXPECT_TRUE(kept->steps[0].kind.is<StepKind::Fused>());
  EXPECT_EQ(kept->steps[1], after.candidate.steps[2]);
  EXPECT_EQ(kept->steps[2], after.candidate.steps[3]);
}

TEST(Fuse, GroupsNeverExceedTheLimit) {
  Fixture f({tiny, tiny, tiny, tiny, tiny, tiny, tiny});
  f.op(norm, {0, 5, 6}, 1, {500, 500});
  f.op(gelu, {1}, 2, {500, 500});
  f.op(norm, {2, 5, 6}, 3, {500, 500});
  f.op(gelu, {3}, 4, {500, 500});
  f.candidate.outputs = {4};
  const auto result = f.fuse(2);
  ASSERT_TRUE(result);
  // Each group discards one intermediate of 8 bytes: savings 330 + 2.
  EXPECT_EQ(result->steps,
            (std::vector<Step>{f.fused({0, 1}, {0, 5, 6}, {2}, {668, 1000},
                                       missing("fused [LayerNorm, Gelu] with 1 live outputs")),
                               f.fused({2, 3}, {2, 5, 6}, {4}, {668, 1000},
                                       missing("fused [LayerNorm, Gelu] with 1 live outputs"))}));
}

TEST(Fuse, AStepWritingAnotherTypeStartsANewGroup) {
  const TensorType other_tiling = tensor({2, 4}, layout_of({cut(TensorAxis::trailing(2), 2)}, 2));
  const TensorType one_tile = tensor({2, 4}, layout_of({}, 1));
  Fixture f({one_tile, one_tile, other_tiling, other_tiling});
  f.op(gelu, {0}, 1, {500, 500});
  f.op(gelu, {1}, 2, {500, 500});
  f.op(gelu, {2}, 3, {500, 500});
  f.candidate.outputs = {3};
  const auto result = f.fuse();
  ASSERT_TRUE(result);
  ASSERT_EQ(result->steps.size(), 2u);
  EXPECT_EQ(result->steps[0], f.candidate.steps[0]);
  EXPECT_EQ(result->steps[1].operations, (std::vector<OperationId>{OperationId{1}, OperationId{2}}));
}

TEST(Fuse, AFusedStepClosesAGroup) {
  Fixture f({tiny, tiny, tiny, tiny});
  f.op(gelu, {0}, 1, {500, 500});
  f.op(gelu, {1}, 2, {500, 500});
  f.candidate.steps[1].kind = StepKind{StepKind::Fused{{f.operations[1]}}};
  f.op(gelu, {2}, 3, {500, 500});
  EXPECT_FALSE(f.fuse());
}

// The price `operation_cost` gives the fused kernel over these values.
std::uint64_t kernel_price(const DiagnosticMidGraph& candidate, operators::TileKernelSpec kernel,
                           std::vector<MidValueId> inputs, MidValueId output) {
  MidOperation operation;
  operation.inputs = std::move(inputs);
  operation.outputs = {output};
  operation.kind = MidOperationKind{MidOperationKind::Primitive{primitive::Primitive{
      primitive::Primitive::Compute{.kernel = std::move(kernel),
                                    .windows = std::vector<primitive::OperandWindow>(operation.inputs.size()),
                                    .axes = std::nullopt,
                                    .aliases = {}}}}};
  std::vector<MidValue> values;
  for (std::uint32_t i = 0; i < candidate.values.size(); ++i) {
    values.push_back(MidValue{.tensor = candidate.values[i].tensor, .storage = i, .graph_value = i, .origin = i});
  }
  const auto cost = estimate::mid::operation_cost(operation, values);
  EXPECT_TRUE(cost.has_value());
  return cost ? cost->cycles.optimistic : max64;
}

TEST(Fuse, AddAndGeluUseTheBiasGeluKernelWhenItIsCheaper) {
  const TensorType bias_row = tensor({1, 1, 128}, layout_of({}, 1));
  Fixture f({activations, bias_row, activations, activations});
  f.op(add, {0, 1}, 2, {0, 0});
  f.op(gelu, {2}, 3, {0, 0});
  f.candidate.outputs = {3};
  const std::uint64_t price =
      kernel_price(f.candidate, operators::TileKernelSpec{operators::TileKernelSpec::BiasGelu{}}, {0, 1}, 3);
  ASSERT_GT(price, 0u);

  f.candidate.steps[0].cycles = {1, price / 2};
  f.candidate.steps[1].cycles = {1, price - price / 2 + 1};
  const auto result = f.fuse();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->steps, (std::vector<Step>{f.fused({0, 1}, {0, 1}, {3}, {price, price}, {})}));
  EXPECT_TRUE(result->assumptions.empty());

  // No cheaper than the two steps: nothing is fused.
  f.candidate.steps[1].cycles = {1, price - price / 2};
  EXPECT_FALSE(f.fuse());
}

TEST(Fuse, AnUnfusedKnownPairLeavesTheSecondStepToStartTheNextGroup) {
  const TensorType bias_row = tensor({1, 1, 128}, layout_of({}, 1));
  Fixture f({activations, bias_row, activations, activations, activations, bias_row, bias_row});
  f.op(add, {0, 1}, 2, {0, 0});
  f.op(gelu, {2}, 3, {400, 400});
  f.op(norm, {3, 5, 6}, 4, {400, 400});
  f.candidate.outputs = {4};
  const std::uint64_t price =
      kernel_price(f.candidate, operators::TileKernelSpec{operators::TileKernelSpec::BiasGelu{}}, {0, 1}, 3);
  ASSERT_GE(price, 400u);
  f.candidate.steps[0].cycles = {0, price - 400};
  const auto result = f.fuse(2);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->steps.size(), 2u);
  EXPECT_EQ(result->steps[0], f.candidate.steps[0]);
  EXPECT_EQ(result->steps[1].operations, (std::vector<OperationId>{OperationId{1}, OperationId{2}}));
  EXPECT_EQ(result->steps[1].assumptions, missing("fused [Gelu, LayerNorm] with 1 live outputs"));
}

TEST(Fuse, AFullBiasIsNoBiasRowAndTakesTheGenericEstimate) {
  const TensorType bias_matrix = tensor({8, 128}, layout_of({}, 1));
  Fixture f({activations, bias_matrix, activations, activations});
  f.op(add, {0, 1}, 2, {500, 1'000'000});
  f.op(gelu, {2}, 3, {500, 1'000'000});
  f.candidate.outputs = {3};
  const auto result = f.fuse();
  ASSERT_TRUE(result);
  ASSERT_EQ(result->steps.size(), 1u);
  EXPECT_EQ(result->steps[0].assumptions, missing("fused [Add, Gelu] with 1 live outputs"));
  EXPECT_EQ(result->steps[0].cycles.conservative, 2'000'000u);
}

TEST(Fuse, AddAndLayerNormUseTheAddLayerNormKernel) {
  const TensorType row = tensor({128}, layout_of({}, 1));
  Fixture f({activations, activations, activations, row, row, activations});
  f.op(add, {0, 1}, 2, {1'000'000, 1'000'000});
  f.op(norm, {2, 3, 4}, 5, {1'000'000, 1'000'000});
  f.candidate.outputs = {5};
  const std::uint64_t price = kernel_price(
      f.candidate, operators::TileKernelSpec{operators::TileKernelSpec::AddLayerNorm{}}, {0, 1, 3, 4}, 5);
  ASSERT_LT(price, 2'000'000u);
  const auto result = f.fuse();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->steps, (std::vector<Step>{f.fused({0, 1}, {0, 1, 3, 4}, {5}, {price, price}, {})}));

  // The residual must have the result's type for the fused kernel.
  Fixture g({activations, tensor({1, 8, 128}, layout_of({}, 1)), activations, row, row, activations});
  g.op(add, {0, 1}, 2, {1'000'000, 1'000'000});
  g.op(norm, {2, 3, 4}, 5, {1'000'000, 1'000'000});
  g.candidate.outputs = {5};
  const auto generic = g.fuse();
  ASSERT_TRUE(generic);
  EXPECT_EQ(generic->steps[0].assumptions, missing("fused [Add, LayerNorm] with 1 live outputs"));
}

}  // namespace
}  // namespace vexa_codegen::mid::optimistic::fusion
