#include "vexa_codegen/mid/implementation/gemm.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mid/implementation/fixtures.hpp"

namespace vexa_codegen::mid::implementation::gemm {
namespace {

using namespace fixtures;
using operators::GemmDistribution;
using operators::GemmOrientation;
using operators::ProductGrid;
using operators::ReductionStaging;
using primitive::Primitive;

using Aliases = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

constexpr MemoryClass standard = MemoryClass::Vexa21Standard;
constexpr MemoryClass interleaved = MemoryClass::Vexa21Interleaved;

/// [rows, columns] as a left operand on 4 row parts, columns padded to 64.
TensorType left(std::uint32_t rows, std::uint32_t columns, Precision precision = Precision::f16()) {
  return tensor({rows, columns},
                layout_of(amp(layout::AmpOrder::Left), {exact(trailing(2), 4), padded(trailing(1), 1, 64)}, 4),
                precision);
}

/// [rows, columns] as a weight held whole by each of 4 tiles.
TensorType weight(std::uint32_t rows, std::uint32_t columns, Precision precision = Precision::f16()) {
  return tensor({rows, columns}, layout_of(block_major(64), {padded(trailing(1), 1, 64)}, 4, 4), precision);
}

OperatorPlan product_plan(const std::vector<TensorType>& operands, const TensorType& output, Precision multiply,
                          std::uint32_t inner_chunk, GemmOrientation orientation = GemmOrientation::Normal,
                          std::optional<GemmDistribution> distribution = std::nullopt) {
  return plan(OperatorDispatch{OperatorDispatch::Gemm{.inner_chunk = inner_chunk,
                                                      .output_column_block = 64,
                                                      .distribution = distribution,
                                                      .orientation = orientation}},
              MidOperator{MidOperator::Gemm{.options = {}, .multiply = multiply,
                                            .accumulate = operators::AccumulationPrecision::F16}},
              {operands[0].format, operands[1].format}, output.format);
}

TileKernelSpec packed(Precision multiply, std::uint32_t inner_chunk, bool add_to_output) {
  return TileKernelSpec{TileKernelSpec::PackedGemm{.inner_chunk = inner_chunk,
                                                   .output_column_block = 64,
                                                   .multiply = multiply,
                                                   .accumulate = operators::AccumulationPrecision::F16,
                                                   .add_to_output = add_to_output,
                                                   .reserved = 0}};
}

TEST(Gemm, OperandsOnTheResultsGridNeedOneStep) {
  const TensorType output = left(256, 64);
  const std::vector<TensorType> inputs{left(256, 128), weight(128, 64)};
  Builder builder = builder_with(inputs);
  const auto result = gemm(builder, product_plan(inputs, output, Precision::f16(), 64), inputs, output);
  ASSERT_TRUE(result.has_value());
  const MidProgram& program = builder.program();
  ASSERT_EQ(program.operations.size(), 1U);
  EXPECT_EQ(program.operations[0].inputs, (std::vector<MidValueId>{0, 1}));
  EXPECT_EQ(step(program, 0),
            (Primitive{Primitive::Compute{.kernel = packed(Precision::f16(), 64, false),
                                          .windows = std::vector<OperandWindow>(2),
                                          .axes = ProductAxes{.left_contraction = leading(1),
                                                              .right_contraction = leading(0),
                                                              .output_columns = trailing(1),
                                                              .first_bound = std::nullopt,
                                                              .second_bound = std::nullopt},
                                          .aliases = {}}}));
  EXPECT_EQ(builder.type(*result), output);
}

TEST(Gemm, ContractionIsWalkedInChunksThatAddUp) {
  struct Case {
    std::string name;
    Precision multiply;
    MemoryClass second_chunks;
  };
  const Case cases[] = {
      {"16-bit product", Precision::f16(), interleaved},
      {"32-bit product", Precision::f32(), standard},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TensorType output = left(256, 64, c.multiply);
    const TensorType required = left(256, 300, c.multiply);
    // P arrives row-major, so it is not on the grid and K = 300 is cut in three.
    TensorType arriving = required;
    arriving.format.layout.order = row_major();
    const std::vector<TensorType> inputs{arriving, weight(300, 64, c.multiply)};
    Builder builder = builder_with(inputs);
    const auto result =
        gemm(builder, product_plan({required, inputs[1]}, output, c.multiply, 128), inputs, output);
    ASSERT_TRUE(result.has_value());
    const MidProgram& program = builder.program();
    const auto products = kernel_steps<TileKernelSpec::PackedGemm>(program);
    ASSERT_EQ(products.size(), 3U);
    EXPECT_EQ(products.back()->outputs, std::vector<MidValueId>{*result});

    const std::uint32_t lengths[] = {128, 128, 44};
    for (std::size_t j = 0; j < 3; ++j) {
      SCOPED_TRACE(j);
      const MidOperation& operation = *products[j];
      const auto& compute = compute_of(operation);
      EXPECT_EQ(compute.kernel, packed(c.multiply, 128, j > 0));
      EXPECT_EQ(builder.type(operation.outputs[0]), output);
      if (j == 0) {
        EXPECT_EQ(operation.inputs.size(), 2U);
        EXPECT_TRUE(compute.aliases.empty());
      } else {
        EXPECT_EQ(operation.inputs.back(), products[j - 1]->outputs[0]);
        EXPECT_EQ(compute.aliases, (Aliases{{0, 2}}));
      }
      const std::uint32_t start = static_cast<std::uint32_t>(128 * j);
      const TensorType& p_chunk = builder.type(operation.inputs[0]);
      const TensorType& q_chunk = builder.type(operation.inputs[1]);
      EXPECT_EQ(p_chunk.shape.dimensions, (std::vector<std::uint32_t>{256, lengths[j]}));
      EXPECT_EQ(q_chunk.shape.dimensions, (std::vector<std::uint32_t>{lengths[j], 64}));
      // The chunk axis is padded to the chunk length and no longer cut.
      EXPECT_EQ(p_chunk.format.layout.tiling,
                (TensorTiling{.axes = {exact(leading(0), 4, 1), padded(leading(1), 1, 128)}, .tile_count = 4,
                              .replication = 1}));
      EXPECT_EQ(p_chunk.format.layout.order, amp(layout::AmpOrder::Left));
      EXPECT_EQ(q_chunk.format.layout.memory_class, c.second_chunks);
      const auto* p_move = producer(program, operation.inputs[0])->get_if<Primitive::Rearrange>();
      const auto* q_move = producer(program, operation.inputs[1])->get_if<Primitive::Rearrange>();
      ASSERT_NE(p_move, nullptr);
      ASSERT_NE(q_move, nullptr);
      EXPECT_EQ(p_move->mapping.origin, (std::vector<std::uint32_t>{0, start}));
      EXPECT_EQ(q_move->mapping.origin, (std::vector<std::uint32_t>{start, 0}));
      EXPECT_TRUE(p_move->direct);
      EXPECT_TRUE(q_move->direct);
    }
  }
}

TEST(Gemm, SwappedOrientationStreamsTheRightOperand) {
  // Operand 1 [K, N] streams: its contraction is axis 0, operand 0's is axis 1.
  const TensorType output = tensor({256, 64}, Layout::row_sharded(4));
  const std::vector<TensorType> inputs{tensor({256, 200}, Layout::row_sharded(4)),
                                       tensor({200, 64}, Layout::row_sharded(4))};
  Builder builder = builder_with(inputs);
  const auto result =
      gemm(builder, product_plan(inputs, output, Precision::f16(), 128, GemmOrientation::Swapped), inputs, output);
  ASSERT_TRUE(result.has_value());
  const MidProgram& program = builder.program();
  const auto products = kernel_steps<TileKernelSpec::PackedGemm>(program);
  ASSERT_EQ(products.size(), 2U);
  EXPECT_EQ(compute_of(*products[0]).axes,
            (ProductAxes{.left_contraction = leading(0), .right_contraction = leading(1), .output_columns = trailing(2),
                         .first_bound = std::nullopt, .second_bound = std::nullopt}));
  const MidOperation& second = *products[1];
  EXPECT_EQ(program.operations[0].inputs, std::vector<MidValueId>{1});  // P's first chunk is cut first
  EXPECT_EQ(producer(program, second.inputs[0])->get_if<Primitive::Rearrange>()->mapping.origin,
            (std::vector<std::uint32_t>{128, 0}));
  EXPECT_EQ(producer(program, second.inputs[1])->get_if<Primitive::Rearrange>()->mapping.origin,
            (std::vector<std::uint32_t>{0, 128}));
  EXPECT_EQ(builder.type(second.inputs[0]).shape.dimensions, (std::vector<std::uint32_t>{72, 64}));
}

TEST(Gemm, RefusesWhatItCannotLower) {
  const TensorType output = left(256, 64);
  const std::vector<TensorType> inputs{left(256, 128), weight(128, 64)};
  TensorType arriving = inputs[0];
  arriving.format.layout.order = row_major();
  struct Case {
    std::string name;
    OperatorPlan plan;
    std::vector<TensorType> inputs;
  };
  OperatorPlan no_requirements = product_plan(inputs, output, Precision::f16(), 64);
  no_requirements.storage.operands.pop_back();
  OperatorPlan not_a_product = product_plan(inputs, output, Precision::f16(), 64);
  not_a_product.operator_ = MidOperator{MidOperator::Add{}};
  const std::vector<Case> cases{
      {"empty chunk", product_plan(inputs, output, Precision::f16(), 0), {arriving, inputs[1]}},
      {"rank below 2", product_plan(inputs, output, Precision::f16(), 64), {tensor({128}, Layout::row_sharded(1)), inputs[1]}},
      {"one requirement", no_requirements, inputs},
      {"another operator", not_a_product, inputs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Builder builder = builder_with(c.inputs);
    EXPECT_EQ(gemm(builder, c.plan, c.inputs, output), std::nullopt);
  }
}

TEST(GemmDeathTest, TwoOperandsAreAnInvariant) {
  const TensorType output = left(256, 64);
  const std::vector<TensorType> inputs{left(256, 128)};
  Builder builder = builder_with(inputs);
  EXPECT_DEATH(static_cast<void>(gemm(builder, product_plan({inputs[0], weight(128, 64)}, output, Precision::f16(), 64),
                                      inputs, output)),
               "index out of bounds: the len is 1 but the index is 1");
}

// ---------------------------------------------------------------------------
// Distributed products

struct Distributed {
  std::vector<TensorType> inputs;
  TensorType output;
  OperatorPlan plan;
};

/// A [256, 256] x [256, 512] product over A row, B column and R inner partitions.
Distributed distributed_case(std::uint16_t a, std::uint16_t b, std::uint16_t r,
                             operators::LocalOperandStaging staging = operators::LocalOperandStaging::Direct) {
  const auto tiles = static_cast<std::uint16_t>(std::min<std::uint32_t>(std::uint32_t{a} * b, 65535));
  const TensorType output = tensor({256, 512}, Layout::amp_left_result_grid(64, tiles, a, b, false));
  // P's rows at stride B x R and its contraction at stride B, each part on B tiles.
  const auto p_tiles = static_cast<std::uint16_t>(std::min<std::uint32_t>(std::uint32_t{a} * b * r, 65535));
  const auto row_stride = static_cast<std::uint16_t>(std::min<std::uint32_t>(std::uint32_t{b} * r, 65535));
  const TensorType p = tensor({256, 256}, layout_of(amp(layout::AmpOrder::Left),
                                                    {exact(trailing(2), a, row_stride), padded(trailing(1), r, 64, b)},
                                                    p_tiles, b));
  const TensorType q = tensor({256, 512}, layout_of(block_major(64), {padded(trailing(1), 1, 64)}, 1));
  const GemmDistribution split{.reduction_staging = ReductionStaging::batched(2), .row_partitions = a,
                               .column_partitions = b, .inner_partitions = r, .result_row_partitions = 1,
                               .result_column_partitions = 1};
  OperatorPlan distributed_plan = product_plan({p, q}, output, Precision::f16(), 64, GemmOrientation::Normal, split);
  distributed_plan.storage.operands[1].staging = staging;
  return {{p, q}, output, distributed_plan};
}

TEST(Gemm, DistributedProductSumsItsPartialsInOneReduce) {
  const Distributed d = distributed_case(4, 8, 2);
  Builder builder = builder_with(d.inputs);
  const auto result = gemm(builder, d.plan, d.inputs, d.output);
  ASSERT_TRUE(result.has_value());
  const MidProgram& program = builder.program();
  ASSERT_FALSE(program.operations.empty());
  const MidOperation& last = program.operations.back();
  EXPECT_EQ(last.outputs, std::vector<MidValueId>{*result});
  EXPECT_EQ(step(program, program.operations.size() - 1),
            (Primitive{Primitive::Reduce{.staging = ReductionStaging::batched(2), .axis = 0}}));
  EXPECT_EQ(builder.type(*result), d.output);
  ASSERT_EQ(steps_of<Primitive::Reduce>(program).size(), 1U);

  // The partial products: R = 2 partials ahead of the result's axes, rows at
  // stride B x R, columns at stride 1, partials at stride B.
  const auto products = kernel_steps<TileKernelSpec::PackedGemm>(program);
  ASSERT_EQ(products.size(), 1U);
  EXPECT_EQ(last.inputs, products[0]->outputs);
  const TensorType& partial = builder.type(products[0]->outputs[0]);
  EXPECT_EQ(partial.shape.dimensions, (std::vector<std::uint32_t>{2, 256, 512}));
  EXPECT_EQ(partial.format.layout.tiling,
            (TensorTiling{.axes = {padded(leading(2), 8, 64, 1), exact(leading(1), 4, 16), exact(leading(0), 2, 8)},
                          .tile_count = 64, .replication = 1}));
  EXPECT_EQ(products[0]->inputs[0], 0U);  // P already has its required type

  // Q staged on all 64 tiles, once per row part, in interleaved memory.
  const TensorType& staged = builder.type(products[0]->inputs[1]);
  EXPECT_EQ(staged.shape, d.inputs[1].shape);
  EXPECT_EQ(staged.format.layout,
            (layout_of(block_major(64), {padded(leading(1), 8, 64, 1), padded(leading(0), 2, 64, 8)}, 64, 4,
                       interleaved)));
  EXPECT_TRUE(producer(program, products[0]->inputs[1])->get_if<Primitive::Rearrange>()->direct);
}

TEST(Gemm, MatchedRemoteStagingMovesTheSecondOperandIndirectly) {
  const Distributed d = distributed_case(4, 8, 2, operators::LocalOperandStaging::MatchRemote);
  Builder builder = builder_with(d.inputs);
  ASSERT_TRUE(gemm(builder, d.plan, d.inputs, d.output).has_value());
  const auto moves = steps_of<Primitive::Rearrange>(builder.program());
  ASSERT_EQ(moves.size(), 1U);
  EXPECT_EQ(moves[0]->inputs, std::vector<MidValueId>{1});
  EXPECT_FALSE(step(builder.program(), 0).get_if<Primitive::Rearrange>()->direct);
}

TEST(Gemm, DistributionBeyondSixteenBitTileCountsIsRefused) {
  const Distributed d = distributed_case(64, 64, 32);  // 131072 tiles
  Builder builder = builder_with(d.inputs);
  EXPECT_EQ(gemm(builder, d.plan, d.inputs, d.output), std::nullopt);
}

TEST(Gemm, LoweredProductsCanBePriced) {
  const TensorType output = left(256, 64);
  const std::vector<TensorType> direct{left(256, 128), weight(128, 64)};
  TensorType arriving = left(256, 300);
  arriving.format.layout.order = row_major();
  const std::vector<TensorType> chunked{arriving, weight(300, 64)};
  const Distributed d = distributed_case(4, 8, 2);
  EXPECT_NE(implement(product_plan(direct, output, Precision::f16(), 64), direct, output), nullptr);
  EXPECT_NE(implement(product_plan({left(256, 300), chunked[1]}, output, Precision::f16(), 128), chunked, output),
            nullptr);
  EXPECT_NE(implement(d.plan, d.inputs, d.output), nullptr);

  // Whole rows on each of 64 tiles against a weight cut into 64 column panels:
  // the weight does not sit on the result's grid, so the product runs in chunks.
  const Layout rows_layout = layout_of(amp(layout::AmpOrder::Left),
                                       {exact(trailing(2), 64), padded(trailing(1), 1, 64)}, 64);
  const Layout weight_layout =
      layout_of(block_major(64), {padded(trailing(1), 64, 64, 1), padded(trailing(2), 1, 64)}, 64);
  Layout result_layout = rows_layout;
  result_layout.memory_class = interleaved;
  const std::vector<TensorType> rows_inputs{tensor({8, 128}, rows_layout), tensor({128, 256}, weight_layout)};
  const TensorType rows_output = tensor({8, 256}, result_layout);
  const auto rows_program =
      implement(product_plan(rows_inputs, rows_output, Precision::f16(), 64), rows_inputs, rows_output);
  ASSERT_NE(rows_program, nullptr);
  EXPECT_EQ(kernel_steps<TileKernelSpec::PackedGemm>(*rows_program).size(), 2U);
}

// ---------------------------------------------------------------------------
// distributed_product

const ProductAxes last_axes{.left_contraction = trailing(1), .right_contraction = trailing(1),
                            .output_columns = trailing(1), .first_bound = 64, .second_bound = 256};

TensorType heads(std::vector<std::uint32_t> shape, Precision precision = Precision::f16()) {
  return tensor(std::move(shape), layout_of(row_major(), {exact(trailing(3), 2)}, 2), precision);
}

TEST(DistributedProduct, StagesBothOperandsOnTheGridAndReducesTheInnerParts) {
  Builder builder = builder_with({heads({2, 128, 64}), heads({2, 256, 64})});
  const TensorType output = heads({2, 128, 256});
  const auto result = distributed_product(builder, 0, 1, output, last_axes,
                                          ProductGrid{.row_partitions = 2, .column_partitions = 2, .inner_partitions = 2});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(builder.type(*result), output);
  const MidProgram& program = builder.program();
  ASSERT_EQ(program.operations.size(), 4U);
  // H = 2, g1 = g2 = g3 = 2: contraction parts of 32, column parts of 128, 16 tiles.
  EXPECT_EQ(builder.type(program.operations[0].outputs[0]),
            tensor({2, 128, 64}, layout_of(row_major(), {padded(leading(0), 2, 1, 1), padded(leading(1), 2, 1, 8),
                                                         padded(leading(2), 2, 32, 4)}, 16, 2)));
  EXPECT_EQ(builder.type(program.operations[1].outputs[0]),
            tensor({2, 256, 64}, layout_of(row_major(), {padded(leading(0), 2, 1, 1), padded(leading(2), 2, 32, 4),
                                                         padded(leading(1), 2, 16, 2)}, 16, 2)));
  const auto& product = compute_of(program.operations[2]);
  EXPECT_EQ(product.kernel, (TileKernelSpec{TileKernelSpec::PackedGemm{
                                .inner_chunk = 32, .output_column_block = 128, .multiply = Precision::f16(),
                                .accumulate = operators::AccumulationPrecision::F32, .add_to_output = false,
                                .reserved = 0}}));
  EXPECT_EQ(builder.type(program.operations[2].outputs[0]),
            tensor({2, 2, 128, 256}, layout_of(row_major(), {padded(leading(1), 2, 1, 1), padded(leading(2), 2, 1, 8),
                                                            padded(leading(3), 2, 16, 2), padded(leading(0), 2, 1, 4)},
                                               16)));
  EXPECT_EQ(step(program, 3), (Primitive{Primitive::Reduce{.staging = ReductionStaging::complete(), .axis = 0}}));
}

TEST(DistributedProduct, WithoutInnerPartsTheProductMovesIntoTheOutput) {
  Builder builder = builder_with({heads({2, 128, 64}), heads({2, 256, 64})});
  const TensorType output = heads({2, 128, 256});
  const auto result = distributed_product(builder, 0, 1, output, last_axes,
                                          ProductGrid{.row_partitions = 2, .column_partitions = 2, .inner_partitions = 1});
  ASSERT_TRUE(result.has_value());
  const MidProgram& program = builder.program();
  ASSERT_EQ(program.operations.size(), 4U);
  EXPECT_TRUE(step(program, 2).is<Primitive::Compute>());
  EXPECT_EQ(builder.type(program.operations[2].outputs[0]).shape, output.shape);
  EXPECT_TRUE(step(program, 3).is<Primitive::Rearrange>());
  EXPECT_EQ(builder.type(*result), output);
}

TEST(DistributedProduct, RefusesOtherGeometries) {
  const ProductGrid grid{.row_partitions = 2, .column_partitions = 2, .inner_partitions = 2};
  ProductAxes head_contraction = last_axes;
  head_contraction.right_contraction = leading(0);
  ProductAxes middle_contraction = last_axes;
  middle_contraction.left_contraction = leading(1);
  ProductAxes empty_contraction = last_axes;
  empty_contraction.first_bound = 0;
  struct Case {
    std::string name;
    TensorType output;
    ProductAxes axes;
    ProductGrid grid;
  };
  const Case cases[] = {
      {"32-bit output", heads({2, 128, 256}, Precision::f32()), last_axes, grid},
      {"rank-2 output", tensor({128, 256}, Layout::row_sharded(2)), last_axes, grid},
      {"contraction over heads", heads({2, 128, 256}), head_contraction, grid},
      {"left contraction on axis 1", heads({2, 128, 256}), middle_contraction, grid},
      {"empty contraction", heads({2, 128, 256}), empty_contraction, grid},
      {"zero inner parts", heads({2, 128, 256}), last_axes, ProductGrid{2, 2, 0}},
      {"too many tiles", heads({2, 128, 256}), last_axes, ProductGrid{64, 64, 64}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Builder builder = builder_with({heads({2, 128, 64}), heads({2, 256, 64})});
    EXPECT_EQ(distributed_product(builder, 0, 1, c.output, c.axes, c.grid), std::nullopt);
  }
}

}  // namespace
}  // namespace vexa_codegen::mid::implementation::gemm
