#include "vexa_codegen/mid/implementation/layernorm.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mid/implementation/fixtures.hpp"

namespace vexa_codegen::mid::implementation::layernorm {
namespace {

using namespace fixtures;
using primitive::Primitive;

/// [8, width] over 2 row parts x 2 column parts, the column cut being the
/// split that the partial moments follow.
TensorType grid(std::uint32_t width) {
  return tensor({8, width}, layout_of(row_major(), {exact(trailing(2), 2), exact(trailing(1), 2)}, 4));
}

/// A scale or bias of `width` elements cut like the rows' columns (stride 2),
/// each half held by both row parts.
TensorType parameter(std::uint32_t width) {
  return tensor({width}, layout_of(row_major(), {exact(leading(0), 2, 2)}, 4, 2));
}

OperatorPlan layer_norm_plan(std::uint16_t partials, const std::vector<TensorType>& inputs) {
  std::vector<TensorFormat> formats;
  for (const TensorType& input : inputs) {
    formats.push_back(input.format);
  }
  return plan(OperatorDispatch{OperatorDispatch::LayerNorm{.partials = partials}}, MidOperator{MidOperator::LayerNorm{}},
              formats, inputs[0].format);
}

TEST(LayerNorm, RefusesPartialCountsTheRowCannotSplit) {
  struct Case {
    std::uint16_t partials;
    std::uint32_t width;
    bool lowers;
  };
  const Case cases[] = {
      {2, 12, false},  // 12 is not a multiple of 4 x 2
      {2, 16, true},
      {1, 16, false},  // a single partial is no split
      {4, 16, true},
      {4, 24, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "p = " << c.partials << ", width " << c.width);
    const std::vector<TensorType> inputs{grid(c.width), parameter(c.width), parameter(c.width)};
    Builder builder = builder_with(inputs);
    EXPECT_EQ(layer_norm(builder, layer_norm_plan(c.partials, inputs), inputs, grid(c.width)).has_value(), c.lowers);
  }
}

TEST(LayerNorm, MomentsAreGatheredOverTheRowsTiles) {
  const TensorType output = grid(16);
  const std::vector<TensorType> inputs{output, parameter(16), parameter(16)};
  Builder builder = builder_with(inputs);
  const auto result = layer_norm(builder, layer_norm_plan(2, inputs), inputs, output);
  ASSERT_TRUE(result.has_value());
  const MidProgram& program = builder.program();
  // Every operand already fits: moments, gathering, apply.
  ASSERT_EQ(program.operations.size(), 3U);

  const TensorType moments = tensor(
      {8, 2, 2}, layout_of(row_major(), {exact(leading(0), 2), exact(leading(1), 2)}, 4), Precision::f32());
  EXPECT_EQ(compute_of(program.operations[0]).kernel, TileKernelSpec{TileKernelSpec::LayerNormMoments{}});
  EXPECT_EQ(program.operations[0].inputs, std::vector<MidValueId>{0});
  EXPECT_EQ(builder.type(program.operations[0].outputs[0]), moments);

  TensorType gathered = moments;
  gathered.format.layout.tiling = TensorTiling{.axes = {exact(leading(0), 2)}, .tile_count = 4, .replication = 2};
  EXPECT_EQ(step(program, 1), (Primitive{Primitive::Rearrange{.mapping = {}, .direct = true}}));
  EXPECT_EQ(builder.type(program.operations[1].outputs[0]), gathered);

  EXPECT_EQ(compute_of(program.operations[2]).kernel,
            (TileKernelSpec{TileKernelSpec::LayerNormApply{.partials = 2}}));
  EXPECT_EQ(program.operations[2].inputs, (std::vector<MidValueId>{0, 1, 2, program.operations[1].outputs[0]}));
  EXPECT_EQ(program.operations[2].outputs, std::vector<MidValueId>{*result});
  EXPECT_EQ(builder.type(*result), output);
}

TEST(LayerNorm, OperandsOutsideTheirTilingsMoveFirst) {
  const TensorType output = grid(16);
  const std::vector<TensorType> inputs{tensor({8, 16}, Layout::row_sharded(4)), parameter(16),
                                       tensor({16}, layout_of(row_major(), {}, 1))};
  Builder builder = builder_with(inputs);
  ASSERT_TRUE(layer_norm(builder, layer_norm_plan(2, inputs), inputs, output).has_value());
  const MidProgram& program = builder.program();
  ASSERT_EQ(program.operations.size(), 5U);
  EXPECT_EQ(builder.type(program.operations[0].outputs[0]), output);
  EXPECT_EQ(builder.type(program.operations[1].outputs[0]), parameter(16));
  EXPECT_TRUE(step(program, 2).is<Primitive::Compute>());
}

TEST(LayerNorm, GatheredReplicationBeyondSixteenBitsIsRefused) {
  // The operands' replication (16384 x 2) still fits; 16384 x 4 copies of the
  // moments do not.
  TensorType output = grid(64);
  output.format.layout.tiling.replication = 16384;
  const std::vector<TensorType> inputs{output, parameter(64), parameter(64)};
  Builder builder = builder_with(inputs);
  EXPECT_EQ(layer_norm(builder, layer_norm_plan(4, inputs), inputs, output), std::nullopt);
  EXPECT_FALSE(steps_of<Primitive::Rearrange>(builder.program()).empty());  // the operands were prepared
}

TEST(LayerNorm, LoweredLayerNormCanBePriced) {
  const std::vector<TensorType> inputs{tensor({8, 16}, Layout::row_sharded(4)), parameter(16), parameter(16)};
  EXPECT_NE(implement(layer_norm_plan(2, inputs), inputs, grid(16)), nullptr);
}

TEST(LayerNormDeathTest, ThreeOperandsAreAnInvariant) {
  const std::vector<TensorType> inputs{grid(16), parameter(16)};
  Builder builder = builder_with(inputs);
  EXPECT_DEATH(static_cast<void>(layer_norm(builder, layer_norm_plan(2, inputs), inputs, grid(16))),
               "index out of bounds: the len is 2 but the index is 2");
}

}  // namespace
}  // namespace vexa_codegen::mid::implementation::layernorm
