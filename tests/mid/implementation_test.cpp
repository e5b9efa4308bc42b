#include "vexa_codegen/mid/implementation.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mid/implementation/fixtures.hpp"
#include "vexa_codegen/estimate/mid.hpp"

namespace vexa_codegen::mid::implementation {
namespace {

using namespace fixtures;
using primitive::Primitive;

const TileKernelSpec add_kernel{TileKernelSpec::Add{}};

/// [8, 16] with its rows over `tiles` tiles.
TensorType rows(std::uint16_t tiles, Precision precision = Precision::f16()) {
  return tensor({8, 16}, Layout::row_sharded(tiles), precision);
}

// ---------------------------------------------------------------------------
// Builder

TEST(Builder, ValuesStartAsTheirOwnStorageAndInputsAreRecorded) {
  Builder builder = builder_with({rows(4)});
  const MidValueId result = builder.compute({0}, rows(4), add_kernel, std::nullopt, false, 0, {});
  const MidProgram& program = builder.program();
  ASSERT_EQ(result, 1U);
  EXPECT_EQ(program.inputs, (std::vector<MidInput>{MidInput{.name = "", .value = 0, .flag = false}}));
  EXPECT_EQ(program.values[1], (MidValue{.tensor = rows(4), .storage = 1, .graph_value = 0, .origin = 1, .version = 0}));
  ASSERT_EQ(program.operations.size(), 1U);
  EXPECT_EQ(program.operations[0].inputs, std::vector<MidValueId>{0});
  EXPECT_EQ(program.operations[0].outputs, std::vector<MidValueId>{1});
  EXPECT_FALSE(program.operations[0].reserved_slot.has_value());
}

TEST(Builder, ComputeWindowsAndInPlaceAccumulation) {
  Builder builder = builder_with({rows(4), rows(4)});
  const MidValueId first = builder.compute({0, 1}, rows(4), add_kernel, std::nullopt, false, 0, {});
  const MidValueId second = builder.compute({0, 1}, rows(4), add_kernel, std::nullopt, true, first, {});
  const OperandWindow window{.entries = {primitive::WindowRange{.start = 0, .axis = 1, .end = 8}}};
  builder.compute({0}, rows(4), add_kernel, std::nullopt, false, 0, {window});
  const MidProgram& program = builder.program();

  const auto& plain = compute_of(program.operations[0]);
  EXPECT_EQ(plain.windows, std::vector<OperandWindow>(2));
  EXPECT_TRUE(plain.aliases.empty());

  // The accumulator is read as an extra input without a window and overwritten.
  const auto& accumulating = compute_of(program.operations[1]);
  EXPECT_EQ(program.operations[1].inputs, (std::vector<MidValueId>{0, 1, first}));
  EXPECT_EQ(program.operations[1].outputs, std::vector<MidValueId>{second});
  EXPECT_EQ(accumulating.windows, std::vector<OperandWindow>(2));
  EXPECT_EQ(accumulating.aliases, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 2}}));

  EXPECT_EQ(compute_of(program.operations[2]).windows, std::vector<OperandWindow>{window});
}

TEST(Builder, MaterializeMovesOnlyWhatMustMove) {
  // The same rows cut with an explicit leading axis: another description of
  // the same distribution.
  const TensorType described = tensor({8, 16}, layout_of(row_major(), {exact(leading(0), 4, 1)}, 4));
  TensorType interleaved = rows(4);
  interleaved.format.layout.memory_class = MemoryClass::Vexa21Interleaved;
  TensorType left_order = rows(4);
  left_order.format.layout.order = amp(layout::AmpOrder::Left);
  struct Case {
    std::string name;
    TensorType target;
    std::vector<std::uint32_t> origin;
    bool moves;
  };
  const Case cases[] = {
      {"equal types", rows(4), {}, false},
      {"explicit zero origin", rows(4), {0, 0}, false},
      {"non-zero origin on equal types", rows(4), {0, 8}, true},
      {"same distribution described otherwise", described, {}, false},
      {"other memory class", interleaved, {}, true},
      {"other order", left_order, {}, true},
      {"other precision", rows(4, Precision::f32()), {}, true},
      {"other distribution", rows(2), {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Builder builder = builder_with({rows(4)});
    const MidValueId result = builder.materialize(0, c.target, c.origin, false);
    const MidProgram& program = builder.program();
    if (!c.moves) {
      EXPECT_EQ(result, 0U);
      EXPECT_TRUE(program.operations.empty());
      EXPECT_EQ(builder.type(result), rows(4));  // the value keeps its own type
      continue;
    }
    ASSERT_EQ(program.operations.size(), 1U);
    EXPECT_EQ(builder.type(result), c.target);
    const auto* rearrange = step(program, 0).get_if<Primitive::Rearrange>();
    ASSERT_NE(rearrange, nullptr);
    EXPECT_EQ(rearrange->mapping.origin, c.origin);
    EXPECT_FALSE(rearrange->mapping.view.has_value());
    EXPECT_FALSE(rearrange->direct);
  }
}

TEST(Builder, CastAppendsAStepOnlyForAnotherPrecision) {
  struct Case {
    Precision from, to;
    bool casts;
  };
  const Case cases[] = {
      {Precision::f16(), Precision::f16(), false},
      {Precision::f16(), Precision::f32(), true},
      {Precision::f8f143(2), Precision::f8f143(2), false},
      {Precision::f8f143(0), Precision::f8f143(1), true},  // another scale exponent is another precision
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(dump(c.from) + " to " + dump(c.to));
    Builder builder = builder_with({rows(4, c.from)});
    const MidValueId result = builder.cast(0, c.to);
    if (!c.casts) {
      EXPECT_EQ(result, 0U);
      EXPECT_TRUE(builder.program().operations.empty());
      continue;
    }
    ASSERT_EQ(builder.program().operations.size(), 1U);
    EXPECT_EQ(builder.type(result), rows(4, c.to));
    EXPECT_EQ(compute_of(builder.program().operations[0]).kernel,
              (TileKernelSpec{TileKernelSpec::Cast{.from = c.from, .to = c.to}}));
  }
}

TEST(Builder, FinishNamesTheResultAndTheLargestTileCount) {
  Builder builder = builder_with({rows(4)});
  const MidValueId moved = builder.materialize(0, rows(8), {}, true);
  const MidValueId result = builder.materialize(moved, rows(2), {}, true);
  const MidProgram program = std::move(builder).finish(result);
  EXPECT_EQ(program.outputs, std::vector<MidValueId>{result});
  EXPECT_EQ(program.tile_footprint, 8U);
}

TEST(BuilderDeathTest, UnknownValuesStop) {
  Builder builder = builder_with({rows(4)});
  EXPECT_DEATH(builder.materialize(3, rows(2), {}, true), "index out of bounds: the len is 1 but the index is 3");
  EXPECT_DEATH(builder.compute({0}, rows(4), add_kernel, std::nullopt, true, 7, {}), "index out of bounds");
}

// ---------------------------------------------------------------------------
// Tilings

TEST(PointwiseInputTiling, BroadcastsAlongMissingAndUnitAxes) {
  const TensorType output = tensor({1, 8, 128}, Layout::row_sharded(64));
  // Batches over 2 parts, rows over 4 parts: implicit strides 1 and 2.
  const TensorType batched = tensor({4, 8, 128}, layout_of(row_major(), {exact(trailing(3), 2), exact(trailing(2), 4)}, 8));
  struct Case {
    std::string name;
    std::vector<std::uint32_t> input;
    TensorType output;
    std::optional<TensorTiling> expected;
  };
  const Case cases[] = {
      {"same shape", {1, 8, 128}, output, output.format.layout.tiling},
      {"bias held whole by every tile", {128}, output, TensorTiling{.axes = {}, .tile_count = 64, .replication = 64}},
      {"rows kept with their stride", {8, 128}, output,
       TensorTiling{.axes = {exact(leading(0), 64, 1)}, .tile_count = 64, .replication = 1}},
      {"unit axis broadcast", {1, 1, 128}, output, TensorTiling{.axes = {}, .tile_count = 64, .replication = 64}},
      {"missing batch axis", {8, 128}, batched,
       TensorTiling{.axes = {exact(leading(0), 4, 2)}, .tile_count = 8, .replication = 2}},
      {"operand of higher rank", {2, 1, 8, 128}, output, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TensorType input = tensor(c.input, Layout::row_sharded(1));
    EXPECT_EQ(pointwise_input_tiling(input, c.output), c.expected);
  }
}

TEST(PointwiseInputTiling, RefusesTilingsItCannotCarryOver) {
  const TensorType input = tensor({8, 128}, Layout::row_sharded(1));
  // A flattened output tiling names no axis.
  const TensorType flat = tensor({1, 8, 128}, layout_of(row_major(), {exact(TensorAxis::flattened(), 4)}, 4));
  // The dropped batch axis multiplies the replication past 16 bits.
  const TensorType replicated = tensor({300, 8, 128}, layout_of(row_major(), {exact(trailing(3), 300)}, 0, 300));
  // The third cut's implicit stride is 300 x 300.
  const TensorType strided = tensor(
      {300, 300, 4}, layout_of(row_major(), {exact(leading(0), 300), exact(leading(1), 300), exact(leading(2), 2)}, 0));
  EXPECT_EQ(pointwise_input_tiling(input, flat), std::nullopt);
  EXPECT_EQ(pointwise_input_tiling(input, replicated), std::nullopt);
  EXPECT_EQ(pointwise_input_tiling(tensor({300, 300, 2}, Layout::row_sharded(1)), strided), std::nullopt);
}

TEST(ProjectGrid, KeepsTheOperandsAxisAndReplicatesTheOther) {
  // 4 row parts (stride 2) x 2 column parts (stride 1) on 8 tiles.
  const TensorType output = tensor({256, 128}, Layout::amp_output_grid(64, 8, 4, 2, false));
  EXPECT_EQ(project_grid(output, 2, 0, 0),
            (TensorTiling{.axes = {exact(leading(0), 4, 2)}, .tile_count = 8, .replication = 2}));
  EXPECT_EQ(project_grid(output, 2, 1, 1),
            (TensorTiling{.axes = {padded(leading(1), 2, 64, 1)}, .tile_count = 8, .replication = 4}));
  // The free axis of the left operand of a [.., M, K] x [.., K, N] product moves to its position.
  EXPECT_EQ(project_grid(output, 2, 1, 0),
            (TensorTiling{.axes = {padded(leading(0), 2, 64, 1)}, .tile_count = 8, .replication = 4}));
}

TEST(ProjectGrid, BatchAxesKeepTheirDistanceFromTheEnd) {
  // 2 batches (stride 1) x 4 row parts (stride 2).
  const TensorType output =
      tensor({2, 256, 128}, layout_of(amp(layout::AmpOrder::Output), {exact(trailing(3), 2), exact(trailing(2), 4)}, 8));
  EXPECT_EQ(project_grid(output, 3, 1, 1),
            (TensorTiling{.axes = {exact(leading(0), 2, 1), exact(leading(1), 4, 2)}, .tile_count = 8, .replication = 1}));
  // An operand without the batch axis holds every batch's copy.
  EXPECT_EQ(project_grid(output, 2, 1, 0),
            (TensorTiling{.axes = {exact(leading(0), 4, 2)}, .tile_count = 8, .replication = 2}));
  const TensorType flat = tensor({2, 256, 128}, layout_of(row_major(), {exact(TensorAxis::flattened(), 4)}, 4));
  EXPECT_EQ(project_grid(flat, 3, 1, 1), std::nullopt);
}

// ---------------------------------------------------------------------------
// Tile kernels, views and slices

OperatorPlan add_plan(std::optional<std::vector<std::uint16_t>> aliases) {
  const TensorFormat format = rows(4).format;
  return plan(OperatorDispatch{OperatorDispatch::TileKernel{add_kernel}}, MidOperator{MidOperator::Add{}},
              {format, format}, format, std::move(aliases));
}

TEST(TileKernel, AccumulatesIntoTheFirstListedOperandOfTheOutputType) {
  const TensorType output = rows(4);
  struct Case {
    std::string name;
    TensorType second;  // operand 1; operand 0 has the output type
    std::optional<std::vector<std::uint16_t>> aliases;
    std::optional<MidValueId> accumulator;
  };
  const Case cases[] = {
      {"no aliases", output, std::nullopt, std::nullopt},
      {"operand 1 differs", rows(4, Precision::f32()), std::vector<std::uint16_t>{1}, std::nullopt},
      {"operand 1 differs, then operand 0", rows(4, Precision::f32()), std::vector<std::uint16_t>{1, 0}, 0},
      {"operand 1 first", output, std::vector<std::uint16_t>{1, 0}, 1},
      {"position beyond the operands", output, std::vector<std::uint16_t>{2}, std::nullopt},
      // The moved operand has the output type.
      {"moved operand", rows(2), std::vector<std::uint16_t>{1}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<TensorType> inputs{output, c.second};
    Builder builder = builder_with(inputs);
    const auto result = tile_kernel(builder, add_plan(c.aliases), inputs, output);
    ASSERT_TRUE(result.has_value());
    const auto kernels = kernel_steps<TileKernelSpec::Add>(builder.program());
    ASSERT_EQ(kernels.size(), 1U);
    EXPECT_EQ(kernels[0]->outputs, std::vector<MidValueId>{*result});
    const auto& compute = compute_of(*kernels[0]);
    EXPECT_EQ(compute.windows.size(), 2U);
    if (c.accumulator) {
      EXPECT_EQ(kernels[0]->inputs.back(), *c.accumulator);
      EXPECT_EQ(compute.aliases, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 2}}));
    } else {
      EXPECT_EQ(kernels[0]->inputs.size(), 2U);
      EXPECT_TRUE(compute.aliases.empty());
    }
  }
}

TEST(TileKernel, PreparesOperandsInTheirPointwiseTilings) {
  const TensorType output = tensor({1, 8, 128}, Layout::row_sharded(64));
  const TensorType bias = tensor({128}, layout_of(row_major(), {}, 1));
  const std::vector<TensorType> inputs{output, bias};
  Builder builder = builder_with(inputs);
  const TensorFormat format = output.format;
  const OperatorPlan add = plan(OperatorDispatch{OperatorDispatch::TileKernel{add_kernel}},
                                MidOperator{MidOperator::Add{}}, {format, bias.format}, format);
  const auto result = tile_kernel(builder, add, inputs, output);
  ASSERT_TRUE(result.has_value());
  const MidProgram& program = builder.program();
  ASSERT_EQ(program.operations.size(), 2U);  // the bias moves; the data already fits
  const auto* move = step(program, 0).get_if<Primitive::Rearrange>();
  ASSERT_NE(move, nullptr);
  EXPECT_TRUE(move->direct);
  EXPECT_EQ(builder.type(program.operations[0].outputs[0]).format.layout.tiling,
            (TensorTiling{.axes = {}, .tile_count = 64, .replication = 64}));
  EXPECT_EQ(program.operations[1].inputs, (std::vector<MidValueId>{0, 2}));
}

TEST(TileKernel, AttentionKernelWritesThirtyTwoBitsAndIsCastBack) {
  const TensorType batch = tensor({2, 128, 64}, layout_of(row_major(), {exact(trailing(3), 2)}, 2));
  const std::vector<TensorType> inputs{batch, batch, batch};
  const TileKernelSpec kernel{TileKernelSpec::Attention{
      .scale = graph::AttentionScale{graph::AttentionScale::InverseSqrtQueryWidth{}}, .causal = false,
      .accumulate = operators::AccumulationPrecision::F32}};
  const OperatorPlan attention = plan(OperatorDispatch{OperatorDispatch::TileKernel{kernel}},
                                      MidOperator{MidOperator::FlashAttention{}},
                                      {batch.format, batch.format, batch.format}, batch.format);
  Builder builder = builder_with(inputs);
  const auto result = tile_kernel(builder, attention, inputs, batch);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(builder.type(*result), batch);
  const MidProgram& program = builder.program();
  ASSERT_EQ(program.operations.size(), 2U);
  EXPECT_EQ(builder.type(program.operations[0].outputs[0]).format.precision, Precision::f32());
  EXPECT_EQ(compute_of(program.operations[1]).kernel,
            (TileKernelSpec{TileKernelSpec::Cast{.from = Precision::f32(), .to = Precision::f16()}}));
}

TEST(TileKernel, OperandOfHigherRankIsRefused) {
  const TensorType output = rows(4);
  const std::vector<TensorType> inputs{output, tensor({2, 8, 16}, Layout::row_sharded(4))};
  Builder builder = builder_with(inputs);
  EXPECT_EQ(tile_kernel(builder, add_plan(std::nullopt), inputs, output), std::nullopt);
}

OperatorPlan alias_plan(MidOperator op, const TensorType& source, const TensorType& output) {
  return plan(OperatorDispatch{OperatorDispatch::Alias{}}, std::move(op), {source.format}, output.format);
}

TEST(ViewOrSlice, SliceStartsAtItsOffsetAndViewsCarryTheirReshape) {
  const TensorType source = tensor({2, 8, 128}, Layout::row_sharded(4));
  const TensorType sliced = tensor({2, 8, 64}, Layout::row_sharded(4));
  const TensorType viewed = tensor({8, 8, 32}, Layout::row_sharded(4));
  const graph::view::AxisFactorView view{.split_axis = 2, .merge_axis = 0, .factor = 4, .reversed = false};
  struct Case {
    std::string name;
    MidOperator op;
    TensorType output;
    primitive::CoordinateMapping mapping;
  };
  const Case cases[] = {
      {"slice", MidOperator{MidOperator::Slice{graph::AxisSlice{.axis = 2, .start = 64, .length = 64}}}, sliced,
       primitive::CoordinateMapping{.origin = {0, 0, 64}, .view = std::nullopt}},
      {"view", MidOperator{MidOperator::View{view}}, viewed, primitive::CoordinateMapping{.origin = {}, .view = view}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Builder builder = builder_with({source});
    const auto result = view_or_slice(builder, alias_plan(c.op, source, c.output), {source}, c.output);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(builder.type(*result), c.output);
    ASSERT_EQ(builder.program().operations.size(), 1U);
    EXPECT_EQ(step(builder.program(), 0),
              (Primitive{Primitive::Rearrange{.mapping = c.mapping, .direct = false}}));
  }
}

TEST(ViewOrSliceDeathTest, SliceAxisAndOperandAreInvariants) {
  const TensorType source = tensor({2, 8, 128}, Layout::row_sharded(4));
  const MidOperator beyond{MidOperator::Slice{graph::AxisSlice{.axis = 3, .start = 0, .length = 1}}};
  Builder builder = builder_with({source});
  EXPECT_DEATH(static_cast<void>(view_or_slice(builder, alias_plan(beyond, source, source), {source}, source)),
               "index out of bounds: the len is 3 but the index is 3");
  Builder empty;
  EXPECT_DEATH(static_cast<void>(view_or_slice(empty, alias_plan(beyond, source, source), {}, source)),
               "index out of bounds");
}

// ---------------------------------------------------------------------------
// Entry

TEST(Implement, FinishedProgramCarriesItsAnalysis) {
  const TensorType output = rows(4);
  const std::vector<TensorType> inputs{output, rows(2)};
  const auto program = implement(add_plan(std::vector<std::uint16_t>{0}), inputs, output);
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(program->inputs, (std::vector<MidInput>{MidInput{.name = "", .value = 0, .flag = false},
                                                    MidInput{.name = "", .value = 1, .flag = false}}));
  ASSERT_EQ(program->outputs.size(), 1U);
  EXPECT_EQ(program->values[program->outputs[0]].tensor, output);
  EXPECT_EQ(program->tile_footprint, 4U);
  const auto analysis = estimate::mid::analyze(*program, {});
  ASSERT_TRUE(analysis.has_value());
  EXPECT_EQ(program->cycles, analysis->first);
  EXPECT_EQ(program->memory, analysis->second);
}

TEST(Implement, DispatchAndOperatorMustMatch) {
  const TensorType output = rows(4);
  const TensorFormat format = output.format;
  const OperatorDispatch gemm{OperatorDispatch::Gemm{.inner_chunk = 64, .output_column_block = 64,
                                                     .distribution = std::nullopt,
                                                     .orientation = operators::GemmOrientation::Normal}};
  const OperatorDispatch alias{OperatorDispatch::Alias{}};
  const OperatorDispatch flash{OperatorDispatch::FlashAttention{.score_grid = std::nullopt, .value_grid = std::nullopt,
                                                                .block = 64, .output_parameter = 16,
                                                                .value_parameter = 16, .unaligned_block = false}};
  const OperatorPlan plans[] = {
      plan(gemm, MidOperator{MidOperator::Add{}}, {format, format}, format),
      plan(alias, MidOperator{MidOperator::Gelu{}}, {format}, format),
      plan(flash, MidOperator{MidOperator::Add{}}, {format, format, format}, format),
  };
  for (const OperatorPlan& candidate : plans) {
    SCOPED_TRACE(dump(candidate.dispatch));
    EXPECT_EQ(implement(candidate, {output, output, output}, output), nullptr);
  }
}

}  // namespace
}  // namespace vexa_codegen::mid::implementation
